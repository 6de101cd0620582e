// Logs written by independent MDF 4 implementations must convert to the
// tables computed from the frames those implementations were given.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

struct InteropCase {
  const char* set;  // folder below the interop data
  const char* log;
  std::vector<const char*> tables;
  // Run in the set's folder, so that relative paths name its files.
  std::vector<const char*> options = {};
};

class InteropTest : public ::testing::TestWithParam<InteropCase> {
 protected:
  // Converts the log alone into an empty output folder; the tables written.
  ProcessResult convert(const std::vector<std::string>& options) {
    const InteropCase& c = GetParam();
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_ / "in");
    fs::create_directories(tmp_ / "out");
    fs::copy_file(data_ + "/logs/" + c.log, tmp_ / ("in/" + std::string(c.log)));
    std::vector<std::string> args = options;
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"-O", tmp_ / "out", tmp_ / ("in/" + std::string(c.log))});
    return run_process(QUARROW_BINARY, args, data_);
  }

  // Every expected table and nothing else, byte for byte.
  bool tables_match(std::string* why) {
    const InteropCase& c = GetParam();
    size_t produced = 0;
    for (const auto& entry : fs::directory_iterator(tmp_ / "out")) {
      (void)entry;
      ++produced;
    }
    if (produced != c.tables.size()) *why = std::to_string(produced) + " tables written";
    for (const char* table : c.tables) {
      if (read_file(tmp_ / ("out/" + std::string(table))) !=
          read_file(data_ + "/expected/" + table))
        *why += std::string(" ") + table + " differs";
    }
    return why->empty();
  }

  const bool other_writers_ = std::string(GetParam().set) == "other-writers";
  const std::string data_ = std::string(QUARROW_TEST_DATA "/interop/") + GetParam().set;
  TempDir tmp_;
};

TEST_P(InteropTest, ConvertsToTheExpectedTablesByteForByte) {
  std::vector<std::string> options = {"-p", QUARROW_TEST_DATA "/interop/passwords.json"};
  if (other_writers_) options.push_back("--other-writers");
  ProcessResult r = convert(options);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string why;
  EXPECT_TRUE(tables_match(&why)) << why;
}

using OtherWritersTest = InteropTest;

// Without the option a log of another writer is rejected or gives no table.
TEST_P(OtherWritersTest, GivesNoTableWithoutTheOption) {
  ProcessResult r = convert({});
  EXPECT_TRUE(fs::is_empty(tmp_ / "out")) << r.err;
}

std::string case_name(const ::testing::TestParamInfo<InteropCase>& info) {
  std::string name = info.param.log;
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, InteropTest,
    ::testing::Values(InteropCase{".", "can_classic.mf4", {"can_classic_CAN.csv"}},
                      InteropCase{".", "can_vlsd.mf4", {"can_vlsd_CAN.csv"}},
                      InteropCase{
                          ".", "multi_group.mf4", {"multi_group_CAN.csv", "multi_group_LIN.csv"}},
                      InteropCase{".", "lin_only.mfm", {"lin_only_LIN.csv"}},
                      InteropCase{".", "flat_uint_master.mf4", {"flat_uint_master_CAN.csv"}},
                      InteropCase{".", "classic_w8l4_crc.mfc", {"classic_w8l4_crc_CAN.csv"}},
                      InteropCase{".", "classic_enc.mfe", {"classic_enc_CAN.csv"}}),
    case_name);

const auto kOtherWritersLogs = ::testing::Values(
    InteropCase{"other-writers", "dz_deflate.mf4", {"dz_deflate_CAN.csv", "dz_deflate_LIN.csv"}},
    InteropCase{"other-writers", "dl_frag256.mf4", {"dl_frag256_CAN.csv", "dl_frag256_LIN.csv"}},
    InteropCase{"other-writers",
                "hl_dl_dz_transposed.mf4",
                {"hl_dl_dz_transposed_CAN.csv", "hl_dl_dz_transposed_LIN.csv"}},
    InteropCase{"other-writers", "at_dbc.mf4", {"at_dbc_CAN.csv", "at_dbc_LIN.csv"}},
    InteropCase{"other-writers", "lib_sd.mf4", {"lib_sd_CAN.csv"}},
    InteropCase{"other-writers", "lib_vlsd_z.mf4", {"lib_vlsd_z_CAN.csv"}},
    InteropCase{"other-writers", "lib_mlsd8_z.mf4", {"lib_mlsd8_z_CAN.csv"}},
    InteropCase{"other-writers", "lib_lin_mand_z.mf4", {"lib_lin_mand_z_LIN.csv"}},
    InteropCase{"other-writers", "pycan_remote_frames.mf4", {"pycan_remote_frames_CAN.csv"}},
    InteropCase{"other-writers", "pycan_dlc_edges.mf4", {"pycan_dlc_edges_CAN.csv"}});

INSTANTIATE_TEST_SUITE_P(OtherWriters, InteropTest, kOtherWritersLogs, case_name);

// Signal tables computed by an independent decoder, with DBC files that
// carry the flaws the reader must take.
INSTANTIATE_TEST_SUITE_P(
    Signals, InteropTest,
    ::testing::Values(InteropCase{"signals",
                                  "mux_simple.mf4",
                                  {"mux_simple_CAN.csv", "mux_simple_CAN_signals.csv"},
                                  {"--dbc", "dbc/mux_simple.dbc"}},
                      InteropCase{"signals",
                                  "std_ext_ids.mf4",
                                  {"std_ext_ids_CAN.csv", "std_ext_ids_CAN_signals.csv"},
                                  {"--dbc", "dbc/std_ext.dbc"}},
                      InteropCase{"signals",
                                  "bus_restricted.mf4",
                                  {"bus_restricted_CAN.csv", "bus_restricted_CAN_signals.csv"},
                                  {"--dbc", "2:dbc/bus2.dbc", "--dbc", "dbc/all.dbc"}},
                      InteropCase{"signals/real-world",
                                  "vw_pq.mf4",
                                  {"vw_pq_CAN.csv", "vw_pq_CAN_signals.csv"},
                                  {"--dbc", "dbc/vw_pq.dbc"}},
                      InteropCase{"signals/real-world",
                                  "mazda_3_2019.mf4",
                                  {"mazda_3_2019_CAN.csv", "mazda_3_2019_CAN_signals.csv"},
                                  {"--dbc", "dbc/mazda_3_2019.dbc"}},
                      InteropCase{"signals/real-world",
                                  "FORD_CADS.mf4",
                                  {"FORD_CADS_CAN.csv", "FORD_CADS_CAN_signals.csv"},
                                  {"--dbc", "dbc/FORD_CADS.dbc"}},
                      InteropCase{"signals/real-world",
                                  "toyota_radar_dsu_tssp.mf4",
                                  {"toyota_radar_dsu_tssp_CAN.csv",
                                   "toyota_radar_dsu_tssp_CAN_signals.csv"},
                                  {"--dbc", "dbc/toyota_radar_dsu_tssp.dbc"}}),
    case_name);
INSTANTIATE_TEST_SUITE_P(OtherWriters, OtherWritersTest, kOtherWritersLogs, case_name);

}  // namespace
}  // namespace quarrow::test
