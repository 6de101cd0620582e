#include "mdfwriter/container_writer.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>

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

void check(int result, const char* what) {
  if (result != 0) fail(what);
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
  static const unsigned char kEmpty = 0;
  const auto* password = options.password.empty()
                             ? &kEmpty
                             : reinterpret_cast<const unsigned char*>(options.password.data());
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  check(mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1), "md setup");
  check(mbedtls_pkcs5_pbkdf2_hmac(&md, password, options.password.size(), options.salt.data(),
                                  options.salt.size(), options.iterations, sizeof(key), key),
        "PBKDF2");
  mbedtls_md_free(&md);

  mbedtls_cipher_context_t cipher;
  mbedtls_cipher_init(&cipher);
  check(mbedtls_cipher_setup(
            &cipher, mbedtls_cipher_info_from_values(MBEDTLS_CIPHER_ID_AES, 256, MBEDTLS_MODE_GCM)),
        "cipher setup");
  check(mbedtls_cipher_setkey(&cipher, key, 256, MBEDTLS_ENCRYPT), "set key");
  check(mbedtls_cipher_set_iv(&cipher, options.nonce.data(), options.nonce.size()), "set iv");
  // The header, nonce, iteration count and salt are authenticated as stored.
  check(mbedtls_cipher_update_ad(&cipher, out.data(), 52), "additional data");
  size_t start = out.size();
  out.resize(start + content.size() + 16);
  size_t produced = 0;
  if (!content.empty())
    check(mbedtls_cipher_update(&cipher, content.data(), content.size(), &out[start], &produced),
          "encrypt");
  size_t tail = 0;
  check(mbedtls_cipher_finish(&cipher, &out[start + produced], &tail), "finish");
  out.resize(start + produced + tail);
  unsigned char tag[16];
  check(mbedtls_cipher_write_tag(&cipher, tag, sizeof(tag)), "tag");
  mbedtls_cipher_free(&cipher);
  out.insert(out.end(), tag, tag + sizeof(tag));
  return out;
}

}  // namespace quarrow::mdfw
