// mklog's command line: what the demo, the fuzz seeds and the README use.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "mdfwriter/bus_log_writer.h"
#include "reader_test_util.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow {
namespace {

int run_mklog(const std::string& args) {
  std::vector<std::string> words;
  for (size_t at = 0; at < args.size();) {
    size_t end = args.find(' ', at);
    if (end == std::string::npos) end = args.size();
    if (end > at) words.push_back(args.substr(at, end - at));
    at = end + 1;
  }
  return test::run_process(MKLOG_BINARY, words).status;
}

TEST(WriterMklog, WritesTheRequestedLayoutOrRefusesBadArguments) {
  test::TempDir tmp;
  const std::string out = tmp / "x.mf4";
  for (const char* bad : {"a.mf4", "--frames", "--frames ten", "--layout diagonal",
                          "--record-id-size 3", "--mix can=1,bogus=2", "--compress 8",
                          "--group-per-bus --layout unsorted", "--no-such-option"}) {
    EXPECT_EQ(run_mklog(std::string(bad) + " " + out), 2) << bad;
  }
  EXPECT_EQ(run_mklog(""), 2);
  EXPECT_EQ(run_mklog("--help"), 0);
  // Runs mklog into out and opens what it wrote.
  auto written = [&out](const std::string& args) {
    EXPECT_EQ(run_mklog(args + " " + out), 0) << args;
    const std::string log = test::read_file(out);
    return readertest::open_bytes({log.begin(), log.end()});
  };
  readertest::Opened o = written(
      "-n 200 --seed 7 --layout unsorted --record-id-size 4 --data-bytes vlsd --unfinalised "
      "--start-time 1700000000.5");
  ASSERT_NE(o.file, nullptr);
  EXPECT_EQ(o.id()->id_file.view(), StringView("UnFinMF "));
  EXPECT_EQ(o.hd()->hd_start_time_ns, 1'700'000'000'500'000'000u);
  EXPECT_EQ(block_as<DgBlock>(o.hd()->hd_dg_list[0])->dg_rec_id_size, 4);

  // Only CAN data frames on four bus channels: four data groups of them.
  readertest::Opened split =
      written("-n 200 --group-per-bus --can-channels 4 --mix can=1,fd=1,remote=0,error=0,lin=0");
  ASSERT_NE(split.file, nullptr);
  ASSERT_EQ(split.hd()->hd_dg_list.size(), 4u);
  uint64_t frames = 0;
  for (const BlockRef& dg : split.hd()->hd_dg_list) {
    const BlockList& cgs = block_as<DgBlock>(dg)->dg_cg_list;
    ASSERT_EQ(cgs.size(), 1u);
    const CgBlock* cg = block_as<CgBlock>(cgs[0]);
    EXPECT_EQ(cg->cg_record_id, mdfw::record_id_of(mdfw::FrameType::can_data));
    EXPECT_GT(cg->cg_cycle_count, 0u);
    frames += cg->cg_cycle_count;
  }
  EXPECT_EQ(frames, 200u);
  ASSERT_EQ(run_mklog("-n 100 --compress 8,4 --crc --device-id 0000ABCD " + out), 0);
  // Checksummed (1), compressed (34), version 1, the device id big-endian.
  const std::string container = test::read_file(out);
  EXPECT_EQ(container.substr(0, 12), "Generic File");
  EXPECT_EQ(container.substr(13, 7), std::string("\1\x22\1\0\0\xAB\xCD", 7));
}

}  // namespace
}  // namespace quarrow
