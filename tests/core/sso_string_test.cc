#include "core/sso_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quarrow::test {
namespace {

std::string str(const SsoString& s) {
  return std::string(s.c_str(), s.size());
}

TEST(SsoStringTest, ZeroFilledStorageIsTheEmptyString) {
  alignas(SsoString) unsigned char storage[sizeof(SsoString)];
  std::memset(storage, 0, sizeof(storage));
  auto* s = reinterpret_cast<SsoString*>(storage);
  EXPECT_FALSE(s->is_long());
  EXPECT_EQ(s->size(), 0u);
  EXPECT_STREQ(s->c_str(), "");
}

TEST(SsoStringTest, TwentyTwoCharactersStayInline) {
  SsoString s;
  for (int i = 0; i < 22; ++i) ASSERT_NE(s.push_back(static_cast<char>('a' + i)), nullptr);
  EXPECT_FALSE(s.is_long());
  EXPECT_EQ(s.capacity(), 22u);
  EXPECT_EQ(str(s), "abcdefghijklmnopqrstuv");
  EXPECT_EQ(s.c_str()[22], '\0');
}

TEST(SsoStringTest, TwentyThirdCharacterMovesToTheHeapWithCapacity34) {
  SsoString s;
  s.append("abcdefghijklmnopqrstuv", 22);
  ASSERT_NE(s.push_back('w'), nullptr);
  EXPECT_TRUE(s.is_long());
  EXPECT_EQ(s.capacity(), 34u);  // 1 + 22 * 3 / 2
  EXPECT_EQ(str(s), "abcdefghijklmnopqrstuvw");
  EXPECT_EQ(s.c_str()[23], '\0');
}

TEST(SsoStringTest, ReserveFollowsTheFormRules) {
  SsoString s;
  s.append("short", 5);
  ASSERT_NE(s.reserve(22), nullptr);
  EXPECT_FALSE(s.is_long());
  ASSERT_NE(s.reserve(23), nullptr);
  EXPECT_TRUE(s.is_long());
  EXPECT_EQ(s.capacity(), 23u);
  EXPECT_EQ(str(s), "short");
  ASSERT_NE(s.reserve(10), nullptr);  // never shrinks
  EXPECT_EQ(s.capacity(), 23u);
  ASSERT_NE(s.reserve(100), nullptr);
  EXPECT_EQ(s.capacity(), 100u);
  EXPECT_EQ(str(s), "short");
}

TEST(SsoStringTest, ImpossibleReserveFailsAndKeepsTheString) {
  SsoString s;
  s.append("kept", 4);
  EXPECT_EQ(s.reserve(UINT64_MAX), nullptr);
  EXPECT_EQ(s.append("x", UINT64_MAX / 2), nullptr);
  EXPECT_EQ(str(s), "kept");
}

TEST(SsoStringTest, AppendingItselfDoublesTheText) {
  struct Case {
    std::string text;
  } cases[] = {
      {"abc"},                             // stays inline
      {"abcdefghijklmnop"},                // 32 characters: moves to the heap
      {std::string(40, 'x') + "tail"},     // long, reallocates
      {std::string(20, 'y') + "0123456"},  // long, just over inline
  };
  for (const Case& c : cases) {
    SsoString s;
    s.append(c.text.data(), c.text.size());
    ASSERT_NE(s.append(s.c_str(), s.size()), nullptr);
    EXPECT_EQ(str(s), c.text + c.text);
  }
}

TEST(SsoStringTest, AppendingOwnSuffixSurvivesReallocation) {
  SsoString s;
  std::string text = std::string(30, 'a') + "0123456789";
  s.append(text.data(), text.size());
  s.reserve(s.size());  // no spare room: the append must reallocate
  ASSERT_NE(s.append(s.c_str() + 30, 10), nullptr);
  EXPECT_EQ(str(s), text + "0123456789");
}

TEST(SsoStringTest, FormattedAppendMeasuresThenWrites) {
  SsoString s;
  s.append("n=", 2);
  EXPECT_EQ(s.append_format("%d;%s;%08X", 42, "x", 0xBEEFu), 13);
  EXPECT_EQ(str(s), "n=42;x;0000BEEF");
  EXPECT_FALSE(s.is_long());
  EXPECT_EQ(s.append_format("%10.6f|%s", 1.5, std::string(30, 'z').c_str()), 41);
  EXPECT_EQ(str(s), "n=42;x;0000BEEF  1.500000|" + std::string(30, 'z'));
  EXPECT_TRUE(s.is_long());
  EXPECT_EQ(s.append_format("%s", ""), 0);
  EXPECT_EQ(s.size(), 56u);
}

TEST(SsoStringTest, ClearKeepsStorageAndMoveEmptiesTheSource) {
  SsoString s;
  s.append(std::string(50, 'q').c_str(), 50);
  uint64_t capacity = s.capacity();
  s.clear();
  EXPECT_EQ(s.size(), 0u);
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.capacity(), capacity);

  s.append("moved along with the heap block", 31);
  SsoString t(std::move(s));
  EXPECT_EQ(str(t), "moved along with the heap block");
  EXPECT_EQ(s.size(), 0u);  // NOLINT: a moved-from string is empty
  EXPECT_FALSE(s.is_long());

  t.truncate(5);
  EXPECT_EQ(str(t), "moved");
  t.truncate(50);
  EXPECT_EQ(str(t), "moved");
}

}  // namespace
}  // namespace quarrow::test
