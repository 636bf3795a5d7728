// A memory-status source for tests: the budget becomes `limit` bytes minus what the manager
// holds in memory, so eviction happens after a few small blocks instead of gigabytes.
#pragma once

#include <atomic>
#include <cstdint>

#include "memory/qvmem.h"

struct TinyBudget {
  std::atomic<int64_t> limit{0};  // bytes the manager may keep in memory
};

// Mode 0 subtracts a reserve of 10 % of the total (here 107374182 bytes for 1 GiB) from the
// available figure; mode 1 with a total of 0 uses the available figure as it is.
inline QvmemMemoryStatus tiny_budget_status(void* user) {
  const auto* budget = static_cast<const TinyBudget*>(user);
  QvmemMemoryStatus status;
  int64_t left = budget->limit.load() - qvmem_resident_bytes();
  bool mode0 = qvmem_mode() == 0;
  int64_t total = mode0 ? int64_t(1) << 30 : 0;
  int64_t reserve = mode0 ? 107374182 : 0;
  status.total_physical = status.total_virtual = total;
  status.available_physical = status.available_virtual = reserve + left;
  return status;
}

// Installs the budget for the lifetime of the object.
struct ScopedTinyBudget {
  TinyBudget budget;
  explicit ScopedTinyBudget(int64_t limit) {
    budget.limit.store(limit);
    qvmem_set_memory_status_source(tiny_budget_status, &budget);
  }
  ~ScopedTinyBudget() { qvmem_set_memory_status_source(nullptr, nullptr); }
  ScopedTinyBudget(const ScopedTinyBudget&) = delete;
  ScopedTinyBudget& operator=(const ScopedTinyBudget&) = delete;
};
