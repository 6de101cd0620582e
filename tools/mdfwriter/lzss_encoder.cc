#include "mdfwriter/lzss_encoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "mdfwriter/container_writer.h"

namespace quarrow::mdfw {

void BitWriter::put(uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    current_ = static_cast<uint8_t>((current_ << 1) | ((value >> i) & 1));
    if (++used_ == 8) {
      bytes_.push_back(current_);
      current_ = 0;
      used_ = 0;
    }
  }
}

std::vector<uint8_t> BitWriter::finish() {
  if (used_ > 0) {
    bytes_.push_back(static_cast<uint8_t>(current_ << (8 - used_)));
    current_ = 0;
    used_ = 0;
  }
  return std::move(bytes_);
}

namespace {

constexpr int kHashBits = 16;
constexpr int kMaxChain = 48;

uint32_t hash3(const uint8_t* p) {
  uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Greedy longest match over hash chains of three-byte prefixes. prev is a
// ring over the window: an entry is only followed while it lies inside the
// window, so a stale one is never reached.
class MatchFinder {
 public:
  MatchFinder(const std::vector<uint8_t>& data, size_t window, size_t max_length)
      : data_(data),
        window_(window),
        max_length_(max_length),
        head_(size_t{1} << kHashBits, -1),
        prev_(window, -1) {}

  void insert(size_t pos) {
    if (pos + 3 > data_.size()) return;
    uint32_t h = hash3(&data_[pos]);
    prev_[pos & (window_ - 1)] = head_[h];
    head_[h] = static_cast<int64_t>(pos);
  }

  // Longest earlier occurrence of the bytes at pos within the window.
  void find(size_t pos, size_t* best_length, size_t* best_distance) const {
    *best_length = 0;
    *best_distance = 0;
    if (pos + 3 > data_.size()) return;
    size_t limit = std::min(max_length_, data_.size() - pos);
    int64_t candidate = head_[hash3(&data_[pos])];
    for (int chain = 0; candidate >= 0 && chain < kMaxChain; ++chain) {
      size_t distance = pos - static_cast<size_t>(candidate);
      if (distance > window_) break;
      size_t length = 0;
      const uint8_t* a = &data_[static_cast<size_t>(candidate)];
      const uint8_t* b = &data_[pos];
      while (length < limit && a[length] == b[length]) ++length;
      if (length > *best_length) {
        *best_length = length;
        *best_distance = distance;
        if (length == limit) break;
      }
      candidate = prev_[static_cast<size_t>(candidate) & (window_ - 1)];
    }
  }

 private:
  const std::vector<uint8_t>& data_;
  size_t window_;
  size_t max_length_;
  std::vector<int64_t> head_;
  std::vector<int64_t> prev_;
};

}  // namespace

std::vector<uint8_t> lzss_encode(const std::vector<uint8_t>& data, int window_sz2,
                                 int lookahead_sz2) {
  if (window_sz2 < 4 || window_sz2 > 15 || lookahead_sz2 < 3 || lookahead_sz2 >= window_sz2) {
    // A test asking for parameters the format lacks has a bug; failing loudly
    // beats writing a stream nothing can decode.
    std::fprintf(stderr, "mdfwriter: LZSS window %d / lookahead %d out of range\n", window_sz2,
                 lookahead_sz2);
    std::abort();
  }
  size_t window = size_t{1} << window_sz2;
  size_t max_length = size_t{1} << lookahead_sz2;
  // A back-reference pays off once it is shorter than the literals it
  // replaces (9 bits each).
  size_t backref_bits = 1 + static_cast<size_t>(window_sz2 + lookahead_sz2);
  size_t min_length = backref_bits / 9 + 1;

  MatchFinder finder(data, window, max_length);
  BitWriter out;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t length = 0;
    size_t distance = 0;
    finder.find(pos, &length, &distance);
    if (length >= min_length) {
      out.put(0, 1);
      out.put(static_cast<uint32_t>(distance - 1), window_sz2);
      out.put(static_cast<uint32_t>(length - 1), lookahead_sz2);
    } else {
      length = 1;
      out.put(1, 1);
      out.put(data[pos], 8);
    }
    for (size_t i = 0; i < length; ++i) finder.insert(pos + i);
    pos += length;
  }
  return out.finish();
}

}  // namespace quarrow::mdfw
