// The conversion to q10 and the exponential lookup, called directly: no operator exposes
// the conversion's saturation thresholds (the table lookups saturate long before them) or
// the exponential.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "fixed_point/fixed_point.cuh"

namespace {

TEST(FixedPointLookups, ToQ10) {
  struct Case {
    float x;
    int16_t expected;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {0.0f, 0},
      {-0.0f, 0},
      {1.0f, 1024},
      {0.0009765625f, 1},
      {-0.0009765625f, -1},
      {0.00146484375f, 1},    // 1.5 steps, truncated
      {-0.00146484375f, -1},  // toward zero, not down
      {-0.0004f, 0},
      {31.9990234375f, 32767},  // x * 1024 = 32767: the upper threshold
      {std::nextafter(31.9990234375f, 0.0f), 32766},
      {std::nextafter(32.0f, 0.0f), 32767},
      {32.0f, 32767},
      {1e30f, 32767},
      {inf, 32767},
      {-31.9990234375f, -32767},
      {std::nextafter(-32.0f, 0.0f), -32767},
      {-32.0f, -32768},  // x * 1024 = -32768: the lower threshold
      {-1e30f, -32768},
      {-inf, -32768},
      {nan, 0},
      {-nan, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(to_q10(c.x), c.expected) << c.x;
}

// The product of the two tables' entries, renormalised with rounding, with the entries
// rebuilt from their rules; saturating at 16383 and taking a negative magnitude as 0.
TEST(FixedPointLookups, ExpLookup) {
  auto entry = [](long double exponent) {
    return static_cast<int64_t>(std::floor(2147483647.0L * std::exp(exponent) + 0.5L));
  };
  for (int32_t a = 0; a <= 16383; ++a) {
    const int64_t product = entry(-(a >> 7) / 8.0L) * entry(-(a & 127) / 1024.0L);
    ASSERT_EQ(exp_lookup(a), (product + (INT64_C(1) << 30)) >> 31) << a;
  }
  EXPECT_EQ(exp_lookup(0), 2147483646);
  EXPECT_EQ(exp_lookup(1024), 790015084);
  EXPECT_EQ(exp_lookup(16383), 242);
  EXPECT_EQ(exp_lookup(16384), 242);
  EXPECT_EQ(exp_lookup(32767), 242);
  EXPECT_EQ(exp_lookup(INT32_MAX), 242);
  EXPECT_EQ(exp_lookup(-1), 2147483646);
  EXPECT_EQ(exp_lookup(INT32_MIN), 2147483646);
}

}  // namespace
