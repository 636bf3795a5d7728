// Parts of the virtual memory manager shared by its back ends: the block record, the state
// lists, block memory, swap files and the memory figures.
#pragma once

#include <cstdint>
#include <string>

#include "memory/qvmem.h"

struct QvmemList;

// One allocation (see qvmem.h). The fields used depend on the back end.
struct QvmemBlock {
  uint8_t* data = nullptr;         // the block's memory while it is in memory, else null
  uint64_t size = 0;               // block size in bytes
  int32_t id = 0;                  // process-wide serial number; names the swap file
  QvmemBlock* previous = nullptr;  // links in the list of the block's state
  QvmemBlock* next = nullptr;
  QvmemList* list = nullptr;                    // the list the block is in, i.e. its state
  const std::string* swap_directory = nullptr;  // folder of its swap or mapped file
  int32_t lock_count = 0;                       // modes 1 and 2: holders of the lock
  int file = -1;                                // mode 2: descriptor of the mapped file
  bool was_mapped = false;                      // mode 2: a view has been mapped at least once
};

// A state list: new entries at the head, so the tail is the oldest.
struct QvmemList {
  QvmemBlock* head = nullptr;
  QvmemBlock* tail = nullptr;
  int64_t count = 0;
  int64_t bytes = 0;
  int64_t highest_count = 0;
  int64_t highest_bytes = 0;
};

namespace qvmem_detail {

// Puts a block that is in no list at the head of list.
void list_push_head(QvmemList* list, QvmemBlock* block);
// Takes a block out of its list (no-op when it is in none).
void list_remove(QvmemBlock* block);
// Moves a block from its list to the head of list.
void list_move_head(QvmemList* list, QvmemBlock* block);

// A new block record with the next serial number, in no list.
QvmemBlock* new_block_record(uint64_t size);
// Releases a record that is in no list and owns nothing.
void delete_block_record(QvmemBlock* block);

// The current swap directory, as a string that lives until the process ends.
const std::string* current_swap_directory();
// Name of the block's file in its swap directory with the extension "swap" or "mmap".
std::string swap_file_name(const QvmemBlock* block, const char* extension);

// The memory figures: the injected source, else the system's.
QvmemMemoryStatus memory_status();

// Tile-sized block memory (qvmem_slabs.cpp): blocks of a page up to half a MiB come from 2 MiB
// slabs of blocks of their size, offered to the kernel for huge pages.
bool slab_size(uint64_t size);
uint8_t* slab_take(uint64_t size);  // null when no slab can be mapped
void slab_give(uint8_t* data);      // data came from slab_take
// Maps and faults in one empty slab of the size, kept until taken, while the slabs of that size
// hold fewer than `blocks` blocks; false when none was needed or none could be mapped.
bool slab_warm(uint64_t size, int64_t blocks);

// Block memory: tile-sized blocks from the slabs above, large blocks their own anonymous mapping, so that releasing one returns it
// to the system at once and the next budget query sees it. Null when none can be had.
uint8_t* commit_memory(uint64_t size);
void release_memory(uint8_t* data, uint64_t size);

// Writes the block's bytes to its swap file in the current swap directory; prints the failure
// to standard error and returns false when the file cannot be created or fully written.
bool save_swap_file(QvmemBlock* block);
// Reads the swap file back into block->data and deletes it; true when every byte was read.
bool load_swap_file(QvmemBlock* block);
// Deletes the block's swap file, if any.
void delete_swap_file(const QvmemBlock* block, const char* extension);

// The back-end tables.
extern const QvmemOps kMode0Ops;
extern const QvmemOps kMode1Ops;
extern const QvmemOps kMode2Ops;

// Builds the back ends' process-wide state before the exit shutdown is registered, so that it
// outlives that shutdown.
void prepare_swap_backends();
void prepare_mmap_backend();

// Statistics of the swap back ends (zero for mode 2).
QvmemListStats swap_list_stats(QvmemState state);
int64_t swap_resident_bytes();
int64_t mmap_resident_bytes();

}  // namespace qvmem_detail
