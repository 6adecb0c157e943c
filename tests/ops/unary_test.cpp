// Unary float functions: exponential, logarithm, rectifier, the smooth activations, the
// sigmoid and tanh through the fixed-point tables, and int32 to float.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ios>
#include <random>
#include <string>
#include <vector>

#include "ops/fixed_point_reference.h"
#include "test_support.h"

namespace {

using zk_test::bits_float;
using zk_test::error_log;
using zk_test::float_bits;
using zk_test::kInf;
using zk_test::kNaN;
using zk_test::log_line;
using zk_test::ulp_distance;

using ElementwiseOp = zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*,
                                      zk_ocu_op_elementwise_args_t*);

uint32_t int_bits(int32_t value) { return static_cast<uint32_t>(value); }

// A table function's result: the q15 integer over 32767, correctly rounded.
uint32_t q15_ratio(int32_t s) { return float_bits(static_cast<float>(s) / 32767.0f); }

class UnaryTest : public zk_test::DeviceTest {
 protected:
  static constexpr int32_t kInputOffset = 8;
  static constexpr int32_t kOutputOffset = 20;

  // Runs op out of place, then in place over a copy of the input, and returns the first
  // results after checking that nothing was written around either and that the second are
  // the same bits.
  std::vector<uint32_t> run(ElementwiseOp op, const std::vector<uint32_t>& inputs) {
    const int32_t count = static_cast<int32_t>(inputs.size());
    zk_ocu_buffer* input = operand(inputs, kInputOffset);
    zk_ocu_buffer* output = this->output(inputs.size() * 4, kOutputOffset);
    zk_ocu_op_elementwise_args_t args{output, input, count, kOutputOffset, kInputOffset};
    EXPECT_EQ(op(device_, nullptr, &args), ZK_STATUS_OK);
    const std::vector<uint32_t> results = result<uint32_t>(output, kOutputOffset, inputs.size());

    zk_ocu_buffer* in_place = operand(inputs, kOutputOffset);
    zk_ocu_op_elementwise_args_t same{in_place, in_place, count, kOutputOffset, kOutputOffset};
    EXPECT_EQ(op(device_, nullptr, &same), ZK_STATUS_OK);
    EXPECT_EQ(result<uint32_t>(in_place, kOutputOffset, inputs.size()), results) << "in place";
    EXPECT_TRUE(error_log().empty());
    return results;
  }
};

std::vector<uint32_t> uniform_inputs(double lo, double hi, size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<double> value(lo, hi);
  std::vector<uint32_t> inputs(count);
  for (uint32_t& bits : inputs) bits = float_bits(static_cast<float>(value(generator)));
  return inputs;
}

// The functions built on expf, logf, tanhf and erff, against double-precision references.
// Where the result is a product with (t + 1) that cancels for negative x, the error is
// bounded relative to the terms, |x|, instead of the result: the library function's few
// ulps of t, the roundings of the argument (damped by the derivative, u * sech^2(u) and
// u * erf'(u) both below 1/2) and of the sum and product come to at most 4 * 2^-24 * |x|.
// The emulator calls the host's expf, logf, tanhf and erff, so there the result must also
// be, bit for bit, the function's defining steps evaluated here in float: that pins the
// order, fusion and precision of every operation around the library call, which the
// tolerance cannot tell apart.
TEST_F(UnaryTest, TranscendentalWithinUlps) {
  struct Case {
    const char* name;
    ElementwiseOp op;
    std::vector<uint32_t> inputs;
    double (*reference)(float);
    int64_t ulps;  // of the result, or of 2^-24 * |x| where cancels is set
    bool cancels;
    float (*steps)(float);
  };
  const Case cases[] = {
      {"vorel298 exp", vorel298, uniform_inputs(-87.0, 88.0, 3000, 1),
       [](float x) { return std::exp(static_cast<double>(x)); }, 3, false,
       [](float x) { return std::exp(x); }},
      {"vorel302 log over the normal range", vorel302,
       [] {
         std::vector<uint32_t> inputs = uniform_inputs(-126.0, 127.99, 3000, 2);
         for (uint32_t& bits : inputs) bits = float_bits(std::exp2(bits_float(bits)));
         return inputs;
       }(),
       [](float x) { return std::log(static_cast<double>(x)); }, 3, false,
       [](float x) { return std::log(x); }},
      {"vorel302 log near 1", vorel302, uniform_inputs(0.5, 2.0, 2000, 3),
       [](float x) { return std::log(static_cast<double>(x)); }, 3, false,
       [](float x) { return std::log(x); }},
      {"vorel60 gelu tanh", vorel60, uniform_inputs(-10.0, 10.0, 3000, 4),
       [](float x) {
         const double d = x;
         return 0.5 * d * (1.0 + std::tanh(std::sqrt(2.0 / M_PI) * (d + 0.044715 * d * d * d)));
       },
       4, true,
       [](float x) {
         const float x3 = x * (x * x);
         const float inner = std::fma(x3, 0.044715f, x);
         const float u = static_cast<float>(static_cast<double>(inner) * 0.7978845608028654);
         return (0.5f * x) * (std::tanh(u) + 1.0f);
       }},
      {"vorel175 gelu erf", vorel175, uniform_inputs(-10.0, 10.0, 3000, 5),
       [](float x) {
         const double d = x;
         return 0.5 * d * (1.0 + std::erf(d / std::sqrt(2.0)));
       },
       4, true, [](float x) { return (x * 0.5f) * (std::erf(x * 0.70710677f) + 1.0f); }},
      // The exponent is the float32 product x * -1.702f; its rounding is
      // part of the function.
      {"vorel244 gelu sigmoid", vorel244, uniform_inputs(-40.0, 40.0, 3000, 6),
       [](float x) {
         const float exponent = x * -1.702f;
         return x / (1.0 + std::exp(static_cast<double>(exponent)));
       },
       4, false, [](float x) { return x / (1.0f + std::exp(x * -1.702f)); }},
      {"vorel123 silu", vorel123, uniform_inputs(-80.0, 80.0, 3000, 7),
       [](float x) { return x / (1.0 + std::exp(-static_cast<double>(x))); }, 4, false,
       [](float x) { return x / (1.0f + std::exp(-x)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint32_t> results = run(c.op, c.inputs);
    int failures = 0;
    for (size_t i = 0; i < c.inputs.size() && failures < 5; ++i) {
      const float x = bits_float(c.inputs[i]);
      const float got = bits_float(results[i]);
      const double expected = c.reference(x);
      const bool close = c.cancels ? std::fabs(got - expected) <= c.ulps * 0x1p-24 * std::fabs(x)
                                   : ulp_distance(got, static_cast<float>(expected)) <= c.ulps;
      const float stepped = c.steps(x);
      const bool exact = !ZK_OCU_TEST_EMULATED || results[i] == float_bits(stepped);
      if (!close || !exact) {
        ++failures;
        ADD_FAILURE() << std::hexfloat << "x = " << x << ": " << got << " instead of " << expected
                      << " (the steps in float give " << stepped << ")";
      }
    }
  }
}

// The functions without library calls, bit for bit, over sweeps and random bit patterns.
TEST_F(UnaryTest, ExactFunctions) {
  struct Case {
    const char* name;
    ElementwiseOp op;
    std::vector<uint32_t> inputs;
    uint32_t (*reference)(uint32_t);
  };
  std::mt19937 generator(11);
  std::vector<uint32_t> random_bits(4000);
  for (uint32_t& bits : random_bits) bits = static_cast<uint32_t>(generator());
  random_bits.push_back(float_bits(kNaN));
  random_bits.push_back(float_bits(kInf));
  random_bits.push_back(float_bits(-kInf));
  random_bits.push_back(1u);           // smallest subnormal: no flush to zero
  random_bits.push_back(0x80000001u);  // its negative
  // The rectifier's -0.0 may give either zero; the special values check it.
  std::vector<uint32_t> float_bits_no_negative_zero;
  for (uint32_t bits : random_bits) {
    if (bits != 0x80000000u) float_bits_no_negative_zero.push_back(bits);
  }
  // Every q10 step and the half steps between them out to both saturation ends of the
  // lookups, coarser steps beyond, then the random patterns (huge values, NaNs, subnormals).
  std::vector<uint32_t> table_inputs;
  for (int32_t k = -9 * 2048; k <= 9 * 2048; ++k) {
    table_inputs.push_back(float_bits(static_cast<float>(k) / 2048.0f));
  }
  for (int32_t k = 9 * 16 + 1; k <= 40 * 16; ++k) {
    table_inputs.push_back(float_bits(static_cast<float>(k) / 16.0f));
    table_inputs.push_back(float_bits(static_cast<float>(-k) / 16.0f));
  }
  table_inputs.insert(table_inputs.end(), random_bits.begin(), random_bits.end());
  std::vector<uint32_t> integers = random_bits;
  for (int32_t v :
       {0, 1, -1, 16777216, 16777217, 16777219, -16777217, 2147483647, -2147483647 - 1}) {
    integers.push_back(int_bits(v));
  }

  const Case cases[] = {
      {"vorel122 rectifier", vorel122, float_bits_no_negative_zero,
       [](uint32_t bits) {
         const float x = bits_float(bits);
         return x > 0.0f ? bits : float_bits(0.0f);
       }},
      {"vorel100 sigmoid table", vorel100, table_inputs,
       [](uint32_t bits) {
         return q15_ratio(zk_test::sigmoid_q15(zk_test::to_q10(bits_float(bits))));
       }},
      {"vorel194 tanh table", vorel194, table_inputs,
       [](uint32_t bits) {
         return q15_ratio(zk_test::tanh_q15(zk_test::to_q10(bits_float(bits))));
       }},
      {"vorel248 int32 to float", vorel248, integers,
       [](uint32_t bits) { return float_bits(static_cast<float>(static_cast<int32_t>(bits))); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint32_t> results = run(c.op, c.inputs);
    int mismatches = 0;
    for (size_t i = 0; i < c.inputs.size(); ++i) {
      const uint32_t expected = c.reference(c.inputs[i]);
      if (results[i] != expected && ++mismatches <= 5) {
        ADD_FAILURE() << "input 0x" << std::hex << c.inputs[i] << ": 0x" << results[i]
                      << " instead of 0x" << expected;
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// Infinities, NaN, signed zeros, the overflow and underflow points and the table
// functions' known values.
TEST_F(UnaryTest, SpecialValues) {
  enum class Expect { kBits, kNaN, kZero, kNonPositiveTiny, kUlps };
  struct Case {
    const char* name;
    ElementwiseOp op;
    uint32_t input;
    Expect expect;
    uint32_t expected;  // bits, for kBits and kUlps (within 3)
  };
  const uint32_t kZero = float_bits(0.0f);
  const Case cases[] = {
      {"log 0", vorel302, float_bits(0.0f), Expect::kBits, float_bits(-kInf)},
      {"log -0", vorel302, float_bits(-0.0f), Expect::kBits, float_bits(-kInf)},
      {"log 1", vorel302, float_bits(1.0f), Expect::kBits, kZero},
      {"log -1", vorel302, float_bits(-1.0f), Expect::kNaN, 0},
      {"log -inf", vorel302, float_bits(-kInf), Expect::kNaN, 0},
      {"log inf", vorel302, float_bits(kInf), Expect::kBits, float_bits(kInf)},
      {"log NaN", vorel302, float_bits(kNaN), Expect::kNaN, 0},
      {"log of the smallest subnormal", vorel302, 1u, Expect::kUlps,
       float_bits(static_cast<float>(-149.0 * std::log(2.0)))},
      {"exp 0", vorel298, float_bits(0.0f), Expect::kBits, float_bits(1.0f)},
      {"exp 89 overflows", vorel298, float_bits(89.0f), Expect::kBits, float_bits(kInf)},
      {"exp inf", vorel298, float_bits(kInf), Expect::kBits, float_bits(kInf)},
      {"exp -100 is subnormal", vorel298, float_bits(-100.0f), Expect::kUlps,
       float_bits(static_cast<float>(std::exp(-100.0)))},
      {"exp -110 underflows", vorel298, float_bits(-110.0f), Expect::kBits, kZero},
      {"exp -inf", vorel298, float_bits(-kInf), Expect::kBits, kZero},
      {"exp NaN", vorel298, float_bits(kNaN), Expect::kNaN, 0},
      {"relu -0", vorel122, float_bits(-0.0f), Expect::kZero, 0},
      {"relu NaN", vorel122, float_bits(kNaN), Expect::kBits, kZero},
      {"relu -inf", vorel122, float_bits(-kInf), Expect::kBits, kZero},
      {"relu inf", vorel122, float_bits(kInf), Expect::kBits, float_bits(kInf)},
      {"gelu tanh 0", vorel60, float_bits(0.0f), Expect::kBits, kZero},
      {"gelu tanh -20", vorel60, float_bits(-20.0f), Expect::kNonPositiveTiny, 0},
      {"gelu tanh -1e30", vorel60, float_bits(-1e30f), Expect::kNonPositiveTiny, 0},
      {"gelu tanh inf", vorel60, float_bits(kInf), Expect::kBits, float_bits(kInf)},
      {"gelu erf 0", vorel175, float_bits(0.0f), Expect::kBits, kZero},
      {"gelu erf -20", vorel175, float_bits(-20.0f), Expect::kNonPositiveTiny, 0},
      {"gelu erf -1e30", vorel175, float_bits(-1e30f), Expect::kNonPositiveTiny, 0},
      {"gelu erf inf", vorel175, float_bits(kInf), Expect::kBits, float_bits(kInf)},
      {"gelu sigmoid 0", vorel244, float_bits(0.0f), Expect::kBits, kZero},
      {"gelu sigmoid -100", vorel244, float_bits(-100.0f), Expect::kNonPositiveTiny, 0},
      {"silu 0", vorel123, float_bits(0.0f), Expect::kBits, kZero},
      {"silu -100", vorel123, float_bits(-100.0f), Expect::kNonPositiveTiny, 0},
      {"silu inf", vorel123, float_bits(kInf), Expect::kBits, float_bits(kInf)},
      {"sigmoid table 0", vorel100, float_bits(0.0f), Expect::kBits, q15_ratio(16384)},
      {"sigmoid table 100", vorel100, float_bits(100.0f), Expect::kBits, q15_ratio(32755)},
      {"sigmoid table -100", vorel100, float_bits(-100.0f), Expect::kBits, q15_ratio(11)},
      {"sigmoid table inf", vorel100, float_bits(kInf), Expect::kBits, q15_ratio(32755)},
      {"sigmoid table -inf", vorel100, float_bits(-kInf), Expect::kBits, q15_ratio(11)},
      {"sigmoid table NaN", vorel100, float_bits(kNaN), Expect::kBits, q15_ratio(16384)},
      {"sigmoid table 1", vorel100, float_bits(1.0f), Expect::kBits, q15_ratio(23955)},
      {"sigmoid table -1/1024", vorel100, float_bits(-1.0f / 1024), Expect::kBits,
       q15_ratio(16376)},
      {"sigmoid table truncates -1/2048 to 0", vorel100, float_bits(-1.0f / 2048), Expect::kBits,
       q15_ratio(16384)},
      {"tanh table 0", vorel194, float_bits(0.0f), Expect::kBits, kZero},
      {"tanh table 1", vorel194, float_bits(1.0f), Expect::kBits, q15_ratio(24954)},
      {"tanh table -1", vorel194, float_bits(-1.0f), Expect::kBits, q15_ratio(-24956)},
      {"tanh table 3.97", vorel194, float_bits(3.97f), Expect::kBits, q15_ratio(32742)},
      {"tanh table 100", vorel194, float_bits(100.0f), Expect::kBits, q15_ratio(32742)},
      {"tanh table -4", vorel194, float_bits(-4.0f), Expect::kBits, q15_ratio(-32746)},
      {"tanh table -100", vorel194, float_bits(-100.0f), Expect::kBits, q15_ratio(-32746)},
      {"tanh table NaN", vorel194, float_bits(kNaN), Expect::kBits, kZero},
      {"int32 2^24 + 1", vorel248, int_bits(16777217), Expect::kBits, float_bits(16777216.0f)},
      {"int32 largest", vorel248, int_bits(2147483647), Expect::kBits, float_bits(2147483648.0f)},
      {"int32 smallest", vorel248, int_bits(-2147483647 - 1), Expect::kBits,
       float_bits(-2147483648.0f)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_buffer* input = operand(std::vector<uint32_t>{c.input}, kInputOffset);
    zk_ocu_buffer* output = this->output(4, kOutputOffset);
    zk_ocu_op_elementwise_args_t args{output, input, 1, kOutputOffset, kInputOffset};
    ASSERT_EQ(c.op(device_, nullptr, &args), ZK_STATUS_OK);
    const uint32_t bits = result<uint32_t>(output, kOutputOffset, 1)[0];
    const float got = bits_float(bits);
    switch (c.expect) {
      case Expect::kBits:
        EXPECT_EQ(bits, c.expected) << got;
        break;
      case Expect::kNaN:
        EXPECT_TRUE(std::isnan(got)) << got;
        break;
      case Expect::kZero:
        EXPECT_EQ(got, 0.0f);
        break;
      case Expect::kNonPositiveTiny:
        EXPECT_TRUE(std::signbit(got) && got >= -1e-30f) << got;
        break;
      case Expect::kUlps:
        EXPECT_LE(ulp_distance(got, bits_float(c.expected)), 3) << got;
        break;
    }
  }
  EXPECT_TRUE(error_log().empty());
}

template <ElementwiseOp op>
zk_status_t run_elementwise(zk_ocu_device* device, zk_ocu_buffer* out, zk_ocu_buffer* in,
                            int32_t count) {
  zk_ocu_op_elementwise_args_t args{out, in, count, 4, 8};
  return op(device, nullptr, &args);
}

// An empty grid and a failed launch both return 7 with one 0x33C record, and the failure
// does not outlive the call.
TEST_F(UnaryTest, LaunchFailures) {
  struct Case {
    const char* name;
    zk_status_t (*call)(zk_ocu_device*, zk_ocu_buffer*, zk_ocu_buffer*, int32_t);
  };
  const Case cases[] = {
      {"vorel298", run_elementwise<vorel298>}, {"vorel302", run_elementwise<vorel302>},
      {"vorel122", run_elementwise<vorel122>}, {"vorel60", run_elementwise<vorel60>},
      {"vorel175", run_elementwise<vorel175>}, {"vorel244", run_elementwise<vorel244>},
      {"vorel123", run_elementwise<vorel123>}, {"vorel100", run_elementwise<vorel100>},
      {"vorel194", run_elementwise<vorel194>}, {"vorel248", run_elementwise<vorel248>},
  };
  zk_ocu_buffer* out = output(64);
  zk_ocu_buffer* in = operand(std::vector<float>(16, 0.5f));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_test::expect_kernel_failure([&] { return c.call(device_, out, in, 0); }, "empty grid");
    zk_test::expect_failed_launch_consumed([&] { return c.call(device_, out, in, 4); });
  }
}

}  // namespace
