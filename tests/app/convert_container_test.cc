// Compressed and encrypted logs through the real program: every wrapping gives
// the plain log's tables; every unwrapping failure ends that file with its own status.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "io/container.h"
#include "io/memory_stream.h"
#include "mdfwriter/container_writer.h"

namespace quarrow::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Wrap = std::function<Bytes(const Bytes&)>;

constexpr uint32_t kDevice = 0x00ABCDEF;
const char kPasswords[] = R"({"00ABCDEF": "secret", "12345678": "other", "default": "fallback"})";

Wrap compress(int window, int lookahead, bool crc) {
  return [=](const Bytes& b) { return mdfw::wrap_compressed(b, window, lookahead, crc, kDevice); };
}

Wrap encrypt(const std::string& password, uint32_t device = kDevice, uint8_t flag = 0) {
  mdfw::EncryptOptions o{.password = password, .device_id = device, .iterations = 10, .flag = flag};
  return [=](const Bytes& b) { return mdfw::wrap_encrypted(b, o); };
}

// Applies the wraps innermost first, then changes the result.
Wrap layers(std::vector<Wrap> wraps, std::function<void(Bytes&)> change = nullptr) {
  return [=](Bytes b) {
    for (const Wrap& w : wraps) b = w(b);
    if (change) change(b);
    return b;
  };
}

class ConvertContainerTest : public ConvertRunTest {
 protected:
  ProcessResult convert(const std::vector<std::string>& inputs, const char* passwords = nullptr,
                        std::vector<std::string> options = {}) {
    if (passwords) write_file(tmp_ / "pw/passwords.json", passwords);
    if (passwords) options.insert(options.end(), {"-p", tmp_ / "pw/passwords.json"});
    for (const std::string& input : inputs) options.push_back(in(input));
    return ConvertRunTest::convert(options);
  }
};

// Each layer found is reported, outside in. The working folder holds the default password file.
TEST_F(ConvertContainerTest, EveryWrappingGivesTheTablesOfThePlainLog) {
  const char* lower_case = R"({"00abcdef": "secret", "default": "fallback"})";
  const std::vector<std::string> zipped = {"compressed file"}, sealed = {"encrypted file"};
  const std::tuple<const char*, Wrap, std::vector<std::string>> cases[] = {
      {nullptr, compress(4, 3, false), zipped},
      {nullptr, compress(15, 14, true), zipped},
      {nullptr, encrypt("secret"), sealed},
      {kPasswords, encrypt("secret", kDevice, 1), sealed},                // the flag set
      {kPasswords, encrypt("fallback", 0x0BADF00D), sealed},              // unlisted: default
      {lower_case, encrypt("fallback"), sealed},                          // so for a lower-case key
      {R"({"00ABCDEF": "back\slash"})", encrypt("back\\slash"), sealed},  // taken verbatim
      {kPasswords, layers({compress(10, 4, true), encrypt("secret")}), {sealed[0], zipped[0]}},
      {nullptr, layers({encrypt("secret"), compress(9, 5, true)}), {zipped[0], sealed[0]}},
  };
  write_file(tmp_ / "passwords.json", kPasswords);
  const char* buffers[] = {"0", "1", "7", "-1", "1MB"};  // no buffer changes what is converted
  int i = 0;
  for (const auto& [passwords, wrap, found] : cases) {
    write_file(tmp_ / "in/log.mfe", wrap(log_.bytes));
    ProcessResult r =
        convert({"log.mfe"}, passwords, {"--verbosity", "3", "--buffer", buffers[i++ % 5]});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(logged_after(r.err, " Found "), found);
    EXPECT_EQ(logged_after(r.err, " E ").size() + logged_after(r.err, " W ").size(), 0u) << r.err;
    expect_tables_at(tmp_ / "in/log", log_.tables);
  }
}

TEST_F(ConvertContainerTest, FailuresEndThatFileWithTheirStatusAndMessages) {
  const Bytes packed = compress(8, 4, true)(log_.bytes);
  uint32_t crc = 0;  // the footer, big-endian
  for (size_t i = packed.size() - 4; i < packed.size(); ++i) crc = crc << 8 | packed[i];
  char checksum[80];
  std::snprintf(checksum, sizeof(checksum),
                "Could not validate checksum, expected %08X but found %08X", crc ^ 1, crc);
  const std::string decompress = "Could not decompress file", decrypt = "Could not decrypt file";
  const std::string no_password = "No password found for device 00ABCDEF";
  const Wrap zip = compress(8, 4, true), seal = encrypt("secret");
  const struct {
    int status;
    std::vector<std::string> errors;  // before "Error during conversion of bad.mfe"
    const char* passwords;
    Wrap make;
  } cases[] = {
      {4, {checksum, decompress}, nullptr, layers({zip}, [](Bytes& b) { b.back() ^= 1; })},
      {4, {decompress}, nullptr, layers({zip}, [](Bytes& b) { b[15] = 2; })},
      {2, {no_password}, nullptr, seal},
      {2, {no_password}, R"({"00abcdef": "secret"})", seal},
      {2, {decrypt}, kPasswords, encrypt("not it")},
      {2, {decrypt}, kPasswords, layers({encrypt("not it"), zip})},
      {2, {decrypt}, kPasswords, layers({seal}, [](Bytes& b) { b.resize(60); })},
      // Still a listed device, but the header is authenticated.
      {2, {decrypt}, R"({"12ABCDEF": "secret"})", layers({seal}, [](Bytes& b) { b[16] = 0x12; })},
      {8, {}, nullptr, layers({zip}, [](Bytes& b) { b[14] = 0x33; })},  // unknown type
      // Refused before any key derivation: four billion rounds would take hours.
      {2,
       {"Key derivation asks for 4000000000 iterations, more than the limit of 10000000", decrypt},
       kPasswords,
       layers({seal}, [](Bytes& b) { std::memcpy(&b[32], "\xEE\x6B\x28\x00", 4); })},
  };
  write_file(tmp_ / "in/good.mf4", log_.bytes);
  for (const auto& c : cases) {
    write_file(tmp_ / "in/bad.mfe", c.make(log_.bytes));
    ProcessResult r = convert({"bad.mfe", "good.mf4"}, c.passwords);
    EXPECT_EQ(r.status, c.status) << r.err;
    std::vector<std::string> errors = c.errors;
    errors.push_back("Error during conversion of bad.mfe");
    EXPECT_EQ(logged_after(r.err, " E "), errors);
    expect_tables_at(tmp_ / "in/bad", {});
    // The rest of the batch goes on.
    expect_tables_at(tmp_ / "in/good", log_.tables);
  }
}

// A payload of a few hundred bytes expanding to 1 MiB stops at a lower limit, passes at 1 MiB.
TEST(ResourceLimitTest, StopsDecompressionAtTheContentLimit) {
  const Bytes packed = mdfw::wrap_compressed(Bytes(1 << 20, 0), 15, 14, true);
  ASSERT_LT(packed.size(), 1024u);
  for (uint64_t limit : {1u << 20, (1u << 20) - 1}) {
    MemoryStream* in = memory_stream_create();
    stream_write(in, packed.data(), packed.size());
    ContainerHeader header;
    ASSERT_TRUE(container_read_header(in, &header));
    testing::internal::CaptureStderr();
    ByteStream* out = compressed_container_open(in, header, limit);
    const bool stopped = testing::internal::GetCapturedStderr().find(
                             "Decompressed content exceeds the limit") != std::string::npos;
    EXPECT_EQ(out == nullptr, stopped) << limit;
    EXPECT_EQ(stopped, limit < (1u << 20));
    stream_close(out);
    stream_close(in);
  }
}

}  // namespace
}  // namespace quarrow::test
