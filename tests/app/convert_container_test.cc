// Compressed and encrypted logs through the real program: every wrapping
// converts to the tables of the plain log, and every way unwrapping can
// fail ends that file with its own status and message.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/container_writer.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Wrap = std::function<Bytes(const Bytes&)>;

constexpr uint32_t kDevice = 0x00ABCDEF;

Wrap compress(int window, int lookahead, bool crc) {
  return [=](const Bytes& b) { return mdfw::wrap_compressed(b, window, lookahead, crc, kDevice); };
}

Wrap encrypt(const std::string& password, uint32_t device = kDevice, uint8_t flag = 0) {
  return [=](const Bytes& b) {
    mdfw::EncryptOptions o;
    o.password = password;
    o.device_id = device;
    o.iterations = 10;
    o.flag = flag;
    for (size_t i = 0; i < o.salt.size(); ++i) o.salt[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < o.nonce.size(); ++i) o.nonce[i] = static_cast<uint8_t>(0xA0 + i);
    return mdfw::wrap_encrypted(b, o);
  };
}

// Applies the wraps innermost first.
Wrap layers(std::vector<Wrap> wraps) {
  return [=](const Bytes& b) {
    Bytes out = b;
    for (const Wrap& w : wraps) out = w(out);
    return out;
  };
}

std::string hex8(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof(text), "%08X", v);
  return text;
}

uint32_t footer_of(const Bytes& b) {
  uint32_t v = 0;
  for (size_t i = b.size() - 4; i < b.size(); ++i) v = v << 8 | b[i];
  return v;
}

const char kPasswords[] = R"({
  "00ABCDEF": "secret",
  "12345678": "other",
  "default": "fallback"
})";

class ConvertContainerTest : public ::testing::Test {
 protected:
  // Converts in/<name> with the given extra options, in a working folder
  // without a password file.
  ProcessResult convert(const std::string& name, std::vector<std::string> options = {}) {
    options.push_back(tmp_ / ("in/" + name));
    return run_process(QUARROW_BINARY, options, tmp_.path());
  }
  std::string passwords(const std::string& text) {
    write_file(tmp_ / "pw/passwords.json", text);
    return tmp_ / "pw/passwords.json";
  }

  TempDir tmp_;
  SampleLog log_ = sample_log(5);
};

struct WrapCase {
  const char* name;
  Wrap wrap;
  const char* passwords;  // null: no password file
};

class ConvertWrappedTest : public ConvertContainerTest,
                           public ::testing::WithParamInterface<WrapCase> {};

TEST_P(ConvertWrappedTest, GivesTheTablesOfThePlainLog) {
  const WrapCase& c = GetParam();
  write_file(tmp_ / "in/log.mfe", c.wrap(log_.bytes));
  std::vector<std::string> options;
  if (c.passwords) options = {"-p", passwords(c.passwords)};
  ProcessResult r = convert("log.mfe", options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  expect_tables_at(tmp_ / "in/log", log_.tables);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ConvertWrappedTest,
    ::testing::Values(WrapCase{"CompressedW4L3", compress(4, 3, false), nullptr},
                      WrapCase{"CompressedW8L4WithCrc", compress(8, 4, true), nullptr},
                      WrapCase{"CompressedW11L6WithCrc", compress(11, 6, true), nullptr},
                      WrapCase{"CompressedW12L3", compress(12, 3, false), nullptr},
                      WrapCase{"CompressedW15L14WithCrc", compress(15, 14, true), nullptr},
                      WrapCase{"EncryptedForItsDevice", encrypt("secret"), kPasswords},
                      WrapCase{"EncryptedWithFlagSet", encrypt("secret", kDevice, 1), kPasswords},
                      WrapCase{"EncryptedForUnlistedDeviceUsesDefault",
                               encrypt("fallback", 0x0BADF00D), kPasswords},
                      WrapCase{"LowerCaseKeyFallsBackToDefault", encrypt("fallback"),
                               R"({"00abcdef": "secret", "default": "fallback"})"},
                      WrapCase{"PasswordTakenVerbatim", encrypt("back\\slash"),
                               R"({"00ABCDEF": "back\slash"})"},
                      WrapCase{"CompressedInsideEncrypted",
                               layers({compress(10, 4, true), encrypt("secret")}), kPasswords},
                      WrapCase{"EncryptedInsideCompressed",
                               layers({encrypt("secret"), compress(9, 5, true)}), kPasswords},
                      WrapCase{"FourLayers",
                               layers({compress(8, 4, false), encrypt("other", 0x12345678),
                                       compress(13, 4, true), encrypt("secret")}),
                               kPasswords}),
    [](const ::testing::TestParamInfo<WrapCase>& info) { return std::string(info.param.name); });

TEST_F(ConvertContainerTest, LayersAreReportedOutsideIn) {
  write_file(tmp_ / "in/log.mfc", layers({encrypt("secret"), compress(8, 4, true)})(log_.bytes));
  ProcessResult r = convert("log.mfc", {"--verbosity", "3", "-p", passwords(kPasswords)});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(logged_after(r.err, " Found "),
            (std::vector<std::string>{"compressed file", "encrypted file"}));
}

TEST_F(ConvertContainerTest, PasswordFileInTheWorkingFolderIsUsedByDefault) {
  write_file(tmp_ / "in/log.mfe", encrypt("secret")(log_.bytes));
  write_file(tmp_ / "passwords.json", kPasswords);
  ProcessResult r = convert("log.mfe");
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(tmp_ / "in/log", log_.tables);
}

TEST_F(ConvertContainerTest, MissingNamedPasswordFileStopsBeforeConverting) {
  write_file(tmp_ / "in/log.mf4", log_.bytes);
  const std::string missing = tmp_ / "pw/nowhere.json";
  ProcessResult r = convert("log.mf4", {"-p", missing});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(logged_after(r.err, " E "),
            std::vector<std::string>{"Failed to open password file at " + missing});
  EXPECT_EQ(list_tree(tmp_ / "in"), std::vector<std::string>{"log.mf4"});
}

struct FailureCase {
  const char* name;
  std::function<Bytes(const Bytes& log)> make;
  const char* passwords;  // null: no password file at all
  int status;
  // Every error line, in order, without the final "Error during
  // conversion"; "@" is replaced by what expected_errors computes.
  std::vector<std::string> errors;
};

class ConvertContainerFailureTest : public ConvertContainerTest,
                                    public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConvertContainerFailureTest, EndsTheFileWithItsStatusAndMessage) {
  const FailureCase& c = GetParam();
  write_file(tmp_ / "in/bad.mfe", c.make(log_.bytes));
  write_file(tmp_ / "in/good.mf4", log_.bytes);
  std::vector<std::string> args;
  if (c.passwords) args = {"-p", passwords(c.passwords)};
  args.push_back(tmp_ / "in/bad.mfe");
  args.push_back(tmp_ / "in/good.mf4");
  ProcessResult r = run_process(QUARROW_BINARY, args, tmp_.path());

  EXPECT_EQ(r.status, c.status) << r.err;
  std::vector<std::string> errors = c.errors;
  errors.push_back("Error during conversion of bad.mfe");
  EXPECT_EQ(logged_after(r.err, " E "), errors);
  EXPECT_FALSE(file_exists(tmp_ / "in/bad_CAN.csv"));
  EXPECT_FALSE(file_exists(tmp_ / "in/bad_LIN.csv"));
  // The rest of the batch goes on.
  expect_tables_at(tmp_ / "in/good", log_.tables);
}

Bytes with_byte(Bytes b, size_t at, uint8_t value) {
  b.at(at) = value;
  return b;
}

Bytes with_be32(Bytes b, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(value >> (24 - 8 * i));
  return b;
}

Bytes flip_bit(Bytes b, size_t at) {
  b.at(at) ^= 1;
  return b;
}

FailureCase bad_footer() {
  Bytes good = mdfw::wrap_compressed(sample_log(5).bytes, 8, 4, true);
  uint32_t crc = footer_of(good);
  return {"FooterDiffersFromPayload",
          [](const Bytes& log) {
            Bytes b = mdfw::wrap_compressed(log, 8, 4, true);
            return flip_bit(b, b.size() - 1);
          },
          nullptr,
          4,
          {"Could not validate checksum, expected " + hex8(crc ^ 1) + " but found " + hex8(crc),
           "Could not decompress file"}};
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ConvertContainerFailureTest,
    ::testing::Values(
        bad_footer(),
        FailureCase{"CompressedVersionTwo",
                    [](const Bytes& log) {
                      return with_byte(mdfw::wrap_compressed(log, 8, 4, false), 15, 2);
                    },
                    nullptr,
                    4,
                    {"Could not decompress file"}},
        FailureCase{"LookaheadNotBelowWindow",
                    [](const Bytes& log) {
                      return with_be32(mdfw::wrap_compressed(log, 8, 4, false), 24, 16);
                    },
                    nullptr,
                    4,
                    {"Could not decompress file"}},
        FailureCase{"WindowTooLarge",
                    [](const Bytes& log) {
                      return with_be32(mdfw::wrap_compressed(log, 8, 4, false), 24, 65536);
                    },
                    nullptr,
                    4,
                    {"Could not decompress file"}},
        FailureCase{"NoPasswordFile",
                    encrypt("secret"),
                    nullptr,
                    2,
                    {"No password found for device 00ABCDEF"}},
        FailureCase{"OnlyALowerCaseKey",
                    encrypt("secret"),
                    R"({"00abcdef": "secret"})",
                    2,
                    {"No password found for device 00ABCDEF"}},
        FailureCase{"ShortKeyDoesNotMatch",
                    encrypt("secret", 0x00000ABC),
                    R"({"ABC": "secret"})",
                    2,
                    {"No password found for device 00000ABC"}},
        FailureCase{"WrongPassword", encrypt("not it"), kPasswords, 2, {"Could not decrypt file"}},
        FailureCase{"TamperedCiphertext",
                    [](const Bytes& log) { return flip_bit(encrypt("secret")(log), 200); },
                    kPasswords,
                    2,
                    {"Could not decrypt file"}},
        FailureCase{"TamperedDeviceIdInHeader",
                    // Still a listed device, but the header is authenticated.
                    [](const Bytes& log) { return with_byte(encrypt("secret")(log), 16, 0x12); },
                    R"({"12ABCDEF": "secret"})",
                    2,
                    {"Could not decrypt file"}},
        FailureCase{"EncryptedTooShort",
                    [](const Bytes& log) {
                      Bytes b = encrypt("secret")(log);
                      b.resize(60);
                      return b;
                    },
                    kPasswords,
                    2,
                    {"Could not decrypt file"}},
        FailureCase{"WrongPasswordInsideCompressed",
                    layers({encrypt("not it"), compress(8, 4, true)}),
                    kPasswords,
                    2,
                    {"Could not decrypt file"}},
        FailureCase{"UnknownContainerType",
                    [](const Bytes& log) {
                      return with_byte(mdfw::wrap_compressed(log, 8, 4, false), 14, 0x33);
                    },
                    nullptr,
                    8,
                    {}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quarrow::test
