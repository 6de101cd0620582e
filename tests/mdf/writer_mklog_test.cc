#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mdfwriter/block_builder.h"

namespace quarrow::mdfw {
namespace {

std::string temp_path(const std::string& name) {
  return testing::TempDir() + "mklog_" + name;
}

int run_mklog(const std::string& args) {
  const std::string command = std::string(MKLOG_BINARY) + " " + args + " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

TEST(WriterMklog, HelpAndBadArgumentsGiveTheirStatus) {
  struct Case {
    std::string args;
    int status;
  };
  const Case cases[] = {
      {"--help", 0},
      {"", 2},
      {"--frames", 2},
      {"--frames ten " + temp_path("x.mf4"), 2},
      {"--layout diagonal " + temp_path("x.mf4"), 2},
      {"--record-id-size 3 " + temp_path("x.mf4"), 2},
      {"--data-bytes heap " + temp_path("x.mf4"), 2},
      {"--mix can=1,bogus=2 " + temp_path("x.mf4"), 2},
      {"--compress 4,4 " + temp_path("x.mf4"), 2},
      {"--compress 8 " + temp_path("x.mf4"), 2},
      {"--device-id 1FFFFFFFF " + temp_path("x.mf4"), 2},
      {"--iterations 0 " + temp_path("x.mf4"), 2},
      {"--no-such-option " + temp_path("x.mf4"), 2},
      {"a.mf4 b.mf4", 2},
  };
  for (const Case& c : cases) EXPECT_EQ(run_mklog(c.args), c.status) << c.args;
}

TEST(WriterMklog, WritesTheRequestedLayout) {
  struct Case {
    std::string args;
    std::string file_id;
    uint8_t rec_id_size;
  };
  const Case cases[] = {
      {"", "MDF     ", 0},
      {"--layout unsorted --record-id-size 4", "MDF     ", 4},
      {"--layout unsorted --data-bytes vlsd --record-id-size 2", "MDF     ", 2},
      {"--data-bytes sd --timestamp ticks --flat", "MDF     ", 0},
      {"--unfinalised --mix can=1,fd=0,remote=0,error=0,lin=0", "UnFinMF ", 0},
  };
  for (const Case& c : cases) {
    const std::string path = temp_path("layout.mf4");
    std::remove(path.c_str());
    ASSERT_EQ(run_mklog("-n 200 --seed 7 --start-time 1700000000.5 " + c.args + " " + path), 0)
        << c.args;
    const std::vector<uint8_t> file = read_all(path);
    ASSERT_GT(file.size(), 200u) << c.args;
    EXPECT_EQ(std::string(file.begin(), file.begin() + 8), c.file_id) << c.args;
    const BlockInfo hd = read_block(file, 64);
    EXPECT_EQ(hd.id, "##HD");
    EXPECT_EQ(get_u64(file, hd.data), 1'700'000'000'500'000'000u);
    const BlockInfo dg = read_block(file, hd.links[0]);
    EXPECT_EQ(dg.id, "##DG");
    EXPECT_EQ(file[dg.data], c.rec_id_size) << c.args;
    std::remove(path.c_str());
  }
}

TEST(WriterMklog, ContainersNestInCommandLineOrder) {
  struct Case {
    std::string args;
    uint8_t checksum_flag;
    uint8_t type;  // of the outermost container
    uint32_t device_id;
  };
  const Case cases[] = {
      {"--compress 8,4", 0, 34, 0},
      {"--compress 8,4 --crc --device-id 0000ABCD", 1, 34, 0xABCD},
      {"--compress 8,4 --encrypt pw --device-id 1A2B3C4D --iterations 2", 0, 17, 0x1A2B3C4D},
      {"--encrypt pw --iterations 2 --compress 10,5", 0, 34, 0},
  };
  for (const Case& c : cases) {
    const std::string path = temp_path("wrapped.mfc");
    std::remove(path.c_str());
    ASSERT_EQ(run_mklog("-n 100 " + c.args + " " + path), 0) << c.args;
    const std::vector<uint8_t> file = read_all(path);
    ASSERT_GE(file.size(), 20u) << c.args;
    EXPECT_EQ(std::string(file.begin(), file.begin() + 12), "Generic File") << c.args;
    EXPECT_EQ(file[13], c.checksum_flag) << c.args;
    EXPECT_EQ(file[14], c.type) << c.args;
    EXPECT_EQ(file[15], 1) << c.args;
    const uint32_t device =
        uint32_t{file[16]} << 24 | uint32_t{file[17]} << 16 | uint32_t{file[18]} << 8 | file[19];
    EXPECT_EQ(device, c.device_id) << c.args;
    std::remove(path.c_str());
  }
}

TEST(WriterMklog, SameSeedWritesTheSameFile) {
  const std::string a = temp_path("a.mf4");
  const std::string b = temp_path("b.mf4");
  ASSERT_EQ(run_mklog("-n 300 --seed 11 " + a), 0);
  ASSERT_EQ(run_mklog("-n 300 --seed 11 " + b), 0);
  EXPECT_EQ(read_all(a), read_all(b));
  ASSERT_EQ(run_mklog("-n 300 --seed 12 " + b), 0);
  EXPECT_NE(read_all(a), read_all(b));
  std::remove(a.c_str());
  std::remove(b.c_str());
}

}  // namespace
}  // namespace quarrow::mdfw
