// What an operator unit needs: the record types, operand addressing, launch geometry,
// the launch helper and the launch check.
#pragma once

#include <cstdint>

#include "runtime/error_log.h"
#include "runtime/launch.cuh"
#include "runtime/unit.cuh"
#include "zk_ocu.h"

namespace zk {

// The device address of an operand: the buffer's first member plus a byte offset.
template <typename T>
inline T* operand(const zk_ocu_buffer* buffer, int32_t byte_offset = 0) {
  return reinterpret_cast<T*>(
      static_cast<uintptr_t>(buffer->address + static_cast<int64_t>(byte_offset)));
}

}  // namespace zk
