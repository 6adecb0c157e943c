// The one place where unit sources meet the back end: the real CUDA runtime under
// nvcc, the host emulation otherwise. Kernel code itself never branches on it.
#pragma once

#include <cstdlib>

#if defined(__CUDACC__)
#include <cuda_runtime.h>

#define ZK_DYNAMIC_SHARED(type, name)                                      \
  extern __shared__ __align__(16) unsigned char zk_dynamic_shared_bytes[]; \
  type* name = reinterpret_cast<type*>(zk_dynamic_shared_bytes)

namespace zk {
inline void* host_malloc(size_t size) { return std::malloc(size); }
inline void* host_calloc(size_t count, size_t size) { return std::calloc(count, size); }
}  // namespace zk

#else
#include "emu/cuda_emu.h"

namespace zk {
// Routed through the emulator so that tests can make host allocations fail.
inline void* host_malloc(size_t size) { return zk_emu::host_malloc(size); }
inline void* host_calloc(size_t count, size_t size) { return zk_emu::host_calloc(count, size); }
}  // namespace zk

#endif
