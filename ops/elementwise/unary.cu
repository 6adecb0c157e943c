// Unary float functions: exponential, logarithm, rectifier, the smooth activations, the
// sigmoid and tanh through the fixed-point tables, and int32 to float.
#include <cstdint>

#include "ops/elementwise/map_kernel.cuh"
#include "runtime/operator.cuh"

namespace {

struct FloatToFloat {
  using In = float;
  using Out = float;
};

struct ExpKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const { return expf(x); }
};

struct LogKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const { return logf(x); }
};

// The IEEE maximum with 0, which takes the number over a NaN. Written as a comparison so
// that a signalling NaN gives 0 on both back ends (the host's fmaxf would quiet it).
struct ReluKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const { return x > 0.0f ? x : 0.0f; }
};

struct GeluTanhKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const {
    const float x3 = __fmul_rn(x, __fmul_rn(x, x));
    const float inner = fmaf(x3, 0.044715f, x);
    // sqrt(2/pi) is applied in double; |u| < |inner|, so the narrowing cannot overflow.
    const float u = static_cast<float>(static_cast<double>(inner) * 0.7978845608028654);
    const float t = tanhf(u);
    return __fmul_rn(__fmul_rn(0.5f, x), __fadd_rn(t, 1.0f));
  }
};

struct GeluErfKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const {
    const float u = __fmul_rn(x, 0.70710677f);
    return __fmul_rn(__fmul_rn(x, 0.5f), __fadd_rn(erff(u), 1.0f));
  }
};

struct GeluSigmoidKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const {
    return __fdiv_rn(x, __fadd_rn(1.0f, expf(__fmul_rn(x, -1.702f))));
  }
};

struct SiluKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const {
    return __fdiv_rn(x, __fadd_rn(1.0f, expf(-x)));
  }
};

struct SigmoidTableKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const {
    return __fdiv_rn(__int2float_rn(sigmoid_lookup(to_q10(x))), 32767.0f);
  }
};

struct TanhTableKernel : FloatToFloat {
  __device__ __forceinline__ float operator()(float x) const {
    return __fdiv_rn(__int2float_rn(tanh_lookup(to_q10(x))), 32767.0f);
  }
};

struct Int32ToFloatKernel {
  using In = int32_t;
  using Out = float;
  __device__ __forceinline__ float operator()(int32_t v) const { return __int2float_rn(v); }
};

}  // namespace

zk_status_t vorel298(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<ExpKernel>(args);
}

zk_status_t vorel302(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<LogKernel>(args);
}

zk_status_t vorel60(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<GeluTanhKernel>(args);
}

zk_status_t vorel175(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<GeluErfKernel>(args);
}

zk_status_t vorel123(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<SiluKernel>(args);
}

zk_status_t vorel100(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<SigmoidTableKernel>(args);
}

zk_status_t vorel194(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<TanhTableKernel>(args);
}

zk_status_t vorel248(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<Int32ToFloatKernel>(args);
}

extern "C" {

zk_status_t vorel122(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<ReluKernel>(args);
}

zk_status_t vorel244(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<GeluSigmoidKernel>(args);
}

}  // extern "C"
