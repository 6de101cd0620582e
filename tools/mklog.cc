// mklog: writes sample MDF 4 bus logs from a seeded random frame generator,
// optionally wrapped in compressed and encrypted containers.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mdfwriter/bus_log_writer.h"
#include "mdfwriter/container_writer.h"

namespace {

using namespace quarrow::mdfw;

constexpr const char* kUsage = R"(Usage: mklog [options] OUTPUT

Writes an MDF 4 bus log with random CAN, CAN FD and LIN traffic to OUTPUT.
The same options and seed always give the same file.

Traffic:
  -n, --frames N          number of frames (default 1000)
  --seed N                generator seed (default 1)
  --mix LIST              weights of the frame kinds, e.g.
                          can=70,fd=10,remote=5,error=5,lin=10,linerr=0
                          (these are the defaults; kinds not named keep theirs)
  --fd-sizes LIST         CAN FD payload sizes to pick from
                          (default 12,16,20,24,32,48,64)
  --gap-us N              mean time between frames in microseconds (default 1000)
  --out-of-order PCT      percentage of frames stamped before their
                          predecessor (default 2)
  --sub-microsecond       timestamps with nanosecond parts (default: whole
                          microseconds)
  --can-channels N        CAN bus channels used (default 2)
  --lin-channels N        LIN bus channels used (default 1)
  --start-time SECONDS    recording start, seconds since 1970, up to nine
                          decimals (default: a recent date chosen by the seed)

  --dbc-traffic FILE      write a DBC file describing --dbc-messages messages
                          to FILE; every CAN and CAN FD data frame is one of
                          them (J1939 ones with any priority and source)
  --dbc-messages N        messages of --dbc-traffic (default 100)

Layout:
  --layout sorted|unsorted  one channel group per data group, or all groups
                          in one data group with record ids (default sorted)
  --group-per-bus         one data group per frame kind and bus channel, in
                          bus channel order (sorted layout only; default:
                          one per frame kind)
  --record-id-size N      record id bytes: 1, 2, 4 or 8 (default 1)
  --data-bytes fixed|sd|vlsd  CAN payload in the record, in an SD block, or
                          in a VLSD channel group (default fixed)
  --fixed-data-bytes N    width of the fixed CAN payload field, 1..64 (default 64)
  --lin-variable-data     store LIN payloads like CAN payloads
  --flat                  field channels without a composed parent channel
  --timestamp float|ticks float64 seconds, or u64 microsecond ticks with a
                          linear conversion (default float)
  --non-bus-source        acquisition sources of type "other" instead of "bus"
  --empty-groups          write channel groups for all frame kinds
  --unfinalised           "UnFinMF " file whose last data block has a stale
                          length

Layouts of other MDF 4 writers (read by quarrow --other-writers):
  --pieces N              records and SD data in ##DL lists of N-byte pieces
  --pieces-per-list N     a chain of lists with N pieces each
  --offset-form           the lists state each piece's offset
  --zip deflate|transposed  pieces as compressed ##DZ blocks
  --zip-columns N         bytes per row of the transposition (default 16)
  --header-list           an ##HL in front of each list
  --master-name NAME      name of the master channel (default Timestamp)
  --bus-prefix TEXT       channels named CAN<TEXT>_DataFrame.ID, ...
  --vlsd-before           each VLSD record before the fixed record pointing to it
  --mandatory-only        no Dir, EDL, BRS and ESI channels
  --channel-array         a channel array in the CAN data frame groups
  --channel-attachments   every channel references an attachment (##AT)
  --default-x             every channel names a default X channel

Containers (applied in command-line order, so they nest either way):
  --compress W,L          compressed container, window 2^W, lookahead 2^L
  --crc                   add the CRC-32 footer to every compressed container
  --encrypt PASSWORD      encrypted container (AES-256-GCM, PBKDF2 key)
  --device-id HEX         device id in every container header (default 0)
  --iterations N          PBKDF2 iterations of every encryption (default 1000)

  -h, --help              show this text
)";

struct WrapStep {
  enum Kind { compress, encrypt } kind;
  int window = 0;
  int lookahead = 0;
  std::string password;
};

struct Config {
  std::string output;
  uint64_t frames = 1000;
  GeneratorOptions gen;
  BusLogOptions log;
  bool start_given = false;
  std::vector<WrapStep> steps;
  bool crc = false;
  uint32_t device_id = 0;
  uint32_t iterations = 1000;
  std::string dbc_output;
  uint32_t dbc_messages = 100;
};

bool parse_u64(std::string_view text, uint64_t& out, int base = 10) {
  if (text.empty()) return false;
  std::string s(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || s[0] == '-') return false;
  out = v;
  return true;
}

template <typename T>
bool parse_number(std::string_view text, T& out, uint64_t max) {
  uint64_t v = 0;
  if (!parse_u64(text, v) || v > max) return false;
  out = static_cast<T>(v);
  return true;
}

// Seconds with up to nine decimals, exactly, as nanoseconds.
bool parse_seconds_ns(std::string_view text, uint64_t& out) {
  const size_t dot = text.find('.');
  uint64_t whole = 0;
  if (!parse_u64(text.substr(0, dot), whole) || whole > 18'000'000'000) return false;
  uint64_t frac = 0;
  if (dot != std::string_view::npos) {
    std::string digits(text.substr(dot + 1));
    if (digits.empty() || digits.size() > 9 || !parse_u64(digits, frac)) return false;
    for (size_t i = digits.size(); i < 9; ++i) frac *= 10;
  }
  out = whole * 1'000'000'000 + frac;
  return true;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

bool parse_mix(std::string_view text, FrameMix& mix) {
  for (std::string_view item : split(text, ',')) {
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view name = item.substr(0, eq);
    uint32_t* slot = name == "can"      ? &mix.can
                     : name == "fd"     ? &mix.fd
                     : name == "remote" ? &mix.remote
                     : name == "error"  ? &mix.error
                     : name == "lin"    ? &mix.lin
                     : name == "linerr" ? &mix.lin_error
                                        : nullptr;
    if (slot == nullptr || !parse_number(item.substr(eq + 1), *slot, 1'000'000)) return false;
  }
  return true;
}

bool parse_sizes(std::string_view text, std::vector<uint8_t>& sizes) {
  sizes.clear();
  for (std::string_view item : split(text, ',')) {
    uint8_t v = 0;
    if (!parse_number(item, v, 64) || v == 0) return false;
    sizes.push_back(v);
  }
  return true;
}

bool parse_compress(std::string_view text, WrapStep& step) {
  const std::vector<std::string_view> parts = split(text, ',');
  return parts.size() == 2 && parse_number(parts[0], step.window, 15) &&
         parse_number(parts[1], step.lookahead, 15) && step.window >= 4 && step.lookahead >= 3 &&
         step.lookahead < step.window;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "mklog: %s\nTry 'mklog --help'.\n", message.c_str());
  return 2;
}

// Returns -1 when the configuration is complete, otherwise the exit status.
int parse_args(int argc, char** argv, Config& cfg) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    // Flags without a value.
    if (arg == "--sub-microsecond") {
      cfg.gen.whole_microseconds = false;
    } else if (arg == "--lin-variable-data") {
      cfg.log.lin_variable_data = true;
    } else if (arg == "--flat") {
      cfg.log.composed = false;
    } else if (arg == "--non-bus-source") {
      cfg.log.bus_source = false;
    } else if (arg == "--group-per-bus") {
      cfg.log.group_per_bus_channel = true;
    } else if (arg == "--empty-groups") {
      cfg.log.include_empty_groups = true;
    } else if (arg == "--unfinalised") {
      cfg.log.unfinalised = true;
    } else if (arg == "--crc") {
      cfg.crc = true;
    } else if (arg == "--offset-form") {
      cfg.log.other.offset_form = true;
    } else if (arg == "--header-list") {
      cfg.log.other.header_list = true;
    } else if (arg == "--vlsd-before") {
      cfg.log.other.vlsd_before = true;
    } else if (arg == "--mandatory-only") {
      cfg.log.other.mandatory_only = true;
    } else if (arg == "--channel-array") {
      cfg.log.other.channel_array = true;
    } else if (arg == "--channel-attachments") {
      cfg.log.unsupported.channel_attachments = true;
    } else if (arg == "--default-x") {
      cfg.log.unsupported.default_x = true;
    } else if (!arg.starts_with("-")) {
      if (!cfg.output.empty()) return usage_error("more than one output path");
      cfg.output = arg;
    } else {
      if (i + 1 >= argc) return usage_error("option " + arg + " needs a value");
      const std::string_view value = argv[++i];
      bool ok = true;
      if (arg == "-n" || arg == "--frames") {
        ok = parse_u64(value, cfg.frames);
      } else if (arg == "--seed") {
        ok = parse_u64(value, cfg.gen.seed);
      } else if (arg == "--dbc-traffic") {
        cfg.dbc_output = value;
      } else if (arg == "--dbc-messages") {
        ok = parse_number(value, cfg.dbc_messages, 100'000) && cfg.dbc_messages > 0;
      } else if (arg == "--mix") {
        ok = parse_mix(value, cfg.gen.mix);
      } else if (arg == "--fd-sizes") {
        ok = parse_sizes(value, cfg.gen.fd_sizes);
      } else if (arg == "--gap-us") {
        ok = parse_number(value, cfg.gen.mean_gap_us, 1'000'000'000) && cfg.gen.mean_gap_us > 0;
      } else if (arg == "--out-of-order") {
        ok = parse_number(value, cfg.gen.out_of_order_percent, 100);
      } else if (arg == "--can-channels") {
        ok = parse_number(value, cfg.gen.can_channels, 255) && cfg.gen.can_channels > 0;
      } else if (arg == "--lin-channels") {
        ok = parse_number(value, cfg.gen.lin_channels, 255) && cfg.gen.lin_channels > 0;
      } else if (arg == "--start-time") {
        ok = parse_seconds_ns(value, cfg.log.start_time_ns);
        cfg.start_given = true;
      } else if (arg == "--layout") {
        ok = value == "sorted" || value == "unsorted";
        cfg.log.layout = value == "unsorted" ? Layout::unsorted : Layout::sorted;
      } else if (arg == "--record-id-size") {
        ok = value == "1" || value == "2" || value == "4" || value == "8";
        if (ok) cfg.log.record_id_size = static_cast<uint8_t>(value[0] - '0');
      } else if (arg == "--data-bytes") {
        ok = value == "fixed" || value == "sd" || value == "vlsd";
        cfg.log.can_data_bytes = value == "sd"     ? DataBytesStorage::sd
                                 : value == "vlsd" ? DataBytesStorage::vlsd
                                                   : DataBytesStorage::fixed;
      } else if (arg == "--fixed-data-bytes") {
        ok = parse_number(value, cfg.log.fixed_data_bytes, 64) && cfg.log.fixed_data_bytes > 0;
      } else if (arg == "--timestamp") {
        ok = value == "float" || value == "ticks";
        cfg.log.timestamp =
            value == "ticks" ? TimestampEncoding::ticks : TimestampEncoding::float64;
      } else if (arg == "--pieces") {
        ok = parse_u64(value, cfg.log.other.piece_bytes) && cfg.log.other.piece_bytes > 0;
      } else if (arg == "--pieces-per-list") {
        ok = parse_number(value, cfg.log.other.pieces_per_list, 1'000'000) &&
             cfg.log.other.pieces_per_list > 0;
      } else if (arg == "--zip") {
        ok = value == "deflate" || value == "transposed";
        cfg.log.other.zip = value == "transposed" ? 2 : 1;
      } else if (arg == "--zip-columns") {
        ok = parse_number(value, cfg.log.other.zip_columns, 1'000'000) &&
             cfg.log.other.zip_columns > 0;
      } else if (arg == "--master-name") {
        cfg.log.other.master_name = std::string(value);
      } else if (arg == "--bus-prefix") {
        cfg.log.other.bus_prefix = std::string(value);
      } else if (arg == "--compress") {
        WrapStep step{WrapStep::compress, 0, 0, {}};
        ok = parse_compress(value, step);
        cfg.steps.push_back(step);
      } else if (arg == "--encrypt") {
        cfg.steps.push_back({WrapStep::encrypt, 0, 0, std::string(value)});
      } else if (arg == "--device-id") {
        uint64_t id = 0;
        ok = parse_u64(value, id, 16) && id <= 0xFFFFFFFF;
        cfg.device_id = static_cast<uint32_t>(id);
      } else if (arg == "--iterations") {
        ok = parse_number(value, cfg.iterations, 0xFFFFFFFF) && cfg.iterations > 0;
      } else {
        return usage_error("unknown option " + arg);
      }
      if (!ok) return usage_error("invalid value '" + std::string(value) + "' for " + arg);
    }
  }
  if (cfg.output.empty()) return usage_error("no output path given");
  // The writer would ignore it; a user asking for both means a mistake.
  if (cfg.log.group_per_bus_channel && cfg.log.layout == Layout::unsorted) {
    return usage_error("--group-per-bus needs the sorted layout");
  }
  return -1;
}

// Salt and nonce come from the seed, so that the output stays reproducible.
EncryptOptions encrypt_options(const Config& cfg, const WrapStep& step, uint64_t step_index) {
  EncryptOptions opt;
  opt.password = step.password;
  opt.device_id = cfg.device_id;
  opt.iterations = cfg.iterations;
  std::mt19937_64 rng(cfg.gen.seed * 0x9E3779B97F4A7C15ull + step_index);
  for (uint8_t& b : opt.salt) b = static_cast<uint8_t>(rng());
  for (uint8_t& b : opt.nonce) b = static_cast<uint8_t>(rng());
  return opt;
}

std::vector<uint8_t> wrap(std::vector<uint8_t> bytes, const Config& cfg) {
  for (size_t i = 0; i < cfg.steps.size(); ++i) {
    const WrapStep& step = cfg.steps[i];
    if (step.kind == WrapStep::compress) {
      bytes = wrap_compressed(bytes, step.window, step.lookahead, cfg.crc, cfg.device_id);
    } else {
      bytes = wrap_encrypted(bytes, encrypt_options(cfg, step, i));
    }
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  const int status = parse_args(argc, argv, cfg);
  if (status >= 0) return status;
  if (!cfg.start_given) cfg.log.start_time_ns = start_time_for_seed(cfg.gen.seed);

  if (!cfg.dbc_output.empty()) {
    cfg.gen.can_messages = dbc_traffic_messages(cfg.dbc_messages, cfg.gen.seed);
    const std::string text = dbc_traffic_text(cfg.gen.can_messages);
    if (!write_file(cfg.dbc_output, std::vector<uint8_t>(text.begin(), text.end()))) {
      std::fprintf(stderr, "mklog: could not write %s: %s\n", cfg.dbc_output.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }
  FrameGenerator generator(cfg.gen);
  BusLogWriter writer(cfg.log);
  BusFrame frame;
  for (uint64_t i = 0; i < cfg.frames; ++i) {
    generator.next(frame);
    writer.add(frame);
  }
  const std::vector<uint8_t> bytes = wrap(writer.finish(), cfg);
  if (!write_file(cfg.output, bytes)) {
    std::fprintf(stderr, "mklog: could not write %s: %s\n", cfg.output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::printf("%s: %llu frames, %zu bytes\n", cfg.output.c_str(),
              static_cast<unsigned long long>(cfg.frames), bytes.size());
  return 0;
}
