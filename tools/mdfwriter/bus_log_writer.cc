#include "mdfwriter/bus_log_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace quarrow::mdfw {

namespace {

// MDF channel and data types as written into CN blocks.
constexpr uint8_t kCnFixed = 0;
constexpr uint8_t kCnVlsd = 1;
constexpr uint8_t kCnMaster = 2;
constexpr uint8_t kSyncTime = 1;
constexpr uint8_t kUintLe = 0;
constexpr uint8_t kFloatLe = 4;
constexpr uint8_t kByteArray = 10;

constexpr uint16_t kCgVlsd = 1;
// Bus-event and plain-bus-event flags, as loggers set them on frame groups.
constexpr uint16_t kCgBusEvent = 2 | 4;

constexpr uint32_t kTimestampBytes = 8;
constexpr uint32_t kMaxPayload = 64;
constexpr uint32_t kLinPayload = 8;

// Where a record field takes its value from.
enum class Src : uint8_t {
  id,
  ide,
  bus,
  dlc,
  length,
  dir,
  edl,
  brs,
  esi,
  error_type,
  received,
  checksum,
  bytes,
  extra,
};

struct FieldDef {
  const char* name;
  Src src;
  uint32_t byte;
  uint8_t bit;
  uint32_t bits;  // 0 for DataBytes, whose width depends on the options
};

// The bit layouts documented in the header, in channel order.
const std::vector<FieldDef>& field_defs(FrameType type) {
  static const std::vector<FieldDef> kTables[kFrameTypeCount] = {
      {{"ID", Src::id, 8, 0, 29},
       {"IDE", Src::ide, 11, 7, 1},
       {"DLC", Src::dlc, 13, 0, 8},
       {"DataLength", Src::length, 14, 0, 8},
       {"DataBytes", Src::bytes, 16, 0, 0},
       {"BusChannel", Src::bus, 12, 0, 8},
       {"Dir", Src::dir, 15, 0, 1},
       {"EDL", Src::edl, 15, 1, 1},
       {"BRS", Src::brs, 15, 2, 1},
       {"ESI", Src::esi, 15, 3, 1}},
      {{"ID", Src::id, 8, 0, 29},
       {"IDE", Src::ide, 11, 7, 1},
       {"DLC", Src::dlc, 13, 0, 8},
       {"DataLength", Src::length, 14, 0, 8},
       {"BusChannel", Src::bus, 12, 0, 8},
       {"Dir", Src::dir, 15, 0, 1}},
      {{"BusChannel", Src::bus, 8, 0, 8}, {"ErrorType", Src::error_type, 9, 0, 8}},
      {{"BusChannel", Src::bus, 8, 0, 8},
       {"ID", Src::id, 9, 0, 8},
       {"DataLength", Src::length, 10, 0, 8},
       {"ReceivedDataByteCount", Src::received, 11, 0, 8},
       {"Dir", Src::dir, 12, 0, 1},
       {"DataBytes", Src::bytes, 13, 0, 0}},
      {{"BusChannel", Src::bus, 8, 0, 8},
       {"ID", Src::id, 9, 0, 8},
       {"Checksum", Src::checksum, 10, 0, 8},
       {"Dir", Src::dir, 11, 0, 1}},
      {{"BusChannel", Src::bus, 8, 0, 8}, {"ID", Src::id, 9, 0, 8}, {"Dir", Src::dir, 10, 0, 1}},
      {{"BusChannel", Src::bus, 8, 0, 8}},
      {{"BusChannel", Src::bus, 8, 0, 8}, {"ID", Src::id, 9, 0, 8}, {"Dir", Src::dir, 10, 0, 1}},
  };
  return kTables[static_cast<int>(type)];
}

struct Field {
  std::string name;
  Src src;
  uint32_t byte;
  uint8_t bit;
  uint32_t bits;
  uint8_t cn_type;
  uint8_t data_type;
  uint8_t extra_value;
};

// How one frame type is laid out under the chosen options.
struct GroupLayout {
  std::vector<Field> fields;  // without the Timestamp
  size_t member_count = 0;    // the first fields belong to the composed channel
  uint32_t members_end = 0;   // first byte after the composed channel
  uint32_t data_bytes = 0;    // cg_data_bytes
  uint32_t record_size = 0;   // data bytes plus invalidation bytes
  uint8_t id_size = 0;
  bool variable = false;  // DataBytes live outside the record
  uint32_t bytes_offset = 0;
  uint32_t bytes_width = 0;
};

bool is_can(FrameType type) {
  return static_cast<int>(type) <= 2;
}

uint64_t field_value(const BusFrame& f, const Field& field) {
  switch (field.src) {
    case Src::id:
      return f.id;
    case Src::ide:
      return f.ide;
    case Src::bus:
      return f.bus_channel;
    case Src::dlc:
      return f.dlc;
    case Src::length:
      return f.data_length;
    case Src::dir:
      return f.dir;
    case Src::edl:
      return f.edl;
    case Src::brs:
      return f.brs;
    case Src::esi:
      return f.esi;
    case Src::error_type:
      return f.error_type;
    case Src::received:
      return f.received_count;
    case Src::checksum:
      return f.checksum;
    case Src::extra:
      return field.extra_value;
    case Src::bytes:
      break;
  }
  return 0;
}

// ORs value into the record at byte/bit, Intel order. Fields here never
// reach past eight bytes from their first byte.
void put_bits(uint8_t* record, uint32_t byte, uint8_t bit, uint32_t bits, uint64_t value) {
  if (bits < 64) value &= (uint64_t{1} << bits) - 1;
  const uint32_t span = (bit + bits + 7) / 8;
  uint64_t window = 0;
  for (uint32_t i = 0; i < span; ++i) window |= uint64_t{record[byte + i]} << (8 * i);
  window |= value << bit;
  for (uint32_t i = 0; i < span; ++i) record[byte + i] = static_cast<uint8_t>(window >> (8 * i));
}

void put_le(uint8_t* at, uint64_t value, uint32_t width) {
  for (uint32_t i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void append_le(std::vector<uint8_t>& out, uint64_t value, uint32_t width) {
  for (uint32_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t splitmix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

const char* group_name(FrameType type) {
  static const char* const kNames[kFrameTypeCount] = {
      "CAN_DataFrame",     "CAN_RemoteFrame",  "CAN_ErrorFrame", "LIN_Frame",
      "LIN_ChecksumError", "LIN_ReceiveError", "LIN_SyncError",  "LIN_TransmissionError"};
  return kNames[static_cast<int>(type)];
}

uint8_t can_dlc_for_length(uint32_t length) {
  if (length <= 8) return static_cast<uint8_t>(length);
  static const uint32_t kSizes[] = {12, 16, 20, 24, 32, 48, 64};
  for (uint8_t i = 0; i < 7; ++i) {
    if (length <= kSizes[i]) return static_cast<uint8_t>(9 + i);
  }
  return 15;
}

BusFrame can_data(double time, uint32_t id, std::initializer_list<uint8_t> bytes,
                  uint8_t bus_channel) {
  BusFrame f;
  f.type = FrameType::can_data;
  f.time = time;
  f.id = id;
  f.ide = id > 0x7FF;
  f.bus_channel = bus_channel;
  const size_t n = std::min<size_t>(bytes.size(), f.data.size());
  std::copy_n(bytes.begin(), n, f.data.begin());
  f.data_length = static_cast<uint8_t>(n);
  f.dlc = can_dlc_for_length(static_cast<uint32_t>(n));
  f.edl = n > 8;
  return f;
}

BusFrame can_remote(double time, uint32_t id, uint8_t dlc, uint8_t bus_channel) {
  BusFrame f;
  f.type = FrameType::can_remote;
  f.time = time;
  f.id = id;
  f.ide = id > 0x7FF;
  f.bus_channel = bus_channel;
  f.dlc = dlc;
  f.data_length = dlc;
  return f;
}

BusFrame can_error(double time, uint8_t error_type, uint8_t bus_channel) {
  BusFrame f;
  f.type = FrameType::can_error;
  f.time = time;
  f.error_type = error_type;
  f.bus_channel = bus_channel;
  return f;
}

BusFrame lin_frame(double time, uint8_t id, std::initializer_list<uint8_t> bytes,
                   uint8_t bus_channel) {
  BusFrame f;
  f.type = FrameType::lin;
  f.time = time;
  f.id = id;
  f.bus_channel = bus_channel;
  const size_t n = std::min<size_t>(bytes.size(), kLinPayload);
  std::copy_n(bytes.begin(), n, f.data.begin());
  f.data_length = static_cast<uint8_t>(n);
  f.received_count = static_cast<uint8_t>(n);
  return f;
}

BusFrame lin_error(FrameType type, double time, uint8_t id, uint8_t bus_channel) {
  BusFrame f;
  f.type = type;
  f.time = time;
  f.id = id;
  f.bus_channel = bus_channel;
  return f;
}

// --- The writer -----------------------------------------------------------

struct BusLogWriter::State {
  // What one channel group collects while frames are added.
  struct Group {
    FrameType type = FrameType::can_data;
    uint8_t bus_channel = 0;
    std::vector<uint8_t> records;  // its data group's records (sorted layout)
    std::vector<uint8_t> sd;       // SD data section
    uint64_t count = 0;
    uint64_t vlsd_count = 0;
    uint64_t vlsd_bytes = 0;
  };

  BusLogOptions options;
  std::array<GroupLayout, kFrameTypeCount> layouts;
  // Keyed by group_key, so iteration gives the file's group order.
  std::map<uint32_t, Group> groups;
  std::vector<uint8_t> unsorted_records;  // the one data group's records
  BusLogMap map;

  // Assembly state.
  BlockBuilder b;
  std::vector<Group*> written;  // parallel to map.groups
  std::map<std::string, uint64_t> texts;
  std::map<std::string, uint64_t> conversions;
  std::array<uint64_t, 2> sources{};  // CAN, LIN
  uint64_t attached = 0;              // the ##AT block, once written

  explicit State(BusLogOptions opts);
  GroupLayout make_layout(FrameType type) const;
  uint32_t group_key(FrameType type, uint8_t bus_channel) const;
  Group& group_for(const BusFrame& frame);
  std::vector<uint8_t>& records_for(Group& group);
  void add(const BusFrame& frame);

  std::vector<uint8_t> finish();
  uint64_t text(const std::string& s);
  uint64_t conversion(const std::string& channel);
  uint64_t source(FrameType type);
  uint64_t attachment();
  void write_file_blocks();
  void write_group(Group& group, uint64_t dg, uint64_t& chain_tail);
  uint64_t write_channels(FrameType type, uint64_t vlsd_cg, GroupBlocks& out);
  void write_unsupported();
  // The data block (or list of them) that holds data, laid out as
  // options.other says; kind is "DT" or "SD".
  uint64_t write_stored(const std::vector<uint8_t>& data, const char* kind);
  std::vector<uint8_t> zipped(const std::vector<uint8_t>& data, const char* kind) const;
  std::string shown_name(const std::string& name) const;
  void write_data();
};

BusLogWriter::State::State(BusLogOptions opts) : options(std::move(opts)) {
  if (options.record_id_size == 0) options.record_id_size = 1;
  options.fixed_data_bytes = std::clamp<uint32_t>(options.fixed_data_bytes, 1, kMaxPayload);
  for (int t = 0; t < kFrameTypeCount; ++t) {
    layouts[t] = make_layout(static_cast<FrameType>(t));
  }
}

GroupLayout BusLogWriter::State::make_layout(FrameType type) const {
  GroupLayout g;
  const bool variable_storage = options.can_data_bytes != DataBytesStorage::fixed;
  const std::string prefix = std::string(group_name(type)) + ".";
  for (const FieldDef& def : field_defs(type)) {
    const std::string_view name = def.name;
    if (options.other.mandatory_only &&
        (name == "Dir" || name == "EDL" || name == "BRS" || name == "ESI")) {
      continue;
    }
    Field f{prefix + def.name, def.src, def.byte, def.bit, def.bits, kCnFixed, kUintLe, 0};
    if (def.src == Src::bytes) {
      g.variable = variable_storage && (type == FrameType::can_data || options.lin_variable_data);
      g.bytes_offset = def.byte;
      g.bytes_width = g.variable               ? 8
                      : type == FrameType::lin ? kLinPayload
                                               : options.fixed_data_bytes;
      f.bits = g.bytes_width * 8;
      f.data_type = kByteArray;
      if (g.variable) f.cn_type = kCnVlsd;
    }
    g.members_end = std::max(g.members_end, f.byte + (f.bit + f.bits + 7) / 8);
    g.fields.push_back(std::move(f));
  }
  g.member_count = g.fields.size();
  uint32_t end = g.members_end;
  for (const ExtraChannel& extra : options.extra_channels) {
    if (extra.group != type) continue;
    g.fields.push_back({extra.name, Src::extra, end++, 0, 8, kCnFixed, kUintLe, extra.value});
  }
  g.data_bytes = end;
  g.record_size = end + options.inval_bytes;
  const bool vlsd_group = g.variable && options.can_data_bytes == DataBytesStorage::vlsd;
  g.id_size = options.layout == Layout::unsorted || vlsd_group ? options.record_id_size : 0;
  return g;
}

uint32_t BusLogWriter::State::group_key(FrameType type, uint8_t bus_channel) const {
  const bool split = options.group_per_bus_channel && options.layout == Layout::sorted;
  return static_cast<uint32_t>(type) << 8 | (split ? bus_channel : 0);
}

BusLogWriter::State::Group& BusLogWriter::State::group_for(const BusFrame& frame) {
  const uint32_t key = group_key(frame.type, frame.bus_channel);
  auto it = groups.find(key);
  if (it == groups.end()) {
    it = groups.emplace(key, Group{}).first;
    it->second.type = frame.type;
    it->second.bus_channel = static_cast<uint8_t>(key & 0xFF);
  }
  return it->second;
}

std::vector<uint8_t>& BusLogWriter::State::records_for(Group& group) {
  return options.layout == Layout::sorted ? group.records : unsorted_records;
}

void BusLogWriter::State::add(const BusFrame& frame) {
  Group& group = group_for(frame);
  const GroupLayout& g = layouts[static_cast<int>(frame.type)];
  std::vector<uint8_t>& out = records_for(group);
  const size_t at = out.size();
  out.resize(at + g.id_size + g.record_size);
  put_le(&out[at], record_id_of(frame.type), g.id_size);
  uint8_t* rec = &out[at + g.id_size];

  if (options.timestamp == TimestampEncoding::ticks) {
    const double ticks = std::max(0.0, std::round(frame.time / options.tick_seconds));
    put_le(rec, static_cast<uint64_t>(ticks), kTimestampBytes);
  } else {
    std::memcpy(rec, &frame.time, kTimestampBytes);
  }
  for (const Field& f : g.fields) {
    if (f.src != Src::bytes) {
      put_bits(rec, f.byte, f.bit, f.bits, field_value(frame, f));
    } else if (!g.variable) {
      std::memcpy(rec + f.byte, frame.data.data(), g.bytes_width);
    }
  }
  ++group.count;
  if (!g.variable) return;

  const uint32_t n = std::min<uint32_t>(frame.data_length, kMaxPayload);
  if (options.can_data_bytes == DataBytesStorage::sd) {
    put_le(rec + g.bytes_offset, group.sd.size(), 8);
    append_le(group.sd, n, 4);
    group.sd.insert(group.sd.end(), frame.data.begin(), frame.data.begin() + n);
    return;
  }
  // The VLSD record follows its fixed record (or precedes it, as other
  // writers may have it); the channel's value is where the entry starts in
  // the group's VLSD data.
  put_le(rec + g.bytes_offset, group.vlsd_bytes, 8);
  std::vector<uint8_t> entry;
  append_le(entry, vlsd_record_id_of(frame.type), g.id_size);
  append_le(entry, n, 4);
  entry.insert(entry.end(), frame.data.begin(), frame.data.begin() + n);
  out.insert(options.other.vlsd_before ? out.begin() + static_cast<ptrdiff_t>(at) : out.end(),
             entry.begin(), entry.end());
  group.vlsd_bytes += 4 + n;
  ++group.vlsd_count;
}

uint64_t BusLogWriter::State::text(const std::string& s) {
  auto it = texts.find(s);
  if (it != texts.end()) return it->second;
  const uint64_t at = b.add_text(s);
  texts.emplace(s, at);
  return at;
}

uint64_t BusLogWriter::State::conversion(const std::string& channel) {
  auto it = conversions.find(channel);
  if (it != conversions.end()) return it->second;
  ConversionSpec spec;
  auto given = options.conversions.find(channel);
  if (given != options.conversions.end()) {
    spec = given->second;
  } else if (channel == "Timestamp" && options.unsupported.conversion_with_refs) {
    spec = {7, {0.0}, {"zero", "other"}};
  } else if (channel == "Timestamp" && options.timestamp == TimestampEncoding::ticks) {
    spec = {1, {0.0, options.tick_seconds}, {}};
  } else {
    return 0;
  }
  std::vector<uint64_t> links = {0, 0, 0, 0};
  for (const std::string& t : spec.ref_texts) links.push_back(text(t));
  Fields data;
  data.u8(spec.type)
      .u8(0)
      .u16(0)
      .u16(static_cast<uint16_t>(spec.ref_texts.size()))
      .u16(static_cast<uint16_t>(spec.values.size()))
      .f64(0.0)
      .f64(0.0);
  for (double v : spec.values) data.f64(v);
  const uint64_t at = b.add_block("CC", links, data);
  conversions.emplace(channel, at);
  return at;
}

uint64_t BusLogWriter::State::source(FrameType type) {
  if (!options.with_source) return 0;
  const bool can = is_can(type);
  uint64_t& at = sources[can ? 0 : 1];
  if (at != 0) return at;
  const uint64_t name = text(can ? "CAN" : "LIN");
  const uint64_t path = text(can ? "Logger.CAN" : "Logger.LIN");
  Fields data;
  data.u8(options.bus_source ? 2 : 0).u8(can ? 2 : 3).u8(0).zeros(5);
  at = b.add_block("SI", {name, path, 0}, data);
  return at;
}

void BusLogWriter::State::write_file_blocks() {
  IdFields id;
  if (options.unfinalised) {
    id.file_id = "UnFinMF ";
    id.unfin_flags = options.unfin_flags;
  }
  b.write_id(id);
  Fields hd;
  hd.u64(options.start_time_ns)
      .i16(options.tz_offset_min)
      .i16(options.dst_offset_min)
      .u8(2)  // time offsets valid
      .u8(0)
      .u8(0)
      .zeros(1)
      .f64(0.0)
      .f64(0.0);
  map.hd = b.add_block("HD", {0, 0, 0, 0, 0, 0}, hd);
  b.set_link(map.hd, 5, b.add_metadata("<HDcomment><TX>" + options.comment + "</TX></HDcomment>"));
  const uint64_t fh_comment = b.add_metadata(
      "<FHcomment><TX>created</TX><tool_id>mklog</tool_id><tool_vendor>quarrow</tool_vendor>"
      "<tool_version>1</tool_version></FHcomment>");
  Fields fh;
  fh.u64(options.start_time_ns)
      .i16(options.tz_offset_min)
      .i16(options.dst_offset_min)
      .u8(2)
      .zeros(3);
  map.fh = b.add_block("FH", {0, fh_comment}, fh);
  b.set_link(map.hd, 1, map.fh);
}

uint64_t BusLogWriter::State::attachment() {
  if (attached != 0) return attached;
  const std::string payload = "attached";
  Fields at;
  at.u16(1).u16(0).zeros(4).zeros(16).u64(payload.size()).u64(payload.size());
  at.raw({reinterpret_cast<const uint8_t*>(payload.data()), payload.size()});
  attached = b.add_block("AT", {0, text("notes.txt"), text("text/plain"), 0}, at);
  return attached;
}

uint64_t BusLogWriter::State::write_channels(FrameType type, uint64_t vlsd_cg, GroupBlocks& out) {
  const GroupLayout& g = layouts[static_cast<int>(type)];
  struct Spec {
    std::string name;
    uint8_t cn_type, sync_type, data_type, bit_offset;
    uint32_t byte_offset, bit_count;
    uint64_t composition, data;
  };
  const bool ticks = options.timestamp == TimestampEncoding::ticks;
  std::vector<Spec> top = {
      {"Timestamp", kCnMaster, kSyncTime, ticks ? kUintLe : kFloatLe, 0, 0, 64, 0, 0}};
  std::vector<Spec> members;
  for (size_t i = 0; i < g.fields.size(); ++i) {
    const Field& f = g.fields[i];
    Spec s{f.name, f.cn_type, 0, f.data_type, f.bit, f.byte, f.bits, 0, 0};
    if (f.src == Src::bytes && g.variable && vlsd_cg != 0) s.data = vlsd_cg;
    (i < g.member_count && options.composed ? members : top).push_back(s);
  }

  const Unsupported& u = options.unsupported;
  constexpr uint32_t kCnDefaultX = 1u << 12;
  // Chains are written last block first, so every next-link is known.
  auto write_chain = [&](const std::vector<Spec>& chain) {
    uint64_t next = 0;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      const uint64_t unit = it->name == "Timestamp" ? text("s") : 0;
      std::vector<uint64_t> links = {next,
                                     it->composition,
                                     text(shown_name(it->name)),
                                     0,
                                     conversion(it->name),
                                     it->data,
                                     unit,
                                     0};
      if (u.channel_attachments) links.push_back(attachment());
      if (u.default_x) links.insert(links.end(), {out.dg, out.cg, next});
      Fields data;
      data.u8(it->cn_type)
          .u8(it->sync_type)
          .u8(it->data_type)
          .u8(it->bit_offset)
          .u32(it->byte_offset)
          .u32(it->bit_count)
          .u32(u.default_x ? kCnDefaultX : 0)
          .u32(0)
          .u8(0)
          .zeros(1)
          .u16(u.channel_attachments ? 1 : 0)
          .zeros(6 * 8);
      next = b.add_block("CN", links, data);
      out.channels[it->name] = next;
    }
    return next;
  };

  if (options.other.channel_array && type == FrameType::can_data) {
    Fields ca;
    ca.u8(0).u8(0).u16(1).u32(0).u32(0).u32(0).u64(1);
    const uint64_t array = b.add_block("CA", {0}, ca);
    top.push_back({"CAN_DataFrame.Samples", kCnFixed, 0, kUintLe, 0, kTimestampBytes, 8, array, 0});
  }
  if (!members.empty()) {
    const uint64_t first_member = write_chain(members);
    Spec parent{group_name(type),
                kCnFixed,
                0,
                kByteArray,
                0,
                kTimestampBytes,
                (g.members_end - kTimestampBytes) * 8,
                first_member,
                0};
    // The composed channel sits right behind the master.
    top.insert(top.begin() + 1, parent);
  }
  return write_chain(top);
}

void BusLogWriter::State::write_group(Group& group, uint64_t dg, uint64_t& chain_tail) {
  const FrameType type = group.type;
  const GroupLayout& g = layouts[static_cast<int>(type)];
  const uint64_t cycle_count = options.unfinalised && (options.unfin_flags & 1) ? 0 : group.count;
  GroupBlocks out;
  out.type = type;
  out.bus_channel = group.bus_channel;
  out.dg = dg;
  out.record_bytes = g.data_bytes;
  out.cycle_count = cycle_count;

  Fields cg;
  cg.u64(record_id_of(type))
      .u64(cycle_count)
      .u16(kCgBusEvent)
      .u16('.')
      .zeros(4)
      .u32(g.data_bytes)
      .u32(options.inval_bytes);
  out.cg = b.add_block("CG", {0, 0, text(group_name(type)), source(type), 0, 0}, cg);
  if (g.variable && options.can_data_bytes == DataBytesStorage::vlsd) {
    // A VLSD group states its total data size across the two u32 fields.
    Fields vlsd;
    vlsd.u64(vlsd_record_id_of(type))
        .u64(group.vlsd_count)
        .u16(kCgVlsd)
        .u16(0)
        .zeros(4)
        .u32(static_cast<uint32_t>(group.vlsd_bytes))
        .u32(static_cast<uint32_t>(group.vlsd_bytes >> 32));
    out.vlsd_cg = b.add_block("CG", {0, 0, 0, 0, 0, 0}, vlsd);
    b.set_link(out.cg, 0, out.vlsd_cg);
  }
  b.set_link(out.cg, 1, write_channels(type, out.vlsd_cg, out));
  b.set_link(out.cg, 5,
             b.add_metadata(std::string("<CGcomment><TX>") + group_name(type) +
                            " events</TX></CGcomment>"));

  if (chain_tail == 0) {
    b.set_link(dg, 1, out.cg);
  } else {
    b.set_link(chain_tail, 0, out.cg);
  }
  chain_tail = out.vlsd_cg != 0 ? out.vlsd_cg : out.cg;
  map.groups.push_back(std::move(out));
  written.push_back(&group);
}

std::string BusLogWriter::State::shown_name(const std::string& name) const {
  const OtherWriterLayout& o = options.other;
  if (name == "Timestamp") return o.master_name;
  if (o.bus_prefix.empty() || name.size() < 4 || name[3] != '_') return name;
  return name.substr(0, 3) + o.bus_prefix + name.substr(3);
}

uint64_t BusLogWriter::State::write_stored(const std::vector<uint8_t>& data, const char* kind) {
  const OtherWriterLayout& o = options.other;
  if (o.piece_bytes == 0 && o.zip == 0 && !o.header_list) return b.add_block(kind, {}, data);
  const uint64_t piece = o.piece_bytes > 0 ? o.piece_bytes : std::max<uint64_t>(data.size(), 1);
  std::vector<uint64_t> pieces, offsets;
  for (uint64_t at = 0; at < data.size() || pieces.empty(); at += piece) {
    const uint64_t n = std::min<uint64_t>(piece, data.size() - at);
    std::vector<uint8_t> part(data.begin() + at, data.begin() + at + n);
    offsets.push_back(at);
    pieces.push_back(o.zip ? b.add_block("DZ", {}, zipped(part, kind))
                           : b.add_block(kind, {}, part));
  }
  // The chain is written last list first, so every next-link is known.
  const size_t per_list = o.pieces_per_list > 0 ? o.pieces_per_list : pieces.size();
  uint64_t next = 0;
  for (size_t end = pieces.size(); end > 0;) {
    const size_t first = (end - 1) / per_list * per_list;
    std::vector<uint64_t> links = {next};
    Fields dl;
    dl.u8(o.offset_form ? 0 : 1).zeros(3).u32(static_cast<uint32_t>(end - first));
    if (!o.offset_form) dl.u64(piece);
    for (size_t i = first; i < end; ++i) {
      links.push_back(pieces[i]);
      if (o.offset_form) dl.u64(offsets[i]);
    }
    next = b.add_block("DL", links, dl);
    end = first;
  }
  if (!o.header_list) return next;
  Fields hl;
  hl.u16(o.offset_form ? 0 : 1).u8(o.zip == 2 ? 1 : 0).zeros(5);
  return b.add_block("HL", {next}, hl);
}

std::vector<uint8_t> BusLogWriter::State::zipped(const std::vector<uint8_t>& data,
                                                 const char* kind) const {
  const OtherWriterLayout& o = options.other;
  std::vector<uint8_t> plain = data;
  const uint64_t columns = o.zip_columns;
  const uint64_t rows = columns > 0 ? data.size() / columns : 0;
  if (o.zip == 2) {
    for (uint64_t r = 0; r < rows; ++r)
      for (uint64_t c = 0; c < columns; ++c) plain[c * rows + r] = data[r * columns + c];
  }
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  std::vector<uint8_t> packed(size);
  compress2(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9);
  packed.resize(size);
  Fields dz;
  dz.raw({reinterpret_cast<const uint8_t*>(kind), 2})
      .u8(o.zip == 2 ? 1 : 0)
      .u8(0)
      .u32(o.zip == 2 ? o.zip_columns : 0)
      .u64(data.size())
      .u64(packed.size())
      .raw(packed);
  return dz.bytes();
}

void BusLogWriter::State::write_unsupported() {
  const Unsupported& u = options.unsupported;
  if (u.attachment || u.channel_attachments) b.set_link(map.hd, 3, attachment());
  if (u.event) {
    Fields ev;
    ev.u8(0).u8(1).u8(0).u8(0).u8(0).zeros(3).u32(0).u16(0).u16(0).i64(0).f64(1.0);
    b.set_link(map.hd, 4, b.add_block("EV", {0, 0, 0, text("start"), 0}, ev));
  }
  if (u.channel_hierarchy && !map.groups.empty()) {
    const GroupBlocks& first = map.groups.front();
    Fields ch;
    ch.u32(1).u8(0).zeros(3);
    b.set_link(
        map.hd, 2,
        b.add_block("CH",
                    {0, 0, text("Frames"), 0, first.dg, first.cg, first.channels.at("Timestamp")},
                    ch));
  }
  if (u.sample_reduction && !map.groups.empty()) {
    Fields sr;
    sr.u64(0).f64(1.0).u8(1).u8(0).zeros(6);
    b.set_link(map.groups.front().cg, 4, b.add_block("SR", {0, 0}, sr));
  }
}

void BusLogWriter::State::write_data() {
  for (size_t i = 0; i < map.groups.size(); ++i) {
    GroupBlocks& g = map.groups[i];
    if (!layouts[static_cast<int>(g.type)].variable ||
        options.can_data_bytes != DataBytesStorage::sd) {
      continue;
    }
    g.sd = write_stored(written[i]->sd, "SD");
    b.set_link(g.channels.at(std::string(group_name(g.type)) + ".DataBytes"), 5, g.sd);
  }
  // The channel groups of one data group stand together in map.groups.
  uint64_t last_dt = 0;
  for (size_t i = 0; i < map.groups.size(); ++i) {
    GroupBlocks& g = map.groups[i];
    if (i == 0 || g.dg != map.groups[i - 1].dg) {
      std::vector<uint8_t>& recs = records_for(*written[i]);
      uint64_t list = 0;
      if (options.unsupported.data_list) {
        Fields dl;
        dl.u8(1).zeros(3).u32(1).u64(recs.size());
        list = b.add_block("DL", {0, 0}, dl);
      }
      last_dt = list == 0 ? write_stored(recs, "DT") : b.add_block("DT", {}, recs);
      std::vector<uint8_t>().swap(recs);
      if (list != 0) b.set_link(list, 1, last_dt);
      b.set_link(g.dg, 2, list != 0 ? list : last_dt);
    }
    g.dt = last_dt;
  }
  if (options.unfinalised && last_dt != 0) b.set_length(last_dt, options.unfinalised_dt_length);
}

std::vector<uint8_t> BusLogWriter::State::finish() {
  if (options.include_empty_groups) {
    for (int t = 0; t < kFrameTypeCount; ++t) {
      const uint32_t first = group_key(static_cast<FrameType>(t), 0);
      auto it = groups.lower_bound(first);
      if (it == groups.end() || it->first >= first + 0x100) {
        groups.emplace(first, Group{}).first->second.type = static_cast<FrameType>(t);
      }
    }
  }
  uint64_t data_size = unsorted_records.size() + 64;
  for (const auto& [key, group] : groups) data_size += group.records.size() + group.sd.size() + 128;
  b.reserve(data_size + 64 * 1024);

  write_file_blocks();
  uint64_t dg_tail = 0;
  uint64_t cg_tail = 0;
  for (auto& [key, group] : groups) {
    if (options.layout == Layout::sorted || dg_tail == 0) {
      Fields dg;
      dg.u8(layouts[static_cast<int>(group.type)].id_size).zeros(7);
      const uint64_t at = b.add_block("DG", {0, 0, 0, 0}, dg);
      b.set_link(dg_tail == 0 ? map.hd : dg_tail, 0, at);
      dg_tail = at;
      cg_tail = 0;
      map.data_groups.push_back(at);
    }
    write_group(group, dg_tail, cg_tail);
  }
  write_unsupported();
  write_data();
  return b.release();
}

BusLogWriter::BusLogWriter(BusLogOptions options)
    : state_(std::make_unique<State>(std::move(options))) {}

BusLogWriter::~BusLogWriter() = default;

void BusLogWriter::add(const BusFrame& frame) {
  state_->add(frame);
}

std::vector<uint8_t> BusLogWriter::finish() {
  return state_->finish();
}

const BusLogMap& BusLogWriter::map() const {
  return state_->map;
}

std::vector<uint8_t> write_bus_log(const std::vector<BusFrame>& frames,
                                   const BusLogOptions& options, BusLogMap* map) {
  BusLogWriter writer(options);
  for (const BusFrame& f : frames) writer.add(f);
  std::vector<uint8_t> bytes = writer.finish();
  if (map != nullptr) *map = writer.map();
  return bytes;
}

// --- The generator --------------------------------------------------------

FrameGenerator::FrameGenerator(GeneratorOptions options)
    : options_(std::move(options)), rng_(options_.seed) {
  const FrameMix& m = options_.mix;
  mix_total_ = m.can + m.fd + m.remote + m.error + m.lin + m.lin_error;
  if (options_.fd_sizes.empty()) options_.fd_sizes = {64};
  if (options_.mean_gap_us == 0) options_.mean_gap_us = 1;
  if (options_.can_channels == 0) options_.can_channels = 1;
  if (options_.lin_channels == 0) options_.lin_channels = 1;
}

double FrameGenerator::stamp() {
  const uint64_t gap_us = below(2 * options_.mean_gap_us) + 1;
  now_ns_ += gap_us * 1000;
  uint64_t t = now_ns_;
  if (options_.out_of_order_percent > 0 && below(100) < options_.out_of_order_percent) {
    const uint64_t back = (below(5 * options_.mean_gap_us) + 1) * 1000;
    t = back < t ? t - back : 0;
  }
  if (options_.whole_microseconds) return static_cast<double>(t / 1000) / 1e6;
  return static_cast<double>(t + below(1000)) / 1e9;
}

void FrameGenerator::fill_can(BusFrame& f, uint32_t length) {
  f.ide = below(5) == 0;
  f.id = f.ide ? below(0x20000000) : below(0x800);
  f.bus_channel = static_cast<uint8_t>(1 + below(options_.can_channels));
  f.data_length = static_cast<uint8_t>(length);
  f.dlc = can_dlc_for_length(length);
  f.dir = below(10) == 0;
}

void FrameGenerator::fill_message(BusFrame& f) {
  const DbcMessageShape& m =
      options_.can_messages[below(static_cast<uint32_t>(options_.can_messages.size()))];
  fill_can(f, m.size);
  f.data.fill(0);
  f.ide = (m.id >> 31) != 0;
  f.id = m.id & 0x1FFFFFFF;
  if (m.j1939) f.id = (f.id & 0x03FFFF00) | below(8) << 26 | below(256);
  if (below(10) == 0) {
    // Shorter than declared: the signals beyond its data give no rows.
    uint32_t length = below(m.size);
    if (length > 8) length = length < 12 ? 8 : length / 4 * 4;
    f.data_length = static_cast<uint8_t>(length);
    f.dlc = can_dlc_for_length(length);
  }
  f.edl = f.data_length > 8;
  f.brs = f.edl && below(2) == 0;
  for (uint32_t i = 0; i < f.data_length; ++i) f.data[i] = static_cast<uint8_t>(rng_());
}

void FrameGenerator::next(BusFrame& f) {
  f = BusFrame{};
  f.time = stamp();
  const FrameMix& m = options_.mix;
  uint32_t r = mix_total_ == 0 ? 0 : below(mix_total_);
  auto take = [&r](uint32_t share) {
    if (r < share) return true;
    r -= share;
    return false;
  };
  if (mix_total_ == 0 || take(m.can)) {
    f.type = FrameType::can_data;
    fill_can(f, below(9));
    for (uint32_t i = 0; i < f.data_length; ++i) f.data[i] = static_cast<uint8_t>(rng_());
  } else if (take(m.fd)) {
    f.type = FrameType::can_data;
    fill_can(f, options_.fd_sizes[below(static_cast<uint32_t>(options_.fd_sizes.size()))]);
    f.edl = true;
    f.brs = below(2) == 0;
    f.esi = below(50) == 0;
    for (uint32_t i = 0; i < f.data_length && i < f.data.size(); ++i) {
      f.data[i] = static_cast<uint8_t>(rng_());
    }
  } else if (take(m.remote)) {
    f.type = FrameType::can_remote;
    fill_can(f, below(9));
  } else if (take(m.error)) {
    f.type = FrameType::can_error;
    f.bus_channel = static_cast<uint8_t>(1 + below(options_.can_channels));
    f.error_type = static_cast<uint8_t>(1 + below(5));
  } else if (take(m.lin)) {
    f.type = FrameType::lin;
    f.id = below(64);
    f.bus_channel = static_cast<uint8_t>(1 + below(options_.lin_channels));
    f.data_length = static_cast<uint8_t>(1 + below(kLinPayload));
    f.received_count = f.data_length;
    f.dir = below(2) == 0;
    for (uint32_t i = 0; i < f.data_length; ++i) f.data[i] = static_cast<uint8_t>(rng_());
  } else {
    f.type = static_cast<FrameType>(static_cast<int>(FrameType::lin_checksum_error) + below(4));
    f.id = below(64);
    f.bus_channel = static_cast<uint8_t>(1 + below(options_.lin_channels));
    f.checksum = static_cast<uint8_t>(rng_());
    f.dir = below(2) == 0;
  }
  // Frames of the messages replace the classic and CAN FD data frames.
  if (f.type == FrameType::can_data && !options_.can_messages.empty()) fill_message(f);
}

std::vector<BusFrame> generate_frames(size_t count, const GeneratorOptions& options) {
  FrameGenerator gen(options);
  std::vector<BusFrame> frames(count);
  for (BusFrame& f : frames) gen.next(f);
  return frames;
}

uint64_t start_time_for_seed(uint64_t seed) {
  constexpr uint64_t kRecentMidnight = 1'796'515'200;
  return (kRecentMidnight + splitmix(seed) % 86400) * 1'000'000'000ull;
}

}  // namespace quarrow::mdfw
