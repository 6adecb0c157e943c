// One step of the q10 recurrent cell whose forget gate is one minus its input gate.
#include <cstdint>

#include "runtime/operator.cuh"

namespace {

__device__ __forceinline__ int16_t saturate_int16(int32_t v) {
  return static_cast<int16_t>(min(max(v, -32768), 32767));
}

// t and i are the same memory: the tanh of the new state replaces the consumed input gate,
// so neither pointer may be restricted. Each gate is written back as soon as it is formed.
__global__ void lstm_cell_q10_kernel(int32_t count, int16_t* h, int16_t* t, int16_t* c, int16_t* i,
                                     int16_t* g, int16_t* o) {
  const int32_t j = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (j >= count) return;
  const int32_t input_gate = sigmoid_lookup(i[j]);
  i[j] = static_cast<int16_t>(input_gate);
  const int32_t candidate = tanh_lookup(g[j]);
  g[j] = static_cast<int16_t>(candidate);
  const int32_t output_gate = sigmoid_lookup(o[j]);
  o[j] = static_cast<int16_t>(output_gate);
  const int32_t forget_gate = saturate_int16(32767 - input_gate);
  // q15 * q15 to q10 and q15 * q10 to q10, rounding half up; both products fit in 31 bits.
  const int32_t gated_input = (candidate * input_gate + (1 << 19)) >> 20;
  const int32_t kept_state = (forget_gate * static_cast<int32_t>(c[j]) + (1 << 14)) >> 15;
  const int16_t state = saturate_int16(kept_state + gated_input);
  c[j] = state;
  const int32_t state_tanh = tanh_lookup(state);
  t[j] = static_cast<int16_t>(state_tanh);
  const int64_t out = (static_cast<int64_t>(state_tanh) * output_gate + (INT64_C(1) << 19)) >> 20;
  h[j] = static_cast<int16_t>(min(max(out, INT64_C(-32768)), INT64_C(32767)));
}

}  // namespace

extern "C" {

zk_status_t vorel32(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_lstm_cell_args_t* args) {
  int16_t* gates = zk::operand<int16_t>(args->gates, args->gates_offset);
  const int64_t count = args->count;
  return ZK_RUN_KERNEL(lstm_cell_q10_kernel, zk::Geometry::flat(args->count), args->count,
                       zk::operand<int16_t>(args->output, args->output_offset), gates,
                       zk::operand<int16_t>(args->state, args->state_offset), gates, gates + count,
                       gates + 2 * count);
}

}  // extern "C"
