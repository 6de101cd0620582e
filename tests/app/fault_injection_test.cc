// Makes the N-th file-system or stream operation of a small conversion fail,
// for every N, and checks that the run then fails with its status and
// message, leaves no table that is not complete, keeps its input, and
// releases every file it opened (LeakSanitizer checks the memory).

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/batch.h"
#include "app/csv_expect.h"
#include "app/settings.h"
#include "app/signals_expect.h"
#include "csv/csv_sink.h"
#include "dbc/dbc_file.h"
#include "log/log.h"
#include "mdfwriter/container_writer.h"
#include "support/faulty_folder.h"
#include "support/platform.h"

namespace quarrow::test {
namespace {

// Counts operations across a folder and every stream it opened; the one
// numbered fail_at fails.
struct FaultPlan {
  int64_t fail_at = 0;  // 0: none fails
  int64_t count = 0;
  std::string failed;  // the operation that failed, for the report
  bool fails(const char* op) {
    if (++count != fail_at) return false;
    failed = op;
    return true;
  }
};

// True when part has whole's header and only rows of whole, in whole's
// order: a table written from some of the frames.
bool rows_in_order(const std::string& part, const std::string& whole) {
  size_t at = 0;
  size_t from = 0;
  while (from < part.size()) {
    size_t end = part.find('\n', from);
    std::string line = part.substr(from, end - from + 1);
    at = whole.find(line, at);
    if (at == std::string::npos || (at > 0 && whole[at - 1] != '\n')) return false;
    at += line.size();
    from = end + 1;
  }
  return true;
}

int part_files(const std::filesystem::path& folder) {
  int n = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    n += entry.path().extension() == ".part";
  }
  return n;
}

struct SweepCase {
  const char* name;
  std::vector<uint8_t> (*wrap)(const std::vector<uint8_t>& log);
  int64_t buffer_size;
  int unwrap_status;  // what a failure inside the container gives
  const char* unwrap_message;
  bool signals = false;  // decode the frames into a signals table too
};

// Messages of the sample log's hand-made frames: a classic one and an
// extended CAN FD one, with a signal in its last bytes.
std::vector<DbcMessageShape> sweep_messages() {
  std::vector<DbcMessageShape> m(2);
  m[0].id = 0x123;
  m[0].name = "Engine";
  m[0].signals = {{"Speed", 0, 16, true, false, 0, 0.5, 0, "km/h"},
                  {"Temp", 23, 8, false, true, 0, 1, -40, "degC"}};
  m[1].id = 0x80000000u | 0x18FF0001u;
  m[1].name = "Body";
  m[1].size = 64;
  m[1].signals = {{"Level", 500, 12, true, false, 0, 1, 0, ""}};
  return m;
}

std::vector<uint8_t> plain(const std::vector<uint8_t>& log) {
  return log;
}
std::vector<uint8_t> compressed(const std::vector<uint8_t>& log) {
  return mdfw::wrap_compressed(log, 8, 4, true);
}
std::vector<uint8_t> encrypted(const std::vector<uint8_t>& log) {
  mdfw::EncryptOptions options;
  options.password = "pw";
  options.iterations = 2;
  return mdfw::wrap_encrypted(mdfw::wrap_compressed(log, 8, 4, false), options);
}

class FaultSweepTest : public ::testing::TestWithParam<SweepCase> {
 protected:
  // One conversion of log.mf4 into out/, deleting the input after success.
  int convert(FaultPlan* plan) {
    std::filesystem::remove_all(tmp_ / "out");
    write_file(tmp_ / "log.mf4", input_);
    ConverterSettings settings;
    settings.delete_converted = true;
    settings.buffer_size = GetParam().buffer_size;
    SsoString key, value;
    key.assign("default");
    value.assign("pw");
    settings.passwords.insert(std::move(key)).slot->value = std::move(value);
    if (GetParam().signals) {
      const std::string dbc = mdfw::dbc_traffic_text(sweep_messages());
      DbcFile file;
      SsoString error;
      settings.signals = std::make_unique<SignalDecoder>();
      if (!dbc_parse(dbc.data(), dbc.size(), "sweep.dbc", &file, &error) ||
          !settings.signals->add(&file, -1)) {
        return -1;
      }
    }
    FaultyFolder folder(tmp_.path(),
                        [plan](const char* op, const std::string&) { return plan->fails(op); });
    std::unique_ptr<CsvSink> sink = csv_sink_create(&folder, &folder, &settings);
    return sink ? convert_path(sink.get(), "log.mf4", "out/log") : -1;
  }

  TempDir tmp_;
  SampleLog log_ = sample_log(5);
  std::vector<uint8_t> input_ = GetParam().wrap(log_.bytes);
  const std::string signals_ =
      GetParam().signals ? expected_signals(log_.tables.can, sweep_messages()) : "";
};

TEST_P(FaultSweepTest, EveryFailureIsReportedAndLeavesNoPartialTable) {
  ScopedLogLevel errors_only(LOG_ERROR);
  FaultPlan clean;
  ASSERT_EQ(convert(&clean), 0);
  expect_tables_at(tmp_ / "out/log", log_.tables);
  EXPECT_EQ(read_file(tmp_ / "out/log_CAN_signals.csv"), signals_);
  EXPECT_EQ(signals_.empty(), !GetParam().signals);
  const size_t descriptors = open_handles();

  for (int64_t n = 1; n <= clean.count; ++n) {
    FaultPlan plan;
    plan.fail_at = n;
    testing::internal::CaptureStderr();
    int status = convert(&plan);
    std::string log = testing::internal::GetCapturedStderr();
    SCOPED_TRACE("operation " + std::to_string(n) + " (" + plan.failed + ") failed\n" + log);
    // A failure either did not matter (a size query, the input's removal)
    // or it fails the file with a message. A table is then whole or absent,
    // except the rows read before the records became unreadable, which are
    // kept on purpose.
    if (status == 0) {
      expect_tables_at(tmp_ / "out/log", log_.tables);
      EXPECT_EQ(read_file(tmp_ / "out/log_CAN_signals.csv"), signals_);
      EXPECT_EQ(file_exists(tmp_ / "log.mf4"), plan.failed == "remove");
      continue;
    }
    const SweepCase& c = GetParam();
    EXPECT_TRUE(status == 8 || status == c.unwrap_status || status == 129) << status;
    const bool walk_failed = status == 129;  // the input could not be queried
    EXPECT_NE(log.find(status == c.unwrap_status ? c.unwrap_message
                       : walk_failed             ? " F "
                                                 : " E "),
              std::string::npos);
    EXPECT_EQ(read_file(tmp_ / "log.mf4"), std::string(input_.begin(), input_.end()));
    const bool lost_rows = log.find("Could not read the records") != std::string::npos;
    const std::string can = read_file(tmp_ / "out/log_CAN.csv");
    const std::string lin = read_file(tmp_ / "out/log_LIN.csv");
    EXPECT_TRUE(can.empty() || can == log_.tables.can ||
                (lost_rows && rows_in_order(can, log_.tables.can)));
    EXPECT_TRUE(lin.empty() || lin == log_.tables.lin ||
                (lost_rows && rows_in_order(lin, log_.tables.lin)));
    const std::string signals = read_file(tmp_ / "out/log_CAN_signals.csv");
    EXPECT_TRUE(signals.empty() || signals == signals_ ||
                (lost_rows && rows_in_order(signals, signals_)));
    // Only a temporary table that could not be removed stays, hidden.
    if (plan.failed != "remove") {
      EXPECT_EQ(part_files(tmp_ / "out"), 0);
    }
  }
  EXPECT_EQ(open_handles(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, FaultSweepTest,
    ::testing::Values(SweepCase{"plain_whole", plain, -1, 8, " E "},
                      SweepCase{"plain_small_buffer", plain, 512, 8, " E "},
                      SweepCase{"compressed", compressed, 256, 4, "Could not decompress file"},
                      SweepCase{"encrypted", encrypted, 256, 2, "Could not decrypt file"},
                      SweepCase{"signals", plain, -1, 8, " E ", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quarrow::test
