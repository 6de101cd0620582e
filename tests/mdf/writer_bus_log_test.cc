#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mdfwriter/block_builder.h"
#include "mdfwriter/bus_log_writer.h"

// These tests read the writer's bytes with their own small walker, so that a
// misunderstanding of the format in the writer shows up here rather than
// being shared with the reader.

namespace quarrow::mdfw {
namespace {

using Bytes = std::vector<uint8_t>;

std::string text_of(const Bytes& file, uint64_t tx) {
  if (tx == 0) return "";
  const BlockInfo b = read_block(file, tx);
  return std::string(reinterpret_cast<const char*>(&file[b.data]));
}

struct Channel {
  std::string name;
  uint64_t offset;
  int depth;  // 0 in the group, 1 as a composition member
  uint8_t cn_type, data_type, bit_offset;
  uint32_t byte_offset, bit_count;
  std::vector<uint64_t> links;
};

void collect_channels(const Bytes& file, uint64_t cn, int depth, std::vector<Channel>& out) {
  for (; cn != 0; cn = read_block(file, cn).links[0]) {
    const BlockInfo b = read_block(file, cn);
    out.push_back({text_of(file, b.links[2]), cn, depth, file[b.data], file[b.data + 2],
                   file[b.data + 3], get_u32(file, b.data + 4), get_u32(file, b.data + 8),
                   b.links});
    collect_channels(file, b.links[1], depth + 1, out);
  }
}

std::vector<Channel> channels_of(const Bytes& file, uint64_t cg) {
  std::vector<Channel> out;
  collect_channels(file, read_block(file, cg).links[1], 0, out);
  return out;
}

const Channel& channel(const std::vector<Channel>& list, const std::string& name) {
  for (const Channel& c : list) {
    if (c.name == name) return c;
  }
  ADD_FAILURE() << "no channel " << name;
  static const Channel none{};
  return none;
}

std::vector<uint64_t> chain(const Bytes& file, uint64_t first, size_t next_link = 0) {
  std::vector<uint64_t> out;
  for (uint64_t at = first; at != 0; at = read_block(file, at).links[next_link]) out.push_back(at);
  return out;
}

std::vector<uint64_t> data_groups(const Bytes& file) {
  return chain(file, read_block(file, 64).links[0]);
}

std::vector<uint64_t> channel_groups(const Bytes& file, uint64_t dg) {
  return chain(file, read_block(file, dg).links[1]);
}

struct Cg {
  uint64_t record_id, cycle_count;
  uint16_t flags;
  uint32_t data_bytes, inval_bytes;
  std::string name;
};

Cg cg_fields(const Bytes& file, uint64_t cg) {
  const BlockInfo b = read_block(file, cg);
  return {get_u64(file, b.data),      get_u64(file, b.data + 8),  get_u16(file, b.data + 16),
          get_u32(file, b.data + 24), get_u32(file, b.data + 28), text_of(file, b.links[2])};
}

Bytes dt_data(const Bytes& file, uint64_t dg) {
  const BlockInfo dt = read_block(file, read_block(file, dg).links[2]);
  EXPECT_EQ(dt.id, "##DT");
  return Bytes(file.begin() + dt.data, file.begin() + dt.data + (dt.length - 24));
}

BusFrame sample_can() {
  BusFrame f = can_data(0.25, 0x1ABCDEF0, {}, 3);
  f.ide = true;
  f.dir = true;
  f.brs = true;
  f.dlc = 13;
  f.data_length = 32;
  for (int i = 0; i < 64; ++i) f.data[i] = static_cast<uint8_t>(0xA0 + i);
  return f;
}

TEST(WriterBusLog, CanDataChannelsHaveTheirBitLayout) {
  struct Case {
    const char* name;
    uint32_t byte;
    uint8_t bit;
    uint32_t bits;
    uint8_t data_type;
  };
  const Case cases[] = {
      {"Timestamp", 0, 0, 64, 4},
      {"CAN_DataFrame", 8, 0, 72 * 8, 10},
      {"CAN_DataFrame.ID", 8, 0, 29, 0},
      {"CAN_DataFrame.IDE", 11, 7, 1, 0},
      {"CAN_DataFrame.BusChannel", 12, 0, 8, 0},
      {"CAN_DataFrame.DLC", 13, 0, 8, 0},
      {"CAN_DataFrame.DataLength", 14, 0, 8, 0},
      {"CAN_DataFrame.Dir", 15, 0, 1, 0},
      {"CAN_DataFrame.EDL", 15, 1, 1, 0},
      {"CAN_DataFrame.BRS", 15, 2, 1, 0},
      {"CAN_DataFrame.ESI", 15, 3, 1, 0},
      {"CAN_DataFrame.DataBytes", 16, 0, 64 * 8, 10},
  };
  const Bytes file = write_bus_log({sample_can()});
  const std::vector<Channel> list =
      channels_of(file, channel_groups(file, data_groups(file)[0])[0]);
  ASSERT_EQ(list.size(), std::size(cases));
  for (const Case& c : cases) {
    const Channel& ch = channel(list, c.name);
    EXPECT_EQ(ch.byte_offset, c.byte) << c.name;
    EXPECT_EQ(ch.bit_offset, c.bit) << c.name;
    EXPECT_EQ(ch.bit_count, c.bits) << c.name;
    EXPECT_EQ(ch.data_type, c.data_type) << c.name;
    EXPECT_EQ(ch.links.size(), 8u) << c.name;
  }
  EXPECT_EQ(list[0].name, "Timestamp");
  EXPECT_EQ(list[0].cn_type, 2);
  EXPECT_EQ(list[1].name, "CAN_DataFrame");
  EXPECT_EQ(list[1].depth, 0);
  for (size_t i = 2; i < list.size(); ++i) EXPECT_EQ(list[i].depth, 1) << list[i].name;
}

TEST(WriterBusLog, OtherGroupsNameTheirFieldsAfterTheGroup) {
  struct Case {
    BusFrame frame;
    std::set<std::string> names;
    uint32_t record_bytes;
  };
  const Case cases[] = {
      {can_remote(0, 0x10, 4),
       {"Timestamp", "CAN_RemoteFrame", "CAN_RemoteFrame.ID", "CAN_RemoteFrame.IDE",
        "CAN_RemoteFrame.DLC", "CAN_RemoteFrame.DataLength", "CAN_RemoteFrame.BusChannel",
        "CAN_RemoteFrame.Dir"},
       16},
      {can_error(0, 2),
       {"Timestamp", "CAN_ErrorFrame", "CAN_ErrorFrame.BusChannel", "CAN_ErrorFrame.ErrorType"},
       10},
      {lin_frame(0, 5, {1}),
       {"Timestamp", "LIN_Frame", "LIN_Frame.BusChannel", "LIN_Frame.ID", "LIN_Frame.DataLength",
        "LIN_Frame.ReceivedDataByteCount", "LIN_Frame.Dir", "LIN_Frame.DataBytes"},
       21},
      {lin_error(FrameType::lin_checksum_error, 0, 1),
       {"Timestamp", "LIN_ChecksumError", "LIN_ChecksumError.BusChannel", "LIN_ChecksumError.ID",
        "LIN_ChecksumError.Checksum", "LIN_ChecksumError.Dir"},
       12},
      {lin_error(FrameType::lin_receive_error, 0, 1),
       {"Timestamp", "LIN_ReceiveError", "LIN_ReceiveError.BusChannel", "LIN_ReceiveError.ID",
        "LIN_ReceiveError.Dir"},
       11},
      {lin_error(FrameType::lin_sync_error, 0, 1),
       {"Timestamp", "LIN_SyncError", "LIN_SyncError.BusChannel"},
       9},
      {lin_error(FrameType::lin_transmission_error, 0, 1),
       {"Timestamp", "LIN_TransmissionError", "LIN_TransmissionError.BusChannel",
        "LIN_TransmissionError.ID", "LIN_TransmissionError.Dir"},
       11},
  };
  for (const Case& c : cases) {
    const Bytes file = write_bus_log({c.frame});
    const uint64_t cg = channel_groups(file, data_groups(file)[0])[0];
    std::set<std::string> names;
    for (const Channel& ch : channels_of(file, cg)) names.insert(ch.name);
    EXPECT_EQ(names, c.names);
    const Cg fields = cg_fields(file, cg);
    EXPECT_EQ(fields.name, group_name(c.frame.type));
    EXPECT_EQ(fields.data_bytes, c.record_bytes) << fields.name;
    EXPECT_EQ(dt_data(file, data_groups(file)[0]).size(), c.record_bytes) << fields.name;
  }
}

TEST(WriterBusLog, CanDataRecordPacksIdIdeAndFlagBits) {
  BusLogOptions opt;
  opt.start_time_ns = 1'700'000'000'123'456'789;
  const Bytes file = write_bus_log({sample_can()}, opt);
  EXPECT_EQ(get_u64(file, read_block(file, 64).data), 1'700'000'000'123'456'789u);
  const Bytes rec = dt_data(file, data_groups(file)[0]);
  ASSERT_EQ(rec.size(), 80u);
  EXPECT_EQ(get_f64(rec, 0), 0.25);
  EXPECT_EQ(get_u32(rec, 8), 0x1ABCDEF0u | 0x80000000u);
  EXPECT_EQ(rec[12], 3);
  EXPECT_EQ(rec[13], 13);
  EXPECT_EQ(rec[14], 32);
  EXPECT_EQ(rec[15], 0b0101);  // Dir and BRS
  for (int i = 0; i < 64; ++i) EXPECT_EQ(rec[16 + i], 0xA0 + i) << i;
}

TEST(WriterBusLog, CanIdIsCutToTwentyNineBitsWithoutTouchingIde) {
  BusFrame f = can_data(0, 0xFFFFFFFF, {1, 2});
  f.ide = false;
  const Bytes file = write_bus_log({f});
  const Bytes rec = dt_data(file, data_groups(file)[0]);
  EXPECT_EQ(get_u32(rec, 8), 0x1FFFFFFFu);
}

TEST(WriterBusLog, FixedDataBytesWidthFollowsTheOption) {
  BusLogOptions opt;
  opt.fixed_data_bytes = 8;
  const Bytes file = write_bus_log({sample_can()}, opt);
  const uint64_t cg = channel_groups(file, data_groups(file)[0])[0];
  EXPECT_EQ(cg_fields(file, cg).data_bytes, 24u);
  EXPECT_EQ(channel(channels_of(file, cg), "CAN_DataFrame.DataBytes").bit_count, 64u);
  const Bytes rec = dt_data(file, data_groups(file)[0]);
  ASSERT_EQ(rec.size(), 24u);
  EXPECT_EQ(rec[23], 0xA7);
}

TEST(WriterBusLog, RemoteErrorAndLinRecordsHoldTheirFields) {
  BusFrame remote = can_remote(1.5, 0x123, 6, 2);
  remote.dir = true;
  BusFrame error = can_error(2.5, 4, 7);
  BusFrame lin = lin_frame(3.5, 0x3C, {9, 8, 7}, 5);
  lin.dir = true;
  lin.received_count = 2;
  BusFrame checksum = lin_error(FrameType::lin_checksum_error, 4.5, 0x21, 6);
  checksum.checksum = 0x5A;
  checksum.dir = true;
  BusLogMap map;
  const Bytes file = write_bus_log({remote, error, lin, checksum}, {}, &map);
  ASSERT_EQ(data_groups(file).size(), 4u);

  const Bytes r = dt_data(file, data_groups(file)[0]);
  EXPECT_EQ(get_f64(r, 0), 1.5);
  EXPECT_EQ(get_u32(r, 8), 0x123u);
  EXPECT_EQ(Bytes(r.begin() + 12, r.end()), (Bytes{2, 6, 6, 1}));

  const Bytes e = dt_data(file, data_groups(file)[1]);
  EXPECT_EQ(get_f64(e, 0), 2.5);
  EXPECT_EQ(Bytes(e.begin() + 8, e.end()), (Bytes{7, 4}));

  const Bytes l = dt_data(file, data_groups(file)[2]);
  EXPECT_EQ(get_f64(l, 0), 3.5);
  EXPECT_EQ(Bytes(l.begin() + 8, l.end()), (Bytes{5, 0x3C, 3, 2, 1, 9, 8, 7, 0, 0, 0, 0, 0}));

  const Bytes c = dt_data(file, data_groups(file)[3]);
  EXPECT_EQ(get_f64(c, 0), 4.5);
  EXPECT_EQ(Bytes(c.begin() + 8, c.end()), (Bytes{6, 0x21, 0x5A, 1}));
}

TEST(WriterBusLog, SortedLogHasOneGroupPerDataGroupWithoutRecordIds) {
  const std::vector<BusFrame> frames = {can_data(0.1, 1, {1}), lin_frame(0.2, 2, {}),
                                        can_data(0.3, 3, {}), can_error(0.4, 1)};
  const Bytes file = write_bus_log(frames);
  const std::vector<uint64_t> dgs = data_groups(file);
  ASSERT_EQ(dgs.size(), 3u);
  const std::vector<std::pair<std::string, uint64_t>> expected = {
      {"CAN_DataFrame", 2}, {"CAN_ErrorFrame", 1}, {"LIN_Frame", 1}};
  for (size_t i = 0; i < dgs.size(); ++i) {
    const BlockInfo dg = read_block(file, dgs[i]);
    EXPECT_EQ(dg.length, 64u);
    EXPECT_EQ(file[dg.data], 0) << "dg_rec_id_size";
    const std::vector<uint64_t> cgs = channel_groups(file, dgs[i]);
    ASSERT_EQ(cgs.size(), 1u);
    const Cg cg = cg_fields(file, cgs[0]);
    EXPECT_EQ(cg.name, expected[i].first);
    EXPECT_EQ(cg.cycle_count, expected[i].second);
    EXPECT_EQ(dt_data(file, dgs[i]).size(), cg.data_bytes * cg.cycle_count);
  }
  // The frames of one kind keep the order they were given in.
  const Bytes can = dt_data(file, dgs[0]);
  EXPECT_EQ(get_f64(can, 0), 0.1);
  EXPECT_EQ(get_f64(can, 80), 0.3);
}

TEST(WriterBusLog, UnsortedRecordsCarryIdsOfTheConfiguredSize) {
  const std::vector<BusFrame> frames = {can_data(0.1, 1, {1}), lin_frame(0.2, 2, {}),
                                        can_remote(0.3, 3, 0), can_data(0.05, 4, {}),
                                        lin_error(FrameType::lin_sync_error, 0.6, 0)};
  for (uint8_t id_size : {1, 2, 4, 8}) {
    BusLogOptions opt;
    opt.layout = Layout::unsorted;
    opt.record_id_size = id_size;
    const Bytes file = write_bus_log(frames, opt);
    const std::vector<uint64_t> dgs = data_groups(file);
    ASSERT_EQ(dgs.size(), 1u);
    EXPECT_EQ(file[read_block(file, dgs[0]).data], id_size);
    std::map<uint64_t, uint32_t> sizes;
    for (uint64_t cg : channel_groups(file, dgs[0])) {
      const Cg f = cg_fields(file, cg);
      sizes[f.record_id] = f.data_bytes;
    }
    ASSERT_EQ(sizes.size(), 4u);
    const Bytes data = dt_data(file, dgs[0]);
    std::vector<uint64_t> ids;
    std::vector<double> times;
    for (size_t at = 0; at < data.size();) {
      uint64_t id = 0;
      for (int i = id_size - 1; i >= 0; --i) id = (id << 8) | data[at + i];
      ASSERT_TRUE(sizes.count(id)) << id;
      ids.push_back(id);
      times.push_back(get_f64(data, at + id_size));
      at += id_size + sizes[id];
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 4, 2, 1, 7})) << int{id_size};
    EXPECT_EQ(times, (std::vector<double>{0.1, 0.2, 0.3, 0.05, 0.6}));
  }
}

TEST(WriterBusLog, SdPayloadsAreLengthPrefixedEntries) {
  std::vector<BusFrame> frames = {can_data(0, 1, {0x11, 0x22, 0x33}), can_data(0, 2, {}),
                                  sample_can()};
  BusLogOptions opt;
  opt.can_data_bytes = DataBytesStorage::sd;
  const Bytes file = write_bus_log(frames, opt);
  const uint64_t cg = channel_groups(file, data_groups(file)[0])[0];
  const Channel bytes = channel(channels_of(file, cg), "CAN_DataFrame.DataBytes");
  EXPECT_EQ(bytes.cn_type, 1);
  EXPECT_EQ(bytes.data_type, 10);
  EXPECT_EQ(bytes.bit_count, 64u);
  const BlockInfo sd = read_block(file, bytes.links[5]);
  ASSERT_EQ(sd.id, "##SD");
  EXPECT_EQ(sd.length, 24u + (4 + 3) + 4 + (4 + 32));

  const Bytes rec = dt_data(file, data_groups(file)[0]);
  ASSERT_EQ(rec.size(), 3u * 24u);
  const uint64_t offsets[] = {0, 7, 11};
  const uint32_t lengths[] = {3, 0, 32};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(get_u64(rec, 24 * i + 16), offsets[i]) << i;
    EXPECT_EQ(get_u32(file, sd.data + offsets[i]), lengths[i]) << i;
  }
  EXPECT_EQ(file[sd.data + 4], 0x11);
  EXPECT_EQ(file[sd.data + 6], 0x33);
  EXPECT_EQ(file[sd.data + 15], 0xA0);
  EXPECT_EQ(file[sd.data + 15 + 31], 0xA0 + 31);
}

TEST(WriterBusLog, VlsdRecordsFollowTheirFixedRecord) {
  for (Layout layout : {Layout::sorted, Layout::unsorted}) {
    BusLogOptions opt;
    opt.layout = layout;
    opt.record_id_size = 2;
    opt.can_data_bytes = DataBytesStorage::vlsd;
    const Bytes file = write_bus_log(
        {can_data(0.5, 1, {0xAB, 0xCD}), can_error(0.6, 1), can_data(0.7, 2, {0xEF})}, opt);
    const uint64_t dg = data_groups(file)[0];
    EXPECT_EQ(file[read_block(file, dg).data], 2);
    const std::vector<uint64_t> cgs = channel_groups(file, dg);
    ASSERT_GE(cgs.size(), 2u);
    const Cg vlsd = cg_fields(file, cgs[1]);
    EXPECT_EQ(vlsd.flags & 1, 1);
    EXPECT_EQ(vlsd.record_id, 9u);
    EXPECT_EQ(vlsd.cycle_count, 2u);
    EXPECT_EQ(vlsd.data_bytes, (4u + 2u) + (4u + 1u));
    EXPECT_EQ(vlsd.inval_bytes, 0u);
    EXPECT_EQ(read_block(file, cgs[1]).links[1], 0u) << "a VLSD group has no channels";
    const Channel bytes = channel(channels_of(file, cgs[0]), "CAN_DataFrame.DataBytes");
    EXPECT_EQ(bytes.cn_type, 1);
    EXPECT_EQ(bytes.links[5], cgs[1]);

    Bytes expected;
    auto put = [&expected](uint64_t v, int n) {
      for (int i = 0; i < n; ++i) expected.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto fixed = [&](double t, uint32_t id, uint8_t len, uint64_t offset) {
      put(1, 2);
      uint64_t bits = 0;
      std::memcpy(&bits, &t, 8);
      put(bits, 8);
      put(id, 4);
      put(1, 1);
      put(can_dlc_for_length(len), 1);
      put(len, 1);
      put(0, 1);
      put(offset, 8);
    };
    fixed(0.5, 1, 2, 0);
    put(9, 2);
    put(2, 4);
    put(0xCDAB, 2);
    if (layout == Layout::unsorted) {
      put(3, 2);
      put(0x3FE3333333333333, 8);  // 0.6
      put(0x0101, 2);
    }
    fixed(0.7, 2, 1, 6);
    put(9, 2);
    put(1, 4);
    put(0xEF, 1);
    EXPECT_EQ(dt_data(file, dg), expected) << (layout == Layout::sorted ? "sorted" : "unsorted");
  }
}

TEST(WriterBusLog, UnfinalisedLogLeavesTheLastDataBlockLengthStale) {
  BusLogOptions opt;
  opt.unfinalised = true;
  const Bytes file = write_bus_log({can_data(0, 1, {1}), lin_frame(0, 1, {2})}, opt);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "UnFinMF ");
  EXPECT_EQ(get_u16(file, 60), 5);
  uint64_t last = 0;
  for (uint64_t dg : data_groups(file)) last = std::max(last, read_block(file, dg).links[2]);
  EXPECT_EQ(read_block(file, last).id, "##DT");
  EXPECT_EQ(read_block(file, last).length, 24u);
  EXPECT_EQ(file.size() - last, 24u + 21u) << "the stale block ends the file";
  const uint64_t first_dt = read_block(file, data_groups(file)[0]).links[2];
  EXPECT_EQ(read_block(file, first_dt).length, 24u + 80u);
  for (uint64_t dg : data_groups(file)) {
    EXPECT_EQ(cg_fields(file, channel_groups(file, dg)[0]).cycle_count, 0u)
        << "a logger that did not finalise has not counted its records";
  }
}

TEST(WriterBusLog, TickTimestampsUseALinearConversion) {
  BusLogOptions opt;
  opt.timestamp = TimestampEncoding::ticks;
  const Bytes file = write_bus_log({can_data(1.234567, 1, {}), can_error(2.0, 1)}, opt);
  std::set<uint64_t> conversions;
  for (uint64_t dg : data_groups(file)) {
    const uint64_t cg = channel_groups(file, dg)[0];
    const Channel ts = channel(channels_of(file, cg), "Timestamp");
    EXPECT_EQ(ts.data_type, 0);
    conversions.insert(ts.links[4]);
  }
  ASSERT_EQ(conversions.size(), 1u) << "one conversion block serves every Timestamp";
  const BlockInfo cc = read_block(file, *conversions.begin());
  EXPECT_EQ(cc.id, "##CC");
  EXPECT_EQ(cc.link_count, 4u);
  EXPECT_EQ(file[cc.data], 1);
  EXPECT_EQ(get_u16(file, cc.data + 4), 0);
  EXPECT_EQ(get_u16(file, cc.data + 6), 2);
  EXPECT_EQ(get_f64(file, cc.data + 24), 0.0);
  EXPECT_EQ(get_f64(file, cc.data + 32), 1e-6);
  EXPECT_EQ(get_u64(dt_data(file, data_groups(file)[0]), 0), 1234567u);
}

TEST(WriterBusLog, GivenConversionsAreWrittenAsStated) {
  BusLogOptions opt;
  opt.conversions["CAN_DataFrame.BusChannel"] = {5, {1, 10, 2, 20}, {}};
  opt.unsupported.conversion_with_refs = true;
  const Bytes file = write_bus_log({can_data(0, 1, {})}, opt);
  const std::vector<Channel> list =
      channels_of(file, channel_groups(file, data_groups(file)[0])[0]);

  const BlockInfo table = read_block(file, channel(list, "CAN_DataFrame.BusChannel").links[4]);
  EXPECT_EQ(table.length, 80u + 4 * 8);
  EXPECT_EQ(file[table.data], 5);
  EXPECT_EQ(get_u16(file, table.data + 6), 4);
  EXPECT_EQ(get_f64(file, table.data + 24 + 24), 20.0);

  const BlockInfo refs = read_block(file, channel(list, "Timestamp").links[4]);
  EXPECT_EQ(refs.link_count, 6u);
  EXPECT_EQ(get_u16(file, refs.data + 4), 2) << "cc_ref_count";
  EXPECT_EQ(text_of(file, refs.links[4]), "zero");
  EXPECT_EQ(text_of(file, refs.links[5]), "other");
}

TEST(WriterBusLog, UnsupportedBlocksAreLinkedWhereTheReaderLooks) {
  struct Case {
    bool Unsupported::*option;
    const char* id;
  };
  const Case cases[] = {
      {&Unsupported::data_list, "##DL"},
      {&Unsupported::attachment, "##AT"},
      {&Unsupported::event, "##EV"},
      {&Unsupported::channel_hierarchy, "##CH"},
      {&Unsupported::sample_reduction, "##SR"},
  };
  for (const Case& c : cases) {
    BusLogOptions opt;
    opt.unsupported.*c.option = true;
    BusLogMap map;
    const Bytes file = write_bus_log({can_data(0, 1, {4})}, opt, &map);
    const BlockInfo hd = read_block(file, 64);
    const BlockInfo dg = read_block(file, map.data_groups[0]);
    const BlockInfo cg = read_block(file, map.groups[0].cg);
    const std::string id = c.id;
    const uint64_t link = id == "##DL"   ? dg.links[2]
                          : id == "##AT" ? hd.links[3]
                          : id == "##EV" ? hd.links[4]
                          : id == "##CH" ? hd.links[2]
                                         : cg.links[4];
    ASSERT_NE(link, 0u) << id;
    const BlockInfo block = read_block(file, link);
    EXPECT_EQ(block.id, id);
    EXPECT_LE(block.data + (block.length - 24 - 8 * block.link_count), file.size()) << id;
    if (id == "##DL") {
      EXPECT_EQ(read_block(file, block.links[1]).id, "##DT");
      EXPECT_EQ(get_u32(file, block.data + 4), 1u) << "dl_count";
    }
  }
}

// Every block reachable from the header lies inside the file at an aligned
// offset, states a length that fits, and links only to block starts.
void expect_well_formed(const Bytes& file, const std::string& what) {
  std::set<uint64_t> seen;
  std::vector<uint64_t> todo = {64};
  while (!todo.empty()) {
    const uint64_t at = todo.back();
    todo.pop_back();
    if (!seen.insert(at).second) continue;
    ASSERT_EQ(at % 8, 0u) << what;
    ASSERT_LE(at + 24, file.size()) << what;
    const BlockInfo b = read_block(file, at);
    ASSERT_EQ(b.id.substr(0, 2), "##") << what << " at " << at;
    ASSERT_LE(at + b.length, file.size()) << what << " " << b.id;
    ASSERT_GE(b.length, 24 + 8 * b.link_count) << what << " " << b.id;
    for (uint64_t link : b.links) {
      if (link != 0) todo.push_back(link);
    }
  }
  EXPECT_GT(seen.size(), 10u) << what;
}

TEST(WriterBusLog, EveryLinkLeadsToAnAlignedBlockInEveryLayout) {
  GeneratorOptions gen;
  gen.mix.lin_error = 5;
  const std::vector<BusFrame> frames = generate_frames(300, gen);
  for (Layout layout : {Layout::sorted, Layout::unsorted}) {
    for (DataBytesStorage storage :
         {DataBytesStorage::fixed, DataBytesStorage::sd, DataBytesStorage::vlsd}) {
      for (bool composed : {true, false}) {
        BusLogOptions opt;
        opt.layout = layout;
        opt.can_data_bytes = storage;
        opt.composed = composed;
        opt.lin_variable_data = true;
        opt.include_empty_groups = true;
        opt.timestamp = TimestampEncoding::ticks;
        const std::string what = std::to_string(static_cast<int>(layout)) + "/" +
                                 std::to_string(static_cast<int>(storage)) + "/" +
                                 std::to_string(composed);
        const Bytes file = write_bus_log(frames, opt);
        expect_well_formed(file, what);
        uint64_t groups = 0;
        for (uint64_t dg : data_groups(file)) groups += channel_groups(file, dg).size();
        const uint64_t vlsd_groups = storage == DataBytesStorage::vlsd ? 2 : 0;
        EXPECT_EQ(groups, kFrameTypeCount + vlsd_groups) << what;
      }
    }
  }
}

TEST(WriterBusLog, FlatLayoutPutsFieldChannelsDirectlyInTheGroup) {
  BusLogOptions opt;
  opt.composed = false;
  const Bytes file = write_bus_log({can_error(0, 1)}, opt);
  const std::vector<Channel> list =
      channels_of(file, channel_groups(file, data_groups(file)[0])[0]);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].name, "Timestamp");
  EXPECT_EQ(list[1].name, "CAN_ErrorFrame.BusChannel");
  EXPECT_EQ(list[2].name, "CAN_ErrorFrame.ErrorType");
  for (const Channel& c : list) EXPECT_EQ(c.depth, 0) << c.name;
}

TEST(WriterBusLog, ExtraChannelsAndInvalidationBytesExtendTheRecord) {
  BusLogOptions opt;
  opt.extra_channels = {{FrameType::can_error, "CAN_ErrorFrame.Unknown", 0x77},
                        {FrameType::lin, "Other", 1}};
  opt.inval_bytes = 2;
  const Bytes file = write_bus_log({can_error(0, 3, 4)}, opt);
  const uint64_t cg = channel_groups(file, data_groups(file)[0])[0];
  const Cg fields = cg_fields(file, cg);
  EXPECT_EQ(fields.data_bytes, 11u);
  EXPECT_EQ(fields.inval_bytes, 2u);
  const std::vector<Channel> list = channels_of(file, cg);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list.back().name, "CAN_ErrorFrame.Unknown");
  EXPECT_EQ(list.back().byte_offset, 10u);
  const Bytes rec = dt_data(file, data_groups(file)[0]);
  EXPECT_EQ(Bytes(rec.begin() + 8, rec.end()), (Bytes{4, 3, 0x77, 0, 0}));
}

TEST(WriterBusLog, SourcesStateTheirBusKind) {
  for (bool bus : {true, false}) {
    BusLogOptions opt;
    opt.bus_source = bus;
    BusLogMap map;
    const Bytes file = write_bus_log({can_data(0, 1, {}), lin_frame(0, 1, {})}, opt, &map);
    ASSERT_EQ(map.groups.size(), 2u);
    const uint8_t expected_bus_type[] = {2, 3};
    for (size_t i = 0; i < 2; ++i) {
      const BlockInfo si = read_block(file, read_block(file, map.groups[i].cg).links[3]);
      EXPECT_EQ(si.id, "##SI");
      EXPECT_EQ(si.length, 56u);
      EXPECT_EQ(file[si.data], bus ? 2 : 0);
      EXPECT_EQ(file[si.data + 1], expected_bus_type[i]);
    }
  }
  BusLogOptions none;
  none.with_source = false;
  BusLogMap map;
  const Bytes file = write_bus_log({can_data(0, 1, {})}, none, &map);
  EXPECT_EQ(read_block(file, map.groups[0].cg).links[3], 0u);
}

TEST(WriterBusLog, FileBlocksHaveTheirFixedSizes) {
  BusLogMap map;
  const Bytes file = write_bus_log({can_data(0, 1, {})}, {}, &map);
  const BlockInfo hd = read_block(file, 64);
  EXPECT_EQ(hd.id, "##HD");
  EXPECT_EQ(hd.length, 104u);
  EXPECT_EQ(hd.link_count, 6u);
  EXPECT_EQ(hd.links[1], map.fh);
  EXPECT_EQ(read_block(file, hd.links[5]).id, "##MD");
  const BlockInfo fh = read_block(file, map.fh);
  EXPECT_EQ(fh.length, 56u);
  EXPECT_EQ(fh.link_count, 2u);
  EXPECT_EQ(read_block(file, map.groups[0].cg).length, 104u);
  EXPECT_EQ(read_block(file, map.groups[0].channels.at("Timestamp")).length, 160u);
  EXPECT_EQ(text_of(file, read_block(file, map.groups[0].channels.at("Timestamp")).links[6]), "s");
}

TEST(WriterBusLog, CanDataMakerDerivesDlcAndFdFlag) {
  struct Case {
    size_t length;
    uint8_t dlc;
    bool edl;
  };
  const Case cases[] = {{0, 0, false},  {8, 8, false},  {9, 9, true},   {12, 9, true},
                        {13, 10, true}, {24, 12, true}, {48, 14, true}, {64, 15, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(can_dlc_for_length(static_cast<uint32_t>(c.length)), c.dlc) << c.length;
  }
  const BusFrame f = can_data(0, 0x800, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  EXPECT_EQ(f.dlc, 9);
  EXPECT_EQ(f.data_length, 12);
  EXPECT_TRUE(f.edl);
  EXPECT_TRUE(f.ide) << "ids above 11 bits are extended";
}

}  // namespace
}  // namespace quarrow::mdfw
