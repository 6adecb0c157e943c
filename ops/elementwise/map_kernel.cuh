// The one-input elementwise idiom shared by the float functions and the 16-bit
// fixed-point operators: thread i maps in[i] to out[i] with the functor Op, which names
// its element types In and Out.
#pragma once

#include <cstdint>

#include "runtime/operator.cuh"

namespace zk {

// No restrict qualifiers: the output may be the input.
template <typename Op>
__global__ void map_kernel(int32_t count, typename Op::Out* out, const typename Op::In* in) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  out[i] = Op{}(in[i]);
}

template <typename Op>
inline zk_status_t run_map(const zk_ocu_op_elementwise_args_t* args) {
  return ZK_RUN_KERNEL(map_kernel<Op>, Geometry::flat(args->count), args->count,
                       operand<typename Op::Out>(args->output, args->output_offset),
                       operand<const typename Op::In>(args->input, args->input_offset));
}

}  // namespace zk
