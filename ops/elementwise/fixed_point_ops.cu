// 16-bit fixed-point elementwise operators: q10 to float, the sigmoid as q15 and as q10,
// and the rectifier.
#include <cstdint>

#include "ops/elementwise/map_kernel.cuh"
#include "runtime/operator.cuh"

namespace {

struct Int16ToInt16 {
  using In = int16_t;
  using Out = int16_t;
};

struct Q10ToFloatKernel {
  using In = int16_t;
  using Out = float;
  __device__ __forceinline__ float operator()(int16_t v) const { return q10_to_float(v); }
};

struct SigmoidQ15Kernel : Int16ToInt16 {
  __device__ __forceinline__ int16_t operator()(int16_t v) const { return sigmoid_lookup(v); }
};

// The q15 sigmoid is never negative, so the shift to q10 is a plain truncation.
struct SigmoidQ10Kernel : Int16ToInt16 {
  __device__ __forceinline__ int16_t operator()(int16_t v) const {
    return static_cast<int16_t>(sigmoid_lookup(v) >> 5);
  }
};

struct ReluInt16Kernel : Int16ToInt16 {
  __device__ __forceinline__ int16_t operator()(int16_t v) const {
    return static_cast<int16_t>(max(static_cast<int32_t>(v), 0));
  }
};

}  // namespace

zk_status_t vorel71(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<Q10ToFloatKernel>(args);
}

zk_status_t vorel278(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<SigmoidQ15Kernel>(args);
}

zk_status_t vorel341(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<SigmoidQ10Kernel>(args);
}

zk_status_t vorel245(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_args_t* args) {
  return zk::run_map<ReluInt16Kernel>(args);
}
