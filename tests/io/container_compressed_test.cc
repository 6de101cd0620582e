#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/container.h"
#include "io/container_test_support.h"
#include "io/file_stream.h"
#include "mdfwriter/container_writer.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

const char kChecksumMessage[] = "Could not validate checksum, expected %08X but found %08X";
const char kMissingFooter[] = "Expected to read out CRC from footer, but found none";

std::string checksum_message(uint32_t stored, uint32_t computed) {
  char buf[128];
  std::snprintf(buf, sizeof(buf), kChecksumMessage, stored, computed);
  return buf;
}

std::vector<uint8_t> header_bytes(uint8_t flag, uint8_t checksum_flag, uint8_t type,
                                  uint8_t version, uint32_t device_id) {
  std::vector<uint8_t> h = bytes_of("Generic File");
  h.insert(h.end(), {flag, checksum_flag, type, version});
  for (int shift = 24; shift >= 0; shift -= 8)
    h.push_back(static_cast<uint8_t>(device_id >> shift));
  return h;
}

void append_be32(std::vector<uint8_t>* v, uint32_t x) {
  for (int shift = 24; shift >= 0; shift -= 8) v->push_back(static_cast<uint8_t>(x >> shift));
}

// A compressed container assembled by hand: header, both fields, payload and
// optionally a footer.
std::vector<uint8_t> compressed(uint32_t lookahead, uint32_t window,
                                const std::vector<uint8_t>& payload, bool footer = false,
                                uint32_t crc = 0) {
  std::vector<uint8_t> file = header_bytes(footer, footer, 34, 1, 0);
  append_be32(&file, lookahead);
  append_be32(&file, window);
  file.insert(file.end(), payload.begin(), payload.end());
  if (footer) append_be32(&file, crc);
  return file;
}

// Reads the header and opens the container; null when either fails.
StreamPtr open_compressed(ByteStream* stream) {
  ContainerHeader header;
  if (!container_read_header(stream, &header)) return nullptr;
  return StreamPtr(compressed_container_open(stream, header));
}

TEST(ContainerHeaderTest, ReadsFieldsInFileOrder) {
  StreamPtr s = memory_with(header_bytes(1, 0, 17, 3, 0x1A2B3C4D));
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  EXPECT_EQ(std::string(h.magic, 12), "Generic File");
  EXPECT_EQ(h.flag, 1);
  EXPECT_EQ(h.checksum_flag, 0);
  EXPECT_EQ(h.type, 17);
  EXPECT_EQ(h.version, 3);
  EXPECT_EQ(h.device_id, 0x1A2B3C4Du);
}

TEST(ContainerHeaderTest, ShortFilesAreNotContainers) {
  std::vector<uint8_t> full = header_bytes(0, 0, 34, 1, 7);
  for (size_t n = 0; n < full.size(); ++n) {
    StreamPtr s =
        memory_with(std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(n)));
    ContainerHeader h;
    EXPECT_FALSE(container_read_header(s.get(), &h)) << n;
  }
  ContainerHeader h;
  EXPECT_FALSE(container_read_header(nullptr, &h));
}

TEST(ContainerHeaderTest, EveryMagicByteMatters) {
  for (size_t i = 0; i < 12; ++i) {
    std::vector<uint8_t> bytes = header_bytes(0, 0, 34, 1, 7);
    bytes[i] ^= 0x20;
    StreamPtr s = memory_with(bytes);
    ContainerHeader h;
    EXPECT_FALSE(container_read_header(s.get(), &h)) << i;
  }
}

TEST(ContainerHeaderTest, ReadsFromTheStartWhateverThePosition) {
  StreamPtr s = memory_with(header_bytes(0, 0, 99, 1, 7));
  stream_seek(s.get(), 15, STREAM_SEEK_SET);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  EXPECT_EQ(h.type, 99);  // type is not judged here
}

struct Refusal {
  const char* name;
  uint8_t flag, checksum_flag, type, version;
};

TEST(CompressedContainerTest, RefusesOtherHeaders) {
  const Refusal cases[] = {{"version 2", 0, 0, 34, 1 + 1},
                           {"flag without checksum", 1, 0, 34, 1},
                           {"checksum without flag", 0, 1, 34, 1},
                           {"flag 2", 2, 2, 34, 1},
                           {"encrypted type", 0, 0, 17, 1}};
  std::vector<uint8_t> body = compressed(4, 256, {0xA0, 0x80});
  for (const Refusal& c : cases) {
    std::vector<uint8_t> file = body;
    file[12] = c.flag;
    file[13] = c.checksum_flag;
    file[14] = c.type;
    file[15] = c.version;
    StreamPtr s = memory_with(file);
    EXPECT_EQ(open_compressed(s.get()), nullptr) << c.name;
  }
}

struct Fields {
  uint32_t lookahead, window;
  bool accepted;
};

TEST(CompressedContainerTest, WindowAndLookaheadFields) {
  const Fields cases[] =
      {
          {4, 256, true},     {4, 16, false},  {4, 65536, false},
          {4, 0, false},      {3, 16, true},   {14, 32768, true},
          {15, 32768, false}, {2, 256, false}, {0x104, 256, true},  // only the lowest byte counts
          {4, 0x300, true},  // the lowest set bit gives the window
      };
  for (const Fields& c : cases) {
    // Literal "A" in the right number of bits for any window: 1 01000001.
    StreamPtr s = memory_with(compressed(c.lookahead, c.window, {0xA0, 0x80}));
    StreamPtr out = open_compressed(s.get());
    EXPECT_EQ(out != nullptr, c.accepted) << c.lookahead << "/" << c.window;
    if (out) {
      EXPECT_EQ(read_all(out.get()), bytes_of("A"));
    }
  }
}

TEST(CompressedContainerTest, ShortParameterFieldsAreRefusedSilently) {
  std::vector<uint8_t> file = compressed(4, 256, {});
  for (size_t n = 20; n < 28; ++n) {
    StreamPtr s =
        memory_with(std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(n)));
    StderrCapture capture;
    EXPECT_EQ(open_compressed(s.get()), nullptr) << n;
    EXPECT_EQ(capture.text(), "") << n;
  }
}

TEST(CompressedContainerTest, ChecksumCoversThePayloadAsStored) {
  // The payload need not decode to anything sensible; its bytes are checked.
  StreamPtr s = memory_with(compressed(4, 256, bytes_of("123456789"), true, 0x340BC6D9));
  StderrCapture capture;
  StreamPtr out = open_compressed(s.get());
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(capture.text(), "");
}

TEST(CompressedContainerTest, ChecksumMismatchNamesBothValues) {
  StreamPtr s = memory_with(compressed(4, 256, bytes_of("123456789"), true, 0x340BC6D8));
  StderrCapture capture;
  EXPECT_EQ(open_compressed(s.get()), nullptr);
  std::string log = capture.text();
  EXPECT_NE(log.find(checksum_message(0x340BC6D8, 0x340BC6D9)), std::string::npos) << log;
  EXPECT_NE(log.find(" E Could not validate checksum, expected 340BC6D8 but found 340BC6D9\n"),
            std::string::npos)
      << log;
}

TEST(CompressedContainerTest, UnreadableFooterIsReportedMissing) {
  std::vector<uint8_t> file = compressed(4, 256, {0xA0, 0x80}, true, 0);
  // The size says there is a footer, but reading stops just before it.
  FaultyReadStream s(file, static_cast<int64_t>(file.size()) - 4, 0);
  StderrCapture capture;
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(&s, &h));
  EXPECT_EQ(compressed_container_open(&s, h), nullptr);
  EXPECT_NE(capture.text().find(kMissingFooter), std::string::npos) << capture.text();
}

TEST(CompressedContainerTest, FileTooShortForAFooterIsReportedMissing) {
  std::vector<uint8_t> file = compressed(4, 256, {}, false);
  file[12] = file[13] = 1;
  for (int extra = 0; extra < 4; ++extra) {
    StreamPtr s = memory_with(file);
    StderrCapture capture;
    EXPECT_EQ(open_compressed(s.get()), nullptr) << extra;
    EXPECT_NE(capture.text().find(kMissingFooter), std::string::npos) << capture.text();
    file.push_back(0xFF);
  }
}

TEST(CompressedContainerTest, EmptyPayload) {
  StreamPtr plain = memory_with(compressed(4, 256, {}));
  StreamPtr out = open_compressed(plain.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(stream_size(out.get()), 0);
  // With a footer the register of no bytes is the initial value.
  StreamPtr checked = memory_with(compressed(4, 256, {}, true, 0xFFFFFFFF));
  EXPECT_NE(open_compressed(checked.get()), nullptr);
}

struct RoundTrip {
  int w, l;
  bool crc;
  size_t size;
};

TEST(CompressedContainerTest, WriterOutputRoundTrips) {
  const RoundTrip cases[] = {{8, 4, true, 5000},     {8, 4, false, 5000}, {4, 3, true, 3000},
                             {15, 14, true, 300000}, {12, 9, false, 0},   {10, 3, true, 1}};
  for (const RoundTrip& c : cases) {
    std::vector<uint8_t> content = compressible_bytes(c.size, static_cast<uint32_t>(c.w));
    StreamPtr s = memory_with(mdfw::wrap_compressed(content, c.w, c.l, c.crc, 0xCAFE0001));
    ContainerHeader h;
    ASSERT_TRUE(container_read_header(s.get(), &h));
    EXPECT_EQ(h.type, CONTAINER_COMPRESSED);
    EXPECT_EQ(h.device_id, 0xCAFE0001u);
    std::unique_ptr<ContainerStream, StreamCloser> out(compressed_container_open(s.get(), h));
    ASSERT_NE(out, nullptr) << c.w << "/" << c.l;
    EXPECT_EQ(out->compression.lookahead, static_cast<uint32_t>(c.l));
    EXPECT_EQ(out->compression.window_size, 1u << c.w);
    EXPECT_EQ(out->header().device_id, 0xCAFE0001u);
    EXPECT_EQ(read_all(out.get()), content) << c.w << "/" << c.l;
    // The given stream is still open and usable.
    EXPECT_EQ(stream_seek(s.get(), 0, STREAM_SEEK_SET), 0);
  }
}

TEST(CompressedContainerTest, ThousandfoldExpansion) {
  std::vector<uint8_t> zeros(4 << 20, 0);
  std::vector<uint8_t> file = mdfw::wrap_compressed(zeros, 15, 14, true);
  ASSERT_LT(file.size() * 1000, zeros.size());
  StreamPtr s = memory_with(file);
  StreamPtr out = open_compressed(s.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(read_all(out.get()), zeros);
}

TEST(CompressedContainerTest, FlippedPayloadBitFailsTheChecksum) {
  std::vector<uint8_t> file = mdfw::wrap_compressed(compressible_bytes(4000, 9), 8, 4, true);
  file[40] ^= 0x10;
  StreamPtr s = memory_with(file);
  StderrCapture capture;
  EXPECT_EQ(open_compressed(s.get()), nullptr);
  EXPECT_NE(capture.text().find("Could not validate checksum, expected "), std::string::npos);
}

TEST(CompressedContainerTest, FailedWriteFailsTheDecompression) {
  std::vector<uint8_t> content = compressible_bytes(50000, 11);
  StreamPtr s = memory_with(mdfw::wrap_compressed(content, 10, 5, false));
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(s.get(), &h));
  FullStream full(20000);
  EXPECT_FALSE(compressed_container_decode(s.get(), h, &full));
  FullStream roomy(content.size());
  CompressionFields fields;
  EXPECT_TRUE(compressed_container_decode(s.get(), h, &roomy, &fields));
  EXPECT_EQ(roomy.written(), content.size());
  EXPECT_EQ(fields.window_size, 1024u);
  EXPECT_EQ(fields.lookahead, 5u);
}

TEST(CompressedContainerTest, ReadErrorInThePayloadFailsWithoutAFooter) {
  std::vector<uint8_t> file = mdfw::wrap_compressed(compressible_bytes(50000, 12), 10, 5, false);
  FaultyReadStream s(file, 2000, -1);
  ContainerHeader h;
  ASSERT_TRUE(container_read_header(&s, &h));
  EXPECT_EQ(compressed_container_open(&s, h), nullptr);
}

TEST(CompressedContainerTest, ContainerStreamForwardsToItsContent) {
  StreamPtr s = memory_with(mdfw::wrap_compressed(bytes_of("0123456789"), 8, 4, true));
  StreamPtr out = open_compressed(s.get());
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(stream_tell(out.get()), 10);  // left at the end of the content
  EXPECT_EQ(stream_seek(out.get(), 3, STREAM_SEEK_SET), 3);
  char buf[4] = {};
  EXPECT_EQ(stream_read(out.get(), buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "345");
  EXPECT_EQ(stream_write(out.get(), "x", 1), 1);
  EXPECT_EQ(stream_size(out.get()), 10);
  EXPECT_EQ(stream_close(out.release()), 0);
}

TEST(CompressedContainerTest, InteroperabilitySampleDecodes) {
  std::string dir = std::string(QUARROW_TEST_DATA) + "/interop/logs/";
  ByteStream* file = file_stream_open((dir + "classic_w8l4_crc.mfc").c_str(), 0);
  ASSERT_NE(file, nullptr);
  StreamPtr guard(file);
  StderrCapture capture;
  StreamPtr out = open_compressed(file);
  ASSERT_NE(out, nullptr) << capture.text();
  std::vector<uint8_t> content = read_all(out.get());
  EXPECT_EQ(content, bytes_of(read_file(dir + "can_classic.mf4")));
}

}  // namespace
}  // namespace quarrow::test
