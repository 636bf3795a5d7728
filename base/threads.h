// How many threads a run uses, and a small pool of workers for the parts of a job that split
// into independent units (faces, bands of rows, the tiles of one tile row).
//
// The count comes from the environment variable QV_THREADS; without it (or with a value that is
// not a positive whole number) it is the number of cores the process may run on. One thread means
// the tools run as they always did, on the calling thread alone.
//
// Units are claimed in increasing order by whichever worker is free, so their results must not
// depend on the worker or on the order in which units finish: callers keep per-worker state
// (tile caches, row buffers) and put results together in unit order themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

// The thread count from a QV_THREADS text (null when unset): the value when it is a whole number
// from 1 to 256, else fallback.
int32_t threads_from_text(const char* text, int32_t fallback);

// The cores the process may run on (its affinity mask), at least 1.
int32_t usable_cores();

// The thread count of this process: QV_THREADS, else usable_cores(). Read once.
int32_t thread_count();

// Runs unit `index` of a parallel job on worker `worker` (0 … pool_workers() - 1).
using ParallelFn = void (*)(void* user, int64_t index, int32_t worker);

// Helper threads that wait for jobs. Destroying the pool waits for the job in progress and joins
// the threads.
struct WorkerPool;
struct WorkerPoolDeleter {
  void operator()(WorkerPool* pool) const;
};
using WorkerPoolPtr = std::unique_ptr<WorkerPool, WorkerPoolDeleter>;

// A pool for `threads` threads of work (at least 1): worker 0 is the thread that calls
// parallel_for, workers 1 … threads are helpers (the last one works only for jobs started with
// start_parallel). Null when no thread could be started; callers then work alone.
WorkerPoolPtr create_worker_pool(int32_t threads);

// The number of distinct worker numbers a job may use: threads + 1. Size per-worker state by it.
int32_t pool_workers(const WorkerPool* pool);

// Runs fn for every index in [0, count) on the calling thread and threads - 1 helpers, and
// returns when all are done. With a null pool everything runs on the calling thread (worker 0).
void parallel_for(WorkerPool* pool, int64_t count, ParallelFn fn, void* user);

// Starts fn for every index in [0, count) on `threads` helpers and returns at once, so the
// calling thread can report what the units produce; finish_parallel waits for the end. One job
// at a time per pool. With a null pool the units run on the calling thread before it returns.
void start_parallel(WorkerPool* pool, int64_t count, ParallelFn fn, void* user);
void finish_parallel(WorkerPool* pool);

// parallel_for over a callable f(index, worker).
template <typename Fn>
void parallel_for_each(WorkerPool* pool, int64_t count, Fn&& fn) {
  using Callable = std::remove_reference_t<Fn>;
  parallel_for(
      pool, count,
      [](void* user, int64_t index, int32_t worker) {
        (*static_cast<Callable*>(user))(index, worker);
      },
      &fn);
}
