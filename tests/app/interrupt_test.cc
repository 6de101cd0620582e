// A run stopped part-way: no table under its final name unless complete, no
// temporary table left, the input kept; leftovers of processes that died
// are removed by the next run that writes the same table.

#include "io/interrupt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/batch.h"
#include "app/csv_expect.h"
#include "app/settings.h"
#include "app/signals_expect.h"
#include "csv/csv_sink.h"
#include "dbc/dbc_file.h"
#include "io/folder.h"
#include "log/log.h"
#include "support/process.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace quarrow::test {
namespace {

namespace fs = std::filesystem;

// What an interruption does, at the moment a write of the tables brings
// their bytes past `stop_at`: the handler's own call.
struct Stopper {
  int64_t stop_at = -1;  // -1: never
  int64_t written = 0;
};

class StoppingStream : public ByteStream {
 public:
  StoppingStream(ByteStream* inner, Stopper* stop) : inner_(inner), stop_(stop) {}
  ~StoppingStream() override { stream_close(inner_); }
  int64_t write(const void* b, uint64_t n) override {
    int64_t before = stop_->written;
    stop_->written += static_cast<int64_t>(n);
    if (before <= stop_->stop_at && stop_->stop_at < stop_->written) (void)interrupt_signalled(2);
    return stream_write(inner_, b, n);
  }
  int64_t close() override {
    int64_t result = stream_close(inner_);
    inner_ = nullptr;
    return result;
  }

 private:
  ByteStream* inner_;
  Stopper* stop_;
};

class StoppingFolder : public Folder {
 public:
  StoppingFolder(std::unique_ptr<Folder> inner, Stopper* stop)
      : inner_(std::move(inner)), stop_(stop) {
    root_.assign(inner_->root());
  }
  bool stat(StringView p, PathInfo* info) override { return inner_->stat(p, info); }
  void list(StringView p, DirListing* listing) override { inner_->list(p, listing); }
  bool make_folder(StringView p) override { return inner_->make_folder(p); }
  bool remove(StringView p) override { return inner_->remove(p); }
  bool rename(StringView from, StringView to) override { return inner_->rename(from, to); }
  bool flush(StringView p) override { return inner_->flush(p); }
  ByteStream* open_file(StringView p, uint32_t flags) override {
    ByteStream* inner = inner_->open_file(p, flags);
    return inner && (flags & FS_OPEN_WRITE) ? new StoppingStream(inner, stop_) : inner;
  }

 private:
  std::unique_ptr<Folder> inner_;
  Stopper* stop_;
};

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(utf8_of(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(InterruptTest, StoppedAfterAnyByteLeavesNoTableAndNoTemporary) {
  ScopedLogLevel errors_only(LOG_ERROR);
  TempDir tmp;
  // Few rows: every byte of the tables is a point to stop at.
  const std::vector<mdfw::BusFrame> frames = {
      mdfw::can_data(0.1, 0x10, {1, 2}), mdfw::can_remote(0.2, 0x11, 2),
      mdfw::can_data(0.3, 0x1ABCDEF, {3}), mdfw::lin_frame(0.15, 5, {4, 5})};
  SampleLog log = {mdfw::write_bus_log(frames, {}), expected_tables(frames, {})};
  // And a signals table, from the first frame.
  std::vector<DbcMessageShape> messages(1);
  messages[0].id = 0x10;
  messages[0].name = "M";
  messages[0].signals = {{"S", 0, 12, true, false, 0, 1, 0, ""}};
  const std::string dbc = mdfw::dbc_traffic_text(messages);
  const std::string signals = expected_signals(log.tables.can, messages);
  auto convert = [&](Stopper* stop) {
    fs::remove_all(tmp / "out");
    write_file(tmp / "log.mf4", log.bytes);
    ConverterSettings settings;
    settings.delete_converted = true;
    DbcFile file;
    SsoString error;
    settings.signals = std::make_unique<SignalDecoder>();
    EXPECT_TRUE(dbc_parse(dbc.data(), dbc.size(), "m.dbc", &file, &error) &&
                settings.signals->add(&file, -1));
    StoppingFolder folder(folder_open(tmp.path().c_str()), stop);
    std::unique_ptr<CsvSink> sink = csv_sink_create(&folder, &folder, &settings);
    int status = convert_path(sink.get(), "log.mf4", "out/log");
    interrupt_set_for_test(false);
    return status;
  };
  Stopper whole;
  ASSERT_EQ(convert(&whole), 0);
  expect_tables_at(tmp / "out/log", log.tables);
  EXPECT_EQ(read_file(tmp / "out/log_CAN_signals.csv"), signals);
  ASSERT_EQ(whole.written,
            static_cast<int64_t>(log.tables.can.size() + log.tables.lin.size() + signals.size()));
  for (int64_t n = 0; n < whole.written; ++n) {
    Stopper stop;
    stop.stop_at = n;
    EXPECT_NE(convert(&stop), 0) << n;
    EXPECT_EQ(names_in(tmp / "out"), std::vector<std::string>{}) << n;
    EXPECT_TRUE(file_exists(tmp / "log.mf4")) << n;
  }
}

// Leftovers: of the table written, by a process gone (removed, with a
// warning); by a running process, or of another table (kept).
TEST(InterruptTest, LeftoversOfDeadProcessesAreRemovedWhenTheTableIsWritten) {
  TempDir tmp;
  fs::create_directories(tmp / "in_out");
  write_file(tmp / "in/x.mf4", sample_log(2).bytes);
  const std::string gone = "2147483646", running = std::to_string(process_id());
  for (const std::string& name :
       {".x_CAN.csv." + gone + ".part", ".x_LIN.csv." + gone + ".part",
        ".x_CAN.csv." + running + ".part", ".y_CAN.csv." + gone + ".part"}) {
    write_file(tmp / ("in_out/" + name), "partial");
  }
  ProcessResult r = run_process(QUARROW_BINARY, {"--verbosity", "2", "in"}, tmp.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(tmp / "in_out"),
            (std::vector<std::string>{".x_CAN.csv." + running + ".part",
                                      ".y_CAN.csv." + gone + ".part", "x_CAN.csv", "x_LIN.csv"}));
  EXPECT_EQ(logged_after(r.err, " W Removed ").size(), 2u) << r.err;
}

void wait_for_file(const std::string& path) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!file_exists(path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(file_exists(path));
}

// The real thing: a run of two logs stopped while the second one's table is
// written.
class InterruptSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(InterruptSignalTest, EndsByTheSignalKeepingWhatWasDone) {
  TempDir tmp;
  mdfw::GeneratorOptions generator;
  generator.mix = {1, 0, 0, 0, 0, 0};  // CAN data frames only
  mdfw::BusLogOptions options;
  write_file(tmp / "big.mf4",
             mdfw::write_bus_log(mdfw::generate_frames(600'000, generator), options));
  SampleLog small = sample_log(6);
  write_file(tmp / "a.mf4", small.bytes);
  const std::vector<std::string> args = {"-d", "-b", "65536", "a.mf4", "big.mf4"};
#ifdef _WIN32
  // Console events travel within a console: the program shares one with the
  // test, in a process group of its own that receives Ctrl-Break alone.
  std::wstring line;
  append_quoted(&line, wide(QUARROW_BINARY));
  for (const std::string& a : args) {
    line += L' ';
    append_quoted(&line, wide(a));
  }
  HANDLE err = scratch_file(true);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::wstring cwd = wide(tmp.path());
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                             nullptr, cwd.c_str(), &si, &pi));
  const std::string part = tmp / (".big_CAN.csv." + std::to_string(pi.dwProcessId) + ".part");
  wait_for_file(part);
  bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId);
  DWORD error = GetLastError();
  if (!sent) TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  std::string log = read_all(err);
  CloseHandle(err);
  if (!sent)
    GTEST_SKIP() << "GenerateConsoleCtrlEvent cannot reach the program here (error " << error
                 << ")";
  if (code == 0) GTEST_SKIP() << "the console event did not reach the program";
  EXPECT_EQ(code, 0xC000013Au) << log;
#else
  int err_fd = scratch_fd();
  pid_t pid = fork();
  if (pid == 0) {
    // Whoever started the tests may ignore the signal; the run must not.
    signal(GetParam(), SIG_DFL);
    dup2(err_fd, 2);
    if (chdir(tmp.path().c_str()) != 0) _exit(127);
    std::vector<char*> argv = {const_cast<char*>(QUARROW_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUARROW_BINARY, argv.data());
    _exit(127);
  }
  wait_for_file(tmp / (".big_CAN.csv." + std::to_string(pid) + ".part"));
  kill(pid, GetParam());
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  std::string log = read_all_fd(err_fd);
  close(err_fd);
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == GetParam()) << wstatus << log;
#endif
  EXPECT_EQ(logged_after(log, " E Interrupted: "),
            std::vector<std::string>{"1 logs converted, the log in progress left as it was"});
  EXPECT_EQ(names_in(tmp.path()), (std::vector<std::string>{"a_CAN.csv", "a_LIN.csv", "big.mf4"}));
  expect_tables_at(tmp / "a", small.tables);
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Signals, InterruptSignalTest, ::testing::Values(0));
#else
INSTANTIATE_TEST_SUITE_P(Signals, InterruptSignalTest, ::testing::Values(SIGINT, SIGTERM));
#endif

}  // namespace
}  // namespace quarrow::test
