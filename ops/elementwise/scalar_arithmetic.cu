// Elementwise arithmetic between a float32 tensor and a scalar from the record.
#include "runtime/operator.cuh"

namespace {

struct scalar_add {
  __device__ float operator()(float x, float scalar) const { return __fadd_rn(x, scalar); }
};
// The scalar is the minuend.
struct scalar_subtract_from {
  __device__ float operator()(float x, float scalar) const { return __fsub_rn(scalar, x); }
};
struct scalar_mul {
  __device__ float operator()(float x, float scalar) const { return __fmul_rn(x, scalar); }
};
// The scalar is the dividend.
struct scalar_divide_by {
  __device__ float operator()(float x, float scalar) const { return __fdiv_rn(scalar, x); }
};

// `out` may be `in`: each element is read by the thread that writes it.
template <typename Op>
__global__ void scalar_kernel(int32_t count, float* out, float scalar, const float* in) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  out[i] = Op{}(in[i], scalar);
}

template <typename Op>
zk_status_t run_scalar(const zk_ocu_op_elementwise_scalar_args_t* args) {
  return ZK_RUN_KERNEL(scalar_kernel<Op>, zk::Geometry::flat(args->count), args->count,
                       zk::operand<float>(args->output, args->output_offset), args->scalar,
                       zk::operand<const float>(args->input, args->input_offset));
}

}  // namespace

zk_status_t vorel288(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_scalar_args_t* args) {
  return run_scalar<scalar_add>(args);
}

zk_status_t vorel176(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_scalar_args_t* args) {
  return run_scalar<scalar_subtract_from>(args);
}

zk_status_t vorel218(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_scalar_args_t* args) {
  return run_scalar<scalar_mul>(args);
}

zk_status_t vorel152(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_scalar_args_t* args) {
  return run_scalar<scalar_divide_by>(args);
}
