#pragma once

#include <cstdint>
#include <cstring>

#include "core/string_view.h"

namespace quarrow {

inline constexpr uint64_t kHashMultiplier = 0xc6a4a7935bd1e99dULL;

inline uint64_t hash_u64(uint64_t key) { return key * kHashMultiplier; }

inline uint64_t hash_double(double key) {
  uint64_t bits;
  std::memcpy(&bits, &key, sizeof(bits));
  return hash_u64(bits);
}

// Hash of a byte string; short keys of 4 and 8 bytes take a fast path.
uint64_t hash_bytes(StringView key);

}  // namespace quarrow
