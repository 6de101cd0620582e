#include "log/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>

#include "support/platform.h"

namespace quarrow::test {
namespace {

// Checks the time stamp "MM-DD hh:mm:ss.mmm" and returns what follows it.
std::string after_time(const std::string& line) {
  static const std::regex time(
      "(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01]) ([01][0-9]|2[0-3])(:[0-5][0-9]){2}\\.[0-9]{3}");
  EXPECT_TRUE(line.size() >= 18 && std::regex_match(line.substr(0, 18), time)) << line;
  return line.substr(std::min<size_t>(18, line.size()));
}

// The fixed part of a line after the time: " pid tid L ".
std::string ids_and_letter(char letter) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), " %5lld %5lld %c ", process_id(), thread_id(), letter);
  return buf;
}

TEST(LogTest, LineHasTimeIdsLetterTagAndMessage) {
  const char letters[] = "?VDIWEF??";  // levels 0 to 8
  for (int32_t level = -3; level <= 8; ++level) {
    testing::internal::CaptureStderr();
    log_write(level, nullptr, "Could not open %s (%d)", "MDF", 7);
    EXPECT_EQ(after_time(testing::internal::GetCapturedStderr()),
              ids_and_letter(level < 0 ? '?' : letters[level]) + "Could not open MDF (7)\n");
  }
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"", "text", "text\n"}, {"mdf", "text", "mdf text\n"}, {nullptr, "", "\n"}};
  for (const auto& [tag, message, rest] : cases) {
    testing::internal::CaptureStderr();
    log_write(LOG_WARN, tag, "%s", message);
    EXPECT_EQ(after_time(testing::internal::GetCapturedStderr()), ids_and_letter('W') + rest);
  }
}

TEST(LogTest, LongMessagesAreCutToExactly511Bytes) {
  const size_t context = 18 + ids_and_letter('E').size();
  const size_t room = 510 - context;  // message bytes that fit before the line feed
  const std::pair<size_t, size_t> cases[] = {
      {room - 1, 510}, {room, 511}, {room + 1, 511}, {5000, 511}};
  for (const auto& [message, line_size] : cases) {
    testing::internal::CaptureStderr();
    log_write(LOG_ERROR, nullptr, "%s", std::string(message, 'x').c_str());
    std::string line = testing::internal::GetCapturedStderr();
    ASSERT_EQ(line.size(), line_size) << message;
    EXPECT_EQ(line.substr(context), std::string(std::min(message, room), 'x') + "\n");
  }
}

TEST(LogTest, LevelFilterSkipsLowerLevelsBeforeEvaluatingTheirArguments) {
  int evaluated = 0;
  testing::internal::CaptureStderr();
  QLOG(0, "everything passes before the threshold is set %d", ++evaluated);
  log_set_output_level(LOG_ERROR);
  QLOG(LOG_INFO, "Found compressed file %d", ++evaluated);
  QLOG(LOG_ERROR, "Could not open MDF %d", ++evaluated);
  log_set_output_level(0);
  EXPECT_EQ(evaluated, 2);
  std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(after_time(text.substr(text.find('\n') + 1)),
            ids_and_letter('E') + "Could not open MDF 2\n");
}

}  // namespace
}  // namespace quarrow::test
