// Memory operations: the device-to-device copy, the zero fill and the in-place row shift.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using zk_test::error_log;
using zk_test::log_line;

std::vector<uint8_t> random_bytes(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& value : bytes) value = static_cast<uint8_t>(byte(generator));
  return bytes;
}

enum class MemoryOp { kCopy, kFill, kShift };

class MemoryOpsTest : public zk_test::DeviceTest {};

// Copies and fills change exactly their byte range, at their offsets.
TEST_F(MemoryOpsTest, CopyAndFill) {
  struct Case {
    const char* name;
    MemoryOp op;
    int32_t size;
    int32_t output_offset;
    int32_t input_offset;
  };
  constexpr int32_t kBytes = 96;
  const Case cases[] = {
      {"copy", MemoryOp::kCopy, 40, 5, 17},
      {"copy to the last byte", MemoryOp::kCopy, 1, 95, 3},
      {"copy from the last byte", MemoryOp::kCopy, 1, 2, 95},
      {"copy of the whole buffer", MemoryOp::kCopy, kBytes, 0, 0},
      {"empty copy", MemoryOp::kCopy, 0, 9, 11},
      {"fill", MemoryOp::kFill, 33, 7, 0},
      {"fill of the last byte", MemoryOp::kFill, 1, 95, 0},
      {"empty fill", MemoryOp::kFill, 0, 3, 0},
  };
  const std::vector<uint8_t> source_bytes = random_bytes(kBytes, 1);
  const std::vector<uint8_t> initial = random_bytes(kBytes, 2);
  zk_ocu_buffer* source = operand(source_bytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zk_ocu_error_log_clear();
    zk_ocu_buffer* target = operand(initial);
    std::vector<uint8_t> expected = initial;
    zk_status_t status;
    if (c.op == MemoryOp::kCopy) {
      zk_ocu_op_copy_args_t args{target, source, c.size, c.output_offset, c.input_offset};
      status = vorel292(device_, nullptr, &args);
      std::memcpy(&expected[c.output_offset], &source_bytes[c.input_offset], c.size);
    } else {
      zk_ocu_op_zero_args_t args{target, c.size, c.output_offset};
      status = vorel323(device_, nullptr, &args);
      std::memset(&expected[c.output_offset], 0, c.size);
    }
    EXPECT_EQ(status, ZK_STATUS_OK);
    EXPECT_EQ(result<uint8_t>(target, 0, kBytes), expected);
    EXPECT_TRUE(error_log().empty());
  }
  EXPECT_EQ(result<uint8_t>(source, 0, kBytes), source_bytes);
}

// Every row moves toward its start as a sequential byte-by-byte move would move it, for
// distances below, at and above the 32 lanes of the block, and rows whose moved part
// does not fill the last step.
TEST_F(MemoryOpsTest, RowShift) {
  struct Case {
    int32_t rows;
    int32_t row_bytes;
    int32_t distance;
  };
  const Case cases[] = {
      {1, 10, 3},    {3, 101, 5},  {2, 64, 1},  {5, 77, 31}, {2, 100, 32}, {2, 200, 40},
      {4, 1000, 33}, {300, 50, 7}, {2, 20, 19}, {2, 20, 20}, {2, 20, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.rows << " rows of " << c.row_bytes << " bytes, distance " << c.distance);
    zk_ocu_error_log_clear();
    const size_t bytes = static_cast<size_t>(c.rows) * c.row_bytes;
    std::vector<uint8_t> initial(bytes);
    for (size_t i = 0; i < initial.size(); ++i) initial[i] = static_cast<uint8_t>(i % 251);
    zk_ocu_buffer* data = operand(initial);

    std::vector<uint8_t> expected = initial;
    for (int32_t r = 0; r < c.rows; ++r) {
      uint8_t* row = &expected[static_cast<size_t>(r) * c.row_bytes];
      for (int32_t t = 0; t + c.distance < c.row_bytes; ++t) row[t] = row[t + c.distance];
    }

    zk_ocu_op_memmove_args_t args{data, c.rows, c.row_bytes, c.distance};
    EXPECT_EQ(vorel74(device_, nullptr, &args), ZK_STATUS_OK);
    const std::vector<uint8_t> shifted = result<uint8_t>(data, 0, initial.size());
    EXPECT_EQ(shifted, expected);
    if (c.row_bytes == 10 && c.distance == 3) {
      EXPECT_EQ(std::vector<uint8_t>(shifted.begin(), shifted.begin() + 10),
                (std::vector<uint8_t>{3, 4, 5, 6, 7, 8, 9, 7, 8, 9}));
    }
    EXPECT_TRUE(error_log().empty());
  }
}

// A failed copy, fill or launch leaves the bytes alone, logs one record and consumes the
// runtime's error, so that the next operator succeeds.
TEST_F(MemoryOpsTest, Failures) {
  struct Case {
    const char* name;
    MemoryOp op;
    int32_t rows;
    int32_t distance;
    const char* fault;  // runtime call made to fail, or null
    uint32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"copy", MemoryOp::kCopy, 0, 0, "cudaMemcpyAsync", 0x33A, zk_test::kCopyToDevice},
      {"fill", MemoryOp::kFill, 0, 0, "cudaMemsetAsync", 0x33C, zk_test::kKernelFailed},
      {"shift launch", MemoryOp::kShift, 2, 3, "cudaLaunchKernel", 0x33C, zk_test::kKernelFailed},
      {"shift by 0", MemoryOp::kShift, 2, 0, nullptr, 0x33C, zk_test::kKernelFailed},
      {"shift by -3", MemoryOp::kShift, 2, -3, nullptr, 0x33C, zk_test::kKernelFailed},
      {"shift of no rows", MemoryOp::kShift, 0, 3, nullptr, 0x33C, zk_test::kKernelFailed},
  };
  constexpr int32_t kBytes = 64;
  const std::vector<uint8_t> initial = random_bytes(kBytes, 3);
  zk_ocu_buffer* source = operand(random_bytes(kBytes, 4));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault != nullptr && !ZK_OCU_TEST_EMULATED) continue;
    zk_ocu_error_log_clear();
    zk_ocu_buffer* data = operand(initial);
    if (c.fault != nullptr) zk_emu_inject_fault(c.fault, 0, 1, zk_test::kErrorInvalidValue);
    zk_status_t status;
    if (c.op == MemoryOp::kCopy) {
      zk_ocu_op_copy_args_t args{data, source, 16, 4, 8};
      status = vorel292(device_, nullptr, &args);
    } else if (c.op == MemoryOp::kFill) {
      zk_ocu_op_zero_args_t args{data, 16, 4};
      status = vorel323(device_, nullptr, &args);
    } else {
      zk_ocu_op_memmove_args_t args{data, c.rows, 32, c.distance};
      status = vorel74(device_, nullptr, &args);
    }
    EXPECT_EQ(status, ZK_STATUS_DEVICE_FAILURE);
    EXPECT_EQ(error_log(), std::vector<std::string>{log_line(c.code, c.message)});
    EXPECT_EQ(result<uint8_t>(data, 0, kBytes), initial);

    zk_ocu_op_memmove_args_t next{data, 2, 32, 3};
    EXPECT_EQ(vorel74(device_, nullptr, &next), ZK_STATUS_OK);
    EXPECT_EQ(error_log().size(), 1u);
  }
}

}  // namespace
