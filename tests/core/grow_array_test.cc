#include "core/grow_array.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sso_string.h"

namespace quarrow::test {
namespace {

TEST(GrowArrayTest, CapacityGrowsByHalfPlusFour) {
  GrowArray<int> a;
  EXPECT_EQ(a.capacity(), 0u);
  std::vector<uint64_t> capacities;
  for (int i = 0; i < 52; ++i) {
    ASSERT_TRUE(a.append(i));
    if (capacities.empty() || capacities.back() != a.capacity()) capacities.push_back(a.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<uint64_t>{4, 10, 19, 32, 52}));
  for (int i = 0; i < 52; ++i) EXPECT_EQ(a[i], i);
}

TEST(GrowArrayTest, StringElementsSurviveEveryGrowth) {
  GrowArray<SsoString> a;
  for (int i = 0; i < 100; ++i) {
    SsoString s;
    // Alternate inline and heap strings: both forms are moved on growth.
    std::string text = std::to_string(i) + (i % 2 ? std::string(40, '#') : std::string());
    ASSERT_TRUE(s.assign(StringView(text.data(), text.size())));
    ASSERT_TRUE(a.append(std::move(s)));
    EXPECT_TRUE(s.empty());
  }
  ASSERT_EQ(a.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    std::string text = std::to_string(i) + (i % 2 ? std::string(40, '#') : std::string());
    EXPECT_EQ(std::string(a[i].c_str(), a[i].size()), text);
  }
}

// Records the order in which elements are destroyed.
struct Tracked {
  std::vector<int>* log;
  int id;
  Tracked(std::vector<int>* l, int i) : log(l), id(i) {}
  Tracked(Tracked&& o) noexcept : log(o.log), id(o.id) { o.log = nullptr; }
  ~Tracked() {
    if (log) log->push_back(id);
  }
};

TEST(GrowArrayTest, ClearDestroysLastFirstAndKeepsCapacity) {
  std::vector<int> destroyed;
  GrowArray<Tracked> a;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(a.append(Tracked(&destroyed, i)));
  destroyed.clear();  // only the clear counts below
  uint64_t capacity = a.capacity();
  a.clear();
  EXPECT_EQ(destroyed, (std::vector<int>{4, 3, 2, 1, 0}));
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.capacity(), capacity);
  a.release();
  EXPECT_EQ(a.capacity(), 0u);
  EXPECT_EQ(a.data(), nullptr);
}

TEST(GrowArrayTest, ImpossibleReserveFailsAndKeepsTheArray) {
  GrowArray<uint64_t> a;
  ASSERT_TRUE(a.append(7));
  EXPECT_FALSE(a.reserve(UINT64_MAX / 4));
  EXPECT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0], 7u);
}

}  // namespace
}  // namespace quarrow::test
