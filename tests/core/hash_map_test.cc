#include "core/hash_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/hash.h"

namespace quarrow::test {
namespace {

SsoString key(const std::string& s) {
  SsoString k;
  k.assign(StringView(s.data(), s.size()));
  return k;
}

TEST(HashTest, ByteStringHashesFollowTheirRule) {
  struct Case {
    const char* text;
    uint64_t hash;
  } cases[] = {
      {"", 1},
      {"default", 0x96814f73ee721f25ull},  // 7 bytes: the step rule
      {"DEFAULT", 0xa574e2f2d2a50863ull},
      {"abcd", 0xaa64696ad1ae9e7dull},                // 4 bytes as a number
      {"01234567", 0xf72455a24cbcda70ull},            // 8 bytes as a number
      {"0123456789ABCDEFxy", 0x3d17900f9cc73cc3ull},  // two groups and two bytes
  };
  for (const Case& c : cases) EXPECT_EQ(hash_bytes(c.text), c.hash) << c.text;
  EXPECT_EQ(hash_u64(1), 0xc6a4a7935bd1e99dull);
  EXPECT_EQ(hash_double(1.0), hash_u64(0x3ff0000000000000ull));
}

TEST(HashMapTest, CaseDiffersAndDoesNotMatch) {
  HashMap<SsoString, SsoString> map;
  auto r = map.insert(key("default"));
  ASSERT_NE(r.slot, nullptr);
  EXPECT_NE(map.find("default"), nullptr);
  EXPECT_EQ(map.find("DEFAULT"), nullptr);
}

TEST(HashMapTest, EmptyMapFindsNothing) {
  HashMap<uint64_t, int> map;
  EXPECT_EQ(map.find(0), nullptr);
  EXPECT_EQ(map.capacity(), 0);
}

TEST(HashMapTest, TableGrowsAtTheFifthAndNinthInsert) {
  HashMap<uint64_t, int> map;
  // Capacity after each insert, starting with the first.
  const int32_t expected[] = {5, 5, 5, 5, 11, 11, 11, 11, 19};
  for (uint64_t i = 0; i < 9; ++i) {
    auto r = map.insert(i * 7919);
    ASSERT_NE(r.slot, nullptr);
    EXPECT_TRUE(r.inserted);
    r.slot->value = static_cast<int>(i);
    EXPECT_EQ(map.capacity(), expected[i]) << "after insert " << i + 1;
  }
  for (uint64_t i = 0; i < 9; ++i) {
    auto* slot = map.find(i * 7919);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->value, static_cast<int>(i));
  }
}

TEST(HashMapTest, DuplicateInsertReturnsTheFirstSlot) {
  HashMap<SsoString, SsoString> map;
  auto first = map.insert(key("00000001"));
  ASSERT_NE(first.slot, nullptr);
  EXPECT_TRUE(first.inserted);
  first.slot->value.assign("secret");
  auto second = map.insert(key("00000001"));
  EXPECT_EQ(second.slot, first.slot);
  EXPECT_FALSE(second.inserted);
  EXPECT_EQ(map.size(), 1u);
  EXPECT_STREQ(second.slot->value.c_str(), "secret");
}

TEST(HashMapTest, FourEntriesInFiveSlotsAreFoundAndAbsentKeyEndsAtTheEmptySlot) {
  HashMap<uint64_t, uint64_t> map;
  for (uint64_t k : {11u, 22u, 33u, 44u}) map.insert(k).slot->value = k * 2;
  ASSERT_EQ(map.capacity(), 5);
  ASSERT_EQ(map.size(), 4u);
  for (uint64_t k : {11u, 22u, 33u, 44u}) {
    auto* slot = map.find(k);
    ASSERT_NE(slot, nullptr) << k;
    EXPECT_EQ(slot->value, k * 2);
  }
  for (uint64_t k = 100; k < 200; ++k) EXPECT_EQ(map.find(k), nullptr);
}

TEST(HashMapTest, DoubleKeysFindOneAndNeverNaN) {
  HashMap<double, double> map;
  map.insert(1.0).slot->value = 10.0;
  map.insert(2.5).slot->value = 25.0;
  auto nan = map.insert(std::nan(""));
  ASSERT_NE(nan.slot, nullptr);
  // NaN never equals itself, so a second NaN claims another slot.
  EXPECT_TRUE(map.insert(std::nan("")).inserted);
  ASSERT_NE(map.find(1.0), nullptr);
  EXPECT_EQ(map.find(1.0)->value, 10.0);
  EXPECT_EQ(map.find(std::nan("")), nullptr);
  EXPECT_EQ(map.find(3.0), nullptr);
}

TEST(HashMapTest, ManyStringKeysSurviveRebuildsAndClear) {
  HashMap<SsoString, SsoString> map;
  auto name = [](int i) { return "device-" + std::to_string(i) + std::string(i % 3 * 10, '.'); };
  for (int i = 0; i < 1000; ++i) {
    auto r = map.insert(key(name(i)));
    ASSERT_NE(r.slot, nullptr);
    ASSERT_TRUE(r.inserted);
    r.slot->value = key(std::to_string(i));
  }
  EXPECT_EQ(map.size(), 1000u);
  EXPECT_LT(map.size(), static_cast<uint32_t>(map.capacity()));
  for (int i = 0; i < 1000; ++i) {
    std::string n = name(i);
    auto* slot = map.find(StringView(n.data(), n.size()));
    ASSERT_NE(slot, nullptr) << n;
    EXPECT_EQ(std::string(slot->value.c_str()), std::to_string(i));
  }
  int32_t capacity = map.capacity();
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.capacity(), capacity);
  EXPECT_EQ(map.find("device-1"), nullptr);
  EXPECT_TRUE(map.insert(key("device-1")).inserted);
}

}  // namespace
}  // namespace quarrow::test
