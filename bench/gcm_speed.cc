// The reference for the decryption figures: how fast Mbed TLS itself
// decrypts and authenticates an AES-256-GCM buffer in one call, and how long
// one PBKDF2-HMAC-SHA-256 key derivation takes. Prints "gcm_mb_s pbkdf2_ms".
#include <mbedtls/gcm.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double now() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
  unsigned iterations = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1000;
  int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  size_t size = megabytes << 20;
  std::vector<unsigned char> plain(size), cipher(size), out(size);
  for (size_t i = 0; i < size; ++i) plain[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
  unsigned char key[32] = {1, 2, 3}, iv[12] = {4, 5, 6}, aad[52] = {7}, tag[16];

  mbedtls_gcm_context gcm;
  mbedtls_gcm_init(&gcm);
  if (mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256) != 0 ||
      mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, size, iv, sizeof(iv), aad, sizeof(aad),
                                plain.data(), cipher.data(), sizeof(tag), tag) != 0) {
    return 1;
  }
  std::vector<double> gcm_times;
  for (int r = 0; r < runs; ++r) {
    double t0 = now();
    if (mbedtls_gcm_auth_decrypt(&gcm, size, iv, sizeof(iv), aad, sizeof(aad), tag, sizeof(tag),
                                 cipher.data(), out.data()) != 0) {
      return 1;
    }
    gcm_times.push_back(now() - t0);
  }
  mbedtls_gcm_free(&gcm);

  std::vector<double> kdf_times;
  const unsigned char password[] = "bench-password", salt[16] = {9};
  unsigned char derived[32];
  for (int r = 0; r < runs; ++r) {
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    double t0 = now();
    if (mbedtls_md_setup(&md, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1) != 0 ||
        mbedtls_pkcs5_pbkdf2_hmac(&md, password, sizeof(password) - 1, salt, sizeof(salt),
                                  iterations, sizeof(derived), derived) != 0) {
      return 1;
    }
    kdf_times.push_back(now() - t0);
    mbedtls_md_free(&md);
  }
  std::printf("%.1f %.3f\n", static_cast<double>(size) / 1e6 / median(gcm_times),
              median(kdf_times) * 1e3);
  return 0;
}
