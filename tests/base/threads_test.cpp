// The thread count's environment text, the worker pool and the relay of unit output.
#include "base/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "base/unit_relay.h"

namespace {

TEST(Threads, CountFromText) {
  struct Case {
    const char* text;
    int32_t expected;
  };
  const Case cases[] = {
      {nullptr, 3}, {"", 3},   {"1", 1},  {"4", 4},  {"256", 256}, {"257", 3},
      {"0", 3},     {"-2", 3}, {"2x", 3}, {" 2", 2}, {"two", 3},   {"99999999999", 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(threads_from_text(c.text, 3), c.expected) << (c.text ? c.text : "(unset)");
  }
  EXPECT_GE(usable_cores(), 1);
}

TEST(Threads, EveryUnitRunsOnceOnAKnownWorker) {
  for (int32_t threads : {1, 2, 4}) {
    WorkerPoolPtr pool = create_worker_pool(threads);
    ASSERT_NE(pool, nullptr);
    // Several jobs in a row on one pool, as the tiling core posts one per band.
    for (int64_t count : {int64_t{0}, int64_t{1}, int64_t{7}, int64_t{1000}}) {
      std::vector<std::atomic<int>> runs(static_cast<size_t>(count));
      std::atomic<bool> bad_worker{false};
      parallel_for_each(pool.get(), count, [&](int64_t index, int32_t worker) {
        if (worker < 0 || worker >= pool_workers(pool.get())) bad_worker = true;
        ++runs[static_cast<size_t>(index)];
      });
      for (const std::atomic<int>& run : runs) EXPECT_EQ(run.load(), 1);
      EXPECT_FALSE(bad_worker.load());
    }
  }
}

// A console record that collects the lines replayed to it.
struct Capture {
  ConsoleOps ops;
  std::string seen;
};

void capture_line(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  reinterpret_cast<Capture*>(ops)->seen += va_arg(args, const char*);  // the relay logs "%s"
  va_end(args);
}

// Units that finish in reverse order are still replayed unit after unit, each in its own order.
TEST(Threads, RelayReplaysUnitsInOrder) {
  constexpr int kUnits = 5;
  WorkerPoolPtr pool = create_worker_pool(3);
  UnitRelayPtr relay = create_unit_relay(kUnits);
  struct Job {
    UnitRelay* relay;
  } job{relay.get()};
  start_parallel(
      pool.get(), kUnits,
      [](void* user, int64_t unit, int32_t) {
        UnitRelay* relay = static_cast<Job*>(user)->relay;
        ConsoleOps* console = unit_console(relay, kUnits - 1 - unit);
        console->log(console, "unit %d ", static_cast<int>(kUnits - 1 - unit));
        relay_unit_progress(unit_progress_user(relay, kUnits - 1 - unit), kUnits - 1 - unit, 9);
        finish_unit(relay, kUnits - 1 - unit);
      },
      &job);
  Capture capture;
  capture.ops.log = capture_line;
  std::string& seen = capture.seen;
  RelayTarget replay{&capture.ops,
                     [](void* user, int64_t done, int64_t total) {
                       *static_cast<std::string*>(user) +=
                           std::to_string(done) + "/" + std::to_string(total) + " ";
                     },
                     &seen};
  for (int unit = 0; unit < kUnits; ++unit) replay_unit(relay.get(), unit, replay);
  finish_parallel(pool.get());
  EXPECT_EQ(seen, "unit 0 0/9 unit 1 1/9 unit 2 2/9 unit 3 3/9 unit 4 4/9 ");
}

}  // namespace
