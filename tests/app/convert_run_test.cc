// Whole runs of the real program: the command line, folders and batches, the
// output tree, the walk, paths, and the statuses and messages of failures.

#include <gtest/gtest.h>

#include <algorithm>
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

using Bytes = std::vector<uint8_t>;

// The read buffer changes how the input is read, never what is converted.
TEST_F(ConvertRunTest, MirrorsTheFolderTreeWhereTheOptionsSay) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--buffer", "0"}, "in/logs_out/"},
      {{"-X", "--buffer", "1"}, "in/logs/"},
      {{"-O", "out", "-b", "7"}, "out/logs_out/"},
      {{"--output-directory", "out", "--no-append-root", "-b", "1MB"}, "out/logs/"},
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
    EXPECT_EQ(
        std::ranges::count_if(list_tree(tmp_.path()), [](auto& e) { return e.ends_with(".csv"); }),
        6)
        << tree;
    EXPECT_TRUE(file_exists(in("logs/sub/deep/c.mfc")));
  }
}

// No common root (a folder and a file in it have none, nor two drives), folders that cannot be
// opened, a password file past its limit (sparse, so cheap): the run ends before converting.
TEST_F(ConvertRunTest, NoCommonRootOrMissingFoldersStopTheRun) {
  write_file(in("a/x.MF4"), log_.bytes);
  write_file(in("b/y.MF4"), log_.bytes);
  write_file(tmp_ / "keys.json", R"({"default": "pw"})");
  fs::resize_file(tmp_ / "keys.json", 100 << 20);
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
      {{"-p", tmp_ / "keys.json", in("a/x.MF4")}, 1, "is larger than the limit of 16777216 bytes"},
  };
  for (const auto& [args, status, message] : cases) {
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, status) << message;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(list_tree(tmp_ / "in"), (std::vector<std::string>{"a/", "a/x.MF4", "b/", "b/y.MF4"}));
  }
}

// Every rejection names its cause, and a block only --other-writers reads says so.
TEST_F(ConvertRunTest, DamagedLogFailsThatFileAndTheOthersConvert) {
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
      {Bytes(log_.bytes.begin(), log_.bytes.begin() + 100), {open}},
      {Bytes(log_.bytes.begin(), log_.bytes.begin() + 700), {open}},
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
  write_file(in("bad.mf4"), Bytes(log_.bytes.begin(), log_.bytes.end() - 10));
  ProcessResult r = convert({in("bad.mf4")});
  EXPECT_EQ(r.status, 8);
  EXPECT_NE(r.err.find("E Log is truncated: 10 bytes of measurement data are missing\n"),
            std::string::npos)
      << r.err;
}

// -j gives what one at a time gives: tables, log lines in order, status, deletions. The walk goes
// in byte order, depth first, taking extensions in any case and a file named just "mf4".
TEST_F(ConvertRunTest, DeletesOnlyInputsThatConvertedOneOrSeveralAtATime) {
  // Large enough to be mapped rather than read.
  mdfw::BusLogOptions options;
  std::vector<mdfw::BusFrame> frames = mixed_frames(16'000, 5);
  const Bytes big = mdfw::write_bus_log(frames, options);
  ASSERT_GT(big.size(), 1u << 20);
  const ExpectedTables big_tables = expected_tables(frames, options);
  options.other.master_name = "time";
  const Bytes other_writer_log = mdfw::write_bus_log(mixed_frames(10), options);
  const SampleLog other = sample_log(21);
  std::string first_log;
  for (std::vector<std::string> jobs : {std::vector<std::string>{}, {"-j", "3"}, {"-j", "0"}}) {
    fs::remove_all(tmp_ / "in");
    for (const char* name : {"B.MF4", "a.MF4", "A1.mf4", "C/x.mf4", "C/D/y.mf4", "b/z.mf4"})
      write_file(in(std::string("logs/") + name), "not an MDF file");
    for (const char* name : {"good.mf4", "x.MF4", "y.mfc", "z.MfE", "w.mfm", "x.mf4.bak", "v.mf",
                             "u.mf44", "many/0.mf4", "many/1.mf4", "many/2.mf4", "many/3.mf4"})
      write_file(in(std::string("logs/") + name), log_.bytes);
    write_file(in("logs/sub/packed.mfc"), mdfw::wrap_compressed(log_.bytes, 8, 4, true));
    write_file(in("logs/sub/mf4"), other.bytes);
    write_file(in("logs/bad.mf4"), "not an MDF file");
    write_file(in("logs/locked.mfe"), mdfw::wrap_encrypted(log_.bytes, {.password = "pw"}));
    write_file(in("logs/notes.txt"), "kept");
    write_file(in("logs/other.mf4"), other_writer_log);  // no rows: kept
    write_file(in("logs/many/big.mf4"), big);
    std::vector<std::string> args = {"-d", "--verbosity", "4", in("logs"), in("gone")};
    args.insert(args.end(), jobs.begin(), jobs.end());
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, 8 | 2 | 1);
    EXPECT_EQ(logged_after(r.err, "Error during conversion of logs/"),
              (std::vector<std::string>{"A1.mf4", "B.MF4", "C/D/y.mf4", "C/x.mf4", "a.MF4",
                                        "b/z.mf4", "bad.mf4", "locked.mfe"}));
    EXPECT_EQ(
        list_tree(tmp_ / "in/logs"),
        (std::vector<std::string>{"A1.mf4", "B.MF4", "C/", "C/D/", "C/D/y.mf4", "C/x.mf4", "a.MF4",
                                  "b/", "b/z.mf4", "bad.mf4", "locked.mfe", "many/", "notes.txt",
                                  "other.mf4", "sub/", "u.mf44", "v.mf", "x.mf4.bak"}));
    for (const char* base : {"good", "z", "sub/packed", "many/3"})
      expect_tables_at(in("logs_out/") + base, log_.tables);
    expect_tables_at(in("logs_out/sub/mf4"), other.tables);
    expect_tables_at(in("logs_out/many/big"), big_tables);
    // The lines without their time, process and thread.
    std::string log = std::regex_replace(r.err, std::regex(R"((^|\n)\S+ \S+ +\d+ +\d+ )"), "$1");
    if (first_log.empty()) first_log = log;
    EXPECT_EQ(log, first_log);
  }
  EXPECT_NE(first_log.find("Could not find input file/folder gone"), std::string::npos);
}

// An input that is neither a file nor a folder, or whose query fails: 129.
TEST_F(ConvertRunTest, InputsThatAreNoFileNorFolderCount129) {
  QUARROW_SKIP_ON_WINDOWS("a test cannot make a pipe or a link loop in the file system there");
  write_file(in("good.mf4"), log_.bytes);
  ASSERT_TRUE(make_fifo(in("pipe.mf4")));
  ASSERT_TRUE(make_symlink("loop", in("loop")));  // every query of it fails
  // Naming the output of a top-level input queries it first; that failure ends the run.
  ProcessResult r = convert({in("loop"), in("good.mf4")});
  EXPECT_EQ(r.status, 129);
  EXPECT_EQ(logged_after(r.err, " F "),
            std::vector<std::string>{"Could not query loop for information"});
  expect_tables_at(in("good"), {});
  r = convert({in("pipe.mf4"), "-X", in("loop"), in("good.mf4")});
  EXPECT_EQ(r.status, 129);
  EXPECT_EQ(logged_after(r.err, " F "),
            std::vector<std::string>{"Error during stat of loop, exiting"});
  expect_tables_at(in("good"), log_.tables);
}

// A log without rows though a group looks like bus logging: a warning (hidden by default, status
// 0) names the group and why, and --other-writers where that reads it.
TEST_F(ConvertRunTest, ALogWithoutRowsNamesTheGroupNotRecognised) {
  using Edit = void (*)(mdfw::BusLogOptions&);
  const std::pair<Edit, std::string> cases[] = {
      {[](auto& o) { o.other.master_name = "time"; },
       "its time channel is named \"time\", not \"Timestamp\"; --other-writers reads it"},
      {[](auto& o) { o.extra_channels = {{.name = "CAN_DataFrame.SRR"}}; },
       "its channel \"CAN_DataFrame.SRR\" is no field of its frame type; --other-writers reads it"},
      {[](auto& o) { o.extra_channels = {{.name = "LIN_Frame.ID"}}; },
       "its channels are of two frame types, \"CAN_DataFrame\" and \"LIN_Frame\""},
      {[](auto& o) { o.bus_source = false; }, "its acquisition source is not a bus"},
      {[](auto& o) { o.other.channel_array = true; }, "it holds a channel array"},
  };
  const std::string warning =
      "No rows from log.mf4: channel group \"CAN_DataFrame\" of data group 1 was not recognised, "
      "as ";
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
    EXPECT_EQ(logged_after(r.err, " W "), std::vector<std::string>{warning + why});
  }
}

std::string with_backslashes(std::string path) {
  std::ranges::replace(path, '/', '\\');
  return path;
}

// Names beyond ASCII print as UTF-8; -d deletes a log deeper than the classic limit.
TEST_F(ConvertRunTest, NamesBeyondAsciiAndDeepTreesConvert) {
  const std::string folder = std::string("Messfahrt_\xC3\x9C") + "berland";  // Ü
  const std::string japan = folder + "/\xE6\x97\xA5\xE6\x9C\xAC";            // 日本
  std::string deep = folder;
  for (char c : std::string("abcde")) deep += "/" + std::string(60, c);  // past 300 characters
  write_file(in(folder + "/\xC3\xA9.mf4"), log_.bytes);                  // é
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

TEST_F(ConvertRunTest, BackslashesAndDoubledSeparatorsNameTheSameFile) {
  write_file(in("logs/00000001.MF4"), log_.bytes);
  ProcessResult r = convert({with_backslashes(in("logs")) + "\\\\00000001.MF4"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(in("logs/00000001"), log_.tables);
}

TEST_F(ConvertRunTest, AnInputHeldOpenElsewhereIsConvertedAndKept) {
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
TEST_F(ConvertRunTest, NetworkSharePathsConvert) {
  write_file(in("logs/log.mf4"), log_.bytes);
  const std::string share = unc_path_of(in("logs"));
  if (share.empty()) GTEST_SKIP() << "no network share reaches the scratch folder here";
  ProcessResult r = convert({with_backslashes(share), "-O", tmp_.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_tables_at(tmp_ / "logs_out/log", log_.tables);
}

enum Out { kExact, kPrefix, kContains };  // in the order of matches[] below

TEST_F(ConvertRunTest, PrintsAndExitsAsExpected) {
  const char glossary[] =
      "  --help                                   display this help and exit\n"
      "  -v, --version                            display tool version and exit\n";
  const char last_option[] =
      "  --other-writers                          also read logs of other MDF 4 writers: data "
      "lists, compressed data, other channel layouts\n";
  const struct {
    int status;
    Out check;
    std::string out;
    std::vector<std::string> args;  // "@" stands for an existing input file
  } cases[] = {
      {0, kPrefix, "Usage: quarrow [", {}},
      {0, kPrefix, "Usage: quarrow", {"--help", "-z"}},
      {0, kContains, glossary, {"@", "--help"}},
      {0, kContains, last_option, {"--help"}},
      {0, kExact, "Version: 2.2.2\n", {"-v", "-z"}},
      {0, kExact, "Version: 2.2.2\n", {"--version", "@"}},
      {131, kExact, "", {"--verbosity", "7", "@"}},
      {131, kExact, "", {"--verbosity=-1", "@"}},
      {131, kExact, "", {"--buffer", "abc", "@"}},
      {131, kExact, "", {"-j", "-1", "@"}},
      {130, kExact, "", {"@", "--buffer"}},
      // Where long has 32 bits the parser cannot see the overflow and reads
      // the largest value; the huge buffer then still converts.
      {kWindows ? 0 : 134, kPrefix, kWindows ? "" : "quarrow: ", {"-b", "99999999999", "@"}},
      {134, kContains, "quarrow: invalid option", {"-z", "@"}},
      {134, kContains, "--zz", {"--zz", "@"}},
      {134, kPrefix, "quarrow: ", {"-d", "-d", "x"}},
      {134, kContains, "quarrow: missing option", {"-d"}},
      {134, kContains, "quarrow: missing option", {"-i"}},
      {0,
       kExact,
       "",
       {"-d", "-X", "--non-interactive", "-b", "1KB", "--verbosity", "5", "-i", "@", "-j", "0",
        "--other-writers"}},
  };
  write_file(tmp_ / "notes.txt", "not a log");
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    std::replace(args.begin(), args.end(), std::string("@"), tmp_ / "notes.txt");
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, c.status) << testing::PrintToString(c.args) << "\n" << r.out << r.err;
    const size_t at = r.out.find(c.out);
    const bool matches[] = {r.out == c.out, at == 0, at != r.out.npos};
    EXPECT_TRUE(matches[c.check]) << testing::PrintToString(c.args) << " printed: " << r.out;
  }
}

// Odd but legal command lines: whatever the outcome, the program ends cleanly.
TEST_F(ConvertRunTest, HostileArgumentsDoNotCrash) {
  const std::vector<std::vector<std::string>> lines = {
      {std::string(100000, 'a')},
      {"-p", std::string(5000, '/'), "-O", std::string(3000, '\\'), std::string(3000, '.')},
      {"", "", "-p", "", "\xff\xfe\x80.MF4", "-O", "\xc3\x28"},
      std::vector<std::string>(500, "input.MF4"),
  };
  for (const auto& args : lines) {
    ProcessResult r = convert(args);
    EXPECT_NE(r.status, -1) << args.size() << " arguments";
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace quarrow::test
