// Per-row top-k gating: the selected columns and raw scores, and the softmax weights over
// the selection, against a reference that runs the defining bubble sort on the host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ios>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using zk_test::bits_float;
using zk_test::error_log;
using zk_test::float_bits;
using zk_test::kInf;
using zk_test::kNaN;
using zk_test::log_line;

using GateOp = zk_status_t (*)(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_gate_args_t*);

// A quiet NaN whose payload tells which one came out where.
float nan_with_payload(uint32_t payload) { return bits_float(0x7FC00000u | (payload & 0x3FFFFFu)); }

struct Selection {
  std::vector<int32_t> indices;
  std::vector<float> scores;
};

// Pass p = 0 .. cols - 2 over j = 0 .. cols - 2 - p, swapping on an ordered less-than,
// then the first top_k pairs of every row.
Selection bubble_sort_selection(const std::vector<float>& logits, int32_t rows, int32_t cols,
                                int32_t top_k) {
  Selection selection;
  std::vector<std::pair<int32_t, float>> pairs(cols);
  for (int32_t r = 0; r < rows; ++r) {
    for (int32_t j = 0; j < cols; ++j) pairs[j] = {j, logits[r * cols + j]};
    for (int32_t p = 0; p <= cols - 2; ++p) {
      for (int32_t j = 0; j <= cols - 2 - p; ++j) {
        if (pairs[j].second < pairs[j + 1].second) std::swap(pairs[j], pairs[j + 1]);
      }
    }
    for (int32_t j = 0; j < top_k; ++j) {
      selection.indices.push_back(pairs[j].first);
      selection.scores.push_back(pairs[j].second);
    }
  }
  return selection;
}

// The softmax of one row's selected scores in double, from the same float differences
// w - m (m the NaN-ignoring maximum); a NaN anywhere makes every weight NaN.
std::vector<double> softmax_reference(const float* w, int32_t top_k) {
  float m = w[0];
  for (int32_t j = 1; j < top_k; ++j) m = std::fmax(m, w[j]);
  std::vector<double> e(top_k);
  double s = 0.0;
  for (int32_t j = 0; j < top_k; ++j) {
    e[j] = std::exp(static_cast<double>(w[j] - m));
    s += e[j];
  }
  for (double& v : e) v /= s;
  return e;
}

// The softmax as defined, in float: the maximum from weight 0 on, each exponential of
// w - m added in order to a float sum, then one division per weight.
std::vector<float> softmax_steps(const float* w, int32_t top_k) {
  float m = w[0];
  for (int32_t j = 1; j < top_k; ++j) m = std::fmax(m, w[j]);
  std::vector<float> e(top_k);
  float s = 0.0f;
  for (int32_t j = 0; j < top_k; ++j) {
    e[j] = std::exp(w[j] - m);
    s += e[j];
  }
  for (float& v : e) v /= s;
  return e;
}

// Scores from a small set of exactly representable values, so that ties are common, with
// NaNs (distinct payloads) and infinities mixed in at the given rates.
std::vector<float> tied_scores(size_t count, uint32_t seed, double nan_rate, double inf_rate) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int32_t> step(-8, 8);
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  std::vector<float> values(count);
  for (size_t i = 0; i < count; ++i) {
    const double u = draw(generator);
    if (u < nan_rate) {
      values[i] = nan_with_payload(static_cast<uint32_t>(i));
    } else if (u < nan_rate + inf_rate) {
      values[i] = u < nan_rate + inf_rate / 2 ? kInf : -kInf;
    } else {
      values[i] = static_cast<float>(step(generator)) * 0.25f;
    }
  }
  return values;
}

std::vector<float> distinct_scores(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> value(0.0f, 3.0f);
  std::vector<float> values(count);
  for (float& v : values) v = value(generator);
  return values;
}

class GatingTest : public zk_test::DeviceTest {};

// Every case runs through both operators: the columns and raw scores of vorel180 are the
// bubble sort's bit for bit, and so are vorel113's columns. Its weights are within
// (top_k + 8) u of the exact softmax of the selected scores, u = 2^-24: the float sum of
// top_k positive terms in a fixed order is within (top_k - 1) u, each expf within 2 ulps
// (4 u), and the division adds u; the absolute term covers exponentials that underflow.
// The emulator's expf is the host's, so there the weights must also be the bits of the
// defining steps in float, which pins the order of the sum and the roundings around it.
TEST_F(GatingTest, SelectionAndWeights) {
  struct Case {
    const char* name;
    int32_t rows;
    int32_t cols;
    int32_t top_k;
    std::vector<float> logits;
    std::vector<int32_t> expected_indices;  // when non-empty, the first ones of the result
    std::vector<float> expected_weights;    // likewise, vorel113's weights bit for bit
  };
  const float n1 = nan_with_payload(1);
  const float n2 = nan_with_payload(2);
  const float n3 = nan_with_payload(3);
  const Case cases[] = {
      {"ties keep column order", 1, 4, 2, {1.0f, 3.0f, 3.0f, 2.0f}, {1, 2}, {0.5f, 0.5f}},
      {"one selected per row", 300, 16, 1, tied_scores(300 * 16, 1, 0.0, 0.0), {}, {1.0f}},
      {"ties over two blocks", 300, 64, 8, tied_scores(300 * 64, 2, 0.0, 0.0), {}, {}},
      {"NaNs stay and nothing crosses them",
       1,
       8,
       8,
       {1.0f, n1, 3.0f, 2.0f, n2, 5.0f, 4.0f, 6.0f},
       {0, 1, 2, 3, 4, 7, 5, 6},
       {}},
      {"a larger score behind a NaN is not selected",
       1,
       8,
       3,
       {1.0f, 2.0f, 3.0f, n1, 9.0f, 8.0f, 7.0f, 6.0f},
       {2, 1, 0},
       {}},
      {"NaN rows",
       6,
       8,
       8,
       {n1,    1.0f,  2.0f,  3.0f,  4.0f, 5.0f,  6.0f,  7.0f,  //
        1.0f,  2.0f,  3.0f,  4.0f,  5.0f, 6.0f,  7.0f,  n1,    //
        n1,    n2,    2.0f,  1.0f,  n3,   3.0f,  3.0f,  n1,    //
        n1,    n2,    n3,    n1,    n2,   n3,    n1,    n2,    //
        -0.0f, 0.0f,  -kInf, kInf,  n1,   -0.0f, 0.0f,  1.0f,  //
        kInf,  -kInf, 0.0f,  -0.0f, kInf, 2.0f,  -kInf, 2.0f},
       {0, 7, 6, 5, 4, 3, 2, 1},
       {}},
      {"NaNs and infinities at random", 257, 40, 40, tied_scores(257 * 40, 3, 0.1, 0.05), {}, {}},
      {"part of rows with NaNs", 257, 40, 13, tied_scores(257 * 40, 4, 0.1, 0.0), {}, {}},
      {"one column", 5, 1, 1, {2.0f, -kInf, n1, 0.0f, -3.5f}, {0}, {1.0f}},
      {"more rows than the default device heap held",
       24576,
       64,
       4,
       distinct_scores(24576 * 64, 5),
       {},
       {}},
      {"top_k 0", 3, 5, 0, distinct_scores(15, 6), {}, {}},
      {"top_k 0 of no columns", 3, 0, 0, {}, {}, {}},
  };
  const std::pair<const char*, GateOp> ops[] = {{"vorel180", vorel180}, {"vorel113", vorel113}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.logits.size(), static_cast<size_t>(c.rows) * c.cols);
    const Selection expected = bubble_sort_selection(c.logits, c.rows, c.cols, c.top_k);
    for (size_t j = 0; j < c.expected_indices.size(); ++j) {
      ASSERT_EQ(expected.indices[j], c.expected_indices[j]) << "reference, entry " << j;
    }
    const size_t count = static_cast<size_t>(c.rows) * c.top_k;
    zk_ocu_buffer* logits = operand(c.logits.empty() ? std::vector<float>(1) : c.logits);
    for (const auto& [name, op] : ops) {
      SCOPED_TRACE(name);
      zk_ocu_error_log_clear();
      zk_ocu_buffer* indices = output(count * 4);
      zk_ocu_buffer* weights = output(count * 4);
      zk_ocu_op_gate_args_t args{indices, weights, logits, c.rows, c.top_k, c.cols};
      ASSERT_EQ(op(device_, nullptr, &args), ZK_STATUS_OK);
      EXPECT_TRUE(error_log().empty());
      if (count == 0) {
        expect_untouched(indices, 0, 0);
        expect_untouched(weights, 0, 0);
        continue;
      }
      const std::vector<int32_t> result_indices = result<int32_t>(indices, 0, count);
      const std::vector<float> result_weights = result<float>(weights, 0, count);
      EXPECT_EQ(result_indices, expected.indices);
      int mismatches = 0;
      if (op == vorel180) {
        for (size_t i = 0; i < count; ++i) {
          if (float_bits(result_weights[i]) != float_bits(expected.scores[i]) &&
              ++mismatches <= 5) {
            ADD_FAILURE() << "score " << i << ": " << result_weights[i] << " instead of "
                          << expected.scores[i];
          }
        }
        EXPECT_EQ(mismatches, 0);
        continue;
      }
      for (int32_t r = 0; r < c.rows; ++r) {
        const float* selected = &expected.scores[static_cast<size_t>(r) * c.top_k];
        const std::vector<double> reference = softmax_reference(selected, c.top_k);
        const std::vector<float> steps = softmax_steps(selected, c.top_k);
        for (int32_t j = 0; j < c.top_k; ++j) {
          const float w = result_weights[static_cast<size_t>(r) * c.top_k + j];
          const double tolerance = (c.top_k + 8) * std::ldexp(reference[j], -24) + 0x1p-140;
          const bool ok = std::isnan(reference[j])
                              ? std::isnan(w)
                              : std::fabs(static_cast<double>(w) - reference[j]) <= tolerance;
          // Any NaN stands for a NaN: the payload an operation passes on is not fixed.
          const bool exact =
              !ZK_OCU_TEST_EMULATED ||
              (std::isnan(steps[j]) ? std::isnan(w) : float_bits(w) == float_bits(steps[j]));
          if ((!ok || !exact) && ++mismatches <= 5) {
            ADD_FAILURE() << std::hexfloat << "row " << r << " weight " << j << ": " << w
                          << " instead of " << reference[j] << " (the steps in float give "
                          << steps[j] << ")";
          }
        }
      }
      EXPECT_EQ(mismatches, 0);
      for (size_t i = 0; i < c.expected_weights.size(); ++i) {
        EXPECT_EQ(float_bits(result_weights[i]), float_bits(c.expected_weights[i])) << i;
      }
      if (c.top_k == 1) {
        for (size_t i = 0; i < count; ++i) {
          if (!std::isnan(expected.scores[i]) && std::isfinite(expected.scores[i])) {
            EXPECT_EQ(result_weights[i], 1.0f) << "row " << i;
          }
        }
      }
    }
  }
}

// Shapes the selection cannot run return 3 before any launch, without a record; an empty
// grid and a failed launch return 7 with 0x33C.
TEST_F(GatingTest, Failures) {
  struct Case {
    const char* name;
    int32_t rows;
    int32_t cols;
    int32_t top_k;
    const char* fault;
    zk_status_t status;
  };
  const Case cases[] = {
      {"negative cols", 2, -1, 0, nullptr, ZK_STATUS_BAD_ARGUMENT},
      {"negative top_k", 2, 4, -1, nullptr, ZK_STATUS_BAD_ARGUMENT},
      {"top_k above cols", 2, 4, 5, nullptr, ZK_STATUS_BAD_ARGUMENT},
      {"top_k above no columns", 2, 0, 1, nullptr, ZK_STATUS_BAD_ARGUMENT},
      {"no rows", 0, 4, 2, nullptr, ZK_STATUS_DEVICE_FAILURE},
      {"failed launch", 2, 4, 2, "cudaLaunchKernel", ZK_STATUS_DEVICE_FAILURE},
  };
  const std::pair<const char*, GateOp> ops[] = {{"vorel180", vorel180}, {"vorel113", vorel113}};
  zk_ocu_buffer* logits = operand(distinct_scores(8, 7));
  const std::vector<std::string> kernel_failed{log_line(0x33C, zk_test::kKernelFailed)};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault != nullptr && !ZK_OCU_TEST_EMULATED) continue;
    for (const auto& [name, op] : ops) {
      SCOPED_TRACE(name);
      zk_ocu_error_log_clear();
      zk_ocu_buffer* indices = output(64);
      zk_ocu_buffer* weights = output(64);
      zk_ocu_op_gate_args_t args{indices, weights, logits, c.rows, c.top_k, c.cols};
      const int64_t launches = zk_emu_call_count("cudaLaunchKernel");
      if (c.fault != nullptr) zk_emu_inject_fault(c.fault, 0, 1, zk_test::kErrorInvalidValue);
      EXPECT_EQ(op(device_, nullptr, &args), c.status);
      if (c.status == ZK_STATUS_BAD_ARGUMENT) {
        EXPECT_TRUE(error_log().empty());
        EXPECT_EQ(zk_emu_call_count("cudaLaunchKernel"), launches) << "launched";
      } else {
        EXPECT_EQ(error_log(), kernel_failed);
      }
      expect_untouched(indices, 0, 64);
      expect_untouched(weights, 0, 64);
      if (c.fault == nullptr) continue;
      zk_ocu_error_log_clear();
      EXPECT_EQ(op(device_, nullptr, &args), ZK_STATUS_OK) << "the failure was consumed";
      EXPECT_TRUE(error_log().empty());
    }
  }
}

}  // namespace
