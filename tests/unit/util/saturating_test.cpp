#include "util/saturating.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace nolv {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

TEST(SaturateCast, FloatingToI32) {
  struct Case {
    double in;
    std::int32_t out;
  };
  for (const Case& c :
       {Case{kNaN, 0}, Case{kInf, kI32Max}, Case{-kInf, kI32Min}, Case{2147483647.0, kI32Max},
        Case{2147483648.5, kI32Max}, Case{2147483646.9, 2147483646}, Case{-2147483648.0, kI32Min},
        Case{-2147483649.0, kI32Min}, Case{-1.9, -1}, Case{1.9, 1}, Case{0.0, 0}})
    EXPECT_EQ(saturate_cast<std::int32_t>(c.in), c.out) << c.in;
}

TEST(SaturateCast, FloatingToU32) {
  struct Case {
    double in;
    std::uint32_t out;
  };
  for (const Case& c : {Case{kNaN, 0}, Case{-0.5, 0}, Case{-kInf, 0}, Case{kInf, kU32Max},
                        Case{4294967295.0, kU32Max}, Case{1e20, kU32Max},
                        Case{4294967294.7, 4294967294u}, Case{0.99, 0}})
    EXPECT_EQ(saturate_cast<std::uint32_t>(c.in), c.out) << c.in;
}

TEST(SaturateCast, IntegerToNarrower) {
  EXPECT_EQ(saturate_cast<std::uint32_t>(std::uint64_t{1} << 40), kU32Max);
  EXPECT_EQ(saturate_cast<std::uint32_t>(std::uint64_t{kU32Max}), kU32Max);
  EXPECT_EQ(saturate_cast<std::uint32_t>(std::uint64_t{7}), 7u);
  EXPECT_EQ(saturate_cast<std::uint32_t>(std::int64_t{-1}), 0u);
  EXPECT_EQ(saturate_cast<std::int32_t>(std::numeric_limits<std::int64_t>::min()), kI32Min);
  EXPECT_EQ(saturate_cast<std::int32_t>(std::numeric_limits<std::uint64_t>::max()), kI32Max);
  EXPECT_EQ(saturate_cast<std::int64_t>(std::numeric_limits<std::uint64_t>::max()),
            std::numeric_limits<std::int64_t>::max());
}

TEST(SaturatingArithmetic, StopsAtTheLimits) {
  EXPECT_EQ(add_saturating(kI32Max, 1), kI32Max);
  EXPECT_EQ(add_saturating(kI32Min, -1), kI32Min);
  EXPECT_EQ(add_saturating(kU32Max, 1u), kU32Max);
  EXPECT_EQ(add_saturating(-5, 3), -2);
  EXPECT_EQ(sub_saturating(kI32Min, 1), kI32Min);
  EXPECT_EQ(sub_saturating(kI32Max, -1), kI32Max);
  EXPECT_EQ(sub_saturating(1u, 2u), 0u);
  EXPECT_EQ(sub_saturating(std::int64_t{10}, std::int64_t{4}), 6);
}

}  // namespace
}  // namespace nolv
