// The q10 recurrent cell and the q10-to-q31 row softmax, bit for bit against references
// built from the fixed-point rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ops/fixed_point_reference.h"
#include "test_support.h"

namespace {

using zk_test::error_log;
using zk_test::log_line;
using zk_test::sigmoid_q15;
using zk_test::tanh_q15;

int64_t clamp(int64_t v, int64_t lo, int64_t hi) { return std::min(std::max(v, lo), hi); }

// Floor of n / 2^shift: what an arithmetic right shift gives.
int64_t floor_shift(int64_t n, int shift) {
  return static_cast<int64_t>(std::floor(static_cast<long double>(n) / std::ldexp(1.0L, shift)));
}

std::vector<int16_t> random_int16(size_t count, uint32_t seed, int32_t lo = -32768,
                                  int32_t hi = 32767) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int32_t> value(lo, hi);
  std::vector<int16_t> values(count);
  for (int16_t& v : values) v = static_cast<int16_t>(value(generator));
  return values;
}

struct Cell {
  int16_t h, c, i, g, o;  // the output, the new state and the three gates blocks afterwards
};

// One cell step from the rules: the gates as q15, the forget gate as 1 - i, the products
// renormalised to q10 with rounding half up, the state saturated to int16.
Cell cell_reference(int16_t i_pre, int16_t g_pre, int16_t o_pre, int16_t c) {
  const int64_t i = sigmoid_q15(i_pre);
  const int64_t g = tanh_q15(g_pre);
  const int64_t o = sigmoid_q15(o_pre);
  const int64_t f = 32767 - i;
  const int64_t state =
      clamp(floor_shift(f * c + 16384, 15) + floor_shift(g * i + 524288, 20), -32768, 32767);
  const int64_t t = tanh_q15(static_cast<int32_t>(state));
  const int64_t h = clamp(floor_shift(t * o + 524288, 20), -32768, 32767);
  return {static_cast<int16_t>(h), static_cast<int16_t>(state), static_cast<int16_t>(t),
          static_cast<int16_t>(g), static_cast<int16_t>(o)};
}

// e^(-a / 1024) as q31: e^(-(a >> 7) / 8) times e^(-(a & 127) / 1024), each rounded to q31,
// renormalised with rounding; from a = 16383 on it stays at its value there.
int64_t exp_q31(int64_t a) {
  auto entry = [](long double exponent) {
    return static_cast<int64_t>(std::floor(2147483647.0L * std::exp(exponent) + 0.5L));
  };
  const int64_t m = std::min<int64_t>(a, 16383);
  return floor_shift(entry(-(m >> 7) / 8.0L) * entry(-(m & 127) / 1024.0L) + (INT64_C(1) << 30),
                     31);
}

// One row of the softmax: exponentials of the distances below the row maximum, their
// 64-bit sum S, then e * (2^62 / S held to int32) renormalised to q31 with rounding.
std::vector<int32_t> softmax_reference(const int16_t* x, int32_t cols) {
  if (cols == 0) return {};
  const int64_t m = *std::max_element(x, x + cols);
  std::vector<int64_t> e(cols);
  int64_t s = 0;
  for (int32_t k = 0; k < cols; ++k) {
    e[k] = exp_q31(std::min<int64_t>(m - x[k], 32767));
    s += e[k];
  }
  const int64_t scale = std::min<int64_t>((INT64_C(1) << 62) / s, 2147483647);
  std::vector<int32_t> p(cols);
  for (int32_t k = 0; k < cols; ++k) {
    p[k] = static_cast<int32_t>(
        clamp(floor_shift(scale * e[k] + (INT64_C(1) << 30), 31), INT32_MIN, INT32_MAX));
  }
  return p;
}

class RecurrentSoftmaxTest : public zk_test::DeviceTest {};

// The output, the new state and all three gate blocks, bit for bit.
TEST_F(RecurrentSoftmaxTest, RecurrentCell) {
  struct Case {
    const char* name;
    std::vector<int16_t> i, g, o, c;
    std::vector<int16_t> example;  // when non-empty: h, c and the gate blocks of cell 0
  };
  // Every combination of extreme and boundary values: the lookups saturate at +-8.0 (+-4.0
  // for tanh), and the state runs from -32768 to 32767.
  const std::vector<int16_t> corners = {-32768, -8193, -8192, -1, 0, 1, 4096, 8128, 32767};
  Case extremes{"saturating inputs and states", {}, {}, {}, {}, {}};
  for (int16_t i : corners) {
    for (int16_t g : corners) {
      for (int16_t o : corners) {
        for (int16_t c : corners) {
          extremes.i.push_back(i);
          extremes.g.push_back(g);
          extremes.o.push_back(o);
          extremes.c.push_back(c);
        }
      }
    }
  }
  const Case cases[] = {
      {"all zero", {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0, 0, 16384}},
      // i = 11, so f = 32756: the state decays to 32755; the product terms cannot carry it
      // past the int16 range.
      {"one cell, full state, smallest input gate",
       {-32768},
       {32767},
       {32767},
       {32767},
       {1023, 32755, 32742, 32742, 32755}},
      extremes,
      {"random, over several blocks", random_int16(1000, 1, -12000, 12000),
       random_int16(1000, 2, -6000, 6000), random_int16(1000, 3, -12000, 12000),
       random_int16(1000, 4)},
  };
  constexpr int32_t kOutputOffset = 6;
  constexpr int32_t kStateOffset = 10;
  constexpr int32_t kGatesOffset = 4;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_error_log_clear();
    const size_t count = c.i.size();
    std::vector<int16_t> gates = c.i;
    gates.insert(gates.end(), c.g.begin(), c.g.end());
    gates.insert(gates.end(), c.o.begin(), c.o.end());
    zk_ocu_buffer* h = output(count * 2, kOutputOffset);
    zk_ocu_buffer* state = operand(c.c, kStateOffset);
    zk_ocu_buffer* gate_buffer = operand(gates, kGatesOffset);
    zk_ocu_op_lstm_cell_args_t args{
        h,           state, gate_buffer, static_cast<int32_t>(count), kOutputOffset, kStateOffset,
        kGatesOffset};
    ASSERT_EQ(vorel32(device_, nullptr, &args), ZK_STATUS_OK);
    EXPECT_TRUE(error_log().empty());
    std::vector<int16_t> expected_h(count), expected_c(count), expected_gates(3 * count);
    for (size_t j = 0; j < count; ++j) {
      const Cell cell = cell_reference(c.i[j], c.g[j], c.o[j], c.c[j]);
      expected_h[j] = cell.h;
      expected_c[j] = cell.c;
      expected_gates[j] = cell.i;
      expected_gates[count + j] = cell.g;
      expected_gates[2 * count + j] = cell.o;
    }
    EXPECT_EQ(result<int16_t>(h, kOutputOffset, count), expected_h);
    EXPECT_EQ(result<int16_t>(state, kStateOffset, count), expected_c);
    EXPECT_EQ(result<int16_t>(gate_buffer, kGatesOffset, 3 * count), expected_gates);
    if (!c.example.empty()) {
      EXPECT_EQ((std::vector<int16_t>{expected_h[0], expected_c[0], expected_gates[0],
                                      expected_gates[count], expected_gates[2 * count]}),
                c.example)
          << "reference";
    }
  }
}

// Every row of the q31 result bit for bit.
TEST_F(RecurrentSoftmaxTest, SoftmaxQ10) {
  struct Case {
    const char* name;
    int32_t rows;
    int32_t cols;
    std::vector<int16_t> logits;
    std::vector<int32_t> examples;  // when non-empty, the first results
  };
  // Logits spread far enough that the exponential saturates at 242 below the maximum.
  std::vector<int16_t> spread = random_int16(3 * 700, 5);
  spread[0] = -32768;
  spread[1] = 32767;
  const Case cases[] = {
      // 2^62 / (2^31 - 2) exceeds the int32 range; held to 2^31 - 1 it gives 2^31 - 3.
      {"one element per row", 3, 1, {5, -32768, 32767}, {2147483645, 2147483645, 2147483645}},
      {"equal logits", 2, 300, std::vector<int16_t>(600, 77), {7158278, 7158278}},
      {"saturated exponentials", 1, 3, {16384, 0, -1}, {2147483164, 242, 242}},
      {"rows longer than a block stride", 3, 700, spread, {}},
      {"within the lookup's range", 4, 1000, random_int16(4000, 6, -4000, 4000), {}},
      {"exactly one stride", 2, 256, random_int16(512, 7, -3000, 3000), {}},
      {"one past a stride", 2, 257, random_int16(514, 8, -3000, 3000), {}},
      {"many short rows", 70, 37, random_int16(70 * 37, 9, -9000, 9000), {}},
      {"empty rows", 4, 0, {}, {}},
  };
  constexpr int32_t kOutputOffset = 12;
  constexpr int32_t kInputOffset = 6;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_error_log_clear();
    const size_t count = static_cast<size_t>(c.rows) * c.cols;
    ASSERT_EQ(c.logits.size(), count);
    zk_ocu_buffer* input =
        operand(c.logits.empty() ? std::vector<int16_t>(1) : c.logits, kInputOffset);
    zk_ocu_buffer* output = this->output(count * 4, kOutputOffset);
    zk_ocu_op_elementwise_broadcast_args_t args{output, input,         c.rows,
                                                c.cols, kOutputOffset, kInputOffset};
    ASSERT_EQ(vorel260(device_, nullptr, &args), ZK_STATUS_OK);
    EXPECT_TRUE(error_log().empty());
    std::vector<int32_t> expected;
    for (int32_t r = 0; r < c.rows; ++r) {
      const std::vector<int32_t> row =
          softmax_reference(c.logits.data() + static_cast<size_t>(r) * c.cols, c.cols);
      expected.insert(expected.end(), row.begin(), row.end());
    }
    for (size_t k = 0; k < c.examples.size(); ++k) {
      ASSERT_EQ(expected[k], c.examples[k]) << "reference, element " << k;
    }
    EXPECT_EQ(result<int32_t>(output, kOutputOffset, count), expected);
  }
}

// An empty grid and a failed launch both return 7 with one 0x33C record; the failure is
// consumed by the check.
TEST_F(RecurrentSoftmaxTest, LaunchFailures) {
  struct Case {
    const char* name;
    zk_status_t (*call)(zk_ocu_device*, zk_ocu_buffer*, zk_ocu_buffer*, int32_t);
  };
  const Case cases[] = {
      {"vorel32",
       [](zk_ocu_device* device, zk_ocu_buffer* out, zk_ocu_buffer* in, int32_t n) {
         zk_ocu_op_lstm_cell_args_t args{out, out, in, n, 0, 16, 0};
         return vorel32(device, nullptr, &args);
       }},
      {"vorel260",
       [](zk_ocu_device* device, zk_ocu_buffer* out, zk_ocu_buffer* in, int32_t n) {
         zk_ocu_op_elementwise_broadcast_args_t args{out, in, n, 2, 0, 0};
         return vorel260(device, nullptr, &args);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_buffer* out = output(32);
    zk_ocu_buffer* in = operand(std::vector<int16_t>(12, 100));
    zk_test::expect_kernel_failure([&] { return c.call(device_, out, in, 0); }, "empty grid");
    expect_untouched(out, 0, 32);
    zk_test::expect_failed_launch_consumed([&] {
      const zk_status_t status = c.call(device_, out, in, 4);
      if (status != ZK_STATUS_OK) expect_untouched(out, 0, 32);
      return status;
    });
  }
}

}  // namespace
