// Exit statuses and messages of whole runs: damaged logs among good ones,
// read-buffer sizes, deletion of converted inputs, and the start-up and
// walk failures that must not look like success.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/container_writer.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class ConvertStatusTest : public ::testing::Test {
 protected:
  ProcessResult convert(const std::vector<std::string>& args) {
    return run_process(QUARROW_BINARY, args, tmp_.path());
  }
  std::string in(const std::string& relative) const { return tmp_ / ("in/" + relative); }

  TempDir tmp_;
  SampleLog log_ = sample_log(9);
};

Bytes truncated(const Bytes& b, size_t size) {
  return Bytes(b.begin(), b.begin() + size);
}

// Encrypted with the password "pw".
Bytes sealed(const Bytes& log) {
  mdfw::EncryptOptions encryption;
  encryption.password = "pw";
  encryption.iterations = 10;
  return mdfw::wrap_encrypted(log, encryption);
}

struct DamageCase {
  const char* name;
  std::function<Bytes()> make;
  std::vector<std::string> reader_errors;  // what the MDF reader logs first
};

class ConvertDamagedTest : public ConvertStatusTest,
                           public ::testing::WithParamInterface<DamageCase> {};

TEST_P(ConvertDamagedTest, FailsThatFileAndConvertsTheOthers) {
  write_file(in("a_good.mf4"), log_.bytes);
  write_file(in("bad.mf4"), GetParam().make());
  write_file(in("z_good.mf4"), log_.bytes);
  ProcessResult r = convert({in("a_good.mf4"), in("bad.mf4"), in("z_good.mf4")});
  EXPECT_EQ(r.status, 8);
  std::vector<std::string> errors = GetParam().reader_errors;
  errors.push_back("Could not open MDF");
  errors.push_back("Error during conversion of bad.mf4");
  EXPECT_EQ(logged_after(r.err, " E "), errors);
  expect_tables_at(in("a_good"), log_.tables);
  expect_tables_at(in("z_good"), log_.tables);
  expect_tables_at(in("bad"), {});
}

Bytes with_unsupported(std::function<void(mdfw::Unsupported&)> set) {
  mdfw::BusLogOptions options;
  set(options.unsupported);
  return mdfw::write_bus_log(mixed_frames(20), options);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, ConvertDamagedTest,
    ::testing::Values(
        DamageCase{"EmptyFile", [] { return Bytes{}; }, {}},
        DamageCase{"TenBytes", [] { return truncated(sample_log(9).bytes, 10); }, {}},
        DamageCase{"IdBlockOnly", [] { return truncated(sample_log(9).bytes, 64); }, {}},
        DamageCase{"CutInTheHeaderBlock", [] { return truncated(sample_log(9).bytes, 100); }, {}},
        DamageCase{"CutInTheBlockTree", [] { return truncated(sample_log(9).bytes, 700); }, {}},
        DamageCase{"NotAnMdfFile",
                   [] { return Bytes(4096, 'x'); },
                   {"Unable to load block header for type xxxxxxxx"}},
        DamageCase{
            "Attachment",
            [] { return with_unsupported([](mdfw::Unsupported& u) { u.attachment = true; }); },
            {"Unsupported parameter present in file"}},
        DamageCase{
            "DataList",
            [] { return with_unsupported([](mdfw::Unsupported& u) { u.data_list = true; }); },
            {"Unable to load block header for type ##DL"}}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

// A finalised log whose data block ends early has lost records; converting
// what is left must not be reported as a full success.
TEST_F(ConvertStatusTest, LogCutInItsDataIsNotASuccess) {
  write_file(in("cut.mf4"), truncated(log_.bytes, log_.bytes.size() - 10));
  ProcessResult r = convert({in("cut.mf4")});
  EXPECT_EQ(r.status, 8) << r.err;
  EXPECT_NE(r.err.find("E Log is truncated: 10 bytes of measurement data are missing\n"),
            std::string::npos)
      << r.err;
}

class ConvertBufferTest : public ConvertStatusTest,
                          public ::testing::WithParamInterface<const char*> {};

// The read buffer only changes how the input is read, never what is
// converted: plain, compressed and encrypted inputs alike.
TEST_P(ConvertBufferTest, GivesTheSameTablesForAnyBufferSize) {
  write_file(in("plain.mf4"), log_.bytes);
  write_file(in("packed.mfc"), mdfw::wrap_compressed(log_.bytes, 9, 4, true));
  write_file(in("sealed.mfe"), sealed(log_.bytes));
  write_file(tmp_ / "pw.json", R"({"default": "pw"})");
  std::vector<std::string> args = {"-p", tmp_ / "pw.json", in("plain.mf4"), in("packed.mfc"),
                                   in("sealed.mfe")};
  if (GetParam()[0] != '\0') args.insert(args.begin(), {"--buffer", GetParam()});
  ProcessResult r = convert(args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* base : {"plain", "packed", "sealed"}) expect_tables_at(in(base), log_.tables);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConvertBufferTest,
                         ::testing::Values("", "0", "1", "7", "4096", "-1", "1MB"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param[0] ? info.param : "Default";
                           for (char& c : name)
                             if (c == '-') c = 'm';
                           return name;
                         });

TEST_F(ConvertStatusTest, DeletesOnlyInputsThatConverted) {
  write_file(in("logs/good.mf4"), log_.bytes);
  write_file(in("logs/sub/packed.mfc"), mdfw::wrap_compressed(log_.bytes, 8, 4, true));
  write_file(in("logs/bad.mf4"), truncated(log_.bytes, 100));
  write_file(in("logs/locked.mfe"), sealed(log_.bytes));
  write_file(in("logs/notes.txt"), "kept");
  ProcessResult r = convert({"-d", in("logs")});
  EXPECT_EQ(r.status, 8 | 2);
  EXPECT_EQ(list_tree(tmp_ / "in/logs"),
            (std::vector<std::string>{"bad.mf4", "locked.mfe", "notes.txt", "sub/"}));
  expect_tables_at(in("logs_out/good"), log_.tables);
  expect_tables_at(in("logs_out/sub/packed"), log_.tables);
}

TEST_F(ConvertStatusTest, KeepsTheInputWhenItsTablesCannotBeWritten) {
  write_file(in("logs/a.mf4"), log_.bytes);
  // A file where the output folder would go.
  write_file(in("logs_out"), "in the way");
  ProcessResult r = convert({"-d", in("logs")});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(logged_after(r.err, " E "),
            (std::vector<std::string>{"Could not open output file for CAN: logs_out/a_CAN.csv",
                                      "Error during end file callback",
                                      "Error during conversion of logs/a.mf4"}));
  EXPECT_TRUE(file_exists(in("logs/a.mf4")));
  EXPECT_EQ(read_file(in("logs_out")), "in the way");
}

TEST_F(ConvertStatusTest, ReplacesTablesLeftFromAnEarlierRun) {
  mdfw::BusLogOptions options;
  std::vector<mdfw::BusFrame> frames = {mdfw::can_data(0.5, 0x10, {1, 2, 3})};
  write_file(in("log.mf4"), mdfw::write_bus_log(frames, options));
  write_file(in("log_CAN.csv"), std::string(5000, 'x'));
  write_file(in("log_LIN.csv"), "stale");
  ProcessResult r = convert({in("log.mf4")});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(in("log"), expected_tables(frames, options));
}

TEST_F(ConvertStatusTest, MissingOutputFolderStopsTheRun) {
  write_file(in("log.mf4"), log_.bytes);
  const std::string missing = tmp_ / "nowhere";
  ProcessResult r = convert({"-O", missing, in("log.mf4")});
  EXPECT_EQ(r.status, 133);
  ASSERT_EQ(logged_after(r.err, " F ").size(), 1u) << r.err;
  EXPECT_EQ(logged_after(r.err, " F ")[0].rfind("Could not open output folder " + missing, 0), 0u)
      << r.err;
  EXPECT_EQ(list_tree(tmp_ / "in"), std::vector<std::string>{"log.mf4"});
  EXPECT_FALSE(file_exists(missing));
}

TEST_F(ConvertStatusTest, MissingInputFolderStopsTheRun) {
  ProcessResult r = convert({in("nowhere/log.mf4")});
  EXPECT_EQ(r.status, 133);
  ASSERT_EQ(logged_after(r.err, " F ").size(), 1u) << r.err;
  EXPECT_EQ(logged_after(r.err, " F ")[0].rfind("Could not open input folder ", 0), 0u) << r.err;
}

TEST_F(ConvertStatusTest, InputThatIsNeitherFileNorFolderCounts129) {
  write_file(in("good.mf4"), log_.bytes);
  ASSERT_EQ(mkfifo(in("pipe.mf4").c_str(), 0600), 0);
  ProcessResult r = convert({in("pipe.mf4"), in("good.mf4")});
  EXPECT_EQ(r.status, 129);
  EXPECT_EQ(r.err, "");
  expect_tables_at(in("good"), log_.tables);
}

// A folder listing holds files and folders only; anything else in it is
// passed over like a file of another type.
TEST_F(ConvertStatusTest, SpecialFilesInsideAFolderAreSkipped) {
  write_file(in("logs/good.mf4"), log_.bytes);
  ASSERT_EQ(mkfifo(in("logs/pipe.mf4").c_str(), 0600), 0);
  ProcessResult r = convert({in("logs")});
  EXPECT_EQ(r.status, 0) << r.err;
  expect_tables_at(in("logs_out/good"), log_.tables);
  expect_tables_at(in("logs_out/pipe"), {});
}

TEST_F(ConvertStatusTest, PathThatCannotBeQueriedCounts129) {
  write_file(in("good.mf4"), log_.bytes);
  // Every query of a symbolic link to itself fails.
  ASSERT_EQ(symlink("loop", in("loop").c_str()), 0);

  // The walk queries it and goes on with the next input.
  ProcessResult walked = convert({"-X", in("loop"), in("good.mf4")});
  EXPECT_EQ(walked.status, 129);
  EXPECT_EQ(logged_after(walked.err, " F "),
            std::vector<std::string>{"Error during stat of loop, exiting"});
  expect_tables_at(in("good"), log_.tables);
  fs::remove(in("good_CAN.csv"));
  fs::remove(in("good_LIN.csv"));

  // Naming the output of a top-level input queries it first; that failure
  // ends the run.
  ProcessResult stopped = convert({in("loop"), in("good.mf4")});
  EXPECT_EQ(stopped.status, 129);
  EXPECT_EQ(logged_after(stopped.err, " F "),
            std::vector<std::string>{"Could not query loop for information"});
  expect_tables_at(in("good"), {});
}

}  // namespace
}  // namespace quarrow::test
