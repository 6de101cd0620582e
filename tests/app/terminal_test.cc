// Runs on a terminal: the status line while logs convert, erased before
// every log line and at the end, the summary with the failures by kind,
// and exactly the output of a run without a terminal under
// --non-interactive.

#include <gtest/gtest.h>

#include <algorithm>
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

constexpr unsigned short kColumns = 60;

// The lines a terminal shows after receiving bytes: a carriage return goes
// back to the start of the line, text overwrites what stood there.
std::vector<std::string> screen(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string line;
  size_t column = 0;
  for (char c : bytes) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.push_back(line.substr(0, line.find_last_not_of(' ') + 1));
      line.clear();
      column = 0;
    } else {
      if (column < line.size())
        line[column] = c;
      else
        line.push_back(c);
      ++column;
    }
  }
  if (line.find_first_not_of(' ') != std::string::npos) lines.push_back(line);
  return lines;
}

// Log lines without time, process and thread; the summary without its time.
std::string without_times(const std::string& line) {
  static const std::regex prefix("^[0-9]{2}-[0-9]{2} [0-9:.]{12} +[0-9]+ +[0-9]+ ");
  static const std::regex took(" in [0-9]+\\.[0-9] s");
  return std::regex_replace(std::regex_replace(line, prefix, ""), took, " in T");
}

std::vector<std::string> visible(const std::string& bytes) {
  std::vector<std::string> lines = screen(bytes);
  std::transform(lines.begin(), lines.end(), lines.begin(), without_times);
  return lines;
}

size_t rows_of(const ExpectedTables& tables) {
  size_t n = 0;
  for (const std::string* table : {&tables.can, &tables.lin}) {
    if (!table->empty()) n += std::count(table->begin(), table->end(), '\n') - 1;
  }
  return n;
}

class TerminalTest : public ConvertRunTest {
 protected:
  // Two good logs, a damaged one, two encrypted ones without a password and
  // a file that is no log.
  void write_logs() {
    mdfw::EncryptOptions encryption;
    encryption.password = "pw";
    encryption.iterations = 10;
    encryption.device_id = 0x1A2B3C4D;
    std::vector<uint8_t> sealed = mdfw::wrap_encrypted(log_.bytes, encryption);
    write_file(in("logs/a.mf4"), log_.bytes);
    write_file(in("logs/bad.mf4"), "not an MDF file");
    write_file(in("logs/sub/b.MF4"), log_.bytes);
    write_file(in("logs/sub/c.mfe"), sealed);
    write_file(in("logs/sub/d.mfe"), sealed);
    write_file(in("logs/notes.txt"), "no log");
  }

  ProcessResult in_terminal(const std::vector<std::string>& args) {
    return run_in_terminal(QUARROW_BINARY, args, tmp_.path(), kColumns);
  }
};

// Under --non-interactive a terminal gets exactly what a pipe gets.
TEST_F(TerminalTest, ShowsFilesWhileConvertingThenASummaryWithTheFailuresByKind) {
  QUARROW_SKIP_ON_WINDOWS("no pseudo-terminal to run the program on");
  write_logs();
  const std::string summary = "2 logs converted, 4 failed, 1 skipped, " +
                              std::to_string(2 * rows_of(log_.tables)) +
                              " rows written in T: 1 input not found, 2 encrypted logs without "
                              "a password, 1 damaged or unreadable log";
  for (const std::vector<std::string>& options : {std::vector<std::string>{}, {"-j", "2"}}) {
    fs::remove_all(in("logs_out"));
    std::vector<std::string> args = options;
    args.insert(args.end(), {in("logs"), in("nothere.mf4")});
    ProcessResult r = in_terminal(args);
    EXPECT_EQ(r.status, 1 | 2 | 8);
    // Each log line stands whole on its own line: the status line was
    // erased before it, and before the summary.
    EXPECT_EQ(visible(r.err), (std::vector<std::string>{
                                  "E Could not open MDF",
                                  "E Error during conversion of logs/bad.mf4",
                                  "E No password found for device 1A2B3C4D",
                                  "E Error during conversion of logs/sub/c.mfe",
                                  "E No password found for device 1A2B3C4D",
                                  "E Error during conversion of logs/sub/d.mfe",
                                  summary,
                              }))
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\r[0-5]/5 files, [0-9.]+ of [0-9.]+ MB")))
        << r.err;
    // What is drawn in place never reaches the last column: a line that
    // wrapped could not be erased.
    size_t start = 0;
    for (size_t end; (end = r.err.find('\r', start)) != std::string::npos; start = end + 1) {
      std::string piece = r.err.substr(start, end - start);
      if (piece.find('\n') == std::string::npos) {
        EXPECT_LT(piece.size(), kColumns) << piece;
      }
    }
    expect_tables_at(in("logs_out/sub/b"), log_.tables);

    args.insert(args.begin(), {"--non-interactive", "--verbosity", "4", "-O", ""});
    args[4] = tmp_ / "piped";
    fs::create_directories(args[4]);
    ProcessResult piped = convert(args);
    args[4] = tmp_ / "terminal";
    fs::create_directories(args[4]);
    ProcessResult terminal = in_terminal(args);
    EXPECT_EQ(terminal.status, piped.status);
    EXPECT_EQ(terminal.out, piped.out);
    EXPECT_EQ(visible(terminal.err), visible(piped.err));
    EXPECT_EQ(terminal.err.find('\r'), std::string::npos);
    std::vector<std::string> tables = list_tree(tmp_ / "piped");
    EXPECT_EQ(list_tree(tmp_ / "terminal"), tables);
    for (const std::string& entry : tables) {
      if (fs::is_regular_file(tmp_ / ("piped/" + entry))) {
        EXPECT_EQ(read_file(tmp_ / ("terminal/" + entry)), read_file(tmp_ / ("piped/" + entry)));
      }
    }
  }
}

// A wrong name is explained at the default verbosity, with nothing else.
TEST_F(TerminalTest, TheSummaryNamesWhyEachLogFailed) {
  QUARROW_SKIP_ON_WINDOWS("no pseudo-terminal to run the program on");
  std::vector<uint8_t> packed = mdfw::wrap_compressed(log_.bytes, 8, 4, true);
  packed[packed.size() - 1] ^= 1;  // the checksum no longer matches
  mdfw::EncryptOptions encryption;
  encryption.password = "not the one in the file";
  mdfw::BusLogOptions other_writer;
  other_writer.other.master_name = "time";
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {{}, "1 input not found"},
      {std::vector<uint8_t>(log_.bytes.begin(), log_.bytes.end() - 10), "1 truncated log"},
      {packed, "1 compressed log that could not be decompressed"},
      {mdfw::wrap_encrypted(log_.bytes, encryption), "1 encrypted log that could not be decrypted"},
      // Not a failure: the log converts, though without a row.
      {mdfw::write_bus_log(mixed_frames(10), other_writer),
       "1 log gave no rows: it follows another writer's layout, try --other-writers"},
  };
  write_file(tmp_ / "pw.json", R"({"default": "pw"})");
  for (const auto& [bytes, kind] : cases) {
    const bool missing = bytes.empty();
    if (!missing) write_file(in("x.mf4"), bytes);
    ProcessResult r =
        in_terminal({"-p", tmp_ / "pw.json", missing ? tmp_ / "nothere.mf4" : in("x.mf4")});
    std::vector<std::string> lines = visible(r.err);
    ASSERT_FALSE(lines.empty()) << kind;
    if (missing) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(lines, std::vector<std::string>{"0 logs converted, 1 failed, 0 skipped, 0 rows "
                                                "written in T: 1 input not found"});
    }
    const bool failed = !kind.ends_with("--other-writers");
    EXPECT_TRUE(lines.back().starts_with("0 logs converted, " + std::to_string(failed) +
                                         " failed, 0 skipped, "))
        << lines.back();
    EXPECT_TRUE(lines.back().ends_with("in T: " + kind)) << lines.back();
  }
}

}  // namespace
}  // namespace quarrow::test
