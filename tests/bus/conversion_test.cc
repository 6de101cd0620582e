#include "bus/conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

namespace quarrow {
namespace {

TEST(Conversion, IdentityReturnsTheRawValue) {
  Conversion c;
  EXPECT_EQ(conversion_apply(c, 12.5), 12.5);
}

TEST(Conversion, LinearTakesOffsetThenFactor) {
  Conversion c;
  const double values[] = {2.0, 0.5};
  ASSERT_TRUE(conversion_set_linear(&c, values, 2));
  EXPECT_DOUBLE_EQ(conversion_apply(c, 10.0), 7.0);
}

TEST(Conversion, LinearWithFewerThanTwoValuesIsTheIdentity) {
  Conversion c;
  const double values[] = {3.0};
  EXPECT_TRUE(conversion_set_linear(&c, values, 1));
  EXPECT_EQ(conversion_apply(c, 10.0), 10.0);
  EXPECT_TRUE(conversion_set_linear(&c, nullptr, 0));
  EXPECT_EQ(conversion_apply(c, 4.0), 4.0);
}

struct TableCase {
  const char* what;
  std::vector<double> values;
  double raw;
  double expected;
};

class ValueTableTest : public testing::TestWithParam<TableCase> {};

TEST_P(ValueTableTest, LooksUp) {
  const TableCase& c = GetParam();
  Conversion conversion;
  ASSERT_TRUE(conversion_set_value_table(&conversion, c.values.data(), c.values.size()));
  EXPECT_EQ(conversion_apply(conversion, c.raw), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, ValueTableTest,
    testing::Values(TableCase{"first pair wins", {1, 10, 1, 20}, 1, 10},
                    TableCase{"exact key", {1, 10, 2, 20, 3, 30}, 2, 20},
                    TableCase{"nearest above", {1, 10, 5, 50}, 4, 50},
                    TableCase{"nearest below", {1, 10, 5, 50}, 2, 10},
                    TableCase{"tie takes the lower key", {1, 10, 5, 50}, 3, 10},
                    TableCase{"below every key", {5, 50, 1, 10}, -7, 10},
                    TableCase{"above every key", {5, 50, 1, 10}, 99, 50},
                    TableCase{"odd count ignores the last value", {1, 10, 7}, 7, 10},
                    TableCase{"empty table keeps the raw value", {}, 3, 3},
                    TableCase{"negative zero is zero", {-0.0, 8, 4, 40}, 0.0, 8}));

TEST(Conversion, ValueTableKeepsNaNRaw) {
  Conversion c;
  const double values[] = {1, 10};
  ASSERT_TRUE(conversion_set_value_table(&c, values, 2));
  EXPECT_TRUE(std::isnan(conversion_apply(c, NAN)));
}

TEST(Conversion, MovesItsTable) {
  Conversion a;
  const double values[] = {1, 10, 2, 20};
  ASSERT_TRUE(conversion_set_value_table(&a, values, 4));
  Conversion b(std::move(a));
  EXPECT_EQ(conversion_apply(b, 2), 20);
  EXPECT_EQ(conversion_apply(a, 2), 2);  // NOLINT: moved-from is the identity
  Conversion c;
  c = std::move(b);
  EXPECT_EQ(conversion_apply(c, 1), 10);
}

}  // namespace
}  // namespace quarrow
