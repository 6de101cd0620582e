#include "io/stream.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "io/container_test_support.h"
#include "io/file_stream.h"
#include "io/window_stream.h"
#include "support/platform.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

constexpr int32_t SET = STREAM_SEEK_SET, CUR = STREAM_SEEK_CUR, END = STREAM_SEEK_END;

std::vector<uint8_t> bytes_0_to_99() {
  std::vector<uint8_t> v(100);
  std::iota(v.begin(), v.end(), 0);
  return v;
}

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

// A mapped file cut short by someone else reads as zeros beyond its new end
// instead of crashing, and closing reports the damage. What cannot be
// mapped is left to the caller.
TEST_F(StreamTest, AMappedFileCutShortReadsZerosAndFailsItsClose) {
  QUARROW_SKIP_ON_WINDOWS("the system refuses to cut short a mapped file");
  std::vector<uint8_t> content(3 * 65536, 0xAB);
  std::string path = tmp_ / "cut";
  write_file(path, content);
  ByteStream* file = file_stream_open(path.c_str(), FILE_MODE_READ);
  ByteStream* mapped = file_stream_map(file);
  ASSERT_NE(mapped, nullptr);
  uint64_t size = 0;
  const unsigned char* bytes = stream_content(mapped, &size);
  ASSERT_EQ(size, content.size());
  EXPECT_EQ(bytes[size - 1], 0xAB);
  write_file(path, std::vector<uint8_t>(10, 0xAB));
  EXPECT_EQ(bytes[size - 1], 0);
  EXPECT_EQ(bytes[5], 0xAB);
  EXPECT_NE(stream_close(mapped), 0);

  StreamPtr memory(memory_with(content).release());
  EXPECT_EQ(file_stream_map(memory.get()), nullptr);
  StreamPtr empty(open_file({}));
  EXPECT_EQ(file_stream_map(empty.get()), nullptr);
  EXPECT_EQ(stream_size(empty.get()), 0);
}

// An end of 0 means the end of the inner stream; seeks are clamped to the window.
TEST_F(StreamTest, WindowsReadAndSeekOnlyInsideTheirRange) {
  const std::vector<uint8_t> content = bytes_0_to_99();
  StreamPtr inner = memory_with(content);
  for (auto [start, end, length] :
       {std::tuple{28, 96, 68}, {0, 0, 100}, {28, 0, 72}, {10, 11, 1}}) {
    StreamPtr w(window_stream_create(inner.get(), start, end));
    EXPECT_EQ(read_all(w.get()), std::vector<uint8_t>(&content[start], &content[start + length]));
    EXPECT_EQ(stream_size(w.get()), length);
  }
  StreamPtr w(window_stream_create(inner.get(), 28, 96));
  const std::tuple<int64_t, int32_t, int64_t> seeks[] = {
      {5, SET, 5},          {10, CUR, 15},       {-8, END, 60},        {200, SET, 68}, {-5, SET, 0},
      {INT64_MAX, SET, 68}, {INT64_MIN, CUR, 0}, {INT64_MAX, END, 68}, {0, 7, -1}};
  for (auto [offset, origin, result] : seeks)
    EXPECT_EQ(stream_seek(w.get(), offset, origin), result) << offset << "/" << origin;
}

// Inside the buffer a seek is answered from it; outside, the file is asked.
TEST_F(StreamTest, BufferedSeeksReadTheRightBytesAndFailuresKeepThePosition) {
  StreamPtr s(buffered_stream_create(open_file(bytes_0_to_99()), true, 64));
  uint8_t b[10];
  ASSERT_EQ(stream_read(s.get(), b, 10), 10);
  const std::tuple<int64_t, int32_t, int64_t> seeks[] = {
      {3, SET, 3},   {20, CUR, 24}, {-24, CUR, 1},        {63, SET, 63}, {-4, END, 96},
      {90, SET, 90}, {-1, SET, -1}, {INT64_MAX, CUR, -1}, {0, 3, -1}};
  for (auto [offset, origin, result] : seeks) {
    ASSERT_EQ(stream_seek(s.get(), offset, origin), result) << offset;
    EXPECT_TRUE(result < 0 || (stream_read(s.get(), b, 1) == 1 && b[0] == result)) << offset;
  }
  EXPECT_EQ(stream_read(s.get(), b, 10), 9);
  EXPECT_EQ(b[8], 99);
  EXPECT_EQ(stream_write(s.get(), "x", 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(buffered_stream_create(nullptr, true, 8), nullptr);
}

TEST(MemoryStreamTest, SeeksStayInsideAndAGapReadsAsZeros) {
  StreamPtr s = memory_with(bytes_of("abc"));
  auto* m = static_cast<MemoryStream*>(s.get());
  EXPECT_EQ(m->capacity(), 4u);
  for (auto [offset, origin] : {std::pair{100, SET}, {-1, SET}, {-1, CUR}, {0, 9}})
    EXPECT_EQ(stream_seek(m, offset, origin), -1);
  EXPECT_EQ(stream_seek(m, 4, SET), 4);  // inside the capacity
  EXPECT_EQ(stream_write(m, "z", 1), 1);
  EXPECT_EQ(stream_seek(m, 2, END), 7);  // past the end extends
  EXPECT_EQ(read_all(m), bytes_of(std::string("abc\0z\0\0", 7)));
}

TEST_F(StreamTest, MissingOperationsAndBadArgumentsAreReported) {
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

}  // namespace
}  // namespace quarrow::test
