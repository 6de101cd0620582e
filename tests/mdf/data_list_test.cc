// Data lists, header lists and compressed blocks of other writers: sound
// ones give every record, damaged ones fail the open, end the records with a
// read failure, or count as truncated, without crashing or over-reading.

#include "mdf/data_list.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "bus/frame_iterator.h"
#include "mdfwriter/bus_log_writer.h"
#include "reader_test_util.h"

namespace quarrow {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kFrames = 40;

// A sorted log of CAN data frames whose records lie as `other` says.
Bytes list_log(const mdfw::OtherWriterLayout& other, uint64_t* data_link) {
  mdfw::BusLogOptions options;
  options.other = other;
  std::vector<mdfw::BusFrame> frames;
  for (uint64_t i = 0; i < kFrames; ++i) {
    frames.push_back(mdfw::can_data(0.001 * static_cast<double>(i), 0x100 + i,
                                    {static_cast<uint8_t>(i), 1, 2, 3, 4, 5, 6, 7}));
  }
  mdfw::BusLogMap map;
  Bytes bytes = mdfw::write_bus_log(frames, options, &map);
  *data_link = mdfw::get_u64(bytes, map.data_groups[0] + 24 + 16);
  return bytes;
}

struct Walk {
  bool opened = false;
  uint64_t frames = 0;
  bool read_failed = false;
  uint64_t missing = 0;
};

Walk walk(const Bytes& bytes) {
  Walk w;
  test::StreamPtr stream = test::memory_with(bytes);
  readertest::MdfPtr file(mdf_open(stream.get(), true));
  if (!file) return w;
  w.opened = true;
  DgBlock* dg = block_as<DgBlock>(mdf_hd_block(file.get())->hd_dg_list[0]);
  std::unique_ptr<FrameIterator> it = frame_iterator_create(dg);
  if (!it) return w;
  for (const Frame* f = it->first(); f; f = it->next()) w.frames += f->kind == FRAME_CAN_DATA;
  w.read_failed = it->read_failed();
  w.missing = data_missing_bytes(dg->dg_data.get());
  return w;
}

// Where the fields of a list stand.
uint64_t dl_fields(const Bytes& b, uint64_t dl) {
  return dl + 24 + 8 * mdfw::get_u64(b, dl + 16);
}

TEST(DataList, DamagedListsAndCompressedBlocksAreCaught) {
  mdfw::OtherWriterLayout deflated;
  deflated.zip = 1;
  deflated.offset_form = true;  // so that a piece's stated size is not checked by its list
  mdfw::OtherWriterLayout offsets;
  offsets.piece_bytes = 200;
  offsets.offset_form = true;
  mdfw::OtherWriterLayout equal;
  equal.piece_bytes = 200;
  mdfw::OtherWriterLayout headed = deflated;
  headed.header_list = true;
  using Edit = std::function<void(Bytes&, uint64_t)>;
  auto dz_of = [](const Bytes& b, uint64_t dl) { return mdfw::get_u64(b, dl + 32); };
  const struct {
    const char* name;
    const mdfw::OtherWriterLayout& layout;
    Edit edit;
    bool opened;
    bool all_frames = false;
    bool read_failed = false;
    bool missing = false;
  } cases[] = {
      {"sound deflated list", deflated, nullptr, true, true, false, false},
      {"sound list of pieces", offsets, nullptr, true, true, false, false},
      {"compressed bytes damaged", deflated,
       [&](Bytes& b, uint64_t dl) { b[dz_of(b, dl) + 48 + 20] ^= 0x5A; }, true, false, true, false},
      {"more inflated bytes stated than there are", deflated,
       [&](Bytes& b, uint64_t dl) {
         uint64_t dz = dz_of(b, dl);
         mdfw::put_u64(b, dz + 32, mdfw::get_u64(b, dz + 32) + 1);
       },
       true, false, true, false},
      {"inflated size beyond the bound", deflated,
       [&](Bytes& b, uint64_t dl) { mdfw::put_u64(b, dz_of(b, dl) + 32, 65ull << 20); }, false},
      {"inflated size beyond what deflate can give", deflated,
       [&](Bytes& b, uint64_t dl) {
         uint64_t dz = dz_of(b, dl);
         mdfw::put_u64(b, dz + 32, mdfw::get_u64(b, dz + 40) * 1032 + 65);
       },
       false},
      {"compressed size beyond the block", deflated,
       [&](Bytes& b, uint64_t dl) { mdfw::put_u64(b, dz_of(b, dl) + 40, UINT64_MAX); }, false},
      {"unknown zip type", deflated, [&](Bytes& b, uint64_t dl) { b[dz_of(b, dl) + 26] = 7; },
       false},
      {"list that runs into itself", offsets,
       [](Bytes& b, uint64_t dl) { mdfw::put_u64(b, dl + 24, dl); }, false},
      {"list count other than its links", offsets,
       [](Bytes& b, uint64_t dl) {
         uint64_t at = dl_fields(b, dl) + 4;
         mdfw::put_u32(b, at, static_cast<uint32_t>(mdfw::get_u64(b, at) + 1));
       },
       false},
      {"list linking a block that holds no data", offsets,
       [](Bytes& b, uint64_t dl) { mdfw::put_u64(b, dl + 32, 64); }, false},
      {"header list leading to no list", headed,
       [&](Bytes& b, uint64_t hl) {
         mdfw::put_u64(b, hl + 24, dz_of(b, mdfw::get_u64(b, hl + 24)));
       },
       false},
      {"piece not at its stated offset", offsets,
       [](Bytes& b, uint64_t dl) { mdfw::put_u64(b, dl_fields(b, dl) + 8 + 8, 199); }, true, false,
       false, true},
      {"piece not of the stated equal length", equal,
       [](Bytes& b, uint64_t dl) { mdfw::put_u64(b, dl_fields(b, dl) + 8, 199); }, true, false,
       false, true},
  };
  readertest::QuietLog quiet;
  for (const auto& c : cases) {
    uint64_t data = 0;
    Bytes bytes = list_log(c.layout, &data);
    if (c.edit) c.edit(bytes, data);
    Walk w = walk(bytes);
    EXPECT_EQ(w.opened, c.opened) << c.name;
    if (!c.opened) continue;
    EXPECT_EQ(w.frames == kFrames, c.all_frames) << c.name << ": " << w.frames;
    EXPECT_EQ(w.read_failed, c.read_failed) << c.name;
    EXPECT_EQ(w.missing > 0, c.missing) << c.name;
  }
}

}  // namespace
}  // namespace quarrow
