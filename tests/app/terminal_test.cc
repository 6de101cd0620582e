// Runs on a terminal: the status line while logs convert, erased before every log line and at
// the end, the summary with the failures by kind, and under --non-interactive exactly the
// output of a run without a terminal.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "mdfwriter/container_writer.h"

// Windows cannot hand a console to a child the way it can a pseudo-terminal.
#ifndef _WIN32
namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

constexpr unsigned short kColumns = 60;

// The lines a terminal shows after receiving bytes (a carriage return goes back to the start of
// the line, text overwrites what stood there), without the log lines' time, process and thread
// and the summary's time.
std::vector<std::string> visible(const std::string& bytes) {
  static const std::regex prefix("^[0-9]{2}-[0-9]{2} [0-9:.]{12} +[0-9]+ +[0-9]+ ");
  static const std::regex took(" in [0-9]+\\.[0-9] s");
  std::vector<std::string> lines;
  std::string line;
  size_t column = 0;
  for (char c : bytes + "\n") {
    if (c == '\n') {
      line.erase(line.find_last_not_of(' ') + 1);
      lines.push_back(std::regex_replace(std::regex_replace(line, prefix, ""), took, " in T"));
      line.clear();
    }
    if (c == '\r' || c == '\n')
      column = 0;
    else
      line.replace(column++, 1, 1, c);
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

using TerminalTest = ConvertRunTest;

// Two good logs, a damaged one, two encrypted ones without a password, a file that is no log
// and a missing one; under --non-interactive a terminal gets exactly what a pipe gets. Then the
// other kinds of failure one at a time, and a log that gives no rows, which is not one.
TEST_F(TerminalTest, ShowsFilesWhileConvertingThenASummaryWithTheFailuresByKind) {
  auto in_terminal = [&](const std::vector<std::string>& args) {
    return run_in_terminal(QUARROW_BINARY, args, tmp_.path(), kColumns);
  };
  const std::vector<uint8_t> sealed = mdfw::wrap_encrypted(
      log_.bytes, {.password = "pw", .device_id = 0x1A2B3C4D, .iterations = 10});
  write_file(in("logs/a.mf4"), log_.bytes);
  write_file(in("logs/bad.mf4"), "not an MDF file");
  write_file(in("logs/sub/b.MF4"), log_.bytes);
  write_file(in("logs/sub/c.mfe"), sealed);
  write_file(in("logs/sub/d.mfe"), sealed);
  write_file(in("logs/notes.txt"), "no log");
  // Both logs' rows: the lines of both tables but their headers.
  const auto rows = std::ranges::count(log_.tables.can + log_.tables.lin, '\n') - 2;
  const std::vector<std::string> shown = {
      "E Could not open MDF",
      "E Error during conversion of logs/bad.mf4",
      "E No password found for device 1A2B3C4D",
      "E Error during conversion of logs/sub/c.mfe",
      "E No password found for device 1A2B3C4D",
      "E Error during conversion of logs/sub/d.mfe",
      "2 logs converted, 4 failed, 1 skipped, " + std::to_string(2 * rows) +
          " rows written in T: 1 input not found, 2 encrypted logs without a password, 1 damaged "
          "or unreadable log"};
  for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"-j", "2"}}) {
    fs::remove_all(in("logs_out"));
    std::vector<std::string> args = options;
    args.insert(args.end(), {in("logs"), in("nothere.mf4")});
    ProcessResult r = in_terminal(args);
    EXPECT_EQ(r.status, 1 | 2 | 8);
    // Each log line stands whole on its own line: the status line was erased before it, and
    // before the summary.
    EXPECT_EQ(visible(r.err), shown) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\r[0-5]/5 files, [0-9.]+ of [0-9.]+ MB")))
        << r.err;
    // What is drawn in place never reaches the last column: a line that wrapped could not be
    // erased.
    for (size_t start = 0, end; (end = r.err.find('\r', start)) != std::string::npos;
         start = end + 1) {
      const std::string piece = r.err.substr(start, end - start);
      EXPECT_TRUE(piece.find('\n') != std::string::npos || piece.size() < kColumns) << piece;
    }
    expect_tables_at(in("logs_out/sub/b"), log_.tables);

    args.insert(args.begin(), {"--non-interactive", "--verbosity", "4", "-O", tmp_ / "piped"});
    fs::create_directories(args[4]);
    ProcessResult piped = convert(args);
    fs::create_directories(args[4] = tmp_ / "terminal");
    ProcessResult terminal = in_terminal(args);
    EXPECT_EQ(terminal.status, piped.status);
    EXPECT_EQ(terminal.out, piped.out);
    EXPECT_EQ(visible(terminal.err), visible(piped.err));
    EXPECT_EQ(terminal.err.find('\r'), std::string::npos);
    EXPECT_EQ(list_tree(tmp_ / "terminal", true), list_tree(tmp_ / "piped", true));
  }

  std::vector<uint8_t> packed = mdfw::wrap_compressed(log_.bytes, 8, 4, true);
  packed[packed.size() - 1] ^= 1;  // the checksum no longer matches
  mdfw::BusLogOptions other_writer;
  other_writer.other.master_name = "time";
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {std::vector<uint8_t>(log_.bytes.begin(), log_.bytes.end() - 10), "1 truncated log"},
      {packed, "1 compressed log that could not be decompressed"},
      {mdfw::wrap_encrypted(log_.bytes, {.password = "not the one in the file"}),
       "1 encrypted log that could not be decrypted"},
      {mdfw::write_bus_log(mixed_frames(10), other_writer),
       "1 log gave no rows: it follows another writer's layout, try --other-writers"},
  };
  write_file(tmp_ / "pw.json", R"({"default": "pw"})");
  for (const auto& [bytes, kind] : cases) {
    write_file(in("x.mf4"), bytes);
    std::vector<std::string> lines =
        visible(in_terminal({"-p", tmp_ / "pw.json", in("x.mf4")}).err);
    ASSERT_FALSE(lines.empty()) << kind;
    const bool failed = !kind.ends_with("--other-writers");
    EXPECT_TRUE(lines.back().starts_with("0 logs converted, " + std::to_string(failed) +
                                         " failed, 0 skipped, "))
        << lines.back();
    EXPECT_TRUE(lines.back().ends_with("in T: " + kind)) << lines.back();
  }
}

}  // namespace
}  // namespace quarrow::test
#endif
