// Folder inputs through the real program: the mirrored output tree, its
// placement by -X and -O, the walk order, the extension filter, and how
// inputs that are missing or in different folders end the run.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

// The .csv files below root, relative to it, sorted.
std::vector<std::string> tables_below(const std::string& root) {
  std::vector<std::string> tables;
  for (const std::string& entry : list_tree(root)) {
    if (entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".csv") == 0) {
      tables.push_back(entry);
    }
  }
  return tables;
}

class ConvertFolderTest : public ::testing::Test {
 protected:
  ProcessResult convert(std::vector<std::string> args) {
    // The scratch folder as working folder: no stray password file.
    return run_process(QUARROW_BINARY, args, tmp_.path());
  }
  std::string root(const std::string& relative) const { return tmp_ / ("root/" + relative); }

  TempDir tmp_;
  SampleLog log_ = sample_log();
};

struct PlacementCase {
  const char* name;
  std::vector<std::string> options;  // "@out" stands for the output folder
  const char* tree;                  // where the mirrored tree lands, below tmp
};

class ConvertPlacementTest : public ConvertFolderTest,
                             public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(ConvertPlacementTest, MirrorsTheFolderTree) {
  const PlacementCase& c = GetParam();
  write_file(root("logs/a.mf4"), log_.bytes);
  write_file(root("logs/sub/b.MF4"), log_.bytes);
  write_file(root("logs/sub/deep/c.mfc"), log_.bytes);
  fs::create_directories(root("logs/empty"));
  fs::create_directories(tmp_ / "out");
  std::vector<std::string> args;
  for (const std::string& o : c.options) args.push_back(o == "@out" ? tmp_ / "out" : o);
  args.push_back(root("logs"));

  ProcessResult r = convert(args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string tree = tmp_ / c.tree;
  for (const char* base : {"/a", "/sub/b", "/sub/deep/c"})
    expect_tables_at(tree + base, log_.tables);
  std::string prefix = std::string(c.tree) + "/";
  EXPECT_EQ(
      tables_below(tmp_.path()),
      (std::vector<std::string>{prefix + "a_CAN.csv", prefix + "a_LIN.csv",
                                prefix + "sub/b_CAN.csv", prefix + "sub/b_LIN.csv",
                                prefix + "sub/deep/c_CAN.csv", prefix + "sub/deep/c_LIN.csv"}));
  // Inputs are left alone.
  EXPECT_TRUE(file_exists(root("logs/sub/deep/c.mfc")));
}

INSTANTIATE_TEST_SUITE_P(
    Options, ConvertPlacementTest,
    ::testing::Values(PlacementCase{"NextToTheFolderWithOutSuffix", {}, "root/logs_out"},
                      PlacementCase{"IntoTheInputFolderWithoutSuffix", {"-X"}, "root/logs"},
                      PlacementCase{"BelowTheOutputFolder", {"-O", "@out"}, "out/logs_out"},
                      PlacementCase{"BelowTheOutputFolderWithoutSuffix",
                                    {"--output-directory", "@out", "--no-append-root"},
                                    "out/logs"}),
    [](const ::testing::TestParamInfo<PlacementCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(ConvertFolderTest, SingleFileTablesLandNextToIt) {
  write_file(root("f.mf4"), log_.bytes);
  ProcessResult r = convert({root("f.mf4")});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(root("f"), log_.tables);
  EXPECT_EQ(list_tree(tmp_ / "root"),
            (std::vector<std::string>{"f.mf4", "f_CAN.csv", "f_LIN.csv"}));
}

TEST_F(ConvertFolderTest, FilesAndFoldersOfOneFolderConvertTogether) {
  write_file(root("f.MF4"), log_.bytes);
  write_file(root("logs/g.mf4"), log_.bytes);
  fs::create_directories(tmp_ / "out");
  ProcessResult r = convert({"-O", tmp_ / "out", root("f.MF4"), root("logs")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_tree(tmp_ / "out"),
            (std::vector<std::string>{"f_CAN.csv", "f_LIN.csv", "logs_out/", "logs_out/g_CAN.csv",
                                      "logs_out/g_LIN.csv"}));
  expect_tables_at(tmp_ / "out/f", log_.tables);
  expect_tables_at(tmp_ / "out/logs_out/g", log_.tables);
}

TEST_F(ConvertFolderTest, WalksEntriesInByteOrderDepthFirst) {
  // Damaged logs, so each one leaves a line naming it.
  for (const char* name : {"B.MF4", "a.MF4", "A.mf4", "C/x.mf4", "C/D/y.mf4", "b/z.mf4"}) {
    write_file(root(std::string("logs/") + name), "not an MDF file");
  }
  ProcessResult r = convert({root("logs")});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(logged_after(r.err, "Error during conversion of "),
            (std::vector<std::string>{"logs/A.mf4", "logs/B.MF4", "logs/C/D/y.mf4", "logs/C/x.mf4",
                                      "logs/a.MF4", "logs/b/z.mf4"}));
}

TEST_F(ConvertFolderTest, TakesFilesByExtensionInAnyCase) {
  for (const char* name :
       {"x.MF4", "y.mfc", "z.MfE", "w.mfm", "notes.txt", "x.mf4.bak", "v.mf", "u.mf44", "t.dat"}) {
    write_file(root(std::string("logs/") + name), log_.bytes);
  }
  ProcessResult r = convert({root("logs")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tables_below(tmp_ / "root/logs_out"),
            (std::vector<std::string>{"w_CAN.csv", "w_LIN.csv", "x_CAN.csv", "x_LIN.csv",
                                      "y_CAN.csv", "y_LIN.csv", "z_CAN.csv", "z_LIN.csv"}));
  expect_tables_at(root("logs_out/z"), log_.tables);
}

// A file whose whole name is an accepted extension is taken as a log; its
// tables belong in its own folder, not next to it under the folder's name,
// where they would replace those of a log named like the folder.
TEST_F(ConvertFolderTest, FileNamedLikeAnExtensionKeepsItsTablesInItsFolder) {
  SampleLog other = sample_log(21);
  write_file(root("logs/sub.mf4"), log_.bytes);
  write_file(root("logs/sub/mf4"), other.bytes);
  ProcessResult r = convert({root("logs")});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(root("logs_out/sub"), log_.tables);
  expect_tables_at(root("logs_out/sub/mf4"), other.tables);
}

TEST_F(ConvertFolderTest, FolderWithoutLogsWritesNothing) {
  write_file(root("logs/notes.txt"), "just notes");
  write_file(root("logs/sub/readme.md"), "# readme");
  ProcessResult r = convert({root("logs")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(
      list_tree(tmp_ / "root"),
      (std::vector<std::string>{"logs/", "logs/notes.txt", "logs/sub/", "logs/sub/readme.md"}));
}

TEST_F(ConvertFolderTest, EmptyFolderSucceeds) {
  fs::create_directories(root("logs"));
  ProcessResult r = convert({root("logs")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_tree(tmp_ / "root"), std::vector<std::string>{"logs/"});
}

TEST_F(ConvertFolderTest, MissingInputIsReportedAndTheOthersConvert) {
  write_file(root("good.mf4"), log_.bytes);
  ProcessResult r = convert({"--verbosity", "2", root("missing.mf4"), root("good.mf4")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(logged_after(r.err, "Could not find input file/folder "),
            std::vector<std::string>{"missing.mf4"});
  expect_tables_at(root("good"), log_.tables);
}

TEST_F(ConvertFolderTest, StatusesOfAllInputsAreCombined) {
  write_file(root("good.mf4"), log_.bytes);
  write_file(root("bad.mf4"), "damaged");
  ProcessResult r = convert({root("bad.mf4"), root("gone"), root("good.mf4")});
  EXPECT_EQ(r.status, 1 | 8);
  expect_tables_at(root("good"), log_.tables);
}

TEST_F(ConvertFolderTest, InputsInDifferentFoldersStopTheRun) {
  write_file(root("a/x.MF4"), log_.bytes);
  write_file(root("b/y.MF4"), log_.bytes);
  const std::vector<std::vector<std::string>> lines = {
      {root("a/x.MF4"), root("b/y.MF4")},
      // A folder inside the other one's folder is not a common root either.
      {root("a"), root("a/x.MF4")},
  };
  for (const auto& args : lines) {
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, 132);
    EXPECT_NE(r.err.find("No common root detected for all inputs"), std::string::npos) << r.err;
  }
  EXPECT_EQ(tables_below(tmp_.path()), std::vector<std::string>{});
}

TEST_F(ConvertFolderTest, FileSystemRootHasNoParentFolder) {
  ProcessResult r = convert({"/"});
  EXPECT_EQ(r.status, 132);
  EXPECT_NE(r.err.find("Could not find root for /"), std::string::npos) << r.err;
}

// A leading "/" separates too: the parent of "/name" is "/".
TEST_F(ConvertFolderTest, InputDirectlyBelowTheFileSystemRoot) {
  const std::string name = "quarrow_absent_" + std::to_string(getpid()) + ".mf4";
  ASSERT_FALSE(file_exists("/" + name));
  fs::create_directories(tmp_ / "out");
  ProcessResult r = convert({"--verbosity", "2", "-O", tmp_ / "out", "/" + name});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(logged_after(r.err, "Could not find input file/folder "),
            std::vector<std::string>{name});
  EXPECT_EQ(list_tree(tmp_ / "out"), std::vector<std::string>{});
}

TEST_F(ConvertFolderTest, RelativePathsAreTakenFromTheWorkingFolder) {
  write_file(root("logs/a.mf4"), log_.bytes);
  write_file(root("f.mf4"), log_.bytes);
  fs::create_directories(tmp_ / "out");
  ProcessResult r = convert({"-O", "out", "root/logs", "root/f.mf4"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(tmp_ / "out/logs_out/a", log_.tables);
  expect_tables_at(tmp_ / "out/f", log_.tables);
}

}  // namespace
}  // namespace quarrow::test
