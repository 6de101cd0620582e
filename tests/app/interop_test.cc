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
  // Run in the set's folder, so that relative paths name its files.
  std::vector<const char*> options = {};
};

class InteropTest : public ::testing::TestWithParam<InteropCase> {
 protected:
  // Converts the log alone into an empty output folder.
  ProcessResult convert(std::vector<std::string> args) {
    fs::remove_all(tmp_.path());
    fs::create_directories(tmp_ / "out");
    write_file(tmp_ / ("in/" + log_), read_file(data_ + "/logs/" + log_));
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    args.insert(args.end(), {"-O", tmp_ / "out", tmp_ / ("in/" + log_)});
    return run_process(QUARROW_BINARY, args, data_);
  }

  const std::string log_ = GetParam().log;
  const bool other_writers_ = std::string(GetParam().set) == "other-writers";
  const std::string data_ = std::string(QUARROW_TEST_DATA "/interop/") + GetParam().set;
  TempDir tmp_;
};

// Every expected table of the log and nothing else, byte for byte.
TEST_P(InteropTest, ConvertsToTheExpectedTablesByteForByte) {
  std::vector<std::string> options = {"-p", QUARROW_TEST_DATA "/interop/passwords.json"};
  if (other_writers_) options.push_back("--other-writers");
  ProcessResult r = convert(options);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> expected;
  for (const char* kind : {"_CAN.csv", "_CAN_signals.csv", "_LIN.csv"}) {
    const std::string table = log_.substr(0, log_.rfind('.')) + kind;
    if (!file_exists(data_ + "/expected/" + table)) continue;
    expected.push_back(table);
    EXPECT_EQ(read_file(tmp_ / ("out/" + table)), read_file(data_ + "/expected/" + table)) << table;
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(list_tree(tmp_ / "out"), expected);
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

INSTANTIATE_TEST_SUITE_P(Samples, InteropTest,
                         ::testing::Values(InteropCase{".", "can_classic.mf4"},
                                           InteropCase{".", "can_vlsd.mf4"},
                                           InteropCase{".", "multi_group.mf4"},
                                           InteropCase{".", "lin_only.mfm"},
                                           InteropCase{".", "flat_uint_master.mf4"},
                                           InteropCase{".", "classic_w8l4_crc.mfc"},
                                           InteropCase{".", "classic_enc.mfe"}),
                         case_name);

const auto kOtherWritersLogs = ::testing::Values(
    InteropCase{"other-writers", "dz_deflate.mf4"}, InteropCase{"other-writers", "dl_frag256.mf4"},
    InteropCase{"other-writers", "hl_dl_dz_transposed.mf4"},
    InteropCase{"other-writers", "at_dbc.mf4"}, InteropCase{"other-writers", "lib_sd.mf4"},
    InteropCase{"other-writers", "lib_vlsd_z.mf4"}, InteropCase{"other-writers", "lib_mlsd8_z.mf4"},
    InteropCase{"other-writers", "lib_lin_mand_z.mf4"},
    InteropCase{"other-writers", "pycan_remote_frames.mf4"},
    InteropCase{"other-writers", "pycan_dlc_edges.mf4"});

INSTANTIATE_TEST_SUITE_P(OtherWriters, InteropTest, kOtherWritersLogs, case_name);
INSTANTIATE_TEST_SUITE_P(OtherWriters, OtherWritersTest, kOtherWritersLogs, case_name);

// Signal tables computed by an independent decoder, with DBC files that
// carry the flaws the reader must take.
INSTANTIATE_TEST_SUITE_P(
    Signals, InteropTest,
    ::testing::Values(
        InteropCase{"signals", "mux_simple.mf4", {"--dbc", "dbc/mux_simple.dbc"}},
        InteropCase{"signals", "std_ext_ids.mf4", {"--dbc", "dbc/std_ext.dbc"}},
        InteropCase{
            "signals", "bus_restricted.mf4", {"--dbc", "2:dbc/bus2.dbc", "--dbc", "dbc/all.dbc"}},
        InteropCase{"signals/real-world", "vw_pq.mf4", {"--dbc", "dbc/vw_pq.dbc"}},
        InteropCase{"signals/real-world", "mazda_3_2019.mf4", {"--dbc", "dbc/mazda_3_2019.dbc"}},
        InteropCase{"signals/real-world", "FORD_CADS.mf4", {"--dbc", "dbc/FORD_CADS.dbc"}},
        InteropCase{"signals/real-world",
                    "toyota_radar_dsu_tssp.mf4",
                    {"--dbc", "dbc/toyota_radar_dsu_tssp.dbc"}}),
    case_name);

}  // namespace
}  // namespace quarrow::test
