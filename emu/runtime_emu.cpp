// Host implementation of the runtime calls in cuda_emu.h, plus the emulator controls.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "emu/cuda_emu.h"
#include "emu/zk_emu.h"

namespace zk_emu {
namespace {

constexpr size_t kAllocationAlignment = 256;
constexpr uint64_t kDefaultGlobalMemory = 16ull << 30;

zk_emu_device_config default_config() {
  zk_emu_device_config config{};
  config.device_count = 1;
  config.warp_size = 32;
  config.max_grid_size[0] = 2147483647;
  config.max_grid_size[1] = 65535;
  config.max_grid_size[2] = 65535;
  config.multiprocessor_count = 40;
  config.shared_memory_per_block = 48 * 1024;
  config.total_global_memory = kDefaultGlobalMemory;
  return config;
}

struct Fault {
  int32_t skip;
  int32_t count;
  cudaError_t error;
};

// Everything the runtime keeps across calls. Kernels run on worker threads, but the
// runtime calls themselves come from the engine's threads, so one mutex suffices.
struct State {
  std::mutex mutex;
  zk_emu_device_config config = default_config();
  std::map<std::string, Fault> faults;
  std::map<std::string, int64_t> call_counts;
  std::map<uintptr_t, size_t> allocations;  // device address -> size
  std::set<cudaStream_t> streams;
  uint64_t allocated_bytes = 0;
};

State& state() {
  static State instance;
  return instance;
}

thread_local cudaError_t last_error = cudaSuccess;
thread_local int current_device = 0;

// Counts the call and reports the injected failure due for it, if any.
cudaError_t take_fault(const char* call) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.call_counts[call];
  auto it = s.faults.find(call);
  if (it == s.faults.end()) return cudaSuccess;
  Fault& fault = it->second;
  if (fault.skip > 0) {
    --fault.skip;
    return cudaSuccess;
  }
  cudaError_t error = fault.error;
  if (--fault.count <= 0) s.faults.erase(it);
  return error;
}

cudaError_t record(cudaError_t error) {
  if (error != cudaSuccess) last_error = error;
  return error;
}

// Device count check shared by every call that needs a working driver and GPU.
cudaError_t device_status() {
  const int32_t count = state().config.device_count;
  if (count < 0) return cudaErrorInsufficientDriver;
  if (count == 0) return cudaErrorNoDevice;
  return cudaSuccess;
}

bool known_stream(cudaStream_t stream) {
  if (stream == nullptr) return true;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.streams.count(stream) != 0;
}

// True when [pointer, pointer + count) lies inside one device allocation.
bool device_range(const void* pointer, size_t count) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  const uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
  auto it = s.allocations.upper_bound(address);
  if (it == s.allocations.begin()) return false;
  --it;
  return address - it->first <= it->second && count <= it->second - (address - it->first);
}

bool is_device_pointer(const void* pointer) { return device_range(pointer, 0); }

cudaError_t check_copy(void* destination, const void* source, size_t count, cudaMemcpyKind kind) {
  if (count == 0) return cudaSuccess;
  if (destination == nullptr || source == nullptr) return cudaErrorInvalidValue;
  const bool destination_on_device = kind == cudaMemcpyHostToDevice ||
                                     kind == cudaMemcpyDeviceToDevice ||
                                     (kind == cudaMemcpyDefault && is_device_pointer(destination));
  const bool source_on_device = kind == cudaMemcpyDeviceToHost ||
                                kind == cudaMemcpyDeviceToDevice ||
                                (kind == cudaMemcpyDefault && is_device_pointer(source));
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) {
    return cudaErrorInvalidMemcpyDirection;
  }
  if (destination_on_device && !device_range(destination, count)) return cudaErrorInvalidValue;
  if (source_on_device && !device_range(source, count)) return cudaErrorInvalidValue;
  return cudaSuccess;
}

cudaError_t allocate(const char* call, void** pointer, size_t size) {
  if (pointer == nullptr) return record(cudaErrorInvalidValue);
  if (cudaError_t error = take_fault(call)) return record(error);
  if (cudaError_t error = device_status()) return record(error);
  *pointer = nullptr;
  if (size == 0) return cudaSuccess;
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (size > s.config.total_global_memory - s.allocated_bytes) {
      return record(cudaErrorMemoryAllocation);
    }
  }
  const size_t rounded =
      (size + kAllocationAlignment - 1) / kAllocationAlignment * kAllocationAlignment;
  void* memory = std::aligned_alloc(kAllocationAlignment, rounded);
  if (memory == nullptr) return record(cudaErrorMemoryAllocation);
  std::lock_guard<std::mutex> lock(s.mutex);
  s.allocations[reinterpret_cast<uintptr_t>(memory)] = size;
  s.allocated_bytes += size;
  *pointer = memory;
  return cudaSuccess;
}

// An injected failure of a release stands for an error the runtime reports from earlier
// work: the memory is still released, so tests of that path leak nothing.
cudaError_t release(const char* call, void* pointer) {
  const cudaError_t injected = take_fault(call);
  if (pointer == nullptr) return record(injected);
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.allocations.find(reinterpret_cast<uintptr_t>(pointer));
    if (it == s.allocations.end()) return record(cudaErrorInvalidValue);
    s.allocated_bytes -= it->second;
    s.allocations.erase(it);
  }
  std::free(pointer);
  return record(injected);
}

cudaError_t copy(const char* call, void* destination, const void* source, size_t count,
                 cudaMemcpyKind kind, cudaStream_t stream) {
  if (cudaError_t error = take_fault(call)) return record(error);
  if (!known_stream(stream)) return record(cudaErrorInvalidResourceHandle);
  if (cudaError_t error = check_copy(destination, source, count, kind)) return record(error);
  if (count != 0) std::memmove(destination, source, count);
  return cudaSuccess;
}

cudaError_t fill(const char* call, void* destination, size_t pitch, int value, size_t width,
                 size_t height, cudaStream_t stream) {
  if (cudaError_t error = take_fault(call)) return record(error);
  if (!known_stream(stream)) return record(cudaErrorInvalidResourceHandle);
  if (width == 0 || height == 0) return cudaSuccess;
  if (width > pitch) return record(cudaErrorInvalidValue);
  if (!device_range(destination, pitch * (height - 1) + width)) {
    return record(cudaErrorInvalidValue);
  }
  for (size_t row = 0; row < height; ++row) {
    std::memset(static_cast<unsigned char*>(destination) + row * pitch, value, width);
  }
  return cudaSuccess;
}

}  // namespace

void launch(const char* kernel_name, dim3 grid, dim3 block, size_t dynamic_shared_bytes,
            cudaStream_t stream, const std::function<void()>& thread_body) {
  if (cudaError_t error = take_fault("cudaLaunchKernel")) {
    record(error);
    return;
  }
  if (cudaError_t error = device_status()) {
    record(error);
    return;
  }
  if (!known_stream(stream)) {
    record(cudaErrorInvalidResourceHandle);
    return;
  }
  record(launch_kernel(kernel_name, grid, block, dynamic_shared_bytes, thread_body));
}

void* host_malloc(size_t size) {
  if (take_fault("malloc") != cudaSuccess) return nullptr;
  return std::malloc(size);
}

void* host_calloc(size_t count, size_t size) {
  if (take_fault("calloc") != cudaSuccess) return nullptr;
  return std::calloc(count, size);
}

}  // namespace zk_emu

using namespace zk_emu;

cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return record(cudaErrorInvalidValue);
  *count = 0;
  if (cudaError_t error = take_fault("cudaGetDeviceCount")) return record(error);
  if (cudaError_t error = device_status()) return record(error);
  *count = state().config.device_count;
  return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device) {
  if (properties == nullptr) return record(cudaErrorInvalidValue);
  if (cudaError_t error = take_fault("cudaGetDeviceProperties")) return record(error);
  if (cudaError_t error = device_status()) return record(error);
  const zk_emu_device_config config = state().config;
  if (device < 0 || device >= config.device_count) return record(cudaErrorInvalidDevice);
  *properties = cudaDeviceProp{};
  std::snprintf(properties->name, sizeof properties->name, "Emulated GPU %d", device);
  properties->totalGlobalMem = config.total_global_memory;
  properties->sharedMemPerBlock = static_cast<size_t>(config.shared_memory_per_block);
  properties->warpSize = config.warp_size;
  properties->maxThreadsPerBlock = 1024;
  properties->maxThreadsDim[0] = 1024;
  properties->maxThreadsDim[1] = 1024;
  properties->maxThreadsDim[2] = 64;
  std::copy(config.max_grid_size, config.max_grid_size + 3, properties->maxGridSize);
  properties->major = 7;
  properties->minor = 5;
  properties->multiProcessorCount = config.multiprocessor_count;
  properties->maxThreadsPerMultiProcessor = 1024;
  properties->sharedMemPerMultiprocessor = 64 * 1024;
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  if (cudaError_t error = take_fault("cudaSetDevice")) return record(error);
  if (cudaError_t error = device_status()) return record(error);
  if (device < 0 || device >= state().config.device_count) return record(cudaErrorInvalidDevice);
  current_device = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return record(cudaErrorInvalidValue);
  if (cudaError_t error = take_fault("cudaGetDevice")) return record(error);
  if (cudaError_t error = device_status()) return record(error);
  *device = current_device;
  return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* version) {
  if (version == nullptr) return record(cudaErrorInvalidValue);
  if (cudaError_t error = take_fault("cudaDriverGetVersion")) return record(error);
  *version = state().config.device_count < 0 ? 0 : 13000;
  return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* version) {
  if (version == nullptr) return record(cudaErrorInvalidValue);
  if (cudaError_t error = take_fault("cudaRuntimeGetVersion")) return record(error);
  *version = 13000;
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() { return record(take_fault("cudaDeviceSynchronize")); }

cudaError_t cudaGetLastError() {
  const cudaError_t error = last_error;
  last_error = cudaSuccess;
  return error;
}

cudaError_t cudaPeekAtLastError() { return last_error; }

namespace {
struct ErrorText {
  cudaError_t error;
  const char* name;
  const char* text;
};
constexpr ErrorText kErrorTexts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidPitchValue, "cudaErrorInvalidPitchValue", "invalid pitch argument"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorNoKernelImageForDevice, "cudaErrorNoKernelImageForDevice",
     "no kernel image is available for execution on the device"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
     "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};

const ErrorText* find_error_text(cudaError_t error) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.error == error) return &entry;
  }
  return nullptr;
}
}  // namespace

const char* cudaGetErrorString(cudaError_t error) {
  const ErrorText* entry = find_error_text(error);
  return entry != nullptr ? entry->text : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  const ErrorText* entry = find_error_text(error);
  return entry != nullptr ? entry->name : "cudaErrorUnknown";
}

cudaError_t cudaStreamCreate(cudaStream_t* stream) {
  if (stream == nullptr) return record(cudaErrorInvalidValue);
  if (cudaError_t error = take_fault("cudaStreamCreate")) return record(error);
  if (cudaError_t error = device_status()) return record(error);
  // A stream only needs an identity: every queue runs at once.
  cudaStream_t created = reinterpret_cast<cudaStream_t>(std::malloc(1));
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.streams.insert(created);
  *stream = created;
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  if (cudaError_t error = take_fault("cudaStreamDestroy")) return record(error);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (stream == nullptr || s.streams.erase(stream) == 0) {
    return record(cudaErrorInvalidResourceHandle);
  }
  std::free(stream);
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  if (cudaError_t error = take_fault("cudaStreamSynchronize")) return record(error);
  return known_stream(stream) ? cudaSuccess : record(cudaErrorInvalidResourceHandle);
}

cudaError_t cudaMalloc(void** pointer, size_t size) {
  return allocate("cudaMalloc", pointer, size);
}

cudaError_t cudaFree(void* pointer) { return release("cudaFree", pointer); }

cudaError_t cudaMallocAsync(void** pointer, size_t size, cudaStream_t stream) {
  if (!known_stream(stream)) return record(cudaErrorInvalidResourceHandle);
  return allocate("cudaMallocAsync", pointer, size);
}

cudaError_t cudaFreeAsync(void* pointer, cudaStream_t stream) {
  if (!known_stream(stream)) return record(cudaErrorInvalidResourceHandle);
  return release("cudaFreeAsync", pointer);
}

cudaError_t cudaMemcpy(void* destination, const void* source, size_t count, cudaMemcpyKind kind) {
  return copy("cudaMemcpy", destination, source, count, kind, nullptr);
}

cudaError_t cudaMemcpyAsync(void* destination, const void* source, size_t count,
                            cudaMemcpyKind kind, cudaStream_t stream) {
  return copy("cudaMemcpyAsync", destination, source, count, kind, stream);
}

cudaError_t cudaMemcpy2DAsync(void* destination, size_t destination_pitch, const void* source,
                              size_t source_pitch, size_t width, size_t height, cudaMemcpyKind kind,
                              cudaStream_t stream) {
  if (cudaError_t error = take_fault("cudaMemcpy2DAsync")) return record(error);
  if (!known_stream(stream)) return record(cudaErrorInvalidResourceHandle);
  if (width == 0 || height == 0) return cudaSuccess;
  if (width > destination_pitch || width > source_pitch) {
    return record(cudaErrorInvalidPitchValue);
  }
  for (size_t row = 0; row < height; ++row) {
    unsigned char* to = static_cast<unsigned char*>(destination) + row * destination_pitch;
    const unsigned char* from = static_cast<const unsigned char*>(source) + row * source_pitch;
    if (cudaError_t error = check_copy(to, from, width, kind)) return record(error);
  }
  for (size_t row = 0; row < height; ++row) {
    std::memmove(static_cast<unsigned char*>(destination) + row * destination_pitch,
                 static_cast<const unsigned char*>(source) + row * source_pitch, width);
  }
  return cudaSuccess;
}

cudaError_t cudaMemset(void* destination, int value, size_t count) {
  return fill("cudaMemset", destination, count, value, count, 1, nullptr);
}

cudaError_t cudaMemsetAsync(void* destination, int value, size_t count, cudaStream_t stream) {
  return fill("cudaMemsetAsync", destination, count, value, count, 1, stream);
}

cudaError_t cudaMemset2DAsync(void* destination, size_t pitch, int value, size_t width,
                              size_t height, cudaStream_t stream) {
  return fill("cudaMemset2DAsync", destination, pitch, value, width, height, stream);
}

extern "C" {

void zk_emu_reset(void) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.config = default_config();
    s.faults.clear();
    s.call_counts.clear();
  }
  last_error = cudaSuccess;
  reset_misuse_reports();
}

void zk_emu_get_device_config(zk_emu_device_config* config) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  *config = s.config;
}

void zk_emu_set_device_config(const zk_emu_device_config* config) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.config = *config;
}

void zk_emu_inject_fault(const char* call, int32_t skip, int32_t count, int32_t error) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (count <= 0) {
    s.faults.erase(call);
    return;
  }
  // A fault always fails its call; 0 (as passed for host allocations) means out of memory.
  const cudaError_t failure =
      error == cudaSuccess ? cudaErrorMemoryAllocation : static_cast<cudaError_t>(error);
  s.faults[call] = Fault{std::max(skip, 0), count, failure};
}

int64_t zk_emu_call_count(const char* call) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.call_counts.find(call);
  return it == s.call_counts.end() ? 0 : it->second;
}

int32_t zk_emu_misuse_count(void) { return misuse_count(); }

const char* zk_emu_last_misuse_report(void) { return last_misuse_report(); }

}  // extern "C"
