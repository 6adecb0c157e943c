// Arithmetic between a float32 matrix and a vector repeated along its rows or columns.
#include "runtime/operator.cuh"

namespace {

// What the strided kernels add to the column once the clamped grid's columns are done:
// 65535 blocks of 8 columns.
constexpr int32_t kColumnStride = zk::kMaxGridExtent * 8;

// Each operation says whether its vector runs along the rows (one value per row) or the
// columns, and whether it strides over columns beyond the clamped grid. It writes
// through `out` so that the accumulating one can read the element first.
struct broadcast_add_per_column {
  static constexpr bool kPerRow = false;
  static constexpr bool kStrided = true;
  __device__ void operator()(float* out, float a, float b) const { *out = __fadd_rn(a, b); }
};
struct broadcast_add_per_row {
  static constexpr bool kPerRow = true;
  static constexpr bool kStrided = true;
  __device__ void operator()(float* out, float a, float b) const { *out = __fadd_rn(a, b); }
};
struct broadcast_sub_per_column {
  static constexpr bool kPerRow = false;
  static constexpr bool kStrided = false;
  __device__ void operator()(float* out, float a, float b) const { *out = __fsub_rn(a, b); }
};
struct broadcast_sub_per_row {
  static constexpr bool kPerRow = true;
  static constexpr bool kStrided = false;
  __device__ void operator()(float* out, float a, float b) const { *out = __fsub_rn(a, b); }
};
struct broadcast_mul_per_column {
  static constexpr bool kPerRow = false;
  static constexpr bool kStrided = false;
  __device__ void operator()(float* out, float a, float b) const { *out = __fmul_rn(a, b); }
};
struct broadcast_mul_per_row {
  static constexpr bool kPerRow = true;
  static constexpr bool kStrided = false;
  __device__ void operator()(float* out, float a, float b) const { *out = __fmul_rn(a, b); }
};
struct broadcast_div_per_column {
  static constexpr bool kPerRow = false;
  static constexpr bool kStrided = false;
  __device__ void operator()(float* out, float a, float b) const { *out = __fdiv_rn(a, b); }
};
// Accumulates onto what the output held, with a single rounding.
struct broadcast_multiply_accumulate {
  static constexpr bool kPerRow = false;
  static constexpr bool kStrided = true;
  __device__ void operator()(float* out, float a, float b) const { *out = fmaf(a, b, *out); }
};

// Rows on x, columns on y. `out` may be `a` (each element is read by the thread that
// writes it) but must not overlap `b`.
template <typename Op>
__global__ void broadcast_kernel(int32_t rows, int32_t cols, float* out, const float* a,
                                 const float* b) {
  const int32_t r = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  int32_t c = static_cast<int32_t>(blockIdx.y * blockDim.y + threadIdx.y);
  if (r >= rows || c >= cols) return;
  do {
    const int32_t i = r * cols + c;
    Op{}(&out[i], a[i], b[Op::kPerRow ? r : c]);
    if (!Op::kStrided) break;
    c += kColumnStride;
  } while (c < cols);
}

// Without the stride, a grid of more than 65535 column blocks is left for the runtime
// to reject.
template <typename Op>
zk_status_t run_broadcast(const zk_ocu_op_pairwise_broadcast_args_t* args) {
  return ZK_RUN_KERNEL(broadcast_kernel<Op>,
                       zk::Geometry::tiles(args->rows, args->cols, 8, Op::kStrided), args->rows,
                       args->cols, zk::operand<float>(args->output, args->output_offset),
                       zk::operand<const float>(args->input_a, args->input_a_offset),
                       zk::operand<const float>(args->input_b, args->input_b_offset));
}

}  // namespace

zk_status_t vorel267(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_add_per_column>(args);
}

zk_status_t vorel322(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_add_per_row>(args);
}

zk_status_t vorel91(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_sub_per_column>(args);
}

zk_status_t vorel107(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_sub_per_row>(args);
}

zk_status_t vorel104(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_mul_per_column>(args);
}

zk_status_t vorel61(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_mul_per_row>(args);
}

zk_status_t vorel271(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_div_per_column>(args);
}

zk_status_t vorel283(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_broadcast_args_t* args) {
  return run_broadcast<broadcast_multiply_accumulate>(args);
}
