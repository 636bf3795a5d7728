// The mapped-file back end (mode 2): every block is a file of its own size in the swap
// directory, mapped while locked. The disk space is reserved when the block is allocated, so a
// full disk is reported then instead of faulting on a write through the mapping later.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "memory/qvmem_internal.h"

using namespace qvmem_detail;

namespace {

struct MmapState {
  QvmemList blocks;  // every allocated block, for the shutdown
  std::mutex lock;   // guards the block list and the counters
  int64_t mapped_bytes = 0;
};

MmapState& state() {
  static MmapState instance;
  return instance;
}

uint64_t file_size_of(const QvmemBlock* block) {
  return block->size == 0 ? 1 : block->size;  // an empty mapping does not exist
}

bool reserve_file_space(int file, uint64_t size) {
  int error = posix_fallocate(file, 0, static_cast<off_t>(size));
  if (error == 0) return true;
  if (error != EOPNOTSUPP && error != EINVAL) return false;
  return ftruncate(file, static_cast<off_t>(size)) == 0;  // file system without reservation
}

void unmap_view(QvmemBlock* block) {
  if (!block->data) return;
  munmap(block->data, file_size_of(block));
  block->data = nullptr;
  state().mapped_bytes -= static_cast<int64_t>(block->size);
}

void release_block(QvmemBlock* block) {
  unmap_view(block);
  if (block->file >= 0) close(block->file);
  delete_swap_file(block, "mmap");
  list_remove(block);
  delete_block_record(block);
}

void mmap_init() {}

void mmap_shutdown() {
  std::lock_guard<std::mutex> guard(state().lock);
  while (state().blocks.head) release_block(state().blocks.head);
  state().blocks.highest_count = state().blocks.highest_bytes = 0;
}

int mmap_number() {
  return 2;
}

QvmemBlock* mmap_alloc(uint64_t size) {
  QvmemBlock* block = new_block_record(size);
  block->swap_directory = current_swap_directory();
  std::string name = swap_file_name(block, "mmap");
  block->file = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (block->file < 0) qvmem_fatal(kQvmemMmapCreateFailed);
  if (!reserve_file_space(block->file, file_size_of(block))) {
    qvmem_fatal(kQvmemMmapMappingFailed);
  }
  std::lock_guard<std::mutex> guard(state().lock);
  list_push_head(&state().blocks, block);
  return block;
}

void mmap_free(QvmemBlock* block) {
  if (!block) return;
  std::lock_guard<std::mutex> guard(state().lock);
  release_block(block);
}

void* mmap_lock(QvmemBlock* block) {
  if (!block) return nullptr;
  std::lock_guard<std::mutex> guard(state().lock);
  if (!block->data) {
    void* view =
        mmap(nullptr, file_size_of(block), PROT_READ | PROT_WRITE, MAP_SHARED, block->file, 0);
    if (view == MAP_FAILED) qvmem_fatal(kQvmemMmapViewFailed);
    block->data = static_cast<uint8_t*>(view);
    block->was_mapped = true;
    state().mapped_bytes += static_cast<int64_t>(block->size);
  }
  // The view stays until its last holder unlocks.
  block->lock_count += 1;
  return block->data;
}

void mmap_unlock(QvmemBlock* block) {
  if (!block) return;
  std::lock_guard<std::mutex> guard(state().lock);
  if (block->lock_count > 0 && --block->lock_count == 0) unmap_view(block);
}

uint64_t mmap_size(const QvmemBlock* block) {
  return block->size;
}
bool mmap_is_locked(const QvmemBlock* block) {
  return block->data != nullptr;
}
bool mmap_is_swapped(const QvmemBlock* block) {
  return block->was_mapped && !block->data;
}
bool mmap_is_new(const QvmemBlock* block) {
  return !block->was_mapped;
}

int64_t mmap_budget() {
  QvmemMemoryStatus status = memory_status();
  return std::min(status.available_physical, status.available_virtual);
}

}  // namespace

namespace qvmem_detail {

const QvmemOps kMode2Ops = {mmap_init,      mmap_shutdown,   mmap_number, mmap_alloc,
                            mmap_free,      mmap_lock,       mmap_unlock, mmap_size,
                            mmap_is_locked, mmap_is_swapped, mmap_is_new, mmap_budget};

void prepare_mmap_backend() {
  state();
}

int64_t mmap_resident_bytes() {
  return state().mapped_bytes;
}

}  // namespace qvmem_detail
