// The request queue and its workers: first in, first out, at most one request per worker, a
// finished queue runs everything, a stopped one drops what has not started.
#include "ipc/work_queue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// What the workers did, and a gate that holds them inside their requests while closed.
struct Record {
  std::mutex lock;
  std::condition_variable changed;
  bool gate_open = true;
  int running = 0;
  int most_running = 0;
  std::vector<std::string> started;  // ids in the order the workers took them
  std::vector<size_t> queued;        // queue count when each was taken
};

void run_request(void* user, int, const QueuedRequest& request, size_t queued) {
  Record* record = static_cast<Record*>(user);
  std::unique_lock<std::mutex> guard(record->lock);
  record->started.push_back(request.id);
  record->queued.push_back(queued);
  record->most_running = std::max(record->most_running, ++record->running);
  record->changed.notify_all();
  record->changed.wait(guard, [record] { return record->gate_open; });
  --record->running;
}

void push(WorkQueue* queue, int count) {
  for (int i = 1; i <= count; ++i) {
    QueuedRequest request;
    request.id = std::to_string(i);
    work_queue_push(queue, std::move(request));
  }
}

// Starts four workers held inside their requests, queues count requests and waits until all
// four workers are busy.
void start_held(WorkQueue* queue, Record* record, int count) {
  record->gate_open = false;
  work_queue_start(queue, 4, run_request, record);
  push(queue, count);
  std::unique_lock<std::mutex> guard(record->lock);
  record->changed.wait(guard, [record] { return record->running == 4; });
}

void open_gate(Record* record) {
  {
    std::lock_guard<std::mutex> guard(record->lock);
    record->gate_open = true;
  }
  record->changed.notify_all();
}

TEST(WorkQueue, FinishingRunsEveryRequestInOrder) {
  Record record;
  WorkQueue queue;
  start_held(&queue, &record, 9);
  open_gate(&record);
  work_queue_finish(&queue);
  ASSERT_EQ(record.started.size(), 9u);
  EXPECT_EQ(record.most_running, 4);
  // Requests 5 to 9 waited until a worker was free. Workers take the oldest entry, and the
  // queue count of a take is the number of entries not yet taken, itself included: request k
  // was taken with 10 - k queued.
  std::set<std::string> seen;
  for (size_t i = 0; i < record.started.size(); ++i) {
    seen.insert(record.started[i]);
    const int id = std::stoi(record.started[i]);
    if (id >= 5) {
      EXPECT_EQ(record.queued[i], static_cast<size_t>(10 - id)) << id;
    }
  }
  EXPECT_EQ(seen.size(), 9u);
}

TEST(WorkQueue, StoppingDropsWhatHasNotStarted) {
  Record record;
  WorkQueue queue;
  start_held(&queue, &record, 6);
  EXPECT_EQ(work_queue_stop(&queue), 4);
  push(&queue, 2);  // ignored once stopped
  open_gate(&record);
  work_queue_join(&queue);
  EXPECT_EQ(record.started.size(), 4u);
  EXPECT_EQ(work_queue_stop(&queue), 0);
}

}  // namespace
