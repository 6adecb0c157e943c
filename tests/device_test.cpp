// GPU listing and the device lifecycle, including every failure of open and list.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

using zk_test::error_log;
using zk_test::log_line;

void set_device(int32_t count, int32_t warp_size = 32, int32_t grid_x = 2147483647) {
  zk_emu_device_config config;
  zk_emu_get_device_config(&config);
  config.device_count = count;
  config.warp_size = warp_size;
  config.max_grid_size[0] = grid_x;
  zk_emu_set_device_config(&config);
}

TEST(GpuList, NamesEveryDevice) {
  ZK_REQUIRE_EMULATOR();
  set_device(2);
  char** list = nullptr;
  int32_t count = -1;
  ASSERT_EQ(vorel110(&list, &count), ZK_STATUS_OK);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(list[0], "gpu:0 - Emulated GPU 0");
  EXPECT_STREQ(list[1], "gpu:1 - Emulated GPU 1");
  vorel9(list, count);
  EXPECT_TRUE(error_log().empty());
}

TEST(GpuList, WithoutDriverOrGpuIsEmptyAndLogged) {
  ZK_REQUIRE_EMULATOR();
  for (int32_t device_count : {-1, 0}) {
    zk_ocu_error_log_clear();
    set_device(device_count);
    char** list = reinterpret_cast<char**>(1);
    int32_t count = -1;
    EXPECT_EQ(vorel110(&list, &count), ZK_STATUS_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(error_log(),
              std::vector<std::string>{log_line(0x334, zk_test::kNoDeviceCommunication)});
  }
}

struct ListFailure {
  const char* call;
  int32_t skip;
  zk_status_t status;
  uint32_t code;
  const char* message;
};

TEST(GpuList, FailuresReleaseEverything) {
  ZK_REQUIRE_EMULATOR();
  const ListFailure cases[] = {
      {"calloc", 0, ZK_STATUS_NO_MEMORY, 0xC8, zk_test::kOutOfMemory},
      {"malloc", 1, ZK_STATUS_NO_MEMORY, 0xC8, zk_test::kOutOfMemory},
      {"cudaGetDeviceProperties", 2, ZK_STATUS_DEVICE_FAILURE, 0x334,
       zk_test::kNoDeviceCommunication},
  };
  for (const ListFailure& failure : cases) {
    SCOPED_TRACE(failure.call);
    zk_emu_reset();
    zk_ocu_error_log_clear();
    set_device(3);
    zk_emu_inject_fault(failure.call, failure.skip, 1, zk_test::kErrorInvalidValue);
    char** list = reinterpret_cast<char**>(1);
    int32_t count = -1;
    EXPECT_EQ(vorel110(&list, &count), failure.status);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(error_log(), std::vector<std::string>{log_line(failure.code, failure.message)});
  }
}

TEST(GpuList, FreeingNothingDoesNothing) {
  vorel9(nullptr, 3);
  char** empty = static_cast<char**>(malloc(sizeof(char*)));
  vorel9(empty, 0);
}

TEST(Device, OpenRecordsPropertiesAndStreams) {
  zk_ocu_device* device = nullptr;
  ASSERT_EQ(vorel209(0, &device), ZK_STATUS_OK);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->device_id, 0);
  const zk_ocu_device_properties* properties = device->properties;
  ASSERT_NE(properties, nullptr);
  EXPECT_EQ(properties->properties_error, nullptr);
  EXPECT_GE(properties->major, 7);
  EXPECT_GT(properties->multiprocessor_count, 0);
  EXPECT_GT(properties->total_global_memory, 0u);
  EXPECT_EQ(properties->max_threads_per_block, 1024);
  EXPECT_EQ(properties->max_threads_dim[2], 64);
  EXPECT_GE(properties->max_grid_size[0], 65535);
  EXPECT_EQ(properties->max_grid_size[1], 65535);
  EXPECT_GT(properties->driver_version, 0);
  EXPECT_EQ(properties->driver_version_error, nullptr);
  EXPECT_GT(properties->runtime_version, 0);
  ASSERT_NE(device->streams, nullptr);
  for (int i = 0; i < ZK_OCU_STREAM_COUNT; ++i) EXPECT_NE(device->streams[i], nullptr);
  vorel334(device);
  EXPECT_TRUE(error_log().empty());
}

TEST(Device, IndexOutOfRangeNamesIndexAndCount) {
  ZK_REQUIRE_EMULATOR();
  set_device(2);
  for (int32_t index : {2, 5, -1}) {
    zk_ocu_error_log_clear();
    zk_ocu_device* device = reinterpret_cast<zk_ocu_device*>(0x1234);
    EXPECT_EQ(vorel209(index, &device), ZK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(device, reinterpret_cast<zk_ocu_device*>(0x1234));
    const std::string expected = "7727e45 00000335: GPU device index `" + std::to_string(index) +
                                 "` is out of range. Found `2` available GPU devices.";
    EXPECT_EQ(error_log(), std::vector<std::string>{expected});
  }
}

struct OpenFailure {
  const char* call;
  int32_t skip;
  int32_t error;
  zk_status_t status;
  std::string log;
};

TEST(Device, EveryOpenFailureReleasesAndLeavesOutputUnchanged) {
  ZK_REQUIRE_EMULATOR();
  const std::string out_of_memory = log_line(0xC8, zk_test::kOutOfMemory);
  const std::string no_communication = log_line(0x334, zk_test::kNoDeviceCommunication);
  const OpenFailure cases[] = {
      {"calloc", 0, 0, ZK_STATUS_NO_MEMORY, out_of_memory},  // device record
      {"calloc", 1, 0, ZK_STATUS_NO_MEMORY, out_of_memory},  // properties
      {"calloc", 2, 0, ZK_STATUS_NO_MEMORY, out_of_memory},  // stream array
      {"cudaGetDeviceCount", 0, zk_test::kErrorInsufficientDriver, ZK_STATUS_DEVICE_FAILURE,
       no_communication},
      {"cudaSetDevice", 0, zk_test::kErrorInvalidValue, ZK_STATUS_DEVICE_FAILURE, no_communication},
      {"cudaGetDevice", 0, zk_test::kErrorInvalidValue, ZK_STATUS_DEVICE_FAILURE, no_communication},
      {"cudaLaunchKernel", 0, zk_test::kErrorNoKernelImage, ZK_STATUS_DEVICE_FAILURE,
       log_line(0x336,
                "GPU device drivers are incompatible (device error: no kernel image is available "
                "for execution on the device). Refer to docs to find the appropriate version for "
                "updating.")},
      // Zeroed properties fail the compatibility condition.
      {"cudaGetDeviceProperties", 0, zk_test::kErrorInvalidValue, ZK_STATUS_DEVICE_FAILURE,
       log_line(0x337, "Selected GPU device is incompatible with the library.")},
      {"cudaStreamCreate", 0, zk_test::kErrorMemoryAllocation, ZK_STATUS_DEVICE_FAILURE,
       log_line(0x33D, "Failed to create gpu stream.")},
      {"cudaStreamCreate", 5, zk_test::kErrorMemoryAllocation, ZK_STATUS_DEVICE_FAILURE,
       log_line(0x33D, "Failed to create gpu stream.")},
  };
  for (const OpenFailure& failure : cases) {
    SCOPED_TRACE(std::string(failure.call) + " after " + std::to_string(failure.skip));
    zk_emu_reset();
    zk_ocu_error_log_clear();
    zk_emu_inject_fault(failure.call, failure.skip, 1, failure.error);
    zk_ocu_device* device = reinterpret_cast<zk_ocu_device*>(0x1234);
    EXPECT_EQ(vorel209(0, &device), failure.status);
    EXPECT_EQ(device, reinterpret_cast<zk_ocu_device*>(0x1234));
    EXPECT_EQ(error_log(), std::vector<std::string>{failure.log});
    EXPECT_EQ(
        zk_emu_call_count("cudaStreamCreate"),
        zk_emu_call_count("cudaStreamDestroy") + (failure.call == std::string("cudaStreamCreate")));
  }
}

TEST(Device, CompatibilityConditionOnWarpSizeAndGridLimit) {
  ZK_REQUIRE_EMULATOR();
  struct Case {
    int32_t warp_size;
    int32_t grid_x;
    zk_status_t status;
  };
  for (const Case& c : {Case{16, 2147483647, ZK_STATUS_DEVICE_FAILURE},
                        Case{32, 65534, ZK_STATUS_DEVICE_FAILURE}, Case{32, 65535, ZK_STATUS_OK}}) {
    SCOPED_TRACE(std::to_string(c.warp_size) + " " + std::to_string(c.grid_x));
    zk_ocu_error_log_clear();
    set_device(1, c.warp_size, c.grid_x);
    zk_ocu_device* device = nullptr;
    EXPECT_EQ(vorel209(0, &device), c.status);
    if (c.status == ZK_STATUS_OK) {
      EXPECT_TRUE(error_log().empty());
      vorel334(device);
    } else {
      EXPECT_EQ(device, nullptr);
      EXPECT_EQ(error_log(), std::vector<std::string>{log_line(
                                 0x337, "Selected GPU device is incompatible with the library.")});
    }
  }
}

TEST(Device, VersionQueryFailuresAreRecordedNotFatal) {
  ZK_REQUIRE_EMULATOR();
  zk_emu_inject_fault("cudaDriverGetVersion", 0, 1, zk_test::kErrorInsufficientDriver);
  zk_emu_inject_fault("cudaRuntimeGetVersion", 0, 1, zk_test::kErrorInvalidValue);
  zk_ocu_device* device = nullptr;
  ASSERT_EQ(vorel209(0, &device), ZK_STATUS_OK);
  EXPECT_STREQ(device->properties->driver_version_error,
               "CUDA driver version is insufficient for CUDA runtime version");
  EXPECT_STREQ(device->properties->runtime_version_error, "invalid argument");
  EXPECT_EQ(device->properties->driver_version, 0);
  EXPECT_TRUE(error_log().empty());
  vorel334(device);
}

TEST(Device, ClosingNothingDoesNothing) { vorel334(nullptr); }

TEST(Device, OptimusDatumIsOne) { EXPECT_EQ(NvOptimusEnablementCuda, 1); }

}  // namespace
