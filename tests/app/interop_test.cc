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
    args.insert(args.end(), {"-O", tmp_ / "out", tmp_ / ("in/" + std::string(c.log))});
    return run_process(QUARROW_BINARY, args);
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
  const std::string data_ =
      std::string(QUARROW_TEST_DATA "/interop/") + (other_writers_ ? "other-writers" : ".");
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
    ::testing::Values(InteropCase{"", "can_classic.mf4", {"can_classic_CAN.csv"}},
                      InteropCase{"", "can_vlsd.mf4", {"can_vlsd_CAN.csv"}},
                      InteropCase{
                          "", "multi_group.mf4", {"multi_group_CAN.csv", "multi_group_LIN.csv"}},
                      InteropCase{"", "lin_only.mfm", {"lin_only_LIN.csv"}},
                      InteropCase{"", "flat_uint_master.mf4", {"flat_uint_master_CAN.csv"}},
                      InteropCase{"", "classic_w8l4_crc.mfc", {"classic_w8l4_crc_CAN.csv"}},
                      InteropCase{"", "classic_enc.mfe", {"classic_enc_CAN.csv"}}),
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
INSTANTIATE_TEST_SUITE_P(OtherWriters, OtherWritersTest, kOtherWritersLogs, case_name);

}  // namespace
}  // namespace quarrow::test
