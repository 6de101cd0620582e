#include "core/hash.h"

namespace quarrow {

namespace {

uint64_t load_le(const unsigned char* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

uint64_t hash_bytes(StringView key) {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data);
  uint64_t n = key.size;
  if (n == 0) return 1;
  if (n == 4) return load_le(p, 4) * kHashMultiplier;
  if (n == 8) return load_le(p, 8) * kHashMultiplier;
  uint64_t h = p[0];
  uint64_t groups = n / 8;
  for (uint64_t g = 0; g < groups; ++g) h += load_le(p + g * 8, 8) * kHashMultiplier;
  for (uint64_t i = groups * 8; i < n; ++i) h = h * 1023 - p[i];
  return ((h << 26) | (h >> 38)) ^ h;
}

}  // namespace quarrow
