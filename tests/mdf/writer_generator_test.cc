#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <vector>

#include "mdfwriter/bus_log_writer.h"

namespace quarrow::mdfw {
namespace {

bool same_frames(const std::vector<BusFrame>& a, const std::vector<BusFrame>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].time != b[i].time || a[i].id != b[i].id ||
        a[i].data_length != b[i].data_length || a[i].data != b[i].data) {
      return false;
    }
  }
  return true;
}

TEST(WriterGenerator, SameSeedGivesSameFramesAndOtherSeedsDiffer) {
  GeneratorOptions opt;
  opt.seed = 42;
  const std::vector<BusFrame> a = generate_frames(500, opt);
  EXPECT_TRUE(same_frames(a, generate_frames(500, opt)));
  opt.seed = 43;
  EXPECT_FALSE(same_frames(a, generate_frames(500, opt)));
}

TEST(WriterGenerator, MixSelectsOnlyTheWeightedKinds) {
  struct Case {
    FrameMix mix;
    std::set<FrameType> allowed;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 1, 0}, {FrameType::lin}},
      {{0, 0, 1, 1, 0, 0}, {FrameType::can_remote, FrameType::can_error}},
      {{0, 0, 0, 0, 0, 1},
       {FrameType::lin_checksum_error, FrameType::lin_receive_error, FrameType::lin_sync_error,
        FrameType::lin_transmission_error}},
      {{0, 0, 0, 0, 0, 0}, {FrameType::can_data}},
  };
  for (const Case& c : cases) {
    GeneratorOptions opt;
    opt.mix = c.mix;
    std::set<FrameType> seen;
    for (const BusFrame& f : generate_frames(400, opt)) seen.insert(f.type);
    EXPECT_EQ(seen, c.allowed);
  }
}

TEST(WriterGenerator, FdFramesUseTheGivenSizesAndMatchingDlc) {
  GeneratorOptions opt;
  opt.mix = {0, 1, 0, 0, 0, 0};
  opt.fd_sizes = {20, 64};
  std::set<uint8_t> sizes;
  for (const BusFrame& f : generate_frames(200, opt)) {
    EXPECT_TRUE(f.edl);
    EXPECT_EQ(f.dlc, can_dlc_for_length(f.data_length));
    sizes.insert(f.data_length);
  }
  EXPECT_EQ(sizes, (std::set<uint8_t>{20, 64}));
}

TEST(WriterGenerator, FramesAreValidForTheirKind) {
  GeneratorOptions opt;
  opt.mix.lin_error = 10;
  opt.can_channels = 3;
  for (const BusFrame& f : generate_frames(2000, opt)) {
    switch (f.type) {
      case FrameType::can_data:
      case FrameType::can_remote:
        EXPECT_LT(f.id, f.ide ? 0x20000000u : 0x800u);
        EXPECT_GE(f.bus_channel, 1);
        EXPECT_LE(f.bus_channel, 3);
        if (!f.edl) {
          EXPECT_LE(f.data_length, 8);
        }
        break;
      case FrameType::can_error:
        EXPECT_GE(f.error_type, 1);
        EXPECT_LE(f.error_type, 5);
        break;
      case FrameType::lin:
        EXPECT_LT(f.id, 64u);
        EXPECT_GE(f.data_length, 1);
        EXPECT_LE(f.data_length, 8);
        EXPECT_EQ(f.received_count, f.data_length);
        break;
      default:
        EXPECT_LT(f.id, 64u);
        EXPECT_EQ(f.bus_channel, 1);
    }
  }
}

TEST(WriterGenerator, TimesAreWholeMicrosecondsAndSometimesOutOfOrder) {
  GeneratorOptions opt;
  opt.out_of_order_percent = 10;
  const std::vector<BusFrame> frames = generate_frames(1000, opt);
  int backwards = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const double us = frames[i].time * 1e6;
    EXPECT_EQ(std::round(us) / 1e6, frames[i].time) << i;
    EXPECT_GE(frames[i].time, 0.0);
    if (i > 0 && frames[i].time < frames[i - 1].time) ++backwards;
  }
  EXPECT_GT(backwards, 10);
  opt.out_of_order_percent = 0;
  const std::vector<BusFrame> ordered = generate_frames(1000, opt);
  for (size_t i = 1; i < ordered.size(); ++i) EXPECT_GT(ordered[i].time, ordered[i - 1].time);
}

TEST(WriterGenerator, StartTimesAreWholeSecondsNearARecentDate) {
  std::set<uint64_t> starts;
  for (uint64_t seed = 0; seed < 20; ++seed) {
    const uint64_t ns = start_time_for_seed(seed);
    EXPECT_EQ(ns % 1'000'000'000, 0u);
    EXPECT_GE(ns / 1'000'000'000, 1'796'515'200u);
    EXPECT_LT(ns / 1'000'000'000, 1'796'515'200u + 86'400u);
    starts.insert(ns);
  }
  EXPECT_GT(starts.size(), 15u);
}

}  // namespace
}  // namespace quarrow::mdfw
