// Block memory of tile size, carved out of 2 MiB slabs. An image of 128-pixel tiles commits
// thousands of 64 KiB blocks; a mapping of its own for each costs a system call to map it, one to
// unmap it (with a flush of the other cores' address caches once threads run) and sixteen page
// table entries. Slabs are aligned to 2 MiB and offered to the kernel for huge pages, so a slab
// is one fault and one address-cache entry, and a released block goes back to its slab for the
// next block of its size instead of to the system. A slab that empties is unmapped, except a few
// per size kept for the next blocks: an image read as a stream gives back a band of tiles just
// before it fills the next one, and its pages are then used again instead of faulted in fresh.
// A thread with nothing else to do may also ready empty slabs ahead of need (slab_warm), so the
// thread that fills the blocks does not pay their page faults.
#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "memory/qvmem_internal.h"

namespace qvmem_detail {

namespace {

constexpr uint64_t kSlabBytes = uint64_t(2) << 20;
constexpr uint64_t kPage = 4096;
constexpr size_t kSparesPerSize = 4;

struct Slab {
  uint8_t* base = nullptr;
  uint64_t chunk = 0;               // bytes of each piece (a multiple of the page size)
  std::vector<uint32_t> free_list;  // pieces not handed out
  uint32_t pieces = 0;
};

struct SlabPool {
  std::mutex mutex;
  std::unordered_map<uintptr_t, Slab*> by_base;              // every slab by its address
  std::unordered_map<uint64_t, std::vector<Slab*>> partial;  // slabs with free pieces, by size
  std::unordered_map<uint64_t, std::vector<Slab*>> spare;    // empty slabs kept, by size
  std::unordered_map<uint64_t, int64_t> mapped;              // slabs by size, readied ones too
};

SlabPool& pool() {
  static SlabPool* instance = new SlabPool;  // outlives the exit-time shutdown of the blocks
  return *instance;
}

uint64_t chunk_for(uint64_t size) {
  return (size + kPage - 1) / kPage * kPage;
}

// A fresh slab aligned to its own size; null when the system has no memory left.
Slab* map_slab(uint64_t chunk) {
  void* mapped = mmap(nullptr, 2 * kSlabBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kSlabBytes - 1) & ~(kSlabBytes - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const uintptr_t end = start + 2 * kSlabBytes;
  if (end > aligned + kSlabBytes) {
    munmap(reinterpret_cast<void*>(aligned + kSlabBytes), end - aligned - kSlabBytes);
  }
  madvise(reinterpret_cast<void*>(aligned), kSlabBytes, MADV_HUGEPAGE);
  Slab* slab = new Slab;
  slab->base = reinterpret_cast<uint8_t*>(aligned);
  slab->chunk = chunk;
  slab->pieces = static_cast<uint32_t>(kSlabBytes / chunk);
  slab->free_list.reserve(slab->pieces);
  // Handed out from the start of the slab, so a part-used slab touches only its first pages.
  for (uint32_t piece = slab->pieces; piece-- > 0;) slab->free_list.push_back(piece);
  return slab;
}

// Faults a slab's pages in, as the first writes to its blocks would.
void populate_slab(Slab* slab) {
  volatile uint8_t* bytes = slab->base;
  for (uint64_t offset = 0; offset < kSlabBytes; offset += kPage) bytes[offset] = 0;
}

void unmap_slab(Slab* slab) {
  munmap(slab->base, kSlabBytes);
  delete slab;
}

void remove_partial(std::vector<Slab*>* list, Slab* slab) {
  for (size_t i = 0; i < list->size(); ++i) {
    if ((*list)[i] == slab) {
      (*list)[i] = list->back();
      list->pop_back();
      return;
    }
  }
}

}  // namespace

bool slab_size(uint64_t size) {
  return size >= kPage && size <= kSlabBytes / 4;
}

uint8_t* slab_take(uint64_t size) {
  const uint64_t chunk = chunk_for(size);
  SlabPool& slabs = pool();
  std::lock_guard<std::mutex> guard(slabs.mutex);
  std::vector<Slab*>& partial = slabs.partial[chunk];
  if (partial.empty()) {
    Slab* slab = nullptr;
    std::vector<Slab*>& spare = slabs.spare[chunk];
    if (!spare.empty()) {
      slab = spare.back();
      spare.pop_back();
    } else {
      slab = map_slab(chunk);
      if (!slab) return nullptr;
      slabs.by_base[reinterpret_cast<uintptr_t>(slab->base)] = slab;
      ++slabs.mapped[chunk];
    }
    partial.push_back(slab);
  }
  Slab* slab = partial.back();
  const uint32_t piece = slab->free_list.back();
  slab->free_list.pop_back();
  if (slab->free_list.empty()) partial.pop_back();
  return slab->base + uint64_t{piece} * chunk;
}

void slab_give(uint8_t* data) {
  SlabPool& slabs = pool();
  std::lock_guard<std::mutex> guard(slabs.mutex);
  const uintptr_t base = reinterpret_cast<uintptr_t>(data) & ~(kSlabBytes - 1);
  Slab* slab = slabs.by_base.at(base);
  const uint64_t chunk = slab->chunk;
  std::vector<Slab*>& partial = slabs.partial[chunk];
  if (slab->free_list.empty()) partial.push_back(slab);
  slab->free_list.push_back(static_cast<uint32_t>((data - slab->base) / chunk));
  if (slab->free_list.size() < slab->pieces) return;
  // Empty: kept as a spare of its size, or given back to the system.
  remove_partial(&partial, slab);
  std::vector<Slab*>& spare = slabs.spare[chunk];
  if (spare.size() < kSparesPerSize) {
    spare.push_back(slab);
    return;
  }
  slabs.by_base.erase(base);
  --slabs.mapped[chunk];
  unmap_slab(slab);
}

bool slab_warm(uint64_t size, int64_t blocks) {
  const uint64_t chunk = chunk_for(size);
  const int64_t per_slab = static_cast<int64_t>(kSlabBytes / chunk);
  SlabPool& slabs = pool();
  {
    std::lock_guard<std::mutex> guard(slabs.mutex);
    if (slabs.mapped[chunk] * per_slab >= blocks) return false;
    ++slabs.mapped[chunk];
  }
  // Mapped and faulted in outside the lock, while other threads take and give blocks.
  Slab* slab = map_slab(chunk);
  if (slab) populate_slab(slab);
  std::lock_guard<std::mutex> guard(slabs.mutex);
  if (!slab) {
    --slabs.mapped[chunk];
    return false;
  }
  slabs.by_base[reinterpret_cast<uintptr_t>(slab->base)] = slab;
  slabs.spare[chunk].push_back(slab);
  return true;
}

}  // namespace qvmem_detail
