// Test entry point: every test starts with a clean emulator and an empty error log, and
// a test during which the emulator reported kernel misuse fails the run.
#include <gtest/gtest.h>

#include <cstdio>

#include "test_support.h"

namespace {

class CleanSlate : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    zk_emu_reset();
    zk_ocu_error_log_clear();
  }

  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (zk_emu_misuse_count() > 0) {
      std::fprintf(stderr, "[  MISUSE  ] %s.%s: %s\n", info.test_suite_name(), info.name(),
                   zk_emu_last_misuse_report());
      misuse_seen = true;
    }
  }

  bool misuse_seen = false;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto* clean_slate = new CleanSlate;
  ::testing::UnitTest::GetInstance()->listeners().Append(clean_slate);
  const int result = RUN_ALL_TESTS();
  return result != 0 || clean_slate->misuse_seen ? 1 : 0;
}
