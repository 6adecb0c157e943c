// The slice of the CUDA runtime API that the library uses, implemented on the host.
// Same names and meanings as the real runtime; work runs at once, in call order,
// which is a valid schedule for the legacy null stream and blocking streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "emu/cuda_error.h"
#include "emu/device_emu.h"
#include "emu/kernel_exec.h"

typedef struct zk_emu_stream* cudaStream_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

// The fields of the runtime's properties record that the library reads.
struct cudaDeviceProp {
  char name[256];
  size_t totalGlobalMem;
  size_t sharedMemPerBlock;
  int warpSize;
  int maxThreadsPerBlock;
  int maxThreadsDim[3];
  int maxGridSize[3];
  int major;
  int minor;
  int multiProcessorCount;
  int maxThreadsPerMultiProcessor;
  size_t sharedMemPerMultiprocessor;
};

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaDriverGetVersion(int* version);
cudaError_t cudaRuntimeGetVersion(int* version);
cudaError_t cudaDeviceSynchronize();

cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);

cudaError_t cudaMalloc(void** pointer, size_t size);
cudaError_t cudaFree(void* pointer);
cudaError_t cudaMallocAsync(void** pointer, size_t size, cudaStream_t stream);
cudaError_t cudaFreeAsync(void* pointer, cudaStream_t stream);

cudaError_t cudaMemcpy(void* destination, const void* source, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* destination, const void* source, size_t count,
                            cudaMemcpyKind kind, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy2DAsync(void* destination, size_t destination_pitch, const void* source,
                              size_t source_pitch, size_t width, size_t height, cudaMemcpyKind kind,
                              cudaStream_t stream = nullptr);
cudaError_t cudaMemset(void* destination, int value, size_t count);
cudaError_t cudaMemsetAsync(void* destination, int value, size_t count,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemset2DAsync(void* destination, size_t pitch, int value, size_t width,
                              size_t height, cudaStream_t stream = nullptr);

namespace zk_emu {

// Validates the stream and the geometry, runs the grid, and records a failure as the
// calling thread's last error, as a real launch does.
void launch(const char* kernel_name, dim3 grid, dim3 block, size_t dynamic_shared_bytes,
            cudaStream_t stream, const std::function<void()>& thread_body);

// The library's host allocations, routed here so that tests can make them fail.
void* host_malloc(size_t size);
void* host_calloc(size_t count, size_t size);

}  // namespace zk_emu
