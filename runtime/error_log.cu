#include <cstdio>
#include <cstring>
#include <mutex>

#include "runtime/error_log.h"
#include "runtime/launch.cuh"
#include "runtime/unit.cuh"
#include "zk_ocu.h"

const char* const ZK_BUILD_TAG = "7727e45";
const int32_t ZK_ERROR_LOG_SLOTS = 1;

namespace {

zk_error_log_slot_t error_log[1];

// The engine may call entry points from several threads; a push is a read-modify-write
// of the slot, so pushes and reads of the log are serialised. Failure paths only.
std::mutex& error_log_mutex() {
  static std::mutex mutex;
  return mutex;
}

zk_error_log_slot_t* claimed_slot() {
  for (int32_t i = 0; i < ZK_ERROR_LOG_SLOTS; ++i) {
    if (error_log[i].marker == ZK_ERROR_LOG_SLOT_CLAIMED) return &error_log[i];
  }
  return nullptr;
}

}  // namespace

zk_error_log_slot_t* zk_error_log_slots() { return error_log; }

void zk_error_log_push_v(const char* context, int32_t context_value,
                         const zk_error_record_t* record, va_list arguments) {
  std::lock_guard<std::mutex> lock(error_log_mutex());
  zk_error_log_slot_t* slot = claimed_slot();
  for (int32_t i = 0; slot == nullptr && i < ZK_ERROR_LOG_SLOTS; ++i) {
    if (error_log[i].marker == 0) {
      slot = &error_log[i];
      slot->marker = ZK_ERROR_LOG_SLOT_CLAIMED;
    }
  }
  if (slot == nullptr) return;
  if (slot->reset_pending != 0) {
    slot->count = 0;
    std::memset(slot->entries, 0, sizeof slot->entries);
    slot->reset_pending = 0;
  }
  if (slot->count >= ZK_ERROR_LOG_MAX_ENTRIES) return;
  zk_error_log_entry_t& entry = slot->entries[slot->count];
  entry.context_value = context_value;
  entry.context = context;
  if (record->message != nullptr) {
    std::vsnprintf(slot->scratch, sizeof slot->scratch, record->message, arguments);
    std::snprintf(entry.text, sizeof entry.text, "%s %08X: %s", ZK_BUILD_TAG, record->code,
                  slot->scratch);
    std::memset(slot->scratch, 0, sizeof slot->scratch);
  } else {
    std::snprintf(entry.text, sizeof entry.text, "%s %08X: Zenkara Error.", ZK_BUILD_TAG,
                  record->code);
  }
  ++slot->count;
}

void zk_error_log_push(const char* context, int32_t context_value, const zk_error_record_t* record,
                       ...) {
  va_list arguments;
  va_start(arguments, record);
  zk_error_log_push_v(context, context_value, record, arguments);
  va_end(arguments);
}

extern "C" {

int zk_ocu_error_log_count(void) {
  std::lock_guard<std::mutex> lock(error_log_mutex());
  const zk_error_log_slot_t* slot = claimed_slot();
  return slot == nullptr || slot->reset_pending != 0 ? 0 : slot->count;
}

const char* zk_ocu_error_log_text(int index) {
  std::lock_guard<std::mutex> lock(error_log_mutex());
  const zk_error_log_slot_t* slot = claimed_slot();
  if (slot == nullptr || slot->reset_pending != 0 || index < 0 || index >= slot->count) {
    return nullptr;
  }
  return slot->entries[index].text;
}

void zk_ocu_error_log_clear(void) {
  std::lock_guard<std::mutex> lock(error_log_mutex());
  if (zk_error_log_slot_t* slot = claimed_slot()) slot->reset_pending = 1;
}

}  // extern "C"

namespace zk {

zk_status_t launch_status() {
  if (cudaGetLastError() != cudaSuccess) {
    log_error(errors::kKernelLaunch);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  return ZK_STATUS_OK;
}

}  // namespace zk
