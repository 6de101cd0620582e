// The reference for the decryption figures: how fast the crypto library
// itself decrypts and authenticates an AES-256-GCM buffer in one pass, and
// how long one PBKDF2-HMAC-SHA-256 key derivation takes. Prints
// "gcm_mb_s pbkdf2_ms".
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <climits>
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

// One whole-buffer pass; false when the library refuses or the tag does not
// match.
bool gcm_pass(bool encrypt, const unsigned char* key, const unsigned char* iv,
              const unsigned char* aad, int aad_size, const unsigned char* in, int size,
              unsigned char* out, unsigned char* tag) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  bool ok = ctx && EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, iv, encrypt) == 1 &&
            (encrypt || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1) &&
            EVP_CipherUpdate(ctx, nullptr, &n, aad, aad_size) == 1 &&
            EVP_CipherUpdate(ctx, out, &n, in, size) == 1 &&
            EVP_CipherFinal_ex(ctx, out + n, &tail) == 1 &&
            (!encrypt || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag) == 1);
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32;
  int iterations = argc > 2 ? std::atoi(argv[2]) : 1000;
  int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  size_t size = megabytes << 20;
  if (size > INT_MAX || iterations < 1) return 2;
  std::vector<unsigned char> plain(size), cipher(size), out(size);
  for (size_t i = 0; i < size; ++i) plain[i] = static_cast<unsigned char>(i * 131 + (i >> 9));
  unsigned char key[32] = {1, 2, 3}, iv[12] = {4, 5, 6}, aad[52] = {7}, tag[16];
  int n = static_cast<int>(size);
  if (!gcm_pass(true, key, iv, aad, sizeof(aad), plain.data(), n, cipher.data(), tag)) return 1;
  std::vector<double> gcm_times;
  for (int r = 0; r < runs; ++r) {
    double t0 = now();
    if (!gcm_pass(false, key, iv, aad, sizeof(aad), cipher.data(), n, out.data(), tag)) return 1;
    gcm_times.push_back(now() - t0);
  }

  std::vector<double> kdf_times;
  const char password[] = "bench-password";
  const unsigned char salt[16] = {9};
  unsigned char derived[32];
  for (int r = 0; r < runs; ++r) {
    double t0 = now();
    if (PKCS5_PBKDF2_HMAC(password, sizeof(password) - 1, salt, sizeof(salt), iterations,
                          EVP_sha256(), sizeof(derived), derived) != 1) {
      return 1;
    }
    kdf_times.push_back(now() - t0);
  }
  std::printf("%.1f %.3f\n", static_cast<double>(size) / 1e6 / median(gcm_times),
              median(kdf_times) * 1e3);
  return 0;
}
