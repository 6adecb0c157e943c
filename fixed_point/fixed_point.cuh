// 16-bit fixed-point support shared by every device-code unit: the constant tables
// (each unit carries its own copy in constant memory) and the table lookups.
//   q10: int16, value v / 1024.   q15: int16, value v / 32767.   q31: int32, value v / 2147483647.
#pragma once

#include <cstdint>

#include "runtime/compat.cuh"

// e^(-k/8) in q31.
static __constant__ int32_t ZK_EXP_MSB_TABLE[128] = {
#include "fixed_point/exp_msb_table.inc"
};

// e^(-k/1024) in q31.
static __constant__ int32_t ZK_EXP_LSB_TABLE[128] = {
#include "fixed_point/exp_lsb_table.inc"
};

// sigmoid(k/16) for k < 128, sigmoid((k - 256)/16) for 128 <= k < 256, and sigmoid(0)
// again at 256 to close the negative half; q15.
static __constant__ int16_t ZK_SIGMOID_TABLE[257] = {
#include "fixed_point/sigmoid_table.inc"
};

// The conversions and lookups below are static like the tables: every unit's copy reads
// that unit's own tables.

// float32 to q10: x * 1024 saturated to the int16 range, else truncated toward zero;
// NaN gives 0 (both comparisons fail and the conversion maps NaN to 0).
static __device__ __forceinline__ int16_t to_q10(float x) {
  const float v = __fmul_rn(x, 1024.0f);
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return static_cast<int16_t>(__float2int_rz(v));
}

// q10 to float32, exact.
static __device__ __forceinline__ float q10_to_float(int16_t v) {
  return __fmul_rn(__int2float_rn(v), 0.0009765625f);
}

// sigmoid of a q10 value as q15, interpolated linearly between the table's 1/16 steps over
// -8.0 .. 7.9375 and constant beyond.
static __device__ __forceinline__ int16_t sigmoid_lookup(int16_t v) {
  const int32_t c = min(max(static_cast<int32_t>(v), -8192), 8128);
  // The low 14 bits of c as two's complement: the positive half of the table indexes
  // 0 .. 127, the negative half 128 .. 255, and entry 256 closes it at x = 0.
  const uint32_t u = static_cast<uint32_t>(c) & 0x3FFFu;
  const uint32_t lo = u & 63u;
  const int32_t a = ZK_SIGMOID_TABLE[u >> 6];
  const int32_t b = ZK_SIGMOID_TABLE[(u + 63u) >> 6];
  return static_cast<int16_t>((static_cast<int32_t>(64u - lo) * a + static_cast<int32_t>(lo) * b) >>
                              6);
}

// tanh of a q10 value as q15, by tanh(x) = 2 sigmoid(2x) - 1.
static __device__ __forceinline__ int16_t tanh_lookup(int16_t v) {
  const int32_t w = min(max(2 * static_cast<int32_t>(v), -32768), 32767);
  const int32_t s = sigmoid_lookup(static_cast<int16_t>(w));
  return static_cast<int16_t>(min(max(2 * s - 32768, -32768), 32767));
}

// e^(-a/1024) as q31 for a q10 magnitude a, saturating from a = 16383 on:
// e^(-(a >> 7)/8) * e^(-(a & 127)/1024), renormalised with rounding. A negative magnitude,
// outside the domain, is taken as 0 rather than indexing outside the tables.
static __device__ __forceinline__ int32_t exp_lookup(int32_t a) {
  const int32_t m = min(max(a, 0), 16383);
  const int64_t product = static_cast<int64_t>(ZK_EXP_MSB_TABLE[m >> 7]) *
                          static_cast<int64_t>(ZK_EXP_LSB_TABLE[m & 127]);
  const int64_t rounded = (product + (INT64_C(1) << 30)) >> 31;
  return static_cast<int32_t>(rounded > INT32_MAX ? INT32_MAX : rounded);
}
