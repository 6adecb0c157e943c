// Rewrites the packed 3-, 5-, 6- and 7-bit weight blocks in place into the plane-split layout
// that the block-quantized product reads; the other widths are stored the same either way.
#include "ops/linear/block_quant_format.cuh"
#include "runtime/device.h"
#include "runtime/operator.cuh"

namespace {

namespace bq = zk::block_quant;

// Thread (tx, ty) of block (bx, by) owns the whole block of row group 16 bx + tx and column
// block 16 by + ty, so the rewrite in place needs no synchronisation. Packed: code v = 8 r + j
// at bits v b .. v b + b - 1 of the block. Plane-split: code v's field of a w-bit plane at bits
// v w .. v w + w - 1 of that plane.
template <int B>
__global__ void split_block_planes_kernel(uint8_t* weights, uint64_t segment_offset, int32_t blocks,
                                          int32_t num_groups) {
  constexpr int kWords = 4 * B;  // 32-bit words of a block
  const int32_t group = 16 * static_cast<int32_t>(blockIdx.x) + static_cast<int32_t>(threadIdx.x);
  const int32_t column_block =
      16 * static_cast<int32_t>(blockIdx.y) + static_cast<int32_t>(threadIdx.y);
  if (group >= num_groups || column_block >= blocks) return;
  uint4* block = reinterpret_cast<uint4*>(weights + segment_offset +
                                          (group * blocks + column_block) * (16 * B));

  uint32_t packed[kWords];
#pragma unroll
  for (int i = 0; i < B; ++i) {
    const uint4 v = block[i];
    packed[4 * i] = v.x;
    packed[4 * i + 1] = v.y;
    packed[4 * i + 2] = v.z;
    packed[4 * i + 3] = v.w;
  }
  uint32_t split[kWords];
#pragma unroll
  for (int i = 0; i < kWords; ++i) split[i] = 0u;

#pragma unroll
  for (int v = 0; v < bq::kBlockRows * bq::kBlockColumns; ++v) {
    const int first_bit = v * B;
    uint32_t code = packed[first_bit / 32] >> (first_bit % 32);
    if (first_bit % 32 + B > 32) code |= packed[first_bit / 32 + 1] << (32 - first_bit % 32);
#pragma unroll
    for (int p = 0; p < bq::plane_count(B); ++p) {
      const int width = bq::plane_width(B, p);
      const int shift = bq::plane_shift(B, p);
      const int bit = 8 * bq::plane_offset(B, p) + v * width;
      split[bit / 32] |= ((code >> shift) & ((1u << width) - 1u)) << (bit % 32);
    }
  }

#pragma unroll
  for (int i = 0; i < B; ++i) {
    block[i] = make_uint4(split[4 * i], split[4 * i + 1], split[4 * i + 2], split[4 * i + 3]);
  }
}

}  // namespace

zk_status_t vorel252(zk_ocu_device* device, zk_ocu_operator*,
                     zk_ocu_op_weight_16x8_preprocess_blocks_args_t* args) {
  const zk_ocu_op_weight_16x8_preprocess_blocks_args_t record = *args;
  bq::SegmentLayout layout;
  if (!bq::plan_segments(record.num_groups, record.num_blocks, &layout)) {
    return ZK_STATUS_BAD_ARGUMENT;
  }
  uint8_t* weights = zk::operand<uint8_t>(record.weights);
  // Width b runs on device stream b; the segments are disjoint byte ranges.
  for (int32_t b = 1; b <= bq::kWidths; ++b) {
    const int32_t blocks = record.num_blocks[b - 1];
    if (blocks == 0 || !bq::needs_plane_split(b)) continue;
    const zk::LaunchGeometry geometry = zk::Geometry::tiles(record.num_groups, blocks, 16);
    bq::with_width(b, [&](auto width) {
      constexpr int kWidth = decltype(width)::value;
      if constexpr (bq::needs_plane_split(kWidth)) {
        ZK_LAUNCH(split_block_planes_kernel<kWidth>, geometry, zk::device_stream(device, b),
                  weights, static_cast<uint64_t>(layout.bytes_before[b - 1]), blocks,
                  record.num_groups);
      }
    });
  }
  return zk::launch_status();
}
