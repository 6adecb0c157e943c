// The library's error log: the first eight failures since load (or since the last
// clear), each a line "<build tag> <code>: <message>".
#pragma once

#include <cstdarg>
#include <cstdint>

struct zk_error_record_t {
  uint32_t code;
  const char* message;  // printf-style format; a record without one logs a fallback text
};

constexpr int32_t ZK_ERROR_LOG_SLOT_CLAIMED = 666;
constexpr int32_t ZK_ERROR_LOG_MAX_ENTRIES = 8;
constexpr int ZK_ERROR_LOG_TEXT_CAPACITY = 512;
constexpr int ZK_ERROR_LOG_SCRATCH_CAPACITY = 492;
extern const char* const ZK_BUILD_TAG;
extern const int32_t ZK_ERROR_LOG_SLOTS;

struct zk_error_log_entry_t {
  const char* context;
  int32_t context_value;
  char text[ZK_ERROR_LOG_TEXT_CAPACITY];
};

struct zk_error_log_slot_t {
  int32_t marker;
  uint8_t reset_pending;
  int32_t count;
  zk_error_log_entry_t entries[ZK_ERROR_LOG_MAX_ENTRIES];
  char scratch[ZK_ERROR_LOG_SCRATCH_CAPACITY];
};

// The log's storage, exposed for white-box tests of the push.
zk_error_log_slot_t* zk_error_log_slots();

void zk_error_log_push(const char* context, int32_t context_value, const zk_error_record_t* record,
                       ...);
void zk_error_log_push_v(const char* context, int32_t context_value,
                         const zk_error_record_t* record, va_list arguments);

namespace zk {

// The records of the library's failure sites.
namespace errors {
constexpr zk_error_record_t kHostAllocation{0xC8, "Failed to allocate, out of memory."};
constexpr zk_error_record_t kScratchAllocation{0x324, "Failed to allocate, out of memory."};
constexpr zk_error_record_t kDeviceCommunication{0x334, "Failed to communicate with device."};
constexpr zk_error_record_t kDeviceIndex{
    0x335, "GPU device index `%d` is out of range. Found `%d` available GPU devices."};
constexpr zk_error_record_t kDriverIncompatible{
    0x336,
    "GPU device drivers are incompatible (device error: %s). Refer to docs to find the "
    "appropriate version for updating."};
constexpr zk_error_record_t kDeviceIncompatible{
    0x337, "Selected GPU device is incompatible with the library."};
constexpr zk_error_record_t kDeviceAllocation{0x339, "Failed to alloc memory."};
constexpr zk_error_record_t kCopyToDevice{0x33A, "Failed to copy memory to device."};
constexpr zk_error_record_t kCopyFromDevice{0x33B, "Failed to copy memory from device."};
constexpr zk_error_record_t kKernelLaunch{0x33C, "Failed to execute gpu kernel."};
constexpr zk_error_record_t kStreamCreation{0x33D, "Failed to create gpu stream."};
}  // namespace errors

// Pushes `record` with its format arguments; every site of the library logs this way.
template <typename... Args>
inline void log_error(const zk_error_record_t& record, Args... arguments) {
  zk_error_log_push("", 0, &record, arguments...);
}

}  // namespace zk
