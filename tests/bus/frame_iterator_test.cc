#include "bus/frame_iterator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "bus/decoders.h"
#include "mdf/data_block.h"
#include "mdf/data_group.h"
#include "mdf/mdf_file.h"
#include "mdfwriter/bus_log_writer.h"
#include "support/streams.h"

// Damaged and hand-built record data; the writer's layouts are pinned end to end.

namespace quarrow {
namespace {

using mdfw::BusLogOptions;
using mdfw::Layout;

// Copies of the frames of a walk; the end stays the end and first() starts over.
std::vector<FrameBuffer> walk(DgBlock* dg) {
  std::vector<FrameBuffer> out;
  std::unique_ptr<FrameIterator> it = frame_iterator_create(dg);
  EXPECT_EQ(it->last_result(), FRAME_INVALID);
  for (const Frame* f = it->first(); f; f = it->next())
    std::memcpy(static_cast<void*>(&out.emplace_back()), f, sizeof(FrameBuffer));
  EXPECT_EQ(it->next(), nullptr);
  const Frame* again = it->first();
  EXPECT_EQ(again ? again->timestamp : -1, out.empty() ? -1 : out[0].frame.timestamp);
  return out;
}

// The frame times of a one-group log whose DT block ends the file, its data
// replaced by what edit makes of it (given the size of a fixed record and id).
std::vector<double> walk_edited(
    const std::vector<mdfw::BusFrame>& frames, const BusLogOptions& options,
    const std::function<void(std::vector<uint8_t>& data, uint64_t fixed)>& edit) {
  mdfw::BusLogMap map;
  std::vector<uint8_t> file = mdfw::write_bus_log(frames, options, &map);
  const uint64_t dt = map.groups[0].dt;
  std::vector<uint8_t> data(file.begin() + static_cast<int64_t>(dt + 24), file.end());
  edit(data, map.groups[0].record_bytes +
                 (options.layout == Layout::unsorted ? options.record_id_size : 0));
  file.resize(dt + 24);
  file.insert(file.end(), data.begin(), data.end());
  mdfw::put_u64(file, dt + 8, 24 + data.size());
  test::StreamPtr stream = test::memory_with(file);
  MdfFile* mdf = mdf_open(stream.get());
  if (!mdf) return {};
  std::vector<double> times;
  for (const FrameBuffer& f : walk(block_as<DgBlock>(mdf_hd_block(mdf)->hd_dg_list[0])))
    times.push_back(f.frame.timestamp);
  mdf_close(mdf);
  return times;
}

TEST(FrameIterator, DamagedRecordsEndTheWalk) {
  const std::vector<mdfw::BusFrame> errors{mdfw::can_error(1, 1), mdfw::can_error(2, 1),
                                           mdfw::can_error(3, 1), mdfw::can_error(4, 1)},
      payloads{mdfw::can_data(1, 1, {1, 2}), mdfw::can_data(2, 2, {3}),
               mdfw::can_data(3, 3, {4, 5, 6})};
  BusLogOptions sorted, unsorted, sd, vlsd;
  unsorted.layout = vlsd.layout = Layout::unsorted;
  sd.can_data_bytes = mdfw::DataBytesStorage::sd;
  vlsd.can_data_bytes = mdfw::DataBytesStorage::vlsd;
  using Data = std::vector<uint8_t>;
  // In the VLSD log each fixed record of `fixed` bytes is followed by an id
  // byte, a 4-byte length and 2, 1 and 3 payload bytes.
  const struct {
    const char* what;
    const std::vector<mdfw::BusFrame>& frames;
    const BusLogOptions& options;
    std::function<void(Data&, uint64_t)> edit;
    std::vector<double> times;
  } cases[] = {
      // clang-format off
      {"partial last record", errors, sorted, [](Data& d, uint64_t) { d.pop_back(); }, {1, 2, 3}},
      {"unknown record id", errors, unsorted, [](Data& d, uint64_t f) { d[f] = 0x77; }, {1}},
      {"SD offset past the block", payloads, sd,
       [](Data& d, uint64_t f) { mdfw::put_u64(d, f + 16, 1000); }, {1}},
      {"VLSD record cut", payloads, vlsd, [](Data& d, uint64_t f) { d.resize(2 * f + 12); }, {1}},
      {"VLSD length beyond the file", payloads, vlsd,
       [](Data& d, uint64_t f) { mdfw::put_u32(d, 2 * f + 8, 0xFFFFFFF0u); }, {1}},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(walk_edited(c.frames, c.options, c.edit), c.times) << c.what;
}

// The DLCs of a group built in memory over `data`: records of record_size
// bytes (after id 1 when there are ids) holding a one-byte DLC.
std::vector<uint8_t> walk_hand_built(const std::vector<uint8_t>& data, uint32_t record_size,
                                     uint8_t rec_id_size, bool with_data = true) {
  test::StreamPtr stream = test::memory_with(data);
  auto* dt = new DtBlock(block_descriptor(BLOCK_DT));
  dt->source = stream.get();
  dt->length = 24 + data.size();
  BlockRef dt_ref = BlockRef::adopt(dt);
  ChannelInfoList channels;
  EXPECT_TRUE(channels.append(ChannelInfo()));
  channels[0].role = ROLE_DLC;
  channels[0].bit_count = 8;
  auto* dg = new DgBlock(block_descriptor(BLOCK_DG));
  BlockRef group = BlockRef::adopt(dg);
  if (with_data) dg->dg_data = dt_ref;
  dg->dg_rec_id_size = rec_id_size;
  dg->record_layouts.insert(rec_id_size ? 1 : 0).slot->value = {1, record_size, &channels,
                                                                decode_can_data, FRAME_CAN_DATA};
  std::vector<uint8_t> dlcs;
  for (const FrameBuffer& f : walk(dg)) dlcs.push_back(f.can.dlc);
  return dlcs;
}

TEST(FrameIterator, HandBuiltRecordsOfOddShapes) {
  using Bytes = std::vector<uint8_t>;
  EXPECT_EQ(walk_hand_built({1, 2, 3}, 0, 0), Bytes{});     // zero-size records
  EXPECT_EQ(walk_hand_built(Bytes(40, 1), 1, 9), Bytes{});  // ids wider than 64 bits
  EXPECT_EQ(walk_hand_built({1, 0, 0, 7, 1, 0, 0, 9, 2, 0, 0, 5}, 1, 3), (Bytes{7, 9}));
  EXPECT_EQ(walk_hand_built({5, 6}, 1, 0, false), Bytes{});
  EXPECT_EQ(frame_iterator_create(nullptr), nullptr);
}

}  // namespace
}  // namespace quarrow
