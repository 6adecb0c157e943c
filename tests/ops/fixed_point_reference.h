// Reference fixed-point conversions and table functions for the operator tests, built from
// their defining rules rather than from the library's tables.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace zk_test {

// round(32767 * sigmoid(k / 16)); the one tie, 16383.5 at k = 0, rounds up.
inline int32_t sigmoid_node(int32_t k) {
  const long double s = 32767.0L / (1.0L + std::exp(-k / 16.0L));
  return static_cast<int32_t>(std::floor(s + 0.5L));
}

// The sigmoid of a q10 value as q15: linear between the nodes at every 1/16 (64 in q10),
// rounded down, with the argument held to -8.0 .. 7.9375.
inline int32_t sigmoid_q15(int32_t v) {
  const int32_t c = std::clamp(v, -8192, 8128);
  const int32_t k = (c >= 0 ? c : c - 63) / 64;
  const int32_t lo = c - 64 * k;
  return ((64 - lo) * sigmoid_node(k) + lo * sigmoid_node(k + 1)) / 64;
}

// tanh(x) = 2 sigmoid(2x) - 1, with the doubled argument and the result held to int16.
inline int32_t tanh_q15(int32_t v) {
  const int32_t s = sigmoid_q15(std::clamp(2 * v, -32768, 32767));
  return std::clamp(2 * s - 32768, -32768, 32767);
}

// float to q10: x * 1024 (exact in double) saturated to int16, else truncated; NaN is 0.
inline int32_t to_q10(float x) {
  if (std::isnan(x)) return 0;
  const double v = static_cast<double>(x) * 1024.0;
  if (v >= 32767.0) return 32767;
  if (v <= -32768.0) return -32768;
  return static_cast<int32_t>(std::trunc(v));
}

}  // namespace zk_test
