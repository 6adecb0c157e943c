// The block-quantized weight format shared by the product and the block preprocessing:
// 16 x 8 blocks of b-bit codes (b = 1..8), the width segments in ascending b, and the
// plane-split block layout the product kernels read.
#pragma once

#include <cstdint>
#include <type_traits>

#include "runtime/compat.cuh"

namespace zk {
namespace block_quant {

constexpr int32_t kWidths = 8;
constexpr int32_t kBlockRows = 16;
constexpr int32_t kBlockColumns = 8;

// A width-b block is split into planes of widths 4, 2 and 1 (the set bits of b, high to
// low, lowest code bits in the first plane); b = 8 is a single plane of 8. A plane of width
// w holds 16 rows of w bytes, so that one aligned access fetches a row's eight codes.
__host__ __device__ constexpr int plane_count(int b) {
  return b == 8 ? 1 : (b & 1) + ((b >> 1) & 1) + ((b >> 2) & 1);
}

__host__ __device__ constexpr int plane_width(int b, int plane) {
  if (b == 8) return 8;
  for (int w = 4; w >= 1; w >>= 1) {
    if ((b & w) != 0) {
      if (plane == 0) return w;
      --plane;
    }
  }
  return 0;
}

// Code bits held by the planes before `plane`; the plane starts at 16 times that byte.
__host__ __device__ constexpr int plane_shift(int b, int plane) {
  int shift = 0;
  for (int p = 0; p < plane; ++p) shift += plane_width(b, p);
  return shift;
}

__host__ __device__ constexpr int plane_offset(int b, int plane) {
  return kBlockRows * plane_shift(b, plane);
}

// Widths whose packed layout differs from the plane-split one.
__host__ __device__ constexpr bool needs_plane_split(int b) { return plane_count(b) > 1; }

// Where each width segment starts, and the sizes the kernels index in 32 bits.
struct SegmentLayout {
  int32_t columns;                 // K = 8 * total column blocks
  int32_t rows;                    // N = 16 * num_groups
  int32_t blocks_before[kWidths];  // d_b: column blocks of the narrower segments
  int32_t codes_before[kWidths];   // S_b: scale codes of the narrower segments
  int32_t bytes_before[kWidths];   // W_b: weight bytes of the narrower segments
};

// Computes the layout in 64 bits. False when a count is negative or a total does not fit
// the signed 32-bit indices the kernels use; every per-segment count is below its total.
inline bool plan_segments(int32_t num_groups, const int32_t (&num_blocks)[kWidths],
                          SegmentLayout* layout) {
  if (num_groups < 0 || num_groups > INT32_MAX / kBlockRows) return false;
  int64_t blocks = 0, codes = 0, bytes = 0;
  for (int32_t b = 1; b <= kWidths; ++b) {
    const int64_t count = num_blocks[b - 1];
    if (count < 0) return false;
    layout->blocks_before[b - 1] = static_cast<int32_t>(blocks);
    layout->codes_before[b - 1] = static_cast<int32_t>(codes);
    layout->bytes_before[b - 1] = static_cast<int32_t>(bytes);
    // Below 2^58; checked before the larger byte count is formed from it.
    const int64_t segment_blocks = count * num_groups;
    if (segment_blocks > INT32_MAX) return false;
    blocks += count;
    codes += 2 * segment_blocks;
    bytes += int64_t{kBlockRows} * b * segment_blocks;
    if (kBlockColumns * blocks > INT32_MAX || codes > INT32_MAX || bytes > INT32_MAX) {
      return false;
    }
  }
  layout->columns = static_cast<int32_t>(kBlockColumns * blocks);
  layout->rows = kBlockRows * num_groups;
  return true;
}

// Calls f(std::integral_constant<int, b>{}) for a run-time width b in 1..8, so that the
// per-width kernel instance can be named.
template <typename F>
inline void with_width(int32_t b, F&& f) {
  switch (b) {
    case 1:
      f(std::integral_constant<int, 1>{});
      break;
    case 2:
      f(std::integral_constant<int, 2>{});
      break;
    case 3:
      f(std::integral_constant<int, 3>{});
      break;
    case 4:
      f(std::integral_constant<int, 4>{});
      break;
    case 5:
      f(std::integral_constant<int, 5>{});
      break;
    case 6:
      f(std::integral_constant<int, 6>{});
      break;
    case 7:
      f(std::integral_constant<int, 7>{});
      break;
    case 8:
      f(std::integral_constant<int, 8>{});
      break;
    default:
      break;
  }
}

}  // namespace block_quant
}  // namespace zk
