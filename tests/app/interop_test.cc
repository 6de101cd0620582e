// Logs written by an independent MDF 4 implementation must convert to the
// tables computed from the frames that implementation was given.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

struct InteropCase {
  const char* log;
  std::vector<const char*> tables;
};

class InteropTest : public ::testing::TestWithParam<InteropCase> {};

TEST_P(InteropTest, ConvertsToTheExpectedTablesByteForByte) {
  const InteropCase& c = GetParam();
  const std::string data = QUARROW_TEST_DATA "/interop";
  TempDir tmp;
  fs::create_directories(tmp / "in");
  fs::create_directories(tmp / "out");
  fs::copy_file(data + "/logs/" + c.log, tmp / ("in/" + std::string(c.log)));

  ProcessResult r = run_process(QUARROW_BINARY, {"-p", data + "/passwords.json", "-O", tmp / "out",
                                                 tmp / ("in/" + std::string(c.log))});
  ASSERT_EQ(r.status, 0) << r.err;

  size_t produced = 0;
  for (const auto& entry : fs::directory_iterator(tmp / "out")) {
    (void)entry;
    ++produced;
  }
  EXPECT_EQ(produced, c.tables.size());
  for (const char* table : c.tables) {
    EXPECT_EQ(read_file(tmp / ("out/" + std::string(table))),
              read_file(data + "/expected/" + table))
        << table;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, InteropTest,
    ::testing::Values(InteropCase{"can_classic.mf4", {"can_classic_CAN.csv"}},
                      InteropCase{"can_vlsd.mf4", {"can_vlsd_CAN.csv"}},
                      InteropCase{"multi_group.mf4", {"multi_group_CAN.csv", "multi_group_LIN.csv"}},
                      InteropCase{"lin_only.mfm", {"lin_only_LIN.csv"}},
                      InteropCase{"flat_uint_master.mf4", {"flat_uint_master_CAN.csv"}},
                      InteropCase{"classic_w8l4_crc.mfc", {"classic_w8l4_crc_CAN.csv"}},
                      InteropCase{"classic_enc.mfe", {"classic_enc_CAN.csv"}}),
    [](const ::testing::TestParamInfo<InteropCase>& info) {
      std::string name = info.param.log;
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

}  // namespace
}  // namespace quarrow::test
