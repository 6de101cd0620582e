// Runs that fail or stop part-way, at every file operation, at every byte, or by a signal: they
// say so, leave only complete tables, keep their input and release every file they opened.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "app/batch.h"
#include "app/csv_expect.h"
#include "app/password_store.h"
#include "app/settings.h"
#include "app/signals_expect.h"
#include "csv/csv_sink.h"
#include "dbc/dbc_file.h"
#include "io/interrupt.h"
#include "log/log.h"
#include "mdfwriter/container_writer.h"
#include "support/faulty_folder.h"
#include "support/platform.h"
#include "support/process.h"

namespace quarrow::test {
namespace {

// Messages of the sample log's hand-made frames: a classic one and an extended CAN FD one, with
// a signal in its last bytes.
std::vector<DbcMessageShape> sweep_messages() {
  const std::vector<mdfw::DbcSignalShape> engine = {
      {"Speed", 0, 16, true, false, 0, 0.5, 0, "km/h"},
      {"Temp", 23, 8, false, true, 0, 1, -40, "degC"}};
  const std::vector<mdfw::DbcSignalShape> body = {{"Level", 500, 12, true, false, 0, 1, 0, ""}};
  return {{.id = 0x123, .name = "Engine", .signals = engine},
          {.id = 0x80000000u | 0x18FF0001u, .name = "Body", .size = 64, .signals = body}};
}

// Converts log.mf4 into out/ through a folder that fails or stops where the test says, deleting
// the input after success; a password for encrypted logs, signals when asked.
int convert_log(const TempDir& tmp, const std::vector<uint8_t>& input, int64_t buffer_size,
                bool signals, FailRule fails, WriteHook before_write = nullptr) {
  std::filesystem::remove_all(tmp / "out");
  write_file(tmp / "log.mf4", input);
  ConverterSettings settings;
  settings.delete_converted = true;
  settings.buffer_size = buffer_size;
  password_store_parse(R"({"default": "pw"})", &settings.passwords);
  if (signals) {
    const std::string dbc = mdfw::dbc_traffic_text(sweep_messages());
    DbcFile file;
    SsoString error;
    settings.signals = std::make_unique<SignalDecoder>();
    EXPECT_TRUE(dbc_parse(dbc.data(), dbc.size(), "sweep.dbc", &file, &error) &&
                settings.signals->add(&file, -1));
  }
  FaultyFolder folder(tmp.path(), std::move(fails), std::move(before_write));
  std::unique_ptr<CsvSink> sink = csv_sink_create(&folder, &folder, &settings);
  return sink ? convert_path(sink.get(), "log.mf4", "out/log") : -1;
}

// True when part holds only whole rows of whole, in whole's order: a table written from some of
// the frames.
bool rows_in_order(const std::string& part, const std::string& whole) {
  std::istringstream rows(part);
  size_t at = 0;
  for (std::string row; std::getline(rows, row); at += row.size() + 1) {
    if ((at = ("\n" + whole).find("\n" + row + "\n", at)) == std::string::npos) return false;
  }
  return part.empty() || part.back() == '\n';
}

struct SweepCase {
  const char* name;
  int containers;  // 0: a plain log; 1: compressed; 2: compressed without a checksum, encrypted
  int64_t buffer_size;
  int unwrap_status;  // what a failure inside the container gives
  const char* unwrap_message;
  bool signals = false;  // decode the frames into a signals table too
};

std::vector<uint8_t> wrap(const std::vector<uint8_t>& log, int containers) {
  if (containers == 0) return log;
  std::vector<uint8_t> packed = mdfw::wrap_compressed(log, 8, 4, containers == 1);
  return containers == 1 ? packed
                         : mdfw::wrap_encrypted(packed, {.password = "pw", .iterations = 2});
}

class FaultSweepTest : public ::testing::TestWithParam<SweepCase> {
 protected:
  // Counts the operations; the one numbered fail_at (from 1) fails.
  int convert(int64_t fail_at) {
    count_ = 0;
    failed_.clear();
    return convert_log(tmp_, input_, GetParam().buffer_size, GetParam().signals,
                       [&](const char* op, const std::string&) {
                         if (++count_ != fail_at) return false;
                         failed_ = op;
                         return true;
                       });
  }

  TempDir tmp_;
  SampleLog log_ = sample_log(5);
  std::vector<uint8_t> input_ = wrap(log_.bytes, GetParam().containers);
  const std::string signals_ =
      GetParam().signals ? expected_signals(log_.tables.can, sweep_messages()) : "";
  int64_t count_ = 0;
  std::string failed_;  // the operation that failed, for the report
};

TEST_P(FaultSweepTest, EveryFailureIsReportedAndLeavesNoPartialTable) {
  ScopedLogLevel errors_only(LOG_ERROR);
  const SweepCase& c = GetParam();
  ASSERT_EQ(convert(0), 0);
  expect_tables_at(tmp_ / "out/log", log_.tables);
  EXPECT_EQ(read_file(tmp_ / "out/log_CAN_signals.csv"), signals_);
  EXPECT_EQ(signals_.empty(), !c.signals);
  const size_t descriptors = open_handles();
  for (int64_t n = 1, operations = count_; n <= operations; ++n) {
    testing::internal::CaptureStderr();
    int status = convert(n);
    std::string log = testing::internal::GetCapturedStderr();
    SCOPED_TRACE("operation " + std::to_string(n) + " (" + failed_ + ") failed\n" + log);
    // A failure either did not matter (a size query, the input's removal) or it fails the file
    // with a message. A table is then whole or absent, except the rows read before the records
    // became unreadable, which are kept on purpose.
    if (status == 0) {
      expect_tables_at(tmp_ / "out/log", log_.tables);
      EXPECT_EQ(read_file(tmp_ / "out/log_CAN_signals.csv"), signals_);
      EXPECT_EQ(file_exists(tmp_ / "log.mf4"), failed_ == "remove");
      continue;
    }
    EXPECT_TRUE(status == 8 || status == c.unwrap_status || status == 129) << status;
    // 129: the input could not be queried.
    EXPECT_NE(log.find(status == c.unwrap_status ? c.unwrap_message
                       : status == 129           ? " F "
                                                 : " E "),
              std::string::npos);
    EXPECT_EQ(read_file(tmp_ / "log.mf4"), std::string(input_.begin(), input_.end()));
    const bool lost_rows = log.find("Could not read the records") != std::string::npos;
    for (const auto& [suffix, whole] : {std::pair{"_CAN.csv", log_.tables.can},
                                        {"_LIN.csv", log_.tables.lin},
                                        {"_CAN_signals.csv", signals_}}) {
      const std::string table = read_file(tmp_ / "out/log" + suffix);
      EXPECT_TRUE(table.empty() || table == whole || (lost_rows && rows_in_order(table, whole)))
          << suffix;
    }
    // Only a temporary table that could not be removed stays, hidden.
    for (const std::string& entry : list_tree(tmp_ / "out"))
      EXPECT_TRUE(failed_ == "remove" || !entry.ends_with(".part")) << entry;
  }
  EXPECT_EQ(open_handles(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, FaultSweepTest,
    ::testing::Values(SweepCase{"plain_whole", 0, -1, 8, " E "},
                      SweepCase{"plain_small_buffer", 0, 512, 8, " E "},
                      SweepCase{"compressed", 1, 256, 4, "Could not decompress file"},
                      SweepCase{"encrypted", 2, 256, 2, "Could not decrypt file"},
                      SweepCase{"signals", 0, -1, 8, " E ", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Stopped as a write brings the tables past their N-th byte, by the handler's own call.
TEST(InterruptTest, StoppedAfterAnyByteLeavesNoTableAndNoTemporary) {
  ScopedLogLevel errors_only(LOG_ERROR);
  TempDir tmp;
  // Few rows: every byte of the tables is a point to stop at.
  const std::vector<mdfw::BusFrame> frames = {
      mdfw::can_data(0.1, 0x123, {1, 2, 3}), mdfw::can_remote(0.2, 0x11, 2),
      mdfw::can_data(0.3, 0x1ABCDEF, {3}), mdfw::lin_frame(0.15, 5, {4, 5})};
  const ExpectedTables tables = expected_tables(frames, {});
  const std::string signals = expected_signals(tables.can, sweep_messages());
  int64_t stop_at = -1, written = 0;
  auto convert = [&, bytes = mdfw::write_bus_log(frames, {})] {
    written = 0;
    int status = convert_log(tmp, bytes, -1, true, nullptr, [&](uint64_t n) {
      const int64_t before = std::exchange(written, written + static_cast<int64_t>(n));
      if (before <= stop_at && stop_at < written) (void)interrupt_signalled(2);
    });
    interrupt_set_for_test(false);
    return status;
  };
  ASSERT_EQ(convert(), 0);
  expect_tables_at(tmp / "out/log", tables);
  EXPECT_EQ(read_file(tmp / "out/log_CAN_signals.csv"), signals);
  const int64_t total = written;
  ASSERT_EQ(total, static_cast<int64_t>(tables.can.size() + tables.lin.size() + signals.size()));
  for (stop_at = 0; stop_at < total; ++stop_at) {
    EXPECT_NE(convert(), 0) << stop_at;
    EXPECT_EQ(list_tree(tmp / "out"), std::vector<std::string>{}) << stop_at;
    EXPECT_TRUE(file_exists(tmp / "log.mf4")) << stop_at;
  }
}

// Leftovers: of the table written, by a process gone (removed, with a warning); by a running
// process, or of another table (kept).
TEST(InterruptTest, LeftoversOfDeadProcessesAreRemovedWhenTheTableIsWritten) {
  TempDir tmp;
  write_file(tmp / "in/x.mf4", sample_log(2).bytes);
  const std::string gone = "2147483646", running = std::to_string(process_id());
  for (const std::string& name :
       {".x_CAN.csv." + gone + ".part", ".x_LIN.csv." + gone + ".part",
        ".x_CAN.csv." + running + ".part", ".y_CAN.csv." + gone + ".part"}) {
    write_file(tmp / ("in_out/" + name), "partial");
  }
  ProcessResult r = run_process(QUARROW_BINARY, {"--verbosity", "2", "in"}, tmp.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_tree(tmp / "in_out"),
            (std::vector<std::string>{".x_CAN.csv." + running + ".part",
                                      ".y_CAN.csv." + gone + ".part", "x_CAN.csv", "x_LIN.csv"}));
  EXPECT_EQ(logged_after(r.err, " W Removed ").size(), 2u) << r.err;
}

// Whether path appears within about a minute.
bool appears(const std::string& path) {
  for (int i = 0; i < 60'000 && !file_exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return file_exists(path);
}

// The real thing: a run of two logs stopped while the second one's table is written.
class InterruptSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(InterruptSignalTest, EndsByTheSignalKeepingWhatWasDone) {
  TempDir tmp;
  mdfw::GeneratorOptions generator;
  generator.mix = {1, 0, 0, 0, 0, 0};  // CAN data frames only
  write_file(tmp / "big.mf4", mdfw::write_bus_log(mdfw::generate_frames(600'000, generator), {}));
  SampleLog small = sample_log(6);
  write_file(tmp / "a.mf4", small.bytes);
  const std::vector<std::string> args = {"-d", "-b", "65536", "a.mf4", "big.mf4"};
  auto err = scratch_file();
#ifdef _WIN32
  // Console events travel within a console: the program shares one with the test, in a process
  // group of its own that receives Ctrl-Break alone.
  PROCESS_INFORMATION child =
      spawn(QUARROW_BINARY, args, tmp.path(), err, err, CREATE_NEW_PROCESS_GROUP);
  EXPECT_TRUE(appears(tmp / (".big_CAN.csv." + std::to_string(child.dwProcessId) + ".part")));
  // Where the event cannot be sent (as under Wine), the program is ended otherwise.
  const bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.dwProcessId) ||
                    !TerminateProcess(child.hProcess, 1);
  const auto code = static_cast<DWORD>(exit_status(child));
  std::string log = read_all(err);
  if (!sent || code == 0) GTEST_SKIP() << "the console event did not reach the program";
  EXPECT_EQ(code, 0xC000013Au) << log;
#else
  pid_t child = spawn(QUARROW_BINARY, args, tmp.path(), err, err);
  EXPECT_TRUE(appears(tmp / (".big_CAN.csv." + std::to_string(child) + ".part")));
  kill(child, GetParam());
  int wstatus = 0;
  waitpid(child, &wstatus, 0);
  std::string log = read_all(err);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == GetParam()) << wstatus << log;
#endif
  EXPECT_EQ(logged_after(log, " E Interrupted: "),
            std::vector<std::string>{"1 logs converted, the log in progress left as it was"});
  EXPECT_EQ(list_tree(tmp.path()), (std::vector<std::string>{"a_CAN.csv", "a_LIN.csv", "big.mf4"}));
  expect_tables_at(tmp / "a", small.tables);
}

// Windows has one way to stop a console program, the same for both.
INSTANTIATE_TEST_SUITE_P(Signals, InterruptSignalTest, ::testing::Values(SIGINT, SIGTERM));

}  // namespace
}  // namespace quarrow::test
