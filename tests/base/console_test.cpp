#include "base/console.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

namespace {

// Collects what the log callback receives instead of writing it to the console.
std::vector<std::string>* g_logged = nullptr;

void capture_log(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = console_format_into_scratch(ops, format, args);
  va_end(args);
  if (length >= 0) g_logged->push_back(ops->scratch);
}

constexpr int64_t kSecond = 1000000000;

struct ProgressFixture : ::testing::Test {
  ConsoleOps ops;
  std::vector<std::string> logged;
  int64_t start = 5 * kSecond;
  void SetUp() override {
    console_install_callbacks(&ops);
    ops.log = capture_log;
    g_logged = &logged;
  }
  void TearDown() override { console_release_scratch(&ops); }
};

}  // namespace

TEST_F(ProgressFixture, SmallStepsWithinAPercentStaySilentUntilAWholePercent) {
  for (int i = 1; i <= 9; ++i) {
    EXPECT_FALSE(console_progress_at(&ops, i * 0.001, start + i * 1000));
  }
  EXPECT_EQ(ops.last_report_time, start + 1000);  // the first call set the time stamp
  EXPECT_TRUE(console_progress_at(&ops, 0.02, start + 10000));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "progress=2.000000 dt=0.000\n");
}

TEST_F(ProgressFixture, CompletionAlwaysReports) {
  EXPECT_TRUE(console_progress_at(&ops, 1.0, start));
  EXPECT_TRUE(console_progress_at(&ops, 1.0, start + 1));
  EXPECT_EQ(logged.back(), "progress=100.000000 dt=0.000\n");
}

TEST_F(ProgressFixture, AFractionBelowTheLastStartsANewPhase) {
  EXPECT_TRUE(console_progress_at(&ops, 0.99, start));
  EXPECT_TRUE(console_progress_at(&ops, 0.05, start + 1));
  EXPECT_EQ(logged.back(), "progress=5.000000 dt=0.000\n");
}

TEST_F(ProgressFixture, ReportsAfterNineTenthsOfASecondWithoutProgress) {
  EXPECT_TRUE(console_progress_at(&ops, 0.5, start));
  EXPECT_FALSE(console_progress_at(&ops, 0.5, start + kSecond * 9 / 10));
  EXPECT_TRUE(console_progress_at(&ops, 0.5, start + kSecond));
  EXPECT_EQ(logged.back(), "progress=50.000000 dt=1.000\n");
}

TEST(ConsoleFormatting, ScratchGrowsToTheNextMultipleOf4096) {
  ConsoleOps ops;
  console_install_callbacks(&ops);
  EXPECT_EQ(ops.format(&ops, "%s", ""), "");
  EXPECT_EQ(ops.scratch_capacity, 4096);
  EXPECT_EQ(ops.format(&ops, "%s", std::string(4095, 'a').c_str()).size(), 4095u);
  EXPECT_EQ(ops.scratch_capacity, 4096);
  std::string long_text(4096, 'b');
  EXPECT_EQ(ops.format(&ops, "%s", long_text.c_str()), long_text);
  EXPECT_EQ(ops.scratch_capacity, 8192);
  EXPECT_EQ(ops.format(&ops, "%d-%s", 7, "x"), "7-x");
  EXPECT_EQ(ops.scratch_capacity, 8192);  // never shrinks
  console_release_scratch(&ops);
}

TEST(ConsoleTimer, TicksConvertToSeconds) {
  int64_t a = timer_ticks();
  int64_t b = timer_ticks();
  EXPECT_GE(b, a);
  EXPECT_DOUBLE_EQ(ticks_to_seconds(1500000000), 1.5);
}

TEST(ThreadConsole, AnInstalledRecordServesOnlyItsThread) {
  ConsoleOps request;
  set_thread_console(&request);
  EXPECT_EQ(thread_console(), &request);
  ConsoleOps* seen_elsewhere = nullptr;
  std::thread other([&] { seen_elsewhere = thread_console(); });
  other.join();
  EXPECT_EQ(seen_elsewhere, console_ops());
  set_thread_console(nullptr);
  EXPECT_EQ(thread_console(), console_ops());
}
