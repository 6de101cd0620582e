#pragma once

// The tables the converter must write for a log, built from the frames the
// log was written with, never from the converter's own output.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"
#include "mdfwriter/bus_log_writer.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {

inline void append_hex(std::string* row, uint8_t byte) {
  row->append({"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 0xF]});
}

// A "_CAN.csv" row: at most 64 bytes; a narrower fixed DataBytes field leaves zeros.
inline std::string can_row(const mdfw::BusFrame& f, double seconds,
                           const mdfw::BusLogOptions& options) {
  const bool data = f.type == mdfw::FrameType::can_data;
  const int length = std::min<int>(f.data_length, 64);
  char head[160];
  std::snprintf(head, sizeof(head), "%10.6f;%d;%0*X;%d;%d;%d;%d;%d;%d;%d;%d;", seconds,
                f.bus_channel, f.ide ? 8 : 3, f.id & 0x1FFFFFFF, f.ide, f.dlc, length, f.dir,
                data && f.edl, data && f.brs, data && f.esi, !data);
  std::string row = head;
  if (std::isnan(seconds)) row.replace(row.find("nan"), 3, "NaN");  // as the program spells it
  size_t stored = 64;
  if (options.can_data_bytes == mdfw::DataBytesStorage::fixed)
    stored = std::min<size_t>(options.fixed_data_bytes, 64);
  for (size_t i = 0; i < static_cast<size_t>(length); ++i)
    append_hex(&row, data && i < stored ? f.data[i] : 0);
  return row + "\n";
}

// A "_LIN.csv" row: DataLength is the received count; at most 8 bytes show.
inline std::string lin_row(const mdfw::BusFrame& f, double seconds) {
  char head[96];
  std::snprintf(head, sizeof(head), "%10.6f;%d;%02X;%d;%d;", seconds, f.bus_channel, f.id & 0xFF,
                f.received_count, f.dir);
  std::string row = head;
  for (size_t i = 0; i < std::min<size_t>(f.data_length, 8); ++i) append_hex(&row, f.data[i]);
  return row + "\n";
}

struct ExpectedTables {
  std::string can;  // empty: the table must not exist
  std::string lin;
};

inline ExpectedTables expected_tables(const std::vector<mdfw::BusFrame>& frames,
                                      const mdfw::BusLogOptions& options) {
  using mdfw::FrameType;
  // Read order: sorted, by frame type (and bus channel if split so); unsorted, as written. Rows
  // follow by time, NaN last, equal times (-0.0 and 0.0 too) keeping the read order.
  std::vector<mdfw::BusFrame> ordered = frames;
  if (options.layout == mdfw::Layout::sorted) {
    const bool per_bus = options.group_per_bus_channel;
    std::stable_sort(ordered.begin(), ordered.end(), [per_bus](const auto& a, const auto& b) {
      return std::pair(a.type, per_bus ? a.bus_channel : 0) <
             std::pair(b.type, per_bus ? b.bus_channel : 0);
    });
  }
  std::vector<std::pair<double, const mdfw::BusFrame*>> can, lin;
  for (const mdfw::BusFrame& f : ordered) {
    // Non-bus sources, and groups with a channel the reader does not know, give no frames.
    if (options.with_source && !options.bus_source) break;
    if (std::any_of(options.extra_channels.begin(), options.extra_channels.end(),
                    [&](const mdfw::ExtraChannel& extra) { return extra.group == f.type; }))
      continue;
    double time = f.time;  // as the Timestamp channel's conversion gives it
    if (options.timestamp != mdfw::TimestampEncoding::float64)
      time = options.tick_seconds * static_cast<double>(static_cast<uint64_t>(
                                        std::max(0.0, std::round(f.time / options.tick_seconds))));
    const bool is_can = f.type == FrameType::can_data || f.type == FrameType::can_remote;
    if (is_can || f.type == FrameType::lin) (is_can ? can : lin).emplace_back(time, &f);
  }
  auto by_time = [](const auto& a, const auto& b) {
    return std::isnan(b.first) ? !std::isnan(a.first) : a.first < b.first;
  };
  std::stable_sort(can.begin(), can.end(), by_time);
  std::stable_sort(lin.begin(), lin.end(), by_time);
  // The recording start: whole microseconds of the header's nanoseconds.
  const double start = static_cast<double>(options.start_time_ns / 1000) * 0.000001;
  ExpectedTables tables;
  if (!can.empty())
    tables.can = "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n";
  for (const auto& [time, f] : can) tables.can += can_row(*f, time + start, options);
  if (!lin.empty()) tables.lin = "TimestampEpoch;BusChannel;ID;DataLength;Dir;DataBytes\n";
  for (const auto& [time, f] : lin) tables.lin += lin_row(*f, time + start);
  return tables;
}

// Traffic touching every column: standard and extended ids, FD payloads of 64 bytes and one
// claiming more, remote and error frames, LIN frames whose received count differs from their
// length, the LIN error kinds, times out of order and equal. All in whole microseconds.
inline std::vector<mdfw::BusFrame> handmade_frames() {
  using namespace mdfw;
  auto fd = [](double time, uint32_t id, int length, bool flags) {
    BusFrame f = can_data(time, id, {});
    f.data_length = length, f.dlc = 15, f.edl = true, f.brs = f.esi = f.dir = flags;
    for (size_t i = 0; i < 64; ++i) f.data[i] = static_cast<uint8_t>(flags ? 0xC0 + i : 255 - i);
    return f;
  };
  BusFrame lin = lin_frame(0.1, 0x3C, {1, 2, 3, 4, 5, 6, 7, 8}, 2);
  BusFrame long_lin = lin_frame(3.000001, 0x3F, {9, 8, 7, 6, 5, 4, 3, 2});
  lin.received_count = 3, lin.dir = true, long_lin.data_length = 12;
  // At 0.5 the remote frame is read last in a sorted log, and the bus 2 frame
  // after its bus 1 twin when groups are split by bus.
  std::vector<BusFrame> frames = {
      can_remote(0.5, 0x125, 1),
      can_data(0.5, 0x124, {0x42}, 2),
      can_data(0.5, 0x123, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}),
      can_data(0.000001, 0x7FF, {}, 2),
      can_data(2.25, 0x1ABCDEF, {0xDE, 0xAD}),
      can_data(0.000123, 0x5, {0x01}, 3),
      can_data(0.75, 0x2A0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
      fd(1.000007, 0x18FF0001, 64, true),
      fd(1.5, 0x321, 100, false),
      can_remote(0.25, 0x456, 8),
      can_remote(1.25, 0x1234567, 0, 2),
      can_error(0.3, 3),
      can_error(0.6, 7, 2),
      lin_frame(0.4, 0x05, {0xA1, 0xA2, 0xA3}),
      lin,
      long_lin,
      lin_frame(0.2, 0x10, {})};
  double t = 0.25;
  for (FrameType type : {FrameType::lin_checksum_error, FrameType::lin_receive_error,
                         FrameType::lin_sync_error, FrameType::lin_transmission_error})
    frames.push_back(lin_error(type, t += 0.1, 0x11));
  return frames;
}

inline std::vector<mdfw::BusFrame> mixed_frames(size_t generated = 120, uint64_t seed = 7) {
  std::vector<mdfw::BusFrame> frames = handmade_frames();  // then traffic of every kind
  mdfw::GeneratorOptions generator;
  generator.seed = seed, generator.mix.lin_error = 3, generator.out_of_order_percent = 10;
  for (const mdfw::BusFrame& f : mdfw::generate_frames(generated, generator)) frames.push_back(f);
  return frames;
}

struct SampleLog {  // a small log and the tables it must give
  std::vector<uint8_t> bytes;
  ExpectedTables tables;
};

inline SampleLog sample_log(uint64_t seed = 3) {
  std::vector<mdfw::BusFrame> frames = mixed_frames(30, seed);
  return {mdfw::write_bus_log(frames, {}), expected_tables(frames, {})};
}

// Checks "<base>_CAN.csv" and "<base>_LIN.csv"; an empty one must not exist.
inline void expect_tables_at(const std::string& base, const ExpectedTables& want) {
  for (auto [suffix, text] : {std::pair{"_CAN.csv", &want.can}, {"_LIN.csv", &want.lin}}) {
    const std::string path = base + suffix, none = "(no table)";
    EXPECT_EQ(file_exists(path) ? read_file(path) : none, text->empty() ? none : *text) << path;
  }
}

// Runs the real program in a scratch working folder, so no password file is found by chance.
class ConvertRunTest : public ::testing::Test {
 protected:
  ProcessResult convert(const std::vector<std::string>& args) {
    return run_process(QUARROW_BINARY, args, tmp_.path());
  }
  std::string in(const std::string& relative) const { return tmp_ / ("in/" + relative); }

  TempDir tmp_;
  SampleLog log_ = sample_log(9);
};

struct ScopedLogLevel {  // logs from `level` up while it lives
  explicit ScopedLogLevel(int32_t level) { log_set_output_level(level); }
  ~ScopedLogLevel() { log_set_output_level(saved); }
  const int32_t saved = log_output_level;
};

// The text after marker on every log line that contains it, in order.
inline std::vector<std::string> logged_after(const std::string& log, const std::string& marker) {
  std::vector<std::string> found;
  for (size_t at = 0; (at = log.find(marker, at)) != std::string::npos;) {
    at += marker.size();
    found.push_back(log.substr(at, log.find('\n', at) - at));  // npos: to the end
  }
  return found;
}

}  // namespace quarrow::test
