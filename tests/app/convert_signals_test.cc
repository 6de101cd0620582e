// Whole runs with --dbc: the signals table matches a bit-by-bit decoding of the CAN table's rows;
// DBC files that cannot be read stop the run before any log.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "app/signals_expect.h"
#include "mdfwriter/container_writer.h"

namespace quarrow::test {
namespace {

class ConvertSignalsTest : public ConvertRunTest {
 protected:
  void SetUp() override { write_file(tmp_ / "vehicle.dbc", mdfw::dbc_traffic_text(messages_)); }

  // Multiplexed messages have their multiplexor first, which the reference decoding relies on.
  const std::vector<DbcMessageShape> messages_ = mdfw::dbc_traffic_messages(40, 5);
  const std::vector<mdfw::BusFrame> frames_ = mdfw::generate_frames(
      3000, {.seed = 11, .mix = {}, .out_of_order_percent = 10, .can_messages = messages_});
};

TEST_F(ConvertSignalsTest, WritesTheSignalsOfEveryDataFrameBesideItsCanTable) {
  const struct {
    const char* name;
    std::vector<std::string> options;
    bool compressed = false;
    int bus = 0;  // --dbc N:file
  } cases[] = {
      {"plain", {"--dbc", "vehicle.dbc"}},
      {"jobs", {"-j", "2", "--dbc", "vehicle.dbc"}},
      {"compressed, streamed", {"-b", "4096", "--dbc", "vehicle.dbc"}, true},
      {"bus 2 only", {"--dbc", "2:vehicle.dbc"}, false, 2},
      {"output folder, delete", {"-d", "-O", "out", "--dbc", "vehicle.dbc"}},
  };
  mdfw::BusLogOptions layout;
  layout.layout = mdfw::Layout::unsorted;
  const std::vector<uint8_t> bytes = mdfw::write_bus_log(frames_, layout);
  const ExpectedTables tables = expected_tables(frames_, layout);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* folder : {"in", "out"}) std::filesystem::remove_all(tmp_ / folder);
    std::filesystem::create_directories(tmp_ / "out");
    const std::string log = in(c.compressed ? "trip.mfc" : "trip.mf4");
    write_file(log, c.compressed ? mdfw::wrap_compressed(bytes, 10, 5, true, 0) : bytes);
    std::vector<std::string> args = c.options;
    args.push_back(log);
    ProcessResult r = convert(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string base = c.options.front() == "-d" ? tmp_ / "out/trip" : in("trip");
    expect_tables_at(base, tables);
    const std::string signals = expected_signals(tables.can, messages_, c.bus);
    EXPECT_GT(signals.size(), c.bus ? 100000u : 200000u);
    EXPECT_EQ(read_file(base + "_CAN_signals.csv"), signals);
    EXPECT_EQ(file_exists(log), c.options.front() != "-d");
  }
}

TEST_F(ConvertSignalsTest, ADbcFileThatCannotBeReadStopsTheRunBeforeAnyLog) {
  write_file(in("trip.mf4"), mdfw::write_bus_log(frames_, {}));
  write_file(tmp_ / "cut.dbc", mdfw::dbc_traffic_text(messages_).substr(0, 300));
  write_file(tmp_ / "big.dbc", std::string((64 << 20) + 1, ' '));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--dbc", "missing.dbc"}, "missing.dbc: the file cannot be opened"},
      // Only digits before the first colon make a bus prefix.
      {{"--dbc", "C:missing.dbc"}, "C:missing.dbc: the file cannot be opened"},
      {{"--dbc", "12:missing.dbc"}, "missing.dbc: the file cannot be opened"},
      {{"--dbc", "vehicle.dbc", "--dbc", "1:big.dbc"}, "big.dbc: larger than 64 MiB"},
      {{"--dbc", "cut.dbc"}, "cut.dbc: line "},
  };
  for (const auto& [options, message] : cases) {
    std::vector<std::string> args = options;
    args.push_back(in("trip.mf4"));
    ProcessResult r = convert(args);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_NE(r.err.find("Could not read DBC file " + message), std::string::npos) << r.err;
    EXPECT_EQ(list_tree(tmp_ / "in"), std::vector<std::string>{"trip.mf4"});
  }
  EXPECT_EQ(convert({"--dbc", "256:vehicle.dbc", in("trip.mf4")}).status, 131);
}

}  // namespace
}  // namespace quarrow::test
