// The worker pool: one job at a time, described by a function, a unit count and a counter from
// which workers claim units. A generation number tells the helpers that a new job is there; the
// job ends when every unit is done and every helper that joined it has left it.
#include "base/threads.h"

#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int32_t kMostThreads = 256;

}  // namespace

struct WorkerPool {
  int32_t threads = 1;
  std::vector<std::thread> helpers;  // worker numbers 1 … threads
  std::mutex mutex;                  // guards everything below but `next`
  std::condition_variable wake;      // a new job or the end of the pool
  std::condition_variable idle;      // a helper left the job
  uint64_t generation = 0;           // counts the jobs posted
  bool stopping = false;
  ParallelFn fn = nullptr;
  void* user = nullptr;
  int64_t count = 0;
  int32_t helpers_allowed = 0;  // helpers 1 … helpers_allowed take part in the current job
  int32_t helpers_busy = 0;     // helpers still inside the current job
  std::atomic<int64_t> next{0};
};

namespace {

void run_units(WorkerPool* pool, ParallelFn fn, void* user, int64_t count, int32_t worker) {
  for (;;) {
    const int64_t index = pool->next.fetch_add(1);
    if (index >= count) return;
    fn(user, index, worker);
  }
}

void helper_loop(WorkerPool* pool, int32_t worker) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    pool->wake.wait(lock, [&] { return pool->stopping || pool->generation != seen; });
    if (pool->stopping) return;
    seen = pool->generation;
    if (worker > pool->helpers_allowed) continue;
    const ParallelFn fn = pool->fn;
    void* user = pool->user;
    const int64_t count = pool->count;
    ++pool->helpers_busy;
    lock.unlock();
    run_units(pool, fn, user, count, worker);
    lock.lock();
    if (--pool->helpers_busy == 0) pool->idle.notify_all();
  }
}

// Posts a job for helpers 1 … allowed. A helper that woke up late for the previous job may
// still be inside it (finding no unit left); the new job waits until it has left, so that no
// helper ever claims a unit of one job with the function of another.
void post_job(WorkerPool* pool, int64_t count, ParallelFn fn, void* user, int32_t allowed) {
  std::unique_lock<std::mutex> lock(pool->mutex);
  pool->idle.wait(lock, [&] { return pool->helpers_busy == 0; });
  pool->fn = fn;
  pool->user = user;
  pool->count = count;
  pool->helpers_allowed = allowed;
  pool->next.store(0);
  ++pool->generation;
  pool->wake.notify_all();
}

}  // namespace

int32_t threads_from_text(const char* text, int32_t fallback) {
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > kMostThreads) return fallback;
  return static_cast<int32_t>(value);
}

int32_t usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int cores = CPU_COUNT(&set);
  return cores < 1 ? 1 : (cores > kMostThreads ? kMostThreads : cores);
}

int32_t thread_count() {
  static const int32_t count = threads_from_text(std::getenv("QV_THREADS"), usable_cores());
  return count;
}

void WorkerPoolDeleter::operator()(WorkerPool* pool) const {
  if (!pool) return;
  {
    std::lock_guard<std::mutex> guard(pool->mutex);
    pool->stopping = true;
    pool->wake.notify_all();
  }
  for (std::thread& helper : pool->helpers) helper.join();
  std::unique_ptr<WorkerPool> owner(pool);
}

WorkerPoolPtr create_worker_pool(int32_t threads) {
  WorkerPoolPtr pool(std::make_unique<WorkerPool>().release());
  pool->threads = threads < 1 ? 1 : threads;
  for (int32_t worker = 1; worker <= pool->threads; ++worker) {
    try {
      pool->helpers.emplace_back(helper_loop, pool.get(), worker);
    } catch (...) {
      return nullptr;  // the deleter stops and joins the helpers already started
    }
  }
  return pool;
}

int32_t pool_workers(const WorkerPool* pool) {
  return pool ? pool->threads + 1 : 1;
}

void parallel_for(WorkerPool* pool, int64_t count, ParallelFn fn, void* user) {
  if (count <= 0) return;
  if (!pool || pool->threads == 1 || count == 1) {
    for (int64_t index = 0; index < count; ++index) fn(user, index, 0);
    return;
  }
  post_job(pool, count, fn, user, pool->threads - 1);
  run_units(pool, fn, user, count, 0);
  finish_parallel(pool);
}

void start_parallel(WorkerPool* pool, int64_t count, ParallelFn fn, void* user) {
  if (!pool) {
    for (int64_t index = 0; index < count; ++index) fn(user, index, 0);
    return;
  }
  post_job(pool, count, fn, user, pool->threads);
}

void finish_parallel(WorkerPool* pool) {
  if (!pool) return;
  std::unique_lock<std::mutex> lock(pool->mutex);
  // Helpers join a job only after they have seen it; wait until the units are all claimed and
  // no helper is still inside the job.
  pool->idle.wait(lock,
                  [&] { return pool->helpers_busy == 0 && pool->next.load() >= pool->count; });
}
