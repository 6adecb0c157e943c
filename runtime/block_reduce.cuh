// Block-wide reductions with a fixed combination order, so that float results are
// reproducible: butterflies within each warp, then over the warps' values in warp 0.
#pragma once

#include <cstdint>

#include "runtime/compat.cuh"

namespace zk {

constexpr unsigned kFullWarpMask = 0xffffffffu;

// Exclusive-or butterfly over the lanes named in `mask`, at distances kLanes / 2, ..., 1:
// every lane of each aligned group of kLanes lanes ends with op over the group's values.
// Each step combines as op(own value, partner's value).
template <int kLanes, typename T, typename Op>
__device__ __forceinline__ T butterfly_reduce(T value, Op op, unsigned mask = kFullWarpMask) {
  static_assert(kLanes >= 1 && kLanes <= 32 && (kLanes & (kLanes - 1)) == 0,
                "a power-of-two group of lanes");
#pragma unroll
  for (int distance = kLanes / 2; distance > 0; distance >>= 1) {
    value = op(value, __shfl_xor_sync(mask, value, distance));
  }
  return value;
}

// op over one value per thread of a block of exactly kWarps full warps, returned to every
// thread. Each warp reduces with a 32-lane butterfly and its lane 0 stores the result in
// slots[warp]; after a barrier the first kWarps lanes of warp 0 reduce the slots with a
// kWarps-lane butterfly and thread 0 stores the total in *result; after a second barrier
// every thread reads it. Every thread of the block must call it (the shuffles name whole
// warps). `Slot` is the shared storage type, which may be narrower than T where the values
// fit. Back-to-back calls may share the storage: a call writes the slots only after every
// warp-0 read of the previous call's slots, and *result only after every thread has passed
// the previous call's last barrier and read *result there.
template <int kWarps, typename T, typename Slot, typename Op>
__device__ __forceinline__ T block_reduce(T value, Op op, Slot* slots, Slot* result) {
  static_assert(kWarps >= 1 && kWarps <= 32 && (kWarps & (kWarps - 1)) == 0,
                "a power-of-two number of warps");
  const int32_t lane = static_cast<int32_t>(threadIdx.x) & 31;
  const int32_t warp = static_cast<int32_t>(threadIdx.x) >> 5;
  value = butterfly_reduce<32>(value, op);
  if (lane == 0) slots[warp] = static_cast<Slot>(value);
  __syncthreads();
  if (warp == 0 && lane < kWarps) {
    constexpr unsigned kMask = kWarps == 32 ? kFullWarpMask : (1u << kWarps) - 1u;
    const T total = butterfly_reduce<kWarps>(static_cast<T>(slots[lane]), op, kMask);
    if (lane == 0) *result = static_cast<Slot>(total);
  }
  __syncthreads();
  return static_cast<T>(*result);
}

}  // namespace zk
