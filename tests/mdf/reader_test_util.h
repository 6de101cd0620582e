#pragma once

// Opening byte images, silencing the log, and the data sections of blocks.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/file_blocks.h"
#include "mdf/mdf_file.h"
#include "mdfwriter/block_builder.h"
#include "support/streams.h"

namespace quarrow::readertest {

struct MdfCloser {
  void operator()(MdfFile* f) const { mdf_close(f); }
};
using MdfPtr = std::unique_ptr<MdfFile, MdfCloser>;

// The file is released before the stream it was read from.
struct Opened {
  test::StreamPtr stream;
  MdfPtr file;

  IdBlock* id() const { return mdf_id_block(file.get()); }
  HdBlock* hd() const { return mdf_hd_block(file.get()); }
};

inline Opened open_bytes(const std::vector<uint8_t>& bytes, bool other_writers = false) {
  Opened o;
  o.stream = test::memory_with(bytes);
  o.file.reset(mdf_open(o.stream.get(), other_writers));
  return o;
}

inline bool opens(const std::vector<uint8_t>& bytes, bool other_writers = false) {
  return open_bytes(bytes, other_writers).file != nullptr;
}

// Silences the log for tests that open thousands of damaged files.
class QuietLog {
 public:
  QuietLog() : saved_(log_output_level) { log_set_output_level(LOG_FATAL + 1); }
  ~QuietLog() { log_set_output_level(saved_); }

 private:
  int32_t saved_;
};

// Data sections of the block types, in file order.
inline std::vector<uint8_t> hd_fields(uint64_t start_ns = 0) {
  return mdfw::Fields().u64(start_ns).zeros(24).bytes();
}

inline std::vector<uint8_t> dg_fields(uint8_t rec_id_size = 0) {
  return mdfw::Fields().u8(rec_id_size).zeros(7).bytes();
}

inline std::vector<uint8_t> cg_fields(uint64_t record_id = 0, uint64_t cycles = 0,
                                      uint16_t flags = 0, uint32_t data_bytes = 8,
                                      uint32_t inval_bytes = 0) {
  mdfw::Fields f;
  f.u64(record_id).u64(cycles).u16(flags).u16(0).zeros(4).u32(data_bytes).u32(inval_bytes);
  return f.bytes();
}

struct CnFields {
  uint8_t type = 0;
  uint8_t data_type = 0;
  uint8_t bit_offset = 0;
  uint32_t byte_offset = 0;
  uint32_t bit_count = 8;
};

inline std::vector<uint8_t> cn_fields(const CnFields& c = {}) {
  mdfw::Fields f;
  f.u8(c.type).u8(0).u8(c.data_type).u8(c.bit_offset).u32(c.byte_offset).u32(c.bit_count);
  f.u32(0).u32(0).u8(0).zeros(1).u16(0);
  for (int i = 0; i < 6; ++i) f.f64(0);
  return f.bytes();
}

inline std::vector<uint8_t> cc_fields(uint8_t type, const std::vector<double>& values) {
  mdfw::Fields f;
  f.u8(type).u8(0).u16(0).u16(0).u16(static_cast<uint16_t>(values.size())).f64(0).f64(0);
  for (double v : values) f.f64(v);
  return f.bytes();
}

// Offsets of the blocks of sample_log().
struct SampleMap {
  uint64_t hd = 0, dg = 0, cg = 0, cn_time = 0, cn_frame = 0, cn_id = 0, cn_bytes = 0;
  uint64_t tx_time = 0, tx_id = 0, cc = 0, si = 0, dt = 0, metadata_end = 0;
};

// A small, complete log: one data group with one channel group holding a
// timestamp channel with a linear conversion and a composed frame channel of
// two members; the DT block comes last.
inline std::vector<uint8_t> sample_log(SampleMap* map = nullptr, uint64_t dt_data_size = 32) {
  SampleMap m;
  mdfw::BlockBuilder b;
  b.write_id();
  m.hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, hd_fields(1'700'000'000'000'000'000));
  m.dg = b.add_block("DG", {0, 0, 0, 0}, dg_fields(0));
  b.set_link(m.hd, 0, m.dg);
  uint64_t acq = b.add_text("CAN_DataFrame");
  m.si = b.add_block("SI", {0, 0, 0}, mdfw::Fields().u8(2).zeros(7).bytes());
  m.cg = b.add_block("CG", {0, 0, acq, m.si, 0, 0}, cg_fields(0, 2, 0, 16));
  b.set_link(m.dg, 1, m.cg);
  m.tx_time = b.add_text("Timestamp");
  m.cc = b.add_block("CC", {0, 0, 0, 0}, cc_fields(1, {0.0, 1e-6}));
  m.cn_time = b.add_block("CN", {0, 0, m.tx_time, 0, m.cc, 0, 0, 0}, cn_fields({2, 0, 0, 0, 64}));
  uint64_t tx_frame = b.add_text("CAN_DataFrame");
  m.cn_frame = b.add_block("CN", {0, 0, tx_frame, 0, 0, 0, 0, 0}, cn_fields({0, 10, 0, 8, 64}));
  b.set_link(m.cn_time, 0, m.cn_frame);
  m.tx_id = b.add_text("CAN_DataFrame.ID");
  m.cn_id = b.add_block("CN", {0, 0, m.tx_id, 0, 0, 0, 0, 0}, cn_fields({0, 0, 0, 8, 32}));
  uint64_t tx_bytes = b.add_text("CAN_DataFrame.DataBytes");
  m.cn_bytes = b.add_block("CN", {0, 0, tx_bytes, 0, 0, 0, 0, 0}, cn_fields({0, 10, 0, 12, 32}));
  b.set_link(m.cn_frame, 1, m.cn_id);
  b.set_link(m.cn_id, 0, m.cn_bytes);
  b.set_link(m.cg, 1, m.cn_time);
  b.align();
  m.metadata_end = b.size();
  std::vector<uint8_t> records(dt_data_size);
  for (uint64_t i = 0; i < records.size(); ++i) records[i] = static_cast<uint8_t>(i);
  m.dt = b.add_block("DT", {}, records);
  b.set_link(m.dg, 2, m.dt);
  if (map) *map = m;
  return b.release();
}

// An image with one data group and one channel group; add_channel appends
// channels to the group's chain.
struct OneGroup {
  mdfw::BlockBuilder b;
  uint64_t cg = 0;
  std::vector<uint64_t> channels;

  OneGroup() {
    b.write_id();
    uint64_t hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, hd_fields());
    uint64_t dg = b.add_block("DG", {0, 0, 0, 0}, dg_fields());
    cg = b.add_block("CG", {0, 0, 0, 0, 0, 0}, cg_fields());
    b.set_link(hd, 0, dg);
    b.set_link(dg, 1, cg);
  }
  uint64_t add_channel(std::vector<uint64_t> links, const CnFields& fields = {}) {
    links.insert(links.begin(), 2, 0);  // next and composition
    links.resize(8, 0);
    uint64_t cn = b.add_block("CN", links, cn_fields(fields));
    b.set_link(channels.empty() ? cg : channels.back(), channels.empty() ? 1 : 0, cn);
    channels.push_back(cn);
    return cn;
  }
  CnBlock* channel(const Opened& o, size_t i) const {
    DgBlock* dg = block_as<DgBlock>(o.hd()->hd_dg_list[0]);
    return block_as<CnBlock>(block_as<CgBlock>(dg->dg_cg_list[0])->cg_cn_list[i]);
  }
};

}  // namespace quarrow::readertest
