#pragma once

#include <cstdint>

namespace quarrow {

// A quarter of the physical memory, or 1 GiB when it cannot be told.
uint64_t default_max_unwrapped_bytes();

// Bounds that keep one damaged or hostile input from taking unbounded memory
// or time. A file that exceeds one fails with a message naming the limit.
struct ResourceLimits {
  // Decompressed content of one container layer; it is held in memory whole.
  uint64_t max_unwrapped_bytes = default_max_unwrapped_bytes();
  // PBKDF2 iterations an encrypted log may ask for: the file chooses the
  // cost of its key derivation, about 1.4 s per million.
  uint32_t max_key_iterations = 10'000'000;
  // The password file is read whole before it is searched.
  uint64_t max_password_file_bytes = 16 << 20;
};

}  // namespace quarrow
