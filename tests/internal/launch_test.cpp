// Launch geometry idioms, the launch helper and the launch check.
#include <gtest/gtest.h>

#include <vector>

#include "emu/zk_emu.h"
#include "runtime/operator.cuh"

namespace {

__global__ void write_index_kernel(int32_t count, int32_t* out) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  out[i] = i;
}

struct GeometryCase {
  zk::LaunchGeometry geometry;
  dim3 grid;
  dim3 block;
};

void expect_dim(const dim3& actual, const dim3& expected) {
  EXPECT_EQ(actual.x, expected.x);
  EXPECT_EQ(actual.y, expected.y);
  EXPECT_EQ(actual.z, expected.z);
}

TEST(LaunchGeometry, Idioms) {
  const GeometryCase cases[] = {
      {zk::Geometry::flat(0), dim3(0), dim3(256)},
      {zk::Geometry::flat(1), dim3(1), dim3(256)},
      {zk::Geometry::flat(256), dim3(1), dim3(256)},
      {zk::Geometry::flat(257), dim3(2), dim3(256)},
      {zk::Geometry::blocks(0, 64), dim3(0), dim3(64)},
      {zk::Geometry::blocks(65, 64), dim3(2), dim3(64)},
      {zk::Geometry::tiles(17, 8, 8), dim3(3, 1), dim3(8, 8)},
      {zk::Geometry::tiles(16, 33, 16), dim3(1, 3), dim3(16, 16)},
      {zk::Geometry::tiles(1, 16 * 70000, 16, true), dim3(1, 65535), dim3(16, 16)},
      {zk::Geometry::rows(7, 512), dim3(7), dim3(512)},
      {zk::Geometry::clamped(70000, 3, 65536), dim3(65535, 3, 65535), dim3(256)},
  };
  for (const GeometryCase& c : cases) {
    expect_dim(c.geometry.grid, c.grid);
    expect_dim(c.geometry.block, c.block);
    EXPECT_EQ(c.geometry.shared_bytes, 0u);
  }
}

class LaunchCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zk_emu_reset();
    zk_ocu_error_log_clear();
    output_ = vorel30(nullptr, 1000 * sizeof(int32_t), 0);
    ASSERT_NE(output_, nullptr);
  }
  void TearDown() override { vorel55(nullptr, output_); }

  zk_ocu_buffer* output_ = nullptr;
};

TEST_F(LaunchCheckTest, LaunchRunsEveryElementOnce) {
  std::vector<int32_t> sentinel(1000, -1);
  ASSERT_EQ(vorel300(nullptr, output_, sentinel.data(), 0, 4000), ZK_STATUS_OK);
  ZK_LAUNCH(write_index_kernel, zk::Geometry::flat(999), nullptr, 999,
            zk::operand<int32_t>(output_, 4));
  EXPECT_EQ(zk::launch_status(), ZK_STATUS_OK);
  std::vector<int32_t> result(1000);
  ASSERT_EQ(vorel273(nullptr, output_, result.data(), 0, 4000), ZK_STATUS_OK);
  EXPECT_EQ(result[0], -1);
  for (int32_t i = 0; i < 999; ++i) ASSERT_EQ(result[i + 1], i);
  EXPECT_EQ(zk_ocu_error_log_count(), 0);
}

TEST_F(LaunchCheckTest, EmptyGridIsAKernelFailure) {
  ZK_LAUNCH(write_index_kernel, zk::Geometry::flat(0), nullptr, 0, zk::operand<int32_t>(output_));
  EXPECT_EQ(zk::launch_status(), ZK_STATUS_DEVICE_FAILURE);
  ASSERT_EQ(zk_ocu_error_log_count(), 1);
  EXPECT_STREQ(zk_ocu_error_log_text(0), "7727e45 0000033C: Failed to execute gpu kernel.");
  // The check consumed the error.
  EXPECT_EQ(zk::launch_status(), ZK_STATUS_OK);
}

TEST_F(LaunchCheckTest, AnEarlierUnconsumedErrorIsReportedByTheNextLaunch) {
  zk_ocu_buffer* scratch = vorel30(nullptr, 16, 0);
  zk_emu_inject_fault("cudaFreeAsync", 0, 1, 1);
  vorel55(nullptr, scratch);
  EXPECT_EQ(zk_ocu_error_log_count(), 0);
  ZK_LAUNCH(write_index_kernel, zk::Geometry::flat(4), nullptr, 4, zk::operand<int32_t>(output_));
  EXPECT_EQ(zk::launch_status(), ZK_STATUS_DEVICE_FAILURE);
  EXPECT_EQ(zk_ocu_error_log_count(), 1);
}

}  // namespace
