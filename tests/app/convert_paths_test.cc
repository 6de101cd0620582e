// Paths as users type them and as SD cards hold them: names beyond ASCII,
// trees deeper than the classic 260-character limit, backslashes and
// doubled separators, network shares, and an input another program holds
// open while it is to be deleted.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "support/platform.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;
using ConvertPathsTest = ConvertRunTest;

std::string with_backslashes(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// Names beyond ASCII print as UTF-8; a tree deeper than the classic path
// limit converts, and -d deletes its log.
TEST_F(ConvertPathsTest, NamesBeyondAsciiAndDeepTreesConvert) {
  const std::string folder =
      "Messfahrt_\xC3\x9C"
      "berland";                                                   // Ü
  const std::string japan = folder + "/\xE6\x97\xA5\xE6\x9C\xAC";  // 日本
  std::string deep = folder;
  for (char c : std::string("abcde")) deep += "/" + std::string(60, c);
  ASSERT_GT(in(deep).size(), 300u);
  write_file(in(folder + "/\xC3\xA9.mf4"), log_.bytes);  // é
  write_file(in(japan + "/x.MF4"), log_.bytes);
  write_file(in(japan + "/bad.mf4"), "not an MDF file");
  write_file(in(deep + "/log.mf4"), log_.bytes);
  ProcessResult r = convert({"-d", in(folder)});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(logged_after(r.err, " E "),
            (std::vector<std::string>{"Could not open MDF",
                                      "Error during conversion of " + japan + "/bad.mf4"}));
  expect_tables_at(in(folder + "_out/\xC3\xA9"), log_.tables);
  expect_tables_at(in(folder + "_out" + japan.substr(folder.size()) + "/x"), log_.tables);
  expect_tables_at(in(folder + "_out" + deep.substr(folder.size()) + "/log"), log_.tables);
  EXPECT_FALSE(file_exists(in(deep + "/log.mf4")));
  EXPECT_TRUE(file_exists(in(japan + "/bad.mf4")));
}

TEST_F(ConvertPathsTest, BackslashesAndDoubledSeparatorsNameTheSameFile) {
  write_file(in("logs/00000001.MF4"), log_.bytes);
  ProcessResult r = convert({with_backslashes(in("logs")) + "\\\\00000001.MF4"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(in("logs/00000001"), log_.tables);
}

TEST_F(ConvertPathsTest, AnInputHeldOpenElsewhereIsConvertedAndKept) {
  write_file(in("log.mf4"), log_.bytes);
  FileHold hold(in("log.mf4"));
  if (!hold.held())
    GTEST_SKIP() << "only Windows refuses to delete a file another program has open";
  ProcessResult r = convert({"-d", in("log.mf4")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(logged_after(r.err, " E "),
            std::vector<std::string>{"Could not remove input file after conversion: log.mf4"});
  expect_tables_at(in("log"), log_.tables);
  EXPECT_TRUE(file_exists(in("log.mf4")));
}

// A network path keeps the two separators that open it.
TEST_F(ConvertPathsTest, NetworkSharePathsConvert) {
  write_file(in("logs/log.mf4"), log_.bytes);
  const std::string share = unc_path_of(in("logs"));
  if (share.empty()) GTEST_SKIP() << "no network share reaches the scratch folder here";
  ProcessResult r = convert({with_backslashes(share), "-O", tmp_.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(tmp_ / "logs_out/log", log_.tables);
}

}  // namespace
}  // namespace quarrow::test
