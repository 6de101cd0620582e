// Whole runs of the real program: folder inputs (the mirrored output tree,
// its placement by -X and -O, the walk order, the extension filter), and the
// exit statuses and messages of damaged logs among good ones, read-buffer
// sizes, deletion of converted inputs, and the start-up and walk failures
// that must not look like success.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/container_writer.h"
#include "support/platform.h"

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

// The .csv files below root, relative to it, sorted.
std::vector<std::string> tables_below(const std::string& root) {
  std::vector<std::string> tables;
  for (const std::string& entry : list_tree(root))
    if (fs::path(entry).extension() == ".csv") tables.push_back(entry);
  return tables;
}

using ConvertFolderTest = ConvertRunTest;
using ConvertStatusTest = ConvertRunTest;
using Bytes = std::vector<uint8_t>;

Bytes cut(const Bytes& bytes, size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + size);
}

// Encrypted with the password "pw".
Bytes sealed(const Bytes& bytes) {
  mdfw::EncryptOptions encryption;
  encryption.password = "pw";
  encryption.iterations = 10;
  return mdfw::wrap_encrypted(bytes, encryption);
}

TEST_F(ConvertFolderTest, MirrorsTheFolderTreeWhereTheOptionsSay) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "in/logs_out/"},
      {{"-X"}, "in/logs/"},
      {{"-O", "out"}, "out/logs_out/"},
      {{"--output-directory", "out", "--no-append-root"}, "out/logs/"},
  };
  for (const auto& [options, tree] : cases) {
    fs::remove_all(tmp_.path());
    write_file(in("logs/a.mf4"), log_.bytes);
    write_file(in("logs/sub/b.MF4"), log_.bytes);
    write_file(in("logs/sub/deep/c.mfc"), log_.bytes);
    fs::create_directories(in("logs/empty"));
    fs::create_directories(tmp_ / "out");
    // Tables left from an earlier run are replaced.
    write_file(tmp_ / (tree + "a_CAN.csv"), std::string(5000, 'x'));
    write_file(tmp_ / (tree + "sub/b_LIN.csv"), "stale");
    std::vector<std::string> args = options;
    args.push_back(in("logs"));
    ProcessResult r = convert(args);  // relative -O is taken from the working folder
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* base : {"a", "sub/b", "sub/deep/c"})
      expect_tables_at(tmp_ / (tree + base), log_.tables);
    EXPECT_EQ(tables_below(tmp_.path()).size(), 6u) << tree;
    EXPECT_TRUE(file_exists(in("logs/sub/deep/c.mfc")));
  }
}

// Entries are walked in byte order, depth first, and files taken by their
// extension in any case. A file whose whole name is an extension is a log
// too; its tables belong in its own folder, where they cannot replace those
// of a log named like the folder.
TEST_F(ConvertFolderTest, WalksInByteOrderAndTakesFilesByExtensionInAnyCase) {
  // Damaged logs, so each one leaves a line naming it.
  for (const char* name : {"B.MF4", "a.MF4", "A1.mf4", "C/x.mf4", "C/D/y.mf4", "b/z.mf4"})
    write_file(in(std::string("logs/") + name), "not an MDF file");
  for (const char* name :
       {"x.MF4", "y.mfc", "z.MfE", "w.mfm", "notes.txt", "x.mf4.bak", "v.mf", "u.mf44"})
    write_file(in(std::string("logs/") + name), log_.bytes);
  SampleLog other = sample_log(21);
  write_file(in("logs/sub/mf4"), other.bytes);
  ProcessResult r = convert({in("logs")});
  EXPECT_EQ(r.status, 8);
  EXPECT_EQ(logged_after(r.err, "Error during conversion of "),
            (std::vector<std::string>{"logs/A1.mf4", "logs/B.MF4", "logs/C/D/y.mf4", "logs/C/x.mf4",
                                      "logs/a.MF4", "logs/b/z.mf4"}));
  EXPECT_EQ(tables_below(tmp_ / "in/logs_out"),
            (std::vector<std::string>{"sub/mf4_CAN.csv", "sub/mf4_LIN.csv", "w_CAN.csv",
                                      "w_LIN.csv", "x_CAN.csv", "x_LIN.csv", "y_CAN.csv",
                                      "y_LIN.csv", "z_CAN.csv", "z_LIN.csv"}));
  expect_tables_at(in("logs_out/z"), log_.tables);
  expect_tables_at(in("logs_out/sub/mf4"), other.tables);
}

// Inputs without a common root (a folder inside the other one's folder is
// none, nor are two drives) and folders that cannot be opened end the run
// before anything is converted.
TEST_F(ConvertFolderTest, NoCommonRootOrMissingFoldersStopTheRun) {
  write_file(in("a/x.MF4"), log_.bytes);
  write_file(in("b/y.MF4"), log_.bytes);
  const std::string no_root = "No common root detected for all inputs";
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{in("a/x.MF4"), in("b/y.MF4")}, 132, no_root},
      {{in("a"), in("a/x.MF4")}, 132, no_root},
      {{"C:\\Logs\\a.mf4", "D:/Logs/b.mf4"}, 132, no_root},
      {{"/"}, 132, "Could not find root for /"},
      {{"-O", tmp_ / "nowhere", in("a/x.MF4")},
       133,
       " F Could not open output folder " + tmp_ / "nowhere"},
      {{in("nowhere/log.mf4")}, 133, " F Could not open input folder "},
  };
  for (const auto& [args, status, message] : cases) {
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, status) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(list_tree(tmp_ / "in"), (std::vector<std::string>{"a/", "a/x.MF4", "b/", "b/y.MF4"}));
  }
}

// Every rejection names its cause, and a block that only --other-writers
// reads says so after "Could not open MDF".
TEST_F(ConvertStatusTest, DamagedLogFailsThatFileAndTheOthersConvert) {
  auto with = [](bool mdfw::Unsupported::*block) {
    mdfw::BusLogOptions options;
    options.unsupported.*block = true;
    return mdfw::write_bus_log(mixed_frames(20), options);
  };
  auto only = [](const char* block) {
    return std::string("Block ") + block + " is read only with --other-writers";
  };
  Bytes unprintable = log_.bytes;
  std::memcpy(unprintable.data(), "\x1b[2J##", 6);
  const std::string open = "Could not open MDF",
                    unsupported = "Unsupported parameter present in file";
  const std::pair<Bytes, std::vector<std::string>> cases[] = {
      {{}, {open}},
      {cut(log_.bytes, 100), {open}},
      {cut(log_.bytes, 700), {open}},
      {Bytes(4096, 'x'), {"Unable to load block header for type xxxxxxxx", open}},
      {unprintable, {"Unable to load block header for type ?[2J##  ", open}},
      {with(&mdfw::Unsupported::data_list),
       {"Unable to load block header for type ##DL", open, only("##DL")}},
      {with(&mdfw::Unsupported::attachment), {unsupported, open, only("##AT")}},
      {with(&mdfw::Unsupported::event), {unsupported, open, only("##EV")}},
      {with(&mdfw::Unsupported::channel_hierarchy), {unsupported, open, only("##CH")}},
      {with(&mdfw::Unsupported::sample_reduction), {unsupported, open, only("##SR")}},
      {with(&mdfw::Unsupported::conversion_with_refs), {open, only("##CC with references")}},
      {with(&mdfw::Unsupported::channel_attachments),
       {open, only("##CN with attachment references")}},
      {with(&mdfw::Unsupported::default_x), {open, only("##CN with a default X channel")}},
  };
  write_file(in("a_good.mf4"), log_.bytes);
  write_file(in("z_good.mf4"), log_.bytes);
  for (const auto& [bytes, reader_errors] : cases) {
    write_file(in("bad.mf4"), bytes);
    ProcessResult r = convert({in("a_good.mf4"), in("bad.mf4"), in("z_good.mf4")});
    EXPECT_EQ(r.status, 8) << bytes.size();
    std::vector<std::string> errors = reader_errors;
    errors.push_back("Error during conversion of bad.mf4");
    EXPECT_EQ(logged_after(r.err, " E "), errors) << bytes.size();
    expect_tables_at(in("a_good"), log_.tables);
    expect_tables_at(in("z_good"), log_.tables);
  }
  // A finalised log whose data block ends early has lost records: no success.
  write_file(in("bad.mf4"), cut(log_.bytes, log_.bytes.size() - 10));
  ProcessResult r = convert({in("bad.mf4")});
  EXPECT_EQ(r.status, 8);
  EXPECT_NE(r.err.find("E Log is truncated: 10 bytes of measurement data are missing\n"),
            std::string::npos)
      << r.err;
}

// The read buffer changes how the input is read, never what is converted.
TEST_F(ConvertStatusTest, AnyBufferSizeGivesTheSameTables) {
  write_file(in("plain.mf4"), log_.bytes);
  write_file(in("packed.mfc"), mdfw::wrap_compressed(log_.bytes, 9, 4, true));
  write_file(in("sealed.mfe"), sealed(log_.bytes));
  write_file(tmp_ / "pw.json", R"({"default": "pw"})");
  for (const char* size : {"0", "1", "7", "-1", "1MB"}) {
    ProcessResult r = convert({"--buffer", size, "-p", tmp_ / "pw.json", in("plain.mf4"),
                               in("packed.mfc"), in("sealed.mfe")});
    ASSERT_EQ(r.status, 0) << size << "\n" << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* base : {"plain", "packed", "sealed"}) expect_tables_at(in(base), log_.tables);
  }
}

// Files converted several at once (-j) give what one at a time gives: the
// tables, the log lines in the same order, the status, the deletions.
TEST_F(ConvertStatusTest, DeletesOnlyInputsThatConvertedOneOrSeveralAtATime) {
  // Large enough to be mapped rather than read.
  mdfw::BusLogOptions options;
  std::vector<mdfw::BusFrame> frames = mixed_frames(16'000, 5);
  const Bytes big = mdfw::write_bus_log(frames, options);
  ASSERT_GT(big.size(), 1u << 20);
  const ExpectedTables big_tables = expected_tables(frames, options);
  options.other.master_name = "time";
  const Bytes other_writer_log = mdfw::write_bus_log(mixed_frames(10), options);
  std::string first_log;
  for (std::vector<std::string> jobs : {std::vector<std::string>{}, {"-j", "3"}, {"-j", "0"}}) {
    fs::remove_all(tmp_ / "in");
    write_file(in("logs/good.mf4"), log_.bytes);
    write_file(in("logs/sub/packed.mfc"), mdfw::wrap_compressed(log_.bytes, 8, 4, true));
    write_file(in("logs/bad.mf4"), cut(log_.bytes, 100));
    write_file(in("logs/locked.mfe"), sealed(log_.bytes));
    write_file(in("logs/notes.txt"), "kept");
    write_file(in("logs/other.mf4"), other_writer_log);  // no rows: kept
    for (int i = 0; i < 6; ++i)
      write_file(in("logs/many/" + std::to_string(i) + ".mf4"), log_.bytes);
    write_file(in("logs/many/big.mf4"), big);
    std::vector<std::string> args = {"-d", "--verbosity", "4", in("logs"), in("gone")};
    args.insert(args.end(), jobs.begin(), jobs.end());
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, 8 | 2 | 1);
    EXPECT_EQ(list_tree(tmp_ / "in/logs"),
              (std::vector<std::string>{"bad.mf4", "locked.mfe", "many/", "notes.txt", "other.mf4",
                                        "sub/"}));
    expect_tables_at(in("logs_out/good"), log_.tables);
    expect_tables_at(in("logs_out/sub/packed"), log_.tables);
    expect_tables_at(in("logs_out/many/5"), log_.tables);
    expect_tables_at(in("logs_out/many/big"), big_tables);
    // The lines without their time, process and thread.
    std::string log = std::regex_replace(r.err, std::regex(R"((^|\n)\S+ \S+ +\d+ +\d+ )"), "$1");
    if (first_log.empty()) first_log = log;
    EXPECT_EQ(log, first_log);
  }
  EXPECT_NE(first_log.find("Could not find input file/folder gone"), std::string::npos);
}

// An input that is neither a file nor a folder, or whose query fails: 129.
TEST_F(ConvertStatusTest, InputsThatAreNoFileNorFolderCount129) {
  QUARROW_SKIP_ON_WINDOWS("a test cannot make a pipe or a link loop in the file system there");
  write_file(in("good.mf4"), log_.bytes);
  ASSERT_TRUE(make_fifo(in("pipe.mf4")));
  ASSERT_TRUE(make_symlink("loop", in("loop")));  // every query of it fails
  ProcessResult r = convert({in("pipe.mf4"), "-X", in("loop"), in("good.mf4")});
  EXPECT_EQ(r.status, 129);
  EXPECT_EQ(logged_after(r.err, " F "),
            std::vector<std::string>{"Error during stat of loop, exiting"});
  expect_tables_at(in("good"), log_.tables);
  fs::remove(in("good_CAN.csv"));
  fs::remove(in("good_LIN.csv"));
  // Naming the output of a top-level input queries it first; that failure ends the run.
  ProcessResult stopped = convert({in("loop"), in("good.mf4")});
  EXPECT_EQ(stopped.status, 129);
  EXPECT_EQ(logged_after(stopped.err, " F "),
            std::vector<std::string>{"Could not query loop for information"});
  expect_tables_at(in("good"), {});
}

// A log that gives no row although a group looks like bus logging: a
// warning names the group and why, and --other-writers where that reads
// it. At the default verbosity nothing shows and the status stays 0.
TEST_F(ConvertStatusTest, ALogWithoutRowsNamesTheGroupNotRecognised) {
  using Edit = void (*)(mdfw::BusLogOptions&);
  const std::pair<Edit, std::string> cases[] = {
      {[](auto& o) { o.other.master_name = "time"; },
       "its time channel is named \"time\", not \"Timestamp\"; --other-writers reads it"},
      {[](auto& o) {
         o.extra_channels.push_back({mdfw::FrameType::can_data, "CAN_DataFrame.SRR"});
       },
       "its channel \"CAN_DataFrame.SRR\" is no field of its frame type; --other-writers reads it"},
      {[](auto& o) {
         o.extra_channels.push_back({mdfw::FrameType::can_data, "LIN_Frame.ID"});
       },
       "its channels are of two frame types, \"CAN_DataFrame\" and \"LIN_Frame\""},
      {[](auto& o) { o.bus_source = false; }, "its acquisition source is not a bus"},
      {[](auto& o) { o.other.channel_array = true; }, "it holds a channel array"},
  };
  for (const auto& [edit, why] : cases) {
    mdfw::BusLogOptions options;
    edit(options);
    write_file(in("log.mf4"), mdfw::write_bus_log({mdfw::can_data(0.5, 0x100, {1})}, options));
    std::vector<std::string> args = {in("log.mf4")};
    if (options.other.channel_array) args.push_back("--other-writers");
    EXPECT_EQ(convert(args).err, "");
    args.insert(args.end(), {"--verbosity", "2"});
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(logged_after(r.err, " W "),
              std::vector<std::string>{"No rows from log.mf4: channel group \"CAN_DataFrame\" of "
                                       "data group 1 was not recognised, as " +
                                       why});
  }
}

}  // namespace
}  // namespace quarrow::test
