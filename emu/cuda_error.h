// Error codes of the emulated CUDA runtime. Values match the real runtime's
// enumeration so that logged texts and tests read the same on both back ends.
#pragma once

enum cudaError_t {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidPitchValue = 12,
  cudaErrorInvalidDevicePointer = 17,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorInsufficientDriver = 35,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorNoKernelImageForDevice = 209,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchOutOfResources = 701,
  cudaErrorLaunchFailure = 719,
  cudaErrorUnknown = 999,
};
typedef enum cudaError_t cudaError;
