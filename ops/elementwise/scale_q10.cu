// Scaling of q10 values by a q10 scalar, rounding half up or toward negative infinity.
#include <cstdint>

#include "runtime/operator.cuh"

namespace {

// int16 times int16 plus 512 stays well inside 32 bits; >> is arithmetic.
__global__ void scale_q10_kernel(int32_t count, int32_t rounding, int16_t* out, int16_t scalar,
                                 const int16_t* in) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  const int32_t scaled =
      (static_cast<int32_t>(in[i]) * static_cast<int32_t>(scalar) + rounding) >> 10;
  out[i] = static_cast<int16_t>(min(max(scaled, -32768), 32767));
}

}  // namespace

zk_status_t vorel124(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_mulsv_args_t* args) {
  const int32_t rounding = args->no_rounding == 0 ? 512 : 0;
  return ZK_RUN_KERNEL(scale_q10_kernel, zk::Geometry::flat(args->count), args->count, rounding,
                       zk::operand<int16_t>(args->output, args->output_offset), args->scalar,
                       zk::operand<const int16_t>(args->input, args->input_offset));
}
