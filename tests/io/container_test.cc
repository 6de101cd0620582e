#include "io/container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/container_test_support.h"
#include "io/encrypted_container.h"
#include "mdfwriter/container_writer.h"

namespace quarrow::test {
namespace {

using Bytes = std::vector<uint8_t>;
using ContainerPtr = std::unique_ptr<ContainerStream, StreamCloser>;

void append_be32(Bytes* v, uint32_t x) {
  for (int shift = 24; shift >= 0; shift -= 8) v->push_back(static_cast<uint8_t>(x >> shift));
}

// A compressed container assembled by hand; with_crc also sets the flags.
Bytes compressed(uint32_t lookahead, uint32_t window, const Bytes& payload, bool with_crc = false,
                 uint32_t crc = 0) {
  Bytes file = bytes_of("Generic File");
  file.insert(file.end(), {with_crc, with_crc, CONTAINER_COMPRESSED, 1, 0, 0, 0, 7});
  append_be32(&file, lookahead);
  append_be32(&file, window);
  file.insert(file.end(), payload.begin(), payload.end());
  if (with_crc) append_be32(&file, crc);
  return file;
}

// Reads the header and opens the container as its type says; null when either fails.
ContainerPtr open(ByteStream* s, StringView password = "s3cret") {
  ContainerHeader h;
  if (!container_read_header(s, &h)) return nullptr;
  return ContainerPtr(h.type == CONTAINER_COMPRESSED ? compressed_container_open(s, h)
                                                     : encrypted_container_open(s, h, password));
}

ContainerPtr open(const Bytes& file, StringView password = "s3cret") {
  return open(memory_with(file).get(), password);
}

TEST(CompressedContainerTest, AcceptsOnlyItsHeaderAndDecoderFields) {
  // flag, checksum flag, type, version
  for (Bytes header : {Bytes{0, 0, 34, 2}, {1, 0, 34, 1}, {0, 1, 34, 1}, {2, 2, 34, 1}}) {
    Bytes file = compressed(4, 256, {0xA0, 0x80});
    std::copy(header.begin(), header.end(), file.begin() + 12);
    EXPECT_EQ(open(file), nullptr) << +header[0] << +header[1] << +header[3];
  }
  // Only the lowest byte of the lookahead counts; the lowest set bit gives the window.
  const std::tuple<uint32_t, uint32_t, bool> fields[] = {
      {4, 256, true},     {4, 16, false},    {4, 65536, false},  {4, 0, false},
      {3, 16, true},      {14, 32768, true}, {15, 32768, false}, {2, 256, false},
      {0x104, 256, true}, {4, 0x300, true}};
  for (const auto& [lookahead, window, accepted] : fields) {
    // "A" as a literal in any window: 1 01000001.
    ContainerPtr out = open(compressed(lookahead, window, {0xA0, 0x80}));
    EXPECT_EQ(out != nullptr, accepted) << lookahead << "/" << window;
    EXPECT_TRUE(!out || read_all(out.get()) == bytes_of("A"));
  }
  Bytes file = compressed(4, 256, {});
  for (size_t n = 20; n < 28; ++n) {
    testing::internal::CaptureStderr();  // short fields are refused silently
    EXPECT_EQ(open(Bytes(file.begin(), file.begin() + n)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
}

// The checksum covers the payload as stored, whether or not it decodes.
TEST(CompressedContainerTest, ChecksumFailuresAreLoggedWithTheirMessages) {
  const Bytes payload = bytes_of("123456789");
  auto cut = [](Bytes b, size_t n) { return Bytes(b.begin(), b.end() - n); };
  const std::string missing = "Expected to read out CRC from footer, but found none\n";
  const std::pair<Bytes, std::string> cases[] = {
      {compressed(4, 256, payload, true, 0x340BC6D9), ""},
      {compressed(4, 256, {}, true, 0xFFFFFFFF), ""},
      {compressed(4, 256, payload, true, 0x340BC6D8),
       " E Could not validate checksum, expected 340BC6D8 but found 340BC6D9\n"},
      {cut(compressed(4, 256, {}, true), 1), missing},
      {cut(compressed(4, 256, {}, true), 4), missing},
  };
  for (const auto& [file, message] : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(open(file) != nullptr, message.empty()) << message;
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), message.size())), message) << log;
  }
  // The size says there is a footer, but reading stops just before it.
  Bytes file = compressed(4, 256, {0xA0, 0x80}, true, 0);
  FaultyReadStream s(file, static_cast<int64_t>(file.size()) - 4, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(open(&s), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(missing), std::string::npos);
}

TEST(CompressedContainerTest, EveryWindowAndLookaheadRoundTripsAndFailuresOfEitherSideFail) {
  const Bytes shapes[] = {
      {}, {0x42}, Bytes(70000, 0), random_bytes(3000, 1, 7), random_bytes(700, 2)};
  for (int w = 4; w <= 15; ++w) {
    for (int l = 3; l < w; ++l) {
      for (const Bytes& data : shapes) {
        ContainerPtr out = open(mdfw::wrap_compressed(data, w, l, (w + l) % 2));
        ASSERT_NE(out, nullptr) << w << "/" << l;
        ASSERT_EQ(read_all(out.get()), data) << w << "/" << l << " " << data.size();
      }
    }
  }
  Bytes file = mdfw::wrap_compressed(random_bytes(50000, 11, 7), 10, 5, false);
  ContainerHeader h;
  StreamPtr s = memory_with(file);
  ASSERT_TRUE(container_read_header(s.get(), &h));
  ByteStream unwritable;
  EXPECT_FALSE(compressed_container_decode(s.get(), h, &unwritable));
  FaultyReadStream faulty(file, 2000, -1);
  EXPECT_EQ(open(&faulty), nullptr);
}

// Few iterations keep the tests fast, also under the sanitizers.
mdfw::EncryptOptions options(const std::string& password = "s3cret") {
  mdfw::EncryptOptions o;
  o.password = password;
  o.device_id = 0x42;
  o.iterations = 3;
  for (size_t i = 0; i < o.salt.size(); ++i) o.salt[i] = static_cast<uint8_t>(0xA0 + i);
  for (size_t i = 0; i < o.nonce.size(); ++i) o.nonce[i] = static_cast<uint8_t>(i * 7);
  return o;
}

TEST(EncryptedContainerTest, WriterOutputRoundTripsWithItsPasswordOnly) {
  for (size_t size : {0, 1, 511, 512, 513, 100000}) {
    Bytes content = random_bytes(size, size);
    Bytes file = mdfw::wrap_encrypted(content, options());
    ASSERT_EQ(file.size(), size + 68);
    ContainerPtr out = open(file);
    ASSERT_NE(out, nullptr) << size;
    EXPECT_EQ(stream_tell(out.get()), static_cast<int64_t>(size));  // left at the end
    EXPECT_EQ(read_all(out.get()), content) << size;
  }
  Bytes file = mdfw::wrap_encrypted(bytes_of("plain"), options("abc"));
  EXPECT_NE(open(file, StringView("abcdef", 3)), nullptr);  // no terminator is hashed
  for (StringView wrong : {StringView("abcd"), StringView("abC"), StringView()})
    EXPECT_EQ(open(file, wrong), nullptr);
  EXPECT_NE(open(mdfw::wrap_encrypted({}, options("")), StringView()), nullptr);
}

TEST(EncryptedContainerTest, TamperedOrForeignBytesFail) {
  const Bytes good = mdfw::wrap_encrypted(random_bytes(1000, 5), options());
  // Flag, version and type are judged before any cryptography; the device id,
  // nonce, iteration count, salt, ciphertext and tag are authenticated.
  const std::pair<size_t, uint8_t> changes[] = {
      {13, 1}, {12, 2}, {15, 2}, {14, 0x33}, {16, 1},  {19, 1},   {20, 1},   {31, 1},
      {35, 1}, {36, 1}, {51, 1}, {52, 1},    {600, 1}, {1051, 1}, {1052, 1}, {1067, 1}};
  for (auto [at, value] : changes) {
    Bytes file = good;
    file[at] = at < 16 ? value : file[at] ^ value;
    EXPECT_EQ(open(file), nullptr) << at;
  }
  for (size_t n : {0, 20, 67, 68, 100, 1067})
    EXPECT_EQ(open(Bytes(good.begin(), good.begin() + n)), nullptr) << n;
  for (int64_t result : {0, -1}) {
    // The size counts the whole file; reads stop inside the ciphertext.
    FaultyReadStream s(good, 600, result);
    EXPECT_EQ(open(&s), nullptr) << result;
  }
  StreamPtr s = memory_with(good);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  ByteStream unwritable;
  EXPECT_FALSE(encrypted_container_decrypt(s.get(), h, "s3cret", &unwritable));
}

}  // namespace
}  // namespace quarrow::test
