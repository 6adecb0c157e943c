// The three constant tables, rebuilt entry by entry from their defining rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

const int32_t kExpMsb[] = {
#include "fixed_point/exp_msb_table.inc"
};
const int32_t kExpLsb[] = {
#include "fixed_point/exp_lsb_table.inc"
};
const int16_t kSigmoid[] = {
#include "fixed_point/sigmoid_table.inc"
};

// Nearest integer; long double carries enough digits that no entry sits near a tie
// except sigmoid(0) * 32767 = 16383.5, which rounds up.
int64_t round_half_up(long double value) { return static_cast<int64_t>(std::floor(value + 0.5L)); }

TEST(FixedPointTables, RebuiltFromTheirRules) {
  ASSERT_EQ(sizeof kExpMsb, 512u);
  ASSERT_EQ(sizeof kExpLsb, 512u);
  ASSERT_EQ(sizeof kSigmoid, 514u);
  for (int k = 0; k < 128; ++k) {
    EXPECT_EQ(kExpMsb[k], round_half_up(2147483647.0L * std::exp(-k / 8.0L))) << k;
    EXPECT_EQ(kExpLsb[k], round_half_up(2147483647.0L * std::exp(-k / 1024.0L))) << k;
  }
  for (int k = 0; k <= 256; ++k) {
    const long double x = k < 128 ? k / 16.0L : k < 256 ? (k - 256) / 16.0L : 0.0L;
    EXPECT_EQ(kSigmoid[k], round_half_up(32767.0L / (1.0L + std::exp(-x)))) << k;
  }
}

TEST(FixedPointTables, TellingValues) {
  EXPECT_EQ(kExpMsb[0], 2147483647);
  EXPECT_EQ(kExpMsb[1], 1895147667);
  EXPECT_EQ(kExpMsb[2], 1672461946);
  EXPECT_EQ(kExpMsb[126], 310);
  EXPECT_EQ(kExpMsb[127], 274);
  EXPECT_EQ(kExpLsb[0], 2147483647);
  EXPECT_EQ(kExpLsb[1], 2145387519);
  EXPECT_EQ(kExpLsb[2], 2143293436);
  EXPECT_EQ(kExpLsb[127], 1896999301);
  EXPECT_EQ(kSigmoid[0], 16384);
  EXPECT_EQ(kSigmoid[1], 16895);
  EXPECT_EQ(kSigmoid[2], 17406);
  EXPECT_EQ(kSigmoid[127], 32755);
  EXPECT_EQ(kSigmoid[128], 11);
  EXPECT_EQ(kSigmoid[255], 15872);
  EXPECT_EQ(kSigmoid[256], 16384);
}

}  // namespace
