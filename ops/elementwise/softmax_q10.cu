// Softmax over each row of q10 logits into q31 probabilities, through the exponential table.
#include <cstdint>

#include "runtime/block_reduce.cuh"
#include "runtime/operator.cuh"

namespace {

constexpr int32_t kThreads = 256;
constexpr int32_t kWarps = kThreads / 32;

struct MaxOp {
  __device__ __forceinline__ int32_t operator()(int32_t a, int32_t b) const { return max(a, b); }
};

struct AddOp {
  __device__ __forceinline__ int64_t operator()(int64_t a, int64_t b) const { return a + b; }
};

// One block per row; thread t takes elements t, t + 256, ... The row maximum goes through
// int16 slots (it is one of the row's values), the row sum through 64-bit ones.
__global__ void softmax_q10_kernel(int32_t cols, int32_t* out, const int16_t* in) {
  __shared__ int16_t warp_max[kWarps];
  __shared__ int16_t row_max;
  __shared__ int64_t warp_sum[kWarps];
  __shared__ int64_t row_sum;
  const int32_t t = static_cast<int32_t>(threadIdx.x);
  const int64_t row = static_cast<int64_t>(static_cast<int32_t>(blockIdx.x) * cols);
  const int16_t* x = in + row;
  int32_t* e = out + row;

  int32_t m = -32768;
  for (int32_t k = t; k < cols; k += kThreads) m = max(m, static_cast<int32_t>(x[k]));
  const int32_t row_maximum = zk::block_reduce<kWarps>(m, MaxOp{}, warp_max, &row_max);

  // x - M is never positive; its magnitude is held to 32767 and the lookup saturates
  // beyond 16383.
  int64_t sum = 0;
  for (int32_t k = t; k < cols; k += kThreads) {
    const int32_t d = max(static_cast<int32_t>(x[k]) - row_maximum, -32768);
    const int32_t exponential = exp_lookup(min(-d, 32767));
    e[k] = exponential;
    sum += exponential;
  }
  const int64_t total = zk::block_reduce<kWarps>(sum, AddOp{}, warp_sum, &row_sum);

  // The largest element contributes exp_lookup(0) = 2^31 - 2, so the sum of a row is at
  // least that, and 2^62 / S can exceed the int32 range by a little: it is clamped.
  if (t >= cols) return;
  const int64_t scale =
      min(max((INT64_C(1) << 62) / total, INT64_C(-2147483648)), INT64_C(2147483647));
  for (int32_t k = t; k < cols; k += kThreads) {
    const int64_t p = (scale * e[k] + (INT64_C(1) << 30)) >> 31;
    e[k] = static_cast<int32_t>(min(max(p, INT64_C(-2147483648)), INT64_C(2147483647)));
  }
}

}  // namespace

extern "C" {

zk_status_t vorel260(zk_ocu_device*, zk_ocu_operator*,
                     zk_ocu_op_elementwise_broadcast_args_t* args) {
  return ZK_RUN_KERNEL(softmax_q10_kernel, zk::Geometry::rows(args->rows, kThreads), args->cols,
                       zk::operand<int32_t>(args->output, args->output_offset),
                       zk::operand<const int16_t>(args->input, args->input_offset));
}

}  // extern "C"
