#pragma once

#include "core/string_view.h"
#include "io/container.h"
#include "io/stream.h"

namespace quarrow {

// Size of an encrypted container around an empty plaintext: header, nonce,
// iteration count, salt and tag.
inline constexpr int64_t ENCRYPTED_CONTAINER_MIN_SIZE = 68;

// Decrypts an encrypted container (type 17, version 1, flag 0 or 1,
// checksum_flag 0: AES-256-GCM, key by PBKDF2-HMAC-SHA-256 over the password
// bytes, the first 52 bytes authenticated) into output. False for any other
// header, a file shorter than 68 bytes, a short read, a cipher failure, a
// failed write or a tag mismatch (wrong password or tampered bytes).
// output receives plaintext before the tag has been checked: after false it
// must be discarded. An iteration count above max_iterations is refused
// before any key derivation, with a message; nothing else is logged. The
// stream stays open.
bool encrypted_container_decrypt(ByteStream* stream, const ContainerHeader& header,
                                 StringView password, ByteStream* output,
                                 uint32_t max_iterations = UINT32_MAX);

// The authenticated plaintext of an encrypted container, positioned at its
// end, or null (see encrypted_container_decrypt). The plaintext of a failed
// attempt is wiped before its memory is released. The stream stays open; the
// caller closes it. A stream that holds the whole container in one block of
// memory (a whole-file buffer, a memory or container stream) hands that block
// over: the plaintext is decrypted in place, and the stream is left empty,
// whether the decryption succeeds or not.
ContainerStream* encrypted_container_open(ByteStream* stream, const ContainerHeader& header,
                                          StringView password,
                                          uint32_t max_iterations = UINT32_MAX);

}  // namespace quarrow
