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

const zk_error_record_t& copy_record(cudaMemcpyKind kind) {
  return kind == cudaMemcpyHostToDevice ? zk::errors::kCopyToDevice : zk::errors::kCopyFromDevice;
}

// One synchronous copy between host memory and a buffer, in the direction `kind`; a
// failure is consumed and logged.
bool transfer(const zk_ocu_buffer* buffer, int64_t offset, void* host, size_t count,
              cudaMemcpyKind kind) {
  void* device = device_pointer(buffer, offset);
  const bool to_device = kind == cudaMemcpyHostToDevice;
  if (cudaMemcpy(to_device ? device : host, to_device ? host : device, count, kind) ==
      cudaSuccess) {
    return true;
  }
  cudaGetLastError();
  zk::log_error(copy_record(kind));
  return false;
}

// The copy entry points: range check, then the transfer.
zk_status_t copy_range(const zk_ocu_buffer* buffer, void* host, int32_t offset, int32_t count,
                       cudaMemcpyKind kind) {
  if (!range_inside(buffer, offset, count)) {
    zk::log_error(copy_record(kind));
    return ZK_STATUS_BAD_ARGUMENT;
  }
  return transfer(buffer, offset, host, static_cast<size_t>(count), kind)
             ? ZK_STATUS_OK
             : ZK_STATUS_DEVICE_FAILURE;
}

// Gives back one map; the last one frees the mirror.
void release_map(zk_ocu_buffer* buffer) {
  if (--buffer->map_count == 0) {
    std::free(buffer->host_mirror);
    buffer->host_mirror = nullptr;
  }
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
  return copy_range(buffer, const_cast<void*>(source), offset, count, cudaMemcpyHostToDevice);
}

zk_status_t vorel273(zk_ocu_device*, zk_ocu_buffer* buffer, void* destination, int32_t offset,
                     int32_t count) {
  return copy_range(buffer, destination, offset, count, cudaMemcpyDeviceToHost);
}

void* vorel304(zk_ocu_device*, zk_ocu_buffer* buffer, bool read) {
  if (buffer->map_count == 0) {
    buffer->host_mirror = zk::host_malloc(static_cast<size_t>(buffer->size));
    if (buffer->host_mirror == nullptr) return nullptr;
  }
  ++buffer->map_count;
  if (read && !transfer(buffer, 0, buffer->host_mirror, static_cast<size_t>(buffer->size),
                        cudaMemcpyDeviceToHost)) {
    release_map(buffer);  // a failed map needs no unmap
    return nullptr;
  }
  return buffer->host_mirror;
}

void vorel3(zk_ocu_device*, zk_ocu_buffer* buffer, bool write_back) {
  if (buffer->map_count <= 0) return;
  if (write_back) {
    transfer(buffer, 0, buffer->host_mirror, static_cast<size_t>(buffer->size),
             cudaMemcpyHostToDevice);
  }
  release_map(buffer);
}

void* vorel144(zk_ocu_device*, int32_t size) {
  if (size < 0) return nullptr;
  return zk::host_malloc(static_cast<size_t>(size));
}

void vorel284(zk_ocu_device*, void* pointer) { std::free(pointer); }

}  // extern "C"
