#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/grow_array.h"
#include "core/hash.h"
#include "core/hash_map.h"
#include "core/sso_string.h"

namespace quarrow::test {
namespace {

// The 23rd character moves the text to the heap; reserving never shrinks,
// and growth that cannot happen keeps the string as it was.
TEST(SsoStringTest, GrowsFromInlineToHeapAndKeepsItsTextWhenGrowthFails) {
  alignas(SsoString) unsigned char zeros[sizeof(SsoString)] = {};
  EXPECT_STREQ(reinterpret_cast<SsoString*>(zeros)->c_str(), "");
  SsoString s, t;
  for (int i = 0; i < 23; ++i) {
    ASSERT_NE(s.push_back(static_cast<char>('a' + i)), nullptr);
    EXPECT_EQ(s.is_long(), i == 22) << i;
  }
  EXPECT_STREQ(s.c_str(), "abcdefghijklmnopqrstuvw");
  t.append("short", 5);
  for (auto [n, capacity] :
       {std::pair<uint64_t, uint64_t>{22, 22}, {23, 23}, {10, 23}, {100, 100}}) {
    ASSERT_NE(t.reserve(n), nullptr);
    EXPECT_EQ(t.capacity(), capacity);
    EXPECT_EQ(t.is_long(), capacity > 22);
  }
  EXPECT_EQ(t.reserve(UINT64_MAX), nullptr);
  EXPECT_EQ(t.append("x", UINT64_MAX / 2), nullptr);
  EXPECT_STREQ(t.c_str(), "short");
}

// The appended text lies inside the string and must survive its reallocation:
// inline, moving to the heap, reallocating, a suffix with no spare room.
TEST(SsoStringTest, AppendingPartOfItselfCopiesTheOldText) {
  for (const auto& [text, from] : {std::pair<std::string, uint64_t>{"abc", 0},
                                   {"abcdefghijklmnop", 0},
                                   {std::string(40, 'x') + "tail", 0},
                                   {std::string(30, 'a') + "0123456789", 30}}) {
    SsoString s;
    s.append(text.data(), text.size());
    ASSERT_NE(s.append(s.c_str() + from, s.size() - from), nullptr);
    EXPECT_EQ(std::string(s.c_str(), s.size()), text + text.substr(from));
  }
}

// Logs its id when destroyed; a moved-from element logs nothing.
struct Tracked {
  std::vector<int>* log;
  int id;
  Tracked(std::vector<int>* l, int i) : log(l), id(i) {}
  Tracked(Tracked&& o) noexcept : log(std::exchange(o.log, nullptr)), id(o.id) {}
  ~Tracked() {
    if (log) log->push_back(id);
  }
};

TEST(GrowArrayTest, ImpossibleReserveKeepsTheArrayAndClearDestroysLastFirst) {
  std::vector<int> destroyed;
  GrowArray<Tracked> a;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a.append(Tracked(&destroyed, i)));
  EXPECT_FALSE(a.reserve(UINT64_MAX / 4));
  a.clear();
  EXPECT_EQ(destroyed, (std::vector<int>{2, 1, 0}));
}

// 7 bytes take the step rule, 4 and 8 are read as a number, 18 are two
// groups and two bytes.
TEST(HashTest, ByteStringHashesFollowTheirRule) {
  for (const auto& [text, hash] : {std::pair<const char*, uint64_t>{"", 1},
                                   {"default", 0x96814f73ee721f25ull},
                                   {"abcd", 0xaa64696ad1ae9e7dull},
                                   {"01234567", 0xf72455a24cbcda70ull},
                                   {"0123456789ABCDEFxy", 0x3d17900f9cc73cc3ull}})
    EXPECT_EQ(hash_bytes(text), hash) << text;
  EXPECT_EQ(hash_u64(1), 0xc6a4a7935bd1e99dull);
  EXPECT_EQ(hash_double(1.0), hash_u64(0x3ff0000000000000ull));
}

// An absent key is probed until an empty slot, so one must always remain.
TEST(HashMapTest, TableGrowsAtTheFifthAndNinthInsertAndAbsentKeysAreNotFound) {
  HashMap<uint64_t, int> map;
  EXPECT_EQ(map.find(0), nullptr);
  for (int i = 0; i < 9; ++i) {
    auto r = map.insert(i * 7919u);
    ASSERT_TRUE(r.slot && r.inserted);
    r.slot->value = i;
    EXPECT_EQ(map.capacity(), i < 4 ? 5 : i < 8 ? 11 : 19) << "after insert " << i + 1;
    for (uint64_t k = 1; k < 100; ++k) ASSERT_EQ(map.find(k), nullptr);
  }
  for (int i = 0; i < 9; ++i) EXPECT_EQ(map.find(i * 7919u)->value, i);
}

}  // namespace
}  // namespace quarrow::test
