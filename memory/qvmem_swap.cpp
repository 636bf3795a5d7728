// The swap-file back ends. Mode 0 evicts on demand inside lock, guarded by one lock when the
// thread-safety switch is on. Mode 1 evicts from a background thread that checks the memory
// margin every 10 ms; a block on its way to the swap file is in the being-swapped list, and
// whoever needs it waits (polling, without a lock) until it has arrived in the swapped list.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "memory/qvmem_internal.h"

using namespace qvmem_detail;

namespace {

struct SwapState {
  QvmemList lists[5];    // indexed by QvmemState
  std::mutex list_lock;  // mode 0 with thread safety: everything; mode 1: list changes
  std::mutex io_lock;    // mode 1: swap-file input and output
  std::thread evictor;   // mode 1: the background eviction thread
  std::atomic<bool> stop_evictor{false};
};

SwapState& state() {
  static SwapState instance;
  return instance;
}

QvmemList* list_of(QvmemState which) {
  return &state().lists[which];
}

bool in_state(const QvmemBlock* block, QvmemState which) {
  return block->list == list_of(which);
}

void pause_10ms() {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Frees a block in any state but being swapped (the caller holds what guards the lists).
void free_block_now(QvmemBlock* block) {
  if (in_state(block, QVMEM_LOCKED) || in_state(block, QVMEM_UNLOCKED)) {
    release_memory(block->data, block->size);
    block->data = nullptr;
  } else if (in_state(block, QVMEM_SWAPPED)) {
    delete_swap_file(block, "swap");
  } else if (in_state(block, QVMEM_NEW) && block->data) {
    qvmem_fatal(kQvmemListCorrupt);
  }
  list_remove(block);
  delete_block_record(block);
}

void free_every_block() {
  for (QvmemList& list : state().lists) {
    while (list.head) free_block_now(list.head);
    list.highest_count = list.highest_bytes = 0;
  }
}

QvmemBlock* alloc_block(QvmemBlock* block, bool guarded) {
  std::unique_lock<std::mutex> guard(state().list_lock, std::defer_lock);
  if (guarded) guard.lock();
  list_push_head(list_of(QVMEM_NEW), block);
  return block;
}

uint64_t block_size(const QvmemBlock* block) {
  return block->size;
}
bool block_is_locked(const QvmemBlock* block) {
  return in_state(block, QVMEM_LOCKED);
}
bool block_is_swapped(const QvmemBlock* block) {
  return in_state(block, QVMEM_SWAPPED) || in_state(block, QVMEM_BEING_SWAPPED);
}
bool block_is_new(const QvmemBlock* block) {
  return in_state(block, QVMEM_NEW);
}

// ---- mode 0 ----

// Holds the list lock for one operation when the thread-safety switch is on.
struct Mode0Guard {
  std::unique_lock<std::mutex> lock;
  Mode0Guard() : lock(state().list_lock, std::defer_lock) {
    if (qvmem_thread_safe()) lock.lock();
  }
};

int64_t mode0_budget_locked() {
  int64_t used = list_of(QVMEM_LOCKED)->bytes + list_of(QVMEM_UNLOCKED)->bytes;
  return qvmem_budget_for_status(memory_status(), used);
}

// Writes the least recently unlocked block to its swap file and frees its memory.
void mode0_evict_oldest() {
  QvmemBlock* victim = list_of(QVMEM_UNLOCKED)->tail;
  if (!save_swap_file(victim)) qvmem_fatal(kQvmemSaveFailed);
  release_memory(victim->data, victim->size);
  victim->data = nullptr;
  list_move_head(list_of(QVMEM_SWAPPED), victim);
}

void mode0_init() {}

void mode0_shutdown() {
  Mode0Guard guard;
  free_every_block();
}

int mode0_number() {
  return 0;
}

QvmemBlock* mode0_alloc(uint64_t size) {
  return alloc_block(new_block_record(size), qvmem_thread_safe());
}

void mode0_free(QvmemBlock* block) {
  if (!block) return;
  Mode0Guard guard;
  free_block_now(block);
}

void* mode0_lock(QvmemBlock* block) {
  if (!block) return nullptr;
  Mode0Guard guard;
  if (in_state(block, QVMEM_LOCKED)) return nullptr;  // one holder at a time
  if (in_state(block, QVMEM_UNLOCKED)) {
    list_move_head(list_of(QVMEM_LOCKED), block);
    return block->data;
  }
  QvmemList* unlocked = list_of(QVMEM_UNLOCKED);
  while (unlocked->count > 0 && mode0_budget_locked() < static_cast<int64_t>(block->size)) {
    mode0_evict_oldest();
  }
  uint8_t* data = commit_memory(block->size);
  while (!data) {
    if (unlocked->count == 0) qvmem_fatal(kQvmemOutOfMemory);
    mode0_evict_oldest();
    data = commit_memory(block->size);
  }
  block->data = data;
  if (in_state(block, QVMEM_SWAPPED) && !load_swap_file(block)) qvmem_fatal(kQvmemLoadFailed);
  list_move_head(list_of(QVMEM_LOCKED), block);
  return block->data;
}

void mode0_unlock(QvmemBlock* block) {
  if (!block) return;
  Mode0Guard guard;
  // Only a block in memory can become evictable; anything else has nothing to cache.
  if (in_state(block, QVMEM_LOCKED)) list_move_head(list_of(QVMEM_UNLOCKED), block);
}

int64_t mode0_budget() {
  Mode0Guard guard;
  return mode0_budget_locked();
}

// ---- mode 1 ----

// Under the list lock, so that a memory-status source may read the list totals.
QvmemBackgroundFigures mode1_figures() {
  std::lock_guard<std::mutex> guard(state().list_lock);
  return qvmem_background_figures(memory_status());
}

// Moves the least recently unlocked block through being-swapped to swapped; false when there
// was none. Used by the thread and by lock alike.
bool mode1_evict_oldest() {
  SwapState& s = state();
  QvmemBlock* victim = nullptr;
  {
    std::lock_guard<std::mutex> guard(s.list_lock);
    victim = list_of(QVMEM_UNLOCKED)->tail;
    if (!victim) return false;
    list_move_head(list_of(QVMEM_BEING_SWAPPED), victim);
  }
  {
    std::lock_guard<std::mutex> guard(s.io_lock);
    if (!save_swap_file(victim)) qvmem_fatal(kQvmemSaveFailed);
  }
  std::lock_guard<std::mutex> guard(s.list_lock);
  release_memory(victim->data, victim->size);
  victim->data = nullptr;
  list_move_head(list_of(QVMEM_SWAPPED), victim);
  return true;
}

void mode1_evictor_loop() {
  while (!state().stop_evictor.load()) {
    while (!state().stop_evictor.load() && mode1_figures().margin < 0 && mode1_evict_oldest()) {
    }
    pause_10ms();
  }
}

void mode1_init() {
  state().stop_evictor.store(false);
  state().evictor = std::thread(mode1_evictor_loop);
}

void mode1_shutdown() {
  SwapState& s = state();
  s.stop_evictor.store(true);
  if (s.evictor.joinable()) s.evictor.join();
  std::lock_guard<std::mutex> guard(s.list_lock);
  free_every_block();
}

int mode1_number() {
  return 1;
}

QvmemBlock* mode1_alloc(uint64_t size) {
  return alloc_block(new_block_record(size), true);
}

// Waits, without a lock, until the block has left the being-swapped list; returns with the
// list lock held.
std::unique_lock<std::mutex> mode1_wait_until_settled(const QvmemBlock* block) {
  std::unique_lock<std::mutex> guard(state().list_lock);
  while (in_state(block, QVMEM_BEING_SWAPPED)) {
    guard.unlock();
    pause_10ms();
    guard.lock();
  }
  return guard;
}

void mode1_free(QvmemBlock* block) {
  if (!block) return;
  std::unique_lock<std::mutex> guard = mode1_wait_until_settled(block);
  free_block_now(block);
}

void* mode1_lock(QvmemBlock* block) {
  if (!block) return nullptr;
  for (;;) {
    std::unique_lock<std::mutex> guard = mode1_wait_until_settled(block);
    if (in_state(block, QVMEM_LOCKED) || in_state(block, QVMEM_UNLOCKED)) {
      // Several holders may share a block; it becomes evictable when the last one unlocks.
      block->lock_count += 1;
      list_move_head(list_of(QVMEM_LOCKED), block);
      return block->data;
    }
    guard.unlock();
    while (mode1_figures().free_for_allocation < static_cast<int64_t>(block->size) &&
           mode1_evict_oldest()) {
    }
    guard.lock();
    if (!in_state(block, QVMEM_NEW) && !in_state(block, QVMEM_SWAPPED)) continue;
    uint8_t* data = commit_memory(block->size);
    if (!data) {
      guard.unlock();
      if (!mode1_evict_oldest()) qvmem_fatal(kQvmemOutOfMemory);
      continue;
    }
    block->data = data;
    if (in_state(block, QVMEM_SWAPPED)) {
      std::lock_guard<std::mutex> io_guard(state().io_lock);
      if (!load_swap_file(block)) qvmem_fatal(kQvmemLoadFailed);
    }
    block->lock_count = 1;
    list_move_head(list_of(QVMEM_LOCKED), block);
    return block->data;
  }
}

void mode1_unlock(QvmemBlock* block) {
  if (!block) return;
  std::lock_guard<std::mutex> guard(state().list_lock);
  if (!in_state(block, QVMEM_LOCKED)) return;
  block->lock_count -= 1;
  if (block->lock_count <= 0) {
    block->lock_count = 0;
    list_move_head(list_of(QVMEM_UNLOCKED), block);
  }
}

int64_t mode1_budget() {
  return mode1_figures().free_for_allocation;
}

}  // namespace

namespace qvmem_detail {

const QvmemOps kMode0Ops = {mode0_init,      mode0_shutdown,   mode0_number, mode0_alloc,
                            mode0_free,      mode0_lock,       mode0_unlock, block_size,
                            block_is_locked, block_is_swapped, block_is_new, mode0_budget};

const QvmemOps kMode1Ops = {mode1_init,      mode1_shutdown,   mode1_number, mode1_alloc,
                            mode1_free,      mode1_lock,       mode1_unlock, block_size,
                            block_is_locked, block_is_swapped, block_is_new, mode1_budget};

void prepare_swap_backends() {
  state();
}

QvmemListStats swap_list_stats(QvmemState which) {
  std::lock_guard<std::mutex> guard(state().list_lock);
  const QvmemList* list = list_of(which);
  return {list->count, list->bytes, list->highest_count, list->highest_bytes};
}

int64_t swap_resident_bytes() {
  // Called from memory-status sources inside lock, so it must not take the list lock; a torn
  // read under concurrent changes only shifts the budget by one block.
  const SwapState& s = state();
  return s.lists[QVMEM_LOCKED].bytes + s.lists[QVMEM_UNLOCKED].bytes +
         s.lists[QVMEM_BEING_SWAPPED].bytes;
}

}  // namespace qvmem_detail
