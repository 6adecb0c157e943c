// Device accessors for the operators that size their work by the GPU or use its streams.
#pragma once

#include <cstdint>

#include "runtime/compat.cuh"
#include "zk_ocu.h"

int32_t zk_ocu_device_multiprocessor_count(const zk_ocu_device* device);

namespace zk {

inline cudaStream_t device_stream(const zk_ocu_device* device, int32_t index) {
  return reinterpret_cast<cudaStream_t*>(device->streams)[index];
}

}  // namespace zk
