// The push: formatting, truncation, the eight-entry limit and the scratch area.
#include "runtime/error_log.h"

#include <gtest/gtest.h>

#include <string>

#include "zk_ocu.h"

namespace {

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override { zk_ocu_error_log_clear(); }
};

TEST_F(ErrorLogTest, FormatsEachRecordKind) {
  const zk_error_record_t no_message{0xC8, nullptr};
  zk::log_error(zk::errors::kDeviceIndex, 5, 2);
  zk::log_error(zk::errors::kDriverIncompatible, "bad image");
  zk::log_error(zk::errors::kKernelLaunch);
  zk_error_log_push("", 0, &no_message);
  ASSERT_EQ(zk_ocu_error_log_count(), 4);
  EXPECT_STREQ(zk_ocu_error_log_text(0),
               "7727e45 00000335: GPU device index `5` is out of range. Found `2` available GPU "
               "devices.");
  EXPECT_STREQ(zk_ocu_error_log_text(1),
               "7727e45 00000336: GPU device drivers are incompatible (device error: bad image). "
               "Refer to docs to find the appropriate version for updating.");
  EXPECT_STREQ(zk_ocu_error_log_text(2), "7727e45 0000033C: Failed to execute gpu kernel.");
  EXPECT_STREQ(zk_ocu_error_log_text(3), "7727e45 000000C8: Zenkara Error.");
  EXPECT_EQ(zk_ocu_error_log_text(4), nullptr);
  EXPECT_EQ(zk_ocu_error_log_text(-1), nullptr);
}

TEST_F(ErrorLogTest, KeepsTheFirstEightEntries) {
  for (int i = 0; i < 10; ++i) zk::log_error(zk::errors::kDeviceIndex, i, 1);
  ASSERT_EQ(zk_ocu_error_log_count(), 8);
  for (int i = 0; i < 8; ++i) {
    const std::string expected = "7727e45 00000335: GPU device index `" + std::to_string(i) +
                                 "` is out of range. Found `1` available GPU devices.";
    EXPECT_EQ(zk_ocu_error_log_text(i), expected);
  }
  zk_ocu_error_log_clear();
  EXPECT_EQ(zk_ocu_error_log_count(), 0);
  zk::log_error(zk::errors::kKernelLaunch);
  EXPECT_EQ(zk_ocu_error_log_count(), 1);
  EXPECT_STREQ(zk_ocu_error_log_text(0), "7727e45 0000033C: Failed to execute gpu kernel.");
}

TEST_F(ErrorLogTest, MessagesAreCutAt491CharactersAndScratchIsCleared) {
  const std::string long_text(600, 'x');
  zk::log_error(zk::errors::kDriverIncompatible, long_text.c_str());
  const std::string message =
      std::string("GPU device drivers are incompatible (device error: ") + long_text;
  const std::string expected = "7727e45 00000336: " + message.substr(0, 491);
  EXPECT_EQ(zk_ocu_error_log_text(0), expected);
  EXPECT_EQ(expected.size(), 18u + 491u);
  const zk_error_log_slot_t& slot = zk_error_log_slots()[0];
  EXPECT_EQ(slot.marker, ZK_ERROR_LOG_SLOT_CLAIMED);
  for (char c : slot.scratch) ASSERT_EQ(c, 0);
}

TEST_F(ErrorLogTest, StoresContextUnchanged) {
  static const char kContext[] = "context";
  zk_error_log_push(kContext, 42, &zk::errors::kStreamCreation);
  const zk_error_log_slot_t& slot = zk_error_log_slots()[0];
  EXPECT_EQ(slot.entries[0].context, kContext);
  EXPECT_EQ(slot.entries[0].context_value, 42);
}

}  // namespace
