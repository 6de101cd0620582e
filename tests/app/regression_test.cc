// Hostile and damaged inputs that once took unbounded memory or time, or
// that probe the resource limits: each must end quickly with its status and
// a message that names the problem.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "io/container.h"
#include "io/memory_stream.h"
#include "mdfwriter/block_builder.h"
#include "mdfwriter/container_writer.h"
#include "support/platform.h"
#include "support/process.h"

namespace quarrow::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Offsets inside a CG block's data section.
constexpr uint64_t kCgCycleCount = 8;
constexpr uint64_t kCgDataBytes = 24;

struct ClaimCase {
  const char* name;
  // Changes the log; returns the frame type whose rows it loses, if any.
  std::function<std::optional<mdfw::FrameType>(Bytes&, const mdfw::BusLogMap&)> damage;
  int status;
  const char* message;  // an error line that must appear; empty: none
};

class HostileClaimTest : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(HostileClaimTest, EndsInBoundedTimeAndMemory) {
  const ClaimCase& c = GetParam();
  std::vector<mdfw::BusFrame> frames = mixed_frames(30);
  mdfw::BusLogMap map;
  Bytes log = mdfw::write_bus_log(frames, {}, &map);
  if (std::optional<mdfw::FrameType> lost = c.damage(log, map)) {
    std::erase_if(frames, [&](const mdfw::BusFrame& f) { return f.type == *lost; });
  }
  TempDir tmp;
  write_file(tmp / "log.mf4", log);
  // Under the sanitizers, a buffer sized by a claim rather than by the bytes
  // present aborts the converter instead of passing unnoticed.
  const char* options = std::getenv("ASAN_OPTIONS");
  const std::string saved = options ? options : "";
  set_environment("ASAN_OPTIONS", (saved + ":max_allocation_size_mb=256").c_str());
  ProcessResult r = run_process(QUARROW_BINARY, {tmp / "log.mf4"});
  set_environment("ASAN_OPTIONS", options ? saved.c_str() : nullptr);
  EXPECT_EQ(r.status, c.status) << r.err;
  if (*c.message) {
    EXPECT_NE(r.err.find(std::string(" E ") + c.message), std::string::npos) << r.err;
  }
  expect_tables_at(tmp / "log", expected_tables(frames, {}));
}

// The group whose data block comes last, so that no other block lies behind
// its data.
const mdfw::GroupBlocks& last_group(const mdfw::BusLogMap& map) {
  const mdfw::GroupBlocks* last = &map.groups.front();
  for (const mdfw::GroupBlocks& g : map.groups) {
    if (g.dt > last->dt) last = &g;
  }
  return *last;
}

INSTANTIATE_TEST_SUITE_P(
    Logs, HostileClaimTest,
    ::testing::Values(
        ClaimCase{"data_block_claims_a_terabyte",
                  [](Bytes& log, const mdfw::BusLogMap& map) -> std::optional<mdfw::FrameType> {
                    mdfw::put_u64(log, last_group(map).dt + 8, uint64_t{1} << 40);
                    return std::nullopt;
                  },
                  8, "Log is truncated"},
        // Found by fuzzing: the record buffer was sized by both claims. The
        // LIN group, which the writer wants: its records no longer fit.
        ClaimCase{"two_gigabyte_records_in_a_terabyte_data_block",
                  [](Bytes& log, const mdfw::BusLogMap& map) -> std::optional<mdfw::FrameType> {
                    const mdfw::GroupBlocks* g = &map.groups.front();
                    for (const mdfw::GroupBlocks& each : map.groups) {
                      if (each.type == mdfw::FrameType::lin) g = &each;
                    }
                    mdfw::put_u64(log, g->dt + 8, uint64_t{1} << 40);
                    mdfw::put_u32(log, mdfw::read_block(log, g->cg).data + kCgDataBytes,
                                  0x7FFFFFF0);
                    return g->type;
                  },
                  8, "Log is truncated"},
        // The count is not trusted for anything; the data block decides.
        ClaimCase{"groups_claim_2_to_the_32_records",
                  [](Bytes& log, const mdfw::BusLogMap& map) -> std::optional<mdfw::FrameType> {
                    for (const mdfw::GroupBlocks& g : map.groups) {
                      mdfw::put_u64(log, mdfw::read_block(log, g.cg).data + kCgCycleCount,
                                    uint64_t{1} << 32);
                    }
                    return std::nullopt;
                  },
                  0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The iteration count is checked before any key derivation: four billion
// rounds would take hours.
TEST(ResourceLimitTest, RefusesAHugeKeyDerivationAtOnce) {
  TempDir tmp;
  mdfw::EncryptOptions options;
  options.password = "pw";
  Bytes sealed = mdfw::wrap_encrypted(sample_log().bytes, options);
  const uint32_t iterations = 4'000'000'000u;
  for (int i = 0; i < 4; ++i) sealed[32 + i] = static_cast<uint8_t>(iterations >> (24 - 8 * i));
  write_file(tmp / "log.mfe", sealed);
  write_file(tmp / "passwords.json", std::string(R"({"default": "pw"})"));
  ProcessResult r = run_process(QUARROW_BINARY, {tmp / "log.mfe"}, tmp.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(logged_after(r.err, " E "),
            (std::vector<std::string>{
                "Key derivation asks for 4000000000 iterations, more than the limit of 10000000",
                "Could not decrypt file", "Error during conversion of log.mfe"}));
}

// Refused once more than the limit has arrived; the file is sparse, so the
// test costs little.
TEST(ResourceLimitTest, RefusesAPasswordFileOf100Megabytes) {
  TempDir tmp;
  write_file(tmp / "log.mf4", sample_log().bytes);
  write_file(tmp / "keys.json", std::string(R"({"default": "pw"})"));
  std::filesystem::resize_file(tmp / "keys.json", 100 << 20);
  ProcessResult r = run_process(QUARROW_BINARY, {"-p", tmp / "keys.json", tmp / "log.mf4"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is larger than the limit of 16777216 bytes"), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(tmp / "log_CAN.csv"));
}

// A payload of a few hundred bytes that expands to megabytes stops at the
// limit; content of exactly the limit passes.
TEST(ResourceLimitTest, StopsDecompressionAtTheContentLimit) {
  const Bytes content(1 << 20, 0);
  const Bytes packed = mdfw::wrap_compressed(content, 15, 14, true);
  ASSERT_LT(packed.size(), 1024u);
  for (uint64_t limit : {uint64_t{1} << 20, (uint64_t{1} << 20) - 1}) {
    MemoryStream* in = memory_stream_create();
    stream_write(in, packed.data(), packed.size());
    ContainerHeader header;
    ASSERT_TRUE(container_read_header(in, &header));
    testing::internal::CaptureStderr();
    ByteStream* out = compressed_container_open(in, header, limit);
    std::string log = testing::internal::GetCapturedStderr();
    const bool fits = limit >= content.size();
    EXPECT_EQ(out != nullptr, fits) << limit;
    EXPECT_EQ(log.find("Decompressed content exceeds the limit") != std::string::npos, !fits);
    stream_close(out);
    stream_close(in);
  }
}

}  // namespace
}  // namespace quarrow::test
