// Per-column shift and scale of a row-major q10 matrix.
#include <cstdint>

#include "runtime/operator.cuh"

namespace {

// (v - shift) spans 17 bits and the scale 16, so the product fits in 32 bits.
__global__ void shift_scale_q10_kernel(int32_t cols, int32_t rows, int16_t* out, const int16_t* in,
                                       const int16_t* shift, const int16_t* scale) {
  const int32_t x = static_cast<int32_t>(blockIdx.x * 16 + threadIdx.x);
  const int32_t y = static_cast<int32_t>(blockIdx.y * 16 + threadIdx.y);
  if (x >= cols || y >= rows) return;
  const int64_t index = static_cast<int64_t>(y * cols + x);
  const int32_t scaled = ((static_cast<int32_t>(in[index]) - static_cast<int32_t>(shift[x])) *
                          static_cast<int32_t>(scale[x])) >>
                         10;
  out[index] = static_cast<int16_t>(min(max(scaled, -32768), 32767));
}

}  // namespace

extern "C" {

zk_status_t vorel233(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_shift_scale_args_t* args) {
  return ZK_RUN_KERNEL(
      shift_scale_q10_kernel, zk::Geometry::tiles(args->cols, args->rows, 16), args->cols,
      args->rows, zk::operand<int16_t>(args->output, args->output_offset),
      zk::operand<const int16_t>(args->input, args->input_offset),
      zk::operand<const int16_t>(args->shift), zk::operand<const int16_t>(args->scale));
}

}  // extern "C"
