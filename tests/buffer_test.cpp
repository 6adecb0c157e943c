// Device buffers, host transfers and host mirrors.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using zk_test::error_log;
using zk_test::log_line;

class BufferTest : public zk_test::DeviceTest {
 protected:
  // A buffer of `size` bytes holding 0, 1, 2, ... (mod 256).
  zk_ocu_buffer* counting_buffer(int32_t size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return upload(bytes.data(), size);
  }
};

TEST_F(BufferTest, CreateStoresSizeAndFlag) {
  zk_ocu_buffer* buffer = vorel30(device_, 100, -7);
  ASSERT_NE(buffer, nullptr);
  EXPECT_NE(buffer->address, 0u);
  EXPECT_EQ(vorel31(device_, buffer), 100);
  EXPECT_EQ(buffer->flag, -7);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_EQ(buffer->host_mirror, nullptr);
  vorel55(device_, buffer);
  vorel55(device_, nullptr);
  EXPECT_TRUE(error_log().empty());
}

TEST_F(BufferTest, EmptyBufferOwnsNoDeviceMemory) {
  zk_ocu_buffer* buffer = vorel30(device_, 0, 3);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(vorel31(device_, buffer), 0);
  EXPECT_EQ(vorel273(device_, buffer, nullptr, 0, 0), ZK_STATUS_OK);
  vorel55(device_, buffer);
  EXPECT_EQ(zk_emu_call_count("cudaMallocAsync"), 0);
  EXPECT_EQ(zk_emu_call_count("cudaFreeAsync"), 0);
  EXPECT_TRUE(error_log().empty());
}

TEST_F(BufferTest, NegativeSizeAllocatesNothing) {
  EXPECT_EQ(vorel30(device_, -1, 0), nullptr);
  EXPECT_EQ(zk_emu_call_count("cudaMallocAsync"), 0);
  EXPECT_EQ(zk_emu_call_count("malloc"), 0);
  EXPECT_TRUE(error_log().empty());
}

TEST_F(BufferTest, CreateFailures) {
  ZK_REQUIRE_EMULATOR();
  zk_emu_inject_fault("malloc", 0, 1, 0);
  EXPECT_EQ(vorel30(device_, 16, 0), nullptr);
  EXPECT_TRUE(error_log().empty());
  EXPECT_EQ(zk_emu_call_count("cudaMallocAsync"), 0);

  zk_emu_inject_fault("cudaMallocAsync", 0, 1, zk_test::kErrorMemoryAllocation);
  EXPECT_EQ(vorel30(device_, 16, 0), nullptr);
  EXPECT_EQ(error_log(), std::vector<std::string>{log_line(0x339, zk_test::kAllocFailed)});
}

TEST_F(BufferTest, CopiesHonourOffsets) {
  zk_ocu_buffer* buffer = counting_buffer(64);
  const uint8_t patch[4] = {0xA0, 0xA1, 0xA2, 0xA3};
  ASSERT_EQ(vorel300(device_, buffer, patch, 10, 4), ZK_STATUS_OK);
  std::vector<uint8_t> expected(64);
  std::iota(expected.begin(), expected.end(), uint8_t{0});
  std::memcpy(&expected[10], patch, 4);
  EXPECT_EQ(download<uint8_t>(buffer, 0, 64), expected);
  EXPECT_EQ(download<uint8_t>(buffer, 9, 6),
            std::vector<uint8_t>(expected.begin() + 9, expected.begin() + 15));
  vorel55(device_, buffer);
}

TEST_F(BufferTest, EmptyCopiesSucceedAndChangeNothing) {
  zk_ocu_buffer* buffer = counting_buffer(8);
  uint8_t host[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(vorel273(device_, buffer, host, 8, 0), ZK_STATUS_OK);
  EXPECT_EQ(vorel300(device_, buffer, host, 0, 0), ZK_STATUS_OK);
  EXPECT_EQ(host[0], 0xEE);
  EXPECT_EQ(download<uint8_t>(buffer, 0, 2), (std::vector<uint8_t>{0, 1}));
  EXPECT_TRUE(error_log().empty());
  vorel55(device_, buffer);
}

TEST_F(BufferTest, CopiesOutsideTheBufferAreRejected) {
  zk_ocu_buffer* buffer = counting_buffer(16);
  std::vector<uint8_t> host(64, 0xEE);
  const struct {
    int32_t offset;
    int32_t count;
  } cases[] = {{-1, 4}, {0, -1}, {13, 4}, {0, 17}, {INT_MAX, INT_MAX}, {INT_MIN, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + " + " + std::to_string(c.count));
    zk_ocu_error_log_clear();
    EXPECT_EQ(vorel300(device_, buffer, host.data(), c.offset, c.count), ZK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(vorel273(device_, buffer, host.data(), c.offset, c.count), ZK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(error_log(), (std::vector<std::string>{log_line(0x33A, zk_test::kCopyToDevice),
                                                     log_line(0x33B, zk_test::kCopyFromDevice)}));
  }
  EXPECT_EQ(host, std::vector<uint8_t>(64, 0xEE));
  EXPECT_EQ(download<uint8_t>(buffer, 12, 4), (std::vector<uint8_t>{12, 13, 14, 15}));
  vorel55(device_, buffer);
}

TEST_F(BufferTest, CopyFailuresAreLogged) {
  ZK_REQUIRE_EMULATOR();
  zk_ocu_buffer* buffer = counting_buffer(16);
  uint8_t host[16] = {};
  zk_emu_inject_fault("cudaMemcpy", 0, 2, zk_test::kErrorInvalidValue);
  EXPECT_EQ(vorel300(device_, buffer, host, 0, 16), ZK_STATUS_DEVICE_FAILURE);
  EXPECT_EQ(vorel273(device_, buffer, host, 0, 16), ZK_STATUS_DEVICE_FAILURE);
  EXPECT_EQ(error_log(), (std::vector<std::string>{log_line(0x33A, zk_test::kCopyToDevice),
                                                   log_line(0x33B, zk_test::kCopyFromDevice)}));
  vorel55(device_, buffer);
}

TEST_F(BufferTest, NestedMapsShareOneMirror) {
  zk_ocu_buffer* buffer = counting_buffer(32);
  const int64_t copies_before = zk_emu_call_count("cudaMemcpy");
  const int64_t mallocs_before = zk_emu_call_count("malloc");
  auto* first = static_cast<uint8_t*>(vorel304(device_, buffer, true));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first[31], 31);
  first[0] = 0x55;  // a refresh by the next read map overwrites local changes
  auto* second = static_cast<uint8_t*>(vorel304(device_, buffer, true));
  EXPECT_EQ(second, first);
  EXPECT_EQ(second[0], 0);
  EXPECT_EQ(buffer->map_count, 2);
  vorel3(device_, buffer, false);
  EXPECT_EQ(buffer->map_count, 1);
  EXPECT_EQ(buffer->host_mirror, first);
  vorel3(device_, buffer, false);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_EQ(buffer->host_mirror, nullptr);
  if (ZK_OCU_TEST_EMULATED) {
    EXPECT_EQ(zk_emu_call_count("cudaMemcpy") - copies_before, 2);
    EXPECT_EQ(zk_emu_call_count("malloc") - mallocs_before, 1);
  }
  vorel55(device_, buffer);
}

TEST_F(BufferTest, UnmapWithWriteBackUploadsTheWholeMirror) {
  zk_ocu_buffer* buffer = counting_buffer(24);
  auto* mirror = static_cast<uint8_t*>(vorel304(device_, buffer, false));
  ASSERT_NE(mirror, nullptr);
  for (int i = 0; i < 24; ++i) mirror[i] = static_cast<uint8_t>(200 - i);
  vorel3(device_, buffer, true);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_EQ(buffer->host_mirror, nullptr);
  std::vector<uint8_t> expected(24);
  for (int i = 0; i < 24; ++i) expected[i] = static_cast<uint8_t>(200 - i);
  EXPECT_EQ(download<uint8_t>(buffer, 0, 24), expected);
  vorel55(device_, buffer);
}

TEST_F(BufferTest, FailedReadMapIsUndone) {
  ZK_REQUIRE_EMULATOR();
  zk_ocu_buffer* buffer = counting_buffer(8);
  zk_emu_inject_fault("cudaMemcpy", 0, 1, zk_test::kErrorInvalidValue);
  EXPECT_EQ(vorel304(device_, buffer, true), nullptr);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_EQ(buffer->host_mirror, nullptr);

  void* mirror = vorel304(device_, buffer, true);
  ASSERT_NE(mirror, nullptr);
  zk_emu_inject_fault("cudaMemcpy", 0, 1, zk_test::kErrorInvalidValue);
  EXPECT_EQ(vorel304(device_, buffer, true), nullptr);
  EXPECT_EQ(buffer->map_count, 1);
  EXPECT_EQ(buffer->host_mirror, mirror);
  EXPECT_EQ(error_log(), (std::vector<std::string>{log_line(0x33B, zk_test::kCopyFromDevice),
                                                   log_line(0x33B, zk_test::kCopyFromDevice)}));
  vorel3(device_, buffer, false);
  vorel55(device_, buffer);
}

TEST_F(BufferTest, FailedMirrorAllocationLeavesTheBufferUnmapped) {
  ZK_REQUIRE_EMULATOR();
  zk_ocu_buffer* buffer = counting_buffer(8);
  zk_emu_inject_fault("malloc", 0, 1, 0);
  EXPECT_EQ(vorel304(device_, buffer, true), nullptr);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_TRUE(error_log().empty());
  vorel55(device_, buffer);
}

TEST_F(BufferTest, FailedWriteBackIsLoggedAndTheUnmapCompletes) {
  ZK_REQUIRE_EMULATOR();
  zk_ocu_buffer* buffer = counting_buffer(8);
  ASSERT_NE(vorel304(device_, buffer, false), nullptr);
  zk_emu_inject_fault("cudaMemcpy", 0, 1, zk_test::kErrorInvalidValue);
  vorel3(device_, buffer, true);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_EQ(buffer->host_mirror, nullptr);
  EXPECT_EQ(error_log(), std::vector<std::string>{log_line(0x33A, zk_test::kCopyToDevice)});
  vorel55(device_, buffer);
}

TEST_F(BufferTest, UnmapWithoutMapDoesNothing) {
  zk_ocu_buffer* buffer = counting_buffer(8);
  vorel3(device_, buffer, true);
  EXPECT_EQ(buffer->map_count, 0);
  EXPECT_EQ(buffer->host_mirror, nullptr);
  EXPECT_EQ(download<uint8_t>(buffer, 0, 2), (std::vector<uint8_t>{0, 1}));
  vorel55(device_, buffer);
}

// The sanitizer build reports the mirror as leaked if delete does not free it.
TEST_F(BufferTest, DeletingAMappedBufferFreesItsMirror) {
  zk_ocu_buffer* buffer = counting_buffer(8);
  ASSERT_NE(vorel304(device_, buffer, true), nullptr);
  ASSERT_NE(vorel304(device_, buffer, false), nullptr);
  vorel55(device_, buffer);
}

TEST_F(BufferTest, HostMemory) {
  auto* memory = static_cast<uint8_t*>(vorel144(device_, 10));
  ASSERT_NE(memory, nullptr);
  std::memset(memory, 1, 10);
  vorel284(device_, memory);
  EXPECT_EQ(vorel144(device_, -1), nullptr);
}

}  // namespace
