// Launch geometry, the launch helper and the launch check shared by every operator.
#pragma once

#include <cstdint>

#include "runtime/compat.cuh"
#include "zk_ocu.h"

namespace zk {

struct LaunchGeometry {
  dim3 grid;
  dim3 block;
  unsigned int shared_bytes = 0;
};

constexpr int32_t kMaxGridExtent = 65535;

// The launch idioms of the operators. Host arithmetic is 32-bit, as the kernels' index
// arithmetic is, and wraps rather than overflows; an empty extent yields an empty grid,
// which the runtime rejects and the launch check reports.
struct Geometry {
  // 256-thread blocks, ceil(n / 256) of them, computed unsigned.
  static LaunchGeometry flat(int32_t count) {
    return {dim3((static_cast<uint32_t>(count) + 255u) >> 8), dim3(256)};
  }
  // `threads`-thread blocks, ceil(n / threads) of them by signed division.
  static LaunchGeometry blocks(int32_t count, int32_t threads) {
    return {dim3(static_cast<unsigned int>(ceil_div(count, threads))),
            dim3(static_cast<unsigned int>(threads))};
  }
  // One block per tile of side x side elements over (width, height), computed with
  // signed division.
  static LaunchGeometry tiles(int32_t width, int32_t height, int32_t side, bool clamp_y = false) {
    int32_t blocks_y = ceil_div(height, side);
    if (clamp_y && blocks_y > kMaxGridExtent) blocks_y = kMaxGridExtent;
    return {
        dim3(static_cast<unsigned int>(ceil_div(width, side)), static_cast<unsigned int>(blocks_y)),
        dim3(static_cast<unsigned int>(side), static_cast<unsigned int>(side))};
  }
  // One block of `threads` threads per row.
  static LaunchGeometry rows(int32_t row_count, int32_t threads) {
    return {dim3(static_cast<unsigned int>(row_count)), dim3(static_cast<unsigned int>(threads))};
  }
  // 256-thread blocks over up to three extents, each clamped to 65535; kernels stride
  // over the remainder.
  static LaunchGeometry clamped(int32_t x, int32_t y = 1, int32_t z = 1) {
    auto clamp = [](int32_t extent) {
      return static_cast<unsigned int>(extent < kMaxGridExtent ? extent : kMaxGridExtent);
    };
    return {dim3(clamp(x), clamp(y), clamp(z)), dim3(256)};
  }

 private:
  static int32_t ceil_div(int32_t extent, int32_t divisor) {
    return static_cast<int32_t>(static_cast<uint32_t>(extent) + static_cast<uint32_t>(divisor) -
                                1u) /
           divisor;
  }
};

// Queues `kernel` on `stream`. Errors surface through the launch check.
template <typename... Params, typename... Args>
inline void launch_kernel(const char* kernel_name, void (*kernel)(Params...),
                          const LaunchGeometry& geometry, cudaStream_t stream, Args... args) {
#if defined(__CUDACC__)
  (void)kernel_name;
  kernel<<<geometry.grid, geometry.block, geometry.shared_bytes, stream>>>(args...);
#else
  zk_emu::launch(kernel_name, geometry.grid, geometry.block, geometry.shared_bytes, stream,
                 [=] { kernel(static_cast<Params>(args)...); });
#endif
}

#define ZK_LAUNCH(kernel, geometry, stream, ...) \
  ::zk::launch_kernel(#kernel, kernel, geometry, stream, ##__VA_ARGS__)

// Reads and clears the runtime's last error: 0 when no error has been recorded on
// this thread since the last read, else logs a kernel failure and returns 7.
zk_status_t launch_status();

// The whole tail of a one-kernel operator: launch on the null stream, then the check.
template <typename... Params, typename... Args>
inline zk_status_t run_kernel(const char* kernel_name, void (*kernel)(Params...),
                              const LaunchGeometry& geometry, Args... args) {
  launch_kernel(kernel_name, kernel, geometry, nullptr, args...);
  return launch_status();
}

#define ZK_RUN_KERNEL(kernel, geometry, ...) \
  ::zk::run_kernel(#kernel, kernel, geometry, ##__VA_ARGS__)

}  // namespace zk
