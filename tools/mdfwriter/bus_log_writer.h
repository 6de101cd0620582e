#pragma once

// Writes MDF 4 bus logs (CAN, CAN FD, LIN) in the layouts data loggers
// produce, from a list of frames. Tests build the expected output from the
// same frames they hand to the writer, so every value is stored exactly as
// given (within the width of its field, see the record layouts below).
//
//   BusLogOptions opt;
//   opt.layout = Layout::unsorted;
//   opt.can_data_bytes = DataBytesStorage::sd;
//   std::vector<uint8_t> file = write_bus_log(frames, opt);
//
// Record layouts (byte offsets after the record id; flags are single bits):
//
//   CAN_DataFrame    0 Timestamp  8 ID (bits 0..28) and IDE (bit 31)
//                    12 BusChannel  13 DLC  14 DataLength
//                    15 Dir (bit 0), EDL (bit 1), BRS (bit 2), ESI (bit 3)
//                    16 DataBytes: fixed_data_bytes bytes, or for sd/vlsd a
//                       u64 offset into the variable data
//   CAN_RemoteFrame  0 Timestamp  8 ID and IDE  12 BusChannel  13 DLC
//                    14 DataLength  15 Dir (bit 0)
//   CAN_ErrorFrame   0 Timestamp  8 BusChannel  9 ErrorType
//   LIN_Frame        0 Timestamp  8 BusChannel  9 ID  10 DataLength
//                    11 ReceivedDataByteCount  12 Dir (bit 0)
//                    13 DataBytes: 8 bytes (or a u64 offset, see
//                       lin_variable_data)
//   LIN_ChecksumError      0 Timestamp  8 BusChannel  9 ID  10 Checksum  11 Dir
//   LIN_ReceiveError       0 Timestamp  8 BusChannel  9 ID  10 Dir
//   LIN_SyncError          0 Timestamp  8 BusChannel
//   LIN_TransmissionError  0 Timestamp  8 BusChannel  9 ID  10 Dir
//
// Extra channels follow as one byte each, then inval_bytes zero bytes.
// The Timestamp is a float64 of seconds, or a u64 tick count with a linear
// conversion. Channels are named "<group>.<field>" ("CAN_DataFrame.ID"),
// the master "Timestamp"; the field channels are members of a composed
// channel named after the group unless composed is false.
//
// File order: ID, HD, HD comment, FH, shared texts, sources, then per data
// group its DG, CG and CN blocks, then SD blocks, then the DT blocks, so the
// last DT block ends the file (what the unfinalised repair expects).

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mdfwriter/block_builder.h"
#include "mdfwriter/dbc_traffic.h"

namespace quarrow::mdfw {

enum class FrameType : uint8_t {
  can_data,
  can_remote,
  can_error,
  lin,
  lin_checksum_error,
  lin_receive_error,
  lin_sync_error,
  lin_transmission_error,
};
inline constexpr int kFrameTypeCount = 8;

// "CAN_DataFrame", "CAN_RemoteFrame", ..., "LIN_TransmissionError".
const char* group_name(FrameType type);

// The record id of a type's channel group (1..8) and of its VLSD channel
// group (9..16). Sorted files without record ids still state them in
// cg_record_id.
inline uint64_t record_id_of(FrameType type) {
  return static_cast<uint64_t>(type) + 1;
}
inline uint64_t vlsd_record_id_of(FrameType type) {
  return static_cast<uint64_t>(type) + 9;
}

// One event on a bus. Which fields count depends on type:
//   can_data:   time, id, ide, bus_channel, dlc, data_length, dir, edl,
//               brs, esi, data
//   can_remote: time, id, ide, bus_channel, dlc, data_length, dir
//   can_error:  time, bus_channel, error_type
//   lin:        time, id, bus_channel, dir, received_count, data_length, data
//   lin_*_error: time, bus_channel, id (not sync), dir (not sync),
//               checksum (checksum errors only)
// Fields wider than their record field are cut: the CAN id to 29 bits.
struct BusFrame {
  FrameType type = FrameType::can_data;
  double time = 0.0;  // seconds since the start of the recording
  uint32_t id = 0;
  bool ide = false;
  uint8_t bus_channel = 1;
  uint8_t dlc = 0;
  uint8_t data_length = 0;
  bool dir = false;
  bool edl = false;
  bool brs = false;
  bool esi = false;
  uint8_t error_type = 0;
  uint8_t received_count = 0;
  uint8_t checksum = 0;
  // The payload. A fixed DataBytes channel stores its first
  // fixed_data_bytes (CAN) or 8 (LIN) bytes; variable data stores
  // min(data_length, 64) bytes.
  std::array<uint8_t, 64> data{};
};

// The CAN FD DLC code for a payload size (sizes between the steps get the
// next larger code); 0..8 map to themselves.
uint8_t can_dlc_for_length(uint32_t length);

// Frame makers for tests. can_data sets dlc from the payload size, data_length
// to the size and edl when it is larger than 8; lin sets received_count to
// the size.
BusFrame can_data(double time, uint32_t id, std::initializer_list<uint8_t> bytes,
                  uint8_t bus_channel = 1);
BusFrame can_remote(double time, uint32_t id, uint8_t dlc, uint8_t bus_channel = 1);
BusFrame can_error(double time, uint8_t error_type, uint8_t bus_channel = 1);
BusFrame lin_frame(double time, uint8_t id, std::initializer_list<uint8_t> bytes,
                   uint8_t bus_channel = 1);
BusFrame lin_error(FrameType type, double time, uint8_t id, uint8_t bus_channel = 1);

enum class Layout {
  sorted,    // one channel group per data group, no record ids
  unsorted,  // all channel groups in one data group, records with ids
};

enum class DataBytesStorage {
  fixed,  // a byte array inside the record
  sd,     // a VLSD channel whose record value is an offset into an SD block
  vlsd,   // a VLSD channel whose cn_data is a VLSD channel group; its
          // records follow each fixed record in the same data group
};

enum class TimestampEncoding {
  float64,  // seconds as an IEEE double
  ticks,    // u64 count of tick_seconds with a linear conversion
};

// A CC block. Raw values in the records are not changed by a conversion:
// the test decides what the physical values mean.
struct ConversionSpec {
  uint8_t type = 1;            // cc_type: 1 linear, 5 value to value, ...
  std::vector<double> values;  // cc_val; linear: {offset, factor}
  // Texts linked behind the four fixed links, counted in cc_ref_count;
  // a reader without reference support must reject such a conversion.
  std::vector<std::string> ref_texts;
};

// Blocks the converter does not support, to test that it rejects them.
struct Unsupported {
  bool data_list = false;             // DG links a ##DL that lists the DT
  bool attachment = false;            // HD links a ##AT
  bool event = false;                 // HD links a ##EV
  bool channel_hierarchy = false;     // HD links a ##CH
  bool sample_reduction = false;      // the first CG links a ##SR
  bool conversion_with_refs = false;  // every Timestamp gets a value-to-text CC
  // Optional links behind a channel's fixed eight: every channel references
  // the HD's ##AT (as writers that attach a database do), or names a
  // default X channel (its DG, CG and the channel after it in its chain).
  bool channel_attachments = false;
  bool default_x = false;
};

// How general-purpose MDF 4 writers lay a log out; read with
// --other-writers. The records of each data group, and the SD data, go
// into a ##DL list when piece_bytes, zip or header_list asks for one.
struct OtherWriterLayout {
  uint64_t piece_bytes = 0;      // > 0: pieces of this many bytes, the last one shorter
  uint32_t pieces_per_list = 0;  // > 0: a chain of DL blocks with this many pieces each
  bool offset_form = false;      // each DL states its pieces' offsets, not one length
  uint8_t zip = 0;               // pieces as ##DZ: 1 deflate, 2 transposition then deflate
  uint32_t zip_columns = 16;     // bytes per row of the transposition
  bool header_list = false;      // an ##HL in front of the first DL
  std::string master_name = "Timestamp";
  std::string bus_prefix;       // "1": channels named "CAN1_DataFrame.ID", "LIN1_Frame.ID", ...
  bool vlsd_before = false;     // each VLSD record precedes the fixed record that points to it
  bool mandatory_only = false;  // no Dir, EDL, BRS and ESI channels (their bits stay 0)
  // CAN data frame groups get a channel "CAN_DataFrame.Samples" whose
  // composition is a ##CA channel array over the record's first byte.
  bool channel_array = false;
};

// A one-byte channel appended to every record of a group.
struct ExtraChannel {
  FrameType group = FrameType::can_data;
  std::string name = "CAN_DataFrame.Unknown";
  uint8_t value = 0;
};

struct BusLogOptions {
  uint64_t start_time_ns = 1'796'515'200'000'000'000;  // hd_start_time_ns
  int16_t tz_offset_min = 0;
  int16_t dst_offset_min = 0;

  Layout layout = Layout::sorted;
  // Bytes of the record id: 1, 2, 4 or 8 (0 is taken as 1). Used by
  // unsorted files, and by sorted files with vlsd data (a VLSD group shares
  // its data group, so it needs ids).
  uint8_t record_id_size = 1;
  // Sorted layout: one data group per frame type and bus channel instead of
  // per frame type, as loggers that keep a group per bus write; the groups
  // of a type follow by ascending bus channel. The unsorted layout ignores
  // it and keeps one channel group per type, as a record id names a type.
  bool group_per_bus_channel = false;

  DataBytesStorage can_data_bytes = DataBytesStorage::fixed;
  uint32_t fixed_data_bytes = 64;  // DataBytes width of CAN data frames, 1..64
  bool lin_variable_data = false;  // LIN DataBytes stored as can_data_bytes says
  bool composed = true;            // false: the field channels stand flat in the group

  bool with_source = true;  // an SI acquisition source on every channel group
  bool bus_source = true;   // si_type 2 (bus); false: 0 (other)

  TimestampEncoding timestamp = TimestampEncoding::float64;
  double tick_seconds = 1e-6;  // raw ticks = round(time / tick_seconds)

  // Conversions by full channel name ("Timestamp", "CAN_DataFrame.DLC");
  // one CC block per name, shared by all channels of that name. One for
  // "Timestamp" replaces the tick conversion.
  std::map<std::string, ConversionSpec> conversions;
  std::vector<ExtraChannel> extra_channels;
  uint32_t inval_bytes = 0;  // cg_inval_bytes, written as zeros

  // Write channel groups also for types without frames, one per type.
  bool include_empty_groups = false;

  // "UnFinMF " with unfin_flags; the last DT block's length states
  // unfinalised_dt_length instead of its real length. With bit 0 of
  // unfin_flags (cycle counters not updated) every cg_cycle_count is 0.
  bool unfinalised = false;
  uint16_t unfin_flags = 5;
  uint64_t unfinalised_dt_length = 24;

  Unsupported unsupported;
  OtherWriterLayout other;
  std::string comment = "Bus log written by mklog";
};

// Where the writer put the blocks of one channel group.
struct GroupBlocks {
  FrameType type = FrameType::can_data;
  // The bus channel of the group's frames when groups are split by bus
  // channel; 0 otherwise, and for an empty group.
  uint8_t bus_channel = 0;
  uint64_t dg = 0;
  uint64_t cg = 0;
  uint64_t vlsd_cg = 0;       // 0 unless DataBytes are in a VLSD group
  uint64_t sd = 0;            // 0 unless DataBytes are in an SD block
  uint64_t dt = 0;            // the data group's DT block
  uint32_t record_bytes = 0;  // cg_data_bytes
  uint64_t cycle_count = 0;
  std::map<std::string, uint64_t> channels;  // CN offset by channel name
};

struct BusLogMap {
  uint64_t hd = 0;
  uint64_t fh = 0;
  std::vector<uint64_t> data_groups;  // in chain order
  std::vector<GroupBlocks> groups;    // in data-group, then chain order
};

// Collects frames one at a time, encoding each into its record at once;
// finish assembles the file.
class BusLogWriter {
 public:
  explicit BusLogWriter(BusLogOptions options = {});
  ~BusLogWriter();
  BusLogWriter(const BusLogWriter&) = delete;
  BusLogWriter& operator=(const BusLogWriter&) = delete;

  void add(const BusFrame& frame);
  // The file; the writer is spent afterwards.
  std::vector<uint8_t> finish();
  // Valid after finish.
  const BusLogMap& map() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

std::vector<uint8_t> write_bus_log(const std::vector<BusFrame>& frames,
                                   const BusLogOptions& options = {}, BusLogMap* map = nullptr);

// Shares of each frame kind, in any unit (they are weights).
struct FrameMix {
  uint32_t can = 70;
  uint32_t fd = 10;
  uint32_t remote = 5;
  uint32_t error = 5;
  uint32_t lin = 10;
  uint32_t lin_error = 0;
};

struct GeneratorOptions {
  uint64_t seed = 1;
  FrameMix mix;
  std::vector<uint8_t> fd_sizes = {12, 16, 20, 24, 32, 48, 64};
  uint32_t mean_gap_us = 1000;        // average time between frames
  uint32_t out_of_order_percent = 2;  // frames stamped a little before the previous one
  bool whole_microseconds = true;     // false: times carry sub-microsecond parts
  uint8_t can_channels = 2;
  uint8_t lin_channels = 1;
  // When set, every CAN data and CAN FD frame is one of these messages (a
  // J1939 one with any priority and source address), one in ten shorter
  // than its declared size.
  std::vector<DbcMessageShape> can_messages;
};

// A seeded stream of plausible bus traffic; the same seed gives the same
// frames.
class FrameGenerator {
 public:
  explicit FrameGenerator(GeneratorOptions options = {});
  void next(BusFrame& frame);

 private:
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  void fill_can(BusFrame& frame, uint32_t length);
  void fill_message(BusFrame& frame);
  double stamp();

  GeneratorOptions options_;
  std::mt19937_64 rng_;
  uint64_t now_ns_ = 0;
  uint32_t mix_total_ = 0;
};

std::vector<BusFrame> generate_frames(size_t count, const GeneratorOptions& options = {});

// A start time at whole seconds within a day of a recent date, chosen by
// seed.
uint64_t start_time_for_seed(uint64_t seed);

}  // namespace quarrow::mdfw
