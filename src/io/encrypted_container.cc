#include "io/encrypted_container.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <new>

#include "io/memory_stream.h"
#include "log/log.h"

namespace quarrow {

namespace {

constexpr int64_t kNonceOffset = 20;
constexpr size_t kNonceSize = 12;
constexpr size_t kSaltSize = 16;
constexpr size_t kTagSize = 16;
constexpr size_t kAadSize = 52;
constexpr size_t kKeySize = 32;
constexpr size_t kPiece = 16384;
// Pieces decrypted in place are larger: only the calls cost per piece.
constexpr size_t kDirectPiece = 1024 * 1024;

bool encrypted_header_valid(const ContainerHeader& h) {
  return h.type == CONTAINER_ENCRYPTED && h.version == 1 && h.flag <= 1 && h.checksum_flag == 0;
}

struct KeyParameters {
  uint8_t nonce[kNonceSize];
  uint32_t iterations;
  uint8_t salt[kSaltSize];
  uint8_t tag[kTagSize];
  uint8_t aad[kAadSize];
};

bool seek_to(ByteStream* stream, int64_t offset) {
  return stream_seek(stream, offset, STREAM_SEEK_SET) == offset;
}

bool read_parameters(ByteStream* stream, int64_t size, KeyParameters* p) {
  return seek_to(stream, kNonceOffset) && container_read_exact(stream, p->nonce, kNonceSize) &&
         container_read_be32(stream, &p->iterations) &&
         container_read_exact(stream, p->salt, kSaltSize) &&
         seek_to(stream, size - static_cast<int64_t>(kTagSize)) &&
         container_read_exact(stream, p->tag, kTagSize) && seek_to(stream, 0) &&
         container_read_exact(stream, p->aad, kAadSize);
}

bool derive_key(StringView password, const KeyParameters& p, uint8_t key[kKeySize]) {
  // A null pointer for an empty password is not something every library
  // version accepts.
  static const char kEmpty = 0;
  const char* bytes = password.size ? password.data : &kEmpty;
  // A count of 0 derives what one round derives, as the loggers' own
  // library does; the derivation here refuses 0 outright.
  int rounds = p.iterations == 0 ? 1 : static_cast<int>(p.iterations);
  return password.size <= INT_MAX &&
         PKCS5_PBKDF2_HMAC(bytes, static_cast<int>(password.size), p.salt, kSaltSize, rounds,
                           EVP_sha256(), kKeySize, key) == 1;
}

// Owns the cipher context and the key so that every way out wipes them.
class GcmDecryption {
 public:
  GcmDecryption() : cipher_(EVP_CIPHER_CTX_new()) {}
  ~GcmDecryption() {
    EVP_CIPHER_CTX_free(cipher_);
    OPENSSL_cleanse(key_, sizeof(key_));
  }
  GcmDecryption(const GcmDecryption&) = delete;
  GcmDecryption& operator=(const GcmDecryption&) = delete;

  // The tag is handed over before any data: it is checked when decryption
  // finishes.
  bool start(StringView password, const KeyParameters& p) {
    int ignored = 0;
    bool ok = cipher_ && derive_key(password, p, key_) &&
              EVP_DecryptInit_ex(cipher_, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(cipher_, EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
              EVP_DecryptInit_ex(cipher_, nullptr, nullptr, key_, p.nonce) == 1;
    OPENSSL_cleanse(key_, sizeof(key_));
    return ok &&
           EVP_CIPHER_CTX_ctrl(cipher_, EVP_CTRL_GCM_SET_TAG, kTagSize,
                               const_cast<uint8_t*>(p.tag)) == 1 &&
           EVP_DecryptUpdate(cipher_, nullptr, &ignored, p.aad, kAadSize) == 1;
  }

  // Decrypts length bytes from the stream's position into output and checks
  // the tag. With `direct` (output's content), a piece the stream holds in
  // memory is decrypted from there straight into the room reserved in
  // direct, which spares copying the ciphertext out and the plaintext in.
  bool run(ByteStream* stream, int64_t length, ByteStream* output, MemoryStream* direct) {
    uint8_t in[kPiece];
    uint8_t out[kPiece];
    bool ok = true;
    while (ok && length > 0) {
      size_t piece =
          length < static_cast<int64_t>(kDirectPiece) ? static_cast<size_t>(length) : kDirectPiece;
      const void* source = direct ? stream_peek(stream, piece) : nullptr;
      // GCM gives out exactly as many bytes as it takes, which is all the
      // room holds.
      unsigned char* target = source ? direct->room(piece) : nullptr;
      size_t produced = 0;
      if (target) {
        ok = update(static_cast<const unsigned char*>(source), piece, target, &produced) &&
             stream_seek(stream, static_cast<int64_t>(piece), STREAM_SEEK_CUR) >= 0;
        if (ok) direct->wrote(produced);
      } else {
        if (piece > kPiece) piece = kPiece;
        ok = container_read_exact(stream, in, piece) && update(in, piece, out, &produced) &&
             write_all(output, out, produced);
      }
      length -= static_cast<int64_t>(piece);
    }
    OPENSSL_cleanse(out, sizeof(out));
    return ok && finish();
  }

  // Decrypts the length bytes behind the first kAadSize bytes of plain's
  // room, where the whole container is, to the start of that room, and
  // checks the tag. Each piece is decrypted where it lies, which the cipher
  // allows, and moved down while it is still in the cache: the file is never
  // copied whole.
  bool run_in_place(MemoryStream* plain, int64_t length) {
    bool ok = true;
    uint64_t done = 0;
    while (ok && static_cast<uint64_t>(length) > done) {
      uint64_t left = static_cast<uint64_t>(length) - done;
      size_t piece = left < kDirectPiece ? static_cast<size_t>(left) : kDirectPiece;
      unsigned char* target = plain->room(piece);
      // The room is the container's own block, so the ciphertext is ours to
      // overwrite.
      unsigned char* source = const_cast<unsigned char*>(plain->data()) + kAadSize + done;
      size_t produced = 0;
      ok = target && update(source, piece, source, &produced);
      if (ok) {
        std::memmove(target, source, produced);
        plain->wrote(produced);
      }
      done += piece;
    }
    return ok && finish();
  }

 private:
  bool update(const unsigned char* in, size_t size, unsigned char* out, size_t* produced) {
    int n = 0;
    if (EVP_DecryptUpdate(cipher_, out, &n, in, static_cast<int>(size)) != 1 || n < 0 ||
        static_cast<size_t>(n) > size) {
      return false;
    }
    *produced = static_cast<size_t>(n);
    return true;
  }

  // GCM holds nothing back, so finishing only checks the tag.
  bool finish() {
    unsigned char out[16];
    int produced = 0;
    bool ok = EVP_DecryptFinal_ex(cipher_, out, &produced) == 1 && produced == 0;
    OPENSSL_cleanse(out, sizeof(out));
    return ok;
  }

  static bool write_all(ByteStream* output, const uint8_t* bytes, size_t size) {
    return size == 0 || stream_write(output, bytes, size) == static_cast<int64_t>(size);
  }

  EVP_CIPHER_CTX* cipher_;
  uint8_t key_[kKeySize] = {};
};

// Gives the plaintext its whole room in one block before any of it is
// written, so that growth never leaves a copy behind in a block it gave back.
bool reserve_plaintext(ContainerStream* plain, int64_t length) {
  return plain->content()->reserve(static_cast<uint64_t>(length));
}

void wipe(const MemoryStream* plain) {
  if (plain->capacity() > 0)
    OPENSSL_cleanse(const_cast<unsigned char*>(plain->data()), plain->capacity());
}

bool decrypt(ByteStream* stream, const ContainerHeader& header, StringView password,
             ByteStream* output, MemoryStream* direct, uint32_t max_iterations) {
  if (!stream || !output || !encrypted_header_valid(header)) return false;
  // Checked before anything else is read: a shorter file would give a
  // negative ciphertext length.
  int64_t size = stream_size(stream);
  if (size < ENCRYPTED_CONTAINER_MIN_SIZE) return false;
  KeyParameters parameters;
  if (!read_parameters(stream, size, &parameters)) return false;
  // The file sets the cost of its key derivation: up to 2^32 - 1 rounds
  // would take hours.
  if (parameters.iterations > max_iterations) {
    QLOG(LOG_ERROR, "Key derivation asks for %u iterations, more than the limit of %u",
         parameters.iterations, max_iterations);
    return false;
  }
  GcmDecryption gcm;
  if (!gcm.start(password, parameters)) return false;
  int64_t length = size - ENCRYPTED_CONTAINER_MIN_SIZE;
  // Where the stream holds the whole file in one block, that block becomes
  // the plaintext's; from then on any failure leaves it to the caller's
  // wiping with the rest of direct.
  uint64_t held = 0;
  uint64_t capacity = 0;
  unsigned char* block = direct ? stream_release_content(stream, &held, &capacity) : nullptr;
  if (block) {
    direct->adopt(block, capacity);
    return held == static_cast<uint64_t>(size) && gcm.run_in_place(direct, length);
  }
  return gcm.run(stream, length, output, direct);
}

}  // namespace

bool encrypted_container_decrypt(ByteStream* stream, const ContainerHeader& header,
                                 StringView password, ByteStream* output, uint32_t max_iterations) {
  return decrypt(stream, header, password, output, nullptr, max_iterations);
}

ContainerStream* encrypted_container_open(ByteStream* stream, const ContainerHeader& header,
                                          StringView password, uint32_t max_iterations) {
  if (!stream || !encrypted_header_valid(header)) return nullptr;
  int64_t size = stream_size(stream);
  if (size < ENCRYPTED_CONTAINER_MIN_SIZE) return nullptr;
  ContainerStream* container = container_stream_create(header);
  if (!container) return nullptr;
  if (!reserve_plaintext(container, size - ENCRYPTED_CONTAINER_MIN_SIZE) ||
      !decrypt(stream, header, password, container, container->content(), max_iterations)) {
    wipe(container->content());
    stream_close(container);
    return nullptr;
  }
  return container;
}

}  // namespace quarrow
