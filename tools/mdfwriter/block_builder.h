#pragma once

// A low-level, in-memory assembler for MDF 4 files. It knows the generic
// block frame (24-byte header, links, data section) and the identification
// block, nothing about what the blocks mean. Tests use it to build exactly
// the bytes they want, including broken ones; the bus-log writer builds its
// files on top of it.
//
// Every block starts at an 8-byte aligned offset; the gap before it is zero
// filled. All numbers are little-endian.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarrow::mdfw {

// Appends little-endian fields to a byte vector; the data sections of blocks
// are written with it.
class Fields {
 public:
  Fields& u8(uint8_t v);
  Fields& u16(uint16_t v);
  Fields& u32(uint32_t v);
  Fields& u64(uint64_t v);
  Fields& i16(int16_t v) { return u16(static_cast<uint16_t>(v)); }
  Fields& i64(int64_t v) { return u64(static_cast<uint64_t>(v)); }
  Fields& f64(double v);
  Fields& zeros(size_t n);
  // Exactly n bytes: text is cut or padded with zero bytes.
  Fields& text(std::string_view text, size_t n);
  Fields& raw(std::span<const uint8_t> bytes);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  operator std::span<const uint8_t>() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Little-endian stores into an existing buffer; offset + width must lie
// inside it.
void put_u16(std::span<uint8_t> buffer, uint64_t offset, uint16_t v);
void put_u32(std::span<uint8_t> buffer, uint64_t offset, uint32_t v);
void put_u64(std::span<uint8_t> buffer, uint64_t offset, uint64_t v);
void put_f64(std::span<uint8_t> buffer, uint64_t offset, double v);
uint16_t get_u16(std::span<const uint8_t> buffer, uint64_t offset);
uint32_t get_u32(std::span<const uint8_t> buffer, uint64_t offset);
uint64_t get_u64(std::span<const uint8_t> buffer, uint64_t offset);
double get_f64(std::span<const uint8_t> buffer, uint64_t offset);

// The frame of a block as stored, for tests that inspect or damage files.
struct BlockInfo {
  std::string id;  // the four id characters
  uint64_t length = 0;
  uint64_t link_count = 0;
  std::vector<uint64_t> links;
  uint64_t data = 0;  // offset of the data section
};
// REQUIRES: a whole block header and its links lie inside buffer.
BlockInfo read_block(std::span<const uint8_t> buffer, uint64_t offset);

// The 64-byte identification block at file offset 0.
struct IdFields {
  std::string file_id = "MDF     ";  // or "UnFinMF "; written as 8 bytes
  std::string version = "4.10    ";
  std::string program = "mklog   ";
  uint16_t version_number = 410;
  uint16_t unfin_flags = 0;  // bit 2: the last DT block's length is stale
  uint16_t custom_unfin_flags = 0;
};

// Replaces what the header of a block states, for tests of hostile files.
// The links and data written are not affected.
struct HeaderOverride {
  std::optional<uint64_t> length;
  std::optional<uint64_t> link_count;
};

class BlockBuilder {
 public:
  // Writes the identification block at offset 0. Call it before the first
  // block so that the header block lands at offset 64.
  void write_id(const IdFields& fields = {});

  // Appends a block and returns its offset. id is the four characters of
  // the header ("##DG"); two characters ("DG") get the "##" put in front.
  uint64_t add_block(std::string_view id, const std::vector<uint64_t>& links,
                     std::span<const uint8_t> data = {}, const HeaderOverride& header = {});

  // A TX or MD block holding text, zero-terminated and zero-padded to a
  // multiple of 8 bytes.
  uint64_t add_text(std::string_view text);
  uint64_t add_metadata(std::string_view xml);

  // Appends bytes as they are, at the next aligned offset, and returns that
  // offset (for garbage where a block is expected).
  uint64_t add_raw(std::span<const uint8_t> bytes);

  // Pads with zero bytes to the next multiple of 8.
  void align();

  // Link index of the block at block_offset (counted from 0, as stored in
  // its header's link section). REQUIRES: the block was written.
  void set_link(uint64_t block_offset, uint64_t index, uint64_t target);
  uint64_t link(uint64_t block_offset, uint64_t index) const;
  void set_length(uint64_t block_offset, uint64_t length);
  void set_link_count(uint64_t block_offset, uint64_t link_count);
  uint64_t length(uint64_t block_offset) const;
  uint64_t link_count(uint64_t block_offset) const;
  // Where the data section of the block starts, from its stated link count.
  uint64_t data_offset(uint64_t block_offset) const;

  uint64_t size() const { return bytes_.size(); }
  std::vector<uint8_t>& bytes() { return bytes_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // Gives the image away; the builder is empty afterwards.
  std::vector<uint8_t> release();

  // Reserves capacity for large images so that appending does not copy.
  void reserve(uint64_t n) { bytes_.reserve(n); }

 private:
  std::vector<uint8_t> bytes_;
};

// Writes bytes to path, replacing the file. Returns false on any failure.
bool write_file(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace quarrow::mdfw
