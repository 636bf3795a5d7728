// The virtual memory manager: lockable memory blocks that may live in swap files, so that images
// larger than memory can be held. A block commits memory only when it is first locked; unlocked
// blocks stay in memory as a cache and go to swap files, least recently unlocked first, when the
// memory budget runs short. Three back ends behind one table of operations, chosen once per
// process (until qvmem_shutdown):
//   mode 0  swap files, eviction on demand inside lock (installed by main at start-up)
//   mode 1  swap files, eviction by a background thread every 10 ms
//   mode 2  every block a memory-mapped file, paging left to the system
// Swap files are named "<dir>qvmem_<pid %04d>_<block id %08d>.<swap|mmap>". They are deleted when
// read back, when their block is freed, at process exit, after a fatal error and when the process
// is stopped by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <cstdint>
#include <string>

// One allocation. Fields are owned by the manager; clients use only the functions below.
struct QvmemBlock;

// The operations of one back end, in this order.
struct QvmemOps {
  void (*init)();                               // prepares the back end (locks, thread)
  void (*shutdown)();                           // frees every block, deletes its files
  int (*mode)();                                // 0, 1 or 2
  QvmemBlock* (*alloc)(uint64_t size);          // new block; nothing committed yet
  void (*free)(QvmemBlock* block);              // releases memory, file and record
  void* (*lock)(QvmemBlock* block);             // pointer to the bytes, or null (mode 0: locked)
  void (*unlock)(QvmemBlock* block);            // makes the block evictable again
  uint64_t (*size)(const QvmemBlock* block);    // block size in bytes
  bool (*is_locked)(const QvmemBlock* block);   // in use by a holder
  bool (*is_swapped)(const QvmemBlock* block);  // contents in a swap file
  bool (*is_new)(const QvmemBlock* block);      // never locked
  int64_t (*budget)();                          // bytes that may still be committed (may be < 0)
};

// Stores the swap directory when one is given (a "/" is appended when missing; null or empty
// keeps the current one). The first call of the process (or the first after qvmem_shutdown)
// installs the back end of the given mode (0, 1 or 2; anything else means 0), registers the exit
// shutdown and the stop-signal cleanup. Later calls change only the swap directory.
void qvmem_init(const char* swap_directory, int mode);

// Frees every block of every state, deleting their files, stops the mode-1 thread and uninstalls
// the back end. Runs at process exit by itself; a later qvmem_init may install a back end again.
void qvmem_shutdown();

// The installed back end's table; the functions below call through it. Installs mode 0 when no
// back end is installed yet, so library code and tests may use the manager without start-up code.
const QvmemOps* qvmem_ops();

inline int qvmem_mode() {
  return qvmem_ops()->mode();
}
inline QvmemBlock* qvmem_alloc(uint64_t size) {
  return qvmem_ops()->alloc(size);
}
inline void qvmem_free(QvmemBlock* block) {
  qvmem_ops()->free(block);
}
inline void* qvmem_lock(QvmemBlock* block) {
  return qvmem_ops()->lock(block);
}
inline void qvmem_unlock(QvmemBlock* block) {
  qvmem_ops()->unlock(block);
}
inline uint64_t qvmem_size(const QvmemBlock* block) {
  return qvmem_ops()->size(block);
}
inline bool qvmem_is_locked(const QvmemBlock* block) {
  return qvmem_ops()->is_locked(block);
}
inline bool qvmem_is_swapped(const QvmemBlock* block) {
  return qvmem_ops()->is_swapped(block);
}
inline bool qvmem_is_new(const QvmemBlock* block) {
  return qvmem_ops()->is_new(block);
}
inline int64_t qvmem_budget() {
  return qvmem_ops()->budget();
}

// The process's own memory limit in bytes (0: none), on top of the machine's memory and the
// control group's limit: the budget then treats the limit as the machine's whole memory, with
// the process's resident pages counting against it, and pages blocks out to swap files to stay
// within it. Without one, the budget follows the available memory of the machine (or of the
// control group the process runs in). Tools set it from -memlimit, or else from the environment
// variable QV_MEMORY_LIMIT (qvmem_limit_from_environment).
void qvmem_set_memory_limit(int64_t bytes);
int64_t qvmem_memory_limit();

// Bytes of a memory size text: a whole number with an optional unit K, M, G or T (powers of
// 1024; a trailing "B" or "iB" is allowed, case does not matter); a bare number means MB.
// -1 when the text is not such a size or is 0.
int64_t qvmem_parse_memory_size(const char* text);

// Sets the limit from QV_MEMORY_LIMIT when it holds a size; false (nothing changes) when the
// variable is unset, true when it was applied, and *bad is set when it holds something else.
bool qvmem_limit_from_environment(bool* bad);

// Mode 0: when on, one lock guards allocate, free, lock and unlock (eviction and swap-file input
// and output included). Off by default; the channel mode switches it on before its workers start.
void qvmem_set_thread_safe(bool on);
bool qvmem_thread_safe();

// The current swap directory ("" = the current working directory, else ending with "/").
std::string qvmem_swap_directory();

// The name of the block's swap (or mapped) file, whether or not it exists right now.
std::string qvmem_swap_file_name(const QvmemBlock* block);

// The process-wide serial number of the block (first block 1).
int32_t qvmem_block_id(const QvmemBlock* block);

// Memory figures of the system as the budget sees them, in bytes.
struct QvmemMemoryStatus {
  int64_t total_physical = 0;      // physical memory, limited by the control group's limit
  int64_t available_physical = 0;  // memory that can be had without swapping
  int64_t total_virtual = 0;       // user address space (or the address-space limit)
  int64_t available_virtual = 0;   // the part of it not yet mapped by the process
};

// Reads the figures from /proc/meminfo (sysinfo() as a fallback), the memory control group and
// the address-space limit.
QvmemMemoryStatus qvmem_query_memory_status();

// The system's figures as the budgets see them: read again once kQvmemStatusLifetimeNs have
// passed, and in between the last reading less the bytes the manager has committed since (plus
// what it released), so its own allocations count at once. A reading of /proc/meminfo costs tens
// of microseconds, and a loader commits thousands of tiles a second.
constexpr int64_t kQvmemStatusLifetimeNs = 10 * 1000 * 1000;

struct QvmemStatusCache {
  bool valid = false;
  int64_t taken_ns = 0;        // monotonic time of the last reading
  int64_t committed_then = 0;  // the manager's committed bytes at that time
  QvmemMemoryStatus status;    // the last reading
};

// The figures at time now_ns with `committed` bytes committed by the manager, from the cache or
// from read() (which then refills the cache).
QvmemMemoryStatus qvmem_cached_memory_status(QvmemStatusCache* cache, int64_t now_ns,
                                             int64_t committed, QvmemMemoryStatus (*read)());

// Replaces the source of the memory figures (tests use a small budget to force eviction);
// null restores the system query. The function may call qvmem_resident_bytes().
using QvmemStatusFn = QvmemMemoryStatus (*)(void* user);
void qvmem_set_memory_status_source(QvmemStatusFn source, void* user);

// The mode-0 budget for the given figures and U = bytes of locked and unlocked blocks.
int64_t qvmem_budget_for_status(const QvmemMemoryStatus& status, int64_t used_bytes);

// The mode-1 figures: free for allocation (never negative) and the eviction margin.
struct QvmemBackgroundFigures {
  int64_t free_for_allocation = 0;
  int64_t margin = 0;
};
QvmemBackgroundFigures qvmem_background_figures(const QvmemMemoryStatus& status);

// Block states, for the statistics below.
enum QvmemState { QVMEM_NEW, QVMEM_LOCKED, QVMEM_UNLOCKED, QVMEM_SWAPPED, QVMEM_BEING_SWAPPED };

// Count and byte total of one state list (modes 0 and 1), with the highest values reached.
struct QvmemListStats {
  int64_t count = 0;
  int64_t bytes = 0;
  int64_t highest_count = 0;
  int64_t highest_bytes = 0;
};
QvmemListStats qvmem_list_stats(QvmemState state);

// Bytes of blocks whose memory is committed (locked, unlocked and, in mode 1, being swapped).
int64_t qvmem_resident_bytes();

// Readies the memory of a few more blocks of `size` bytes on the calling thread, kept for the
// blocks locked next, while memory for fewer than `count` such blocks is there (blocks in use
// count too). So a thread with nothing else to do pays the kernel's page faults for blocks
// another thread is about to fill. False when nothing was readied: enough is there, the size
// does not share slabs (qvmem_slabs.cpp), mode 2, or no memory.
bool qvmem_warm_blocks(uint64_t size, int64_t count);

// Fatal error texts, printed as "qvmem - fatalerror - %s\n" before the process ends with 1.
extern const char* const kQvmemSaveFailed;         // a swap file could not be written
extern const char* const kQvmemLoadFailed;         // a swap file could not be read back
extern const char* const kQvmemListCorrupt;        // a never-locked block owns memory
extern const char* const kQvmemMmapCreateFailed;   // mode 2: backing file not created
extern const char* const kQvmemMmapMappingFailed;  // mode 2: file could not be sized
extern const char* const kQvmemMmapViewFailed;     // mode 2: view could not be mapped
extern const char* const kQvmemOutOfMemory;        // nothing left to evict, still no memory

// Prints the fatal line, deletes every swap file of the process and ends it with status 1.
[[noreturn]] void qvmem_fatal(const char* text);

// Deletes every swap file of the process and ends it at once with status, without the exit-time
// clean-up: for a process whose other threads may still hold blocks (the channel mode ending
// while conversions run, or losing its output pipe).
[[noreturn]] void qvmem_exit_now(int status);
