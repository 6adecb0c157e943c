// GPU enumeration and the device lifecycle.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/device.h"
#include "runtime/error_log.h"
#include "runtime/launch.cuh"
#include "runtime/unit.cuh"
#include "zk_ocu.h"

// Asks hybrid-graphics drivers to run this process's CUDA work on the discrete GPU.
extern "C" {
int NvOptimusEnablementCuda = 1;
}

// Proves at open that this library's device code runs on the selected GPU.
__global__ void compatibility_test_kernel() {}

namespace {

constexpr int32_t kRequiredWarpSize = 32;
constexpr int32_t kRequiredGridExtentX = 65535;

void free_gpu_names(char** names, int32_t count) {
  for (int32_t i = 0; i < count; ++i) std::free(names[i]);
  std::free(names);
}

void copy_properties(const cudaDeviceProp& from, zk_ocu_device_properties* to) {
  to->major = from.major;
  to->minor = from.minor;
  to->total_global_memory = from.totalGlobalMem;
  to->multiprocessor_count = from.multiProcessorCount;
  to->max_threads_per_multiprocessor = from.maxThreadsPerMultiProcessor;
  to->max_threads_per_block = from.maxThreadsPerBlock;
  to->shared_memory_per_block = static_cast<int32_t>(from.sharedMemPerBlock);
  to->shared_memory_per_multiprocessor = static_cast<int32_t>(from.sharedMemPerMultiprocessor);
  for (int i = 0; i < 3; ++i) {
    to->max_threads_dim[i] = from.maxThreadsDim[i];
    to->max_grid_size[i] = from.maxGridSize[i];
  }
}

// Records a version or its error text; neither failure fails the open.
template <typename Query>
void query_version(Query query, int32_t* version, const char** error_text) {
  int value = 0;
  if (query(&value) != cudaSuccess) {
    *error_text = cudaGetErrorString(cudaGetLastError());
    return;
  }
  *version = value;
}

zk_status_t fail_open(zk_ocu_device* device, zk_status_t status) {
  vorel334(device);
  return status;
}

}  // namespace

int32_t zk_ocu_device_multiprocessor_count(const zk_ocu_device* device) {
  return device->properties->multiprocessor_count;
}

extern "C" {

zk_status_t vorel110(char*** list, int32_t* count) {
  *list = nullptr;
  *count = 0;
  int device_count = 0;
  if (cudaGetDeviceCount(&device_count) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kDeviceCommunication);
    return ZK_STATUS_OK;
  }
  char** names =
      static_cast<char**>(zk::host_calloc(static_cast<size_t>(device_count), sizeof(char*)));
  if (names == nullptr) {
    zk::log_error(zk::errors::kHostAllocation);
    return ZK_STATUS_NO_MEMORY;
  }
  for (int32_t i = 0; i < device_count; ++i) {
    cudaDeviceProp properties;
    std::memset(&properties, 0, sizeof properties);
    if (cudaGetDeviceProperties(&properties, i) != cudaSuccess) {
      cudaGetLastError();
      zk::log_error(zk::errors::kDeviceCommunication);
      free_gpu_names(names, i);
      return ZK_STATUS_DEVICE_FAILURE;
    }
    const int length = std::snprintf(nullptr, 0, "gpu:%d - %s", i, properties.name);
    names[i] = static_cast<char*>(zk::host_malloc(static_cast<size_t>(length) + 1));
    if (names[i] == nullptr) {
      zk::log_error(zk::errors::kHostAllocation);
      free_gpu_names(names, i);
      return ZK_STATUS_NO_MEMORY;
    }
    std::snprintf(names[i], static_cast<size_t>(length) + 1, "gpu:%d - %s", i, properties.name);
  }
  *list = names;
  *count = device_count;
  return ZK_STATUS_OK;
}

void vorel9(char** list, int32_t count) {
  if (list == nullptr) return;
  free_gpu_names(list, count > 0 ? count : 0);
}

zk_status_t vorel209(int32_t index, zk_ocu_device** result) {
  zk_ocu_device* device = static_cast<zk_ocu_device*>(zk::host_calloc(1, sizeof(zk_ocu_device)));
  if (device == nullptr) {
    zk::log_error(zk::errors::kHostAllocation);
    return ZK_STATUS_NO_MEMORY;
  }
  int device_count = 0;
  if (cudaGetDeviceCount(&device_count) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kDeviceCommunication);
    return fail_open(device, ZK_STATUS_DEVICE_FAILURE);
  }
  // A negative index is as much out of range as one past the end.
  if (index < 0 || index >= device_count) {
    zk::log_error(zk::errors::kDeviceIndex, index, device_count);
    return fail_open(device, ZK_STATUS_BAD_ARGUMENT);
  }
  int current = 0;
  if (cudaSetDevice(index) != cudaSuccess || cudaGetDevice(&current) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kDeviceCommunication);
    return fail_open(device, ZK_STATUS_DEVICE_FAILURE);
  }
  device->device_id = current;

  ZK_LAUNCH(compatibility_test_kernel, (zk::LaunchGeometry{dim3(1), dim3(1)}), nullptr);
  const cudaError_t launch_error = cudaGetLastError();
  if (launch_error != cudaSuccess) {
    zk::log_error(zk::errors::kDriverIncompatible, cudaGetErrorString(launch_error));
    return fail_open(device, ZK_STATUS_DEVICE_FAILURE);
  }

  zk_ocu_device_properties* properties =
      static_cast<zk_ocu_device_properties*>(zk::host_calloc(1, sizeof(zk_ocu_device_properties)));
  if (properties == nullptr) {
    zk::log_error(zk::errors::kHostAllocation);
    return fail_open(device, ZK_STATUS_NO_MEMORY);
  }
  device->properties = properties;
  cudaDeviceProp runtime_properties;
  std::memset(&runtime_properties, 0, sizeof runtime_properties);
  if (cudaGetDeviceProperties(&runtime_properties, device->device_id) != cudaSuccess) {
    properties->properties_error = cudaGetErrorString(cudaGetLastError());
  }
  copy_properties(runtime_properties, properties);
  if (runtime_properties.warpSize != kRequiredWarpSize ||
      runtime_properties.maxGridSize[0] < kRequiredGridExtentX) {
    zk::log_error(zk::errors::kDeviceIncompatible);
    return fail_open(device, ZK_STATUS_DEVICE_FAILURE);
  }
  query_version(cudaDriverGetVersion, &properties->driver_version,
                &properties->driver_version_error);
  query_version(cudaRuntimeGetVersion, &properties->runtime_version,
                &properties->runtime_version_error);

  cudaStream_t* streams =
      static_cast<cudaStream_t*>(zk::host_calloc(ZK_OCU_STREAM_COUNT, sizeof(cudaStream_t)));
  if (streams == nullptr) {
    zk::log_error(zk::errors::kHostAllocation);
    return fail_open(device, ZK_STATUS_NO_MEMORY);
  }
  for (int32_t i = 0; i < ZK_OCU_STREAM_COUNT; ++i) {
    if (cudaStreamCreate(&streams[i]) != cudaSuccess) {
      cudaGetLastError();
      zk::log_error(zk::errors::kStreamCreation);
      for (int32_t j = 0; j < i; ++j) cudaStreamDestroy(streams[j]);
      std::free(streams);
      return fail_open(device, ZK_STATUS_DEVICE_FAILURE);
    }
  }
  device->streams = reinterpret_cast<void**>(streams);
  *result = device;
  return ZK_STATUS_OK;
}

void vorel334(zk_ocu_device* device) {
  if (device == nullptr) return;
  if (device->streams != nullptr) {
    cudaStream_t* streams = reinterpret_cast<cudaStream_t*>(device->streams);
    for (int32_t i = 0; i < ZK_OCU_STREAM_COUNT; ++i) cudaStreamDestroy(streams[i]);
    std::free(streams);
  }
  std::free(device->properties);
  std::free(device);
}

}  // extern "C"
