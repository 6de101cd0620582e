#include "io/encrypted_container.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

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
  static const unsigned char kEmpty = 0;
  const auto* bytes =
      password.size ? reinterpret_cast<const unsigned char*>(password.data) : &kEmpty;
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
  bool ok = info && mbedtls_md_setup(&md, info, 1) == 0 &&
            mbedtls_pkcs5_pbkdf2_hmac(&md, bytes, password.size, p.salt, kSaltSize, p.iterations,
                                      kKeySize, key) == 0;
  mbedtls_md_free(&md);
  return ok;
}

// Owns the cipher context and the key so that every way out wipes them.
class GcmDecryption {
 public:
  GcmDecryption() { mbedtls_cipher_init(&cipher_); }
  ~GcmDecryption() {
    mbedtls_cipher_free(&cipher_);
    mbedtls_platform_zeroize(key_, sizeof(key_));
  }
  GcmDecryption(const GcmDecryption&) = delete;
  GcmDecryption& operator=(const GcmDecryption&) = delete;

  bool start(StringView password, const KeyParameters& p) {
    const mbedtls_cipher_info_t* info =
        mbedtls_cipher_info_from_values(MBEDTLS_CIPHER_ID_AES, 256, MBEDTLS_MODE_GCM);
    bool ok = info && derive_key(password, p, key_) && mbedtls_cipher_setup(&cipher_, info) == 0 &&
              mbedtls_cipher_setkey(&cipher_, key_, 256, MBEDTLS_DECRYPT) == 0;
    mbedtls_platform_zeroize(key_, sizeof(key_));
    return ok && mbedtls_cipher_set_iv(&cipher_, p.nonce, kNonceSize) == 0 &&
           mbedtls_cipher_update_ad(&cipher_, p.aad, kAadSize) == 0;
  }

  // Decrypts length bytes from the stream's position into output. With
  // `direct` (output's content), a piece the stream holds in memory is
  // decrypted from there straight into the room reserved in direct, which
  // spares copying the ciphertext out and the plaintext in.
  bool run(ByteStream* stream, int64_t length, ByteStream* output, MemoryStream* direct) {
    uint8_t in[kPiece];
    // GCM gives out as many bytes as it takes; the extra block is headroom
    // for libraries that hold back a partial block.
    uint8_t out[kPiece + 16];
    bool ok = true;
    while (ok && length > 0) {
      size_t piece =
          length < static_cast<int64_t>(kDirectPiece) ? static_cast<size_t>(length) : kDirectPiece;
      const void* source = direct ? stream_peek(stream, piece) : nullptr;
      // The cipher's output for GCM never exceeds its input, which is all the
      // room holds.
      unsigned char* target = source ? direct->room(piece) : nullptr;
      size_t produced = 0;
      if (target) {
        ok = mbedtls_cipher_update(&cipher_, static_cast<const unsigned char*>(source), piece,
                                   target, &produced) == 0 &&
             produced <= piece &&
             stream_seek(stream, static_cast<int64_t>(piece), STREAM_SEEK_CUR) >= 0;
        if (ok) direct->wrote(produced);
      } else {
        if (piece > kPiece) piece = kPiece;
        ok = container_read_exact(stream, in, piece) &&
             mbedtls_cipher_update(&cipher_, in, piece, out, &produced) == 0 &&
             write_all(output, out, produced);
      }
      length -= static_cast<int64_t>(piece);
    }
    ok = ok && finish(output);
    mbedtls_platform_zeroize(out, sizeof(out));
    return ok;
  }

  // Decrypts the length bytes behind the first kAadSize bytes of plain's
  // room, where the whole container is, to the start of that room. GCM
  // allows the output to trail the input like that (by at least 8 bytes);
  // the file is then never copied at all.
  bool run_in_place(MemoryStream* plain, int64_t length) {
    bool ok = true;
    uint64_t done = 0;
    while (ok && static_cast<uint64_t>(length) > done) {
      uint64_t left = static_cast<uint64_t>(length) - done;
      size_t piece = left < kDirectPiece ? static_cast<size_t>(left) : kDirectPiece;
      const unsigned char* source = plain->data() + kAadSize + done;
      unsigned char* target = plain->room(piece);
      size_t produced = 0;
      ok = target && mbedtls_cipher_update(&cipher_, source, piece, target, &produced) == 0 &&
           produced <= piece;
      if (ok) plain->wrote(produced);
      done += piece;
    }
    return ok && finish(plain);
  }

  bool check_tag(const uint8_t tag[kTagSize]) {
    return mbedtls_cipher_check_tag(&cipher_, tag, kTagSize) == 0;
  }

 private:
  bool finish(ByteStream* output) {
    uint8_t out[16];
    size_t produced = 0;
    bool ok = mbedtls_cipher_finish(&cipher_, out, &produced) == 0 && produced <= sizeof(out) &&
              write_all(output, out, produced);
    mbedtls_platform_zeroize(out, sizeof(out));
    return ok;
  }

  static bool write_all(ByteStream* output, const uint8_t* bytes, size_t size) {
    return size == 0 || stream_write(output, bytes, size) == static_cast<int64_t>(size);
  }

  mbedtls_cipher_context_t cipher_;
  uint8_t key_[kKeySize] = {};
};

// Gives the plaintext its whole room in one block before any of it is
// written, so that growth never leaves a copy behind in a block it gave back.
bool reserve_plaintext(ContainerStream* plain, int64_t length) {
  return plain->content()->reserve(static_cast<uint64_t>(length));
}

void wipe(const MemoryStream* plain) {
  if (plain->capacity() > 0)
    mbedtls_platform_zeroize(const_cast<unsigned char*>(plain->data()), plain->capacity());
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
    return held == static_cast<uint64_t>(size) && gcm.run_in_place(direct, length) &&
           gcm.check_tag(parameters.tag);
  }
  return gcm.run(stream, length, output, direct) && gcm.check_tag(parameters.tag);
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
