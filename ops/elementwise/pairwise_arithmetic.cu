// Elementwise arithmetic between two float32 tensors of equal size.
#include "runtime/operator.cuh"

namespace {

struct pairwise_add {
  __device__ float operator()(float a, float b) const { return __fadd_rn(a, b); }
};
struct pairwise_sub {
  __device__ float operator()(float a, float b) const { return __fsub_rn(a, b); }
};
struct pairwise_mul {
  __device__ float operator()(float a, float b) const { return __fmul_rn(a, b); }
};
struct pairwise_div {
  __device__ float operator()(float a, float b) const { return __fdiv_rn(a, b); }
};

// `out` may be `a` or `b`: each element is read by the thread that writes it.
template <typename Op>
__global__ void pairwise_kernel(int32_t count, float* out, const float* a, const float* b) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  out[i] = Op{}(a[i], b[i]);
}

template <typename Op>
zk_status_t run_pairwise(const zk_ocu_op_pairwise_args_t* args) {
  return ZK_RUN_KERNEL(pairwise_kernel<Op>, zk::Geometry::flat(args->count), args->count,
                       zk::operand<float>(args->output, args->output_offset),
                       zk::operand<const float>(args->input_a, args->input_a_offset),
                       zk::operand<const float>(args->input_b, args->input_b_offset));
}

}  // namespace

zk_status_t vorel159(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_args_t* args) {
  return run_pairwise<pairwise_add>(args);
}

zk_status_t vorel168(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_args_t* args) {
  return run_pairwise<pairwise_sub>(args);
}

zk_status_t vorel103(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_args_t* args) {
  return run_pairwise<pairwise_mul>(args);
}

zk_status_t vorel269(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_pairwise_args_t* args) {
  return run_pairwise<pairwise_div>(args);
}
