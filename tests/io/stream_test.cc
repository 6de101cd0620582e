#include "io/stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "io/file_stream.h"
#include "io/memory_stream.h"
#include "io/window_stream.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

std::string bytes_0_to(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(i));
  return s;
}

// Counts the calls that reach it, to prove that a buffer answers by itself.
class CountingStream : public ByteStream {
 public:
  explicit CountingStream(MemoryStream* inner) : inner_(inner) {}
  ~CountingStream() override { stream_close(inner_); }
  int64_t read(void* b, uint64_t n) override {
    ++reads;
    return stream_read(inner_, b, n);
  }
  int64_t tell() override { return stream_tell(inner_); }
  int64_t seek(int64_t o, int32_t origin) override {
    ++seeks;
    return stream_seek(inner_, o, origin);
  }
  int64_t close() override { return 0; }
  int reads = 0;
  int seeks = 0;

 private:
  MemoryStream* inner_;
};

MemoryStream* memory_with(const std::string& content) {
  MemoryStream* m = memory_stream_create();
  EXPECT_EQ(stream_write(m, content.data(), content.size()), static_cast<int64_t>(content.size()));
  stream_seek(m, 0, STREAM_SEEK_SET);
  return m;
}

class StreamTest : public ::testing::Test {
 protected:
  ByteStream* open_file(const std::string& content, int32_t mode = FILE_MODE_READ) {
    std::string path = tmp_ / ("f" + std::to_string(files_++));
    write_file(path, content);
    return file_stream_open(path.c_str(), mode);
  }

  TempDir tmp_;
  int files_ = 0;
};

// Every kind over the same 100 bytes: the size is found and the position
// kept, whatever the stack.
TEST_F(StreamTest, SizeKeepsThePosition) {
  const std::string content = bytes_0_to(100);
  struct Case {
    const char* name;
    std::function<ByteStream*()> make;
    int64_t size;
    int64_t first_byte;  // byte value at stream position 0
  } cases[] = {
      {"file", [&] { return open_file(content); }, 100, 0},
      {"memory", [&] { return memory_with(content); }, 100, 0},
      {"buffered 8", [&] { return buffered_stream_create(open_file(content), true, 8); }, 100, 0},
      {"buffered whole", [&] { return buffered_stream_create(open_file(content), true, 100); }, 100,
       0},
      {"buffered odd", [&] { return buffered_stream_create(open_file(content), true, 13); }, 100,
       0},
  };
  for (const Case& c : cases) {
    ByteStream* s = c.make();
    ASSERT_NE(s, nullptr) << c.name;
    ASSERT_EQ(stream_seek(s, 37, STREAM_SEEK_SET), 37) << c.name;
    EXPECT_EQ(stream_size(s), c.size) << c.name;
    EXPECT_EQ(stream_tell(s), 37) << c.name;
    unsigned char b = 0;
    EXPECT_EQ(stream_read(s, &b, 1), 1) << c.name;
    EXPECT_EQ(b, c.first_byte + 37) << c.name;
    EXPECT_EQ(stream_close(s), 0) << c.name;
  }
}

TEST_F(StreamTest, WindowsReadOnlyTheirRange) {
  const std::string content = bytes_0_to(100);
  struct Case {
    int64_t start, end;
    int64_t length;
  } cases[] = {{28, 96, 68}, {0, 0, 100}, {28, 0, 72}, {10, 11, 1}};
  for (const Case& c : cases) {
    ByteStream* inner = open_file(content);
    ByteStream* w = window_stream_create(inner, c.start, c.end);
    ASSERT_NE(w, nullptr);
    std::string got(200, '\0');
    ASSERT_EQ(stream_read(w, got.data(), got.size()), c.length) << c.start << ".." << c.end;
    EXPECT_EQ(got.substr(0, c.length), content.substr(c.start, c.length));
    EXPECT_EQ(stream_read(w, got.data(), got.size()), 0);
    EXPECT_EQ(stream_tell(w), c.length);
    EXPECT_EQ(stream_size(w), c.length);
    EXPECT_EQ(stream_close(w), 0);
    // The inner stream is the creator's and still open.
    EXPECT_EQ(stream_seek(inner, 0, STREAM_SEEK_SET), 0);
    EXPECT_EQ(stream_close(inner), 0);
  }
}

TEST_F(StreamTest, WindowSeeksAreClampedToTheWindow) {
  ByteStream* inner = memory_with(bytes_0_to(100));
  ByteStream* w = window_stream_create(inner, 28, 96);
  ASSERT_NE(w, nullptr);
  struct Case {
    int64_t offset;
    int32_t origin;
    int64_t result;
  } cases[] = {
      {5, STREAM_SEEK_SET, 5},
      {10, STREAM_SEEK_CUR, 15},
      {-8, STREAM_SEEK_END, 60},
      {200, STREAM_SEEK_SET, 68},
      {-5, STREAM_SEEK_SET, 0},
      {INT64_MAX, STREAM_SEEK_SET, 68},
      {INT64_MIN, STREAM_SEEK_CUR, 0},
      {INT64_MAX, STREAM_SEEK_END, 68},
      {0, 7, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stream_seek(w, c.offset, c.origin), c.result) << c.offset << "/" << c.origin;
  }
  EXPECT_EQ(stream_close(w), 0);
  EXPECT_EQ(stream_close(inner), 0);
}

TEST_F(StreamTest, BufferedStreamRefillsUntilTheEnd) {
  ByteStream* s = buffered_stream_create(open_file("0123456789"), true, 8);
  ASSERT_NE(s, nullptr);
  char buf[16] = {};
  EXPECT_EQ(stream_read(s, buf, 16), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(stream_read(s, buf, 16), 0);
  EXPECT_EQ(stream_read(s, buf, 0), 0);
  EXPECT_EQ(stream_tell(s), 10);
  EXPECT_EQ(stream_write(s, "x", 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_close(s), 0);
}

TEST_F(StreamTest, BufferedStreamOverAnEmptyFile) {
  ByteStream* s = buffered_stream_create(open_file(""), true, 0);
  ASSERT_NE(s, nullptr);
  char b;
  EXPECT_EQ(stream_read(s, &b, 1), 0);
  EXPECT_EQ(stream_size(s), 0);
  EXPECT_EQ(stream_close(s), 0);
  EXPECT_EQ(buffered_stream_create(nullptr, true, 8), nullptr);
}

TEST_F(StreamTest, BufferedSeeksInsideTheBufferStayOffTheInnerStream) {
  auto* counting = new CountingStream(memory_with(bytes_0_to(100)));
  ByteStream* s = buffered_stream_create(counting, true, 64);
  ASSERT_NE(s, nullptr);
  unsigned char b[10];
  ASSERT_EQ(stream_read(s, b, 10), 10);
  const int reads = counting->reads, seeks = counting->seeks;

  struct Case {
    int64_t offset;
    int32_t origin;
    int64_t result;
    int expected_byte;  // -1: at the end of the buffered range
  } inside[] = {
      {3, STREAM_SEEK_SET, 3, 3}, {20, STREAM_SEEK_CUR, 24, 24}, {-24, STREAM_SEEK_CUR, 1, 1},
      {0, STREAM_SEEK_SET, 0, 0}, {64, STREAM_SEEK_SET, 64, -1},
  };
  for (const Case& c : inside) {
    ASSERT_EQ(stream_seek(s, c.offset, c.origin), c.result) << c.offset;
    if (c.expected_byte >= 0) {
      ASSERT_EQ(stream_read(s, b, 1), 1);
      EXPECT_EQ(b[0], c.expected_byte);
    }
  }
  EXPECT_EQ(counting->reads, reads);
  EXPECT_EQ(counting->seeks, seeks);

  // Outside the buffer the inner stream is asked; failures leave the buffer.
  EXPECT_EQ(stream_seek(s, 0, STREAM_SEEK_END), 100);
  EXPECT_EQ(stream_read(s, b, 1), 0);
  EXPECT_EQ(stream_seek(s, 90, STREAM_SEEK_SET), 90);
  EXPECT_EQ(stream_seek(s, -1, STREAM_SEEK_SET), -1);
  EXPECT_EQ(stream_seek(s, INT64_MAX, STREAM_SEEK_CUR), -1);
  EXPECT_EQ(stream_seek(s, 0, 3), -1);
  EXPECT_EQ(stream_tell(s), 90);
  ASSERT_EQ(stream_read(s, b, 10), 10);
  EXPECT_EQ(b[9], 99);
  EXPECT_EQ(stream_close(s), 0);
}

TEST_F(StreamTest, SmallBufferSeeksToTheEndOfLargerData) {
  ByteStream* s = buffered_stream_create(open_file(bytes_0_to(100)), true, 8);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(stream_seek(s, 0, STREAM_SEEK_END), 100);
  EXPECT_EQ(stream_seek(s, -4, STREAM_SEEK_END), 96);
  unsigned char b[8];
  EXPECT_EQ(stream_read(s, b, 8), 4);
  EXPECT_EQ(b[0], 96);
  EXPECT_EQ(stream_close(s), 0);
}

TEST(MemoryStreamTest, CapacityDoublesAndSeeksStayInsideIt) {
  MemoryStream* m = memory_stream_create();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(stream_write(m, "abc", 3), 3);
  EXPECT_EQ(m->capacity(), 4u);
  EXPECT_EQ(m->size(), 3u);
  EXPECT_EQ(stream_tell(m), 3);
  EXPECT_EQ(stream_seek(m, 100, STREAM_SEEK_SET), -1);
  EXPECT_EQ(stream_seek(m, -1, STREAM_SEEK_SET), -1);
  EXPECT_EQ(stream_seek(m, -4, STREAM_SEEK_CUR), -1);
  EXPECT_EQ(stream_seek(m, 0, 9), -1);
  EXPECT_EQ(stream_tell(m), 3);
  EXPECT_EQ(stream_seek(m, -3, STREAM_SEEK_END), 0);
  char buf[8];
  EXPECT_EQ(stream_read(m, buf, 8), 3);
  EXPECT_EQ(stream_read(m, buf, 8), 0);
  EXPECT_EQ(stream_close(m), 0);
}

TEST(MemoryStreamTest, SeekPastTheEndExtendsWithZeros) {
  MemoryStream* m = memory_stream_create();
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(stream_write(m, "abc", 3), 3);
  EXPECT_EQ(stream_seek(m, 5, STREAM_SEEK_END), 8);
  EXPECT_EQ(m->size(), 8u);
  EXPECT_EQ(stream_tell(m), 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m->data()), 8),
            std::string("abc\0\0\0\0\0", 8));

  // A gap left by a plain seek within the capacity reads as zeros too.
  MemoryStream* g = memory_stream_create();
  ASSERT_EQ(stream_write(g, "abc", 3), 3);
  ASSERT_EQ(stream_seek(g, 4, STREAM_SEEK_SET), 4);
  ASSERT_EQ(stream_write(g, "z", 1), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g->data()), 5), std::string("abc\0z", 5));
  EXPECT_EQ(stream_close(g), 0);
  EXPECT_EQ(stream_close(m), 0);
}

TEST_F(StreamTest, MissingOperationsReportUnsupported) {
  ByteStream* w = open_file("", FILE_MODE_WRITE);
  ASSERT_NE(w, nullptr);
  char b[4];
  EXPECT_EQ(stream_read(w, b, 4), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_write(w, "abcd", 4), 4);
  EXPECT_EQ(stream_close(w), 0);

  ByteStream* r = open_file("abcd");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(stream_write(r, "x", 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_seek(r, 0, 5), -1);
  EXPECT_EQ(stream_close(r), 0);

  ByteStream bare;  // every slot empty, as for a stream embedded elsewhere
  EXPECT_EQ(stream_read(&bare, b, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_tell(&bare), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_size(&bare), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_close(&bare), 0);

  EXPECT_EQ(stream_read(nullptr, b, 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_seek(nullptr, 0, STREAM_SEEK_SET), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_size(nullptr), -1);
  EXPECT_EQ(stream_close(nullptr), 0);
}

TEST_F(StreamTest, FileOpenRejectsBadArguments) {
  EXPECT_EQ(file_stream_open(nullptr, FILE_MODE_READ), nullptr);
  EXPECT_EQ(file_stream_open((tmp_ / "missing").c_str(), FILE_MODE_READ), nullptr);
  EXPECT_EQ(file_stream_open((tmp_ / "x").c_str(), 3), nullptr);
  EXPECT_FALSE(file_exists(tmp_ / "x"));
}

TEST_F(StreamTest, CopyMovesEverythingAndReportsFailures) {
  const std::string content(10000, 'q');
  MemoryStream* source = memory_with(content);
  std::string path = tmp_ / "copy";
  ByteStream* target = file_stream_open(path.c_str(), FILE_MODE_WRITE);
  ASSERT_NE(target, nullptr);
  EXPECT_TRUE(stream_copy(source, target));
  EXPECT_EQ(stream_close(target), 0);
  EXPECT_EQ(read_file(path), content);

  // A source that cannot be read is a failed copy, not an empty one.
  ByteStream unreadable;
  MemoryStream* sink = memory_stream_create();
  EXPECT_FALSE(stream_copy(&unreadable, sink));
  EXPECT_EQ(sink->size(), 0u);
  EXPECT_EQ(stream_close(sink), 0);
  EXPECT_EQ(stream_close(source), 0);
}

}  // namespace
}  // namespace quarrow::test
