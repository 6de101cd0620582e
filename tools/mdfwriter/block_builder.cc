#include "mdfwriter/block_builder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quarrow::mdfw {

namespace {

constexpr uint64_t kHeaderSize = 24;

// A writer bug must not turn into a silently different test file.
[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "mdfwriter: %s\n", what);
  std::abort();
}

void require_inside(std::span<const uint8_t> buffer, uint64_t offset, uint64_t width) {
  if (offset > buffer.size() || buffer.size() - offset < width) fail("access outside the image");
}

uint64_t get_le(std::span<const uint8_t> buffer, uint64_t offset, int width) {
  require_inside(buffer, offset, static_cast<uint64_t>(width));
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | buffer[offset + i];
  return v;
}

void put_le(std::span<uint8_t> buffer, uint64_t offset, uint64_t v, int width) {
  require_inside(buffer, offset, static_cast<uint64_t>(width));
  for (int i = 0; i < width; ++i) buffer[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

void append_le(std::vector<uint8_t>& out, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t padded_to_8(uint64_t n) {
  return (n + 7) & ~uint64_t{7};
}

}  // namespace

Fields& Fields::u8(uint8_t v) {
  bytes_.push_back(v);
  return *this;
}

Fields& Fields::u16(uint16_t v) {
  append_le(bytes_, v, 2);
  return *this;
}

Fields& Fields::u32(uint32_t v) {
  append_le(bytes_, v, 4);
  return *this;
}

Fields& Fields::u64(uint64_t v) {
  append_le(bytes_, v, 8);
  return *this;
}

Fields& Fields::f64(double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  return u64(bits);
}

Fields& Fields::zeros(size_t n) {
  bytes_.insert(bytes_.end(), n, 0);
  return *this;
}

Fields& Fields::text(std::string_view text, size_t n) {
  for (size_t i = 0; i < n; ++i) bytes_.push_back(i < text.size() ? text[i] : 0);
  return *this;
}

Fields& Fields::raw(std::span<const uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

void put_u16(std::span<uint8_t> buffer, uint64_t offset, uint16_t v) {
  put_le(buffer, offset, v, 2);
}

void put_u32(std::span<uint8_t> buffer, uint64_t offset, uint32_t v) {
  put_le(buffer, offset, v, 4);
}

void put_u64(std::span<uint8_t> buffer, uint64_t offset, uint64_t v) {
  put_le(buffer, offset, v, 8);
}

void put_f64(std::span<uint8_t> buffer, uint64_t offset, double v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  put_le(buffer, offset, bits, 8);
}

uint16_t get_u16(std::span<const uint8_t> buffer, uint64_t offset) {
  return static_cast<uint16_t>(get_le(buffer, offset, 2));
}

uint32_t get_u32(std::span<const uint8_t> buffer, uint64_t offset) {
  return static_cast<uint32_t>(get_le(buffer, offset, 4));
}

uint64_t get_u64(std::span<const uint8_t> buffer, uint64_t offset) {
  return get_le(buffer, offset, 8);
}

double get_f64(std::span<const uint8_t> buffer, uint64_t offset) {
  const uint64_t bits = get_le(buffer, offset, 8);
  double v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

BlockInfo read_block(std::span<const uint8_t> buffer, uint64_t offset) {
  require_inside(buffer, offset, kHeaderSize);
  BlockInfo info;
  info.id.assign(reinterpret_cast<const char*>(&buffer[offset]), 4);
  info.length = get_u64(buffer, offset + 8);
  info.link_count = get_u64(buffer, offset + 16);
  if (info.link_count > (buffer.size() - offset - kHeaderSize) / 8) fail("links outside the image");
  for (uint64_t i = 0; i < info.link_count; ++i) {
    info.links.push_back(get_u64(buffer, offset + kHeaderSize + 8 * i));
  }
  info.data = offset + kHeaderSize + 8 * info.link_count;
  return info;
}

void BlockBuilder::write_id(const IdFields& fields) {
  Fields id;
  id.text(fields.file_id, 8)
      .text(fields.version, 8)
      .text(fields.program, 8)
      .zeros(4)
      .u16(fields.version_number)
      .zeros(30)
      .u16(fields.unfin_flags)
      .u16(fields.custom_unfin_flags);
  if (bytes_.size() < id.size()) bytes_.resize(id.size());
  std::memcpy(bytes_.data(), id.bytes().data(), id.size());
}

uint64_t BlockBuilder::add_block(std::string_view id, const std::vector<uint64_t>& links,
                                 std::span<const uint8_t> data, const HeaderOverride& header) {
  std::string full_id = id.size() == 2 ? "##" + std::string(id) : std::string(id);
  if (full_id.size() != 4) fail("block id must have four characters");
  align();
  const uint64_t offset = bytes_.size();
  const uint64_t length = kHeaderSize + 8 * links.size() + data.size();
  bytes_.reserve(offset + length);
  bytes_.insert(bytes_.end(), full_id.begin(), full_id.end());
  append_le(bytes_, 0, 4);
  append_le(bytes_, header.length.value_or(length), 8);
  append_le(bytes_, header.link_count.value_or(links.size()), 8);
  for (uint64_t link : links) append_le(bytes_, link, 8);
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return offset;
}

uint64_t BlockBuilder::add_text(std::string_view text) {
  Fields data;
  data.text(text, padded_to_8(text.size() + 1));
  return add_block("##TX", {}, data);
}

uint64_t BlockBuilder::add_metadata(std::string_view xml) {
  Fields data;
  data.text(xml, padded_to_8(xml.size() + 1));
  return add_block("##MD", {}, data);
}

uint64_t BlockBuilder::add_raw(std::span<const uint8_t> bytes) {
  align();
  const uint64_t offset = bytes_.size();
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return offset;
}

void BlockBuilder::align() {
  bytes_.resize(padded_to_8(bytes_.size()), 0);
}

void BlockBuilder::set_link(uint64_t block_offset, uint64_t index, uint64_t target) {
  put_u64(bytes_, block_offset + kHeaderSize + 8 * index, target);
}

uint64_t BlockBuilder::link(uint64_t block_offset, uint64_t index) const {
  return get_u64(bytes_, block_offset + kHeaderSize + 8 * index);
}

void BlockBuilder::set_length(uint64_t block_offset, uint64_t length) {
  put_u64(bytes_, block_offset + 8, length);
}

void BlockBuilder::set_link_count(uint64_t block_offset, uint64_t link_count) {
  put_u64(bytes_, block_offset + 16, link_count);
}

uint64_t BlockBuilder::length(uint64_t block_offset) const {
  return get_u64(bytes_, block_offset + 8);
}

uint64_t BlockBuilder::link_count(uint64_t block_offset) const {
  return get_u64(bytes_, block_offset + 16);
}

uint64_t BlockBuilder::data_offset(uint64_t block_offset) const {
  return block_offset + kHeaderSize + 8 * link_count(block_offset);
}

std::vector<uint8_t> BlockBuilder::release() {
  std::vector<uint8_t> out;
  out.swap(bytes_);
  return out;
}

bool write_file(const std::string& path, std::span<const uint8_t> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = std::fclose(f) == 0;
  return written && closed;
}

}  // namespace quarrow::mdfw
