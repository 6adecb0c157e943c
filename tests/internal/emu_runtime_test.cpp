// The emulated runtime calls: last-error rules, argument validation, streams, faults.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "emu/cuda_emu.h"
#include "emu/zk_emu.h"

namespace {

class EmuRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override { zk_emu_reset(); }
};

TEST_F(EmuRuntimeTest, LastErrorIsReadAndCleared) {
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(7), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
  EXPECT_STREQ(cudaGetErrorName(cudaErrorInvalidDevice), "cudaErrorInvalidDevice");
}

TEST_F(EmuRuntimeTest, LastErrorIsPerHostThread) {
  EXPECT_EQ(cudaSetDevice(7), cudaErrorInvalidDevice);
  cudaError_t other_thread_error = cudaErrorUnknown;
  std::thread([&] { other_thread_error = cudaGetLastError(); }).join();
  EXPECT_EQ(other_thread_error, cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(EmuRuntimeTest, DeviceCountWithoutDriverOrGpu) {
  zk_emu_device_config config;
  zk_emu_get_device_config(&config);
  int count = -1;
  for (const auto& [device_count, error] :
       {std::pair{-1, cudaErrorInsufficientDriver}, std::pair{0, cudaErrorNoDevice}}) {
    config.device_count = device_count;
    zk_emu_set_device_config(&config);
    EXPECT_EQ(cudaGetDeviceCount(&count), error);
    EXPECT_EQ(count, 0);
  }
  cudaGetLastError();
}

TEST_F(EmuRuntimeTest, CopiesAreValidatedAgainstAllocations) {
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, 64), cudaSuccess);
  std::vector<unsigned char> host(128, 1);
  auto* bytes = static_cast<unsigned char*>(device);
  EXPECT_EQ(cudaMemcpy(device, host.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(bytes + 60, host.data(), 4, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemcpy(bytes + 61, host.data(), 4, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host.data(), device, 65, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(nullptr, device, 4, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(nullptr, nullptr, 0, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(cudaMemsetAsync(bytes + 32, 0, 33), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemset2DAsync(device, 16, 7, 8, 4), cudaSuccess);
  EXPECT_EQ(cudaMemset2DAsync(device, 16, 7, 17, 2), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy2DAsync(host.data(), 8, device, 16, 8, 4, cudaMemcpyDeviceToHost),
            cudaSuccess);
  EXPECT_EQ(host[0], 7);
  EXPECT_EQ(host[31], 7);
  EXPECT_EQ(cudaMemcpy2DAsync(host.data(), 8, device, 16, 9, 4, cudaMemcpyDeviceToHost),
            cudaErrorInvalidPitchValue);
  EXPECT_EQ(cudaFree(bytes + 1), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  cudaGetLastError();
}

TEST_F(EmuRuntimeTest, StreamsAreCheckedHandles) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreate(&stream), cudaSuccess);
  void* device = nullptr;
  ASSERT_EQ(cudaMallocAsync(&device, 16, stream), cudaSuccess);
  EXPECT_EQ(cudaMemsetAsync(device, 0, 16, stream), cudaSuccess);
  EXPECT_EQ(cudaFreeAsync(device, stream), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaMallocAsync(&device, 16, stream), cudaErrorInvalidResourceHandle);
  cudaGetLastError();
}

TEST_F(EmuRuntimeTest, FaultsSkipThenFailThenStop) {
  zk_emu_inject_fault("cudaSetDevice", 1, 2, cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDevice(0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(zk_emu_call_count("cudaSetDevice"), 4);
  cudaGetLastError();
}

TEST_F(EmuRuntimeTest, AllocationBeyondGlobalMemoryFails) {
  zk_emu_device_config config;
  zk_emu_get_device_config(&config);
  config.total_global_memory = 1024;
  zk_emu_set_device_config(&config);
  void* first = nullptr;
  void* second = nullptr;
  EXPECT_EQ(cudaMalloc(&first, 1000), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&second, 100), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaFree(first), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&second, 100), cudaSuccess);
  EXPECT_EQ(cudaFree(second), cudaSuccess);
  cudaGetLastError();
}

}  // namespace
