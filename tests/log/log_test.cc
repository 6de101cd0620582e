#include "log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/process.h"

namespace quarrow::test {
namespace {

// Redirects file descriptor 2 into an unlinked temporary file for the
// lifetime of the object; text() returns everything written so far.
class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/qr_log_XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
    saved_ = dup(2);
    dup2(fd_, 2);
  }
  ~StderrCapture() {
    dup2(saved_, 2);
    close(saved_);
    close(fd_);
  }
  std::string text() const { return read_all_fd(fd_); }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { log_set_output_level(0); }

  // The fixed part of a line after the time: " pid tid L ".
  static std::string ids_and_letter(char letter) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), " %5lld %5lld %c ", static_cast<long long>(getpid()),
                  static_cast<long long>(syscall(SYS_gettid)), letter);
    return buf;
  }
};

// Checks the time stamp "MM-DD hh:mm:ss.mmm" and returns what follows it.
std::string after_time(const std::string& line) {
  const char shape[] = "00-00 00:00:00.000";
  const size_t n = sizeof(shape) - 1;
  EXPECT_GE(line.size(), n) << line;
  if (line.size() < n) return line;
  for (size_t i = 0; i < n; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    EXPECT_TRUE(shape[i] == '0' ? digit : line[i] == shape[i]) << line;
  }
  auto field = [&](size_t at) { return std::stoi(line.substr(at, 2)); };
  EXPECT_GE(field(0), 1);
  EXPECT_LE(field(0), 12);
  EXPECT_GE(field(3), 1);
  EXPECT_LE(field(3), 31);
  EXPECT_LE(field(6), 23);
  EXPECT_LE(field(9), 59);
  EXPECT_LE(field(12), 60);
  return line.substr(n);
}

TEST_F(LogTest, LineHasTimeIdsLetterAndMessage) {
  struct Case {
    int32_t level;
    char letter;
  } cases[] = {{LOG_VERBOSE, 'V'}, {LOG_DEBUG, 'D'}, {LOG_INFO, 'I'},
               {LOG_WARN, 'W'},    {LOG_ERROR, 'E'}, {LOG_FATAL, 'F'},
               {0, '?'},           {9, '?'},         {-3, '?'}};
  for (const Case& c : cases) {
    StderrCapture capture;
    log_write(c.level, nullptr, "Could not open %s (%d)", "MDF", 7);
    EXPECT_EQ(after_time(capture.text()), ids_and_letter(c.letter) + "Could not open MDF (7)\n");
  }
}

TEST_F(LogTest, TagPrecedesTheMessage) {
  struct Case {
    const char* tag;
    const char* rest;
  } cases[] = {{nullptr, "text\n"}, {"", "text\n"}, {"mdf", "mdf text\n"}};
  for (const Case& c : cases) {
    StderrCapture capture;
    log_write(LOG_WARN, c.tag, "text");
    EXPECT_EQ(after_time(capture.text()), ids_and_letter('W') + c.rest);
  }
}

TEST_F(LogTest, EmptyMessageLeavesContextAndLineFeed) {
  StderrCapture capture;
  log_write(LOG_ERROR, nullptr, "%s", "");
  EXPECT_EQ(after_time(capture.text()), ids_and_letter('E') + "\n");
}

TEST_F(LogTest, LongMessagesAreCutToExactly511Bytes) {
  std::string context_probe;
  {
    StderrCapture capture;
    log_write(LOG_ERROR, nullptr, "%s", "");
    context_probe = capture.text();
  }
  const size_t context = context_probe.size() - 1;
  const size_t room = 510 - context;  // message bytes that fit before the line feed
  struct Case {
    size_t message;
    size_t line;
  } cases[] = {{room - 1, 510}, {room, 511}, {room + 1, 511}, {5000, 511}};
  for (const Case& c : cases) {
    StderrCapture capture;
    std::string message(c.message, 'x');
    log_write(LOG_ERROR, nullptr, "%s", message.c_str());
    std::string line = capture.text();
    ASSERT_EQ(line.size(), c.line) << c.message;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.substr(context, line.size() - 1 - context),
              std::string(std::min(c.message, room), 'x'));
  }
}

int evaluated = 0;
int count_evaluation() {
  return ++evaluated;
}

TEST_F(LogTest, LevelTestHappensBeforeArgumentsAreEvaluated) {
  log_set_output_level(LOG_ERROR);
  evaluated = 0;
  {
    StderrCapture capture;
    QLOG(LOG_INFO, "Found compressed file %d", count_evaluation());
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(capture.text(), "");
    QLOG(LOG_ERROR, "Could not open MDF %d", count_evaluation());
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(after_time(capture.text()), ids_and_letter('E') + "Could not open MDF 1\n");
  }
}

TEST_F(LogTest, EveryLevelPassesBeforeTheThresholdIsSet) {
  log_set_output_level(0);
  StderrCapture capture;
  for (int32_t level = 0; level <= 8; ++level) QLOG(level, "m");
  std::string text = capture.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9);
}

}  // namespace
}  // namespace quarrow::test
