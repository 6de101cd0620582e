#include "app/password_store.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "app/settings.h"
#include "io/container_test_support.h"
#include "support/platform.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

std::string find(const PasswordStore& store, const std::string& key) {
  std::optional<StringView> v = password_store_find(store, StringView(key.data(), key.size()));
  return v ? std::string(v->data, v->size) : std::string("<none>");
}

// Every entry as "key=value;", in key order.
std::string dump(PasswordStore& store) {
  std::map<std::string, std::string> sorted;
  store.for_each([&](auto& e) { sorted[e.key.c_str()].assign(e.value.c_str(), e.value.size()); });
  std::string out;
  for (const auto& [key, value] : sorted) out += key + "=" + value + ";";
  return out;
}

// Keys must be hexadecimal or "default" and are kept as written; values are taken verbatim up
// to the next quote on the same line; of a key given twice the first value stays, with a warning.
TEST(PasswordStoreTest, ParsesMembersAsWritten) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"{\n  \"1A2B3C4D\": \"s3cret-A\",\n  \"00000042\" : \"pw with spaces & symbols!#\",\n"
       "  \"default\":\"fallback\"\n}\n",
       "00000042=pw with spaces & symbols!#;1A2B3C4D=s3cret-A;default=fallback;", ""},
      {R"({"deadbeef": "lower", "42": "short", "": "nobody"})", "=nobody;42=short;deadbeef=lower;",
       ""},
      {R"({"default": "a\\b\n"})", R"(default=a\\b\n;)", ""},
      {R"({"default": "say \"hi\""})", "default=say \\;", ""},
      {"{\"1\": \"open\n\", \"2\": \"two\"}", "2=two;", ""},
      {R"({"name": "x", "DEFAULT": "y", "0x12": "z", "12": 5, "AB": "ok"})", "AB=ok;", ""},
      {"\"1\":\"a\"\"2\":\"b\" \"3\"\r\n:\t\r\n\"x\ry\"", "1=a;2=b;3=x\ry;", ""},
      {R"({"default": "never closed)", "", ""},
      {"\"5\":\"\xC3\xA9\xFF\xFE\x80\"", "5=\xC3\xA9\xFF\xFE\x80;", ""},
      {R"({"0000ABCD": "first", "0000ABCD": "second"})", "0000ABCD=first;",
       "Failed to insert key for \"0000ABCD\" in password storage"},
  };
  for (const auto& [text, entries, warning] : cases) {
    PasswordStore store;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(password_store_parse(StringView(text.data(), text.size()), &store)) << text;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(dump(store), entries) << text;
    EXPECT_EQ(logged_after(log, " W "), std::vector<std::string>(!warning.empty(), warning));
  }
  PasswordStore store;
  ASSERT_TRUE(password_store_parse(R"({"deadbeef": "lower", "42": "short", "": "e"})", &store));
  for (auto [key, value] :
       {std::pair{"DEADBEEF", "<none>"}, {"00000042", "<none>"}, {"4", "<none>"}, {"", "e"}})
    EXPECT_EQ(find(store, key), value) << key;
}

TEST(PasswordStoreTest, HostileTextsLoad) {
  const std::vector<uint8_t> noise = random_bytes(10 << 20, 77);
  const std::string huge = "{\"default\": \"" + std::string(10 << 20, 'x') + "\"}";
  for (const std::string& text : {std::string(noise.begin(), noise.end()), huge}) {
    PasswordStore store;
    ASSERT_TRUE(password_store_parse(StringView(text.data(), text.size()), &store));
    EXPECT_TRUE(find(store, "default") == (text == huge ? std::string(10 << 20, 'x') : "<none>"));
  }
}

// A named file is read whole, past a NUL byte and beyond one read; a folder
// or a missing file gives no passwords.
TEST(PasswordStoreTest, LoadsTheNamedFileWhole) {
  TempDir tmp;
  write_file(tmp / "p.json",
             std::string(3 << 20, ' ') + std::string("\"1\":\"a\"\0\"2\":\"b\"", 16));
  const std::tuple<std::string, bool, int, size_t> cases[] = {
      {tmp / "p.json", true, 0, 2},
      // A folder opens as an empty file where the system allows it.
      {tmp.path(), !kWindows, kWindows ? 1 : 0, 0},
      {tmp / "nowhere.json", false, 129, 0}};
  for (const auto& [path, loaded, status, entries] : cases) {
    ConverterSettings settings;
    SsoString name;
    ASSERT_TRUE(name.assign(StringView(path.c_str())));
    ASSERT_TRUE(settings.password_file.append(std::move(name)));
    int got = 128;
    testing::internal::CaptureStderr();
    EXPECT_EQ(password_store_load(&settings, &got), loaded) << path;
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, 128 | status) << path;
    EXPECT_EQ(settings.passwords.size(), entries) << path;
    EXPECT_EQ(log.find("Failed to open password file at " + path + "\n") != std::string::npos,
              !loaded);
  }
}

}  // namespace
}  // namespace quarrow::test
