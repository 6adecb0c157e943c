// 16-bit fixed-point operators: q10 to float, the table sigmoid as q15 and q10, the
// rectifier, saturating addition, scaling by a q10 scalar and the per-column shift and scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ops/fixed_point_reference.h"
#include "test_support.h"

namespace {

using zk_test::error_log;
using zk_test::float_bits;
using zk_test::log_line;
using zk_test::sigmoid_q15;

using ElementwiseOp = zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*,
                                      zk_ocu_op_elementwise_args_t*);

int32_t clamp16(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, -32768, 32767)); }

// Floor of n / 1024, what an arithmetic shift by 10 gives.
int64_t floor_div_1024(int64_t n) {
  return static_cast<int64_t>(std::floor(static_cast<double>(n) / 1024.0));
}

std::vector<int16_t> random_int16(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int32_t> value(-32768, 32767);
  std::vector<int16_t> values(count);
  for (int16_t& v : values) v = static_cast<int16_t>(value(generator));
  return values;
}

struct Operands {
  zk_ocu_device* device;
  zk_ocu_buffer* out;
  zk_ocu_buffer* a;
  zk_ocu_buffer* b;
};

template <ElementwiseOp op>
zk_status_t run_elementwise(const Operands& s, int32_t count) {
  zk_ocu_op_elementwise_args_t args{s.out, s.a, count, 4, 8};
  return op(s.device, nullptr, &args);
}

class FixedPointTest : public zk_test::DeviceTest {};

// Every int16 input, in a shuffled order, against a reference built from the defining
// rules; the known values are read off the same results.
TEST_F(FixedPointTest, ElementwiseOverEveryInput) {
  struct Case {
    const char* name;
    ElementwiseOp op;
    int32_t output_bytes;
    uint32_t (*reference)(int16_t);  // bits of the expected element
    std::vector<std::pair<int16_t, uint32_t>> examples;
  };
  const Case cases[] = {
      {"vorel71 q10 to float",
       vorel71,
       4,
       [](int16_t v) { return float_bits(static_cast<float>(v / 1024.0)); },
       {{-32768, float_bits(-32.0f)}, {1, float_bits(0.0009765625f)}, {0, 0u}}},
      {"vorel278 sigmoid q15",
       vorel278,
       2,
       [](int16_t v) { return static_cast<uint32_t>(sigmoid_q15(v)); },
       {{0, 16384u},
        {-1, 16376u},
        {1024, 23955u},
        {8128, 32755u},
        {9000, 32755u},
        {32767, 32755u},
        {-8192, 11u},
        {-9000, 11u},
        {-32768, 11u}}},
      {"vorel341 sigmoid q10",
       vorel341,
       2,
       [](int16_t v) { return static_cast<uint32_t>(sigmoid_q15(v) / 32); },
       {{0, 512u}}},
      {"vorel245 rectifier",
       vorel245,
       2,
       [](int16_t v) { return static_cast<uint32_t>(std::max<int32_t>(v, 0)); },
       {{-32768, 0u}, {-1, 0u}, {0, 0u}, {32767, 32767u}}},
  };
  std::vector<int16_t> inputs(65536);
  std::iota(inputs.begin(), inputs.end(), int16_t{-32768});
  std::shuffle(inputs.begin(), inputs.end(), std::mt19937(7));
  const int32_t count = static_cast<int32_t>(inputs.size());
  constexpr int32_t kInputOffset = 6;
  constexpr int32_t kOutputOffset = 12;
  zk_ocu_buffer* input = operand(inputs, kInputOffset);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_buffer* output = this->output(inputs.size() * c.output_bytes, kOutputOffset);
    zk_ocu_op_elementwise_args_t args{output, input, count, kOutputOffset, kInputOffset};
    ASSERT_EQ(c.op(device_, nullptr, &args), ZK_STATUS_OK);
    const std::vector<uint8_t> bytes =
        result<uint8_t>(output, kOutputOffset, inputs.size() * c.output_bytes);
    std::vector<uint32_t> results(inputs.size(), 0);
    int mismatches = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
      uint32_t value = 0;
      std::memcpy(&value, &bytes[i * c.output_bytes], c.output_bytes);
      results[static_cast<uint16_t>(inputs[i])] = value;
      const uint32_t expected = c.reference(inputs[i]) & (c.output_bytes == 2 ? 0xFFFFu : ~0u);
      if (value != expected && ++mismatches <= 5) {
        ADD_FAILURE() << "input " << inputs[i] << ": 0x" << std::hex << value << " instead of 0x"
                      << expected;
      }
    }
    EXPECT_EQ(mismatches, 0);
    for (const auto& [v, expected] : c.examples) {
      EXPECT_EQ(results[static_cast<uint16_t>(v)], expected) << "input " << v;
    }
    EXPECT_TRUE(error_log().empty());
  }
}

// Lane-wise saturation for odd counts (element kernel), even counts on 4-byte-aligned
// operands (word kernel) and even counts with any operand 2 bytes off alignment, which
// must not take the word kernel: its misaligned access faults on a GPU and is reported by
// the sanitizer build.
TEST_F(FixedPointTest, SaturatingAddition) {
  struct Case {
    const char* name;
    int32_t count;
    int32_t output_offset;
    int32_t a_offset;
    int32_t b_offset;
  };
  const Case cases[] = {
      {"odd count, aligned", 1001, 4, 8, 12},
      {"odd count, misaligned", 1001, 6, 2, 10},
      {"one element", 1, 2, 4, 6},
      {"even count, aligned", 1000, 4, 8, 12},
      {"one pair, aligned", 2, 8, 4, 12},
      {"even count, output 2 off", 1000, 2, 8, 12},
      {"even count, input_a 2 off", 1000, 4, 10, 12},
      {"even count, input_b 2 off", 1000, 4, 8, 14},
  };
  const std::vector<std::pair<int16_t, int16_t>> extremes = {
      {30000, 10000},  {-30000, -10000}, {32767, 1},       {-32768, -1},
      {-32768, 32767}, {32767, 32767},   {-32768, -32768}, {100, -200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_error_log_clear();
    std::vector<int16_t> a = random_int16(c.count, 11);
    std::vector<int16_t> b = random_int16(c.count, 12);
    for (size_t i = 0; i < extremes.size() && i < a.size(); ++i) {
      a[i] = extremes[i].first;
      b[i] = extremes[i].second;
    }
    zk_ocu_buffer* output = this->output(a.size() * 2, c.output_offset);
    zk_ocu_op_pairwise_args_t args{output,    operand(a, c.a_offset), operand(b, c.b_offset),
                                   c.count,   c.output_offset,        c.a_offset,
                                   c.b_offset};
    ASSERT_EQ(vorel196(device_, nullptr, &args), ZK_STATUS_OK);
    std::vector<int16_t> expected(a.size());
    for (size_t i = 0; i < a.size(); ++i) expected[i] = static_cast<int16_t>(clamp16(a[i] + b[i]));
    const std::vector<int16_t> sums = result<int16_t>(output, c.output_offset, a.size());
    EXPECT_EQ(sums, expected);
    EXPECT_EQ(sums[0], 32767);
    if (c.count > 1) EXPECT_EQ(sums[1], -32768);
    EXPECT_TRUE(error_log().empty());
  }
}

// (v * scalar + r) >> 10, saturated: r = 512 rounds half up, r = 0 (any non-zero flag)
// rounds toward negative infinity.
TEST_F(FixedPointTest, ScaleByQ10Scalar) {
  struct Case {
    const char* name;
    int16_t scalar;
    int32_t no_rounding;
    std::vector<std::pair<int16_t, int16_t>> examples;
  };
  const Case cases[] = {
      {"half, rounded", 512, 0, {{3, 2}, {-3, -1}, {1, 1}, {-1, 0}}},
      {"half, truncated", 512, 1, {{3, 1}, {-3, -2}, {1, 0}, {-1, -1}}},
      {"largest, rounded", 32767, 0, {{32767, 32767}, {-32768, -32768}, {1024, 32767}}},
      {"smallest, truncated", -32768, 1, {{-32768, 32767}, {32767, -32768}, {1, -32}}},
      {"any non-zero flag truncates", -3, 7, {{1, -1}, {-1, 0}, {512, -2}}},
      {"one, rounded", 1024, 0, {{-32768, -32768}, {32767, 32767}, {-5, -5}}},
      {"minus one ulp, rounded", -1, 0, {{512, 0}, {513, -1}, {-512, 1}, {-513, 1}}},
      {"zero, rounded", 0, 0, {{32767, 0}, {-32768, 0}}},
  };
  std::vector<int16_t> inputs = random_int16(700, 21);
  const std::vector<int16_t> fixed = {3,    -3,   1,    -1, 0,     512,   513,
                                      -512, -513, 1024, -5, 32767, -32768};
  std::copy(fixed.begin(), fixed.end(), inputs.begin());
  constexpr int32_t kInputOffset = 10;
  constexpr int32_t kOutputOffset = 4;
  zk_ocu_buffer* input = operand(inputs, kInputOffset);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_error_log_clear();
    zk_ocu_buffer* output = this->output(inputs.size() * 2, kOutputOffset);
    zk_ocu_op_mulsv_args_t args{
        output,        input,       c.scalar, c.no_rounding, static_cast<int32_t>(inputs.size()),
        kOutputOffset, kInputOffset};
    ASSERT_EQ(vorel124(device_, nullptr, &args), ZK_STATUS_OK);
    const std::vector<int16_t> scaled = result<int16_t>(output, kOutputOffset, inputs.size());
    const int32_t r = c.no_rounding == 0 ? 512 : 0;
    std::vector<int16_t> expected(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
      expected[i] = static_cast<int16_t>(
          clamp16(floor_div_1024(static_cast<int64_t>(inputs[i]) * c.scalar + r)));
    }
    EXPECT_EQ(scaled, expected);
    for (const auto& [v, value] : c.examples) {
      const size_t at =
          static_cast<size_t>(std::find(inputs.begin(), inputs.end(), v) - inputs.begin());
      ASSERT_LT(at, inputs.size());
      EXPECT_EQ(scaled[at], value) << "input " << v;
    }
    EXPECT_TRUE(error_log().empty());
  }
}

// ((v - shift[col]) * scale[col]) >> 10, saturated, over matrices that fill their 16 x 16
// tiles exactly, partly or in one direction only. shift and scale have no offsets.
TEST_F(FixedPointTest, ShiftAndScaleColumns) {
  struct Case {
    int32_t rows;
    int32_t cols;
  };
  const Case cases[] = {{1, 1}, {16, 16}, {17, 33}, {40, 5}, {2, 300}};
  constexpr int32_t kInputOffset = 2;
  constexpr int32_t kOutputOffset = 8;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " x " << c.cols);
    zk_ocu_error_log_clear();
    const size_t elements = static_cast<size_t>(c.rows) * c.cols;
    std::vector<int16_t> input = random_int16(elements, 31);
    std::vector<int16_t> shift = random_int16(c.cols, 32);
    std::vector<int16_t> scale = random_int16(c.cols, 33);
    // Both saturation ends from the widest difference and the most negative scale.
    input[0] = 32767;
    shift[0] = -32768;
    scale[0] = -32768;
    if (c.cols > 1) {
      input[1] = -32768;
      shift[1] = 32767;
      scale[1] = -32768;
    }
    zk_ocu_buffer* output = this->output(elements * 2, kOutputOffset);
    zk_ocu_op_shift_scale_args_t args{output,         operand(input, kInputOffset),
                                      operand(shift), operand(scale),
                                      c.rows,         c.cols,
                                      kOutputOffset,  kInputOffset};
    ASSERT_EQ(vorel233(device_, nullptr, &args), ZK_STATUS_OK);
    std::vector<int16_t> expected(elements);
    for (size_t i = 0; i < elements; ++i) {
      const size_t col = i % c.cols;
      const int64_t product = (static_cast<int64_t>(input[i]) - shift[col]) * scale[col];
      expected[i] = static_cast<int16_t>(clamp16(floor_div_1024(product)));
    }
    const std::vector<int16_t> scaled = result<int16_t>(output, kOutputOffset, elements);
    EXPECT_EQ(scaled, expected);
    EXPECT_EQ(scaled[0], -32768);
    if (c.cols > 1) EXPECT_EQ(scaled[1], 32767);
    EXPECT_TRUE(error_log().empty());
  }
}

// An empty grid and a failed launch both return 7 with one 0x33C record.
TEST_F(FixedPointTest, LaunchFailures) {
  struct Case {
    const char* name;
    zk_status_t (*call)(const Operands&, int32_t extent);
  };
  const Case cases[] = {
      {"vorel71", run_elementwise<vorel71>},
      {"vorel278", run_elementwise<vorel278>},
      {"vorel341", run_elementwise<vorel341>},
      {"vorel245", run_elementwise<vorel245>},
      {"vorel196",
       [](const Operands& s, int32_t n) {
         zk_ocu_op_pairwise_args_t args{s.out, s.a, s.b, n, 4, 8, 12};
         return vorel196(s.device, nullptr, &args);
       }},
      {"vorel124",
       [](const Operands& s, int32_t n) {
         zk_ocu_op_mulsv_args_t args{s.out, s.a, 1024, 0, n, 4, 8};
         return vorel124(s.device, nullptr, &args);
       }},
      {"vorel233 rows",
       [](const Operands& s, int32_t n) {
         zk_ocu_op_shift_scale_args_t args{s.out, s.a, s.b, s.b, n, 3, 4, 8};
         return vorel233(s.device, nullptr, &args);
       }},
      {"vorel233 cols",
       [](const Operands& s, int32_t n) {
         zk_ocu_op_shift_scale_args_t args{s.out, s.a, s.b, s.b, 3, n, 4, 8};
         return vorel233(s.device, nullptr, &args);
       }},
  };
  const Operands operands{device_, output(64), operand(random_int16(32, 41)),
                          operand(random_int16(32, 42))};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_test::expect_kernel_failure([&] { return c.call(operands, 0); }, "empty grid");
    zk_test::expect_failed_launch_consumed([&] { return c.call(operands, 2); });
  }
}

}  // namespace
