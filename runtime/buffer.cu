// Device buffers, host transfers, host mirrors and plain host memory.
#include <cstdint>
#include <cstdlib>

#include "runtime/error_log.h"
#include "runtime/unit.cuh"
#include "zk_ocu.h"

namespace {

void* device_pointer(const zk_ocu_buffer* buffer, int64_t offset) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(buffer->address + offset));
}

// A copy must stay inside the buffer (an empty one always may); the sum is formed in
// 64 bits so that it cannot wrap.
bool range_inside(const zk_ocu_buffer* buffer, int32_t offset, int32_t count) {
  if (count == 0) return true;
  return offset >= 0 && count >= 0 &&
         static_cast<int64_t>(offset) + static_cast<int64_t>(count) <= buffer->size;
}

}  // namespace

extern "C" {

zk_ocu_buffer* vorel30(zk_ocu_device*, int32_t size, int32_t flag) {
  if (size < 0) return nullptr;
  zk_ocu_buffer* buffer = static_cast<zk_ocu_buffer*>(zk::host_malloc(sizeof(zk_ocu_buffer)));
  if (buffer == nullptr) return nullptr;
  // An empty buffer owns no device memory: the runtime's answer to a zero-byte request
  // is not something to depend on.
  void* address = nullptr;
  if (size > 0 && cudaMallocAsync(&address, static_cast<size_t>(size), nullptr) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kDeviceAllocation);
    std::free(buffer);
    return nullptr;
  }
  buffer->address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
  buffer->size = size;
  buffer->flag = flag;
  buffer->map_count = 0;
  buffer->host_mirror = nullptr;
  return buffer;
}

void vorel55(zk_ocu_device*, zk_ocu_buffer* buffer) {
  if (buffer == nullptr) return;
  // A failed release stays the runtime's last error, for the next launch check to report.
  if (buffer->address != 0) cudaFreeAsync(device_pointer(buffer, 0), nullptr);
  std::free(buffer->host_mirror);
  std::free(buffer);
}

int32_t vorel31(zk_ocu_device*, zk_ocu_buffer* buffer) { return buffer->size; }

zk_status_t vorel300(zk_ocu_device*, zk_ocu_buffer* buffer, const void* source, int32_t offset,
                     int32_t count) {
  if (!range_inside(buffer, offset, count)) {
    zk::log_error(zk::errors::kCopyToDevice);
    return ZK_STATUS_BAD_ARGUMENT;
  }
  if (cudaMemcpy(device_pointer(buffer, offset), source, static_cast<size_t>(count),
                 cudaMemcpyHostToDevice) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kCopyToDevice);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  return ZK_STATUS_OK;
}

zk_status_t vorel273(zk_ocu_device*, zk_ocu_buffer* buffer, void* destination, int32_t offset,
                     int32_t count) {
  if (!range_inside(buffer, offset, count)) {
    zk::log_error(zk::errors::kCopyFromDevice);
    return ZK_STATUS_BAD_ARGUMENT;
  }
  if (cudaMemcpy(destination, device_pointer(buffer, offset), static_cast<size_t>(count),
                 cudaMemcpyDeviceToHost) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kCopyFromDevice);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  return ZK_STATUS_OK;
}

void* vorel304(zk_ocu_device*, zk_ocu_buffer* buffer, bool read) {
  const bool first_map = buffer->map_count == 0;
  if (first_map) {
    buffer->host_mirror = zk::host_malloc(static_cast<size_t>(buffer->size));
    if (buffer->host_mirror == nullptr) return nullptr;
  }
  ++buffer->map_count;
  if (read &&
      cudaMemcpy(buffer->host_mirror, device_pointer(buffer, 0), static_cast<size_t>(buffer->size),
                 cudaMemcpyDeviceToHost) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kCopyFromDevice);
    // Undo this map, so that a failed map needs no unmap.
    if (--buffer->map_count == 0) {
      std::free(buffer->host_mirror);
      buffer->host_mirror = nullptr;
    }
    return nullptr;
  }
  return buffer->host_mirror;
}

void vorel3(zk_ocu_device*, zk_ocu_buffer* buffer, bool write_back) {
  if (buffer->map_count <= 0) return;
  if (write_back &&
      cudaMemcpy(device_pointer(buffer, 0), buffer->host_mirror, static_cast<size_t>(buffer->size),
                 cudaMemcpyHostToDevice) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kCopyToDevice);
  }
  if (--buffer->map_count == 0) {
    std::free(buffer->host_mirror);
    buffer->host_mirror = nullptr;
  }
}

void* vorel144(zk_ocu_device*, int32_t size) {
  if (size < 0) return nullptr;
  return zk::host_malloc(static_cast<size_t>(size));
}

void vorel284(zk_ocu_device*, void* pointer) { std::free(pointer); }

}  // extern "C"
