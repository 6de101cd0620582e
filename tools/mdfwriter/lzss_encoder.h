#pragma once

#include <cstdint>
#include <vector>

namespace quarrow::mdfw {

// Packs bits most significant first, padding the last byte with zeros.
class BitWriter {
 public:
  void put(uint32_t value, int count);
  // Flushes a partial byte and hands over the bytes.
  std::vector<uint8_t> finish();

 private:
  std::vector<uint8_t> bytes_;
  uint8_t current_ = 0;
  int used_ = 0;
};

}  // namespace quarrow::mdfw
