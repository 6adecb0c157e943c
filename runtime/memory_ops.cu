// Raw byte operations inside device buffers: a device-to-device copy and a zero fill,
// both queued through the runtime, and the in-place row shift kernel.
#include <cstddef>
#include <cstdint>

#include "runtime/operator.cuh"

namespace {

// Block r shifts row r toward its start by `distance` bytes; the block is one warp of
// min(distance, 32) lanes. Each step reads `width` bytes at least `distance` above the
// `width` bytes it writes, so a step never overwrites what it reads; across steps it
// would, because lanes of a warp need not advance together. Every lane therefore runs
// every step, idle or not, and the warp barrier closes each one.
__global__ void row_shift_kernel(uint8_t* data, int32_t row_bytes, int32_t distance) {
  uint8_t* row = data + static_cast<int64_t>(blockIdx.x) * row_bytes;
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  const int32_t width = static_cast<int32_t>(blockDim.x);
  const unsigned lanes = 0xffffffffu >> (32 - width);
  const int32_t moved = row_bytes > distance ? row_bytes - distance : 0;
  const int32_t steps = moved > 0 ? (moved - 1) / width + 1 : 0;
  for (int32_t step = 0; step < steps; ++step) {
    const int32_t base = step * width;
    if (lane < moved - base) row[base + lane] = row[base + lane + distance];
    __syncwarp(lanes);
  }
}

}  // namespace

extern "C" {

zk_status_t vorel292(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_copy_args_t* args) {
  if (cudaMemcpyAsync(zk::operand<void>(args->output, args->output_offset),
                      zk::operand<const void>(args->input, args->input_offset),
                      static_cast<size_t>(args->size), cudaMemcpyDeviceToDevice,
                      nullptr) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kCopyToDevice);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  return ZK_STATUS_OK;
}

zk_status_t vorel323(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_zero_args_t* args) {
  if (cudaMemsetAsync(zk::operand<void>(args->output, args->output_offset), 0,
                      static_cast<size_t>(args->size), nullptr) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kKernelLaunch);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  return ZK_STATUS_OK;
}

}  // extern "C"

zk_status_t vorel74(zk_ocu_device*, zk_ocu_operator*, zk_ocu_op_memmove_args_t* args) {
  const int32_t threads = args->distance < 32 ? args->distance : 32;
  return ZK_RUN_KERNEL(row_shift_kernel, zk::Geometry::rows(args->rows, threads),
                       zk::operand<uint8_t>(args->data), args->row_bytes, args->distance);
}
