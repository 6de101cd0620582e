// Hostile and damaged inputs that once took unbounded memory or time, or
// that probe the resource limits: each must end quickly with its status and
// a message that names the problem.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/csv_expect.h"
#include "io/container.h"
#include "io/memory_stream.h"
#include "mdfwriter/block_builder.h"
#include "mdfwriter/container_writer.h"
#include "support/process.h"

namespace quarrow::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Offsets inside a CG block's data section.
constexpr uint64_t kCgCycleCount = 8;
constexpr uint64_t kCgDataBytes = 24;

struct ClaimCase {
  const char* name;
  // Changes the log; may narrow the tables it must still give.
  std::function<void(Bytes&, const mdfw::BusLogMap&, ExpectedTables&)> damage;
  int status;
  const char* message;  // an error line that must appear; empty: none
};

class HostileClaimTest : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(HostileClaimTest, EndsInBoundedTimeAndMemory) {
  const ClaimCase& c = GetParam();
  std::vector<mdfw::BusFrame> frames = mixed_frames(30);
  mdfw::BusLogMap map;
  Bytes log = mdfw::write_bus_log(frames, {}, &map);
  ExpectedTables want = expected_tables(frames, {});
  c.damage(log, map, want);
  TempDir tmp;
  write_file(tmp / "log.mf4", log);
  ProcessResult r = run_process(QUARROW_BINARY, {tmp / "log.mf4"});
  EXPECT_EQ(r.status, c.status) << r.err;
  if (*c.message) EXPECT_NE(r.err.find(std::string(" E ") + c.message), std::string::npos) << r.err;
  expect_tables_at(tmp / "log", want);
}

const mdfw::GroupBlocks& group_of(const mdfw::BusLogMap& map, mdfw::FrameType type) {
  for (const mdfw::GroupBlocks& g : map.groups) {
    if (g.type == type) return g;
  }
  return map.groups.front();
}

INSTANTIATE_TEST_SUITE_P(
    Logs, HostileClaimTest,
    ::testing::Values(
        // The last data block, so that no other block lies behind its data.
        ClaimCase{"data_block_claims_a_terabyte",
                  [](Bytes& log, const mdfw::BusLogMap& map, ExpectedTables&) {
                    uint64_t last = 0;
                    for (const mdfw::GroupBlocks& g : map.groups) last = std::max(last, g.dt);
                    mdfw::put_u64(log, last + 8, uint64_t{1} << 40);
                  },
                  8, "Log is truncated"},
        // A record larger than the file: that group gives no rows.
        ClaimCase{"record_claims_two_gigabytes",
                  [](Bytes& log, const mdfw::BusLogMap& map, ExpectedTables& want) {
                    const mdfw::GroupBlocks& lin = group_of(map, mdfw::FrameType::lin);
                    mdfw::put_u32(log, mdfw::read_block(log, lin.cg).data + kCgDataBytes,
                                  0x7FFFFFF0);
                    want.lin.clear();
                  },
                  0, ""},
        // The count is not trusted for anything; the data block decides.
        ClaimCase{"groups_claim_2_to_the_32_records",
                  [](Bytes& log, const mdfw::BusLogMap& map, ExpectedTables&) {
                    for (const mdfw::GroupBlocks& g : map.groups) {
                      mdfw::put_u64(log, mdfw::read_block(log, g.cg).data + kCgCycleCount,
                                    uint64_t{1} << 32);
                    }
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
