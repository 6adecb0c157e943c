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
