#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quarrow::mdfw {

// Compresses data in the LZSS bit format the converter decodes: window
// 2^window_sz2 bytes (4..15), back-reference lengths up to 2^lookahead_sz2
// (3..window_sz2-1).
std::vector<uint8_t> lzss_encode(const std::vector<uint8_t>& data, int window_sz2,
                                 int lookahead_sz2);

// A compressed container around content: 20-byte header (type 34), the
// lookahead and window fields, the compressed payload and, with crc, the
// CRC-32 footer.
std::vector<uint8_t> wrap_compressed(const std::vector<uint8_t>& content, int window_sz2,
                                     int lookahead_sz2, bool crc, uint32_t device_id = 0);

struct EncryptOptions {
  std::string password;
  uint32_t device_id = 0;
  uint32_t iterations = 1000;
  std::array<uint8_t, 16> salt{};
  std::array<uint8_t, 12> nonce{};
  uint8_t flag = 0;
};

// An encrypted container around content: header (type 17), nonce, PBKDF2
// iteration count and salt, AES-256-GCM ciphertext and tag.
std::vector<uint8_t> wrap_encrypted(const std::vector<uint8_t>& content,
                                    const EncryptOptions& options);

}  // namespace quarrow::mdfw
