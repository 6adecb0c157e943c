// Kernel execution for the host build: runs a grid with CUDA's thread semantics on the CPU.
//
// Every CUDA thread of a block is a fiber; a block runs to completion on one host thread (a
// pooled worker or the launching thread), blocks of a grid run in parallel. Fibers switch only
// inside __syncthreads and the warp-synchronous intrinsics, so everything between two of those
// runs without interleaving within a block. Misuse that would hang or give undefined results on
// the hardware (bad shuffle masks, split barriers, deadlocks) stops the launch with a report.
#pragma once

#include <cstddef>
#include <functional>

#include "emu/cuda_error.h"
#include "emu/device_emu.h"

namespace zk_emu {

// Runs a whole grid synchronously on the calling thread plus worker threads.
// Validates the geometry like the hardware first; returns cudaErrorInvalidConfiguration and runs
// nothing when any grid extent is 0, grid.x > 2^31-1, grid.y or grid.z > 65535, a block extent
// is 0 or above 1024/1024/64, more than 1024 threads per block, or dynamic shared memory above
// 48 KiB (static __shared__ is not measured).
// On a misuse stops the launch, records a report and returns cudaErrorLaunchFailure. An
// exception escaping thread_body also stops the launch and is rethrown here.
cudaError_t launch_kernel(const char* kernel_name, dim3 grid, dim3 block,
                          size_t dynamic_shared_bytes, const std::function<void()>& thread_body);

// The running block's dynamic shared memory (16-byte aligned); null outside a kernel.
void* dynamic_shared_memory();

// Misuse reports since the last reset: count and the last message ("" when none; the pointer
// stays valid until the next report or reset).
int misuse_count();
const char* last_misuse_report();
void reset_misuse_reports();

}  // namespace zk_emu
