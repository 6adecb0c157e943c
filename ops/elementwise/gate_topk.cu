// Per-row top-k gating: the largest scores of each row with their columns, raw or turned
// into weights by a softmax over the selection.
//
// The selection is defined as the first top_k entries of the row after a descending bubble
// sort that swaps only on an ordered less-than. Such a sort never moves a NaN and never
// carries a score across one, so it stably sorts each NaN-free run of the row on its own
// and leaves every NaN where it was. Each thread reproduces that order without scratch
// memory: entry j is the NaN at column j, or else the next score of j's run in stable
// descending order, found by one pass over the run.
#include <cmath>
#include <cstdint>

#include "runtime/operator.cuh"

namespace {

// Whether (score, column) comes after the last selected pair in stable descending order:
// a smaller score, or an equal one at a later column.
__device__ __forceinline__ bool follows(float score, int32_t column, float last_score,
                                        int32_t last_column) {
  return score < last_score || (score == last_score && column > last_column);
}

// Raw scores: the selection is the result.
struct GateTopkKernel {
  __device__ __forceinline__ void operator()(float*, int32_t) const {}
};

// Softmax over the selected scores in place, in a fixed order so that results do not depend
// on the back end: the maximum from entry 0 on, exponentials summed in entry order, then one
// correctly rounded division per entry.
struct GateTopkSoftmaxKernel {
  __device__ __forceinline__ void operator()(float* w, int32_t top_k) const {
    float m = w[0];
    for (int32_t j = 1; j < top_k; ++j) m = fmaxf(m, w[j]);
    float s = 0.0f;
    for (int32_t j = 0; j < top_k; ++j) {
      const float e = expf(__fsub_rn(w[j], m));
      w[j] = e;
      s = __fadd_rn(s, e);
    }
    for (int32_t j = 0; j < top_k; ++j) w[j] = __fdiv_rn(w[j], s);
  }
};

template <typename Epilogue>
__global__ void gate_kernel(int32_t rows, int32_t top_k, int32_t cols, const float* logits,
                            int32_t* indices, float* weights) {
  const int32_t r = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (r >= rows || top_k == 0) return;
  const float* scores = logits + static_cast<int64_t>(r * cols);
  int32_t* row_indices = indices + static_cast<int64_t>(r * top_k);
  float* row_weights = weights + static_cast<int64_t>(r * top_k);

  // The NaN-free run [run_start, run_end) that entry j falls in, and the last pair
  // selected from it (last_column < 0 before its first).
  int32_t run_start = 0;
  int32_t run_end = 0;
  int32_t last_column = -1;
  float last_score = 0.0f;
  for (int32_t j = 0; j < top_k; ++j) {
    if (j >= run_end) {
      run_start = j;
      run_end = j;
      while (run_end < cols && !isnan(scores[run_end])) ++run_end;
      last_column = -1;
    }
    int32_t best = j;  // a NaN stays at its own column
    if (j < run_end) {
      float best_score = 0.0f;
      best = -1;
      for (int32_t k = run_start; k < run_end; ++k) {
        const float score = scores[k];
        if (last_column >= 0 && !follows(score, k, last_score, last_column)) continue;
        if (best < 0 || score > best_score) {
          best = k;
          best_score = score;
        }
      }
      last_column = best;
      last_score = best_score;
    }
    row_indices[j] = best;
    row_weights[j] = scores[best];
  }
  Epilogue{}(row_weights, top_k);
}

// Shapes the selection cannot run are refused before any launch; a selection of nothing
// launches and writes nothing.
template <typename Epilogue>
zk_status_t run_gate(const zk_ocu_op_gate_args_t* args) {
  if (args->cols < 0 || args->top_k < 0 || args->top_k > args->cols) {
    return ZK_STATUS_BAD_ARGUMENT;
  }
  return ZK_RUN_KERNEL(gate_kernel<Epilogue>, zk::Geometry::flat(args->rows), args->rows,
                       args->top_k, args->cols, zk::operand<const float>(args->logits),
                       zk::operand<int32_t>(args->indices), zk::operand<float>(args->weights));
}

}  // namespace

zk_status_t vorel113(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_gate_args_t* args) {
  return run_gate<GateTopkSoftmaxKernel>(args);
}

zk_status_t vorel180(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_gate_args_t* args) {
  return run_gate<GateTopkKernel>(args);
}
