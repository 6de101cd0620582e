#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "core/large_memory.h"

namespace quarrow {

// A growable array: data, count, capacity. Grows to capacity * 3 / 2 + 4
// (0, 4, 10, 19, 32, 52, ...). When growth fails the element is not appended
// and the array is unchanged; append reports it and the caller decides.
// Elements are destroyed from the last to the first on clear and release.
template <typename T>
class GrowArray {
 public:
  GrowArray() = default;
  ~GrowArray() { release(); }
  GrowArray(const GrowArray&) = delete;
  GrowArray& operator=(const GrowArray&) = delete;
  GrowArray(GrowArray&& o) noexcept : data_(o.data_), count_(o.count_), capacity_(o.capacity_) {
    o.data_ = nullptr;
    o.count_ = o.capacity_ = 0;
  }
  GrowArray& operator=(GrowArray&& o) noexcept {
    if (this != &o) {
      release();
      data_ = o.data_;
      count_ = o.count_;
      capacity_ = o.capacity_;
      o.data_ = nullptr;
      o.count_ = o.capacity_ = 0;
    }
    return *this;
  }

  uint64_t size() const { return count_; }
  uint64_t capacity() const { return capacity_; }
  bool empty() const { return count_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](uint64_t i) { return data_[i]; }
  const T& operator[](uint64_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + count_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + count_; }
  T& back() { return data_[count_ - 1]; }

  bool append(const T& value) {
    if (count_ == capacity_ && !grow()) return false;
    new (data_ + count_) T(value);
    ++count_;
    return true;
  }
  bool append(T&& value) {
    if (count_ == capacity_ && !grow()) return false;
    new (data_ + count_) T(std::move(value));
    ++count_;
    return true;
  }

  // Ensures room for n elements in total without the growth rule; used where
  // the final size is known up front.
  bool reserve(uint64_t n) { return n <= capacity_ || reallocate(n); }

  // Removes the last element.
  void pop_back() {
    --count_;
    data_[count_].~T();
  }

  // Destroys the elements, last first; keeps the storage.
  void clear() {
    while (count_ > 0) pop_back();
  }

  void release() {
    clear();
    std::free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

 private:
  bool grow() {
    if (capacity_ > (UINT64_MAX / sizeof(T) - 4) / 2) return false;
    return reallocate(capacity_ * 3 / 2 + 4);
  }

  bool reallocate(uint64_t n) {
    if (n > UINT64_MAX / sizeof(T)) return false;
    T* block;
    if constexpr (std::is_trivially_copyable_v<T>) {
      block = static_cast<T*>(std::realloc(data_, n * sizeof(T)));
      if (!block) return false;
    } else {
      block = static_cast<T*>(std::malloc(n * sizeof(T)));
      if (!block) return false;
      for (uint64_t i = 0; i < count_; ++i) {
        new (block + i) T(std::move(data_[i]));
        data_[i].~T();
      }
      std::free(data_);
    }
    large_memory_advise(block, n * sizeof(T));
    data_ = block;
    capacity_ = n;
    return true;
  }

  T* data_ = nullptr;
  uint64_t count_ = 0;
  uint64_t capacity_ = 0;
};

}  // namespace quarrow
