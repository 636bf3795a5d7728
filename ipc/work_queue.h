// The channel's queue of requests and the worker threads that run them: a first-in first-out
// list under the queue lock, with a condition variable that wakes idle workers.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One queued request. The text protocol fills id, name and arguments; the JSON protocol
// identifier and payload.
struct QueuedRequest {
  std::string id;
  std::string name;
  std::string arguments;
  uint32_t identifier = 0;
  std::string payload;
};

// Runs one request on worker number worker (0 …); queued is the number of requests that were
// queued when it was taken, itself included.
using RunRequestFn = void (*)(void* user, int worker, const QueuedRequest& request, size_t queued);

struct WorkQueue {
  std::mutex lock;                    // the queue lock: guards every field below
  std::condition_variable changed;    // an entry arrived, or the workers are to leave
  std::deque<QueuedRequest> entries;  // oldest first
  int busy = 0;                       // workers running a request now
  bool closing = false;               // no more entries come; leave once the queue is empty
  bool stopping = false;              // leave when idle; entries not yet taken are dropped
  std::vector<std::thread> workers;
};

// Starts count workers that take entries and hand them to run.
void work_queue_start(WorkQueue* queue, int count, RunRequestFn run, void* user);

// Appends an entry (ignored once the queue is closing or stopping).
void work_queue_push(WorkQueue* queue, QueuedRequest request);

// Lets the workers finish every queued entry, then waits for them to leave.
void work_queue_finish(WorkQueue* queue);

// Drops the entries not yet taken and tells the workers to leave when idle. Returns the number
// of requests still running; the workers are not waited for.
int work_queue_stop(WorkQueue* queue);

// Waits for the workers of a stopped or finished queue to leave.
void work_queue_join(WorkQueue* queue);

// Lets the workers go on without being waited for: for a process that ends while some of them
// still run a request.
void work_queue_detach(WorkQueue* queue);
