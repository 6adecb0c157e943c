// Binary float arithmetic: pairwise, matrix with a broadcast vector, tensor with a scalar.
// Results are compared bit for bit with references computed in double precision (one
// rounding to float is exact for a single +, -, * or /) or with the host's fused
// multiply-add; a NaN result only needs to be a NaN, since payloads differ between devices.
#include <gtest/gtest.h>

#include <cfloat>
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
using zk_test::sentinel_float;

constexpr int32_t kWideCols = 524281;  // one column more than 65535 blocks of 8 cover

const float kSpecials[] = {0.0f,    -0.0f,    1.0f,    -3.0f,    0.1f,   kInf,
                           -kInf,   kNaN,     FLT_MIN, -FLT_MIN, 1e-40f, -FLT_TRUE_MIN,
                           FLT_MAX, -FLT_MAX, 1.5e19f, -6e-20f};
constexpr size_t kSpecialCount = sizeof kSpecials / sizeof kSpecials[0];

// Both signs, mostly of magnitude 2^-24 to 2^24; every eighth anywhere in the finite range,
// subnormals included, so that results also overflow and underflow.
std::vector<float> random_floats(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<uint32_t> mantissa(0, (1u << 23) - 1);
  std::uniform_int_distribution<uint32_t> narrow_exponent(103, 151);
  std::uniform_int_distribution<uint32_t> any_exponent(0, 254);
  std::uniform_int_distribution<uint32_t> sign(0, 1);
  std::vector<float> values(count);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t exponent = i % 8 == 7 ? any_exponent(generator) : narrow_exponent(generator);
    values[i] = bits_float(sign(generator) << 31 | exponent << 23 | mantissa(generator));
  }
  return values;
}

void expect_same_floats(const std::vector<float>& actual, const std::vector<float>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    if (std::isnan(expected[i])) {
      EXPECT_TRUE(std::isnan(actual[i])) << "element " << i << ": " << actual[i];
    } else {
      EXPECT_EQ(float_bits(actual[i]), float_bits(expected[i]))
          << "element " << i << ": " << actual[i] << ", expected " << expected[i];
    }
  }
}

// One rounding of the exact result.
float add(float a, float b) { return static_cast<float>(static_cast<double>(a) + b); }
float sub(float a, float b) { return static_cast<float>(static_cast<double>(a) - b); }
float mul(float a, float b) { return static_cast<float>(static_cast<double>(a) * b); }
float div(float a, float b) { return static_cast<float>(static_cast<double>(a) / b); }

class BinaryTest : public zk_test::DeviceTest {
 protected:
  // Success leaves the log empty; a failure logs one kernel failure.
  void expect_outcome(zk_status_t status, zk_status_t expected) {
    EXPECT_EQ(status, expected);
    if (expected == ZK_STATUS_OK) {
      EXPECT_TRUE(error_log().empty());
    } else {
      EXPECT_EQ(error_log(), std::vector<std::string>{log_line(0x33C, zk_test::kKernelFailed)});
    }
  }
};

// a[i] op b[i]; the first kSpecialCount^2 elements pair every special value with every other.
TEST_F(BinaryTest, Pairwise) {
  using Entry = zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_args_t*);
  struct Case {
    const char* name;
    Entry entry;
    float (*reference)(float, float);
    int32_t count;
    bool in_place;      // the output is input_a
    const char* fault;  // runtime call made to fail, or null
    zk_status_t status;
  };
  const Case cases[] = {
      {"add", vorel159, add, 1000, false, nullptr, ZK_STATUS_OK},
      {"sub", vorel168, sub, 1000, false, nullptr, ZK_STATUS_OK},
      {"mul", vorel103, mul, 1000, false, nullptr, ZK_STATUS_OK},
      {"div", vorel269, div, 1000, false, nullptr, ZK_STATUS_OK},
      {"sub in place", vorel168, sub, 1000, true, nullptr, ZK_STATUS_OK},
      {"div in place", vorel269, div, 1000, true, nullptr, ZK_STATUS_OK},
      {"add of one element", vorel159, add, 1, false, nullptr, ZK_STATUS_OK},
      {"add of nothing", vorel159, add, 0, false, nullptr, ZK_STATUS_DEVICE_FAILURE},
      {"div of nothing", vorel269, div, 0, false, nullptr, ZK_STATUS_DEVICE_FAILURE},
      {"mul launch", vorel103, mul, 1000, false, "cudaLaunchKernel", ZK_STATUS_DEVICE_FAILURE},
  };
  constexpr int32_t kOutOffset = 12, kAOffset = 4, kBOffset = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", " << c.count << " elements");
    if (c.fault != nullptr && !ZK_OCU_TEST_EMULATED) continue;
    zk_ocu_error_log_clear();
    std::vector<float> a = random_floats(c.count, 11);
    std::vector<float> b = random_floats(c.count, 12);
    for (size_t i = 0; i < kSpecialCount * kSpecialCount && i < a.size(); ++i) {
      a[i] = kSpecials[i / kSpecialCount];
      b[i] = kSpecials[i % kSpecialCount];
    }
    zk_ocu_buffer* a_buffer = operand(a, kAOffset);
    zk_ocu_buffer* b_buffer = operand(b, kBOffset);
    zk_ocu_buffer* out = c.in_place ? a_buffer : output(c.count * sizeof(float), kOutOffset);
    const int32_t out_offset = c.in_place ? kAOffset : kOutOffset;

    if (c.fault != nullptr) zk_emu_inject_fault(c.fault, 0, 1, zk_test::kErrorInvalidValue);
    zk_ocu_op_pairwise_args_t args{out,        a_buffer, b_buffer, c.count,
                                   out_offset, kAOffset, kBOffset};
    expect_outcome(c.entry(device_, nullptr, &args), c.status);

    std::vector<float> expected = c.in_place ? a : std::vector<float>(c.count, sentinel_float());
    if (c.status == ZK_STATUS_OK) {
      for (int32_t i = 0; i < c.count; ++i) expected[i] = c.reference(a[i], b[i]);
    }
    expect_same_floats(result<float>(out, out_offset, c.count), expected);
  }
}

// a[r][c] op b[c] or b[r]; the accumulating operator adds onto the output's contents.
TEST_F(BinaryTest, Broadcast) {
  using Entry =
      zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t*);
  struct Case {
    const char* name;
    Entry entry;
    float (*reference)(float a, float b, float out);
    bool per_row;
    bool accumulates;
    int32_t rows;
    int32_t cols;
    int calls;
    bool in_place;      // the output is input_a
    const char* fault;  // runtime call made to fail, or null
    zk_status_t status;
  };
  const auto add3 = [](float a, float b, float) { return add(a, b); };
  const auto sub3 = [](float a, float b, float) { return sub(a, b); };
  const auto mul3 = [](float a, float b, float) { return mul(a, b); };
  const auto div3 = [](float a, float b, float) { return div(a, b); };
  const auto fma3 = [](float a, float b, float out) { return std::fma(a, b, out); };
  const zk_status_t ok = ZK_STATUS_OK, failed = ZK_STATUS_DEVICE_FAILURE;
  const Case cases[] = {
      {"add per column", vorel267, add3, false, false, 13, 37, 1, false, nullptr, ok},
      {"add per row", vorel322, add3, true, false, 13, 37, 1, false, nullptr, ok},
      {"sub per column", vorel91, sub3, false, false, 13, 37, 1, false, nullptr, ok},
      {"sub per row", vorel107, sub3, true, false, 13, 37, 1, false, nullptr, ok},
      {"mul per column", vorel104, mul3, false, false, 13, 37, 1, false, nullptr, ok},
      {"mul per row", vorel61, mul3, true, false, 13, 37, 1, false, nullptr, ok},
      {"div per column", vorel271, div3, false, false, 13, 37, 1, false, nullptr, ok},
      {"multiply-accumulate", vorel283, fma3, false, true, 13, 37, 1, false, nullptr, ok},
      {"multiply-accumulate twice", vorel283, fma3, false, true, 9, 21, 2, false, nullptr, ok},
      {"add per row in place", vorel322, add3, true, false, 13, 37, 1, true, nullptr, ok},
      {"mul per column in place", vorel104, mul3, false, false, 13, 37, 1, true, nullptr, ok},
      {"multiply-accumulate in place", vorel283, fma3, false, true, 9, 21, 1, true, nullptr, ok},
      {"one element", vorel107, sub3, true, false, 1, 1, 1, false, nullptr, ok},
      {"wide add per column", vorel267, add3, false, false, 1, kWideCols, 1, false, nullptr, ok},
      {"wide add per row", vorel322, add3, true, false, 2, kWideCols, 1, false, nullptr, ok},
      {"wide multiply-accumulate", vorel283, fma3, false, true, 1, kWideCols, 1, false, nullptr,
       ok},
      {"widest unstrided", vorel91, sub3, false, false, 1, kWideCols - 1, 1, false, nullptr, ok},
      {"wide sub per column", vorel91, sub3, false, false, 1, kWideCols, 1, false, nullptr, failed},
      {"wide sub per row", vorel107, sub3, true, false, 1, kWideCols, 1, false, nullptr, failed},
      {"wide mul per column", vorel104, mul3, false, false, 1, kWideCols, 1, false, nullptr,
       failed},
      {"wide mul per row", vorel61, mul3, true, false, 1, kWideCols, 1, false, nullptr, failed},
      {"wide div per column", vorel271, div3, false, false, 1, kWideCols, 1, false, nullptr,
       failed},
      {"no rows", vorel322, add3, true, false, 0, 37, 1, false, nullptr, failed},
      {"no columns", vorel283, fma3, false, true, 13, 0, 1, false, nullptr, failed},
      {"launch", vorel61, mul3, true, false, 13, 37, 1, false, "cudaLaunchKernel", failed},
  };
  constexpr int32_t kOutOffset = 28, kAOffset = 8, kBOffset = 12;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", " << c.rows << " x " << c.cols);
    if (c.fault != nullptr && !ZK_OCU_TEST_EMULATED) continue;
    zk_ocu_error_log_clear();
    const size_t elements = static_cast<size_t>(c.rows) * c.cols;
    std::vector<float> a = random_floats(elements, 21);
    std::vector<float> b = random_floats(c.per_row ? c.rows : c.cols, 22);
    for (size_t i = 0; i < kSpecialCount && i < b.size(); ++i) b[i] = kSpecials[i];
    // Where the product rounds to -(1 + 2^-11), only a fused multiply-add keeps 2^-24.
    if (c.accumulates && elements > 1) {
      a[1] = 1.0f + 0x1p-12f;
      b[1] = 1.0f + 0x1p-12f;
    }
    std::vector<float> before(elements, sentinel_float());
    if (c.in_place) {
      before = a;
    } else if (c.accumulates) {
      before = random_floats(elements, 23);
      if (elements > 1) before[1] = -(1.0f + 0x1p-11f);
    }

    zk_ocu_buffer* a_buffer = operand(a, kAOffset);
    zk_ocu_buffer* b_buffer = operand(b, kBOffset);
    zk_ocu_buffer* out = c.in_place ? a_buffer : operand(before, kOutOffset);
    const int32_t out_offset = c.in_place ? kAOffset : kOutOffset;

    if (c.fault != nullptr) zk_emu_inject_fault(c.fault, 0, 1, zk_test::kErrorInvalidValue);
    zk_ocu_op_pairwise_broadcast_args_t args{out,    a_buffer,   b_buffer, c.rows,
                                             c.cols, out_offset, kAOffset, kBOffset};
    for (int call = 0; call < c.calls; ++call) {
      zk_ocu_error_log_clear();
      expect_outcome(c.entry(device_, nullptr, &args), c.status);
    }

    std::vector<float> expected = before;
    if (c.status == ZK_STATUS_OK) {
      for (int call = 0; call < c.calls; ++call) {
        for (int32_t r = 0; r < c.rows; ++r) {
          for (int32_t col = 0; col < c.cols; ++col) {
            const size_t i = static_cast<size_t>(r) * c.cols + col;
            expected[i] = c.reference(a[i], b[c.per_row ? r : col], expected[i]);
          }
        }
      }
      if (c.accumulates && elements > 1 && !c.in_place && c.calls == 1) {
        EXPECT_EQ(expected[1], 0x1p-24f);
      }
    }
    expect_same_floats(result<float>(out, out_offset, elements), expected);
  }
}

// in[i] op scalar, with the scalar as minuend and dividend where the operator says so.
TEST_F(BinaryTest, Scalar) {
  using Entry =
      zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_scalar_args_t*);
  struct Case {
    const char* name;
    Entry entry;
    float (*reference)(float x, float scalar);
    float scalar;
    int32_t count;
    std::vector<float> input;     // random values with the specials first when empty
    std::vector<float> expected;  // the reference's results when empty
    bool in_place;                // the output is the input
    const char* fault;            // runtime call made to fail, or null
    zk_status_t status;
  };
  const auto add_scalar = [](float x, float s) { return add(x, s); };
  const auto subtract_from = [](float x, float s) { return sub(s, x); };
  const auto mul_scalar = [](float x, float s) { return mul(x, s); };
  const auto divide_by = [](float x, float s) { return div(s, x); };
  const zk_status_t ok = ZK_STATUS_OK, failed = ZK_STATUS_DEVICE_FAILURE;
  const Case cases[] = {
      {"add", vorel288, add_scalar, 0.3f, 1000, {}, {}, false, nullptr, ok},
      {"subtract from", vorel176, subtract_from, 0.3f, 1000, {}, {}, false, nullptr, ok},
      {"mul", vorel218, mul_scalar, 0.3f, 1000, {}, {}, false, nullptr, ok},
      {"divide by", vorel152, divide_by, 0.3f, 1000, {}, {}, false, nullptr, ok},
      {"add -inf", vorel288, add_scalar, -kInf, 300, {}, {}, false, nullptr, ok},
      {"mul by a subnormal", vorel218, mul_scalar, 1e-40f, 300, {}, {}, false, nullptr, ok},
      {"divide 0 by", vorel152, divide_by, 0.0f, 300, {}, {}, false, nullptr, ok},
      {"subtract from in place", vorel176, subtract_from, -7.5f, 1000, {}, {}, true, nullptr, ok},
      {"divide by in place", vorel152, divide_by, 3.0f, 1000, {}, {}, true, nullptr, ok},
      {"the scalar is the minuend",
       vorel176,
       subtract_from,
       1.0f,
       1,
       {3.0f},
       {-2.0f},
       false,
       nullptr,
       ok},
      {"the scalar is the dividend",
       vorel152,
       divide_by,
       6.0f,
       4,
       {3.0f, 0.0f, -0.0f, 12.0f},
       {2.0f, kInf, -kInf, 0.5f},
       false,
       nullptr,
       ok},
      {"0 / 0", vorel152, divide_by, 0.0f, 1, {0.0f}, {kNaN}, false, nullptr, ok},
      {"add to nothing", vorel288, add_scalar, 1.0f, 0, {}, {}, false, nullptr, failed},
      {"divide by nothing", vorel152, divide_by, 1.0f, 0, {}, {}, false, nullptr, failed},
      {"mul launch", vorel218, mul_scalar, 2.0f, 100, {}, {}, false, "cudaLaunchKernel", failed},
  };
  constexpr int32_t kOutOffset = 16, kInOffset = 36;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << ", scalar " << c.scalar);
    if (c.fault != nullptr && !ZK_OCU_TEST_EMULATED) continue;
    zk_ocu_error_log_clear();
    std::vector<float> input = c.input;
    if (input.empty()) {
      input = random_floats(c.count, 31);
      for (size_t i = 0; i < kSpecialCount && i < input.size(); ++i) input[i] = kSpecials[i];
    }
    zk_ocu_buffer* in = operand(input, kInOffset);
    zk_ocu_buffer* out = c.in_place ? in : output(c.count * sizeof(float), kOutOffset);
    const int32_t out_offset = c.in_place ? kInOffset : kOutOffset;

    if (c.fault != nullptr) zk_emu_inject_fault(c.fault, 0, 1, zk_test::kErrorInvalidValue);
    zk_ocu_op_elementwise_scalar_args_t args{out, in, c.scalar, c.count, out_offset, kInOffset};
    expect_outcome(c.entry(device_, nullptr, &args), c.status);

    std::vector<float> expected =
        c.in_place ? input : std::vector<float>(c.count, sentinel_float());
    if (c.status == ZK_STATUS_OK) {
      for (int32_t i = 0; i < c.count; ++i) expected[i] = c.reference(input[i], c.scalar);
      if (!c.expected.empty()) expect_same_floats(expected, c.expected);
    }
    expect_same_floats(result<float>(out, out_offset, c.count), expected);
  }
}

}  // namespace
