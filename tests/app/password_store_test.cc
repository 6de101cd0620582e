#include "app/password_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/settings.h"
#include "io/container_test_support.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

const char kDuplicateWarning[] = "Failed to insert key for \"%s\" in password storage";

std::string duplicate_warning(const char* key) {
  char buf[256];
  std::snprintf(buf, sizeof(buf), kDuplicateWarning, key);
  return buf;
}

std::string find(const PasswordStore& store, const char* key) {
  std::optional<StringView> v = password_store_find(store, key);
  return v ? std::string(v->data, v->size) : std::string("<none>");
}

TEST(PasswordStoreParseTest, FlatObjectLoadsOneEntryPerMember) {
  PasswordStore store;
  ASSERT_TRUE(password_store_parse(
      "{\n  \"1A2B3C4D\": \"s3cret-A\",\n  \"00000042\" : \"pw with spaces & symbols!#\",\n"
      "  \"default\":\"fallback\"\n}\n",
      &store));
  EXPECT_EQ(store.size(), 3u);
  EXPECT_EQ(find(store, "1A2B3C4D"), "s3cret-A");
  EXPECT_EQ(find(store, "00000042"), "pw with spaces & symbols!#");
  EXPECT_EQ(find(store, "default"), "fallback");
}

struct ParseCase {
  const char* name;
  std::string text;
  std::vector<std::pair<std::string, std::string>> found;  // key, value or "<none>"
  size_t entries;
};

TEST(PasswordStoreParseTest, EdgeCases) {
  const ParseCase cases[] = {
      {"lower-case id is stored but not found upper-case",
       R"({"deadbeef": "lower"})",
       {{"deadbeef", "lower"}, {"DEADBEEF", "<none>"}},
       1},
      {"short id is kept as written",
       R"({"42": "short"})",
       {{"42", "short"}, {"00000042", "<none>"}},
       1},
      {"empty key", R"({"": "nobody"})", {{"", "nobody"}}, 1},
      {"backslashes stay", R"({"default": "a\\b\n"})", {{"default", R"(a\\b\n)"}}, 1},
      {"value cut by an escaped quote", R"({"default": "say \"hi\""})", {{"default", "say \\"}}, 1},
      {"closing quote on the next line",
       "{\"00000001\": \"open\n\", \"00000002\": \"two\"}",
       {{"00000001", "<none>"}, {"00000002", "two"}},
       1},
      {"other members are skipped",
       R"({"name": "x", "DEFAULT": "y", "0x12": "z", "12": 5, "AB": "ok"})",
       {{"name", "<none>"}, {"DEFAULT", "<none>"}, {"AB", "ok"}},
       1},
      {"keys compare whole",
       R"({"ABCD": "v"})",
       {{"ABC", "<none>"}, {"ABCD", "v"}, {"abcd", "<none>"}},
       1},
      {"no separators needed", "\"1\":\"a\"\"2\":\"b\"", {{"1", "a"}, {"2", "b"}}, 2},
      {"line breaks around the colon", "\"3\"\r\n:\t\r\n\"c\"", {{"3", "c"}}, 1},
      {"carriage return inside a value", "\"4\":\"x\ry\"", {{"4", "x\ry"}}, 1},
      {"empty text", "", {}, 0},
      {"unterminated quote", R"({"default": "never closed)", {{"default", "<none>"}}, 0},
      {"high bytes and invalid UTF-8",
       "\"5\":\"\xC3\xA9\xFF\xFE\x80\"",
       {{"5", "\xC3\xA9\xFF\xFE\x80"}},
       1},
  };
  for (const ParseCase& c : cases) {
    PasswordStore store;
    ASSERT_TRUE(password_store_parse(StringView(c.text.data(), c.text.size()), &store)) << c.name;
    EXPECT_EQ(store.size(), c.entries) << c.name;
    for (const auto& [key, value] : c.found) EXPECT_EQ(find(store, key.c_str()), value) << c.name;
  }
}

TEST(PasswordStoreParseTest, DuplicateKeepsTheFirstValueAndWarns) {
  PasswordStore store;
  StderrCapture capture;
  ASSERT_TRUE(password_store_parse(R"({"0000ABCD": "first", "0000ABCD": "second", "default": "d"})",
                                   &store));
  EXPECT_EQ(store.size(), 2u);
  EXPECT_EQ(find(store, "0000ABCD"), "first");
  std::string log = capture.text();
  EXPECT_NE(log.find(duplicate_warning("0000ABCD") + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" W "), std::string::npos) << log;
}

TEST(PasswordStoreParseTest, EmptyStoreFindsNothing) {
  PasswordStore store;
  EXPECT_FALSE(password_store_find(store, "default"));
  EXPECT_FALSE(password_store_find(store, ""));
}

TEST(PasswordStoreParseTest, HostileTextsLoadQuickly) {
  std::string long_value = "{\"default\": \"" + std::string(10 << 20, 'x') + "\"}";
  std::string open_value = "{\"default\": \"" + std::string(10 << 20, 'a');
  std::string spaces = std::string(10 << 20, ' ') + "\"1\"";
  std::string lines;
  while (lines.size() < (10u << 20)) lines += std::string(1000, '\n') + "\"0\" ";
  std::string quotes(10 << 20, '"');
  std::vector<uint8_t> noise = random_bytes(10 << 20, 77);
  struct Case {
    const char* name;
    StringView text;
    size_t entries;
  };
  const Case cases[] = {
      {"10 MB value", StringView(long_value.data(), long_value.size()), 1},
      {"10 MB unterminated value", StringView(open_value.data(), open_value.size()), 0},
      {"10 MB of spaces", StringView(spaces.data(), spaces.size()), 0},
      {"runs of line feeds", StringView(lines.data(), lines.size()), 0},
      {"10 MB of quotes", StringView(quotes.data(), quotes.size()), 0},
      {"binary noise", StringView(reinterpret_cast<const char*>(noise.data()), noise.size()), 0},
  };
  for (const Case& c : cases) {
    PasswordStore store;
    ASSERT_TRUE(password_store_parse(c.text, &store)) << c.name;
    EXPECT_LE(store.size(), c.entries) << c.name;
    if (c.entries == 1) {
      EXPECT_EQ(find(store, "default").size(), 10u << 20);
    }
  }
}

TEST(PasswordStoreParseTest, ManyEntries) {
  std::string text = "{";
  for (int i = 0; i < 2000; ++i) {
    char member[64];
    std::snprintf(member, sizeof(member), "\"%08X\": \"pw%d\",\n", i, i);
    text += member;
  }
  text += "}";
  PasswordStore store;
  ASSERT_TRUE(password_store_parse(StringView(text.data(), text.size()), &store));
  EXPECT_EQ(store.size(), 2000u);
  EXPECT_EQ(find(store, "000007D0"), "<none>");
  EXPECT_EQ(find(store, "000007CF"), "pw1999");
}

class PasswordStoreLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char* cwd = getcwd(nullptr, 0);
    saved_cwd_ = cwd;
    free(cwd);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(chdir(saved_cwd_.c_str()), 0); }

  void name_file(const std::string& path) {
    SsoString s;
    ASSERT_TRUE(s.assign(StringView(path.data(), path.size())));
    ASSERT_TRUE(settings_.password_file.append(std::move(s)));
  }

  TempDir dir_;
  std::string saved_cwd_;
  ConverterSettings settings_;
};

TEST_F(PasswordStoreLoadTest, MissingDefaultFileIsFine) {
  int status = 0;
  StderrCapture capture;
  EXPECT_TRUE(password_store_load(&settings_, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(settings_.passwords.size(), 0u);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(PasswordStoreLoadTest, DefaultFileInTheWorkingFolderIsRead) {
  write_file(dir_ / "passwords.json", std::string(R"({"default": "from-cwd"})"));
  int status = 0;
  EXPECT_TRUE(password_store_load(&settings_, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(find(settings_.passwords, "default"), "from-cwd");
}

TEST_F(PasswordStoreLoadTest, MissingNamedFileFailsWithStatusOne) {
  std::string path = dir_ / "nowhere.json";
  name_file(path);
  int status = 128;
  StderrCapture capture;
  EXPECT_FALSE(password_store_load(&settings_, &status));
  EXPECT_EQ(status, 129);
  EXPECT_NE(capture.text().find("Failed to open password file at " + path + "\n"),
            std::string::npos)
      << capture.text();
}

TEST_F(PasswordStoreLoadTest, NamedFileIsReadInsteadOfTheDefault) {
  write_file(dir_ / "passwords.json", std::string(R"({"default": "from-cwd"})"));
  write_file(dir_ / "other.json", std::string(R"({"00000001": "one", "default": "named"})"));
  name_file(dir_ / "other.json");
  int status = 0;
  EXPECT_TRUE(password_store_load(&settings_, &status));
  EXPECT_EQ(settings_.passwords.size(), 2u);
  EXPECT_EQ(find(settings_.passwords, "default"), "named");
}

TEST_F(PasswordStoreLoadTest, EmptyAndBinaryFilesLoadNothing) {
  std::vector<uint8_t> noise = random_bytes(1 << 20, 5);
  noise[1000] = 0;
  for (const std::string& content : {std::string(), std::string(noise.begin(), noise.end())}) {
    ConverterSettings settings;
    write_file(dir_ / "p.json", content);
    SsoString path;
    ASSERT_TRUE(path.assign(StringView((dir_ / "p.json").c_str())));
    ASSERT_TRUE(settings.password_file.append(std::move(path)));
    int status = 0;
    EXPECT_TRUE(password_store_load(&settings, &status));
    EXPECT_EQ(status, 0);
  }
}

TEST_F(PasswordStoreLoadTest, FileLargerThanOneReadIsReadWhole) {
  std::string text = std::string(3 << 20, ' ') + R"("default": "at the end")";
  write_file(dir_ / "big.json", text);
  name_file(dir_ / "big.json");
  int status = 0;
  EXPECT_TRUE(password_store_load(&settings_, &status));
  EXPECT_EQ(find(settings_.passwords, "default"), "at the end");
}

TEST_F(PasswordStoreLoadTest, FolderNamedAsPasswordFileLoadsNothing) {
  // Opening may succeed on some platforms; reading then yields nothing, and
  // the size reported for a folder must not be taken as a length to allocate.
  name_file(dir_.path());
  int status = 0;
  StderrCapture capture;
  bool loaded = password_store_load(&settings_, &status);
  EXPECT_EQ(settings_.passwords.size(), 0u);
  if (loaded) {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(capture.text(), "");
  } else {
    EXPECT_EQ(status, 1);
  }
}

TEST_F(PasswordStoreLoadTest, ValuesAfterANulByteAreStillFound) {
  write_file(dir_ / "p.json", std::string("\"1\":\"a\"\0\"2\":\"b\"", 16));
  name_file(dir_ / "p.json");
  int status = 0;
  EXPECT_TRUE(password_store_load(&settings_, &status));
  EXPECT_EQ(find(settings_.passwords, "2"), "b");
}

}  // namespace
}  // namespace quarrow::test
