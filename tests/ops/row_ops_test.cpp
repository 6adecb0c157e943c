// Row and column operations: row reversal, column means, q10 column sums, the row softmax
// and the conversion of log-magnitude and phase rows into complex spectrum rows.
// Reversal, means and sums are compared bit for bit. The softmax and the spectrum go
// through expf, cosf and sinf, whose last bits differ between the GPU's math library and
// the host's: they are held to error bounds against exact references everywhere, and on
// the emulator (which uses the host's functions) also bit for bit against references that
// repeat the defined order of float operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using zk_test::bits_float;
using zk_test::error_log;
using zk_test::float_bits;
using zk_test::kInf;
using zk_test::kNaN;
using zk_test::log_line;

using RowOp = zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*,
                              zk_ocu_op_elementwise_broadcast_args_t*);

constexpr int32_t kOutputOffset = 12;
constexpr int32_t kInputOffset = 20;
constexpr double kUnitRoundoff = 0x1p-24;

std::vector<float> uniform_floats(size_t count, float lo, float hi, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(lo, hi);
  std::vector<float> values(count);
  for (float& v : values) v = value(generator);
  return values;
}

class RowOpsTest : public zk_test::DeviceTest {
 protected:
  zk_status_t call(RowOp op, zk_ocu_buffer* out, zk_ocu_buffer* in, int32_t rows, int32_t cols,
                   int32_t input_offset = kInputOffset) {
    zk_ocu_op_elementwise_broadcast_args_t args{out, in, rows, cols, kOutputOffset, input_offset};
    return op(device_, nullptr, &args);
  }
};

// Any bit patterns, NaN payloads included, come back mirrored within each row.
TEST_F(RowOpsTest, ReverseRows) {
  struct Case {
    int32_t rows;
    int32_t cols;
  };
  const Case cases[] = {
      {1, 5},     // swaps (0, 4) and (1, 3), keeps 2
      {3, 1},     // rows of one element
      {2, 4},     // even length
      {2, 600},   // 300 swaps: more than the 256 threads
      {3, 513},   // 256 swaps and a middle element
      {1, 1027},  // three passes for the first threads
      {2, 0},
  };
  std::mt19937 generator(27);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " x " << c.cols);
    std::vector<float> values(static_cast<size_t>(c.rows) * c.cols);
    for (float& v : values) v = bits_float(static_cast<uint32_t>(generator()));
    zk_ocu_buffer* data = operand(values, kOutputOffset);
    // The input operand is not read: a null buffer stands for it.
    ASSERT_EQ(call(vorel27, data, nullptr, c.rows, c.cols, 0), ZK_STATUS_OK);
    const std::vector<float> got = result<float>(data, kOutputOffset, values.size());
    for (int32_t r = 0; r < c.rows; ++r) {
      for (int32_t j = 0; j < c.cols; ++j) {
        const size_t i = static_cast<size_t>(r) * c.cols + j;
        const size_t mirrored = static_cast<size_t>(r) * c.cols + (c.cols - 1 - j);
        ASSERT_EQ(float_bits(got[i]), float_bits(values[mirrored])) << "row " << r << " col " << j;
      }
    }
    EXPECT_TRUE(error_log().empty());
  }
}

// The column is summed top to bottom from 0 (each addition rounded), then divided by the
// row count; magnitudes spread over 2^-10 .. 2^10 make the order of additions visible.
TEST_F(RowOpsTest, ColumnMean) {
  struct Case {
    int32_t rows;
    int32_t cols;
  };
  const Case cases[] = {
      {1, 1}, {4, 64}, {37, 65}, {300, 130}, {0, 3},  // 0 / 0
  };
  std::mt19937 generator(217);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-10, 10);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rows << " x " << c.cols);
    std::vector<float> values(static_cast<size_t>(c.rows) * c.cols);
    for (float& v : values) v = std::ldexp(mantissa(generator), exponent(generator));
    zk_ocu_buffer* in = operand(values, kInputOffset);
    zk_ocu_buffer* out = output(c.cols * sizeof(float), kOutputOffset);
    ASSERT_EQ(call(vorel217, out, in, c.rows, c.cols), ZK_STATUS_OK);
    const std::vector<float> got = result<float>(out, kOutputOffset, c.cols);
    for (int32_t i = 0; i < c.cols; ++i) {
      float acc = 0.0f;
      for (int32_t r = 0; r < c.rows; ++r) acc = values[static_cast<size_t>(r) * c.cols + i] + acc;
      const float expected = acc / static_cast<float>(c.rows);
      if (c.rows == 0) {
        EXPECT_TRUE(std::isnan(got[i])) << "column " << i << ": " << got[i];
      } else {
        EXPECT_EQ(float_bits(got[i]), float_bits(expected))
            << "column " << i << ": " << got[i] << ", expected " << expected;
      }
    }
    EXPECT_TRUE(error_log().empty());
  }
}

// The exact integer sum, rounded once to float and scaled by 2^-10. Columns of 70000
// extreme values sum beyond the 32-bit range.
TEST_F(RowOpsTest, ColumnSumQ10) {
  struct Case {
    const char* name;
    int32_t rows;
    int32_t cols;
    std::vector<int16_t> values;  // random when empty
    float first;                  // the first column's known sum, unless NaN
  };
  const int32_t long_rows = 70000;
  std::vector<int16_t> extremes;
  for (int32_t r = 0; r < long_rows; ++r) extremes.insert(extremes.end(), {32767, -32768, -1});
  const Case cases[] = {
      {"1024 and -512", 2, 1, {1024, -512}, 0.5f},
      {"random, two blocks", 300, 257, {}, kNaN},
      {"one row", 1, 5, {}, kNaN},
      {"beyond 32 bits", long_rows, 3, extremes, 2239931.75f},
      {"no rows", 0, 3, {1, 2, 3}, 0.0f},
      {"negative rows", -2, 3, {1, 2, 3}, 0.0f},
  };
  std::mt19937 generator(268);
  std::uniform_int_distribution<int32_t> value(-32768, 32767);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int16_t> values = c.values;
    if (values.empty()) {
      values.resize(static_cast<size_t>(c.rows) * c.cols);
      for (int16_t& v : values) v = static_cast<int16_t>(value(generator));
    }
    zk_ocu_buffer* in = operand(values, 6);
    zk_ocu_buffer* out = output(c.cols * sizeof(float), kOutputOffset);
    ASSERT_EQ(call(vorel268, out, in, c.rows, c.cols, 6), ZK_STATUS_OK);
    const std::vector<float> got = result<float>(out, kOutputOffset, c.cols);
    for (int32_t i = 0; i < c.cols; ++i) {
      int64_t sum = 0;
      for (int32_t r = 0; r < c.rows; ++r) sum += values[static_cast<size_t>(r) * c.cols + i];
      const float expected = static_cast<float>(sum) * 0.0009765625f;
      EXPECT_EQ(float_bits(got[i]), float_bits(expected))
          << "column " << i << ": " << got[i] << ", expected " << expected;
    }
    if (!std::isnan(c.first)) EXPECT_EQ(got[0], c.first);
    EXPECT_TRUE(error_log().empty());
  }
}

// The fixed order of the row sum: each of the 512 threads adds its elements t,
// t + 512, ... in order from 0; each warp combines its 32 sums by butterflies at distances
// 16 .. 1, and the 16 warp sums are combined by butterflies at distances 8 .. 1.
float butterfly(std::vector<float> values) {
  for (size_t distance = values.size() / 2; distance > 0; distance /= 2) {
    std::vector<float> next(values.size());
    for (size_t lane = 0; lane < values.size(); ++lane) {
      next[lane] = values[lane] + values[lane ^ distance];
    }
    values = next;
  }
  return values[0];
}

float ordered_row_sum(const std::vector<float>& e) {
  std::vector<float> thread_sums(512, 0.0f);
  for (size_t t = 0; t < e.size(); ++t) thread_sums[t % 512] += e[t];
  std::vector<float> warp_sums;
  for (size_t w = 0; w < 16; ++w) {
    warp_sums.push_back(butterfly(
        std::vector<float>(thread_sums.begin() + 32 * w, thread_sums.begin() + 32 * (w + 1))));
  }
  return butterfly(warp_sums);
}

// Error bound of the softmax relative to the exact quotient exp(d_i) / sum exp(d_j) of the
// rounded differences d = x - M (M is an element, so d is the kernel's own): expf within
// 2 ulps (2^-22 relative) on each term and on the terms of the sum, the sum's roundings
// (at most ceil(cols / 512) + 5 + 4 on any term's path, 2^-24 each), then the reciprocal
// and the product, 2^-24 each; two units of slack.
double softmax_tolerance(int32_t cols) {
  const int32_t additions = (cols + 511) / 512 + 9;
  return (4 + 4 + additions + 2 + 2) * kUnitRoundoff;
}

TEST_F(RowOpsTest, RowSoftmax) {
  struct Case {
    const char* name;
    int32_t rows;
    int32_t cols;
    bool in_place;
    std::vector<float> specials;  // placed at the start of every row
    float fill;                   // every element when not NaN, else random in [-10, 10]
  };
  const Case cases[] = {
      {"one element", 3, 1, false, {}, kNaN},
      {"short rows", 2, 7, false, {}, kNaN},
      {"one block stride", 2, 512, false, {}, kNaN},
      {"longer than a block stride", 3, 1500, false, {}, kNaN},
      {"in place", 2, 700, true, {}, kNaN},
      {"equal values", 1, 1000, false, {}, 0.25f},
      {"negative infinities", 2, 40, false, {-kInf, 3.0f, -kInf}, kNaN},
      {"a NaN", 1, 20, false, {kNaN}, kNaN},
      {"no columns", 2, 0, false, {}, kNaN},
  };
  uint32_t seed = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t count = static_cast<size_t>(c.rows) * c.cols;
    std::vector<float> x = std::isnan(c.fill) ? uniform_floats(count, -10.0f, 10.0f, ++seed)
                                              : std::vector<float>(count, c.fill);
    for (int32_t r = 0; r < c.rows; ++r) {
      std::copy(c.specials.begin(), c.specials.end(), x.begin() + static_cast<size_t>(r) * c.cols);
    }
    zk_ocu_buffer* out = nullptr;
    if (c.in_place) {
      out = operand(x, kOutputOffset);
      ASSERT_EQ(call(vorel2, out, out, c.rows, c.cols, kOutputOffset), ZK_STATUS_OK);
    } else {
      out = output(count * sizeof(float), kOutputOffset);
      ASSERT_EQ(call(vorel2, out, operand(x, kInputOffset), c.rows, c.cols), ZK_STATUS_OK);
    }
    const std::vector<float> got = result<float>(out, kOutputOffset, count);
    const double tolerance = softmax_tolerance(c.cols);
    for (int32_t r = 0; r < c.rows; ++r) {
      const auto row = x.begin() + static_cast<size_t>(r) * c.cols;
      const std::vector<float> v(row, row + c.cols);
      float m = -kInf;
      for (float value : v) m = std::fmax(m, value);
      std::vector<float> e(v.size());
      double exact_sum = 0.0;
      for (size_t j = 0; j < v.size(); ++j) {
        const float d = v[j] - m;
        e[j] = std::exp(d);
        exact_sum += std::exp(static_cast<double>(d));
      }
      const float reciprocal = 1.0f / ordered_row_sum(e);
      for (int32_t j = 0; j < c.cols; ++j) {
        const float actual = got[static_cast<size_t>(r) * c.cols + j];
        const double exact = std::exp(static_cast<double>(v[j] - m)) / exact_sum;
        SCOPED_TRACE(testing::Message()
                     << "row " << r << " col " << j << ": " << actual << ", exact " << exact);
        if (std::isnan(exact)) {
          EXPECT_TRUE(std::isnan(actual));
          continue;
        }
        EXPECT_LE(std::fabs(actual - exact), tolerance * exact);
        if (ZK_OCU_TEST_EMULATED) EXPECT_EQ(float_bits(actual), float_bits(reciprocal * e[j]));
      }
    }
    if (c.cols == 1) EXPECT_EQ(got, std::vector<float>(c.rows, 1.0f));
    EXPECT_TRUE(error_log().empty());
  }
}

// Error bound of a spectrum value relative to w * m * cos(p) (or sin) with exact
// functions and the kernel's own rounded weight w: expf and cosf or sinf within 2 ulps
// (2^-22 relative) each, two rounded products; two units of slack.
constexpr double kSpectrumTolerance = (4 + 4 + 2 + 2) * kUnitRoundoff;

TEST_F(RowOpsTest, PolarToSpectrum) {
  struct Case {
    const char* name;
    int32_t rows;
    int32_t n;
    std::vector<float> log_magnitudes;  // placed at the start of every row
  };
  const Case cases[] = {
      {"one bin", 2, 1, {}},
      {"two bins", 2, 2, {}},
      {"odd length", 3, 7, {}},
      {"even length", 2, 8, {}},
      {"clamped magnitudes", 1, 8, {10.0f, kNaN, -kInf, 4.6f, 4.61f}},
      {"more bins than threads, even", 2, 300, {}},
      {"more bins than threads, odd", 1, 301, {}},
  };
  uint32_t seed = 128;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t h = c.n / 2;
    const size_t width = static_cast<size_t>(c.n) + 2;
    const size_t count = c.rows * width;
    // Log-magnitudes in [-5, 5], phases in [-20, 20]; for odd n the last input element
    // of each row is not read.
    std::vector<float> in = uniform_floats(count, -5.0f, 5.0f, ++seed);
    const std::vector<float> phases = uniform_floats(count, -20.0f, 20.0f, ++seed);
    for (int32_t r = 0; r < c.rows; ++r) {
      const auto row = in.begin() + static_cast<size_t>(r) * width;
      std::copy(c.log_magnitudes.begin(), c.log_magnitudes.end(), row);
      std::copy(phases.begin(), phases.begin() + h + 1, row + h + 1);
    }
    zk_ocu_buffer* out = output(count * sizeof(float), kOutputOffset);
    ASSERT_EQ(call(vorel128, out, operand(in, kInputOffset), c.rows, c.n), ZK_STATUS_OK);
    const std::vector<float> got = result<float>(out, kOutputOffset, count);
    for (int32_t r = 0; r < c.rows; ++r) {
      const float* x = in.data() + r * width;
      const float* p = x + h + 1;
      const float* y = got.data() + r * width;
      for (int32_t j = 0; j < c.n + 2; ++j) {
        SCOPED_TRACE(testing::Message() << "row " << r << " element " << j << ": " << y[j]);
        const int32_t k = j / 2;
        const bool imaginary = j % 2 == 1;
        // The imaginary parts of bin 0 and of bin n / 2 for even n, and for odd n the
        // element after the last bin.
        if (j == 1 || j == c.n + 1) {
          EXPECT_EQ(float_bits(y[j]), 0u);
          continue;
        }
        const float w =
            (0 < k && k < h) ? 2.0f / static_cast<float>(c.n) : 1.0f / static_cast<float>(c.n);
        const double exact_m = std::isnan(x[k]) ? 100.0 : std::min(std::exp(double{x[k]}), 100.0);
        const double exact =
            w * exact_m * (imaginary ? std::sin(double{p[k]}) : std::cos(double{p[k]}));
        EXPECT_LE(std::fabs(y[j] - exact), kSpectrumTolerance * std::fabs(exact));
        if (ZK_OCU_TEST_EMULATED) {
          const float m = std::fmin(std::exp(x[k]), 100.0f);
          const float expected = w * (m * (imaginary ? std::sin(p[k]) : std::cos(p[k])));
          EXPECT_EQ(float_bits(y[j]), float_bits(expected)) << "expected " << expected;
        }
      }
    }
    EXPECT_TRUE(error_log().empty());
  }
}

// An empty grid and a failed launch return 7 with one 0x33C record; the failure does not
// outlive the call. A negative spectrum length is refused with 3 before launching and
// without a record. None of them writes the output.
TEST_F(RowOpsTest, Failures) {
  struct Case {
    const char* name;
    RowOp op;
    int32_t rows;
    int32_t cols;
    zk_status_t status;
  };
  const Case cases[] = {
      {"vorel27 no rows", vorel27, 0, 4, ZK_STATUS_DEVICE_FAILURE},
      {"vorel2 no rows", vorel2, 0, 4, ZK_STATUS_DEVICE_FAILURE},
      {"vorel128 no rows", vorel128, 0, 4, ZK_STATUS_DEVICE_FAILURE},
      {"vorel217 no columns", vorel217, 4, 0, ZK_STATUS_DEVICE_FAILURE},
      {"vorel268 no columns", vorel268, 4, 0, ZK_STATUS_DEVICE_FAILURE},
      {"vorel128 negative length", vorel128, 2, -1, ZK_STATUS_BAD_ARGUMENT},
      {"vorel128 negative length, no rows", vorel128, 0, -3, ZK_STATUS_BAD_ARGUMENT},
  };
  constexpr size_t kFloats = 64;
  zk_ocu_buffer* in = operand(std::vector<float>(kFloats, 0.5f), kInputOffset);
  const std::vector<std::string> kernel_failed{log_line(0x33C, zk_test::kKernelFailed)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_buffer* out = output(kFloats * sizeof(float), kOutputOffset);
    zk_ocu_error_log_clear();
    EXPECT_EQ(call(c.op, out, in, c.rows, c.cols), c.status);
    EXPECT_EQ(error_log(),
              c.status == ZK_STATUS_DEVICE_FAILURE ? kernel_failed : std::vector<std::string>{});
    expect_untouched(out, kOutputOffset, kFloats * sizeof(float));
  }
  for (RowOp op : {vorel27, vorel217, vorel268, vorel2, vorel128}) {
    zk_ocu_buffer* out = output(kFloats * sizeof(float), kOutputOffset);
    zk_test::expect_failed_launch_consumed([&] {
      const zk_status_t status = call(op, out, in, 4, 4);
      if (status != ZK_STATUS_OK) expect_untouched(out, kOutputOffset, kFloats * sizeof(float));
      return status;
    });
  }
}

}  // namespace
