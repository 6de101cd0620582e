#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/hash.h"
#include "core/sso_string.h"

namespace quarrow {

// How a key type hashes and compares. Lookups may use a cheaper type than the
// stored key (a StringView for SsoString keys).
template <typename K>
struct KeyTraits;

template <>
struct KeyTraits<uint64_t> {
  using Lookup = uint64_t;
  static uint64_t hash(uint64_t k) { return hash_u64(k); }
  static bool equal(uint64_t a, uint64_t b) { return a == b; }
};

template <>
struct KeyTraits<double> {
  using Lookup = double;
  static uint64_t hash(double k) { return hash_double(k); }
  // Floating-point equality on purpose: a NaN key never matches.
  static bool equal(double a, double b) { return a == b; }
};

template <>
struct KeyTraits<SsoString> {
  using Lookup = StringView;
  static uint64_t hash(StringView k) { return hash_bytes(k); }
  static bool equal(const SsoString& a, StringView b) { return a.view() == b; }
};

// Open-addressing hash map with one control byte per slot: 0 marks an empty
// slot, an occupied one holds 0x80 | (hash & 0xFF), and one extra 0xFF byte
// ends the array. Linear probing from the home slot ((hash mod 2^32) *
// capacity >> 32), wrapping at the end. The table is rebuilt before it gets
// 85 % full, so every probe meets an empty slot. Allocation failure leaves
// the map as it was and is reported as a null slot.
template <typename K, typename V>
class HashMap {
 public:
  struct Slot {
    K key;
    V value;
  };
  struct InsertResult {
    Slot* slot;     // null when memory is short
    bool inserted;  // false when the key was already present
  };
  using Traits = KeyTraits<K>;
  using Lookup = typename Traits::Lookup;

  HashMap() = default;
  ~HashMap() { release(); }
  HashMap(const HashMap&) = delete;
  HashMap& operator=(const HashMap&) = delete;

  uint32_t size() const { return count_; }
  int32_t capacity() const { return capacity_; }
  bool empty() const { return count_ == 0; }

  Slot* find(const Lookup& key) {
    if (count_ == 0) return nullptr;
    uint64_t h = Traits::hash(key);
    uint8_t tag = static_cast<uint8_t>(h) | 0x80;
    for (uint32_t i = home(h); ctrl_[i] != 0; i = next(i)) {
      if (ctrl_[i] == tag && Traits::equal(slots_[i].key, key)) return &slots_[i];
    }
    return nullptr;
  }
  const Slot* find(const Lookup& key) const { return const_cast<HashMap*>(this)->find(key); }

  // Inserts key with a default value, or returns the slot that holds it.
  // The key is moved into a newly claimed slot only.
  InsertResult insert(K&& key) { return insert_impl(std::move(key)); }
  InsertResult insert(const K& key) { return insert_impl(K(key)); }

  // Slot-order iteration over occupied slots.
  int32_t slot_count() const { return capacity_; }
  bool occupied(int32_t i) const { return ctrl_[i] != 0; }
  Slot& slot(int32_t i) { return slots_[i]; }
  const Slot& slot(int32_t i) const { return slots_[i]; }
  template <typename F>
  void for_each(F&& f) {
    for (int32_t i = 0; i < capacity_; ++i)
      if (ctrl_[i] != 0) f(slots_[i]);
  }

  // Frees the entries; the arrays stay.
  void clear() {
    for (int32_t i = 0; i < capacity_; ++i) {
      if (ctrl_[i] != 0) {
        slots_[i].~Slot();
        ctrl_[i] = 0;
      }
    }
    count_ = 0;
  }

  void release() {
    clear();
    std::free(slots_);
    std::free(ctrl_);
    slots_ = nullptr;
    ctrl_ = nullptr;
    capacity_ = 0;
  }

 private:
  uint32_t home(uint64_t h) const {
    return static_cast<uint32_t>(((h & 0xFFFFFFFFull) * static_cast<uint64_t>(capacity_)) >> 32);
  }
  uint32_t next(uint32_t i) const { return i + 1 == static_cast<uint32_t>(capacity_) ? 0 : i + 1; }

  static uint64_t hash_of(const K& key) {
    if constexpr (std::is_same_v<K, SsoString>) {
      return Traits::hash(key.view());
    } else {
      return Traits::hash(key);
    }
  }

  template <typename KK>
  InsertResult insert_impl(KK&& key) {
    if (count_ + 2 > static_cast<uint32_t>(static_cast<int32_t>(static_cast<float>(capacity_) * 0.85f))) {
      int32_t request = static_cast<int32_t>((count_ * 3) / 2);
      if (static_cast<uint32_t>(request) == count_ || request > capacity_) {
        int32_t cap = (4 + static_cast<int32_t>(static_cast<float>(request) / 0.85f)) | 1;
        if (!rebuild(cap)) return {nullptr, false};
      }
    }
    uint64_t h = hash_of(key);
    uint8_t tag = static_cast<uint8_t>(h) | 0x80;
    uint32_t i = home(h);
    for (; ctrl_[i] != 0; i = next(i)) {
      if (ctrl_[i] == tag && Traits::equal(slots_[i].key, lookup_of(key))) return {&slots_[i], false};
    }
    new (&slots_[i]) Slot{std::move(key), V()};
    ctrl_[i] = tag;
    ++count_;
    return {&slots_[i], true};
  }

  static const Lookup lookup_of(const K& key) {
    if constexpr (std::is_same_v<K, SsoString>) {
      return key.view();
    } else {
      return key;
    }
  }

  bool rebuild(int32_t cap) {
    if (cap <= 0) return false;
    auto* slots = static_cast<Slot*>(std::malloc(sizeof(Slot) * static_cast<uint64_t>(cap)));
    auto* ctrl = static_cast<uint8_t*>(std::calloc(static_cast<uint64_t>(cap) + 1, 1));
    if (!slots || !ctrl) {
      std::free(slots);
      std::free(ctrl);
      return false;
    }
    ctrl[cap] = 0xFF;
    Slot* old_slots = slots_;
    uint8_t* old_ctrl = ctrl_;
    int32_t old_cap = capacity_;
    slots_ = slots;
    ctrl_ = ctrl;
    capacity_ = cap;
    for (int32_t j = 0; j < old_cap; ++j) {
      if (old_ctrl[j] == 0) continue;
      uint64_t h = hash_of(old_slots[j].key);
      uint32_t i = home(h);
      while (ctrl_[i] != 0) i = next(i);
      new (&slots_[i]) Slot(std::move(old_slots[j]));
      old_slots[j].~Slot();
      ctrl_[i] = static_cast<uint8_t>(h) | 0x80;
    }
    std::free(old_slots);
    std::free(old_ctrl);
    return true;
  }

  Slot* slots_ = nullptr;
  uint8_t* ctrl_ = nullptr;
  uint32_t count_ = 0;
  int32_t capacity_ = 0;
};

}  // namespace quarrow
