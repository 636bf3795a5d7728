#include "ipc/work_queue.h"

#include <utility>

namespace {

// Takes the oldest entry, waiting while there is none; false when the worker is to leave.
bool take_request(WorkQueue* queue, QueuedRequest* request, size_t* queued) {
  std::unique_lock<std::mutex> guard(queue->lock);
  queue->changed.wait(
      guard, [queue] { return queue->stopping || queue->closing || !queue->entries.empty(); });
  if (queue->stopping || queue->entries.empty()) return false;
  *queued = queue->entries.size();
  *request = std::move(queue->entries.front());
  queue->entries.pop_front();
  ++queue->busy;
  return true;
}

void request_done(WorkQueue* queue) {
  std::lock_guard<std::mutex> guard(queue->lock);
  --queue->busy;
}

void worker_loop(WorkQueue* queue, int worker, RunRequestFn run, void* user) {
  QueuedRequest request;
  size_t queued = 0;
  while (take_request(queue, &request, &queued)) {
    run(user, worker, request, queued);
    request_done(queue);
  }
}

}  // namespace

void work_queue_start(WorkQueue* queue, int count, RunRequestFn run, void* user) {
  for (int i = 0; i < count; ++i) queue->workers.emplace_back(worker_loop, queue, i, run, user);
}

void work_queue_push(WorkQueue* queue, QueuedRequest request) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    if (queue->closing || queue->stopping) return;
    queue->entries.push_back(std::move(request));
  }
  queue->changed.notify_one();
}

void work_queue_finish(WorkQueue* queue) {
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->closing = true;
  }
  queue->changed.notify_all();
  work_queue_join(queue);
}

int work_queue_stop(WorkQueue* queue) {
  int running = 0;
  {
    std::lock_guard<std::mutex> guard(queue->lock);
    queue->stopping = true;
    queue->entries.clear();
    running = queue->busy;
  }
  queue->changed.notify_all();
  return running;
}

void work_queue_join(WorkQueue* queue) {
  for (std::thread& worker : queue->workers) {
    if (worker.joinable()) worker.join();
  }
  queue->workers.clear();
}

void work_queue_detach(WorkQueue* queue) {
  for (std::thread& worker : queue->workers) {
    if (worker.joinable()) worker.detach();
  }
  queue->workers.clear();
}
