// Streams, the compressed and encrypted containers read through them, and the LZSS decoder.

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "io/container.h"
#include "io/container_test_support.h"
#include "io/encrypted_container.h"
#include "io/file_stream.h"
#include "io/lzss_decoder.h"
#include "io/window_stream.h"
#include "mdfwriter/container_writer.h"
#include "support/platform.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

constexpr int32_t SET = STREAM_SEEK_SET, CUR = STREAM_SEEK_CUR, END = STREAM_SEEK_END;

class StreamTest : public ::testing::Test {
 protected:
  ByteStream* open_file(const std::vector<uint8_t>& content, int32_t mode = FILE_MODE_READ) {
    std::string path = tmp_ / std::to_string(files_++);
    write_file(path, content);
    return file_stream_open(path.c_str(), mode);
  }
  TempDir tmp_;
  int files_ = 0;
};

// A mapped file cut short by someone else reads zeros past its end and fails its close.
TEST_F(StreamTest, AMappedFileCutShortReadsZerosAndFailsItsClose) {
  QUARROW_SKIP_ON_WINDOWS("the system refuses to cut short a mapped file");
  std::vector<uint8_t> content(3 * 65536, 0xAB);
  ByteStream* mapped = file_stream_map(open_file(content));
  ASSERT_NE(mapped, nullptr);
  uint64_t size = 0;
  const unsigned char* bytes = stream_content(mapped, &size);
  ASSERT_EQ(size, content.size());
  EXPECT_EQ(bytes[size - 1], 0xAB);
  write_file(tmp_ / "0", std::vector<uint8_t>(10, 0xAB));
  EXPECT_EQ(bytes[size - 1], 0);
  EXPECT_EQ(bytes[5], 0xAB);
  EXPECT_NE(stream_close(mapped), 0);
  StreamPtr memory = memory_with(content), empty(open_file({}));
  EXPECT_EQ(file_stream_map(memory.get()), nullptr);
  EXPECT_EQ(file_stream_map(empty.get()), nullptr);
  EXPECT_EQ(stream_size(empty.get()), 0);
}

// A window's end of 0 is the inner stream's end; seeks are clamped; buffers answer seeks.
TEST_F(StreamTest, WindowsAndBuffersReadAndSeekTheRightBytes) {
  std::vector<uint8_t> content(100);
  std::iota(content.begin(), content.end(), 0);
  StreamPtr inner = memory_with(content);
  for (auto [start, end, length] :
       {std::tuple{28, 96, 68}, {0, 0, 100}, {28, 0, 72}, {10, 11, 1}}) {
    StreamPtr w(window_stream_create(inner.get(), start, end));
    EXPECT_EQ(read_all(w.get()), std::vector<uint8_t>(&content[start], &content[start + length]));
    EXPECT_EQ(stream_size(w.get()), length);
  }
  StreamPtr w(window_stream_create(inner.get(), 28, 96));
  const std::tuple<int64_t, int32_t, int64_t> window_seeks[] = {
      {5, SET, 5},          {10, CUR, 15},       {-8, END, 60},        {200, SET, 68}, {-5, SET, 0},
      {INT64_MAX, SET, 68}, {INT64_MIN, CUR, 0}, {INT64_MAX, END, 68}, {0, 7, -1}};
  for (auto [offset, origin, result] : window_seeks)
    EXPECT_EQ(stream_seek(w.get(), offset, origin), result) << offset << "/" << origin;
  StreamPtr s(buffered_stream_create(open_file(content), true, 64));
  uint8_t b[10];
  ASSERT_EQ(stream_read(s.get(), b, 10), 10);
  const std::tuple<int64_t, int32_t, int64_t> buffered_seeks[] = {
      {3, SET, 3},   {20, CUR, 24}, {-24, CUR, 1},        {63, SET, 63}, {-4, END, 96},
      {90, SET, 90}, {-1, SET, -1}, {INT64_MAX, CUR, -1}, {0, 3, -1}};
  for (auto [offset, origin, result] : buffered_seeks) {
    ASSERT_EQ(stream_seek(s.get(), offset, origin), result) << offset;
    EXPECT_TRUE(result < 0 || (stream_read(s.get(), b, 1) == 1 && b[0] == result)) << offset;
  }
  EXPECT_EQ(stream_read(s.get(), b, 10), 9);
  EXPECT_EQ(b[8], 99);
  EXPECT_EQ(stream_write(s.get(), "x", 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(buffered_stream_create(nullptr, true, 8), nullptr);
}

TEST_F(StreamTest, SeeksStayInsideAndMissingOperationsAndBadArgumentsAreReported) {
  StreamPtr s = memory_with(bytes_of("abc"));
  auto* m = static_cast<MemoryStream*>(s.get());
  EXPECT_EQ(m->capacity(), 4u);
  for (auto [offset, origin] : {std::pair{100, SET}, {-1, SET}, {-1, CUR}, {0, 9}})
    EXPECT_EQ(stream_seek(m, offset, origin), -1);
  EXPECT_EQ(stream_seek(m, 4, SET), 4);  // inside the capacity
  EXPECT_EQ(stream_write(m, "z", 1), 1);
  EXPECT_EQ(stream_seek(m, 2, END), 7);  // past the end extends
  EXPECT_EQ(read_all(m), bytes_of(std::string("abc\0z\0\0", 7)));
  StreamPtr w(open_file({}, FILE_MODE_WRITE));
  char b[4];
  EXPECT_EQ(stream_read(w.get(), b, 4), STREAM_UNSUPPORTED);
  StreamPtr r(open_file(bytes_of("abcd")));
  EXPECT_EQ(stream_write(r.get(), "x", 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_seek(r.get(), 0, 5), -1);
  ByteStream bare;  // every slot empty, as for a stream embedded elsewhere
  EXPECT_EQ(stream_read(&bare, b, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_size(&bare), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_read(nullptr, b, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_size(nullptr), -1);
  EXPECT_EQ(stream_close(nullptr), 0);
  EXPECT_EQ(file_stream_open((tmp_ / "missing").c_str(), FILE_MODE_READ), nullptr);
  EXPECT_EQ(file_stream_open((tmp_ / "x").c_str(), 3), nullptr);
  EXPECT_FALSE(file_exists(tmp_ / "x"));
  // A source that cannot be read is a failed copy, not an empty one.
  StreamPtr sink = memory_with({});
  EXPECT_FALSE(stream_copy(&bare, sink.get()));
}

using Bytes = std::vector<uint8_t>;
using ContainerPtr = std::unique_ptr<ContainerStream, StreamCloser>;

// Reads end (read_result 0) or fail (-1) from fault_at on; seeks and the size see everything.
struct FaultyReadStream : ByteStream {
  FaultyReadStream(const Bytes& bytes, int64_t at, int64_t read_result)
      : inner(memory_with(bytes)), fault_at(at), result(read_result) {}
  int64_t read(void* buffer, uint64_t count) override {
    int64_t left = fault_at - stream_tell(inner.get());
    return left <= 0 ? result : stream_read(inner.get(), buffer, std::min<uint64_t>(count, left));
  }
  int64_t tell() override { return stream_tell(inner.get()); }
  int64_t seek(int64_t at, int32_t from) override { return stream_seek(inner.get(), at, from); }
  int64_t close() override { return 0; }
  StreamPtr inner;
  int64_t fault_at, result;
};

// A compressed container assembled by hand; with_crc also sets the flags.
Bytes compressed(uint32_t lookahead, uint32_t window, const Bytes& payload, bool with_crc = false,
                 uint32_t crc = 0) {
  Bytes f = bytes_of("Generic File");
  auto be32 = [&f](uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<uint8_t>(x >> shift));
  };
  f.insert(f.end(), {with_crc, with_crc, CONTAINER_COMPRESSED, 1, 0, 0, 0, 7});
  be32(lookahead);
  be32(window);
  f.insert(f.end(), payload.begin(), payload.end());
  if (with_crc) be32(crc);
  return f;
}

// Reads the header and opens the container as its type says; null when either fails.
ContainerPtr open(ByteStream* s, StringView password = "s3cret") {
  ContainerHeader h;
  if (!container_read_header(s, &h)) return nullptr;
  return ContainerPtr(h.type == CONTAINER_COMPRESSED ? compressed_container_open(s, h)
                                                     : encrypted_container_open(s, h, password));
}

ContainerPtr open(const Bytes& file, StringView password = "s3cret") {
  return open(memory_with(file).get(), password);
}

// Logs what open() logged into *log.
bool opens_logging(ByteStream* s, std::string* log) {
  testing::internal::CaptureStderr();
  bool opened = open(s) != nullptr;
  *log = testing::internal::GetCapturedStderr();
  return opened;
}

TEST(CompressedContainerTest, AcceptsOnlyItsFieldsAndLogsChecksumFailures) {
  // flag, checksum flag, type, version
  for (Bytes header : {Bytes{0, 0, 34, 2}, {1, 0, 34, 1}, {0, 1, 34, 1}, {2, 2, 34, 1}}) {
    Bytes file = compressed(4, 256, {0xA0, 0x80});
    std::copy(header.begin(), header.end(), file.begin() + 12);
    EXPECT_EQ(open(file), nullptr) << +header[0] << +header[1] << +header[3];
  }
  // Only the lowest byte of the lookahead counts; the lowest set bit gives the window.
  const std::tuple<uint32_t, uint32_t, bool> fields[] = {
      {4, 256, true},     {4, 16, false},    {4, 65536, false},  {4, 0, false},
      {3, 16, true},      {14, 32768, true}, {15, 32768, false}, {2, 256, false},
      {0x104, 256, true}, {4, 0x300, true}};
  for (const auto& [lookahead, window, accepted] : fields) {
    // "A" as a literal in any window: 1 01000001.
    ContainerPtr out = open(compressed(lookahead, window, {0xA0, 0x80}));
    EXPECT_EQ(out != nullptr, accepted) << lookahead << "/" << window;
    EXPECT_TRUE(!out || read_all(out.get()) == bytes_of("A"));
  }
  const Bytes bare = compressed(4, 256, {});
  for (size_t n = 20; n < 28; ++n) {  // short fields are refused silently
    std::string log;
    EXPECT_FALSE(opens_logging(memory_with(Bytes(bare.begin(), bare.begin() + n)).get(), &log));
    EXPECT_EQ(log, "");
  }
  // The checksum covers the payload as stored; the last case's reads stop before its footer.
  const Bytes payload = bytes_of("123456789");
  auto cut = [](Bytes b, size_t n) { return Bytes(b.begin(), b.end() - n); };
  const std::string missing = "Expected to read out CRC from footer, but found none\n";
  const Bytes footed = compressed(4, 256, {0xA0, 0x80}, true, 0);
  const std::tuple<Bytes, int64_t, std::string> cases[] = {
      {compressed(4, 256, payload, true, 0x340BC6D9), -1, ""},
      {compressed(4, 256, {}, true, 0xFFFFFFFF), -1, ""},
      {compressed(4, 256, payload, true, 0x340BC6D8), -1,
       " E Could not validate checksum, expected 340BC6D8 but found 340BC6D9\n"},
      {cut(compressed(4, 256, {}, true), 1), -1, missing},
      {cut(compressed(4, 256, {}, true), 4), -1, missing},
      {footed, static_cast<int64_t>(footed.size()) - 4, missing},
  };
  for (const auto& [file, fault_at, message] : cases) {
    FaultyReadStream s(file, fault_at < 0 ? INT64_MAX : fault_at, 0);
    std::string log;
    EXPECT_EQ(opens_logging(&s, &log), message.empty()) << message;
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), message.size())), message) << log;
  }
}

// Few iterations keep the tests fast, also under the sanitizers.
Bytes sealed(const Bytes& content, const std::string& password = "s3cret") {
  return mdfw::wrap_encrypted(content, {password, 0x42, 3});
}

// Round trips; reads failing midway and outputs that cannot be written fail the whole container.
TEST(ContainerTest, ContentRoundTripsAndFailuresTamperingAndWrongPasswordsFail) {
  const Bytes shapes[] = {
      {}, {0x42}, Bytes(70000, 0), random_bytes(3000, 1, 7), random_bytes(700, 2)};
  for (int w = 4; w <= 15; ++w) {
    for (int l = 3; l < w; ++l) {
      for (const Bytes& data : shapes) {
        ContainerPtr out = open(mdfw::wrap_compressed(data, w, l, (w + l) % 2));
        ASSERT_NE(out, nullptr) << w << "/" << l;
        ASSERT_EQ(read_all(out.get()), data) << w << "/" << l << " " << data.size();
      }
    }
  }
  for (size_t size : {0, 1, 511, 512, 513, 100000}) {
    Bytes content = random_bytes(size, size);
    Bytes file = sealed(content);
    ASSERT_EQ(file.size(), size + 68);
    ContainerPtr out = open(file);
    ASSERT_NE(out, nullptr) << size;
    EXPECT_EQ(stream_tell(out.get()), static_cast<int64_t>(size));  // left at the end
    EXPECT_EQ(read_all(out.get()), content) << size;
  }
  const Bytes packed = mdfw::wrap_compressed(random_bytes(50000, 11, 7), 10, 5, false);
  const Bytes good = sealed(random_bytes(1000, 5));
  for (const Bytes* file : {&packed, &good}) {
    for (int64_t result : {0, -1}) {
      if (file == &packed && result == 0) continue;  // without a footer, that is the end
      FaultyReadStream s(*file, 600, result);        // the size counts the whole file
      EXPECT_EQ(open(&s), nullptr) << result;
    }
    StreamPtr s = memory_with(*file);
    ContainerHeader h;
    ASSERT_TRUE(container_read_header(s.get(), &h));
    ByteStream unwritable;
    EXPECT_FALSE(file == &packed ? compressed_container_decode(s.get(), h, &unwritable)
                                 : encrypted_container_decrypt(s.get(), h, "s3cret", &unwritable));
  }
  // An encrypted container opens with its password only and refuses tampered bytes.
  Bytes file = sealed(bytes_of("plain"), "abc");
  EXPECT_NE(open(file, StringView("abcdef", 3)), nullptr);  // no terminator is hashed
  for (StringView wrong : {StringView("abcd"), StringView("abC"), StringView()})
    EXPECT_EQ(open(file, wrong), nullptr);
  EXPECT_NE(open(sealed({}, ""), StringView()), nullptr);
  // Flag, version, type are judged first; device id, nonce, count, salt, text, tag authenticated.
  const std::pair<size_t, uint8_t> changes[] = {
      {13, 1}, {12, 2}, {15, 2}, {14, 0x33}, {16, 1},  {19, 1},   {20, 1},   {31, 1},
      {35, 1}, {36, 1}, {51, 1}, {52, 1},    {600, 1}, {1051, 1}, {1052, 1}, {1067, 1}};
  for (auto [at, value] : changes) {
    Bytes bad = good;
    bad[at] = at < 16 ? value : bad[at] ^ value;
    EXPECT_EQ(open(bad), nullptr) << at;
  }
  for (size_t n : {0, 20, 67, 68, 100, 1067})
    EXPECT_EQ(open(Bytes(good.begin(), good.begin() + n)), nullptr) << n;
}

using DecoderPtr = std::unique_ptr<LzssDecoder, decltype(&lzss_decoder_free)>;
DecoderPtr decoder(size_t size, uint8_t w, uint8_t l) {
  return {lzss_decoder_alloc(size, w, l), &lzss_decoder_free};
}

// Sinks the input and polls out_size bytes at a time until more input is wanted (or polls ran).
std::string decode(LzssDecoder* d, const Bytes& input, size_t out_size, int polls = -1) {
  size_t taken = 0, produced = 0;
  EXPECT_EQ(lzss_decoder_sink(d, input.data(), input.size(), &taken), SINK_OK);
  std::string out;
  Bytes buffer(out_size);
  for (LzssPollResult r = POLL_MORE; r == POLL_MORE && polls-- != 0;
       out.append(buffer.begin(), buffer.begin() + produced)) {
    r = lzss_decoder_poll(d, buffer.data(), buffer.size(), &produced);
    EXPECT_TRUE(r == POLL_MORE || r == POLL_EMPTY) << r;
  }
  return out;
}

// W=8, L=4: 1 + 8 bits is a literal; 0 + 8 bits distance-1 + 4 bits length-1 a back-reference.
TEST(LzssDecoderTest, DecodesTheBitFormatAndTakesOnlyParametersInRange) {
  const std::pair<Bytes, std::string> cases[] = {
      {{0xA0, 0x80, 0x0C}, "AAAAA"},         // "A", then 4 bytes from 1 back, overlapping
      {{0xA0, 0x80}, "A"},                   // seven zero bits look like a back-reference
      {{0x01, 0x88}, std::string(2, '\0')},  // reads the zeroed window before any output
  };
  for (const auto& [input, output] : cases) {
    for (size_t out_size : {1, 64}) {
      DecoderPtr d = decoder(1024, 8, 4);
      EXPECT_EQ(decode(d.get(), input, out_size), output);
      EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_DONE);
    }
  }
  DecoderPtr d = decoder(1024, 8, 4);  // stopped inside a back-reference, it is not finished
  EXPECT_EQ(decode(d.get(), {0xA0, 0x80, 0x0C}, 2, 1), "AA");
  EXPECT_EQ(lzss_decoder_finish(d.get()), FINISH_MORE);
  // Sizes and parameters in range only; the sink takes only the free room.
  const std::tuple<size_t, uint8_t, uint8_t, bool> params[] = {
      {1024, 4, 3, true},  {1024, 15, 14, true}, {1, 5, 4, true},      {65535, 15, 3, true},
      {1024, 3, 2, false}, {1024, 16, 4, false}, {1024, 8, 8, false},  {1024, 8, 2, false},
      {1024, 4, 4, false}, {0, 8, 4, false},     {65536, 8, 4, false}, {1024, 15, 15, false}};
  for (const auto& [input_size, w, l, valid] : params) {
    EXPECT_EQ(decoder(input_size, w, l) != nullptr, valid) << input_size << " " << +w << "/" << +l;
    EXPECT_EQ(lzss_decoder_params_valid(w, l), valid || input_size == 0 || input_size > 65535);
  }
  d = decoder(4, 8, 4);
  const uint8_t bytes[10] = {};
  size_t taken = 99;
  for (auto [offered, result, took] :
       {std::tuple{3, SINK_OK, 3}, {10, SINK_OK, 1}, {10, SINK_FULL, 0}}) {
    EXPECT_EQ(lzss_decoder_sink(d.get(), bytes, offered, &taken), result);
    EXPECT_EQ(taken, static_cast<size_t>(took));
  }
}

}  // namespace
}  // namespace quarrow::test
