// Row and column operations on a row-major [rows][cols] matrix: reversing rows in place,
// column means, q10 column sums, the row softmax and the conversion of log-magnitude and
// phase rows into complex spectrum rows.
#include <cstdint>

#include "runtime/block_reduce.cuh"
#include "runtime/operator.cuh"

namespace {

constexpr int32_t kReverseThreads = 256;
constexpr int32_t kColumnMeanThreads = 64;
constexpr int32_t kSoftmaxThreads = 512;
constexpr int32_t kSoftmaxWarps = kSoftmaxThreads / 32;
constexpr int32_t kSpectrumThreads = 128;

// Swaps elements t and cols - 1 - t of row blockIdx.x for t < cols / 2; an odd middle
// element stays.
__global__ void reverse_rows_kernel(int32_t cols, float* out) {
  float* row = out + static_cast<int32_t>(blockIdx.x) * cols;
  const int32_t half = cols / 2;
  for (int32_t t = static_cast<int32_t>(threadIdx.x); t < half;
       t += static_cast<int32_t>(blockDim.x)) {
    const int32_t mirror = cols - 1 - t;
    const float value = row[t];
    row[t] = row[mirror];
    row[mirror] = value;
  }
}

// Sums column i top to bottom, passing the running sum through out[i], then divides by
// the row count; `out` must not overlap `in`.
__global__ void column_mean_kernel(float* out, const float* in, int32_t rows, int32_t cols) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= cols) return;
  out[i] = 0.0f;
  float acc = 0.0f;
  for (int32_t r = 0; r < rows; ++r) {
    acc = __fadd_rn(in[r * cols + i], acc);
    out[i] = acc;
  }
  out[i] = __fdiv_rn(acc, __int2float_rn(rows));
}

// Sums a q10 column exactly: 64 bits hold any number of int16 rows a 32-bit count allows.
__global__ void column_sum_q10_kernel(int32_t rows, int32_t cols, float* out, const int16_t* in) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= cols) return;
  int64_t sum = 0;
  for (int32_t r = 0; r < rows; ++r) sum += in[r * cols + i];
  out[i] = __fmul_rn(__ll2float_rn(sum), 0.0009765625f);
}

// The IEEE maximum, which takes the number over a NaN.
struct FloatMax {
  __device__ __forceinline__ float operator()(float a, float b) const { return fmaxf(a, b); }
};
struct FloatSum {
  __device__ __forceinline__ float operator()(float a, float b) const { return __fadd_rn(a, b); }
};

// One 512-thread block per row; thread t owns elements t, t + 512, ... The row maximum and
// the sum of exponentials are each reduced in the fixed two-level order of
// zk::block_reduce, so the result does not depend on scheduling. Every thread reads its
// own elements of `in` before writing them, so `out` may be `in`.
__global__ void row_softmax_kernel(int32_t cols, float* out, const float* in) {
  __shared__ float slots[32];
  __shared__ float total;
  const int32_t base = static_cast<int32_t>(blockIdx.x) * cols;
  const float* x = in + base;
  float* y = out + base;
  const int32_t first = static_cast<int32_t>(threadIdx.x);

  float m = -__int_as_float(0x7f800000);
  for (int32_t t = first; t < cols; t += kSoftmaxThreads) m = fmaxf(m, x[t]);
  const float row_max = zk::block_reduce<kSoftmaxWarps>(m, FloatMax{}, slots, &total);

  float s = 0.0f;
  for (int32_t t = first; t < cols; t += kSoftmaxThreads) {
    const float e = expf(__fsub_rn(x[t], row_max));
    y[t] = e;
    s = __fadd_rn(s, e);
  }
  const float row_sum = zk::block_reduce<kSoftmaxWarps>(s, FloatSum{}, slots, &total);

  const float r = __fdiv_rn(1.0f, row_sum);
  for (int32_t t = first; t < cols; t += kSoftmaxThreads) y[t] = __fmul_rn(r, y[t]);
}

// Row b of n + 2 floats at b * (n + 2) in both buffers: h + 1 log-magnitudes, then h + 1
// phases in; h + 1 interleaved complex bins out, weighted for an inverse real transform
// of length n. Bin 0 and, for even n, bin h are real: the thread of the bin writes their
// zero imaginary parts (elements 1 and n + 1) itself, and for odd n the thread of bin h
// clears element n + 1, which follows the last bin. No element is written twice.
__global__ void polar_to_spectrum_kernel(int32_t cols, float* out, const float* in) {
  const int32_t n = cols;
  const int32_t h = n / 2;
  const int32_t base = static_cast<int32_t>(blockIdx.x) * (n + 2);
  const float* log_magnitude = in + base;
  const float* phase = log_magnitude + (h + 1);
  float* y = out + base;
  const float length = __int2float_rn(n);
  for (int32_t k = static_cast<int32_t>(threadIdx.x); k <= h;
       k += static_cast<int32_t>(blockDim.x)) {
    // fminf takes 100 over a NaN magnitude.
    const float m = fminf(expf(log_magnitude[k]), 100.0f);
    const float w = (0 < k && k < h) ? __fdiv_rn(2.0f, length) : __fdiv_rn(1.0f, length);
    const float p = phase[k];
    y[2 * k] = __fmul_rn(w, __fmul_rn(m, cosf(p)));
    const bool real_bin = k == 0 || 2 * k == n;
    y[2 * k + 1] = real_bin ? 0.0f : __fmul_rn(w, __fmul_rn(m, sinf(p)));
    if (k == h && 2 * k + 1 == n) y[n + 1] = 0.0f;
  }
}

}  // namespace

zk_status_t vorel27(zk_ocu_device*, zk_ocu_operator*,
                    zk_ocu_op_elementwise_broadcast_args_t* args) {
  return ZK_RUN_KERNEL(reverse_rows_kernel, zk::Geometry::rows(args->rows, kReverseThreads),
                       args->cols, zk::operand<float>(args->output, args->output_offset));
}

zk_status_t vorel217(zk_ocu_device*, zk_ocu_operator*,
                     zk_ocu_op_elementwise_broadcast_args_t* args) {
  return ZK_RUN_KERNEL(column_mean_kernel, zk::Geometry::blocks(args->cols, kColumnMeanThreads),
                       zk::operand<float>(args->output, args->output_offset),
                       zk::operand<const float>(args->input, args->input_offset), args->rows,
                       args->cols);
}

zk_status_t vorel268(zk_ocu_device*, zk_ocu_operator*,
                     zk_ocu_op_elementwise_broadcast_args_t* args) {
  return ZK_RUN_KERNEL(column_sum_q10_kernel, zk::Geometry::flat(args->cols), args->rows,
                       args->cols, zk::operand<float>(args->output, args->output_offset),
                       zk::operand<const int16_t>(args->input, args->input_offset));
}

zk_status_t vorel2(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_elementwise_broadcast_args_t* args) {
  return ZK_RUN_KERNEL(row_softmax_kernel, zk::Geometry::rows(args->rows, kSoftmaxThreads),
                       args->cols, zk::operand<float>(args->output, args->output_offset),
                       zk::operand<const float>(args->input, args->input_offset));
}

// A negative row length would make the rows overlap and the zeroed elements fall before
// them; it is rejected before launching, without a log record, like other shapes an
// operator cannot run.
zk_status_t vorel128(zk_ocu_device*, zk_ocu_operator*,
                     zk_ocu_op_elementwise_broadcast_args_t* args) {
  if (args->cols < 0) return ZK_STATUS_BAD_ARGUMENT;
  return ZK_RUN_KERNEL(polar_to_spectrum_kernel, zk::Geometry::rows(args->rows, kSpectrumThreads),
                       args->cols, zk::operand<float>(args->output, args->output_offset),
                       zk::operand<const float>(args->input, args->input_offset));
}
