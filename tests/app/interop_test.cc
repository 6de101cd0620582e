// Logs written by independent MDF 4 implementations must convert to the
// tables computed from the frames those implementations were given.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

struct InteropCase {
  std::string set;  // folder below the interop data, where the program runs
  std::string log;
  std::vector<std::string> dbcs = {};  // each given with --dbc
};

class InteropTest : public ::testing::TestWithParam<InteropCase> {};

// Every expected table of the log and nothing else, byte for byte.
TEST_P(InteropTest, ConvertsToTheExpectedTablesByteForByte) {
  const InteropCase& c = GetParam();
  const std::string data = QUARROW_TEST_DATA "/interop/" + c.set;
  const bool other_writers = c.set == "other-writers";
  TempDir tmp;
  write_file(tmp / ("in/" + c.log), read_file(data + "/logs/" + c.log));
  // A log of another writer is read twice: without the option it gives nothing.
  for (int run = other_writers ? 0 : 1; run < 2; ++run) {
    fs::remove_all(tmp / "out");
    fs::create_directories(tmp / "out");
    std::vector<std::string> args = {"-p", QUARROW_TEST_DATA "/interop/passwords.json", "-O",
                                     tmp / "out", tmp / ("in/" + c.log)};
    for (const std::string& dbc : c.dbcs) args.insert(args.end(), {"--dbc", dbc});
    if (run == 1 && other_writers) args.push_back("--other-writers");
    ProcessResult r = run_process(QUARROW_BINARY, args, data);
    if (run == 0) {
      EXPECT_TRUE(fs::is_empty(tmp / "out")) << r.err;
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> expected;
    for (const char* kind : {"_CAN.csv", "_CAN_signals.csv", "_LIN.csv"}) {
      const std::string table = c.log.substr(0, c.log.rfind('.')) + kind;
      if (!file_exists(data + "/expected/" + table)) continue;
      expected.push_back(table);
      EXPECT_EQ(read_file(tmp / ("out/" + table)), read_file(data + "/expected/" + table)) << table;
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(list_tree(tmp / "out"), expected);
  }
}

std::vector<InteropCase> logs_of(const std::string& set, const std::vector<std::string>& logs) {
  std::vector<InteropCase> cases;
  for (const std::string& log : logs) cases.push_back({set, log});
  return cases;
}

std::string case_name(const ::testing::TestParamInfo<InteropCase>& info) {
  std::string name = info.param.log;
  std::ranges::replace_if(
      name, [](unsigned char ch) { return !isalnum(ch); }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, InteropTest,
    ::testing::ValuesIn(logs_of(".", {"can_classic.mf4", "can_vlsd.mf4", "multi_group.mf4",
                                      "lin_only.mfm", "flat_uint_master.mf4",
                                      "classic_w8l4_crc.mfc", "classic_enc.mfe"})),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    OtherWriters, InteropTest,
    ::testing::ValuesIn(logs_of(
        "other-writers", {"dz_deflate.mf4", "dl_frag256.mf4", "hl_dl_dz_transposed.mf4",
                          "at_dbc.mf4", "lib_sd.mf4", "lib_vlsd_z.mf4", "lib_mlsd8_z.mf4",
                          "lib_lin_mand_z.mf4", "pycan_remote_frames.mf4", "pycan_dlc_edges.mf4"})),
    case_name);

// Signal tables computed by an independent decoder, with DBC files that
// carry the flaws the reader must take.
INSTANTIATE_TEST_SUITE_P(
    Signals, InteropTest,
    ::testing::Values(
        InteropCase{"signals", "mux_simple.mf4", {"dbc/mux_simple.dbc"}},
        InteropCase{"signals", "std_ext_ids.mf4", {"dbc/std_ext.dbc"}},
        InteropCase{"signals", "bus_restricted.mf4", {"2:dbc/bus2.dbc", "dbc/all.dbc"}},
        InteropCase{"signals/real-world", "vw_pq.mf4", {"dbc/vw_pq.dbc"}},
        InteropCase{"signals/real-world", "mazda_3_2019.mf4", {"dbc/mazda_3_2019.dbc"}},
        InteropCase{"signals/real-world", "FORD_CADS.mf4", {"dbc/FORD_CADS.dbc"}},
        InteropCase{
            "signals/real-world", "toyota_radar_dsu_tssp.mf4", {"dbc/toyota_radar_dsu_tssp.dbc"}}),
    case_name);

}  // namespace
}  // namespace quarrow::test
