#include "mdfwriter/container_writer.h"

#include <openssl/evp.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace quarrow::mdfw {

namespace {

constexpr uint8_t kTypeCompressed = 34;
constexpr uint8_t kTypeEncrypted = 17;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "mdfwriter: %s\n", what);
  std::abort();
}

void put_be32(std::vector<uint8_t>* out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

std::vector<uint8_t> header(uint8_t flag, uint8_t checksum_flag, uint8_t type, uint32_t device_id) {
  static const char kMagic[] = "Generic File";
  std::vector<uint8_t> out(kMagic, kMagic + 12);
  out.push_back(flag);
  out.push_back(checksum_flag);
  out.push_back(type);
  out.push_back(1);  // version
  put_be32(&out, device_id);
  return out;
}

// Bit by bit rather than by table, so that it checks the reader's table
// instead of sharing its mistakes. No final inversion: that is how the
// footer stores it.
uint32_t crc32_register(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

}  // namespace

std::vector<uint8_t> wrap_compressed(const std::vector<uint8_t>& content, int window_sz2,
                                     int lookahead_sz2, bool crc, uint32_t device_id) {
  std::vector<uint8_t> payload = lzss_encode(content, window_sz2, lookahead_sz2);
  uint8_t flag = crc ? 1 : 0;
  std::vector<uint8_t> out = header(flag, flag, kTypeCompressed, device_id);
  put_be32(&out, static_cast<uint32_t>(lookahead_sz2));
  put_be32(&out, uint32_t{1} << window_sz2);
  out.insert(out.end(), payload.begin(), payload.end());
  if (crc) put_be32(&out, crc32_register(payload));
  return out;
}

std::vector<uint8_t> wrap_encrypted(const std::vector<uint8_t>& content,
                                    const EncryptOptions& options) {
  std::vector<uint8_t> out = header(options.flag, 0, kTypeEncrypted, options.device_id);
  out.insert(out.end(), options.nonce.begin(), options.nonce.end());
  put_be32(&out, options.iterations);
  out.insert(out.end(), options.salt.begin(), options.salt.end());

  unsigned char key[32];
  static const char kEmpty = 0;
  const char* password = options.password.empty() ? &kEmpty : options.password.data();
  // A count of 0 stands for one round, as the readers take it.
  int rounds = options.iterations == 0 ? 1 : static_cast<int>(options.iterations);
  check(options.iterations <= INT_MAX &&
            PKCS5_PBKDF2_HMAC(password, static_cast<int>(options.password.size()),
                              options.salt.data(), static_cast<int>(options.salt.size()), rounds,
                              EVP_sha256(), sizeof(key), key) == 1,
        "PBKDF2");

  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  int n = 0;
  check(cipher && EVP_EncryptInit_ex(cipher, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_SET_IVLEN,
                                static_cast<int>(options.nonce.size()), nullptr) == 1 &&
            EVP_EncryptInit_ex(cipher, nullptr, nullptr, key, options.nonce.data()) == 1,
        "cipher setup");
  // The header, nonce, iteration count and salt are authenticated as stored.
  check(EVP_EncryptUpdate(cipher, nullptr, &n, out.data(), 52) == 1, "additional data");
  size_t start = out.size();
  out.resize(start + content.size() + 16);
  int produced = 0;
  if (!content.empty())
    check(EVP_EncryptUpdate(cipher, &out[start], &produced, content.data(),
                            static_cast<int>(content.size())) == 1,
          "encrypt");
  int tail = 0;
  check(EVP_EncryptFinal_ex(cipher, &out[start + produced], &tail) == 1, "finish");
  out.resize(start + static_cast<size_t>(produced + tail));
  unsigned char tag[16];
  check(EVP_CIPHER_CTX_ctrl(cipher, EVP_CTRL_GCM_GET_TAG, sizeof(tag), tag) == 1, "tag");
  EVP_CIPHER_CTX_free(cipher);
  out.insert(out.end(), tag, tag + sizeof(tag));
  return out;
}

}  // namespace quarrow::mdfw
