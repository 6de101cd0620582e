#include "io/encrypted_container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/container.h"
#include "io/container_test_support.h"
#include "io/file_stream.h"
#include "mdfwriter/container_writer.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

// Few iterations keep the tests fast, also under the sanitizers.
mdfw::EncryptOptions options(const std::string& password = "s3cret", uint32_t device = 0x00000042) {
  mdfw::EncryptOptions o;
  o.password = password;
  o.device_id = device;
  o.iterations = 3;
  for (size_t i = 0; i < o.salt.size(); ++i) o.salt[i] = static_cast<uint8_t>(0xA0 + i);
  for (size_t i = 0; i < o.nonce.size(); ++i) o.nonce[i] = static_cast<uint8_t>(i * 7);
  return o;
}

using ContainerPtr = std::unique_ptr<ContainerStream, StreamCloser>;

ContainerPtr decrypt(ByteStream* s, StringView password) {
  ContainerHeader h;
  if (!container_read_header(s, &h)) return nullptr;
  return ContainerPtr(encrypted_container_open(s, h, password));
}

ContainerPtr decrypt(const std::vector<uint8_t>& file, StringView password) {
  StreamPtr s = memory_with(file);
  return decrypt(s.get(), password);
}

TEST(EncryptedContainerTest, WriterOutputRoundTrips) {
  for (size_t size : {size_t{1}, size_t{511}, size_t{512}, size_t{513}, size_t{100000}}) {
    std::vector<uint8_t> content = random_bytes(size, static_cast<uint32_t>(size));
    std::vector<uint8_t> file = mdfw::wrap_encrypted(content, options());
    ASSERT_EQ(file.size(), size + 68);
    StreamPtr s = memory_with(file);
    ContainerPtr out = decrypt(s.get(), "s3cret");
    ASSERT_NE(out, nullptr) << size;
    EXPECT_EQ(out->header().type, CONTAINER_ENCRYPTED);
    EXPECT_EQ(out->header().device_id, 0x42u);
    // Positioned at the end of the plaintext.
    EXPECT_EQ(stream_tell(out.get()), static_cast<int64_t>(size));
    EXPECT_EQ(read_all(out.get()), content) << size;
    // The given stream stays open.
    EXPECT_EQ(stream_seek(s.get(), 0, STREAM_SEEK_SET), 0);
  }
}

TEST(EncryptedContainerTest, EmptyPlaintextIsTheSmallestContainer) {
  mdfw::EncryptOptions o = options();
  o.flag = 1;
  std::vector<uint8_t> file = mdfw::wrap_encrypted({}, o);
  ASSERT_EQ(file.size(), 68u);
  ContainerPtr out = decrypt(file, "s3cret");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(stream_size(out.get()), 0);
}

TEST(EncryptedContainerTest, EmptyPasswordWorksBothWays) {
  std::vector<uint8_t> file = mdfw::wrap_encrypted(bytes_of("plain"), options(""));
  ContainerPtr out = decrypt(file, StringView());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(read_all(out.get()), bytes_of("plain"));
  EXPECT_EQ(decrypt(file, "s3cret"), nullptr);
}

TEST(EncryptedContainerTest, PasswordBytesAreUsedWithoutTerminator) {
  std::vector<uint8_t> file = mdfw::wrap_encrypted(bytes_of("plain"), options("abc"));
  const char longer[] = "abcdef";
  EXPECT_NE(decrypt(file, StringView(longer, 3)), nullptr);
  EXPECT_EQ(decrypt(file, StringView(longer, 4)), nullptr);
}

TEST(EncryptedContainerTest, WrongPasswordFails) {
  std::vector<uint8_t> file = mdfw::wrap_encrypted(bytes_of("plain text"), options());
  EXPECT_EQ(decrypt(file, "s3creT"), nullptr);
  EXPECT_EQ(decrypt(file, "s3cret "), nullptr);
}

TEST(EncryptedContainerTest, AuthenticatedBytesCannotChange) {
  std::vector<uint8_t> good = mdfw::wrap_encrypted(random_bytes(1000, 5), options());
  // Device id, nonce, the low byte of the iteration count, salt, ciphertext,
  // tag. Bytes 12 to 15 are judged before any cryptography.
  for (size_t at : {16u, 19u, 20u, 31u, 35u, 36u, 51u, 52u, 600u, 1051u, 1052u, 1067u}) {
    std::vector<uint8_t> file = good;
    file[at] ^= 0x01;
    EXPECT_EQ(decrypt(file, "s3cret"), nullptr) << at;
  }
  EXPECT_NE(decrypt(good, "s3cret"), nullptr);
}

TEST(EncryptedContainerTest, RefusesOtherHeadersBeforeAnyCryptography) {
  std::vector<uint8_t> good = mdfw::wrap_encrypted(bytes_of("x"), options());
  struct Case {
    size_t at;
    uint8_t value;
  };
  // checksum_flag 1, flag 2, version 2, compressed type.
  for (Case c : {Case{13, 1}, Case{12, 2}, Case{15, 2}, Case{14, 34}}) {
    std::vector<uint8_t> file = good;
    file[c.at] = c.value;
    EXPECT_EQ(decrypt(file, "s3cret"), nullptr) << c.at;
  }
}

TEST(EncryptedContainerTest, TruncatedFilesFail) {
  std::vector<uint8_t> good = mdfw::wrap_encrypted(random_bytes(300, 9), options());
  StreamPtr whole = memory_with(good);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(whole.get(), &h));
  // Every length below the smallest container, then a few inside the
  // ciphertext and one byte short of the whole.
  std::vector<size_t> lengths;
  for (size_t n = 0; n < 68; ++n) lengths.push_back(n);
  for (size_t n : {68u, 69u, 100u, 367u}) lengths.push_back(n);
  for (size_t n : lengths) {
    StreamPtr s =
        memory_with(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(n)));
    EXPECT_EQ(ContainerPtr(encrypted_container_open(s.get(), h, "s3cret")), nullptr) << n;
  }
  EXPECT_EQ(good.size(), 368u);
  EXPECT_NE(ContainerPtr(encrypted_container_open(whole.get(), h, "s3cret")), nullptr);
}

TEST(EncryptedContainerTest, ReadEndingEarlyFailsInsteadOfLooping) {
  std::vector<uint8_t> file = mdfw::wrap_encrypted(random_bytes(5000, 3), options());
  for (int64_t result : {0, -1}) {
    // The size still counts the whole file; reads stop inside the ciphertext.
    FaultyReadStream s(file, 3000, result);
    ContainerHeader h;
    ASSERT_TRUE(container_read_header(&s, &h));
    FullStream sink(1 << 20);
    EXPECT_FALSE(encrypted_container_decrypt(&s, h, "s3cret", &sink));
  }
}

TEST(EncryptedContainerTest, FailedWriteFailsTheDecryption) {
  std::vector<uint8_t> content = random_bytes(5000, 4);
  StreamPtr s = memory_with(mdfw::wrap_encrypted(content, options()));
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  FullStream full(2048);
  EXPECT_FALSE(encrypted_container_decrypt(s.get(), h, "s3cret", &full));
  FullStream roomy(content.size());
  EXPECT_TRUE(encrypted_container_decrypt(s.get(), h, "s3cret", &roomy));
  EXPECT_EQ(roomy.written(), content.size());
}

TEST(EncryptedContainerTest, CompressedInsideEncrypted) {
  std::vector<uint8_t> content = compressible_bytes(20000, 8);
  std::vector<uint8_t> file =
      mdfw::wrap_encrypted(mdfw::wrap_compressed(content, 11, 5, true), options());
  ContainerPtr outer = decrypt(file, "s3cret");
  ASSERT_NE(outer, nullptr);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(outer.get(), &h));
  ASSERT_EQ(h.type, CONTAINER_COMPRESSED);
  StreamPtr inner(compressed_container_open(outer.get(), h));
  ASSERT_NE(inner, nullptr);
  EXPECT_FALSE(container_read_header(inner.get(), &h));
  EXPECT_EQ(read_all(inner.get()), content);
}

TEST(EncryptedContainerTest, EncryptedInsideCompressed) {
  std::vector<uint8_t> content = compressible_bytes(20000, 9);
  std::vector<uint8_t> file =
      mdfw::wrap_compressed(mdfw::wrap_encrypted(content, options()), 8, 4, false);
  StreamPtr s = memory_with(file);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  ASSERT_EQ(h.type, CONTAINER_COMPRESSED);
  StreamPtr outer(compressed_container_open(s.get(), h));
  ASSERT_NE(outer, nullptr);
  ContainerPtr inner = decrypt(outer.get(), "s3cret");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(read_all(inner.get()), content);
}

TEST(EncryptedContainerTest, InteroperabilitySampleDecrypts) {
  std::string dir = std::string(QUARROW_TEST_DATA) + "/interop/logs/";
  StreamPtr file(file_stream_open((dir + "classic_enc.mfe").c_str(), 0));
  ASSERT_NE(file, nullptr);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(file.get(), &h));
  EXPECT_EQ(h.device_id, 0x1A2B3C4Du);
  ContainerPtr out(encrypted_container_open(file.get(), h, "s3cret-A"));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(read_all(out.get()), bytes_of(read_file(dir + "can_classic.mf4")));
  EXPECT_EQ(ContainerPtr(encrypted_container_open(file.get(), h, "s3cret-B")), nullptr);
}

}  // namespace
}  // namespace quarrow::test
