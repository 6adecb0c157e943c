// Shared helpers of the black-box tests: back-end switches, the error log, an open device.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "zk_emu.h"
#include "zk_ocu.h"

#if ZK_OCU_TEST_EMULATED
#define ZK_REQUIRE_EMULATOR() (void)0
#else
// The emulator's controls are stand-ins that do nothing on a GPU (cuda_stand_ins.cpp), so
// the same sources build; tests that need them are skipped.
#define ZK_REQUIRE_EMULATOR() GTEST_SKIP() << "needs the emulator's fault injection"
#endif

namespace zk_test {

// Runtime error values used with fault injection (the runtime's own numbering).
constexpr int32_t kErrorInvalidValue = 1;
constexpr int32_t kErrorMemoryAllocation = 2;
constexpr int32_t kErrorInsufficientDriver = 35;
constexpr int32_t kErrorNoKernelImage = 209;

inline std::vector<std::string> error_log() {
  std::vector<std::string> lines;
  for (int i = 0; i < zk_ocu_error_log_count(); ++i) lines.emplace_back(zk_ocu_error_log_text(i));
  return lines;
}

// The line the log holds for a record without format arguments.
inline std::string log_line(uint32_t code, const std::string& message) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "7727e45 %08X: ", code);
  return prefix + message;
}

inline const char* const kCopyToDevice = "Failed to copy memory to device.";
inline const char* const kCopyFromDevice = "Failed to copy memory from device.";
inline const char* const kAllocFailed = "Failed to alloc memory.";
inline const char* const kKernelFailed = "Failed to execute gpu kernel.";
inline const char* const kOutOfMemory = "Failed to allocate, out of memory.";
inline const char* const kNoDeviceCommunication = "Failed to communicate with device.";

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Bit-exact comparison of float results; NaNs compare by payload too.
inline uint32_t float_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline float bits_float(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Distance in units in the last place between two finite floats of any sign.
inline int64_t ulp_distance(float a, float b) {
  auto ordered = [](float value) {
    const int64_t bits = static_cast<int32_t>(float_bits(value));
    return bits < 0 ? INT64_C(-2147483648) - bits : bits;
  };
  const int64_t distance = ordered(a) - ordered(b);
  return distance < 0 ? -distance : distance;
}

constexpr uint8_t kSentinelByte = 0xCD;

// The float an output element holds when nothing wrote it.
inline float sentinel_float() { return bits_float(0x01010101u * kSentinelByte); }

// `call` returns 7 with exactly one kernel-failure record.
template <typename Call>
void expect_kernel_failure(Call&& call, const char* what) {
  zk_ocu_error_log_clear();
  EXPECT_EQ(call(), ZK_STATUS_DEVICE_FAILURE) << what;
  EXPECT_EQ(error_log(), std::vector<std::string>{log_line(0x33C, kKernelFailed)}) << what;
}

// With its launch made to fail, `call` returns 7 with one kernel-failure record, and the
// next call succeeds: the launch check consumed the error. Needs fault injection, so it
// checks nothing on a GPU.
template <typename Call>
void expect_failed_launch_consumed(Call&& call) {
  if (!ZK_OCU_TEST_EMULATED) return;
  zk_emu_inject_fault("cudaLaunchKernel", 0, 1, kErrorInvalidValue);
  expect_kernel_failure(call, "failed launch");
  zk_ocu_error_log_clear();
  EXPECT_EQ(call(), ZK_STATUS_OK) << "the failure was consumed";
  EXPECT_TRUE(error_log().empty());
}

// Every test gets device 0, opened before and closed after it; buffers made through the
// fixture are deleted after the test.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vorel209(0, &device_), ZK_STATUS_OK);
    zk_ocu_error_log_clear();
  }
  void TearDown() override {
    for (zk_ocu_buffer* buffer : buffers_) vorel55(device_, buffer);
    vorel334(device_);
  }

  zk_ocu_buffer* upload(const void* data, int32_t bytes) {
    zk_ocu_buffer* buffer = vorel30(device_, bytes, 0);
    EXPECT_NE(buffer, nullptr);
    if (buffer != nullptr) EXPECT_EQ(vorel300(device_, buffer, data, 0, bytes), ZK_STATUS_OK);
    return buffer;
  }

  // Sentinel bytes after the data of every buffer made by operand() and output(): result()
  // checks them, so that a write past the end shows.
  static constexpr size_t kGuardBytes = 16;

  // A fixture-owned buffer holding `values` after `offset` sentinel bytes, so that an
  // operator that ignores its byte offset reads the wrong data, and before the guard: usable
  // as an input, or as an output with given contents (in place, accumulating) for result().
  template <typename T>
  zk_ocu_buffer* operand(const std::vector<T>& values, int32_t offset = 0) {
    const size_t bytes = values.size() * sizeof(T);
    std::vector<uint8_t> contents(static_cast<size_t>(offset) + bytes + kGuardBytes, kSentinelByte);
    if (bytes != 0) std::memcpy(contents.data() + offset, values.data(), bytes);
    return owned(upload(contents.data(), static_cast<int32_t>(contents.size())));
  }

  // A fixture-owned buffer of sentinel bytes with room for `bytes` at `offset`, for outputs:
  // an element the operator fails to write keeps the sentinel.
  zk_ocu_buffer* output(size_t bytes, int32_t offset = 0) {
    const std::vector<uint8_t> contents(static_cast<size_t>(offset) + bytes + kGuardBytes,
                                        kSentinelByte);
    return owned(upload(contents.data(), static_cast<int32_t>(contents.size())));
  }

  template <typename T>
  std::vector<T> download(zk_ocu_buffer* buffer, int32_t offset, size_t count) {
    std::vector<T> values(count);
    EXPECT_EQ(
        vorel273(device_, buffer, values.data(), offset, static_cast<int32_t>(count * sizeof(T))),
        ZK_STATUS_OK);
    return values;
  }

  // The `count` values at `offset` of a buffer made by operand() or output(), after checking
  // that the bytes before them and the guard after them still hold the sentinel.
  template <typename T>
  std::vector<T> result(zk_ocu_buffer* buffer, int32_t offset, size_t count) {
    const size_t begin = static_cast<size_t>(offset);
    const size_t end = begin + count * sizeof(T);
    const std::vector<uint8_t> bytes = download<uint8_t>(buffer, 0, end + kGuardBytes);
    expect_sentinel(bytes, 0, begin, "written before the output");
    expect_sentinel(bytes, end, bytes.size(), "written past the output");
    std::vector<T> values(count);
    if (count != 0) std::memcpy(values.data(), bytes.data() + begin, end - begin);
    return values;
  }

  // Nothing was written: the `bytes` at `offset` and everything around them, guard included,
  // still hold the sentinel.
  void expect_untouched(zk_ocu_buffer* buffer, int32_t offset, size_t bytes) {
    EXPECT_EQ(result<uint8_t>(buffer, offset, bytes), std::vector<uint8_t>(bytes, kSentinelByte))
        << "written";
  }

  zk_ocu_buffer* owned(zk_ocu_buffer* buffer) {
    if (buffer != nullptr) buffers_.push_back(buffer);
    return buffer;
  }

  zk_ocu_device* device_ = nullptr;
  std::vector<zk_ocu_buffer*> buffers_;

 private:
  // One failure per zone, naming the first changed byte.
  static void expect_sentinel(const std::vector<uint8_t>& bytes, size_t begin, size_t end,
                              const char* what) {
    size_t changed = 0;
    size_t first = end;
    for (size_t i = begin; i < end; ++i) {
      if (bytes[i] != kSentinelByte && changed++ == 0) first = i;
    }
    EXPECT_EQ(changed, 0u) << what << ": byte " << first << " of the buffer, " << changed
                           << " in all";
  }
};

}  // namespace zk_test
