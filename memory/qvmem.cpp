// The manager's process-wide part: settings, installing a back end, exit and stop-signal
// clean-up, fatal errors, block records and lists, block memory, swap files and the budget.
//
// Clean-up on a stop signal must not touch the block lists (the signal may arrive in the middle
// of a list change), so it scans the swap directories for this process's files instead: every
// directory ever used is published in a fixed table that the handler reads without locks.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "base/console.h"
#include "memory/qvmem_internal.h"

const char* const kQvmemSaveFailed = "qvmem_sys_saveswapdata() failed";
const char* const kQvmemLoadFailed = "qvmem_sys_loadswapdata() failed";
const char* const kQvmemListCorrupt = "qvmem_free() - ml_res list corrupt";
const char* const kQvmemMmapCreateFailed = "qvmem_mmap_alloc - CreateFile() failed";
const char* const kQvmemMmapMappingFailed = "qvmem_mmap_alloc - CreateFileMapping() failed";
const char* const kQvmemMmapViewFailed = "qvmem_mmap_getmem - MapViewOfFile() failed";
const char* const kQvmemOutOfMemory = "qvmem_getmem() - out of memory";

namespace {

constexpr int64_t kMiB = 1024 * 1024;
// The user address space of the 64-bit process (47 bits) caps the memory figures.
constexpr int64_t kAddressSpace = int64_t(1) << 47;
// Blocks of at least this size (and above the slab sizes) get their own mapping.
constexpr uint64_t kOwnMappingSize = 4096;
// Swap directories the stop-signal clean-up can know about.
constexpr int kCleanupDirectories = 64;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Bytes of block memory committed and not yet released, for the cached memory figures.
std::atomic<int64_t> committed_bytes{0};

// What the stop-signal handler reads: constant-initialised, written before it is armed.
struct CleanupTable {
  std::atomic<const char*> directories[kCleanupDirectories] = {};
  std::atomic<int> directory_count{0};
  char prefix[32] = {};               // "qvmem_%04d_" of this process
  std::atomic<int> owner_pid{0};      // the process whose files these are
  struct sigaction previous[3] = {};  // handlers replaced for kStopSignals
  std::atomic<bool> fatal{false};     // a fatal error is ending the process
};
CleanupTable cleanup_table;

struct Settings {
  std::mutex mutex;                         // guards installation and the directory list
  std::deque<std::string> directories{""};  // every swap directory used; never shrinks
  std::atomic<const std::string*> current_directory{nullptr};
  std::atomic<const QvmemOps*> ops{nullptr};
  std::atomic<bool> thread_safe{false};
  std::atomic<int32_t> next_block_id{1};
  std::atomic<QvmemStatusFn> status_source{nullptr};
  std::atomic<void*> status_user{nullptr};
  std::atomic<int64_t> cgroup_limit{-2};  // control-group memory limit; -1 none, -2 not read
  std::atomic<int64_t> memory_limit{0};   // the process's own limit in bytes; 0 none
  bool exit_hook_registered = false;
  bool signals_installed = false;
};

Settings& settings() {
  static Settings instance;
  return instance;
}

// Publishes a directory for the signal clean-up (the first kCleanupDirectories ones).
void publish_cleanup_directory(const std::string* directory) {
  int index = cleanup_table.directory_count.load();
  for (int i = 0; i < index; ++i) {
    if (cleanup_table.directories[i].load() == directory->c_str()) return;
  }
  if (index >= kCleanupDirectories) return;
  cleanup_table.directories[index].store(directory->c_str());
  cleanup_table.directory_count.store(index + 1);
}

// Makes dir the current swap directory; called with the settings mutex held.
void set_swap_directory_locked(Settings& s, const char* dir) {
  std::string text = dir;
  if (text.back() != '/') text += '/';
  const std::string* found = nullptr;
  for (const std::string& known : s.directories) {
    if (known == text) found = &known;
  }
  if (!found) {
    s.directories.push_back(text);
    found = &s.directories.back();
  }
  s.current_directory.store(found);
}

struct LinuxDirent64 {
  uint64_t inode;
  int64_t offset;
  unsigned short record_length;
  unsigned char type;
  char name[1];
};

bool is_own_swap_file(const char* name) {
  size_t prefix_length = strlen(cleanup_table.prefix);
  if (strncmp(name, cleanup_table.prefix, prefix_length) != 0) return false;
  size_t length = strlen(name);
  if (length < prefix_length + 5) return false;
  const char* extension = name + length - 5;
  return strcmp(extension, ".swap") == 0 || strcmp(extension, ".mmap") == 0;
}

// Deletes this process's swap and mapped files in one folder. Async-signal-safe: raw system
// calls, no allocation. Repeats until a pass deletes nothing, since deleting while listing may
// skip entries.
void delete_swap_files_in(const char* directory) {
  int folder = open(directory[0] ? directory : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  alignas(8) char buffer[8192];
  for (int pass = 0; pass < 8; ++pass) {
    int deleted = 0;
    lseek(folder, 0, SEEK_SET);
    for (;;) {
      long bytes = syscall(SYS_getdents64, folder, buffer, sizeof(buffer));
      if (bytes <= 0) break;
      for (long position = 0; position < bytes;) {
        const auto* entry = reinterpret_cast<const LinuxDirent64*>(buffer + position);
        if (is_own_swap_file(entry->name) && unlinkat(folder, entry->name, 0) == 0) ++deleted;
        position += entry->record_length;
      }
    }
    if (deleted == 0) break;
  }
  close(folder);
}

void delete_all_swap_files() {
  if (cleanup_table.owner_pid.load() != getpid()) return;
  int count = cleanup_table.directory_count.load();
  for (int i = 0; i < count; ++i) {
    const char* directory = cleanup_table.directories[i].load();
    if (directory) delete_swap_files_in(directory);
  }
}

int stop_signal_index(int signal_number) {
  for (int i = 0; i < 3; ++i) {
    if (kStopSignals[i] == signal_number) return i;
  }
  return -1;
}

// A stop signal: when it would end the process, delete the swap files first and then end it the
// way the signal does; a handler installed before ours decides on its own.
void on_stop_signal(int signal_number, siginfo_t* info, void* context) {
  int index = stop_signal_index(signal_number);
  if (index < 0) return;
  const struct sigaction& previous = cleanup_table.previous[index];
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction) {
      previous.sa_sigaction(signal_number, info, context);
      return;
    }
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    return;
  }
  int saved_errno = errno;
  delete_all_swap_files();
  signal(signal_number, SIG_DFL);
  raise(signal_number);
  errno = saved_errno;
}

void install_stop_signal_handlers() {
  for (int i = 0; i < 3; ++i) {
    struct sigaction current = {};
    if (sigaction(kStopSignals[i], nullptr, &current) != 0) continue;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) continue;
    cleanup_table.previous[i] = current;
    struct sigaction action = {};
    action.sa_sigaction = on_stop_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(kStopSignals[i], &action, nullptr);
  }
}

void shutdown_at_exit() {
  if (cleanup_table.fatal.load() || cleanup_table.owner_pid.load() != getpid()) return;
  qvmem_shutdown();
}

// Reads one number (bytes) from a small file such as a control-group limit; -1 when absent.
int64_t read_number_file(const char* path) {
  int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return -1;
  char text[64] = {};
  ssize_t bytes = read(file, text, sizeof(text) - 1);
  close(file);
  if (bytes <= 0 || text[0] < '0' || text[0] > '9') return -1;  // also "max"
  return strtoll(text, nullptr, 10);
}

// The memory limit of the control group the process runs in: the smallest limit on its path, read
// from the group's own folder and every folder above it (cgroup v2 "memory.max", v1
// "memory.limit_in_bytes"); -1 when there is none. A scope started with a limit
// (systemd-run -p MemoryMax=…) puts the process in a group below the root, so the root's own
// file alone would miss it.
int64_t limit_on_path(const std::string& root, const std::string& path, const char* file) {
  int64_t smallest = -1;
  std::string folder = path;
  for (;;) {
    const int64_t limit = read_number_file((root + folder + "/" + file).c_str());
    // v1 writes "no limit" as a number near 2^63.
    if (limit > 0 && limit < (int64_t(1) << 60) && (smallest < 0 || limit < smallest)) {
      smallest = limit;
    }
    if (folder.empty() || folder == "/") break;
    const size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos || slash == 0 ? std::string() : folder.substr(0, slash);
  }
  return smallest;
}

int64_t control_group_limit() {
  int64_t smallest = -1;
  const auto take = [&smallest](int64_t limit) {
    if (limit > 0 && (smallest < 0 || limit < smallest)) smallest = limit;
  };
  int file = open("/proc/self/cgroup", O_RDONLY | O_CLOEXEC);
  if (file >= 0) {
    char text[4096] = {};
    ssize_t bytes = read(file, text, sizeof(text) - 1);
    close(file);
    // Lines "ID:CONTROLLERS:PATH": v2 has "0::PATH", v1 names "memory" among the controllers.
    const char* line = text;
    while (bytes > 0 && *line) {
      const char* end = strchr(line, '\n');
      std::string entry(line, end ? static_cast<size_t>(end - line) : strlen(line));
      const size_t first = entry.find(':');
      const size_t second = first == std::string::npos ? first : entry.find(':', first + 1);
      if (second != std::string::npos) {
        const std::string controllers = entry.substr(first + 1, second - first - 1);
        std::string path = entry.substr(second + 1);
        if (path == "/") path.clear();
        if (controllers.empty()) {
          take(limit_on_path("/sys/fs/cgroup", path, "memory.max"));
          take(limit_on_path("/sys/fs/cgroup/unified", path, "memory.max"));
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
          take(limit_on_path("/sys/fs/cgroup/memory", path, "memory.limit_in_bytes"));
        }
      }
      if (!end) break;
      line = end + 1;
    }
  }
  take(read_number_file("/sys/fs/cgroup/memory.max"));
  const int64_t v1 = read_number_file("/sys/fs/cgroup/memory/memory.limit_in_bytes");
  if (v1 < (int64_t(1) << 60)) take(v1);
  return smallest;
}

// Value in bytes of a "Key:   123 kB" line of /proc/meminfo text, -1 when missing.
int64_t meminfo_value(const char* text, const char* key) {
  const char* line = strstr(text, key);
  if (!line) return -1;
  return strtoll(line + strlen(key), nullptr, 10) * 1024;
}

// Field `index` (0: the size of the address space, 1: the pages in memory) of /proc/self/statm,
// in bytes; 0 when it cannot be read.
int64_t process_pages_in_bytes(int index) {
  int file = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (file < 0) return 0;
  char text[128] = {};
  ssize_t bytes = read(file, text, sizeof(text) - 1);
  close(file);
  if (bytes <= 0) return 0;
  const char* field = text;
  char* end = nullptr;
  long long pages = strtoll(field, &end, 10);
  for (int i = 0; i < index; ++i) pages = strtoll(end, &end, 10);
  return pages * sysconf(_SC_PAGESIZE);
}

// What a memory limit charges to the process: its pages in memory.
int64_t resident_bytes_of_process() {
  return process_pages_in_bytes(1);
}

int64_t mapped_bytes_of_process() {
  return process_pages_in_bytes(0);
}

}  // namespace

void qvmem_init(const char* swap_directory, int mode) {
  Settings& s = settings();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (!s.current_directory.load()) s.current_directory.store(&s.directories.front());
  if (swap_directory && swap_directory[0]) set_swap_directory_locked(s, swap_directory);
  publish_cleanup_directory(s.current_directory.load());
  if (s.ops.load()) return;

  if (cleanup_table.owner_pid.load() != getpid()) {
    snprintf(cleanup_table.prefix, sizeof(cleanup_table.prefix), "qvmem_%04d_",
             static_cast<int>(getpid()));
    cleanup_table.owner_pid.store(getpid());
  }
  qvmem_detail::prepare_swap_backends();
  qvmem_detail::prepare_mmap_backend();
  const QvmemOps* ops = mode == 1   ? &qvmem_detail::kMode1Ops
                        : mode == 2 ? &qvmem_detail::kMode2Ops
                                    : &qvmem_detail::kMode0Ops;
  ops->init();
  s.ops.store(ops);
  if (!s.exit_hook_registered) {
    atexit(shutdown_at_exit);
    s.exit_hook_registered = true;
  }
  if (!s.signals_installed) {
    install_stop_signal_handlers();
    s.signals_installed = true;
  }
}

void qvmem_shutdown() {
  Settings& s = settings();
  std::lock_guard<std::mutex> guard(s.mutex);
  // The table stays installed while the back end shuts down: the mode-1 thread may still ask
  // for the memory figures until it has stopped.
  const QvmemOps* ops = s.ops.load();
  if (ops) ops->shutdown();
  s.ops.store(nullptr);
  s.thread_safe.store(false);
  s.current_directory.store(&s.directories.front());
}

const QvmemOps* qvmem_ops() {
  const QvmemOps* ops = settings().ops.load(std::memory_order_acquire);
  if (ops) return ops;
  qvmem_init(nullptr, 0);
  return settings().ops.load();
}

void qvmem_set_thread_safe(bool on) {
  settings().thread_safe.store(on);
}

bool qvmem_thread_safe() {
  return settings().thread_safe.load(std::memory_order_relaxed);
}

std::string qvmem_swap_directory() {
  return *qvmem_detail::current_swap_directory();
}

std::string qvmem_swap_file_name(const QvmemBlock* block) {
  return qvmem_detail::swap_file_name(block, qvmem_mode() == 2 ? "mmap" : "swap");
}

int32_t qvmem_block_id(const QvmemBlock* block) {
  return block->id;
}

void qvmem_fatal(const char* text) {
  cleanup_table.fatal.store(true);
  // Written directly: this may come when memory has run out, and a console record could not
  // grow its buffer then.
  printf("qvmem - fatalerror - %s\n", text);
  fflush(nullptr);
  delete_all_swap_files();
  // Other threads may still hold blocks, so no further clean-up runs: the files are gone and
  // the system takes back the memory.
  _exit(1);
}

void qvmem_exit_now(int status) {
  cleanup_table.fatal.store(true);
  fflush(nullptr);
  delete_all_swap_files();
  _exit(status);
}

QvmemMemoryStatus qvmem_query_memory_status() {
  QvmemMemoryStatus status;
  int64_t total = -1;
  int64_t available = -1;
  int file = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (file >= 0) {
    char text[4096] = {};
    ssize_t bytes = read(file, text, sizeof(text) - 1);
    close(file);
    if (bytes > 0) {
      total = meminfo_value(text, "MemTotal:");
      available = meminfo_value(text, "MemAvailable:");
    }
  }
  if (total < 0 || available < 0) {
    struct sysinfo info = {};
    if (sysinfo(&info) == 0) {
      total = int64_t(info.totalram) * info.mem_unit;
      available = (int64_t(info.freeram) + int64_t(info.bufferram)) * info.mem_unit;
    }
  }
  if (total < 0) total = 0;
  if (available < 0) available = 0;
  int64_t limit = settings().cgroup_limit.load();
  if (limit == -2) {
    limit = control_group_limit();
    settings().cgroup_limit.store(limit);
  }
  const int64_t own_limit = settings().memory_limit.load();
  if (own_limit > 0 && (limit <= 0 || own_limit < limit)) limit = own_limit;
  if (limit > 0 && limit < total) {
    // Under a limit (the control group's or the process's own) the process's own resident
    // pages count against it.
    total = limit;
    int64_t left = limit - resident_bytes_of_process();
    if (left < available) available = left > 0 ? left : 0;
  }
  status.total_physical = total;
  status.available_physical = available;

  status.total_virtual = kAddressSpace;
  struct rlimit address_limit = {};
  if (getrlimit(RLIMIT_AS, &address_limit) == 0 && address_limit.rlim_cur != RLIM_INFINITY &&
      int64_t(address_limit.rlim_cur) < kAddressSpace) {
    status.total_virtual = int64_t(address_limit.rlim_cur);
    int64_t left = status.total_virtual - mapped_bytes_of_process();
    status.available_virtual = left > 0 ? left : 0;
  } else {
    status.available_virtual = kAddressSpace;
  }
  return status;
}

QvmemMemoryStatus qvmem_cached_memory_status(QvmemStatusCache* cache, int64_t now_ns,
                                             int64_t committed, QvmemMemoryStatus (*read)()) {
  if (!cache->valid || now_ns - cache->taken_ns >= kQvmemStatusLifetimeNs ||
      now_ns < cache->taken_ns) {
    cache->status = read();
    cache->taken_ns = now_ns;
    cache->committed_then = committed;
    cache->valid = true;
    return cache->status;
  }
  const int64_t change = committed - cache->committed_then;
  QvmemMemoryStatus status = cache->status;
  status.available_physical = std::max<int64_t>(0, status.available_physical - change);
  status.available_virtual = std::max<int64_t>(0, status.available_virtual - change);
  return status;
}

void qvmem_set_memory_limit(int64_t bytes) {
  settings().memory_limit.store(bytes > 0 ? bytes : 0);
}

int64_t qvmem_memory_limit() {
  return settings().memory_limit.load();
}

int64_t qvmem_parse_memory_size(const char* text) {
  if (!text || *text < '0' || *text > '9') return -1;
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = strtoull(text, &end, 10);
  if (errno != 0 || number == 0) return -1;
  int shift = 20;
  switch (*end) {
    case 'k': case 'K': shift = 10; ++end; break;
    case 'm': case 'M': shift = 20; ++end; break;
    case 'g': case 'G': shift = 30; ++end; break;
    case 't': case 'T': shift = 40; ++end; break;
    case '\0': break;
    default: return -1;
  }
  if ((*end == 'i' || *end == 'I') && (end[1] == 'b' || end[1] == 'B')) {
    end += 2;
  } else if (*end == 'b' || *end == 'B') {
    ++end;
  }
  if (*end != '\0' || number > (static_cast<unsigned long long>(INT64_MAX) >> shift)) return -1;
  return static_cast<int64_t>(number << shift);
}

bool qvmem_limit_from_environment(bool* bad) {
  const char* text = std::getenv("QV_MEMORY_LIMIT");
  if (!text || !*text) return false;
  const int64_t bytes = qvmem_parse_memory_size(text);
  if (bytes <= 0) {
    if (bad) *bad = true;
    return false;
  }
  qvmem_set_memory_limit(bytes);
  return true;
}

void qvmem_set_memory_status_source(QvmemStatusFn source, void* user) {
  settings().status_user.store(user);
  settings().status_source.store(source);
}

namespace {

struct TotalAndAvailable {
  int64_t total;
  int64_t available;
};

// The memory the budget starts from: the smaller of physical and virtual, capped at the address
// space.
TotalAndAvailable total_and_available(const QvmemMemoryStatus& status) {
  int64_t total = std::min(status.total_physical, status.total_virtual);
  int64_t available = std::min(status.available_physical, status.available_virtual);
  return {std::min(total, kAddressSpace), std::min(available, kAddressSpace)};
}

}  // namespace

int64_t qvmem_budget_for_status(const QvmemMemoryStatus& status, int64_t used_bytes) {
  TotalAndAvailable figures = total_and_available(status);
  int64_t total = figures.total;
  int64_t available = std::min(figures.available, total);
  if (total > 1024 * kMiB && available < 512 * kMiB) available = 512 * kMiB;
  int64_t reserve = static_cast<int64_t>(static_cast<double>(total) * 0.1);
  int64_t reserve_cap = total <= 4096 * kMiB   ? 128 * kMiB
                        : total < 16000 * kMiB ? 512 * kMiB
                                               : 1024 * kMiB;
  reserve = std::min(reserve, reserve_cap);
  if (used_bytes > total - 2 * reserve) return 0;
  return available - reserve;
}

QvmemBackgroundFigures qvmem_background_figures(const QvmemMemoryStatus& status) {
  TotalAndAvailable figures = total_and_available(status);
  auto r1 = static_cast<int64_t>(static_cast<float>(figures.total) * 0.1f);
  auto r2 = static_cast<int64_t>(static_cast<float>(figures.total) * 0.05f);
  QvmemBackgroundFigures result;
  result.free_for_allocation = std::max<int64_t>(0, figures.available - r1);
  result.margin = figures.available - r1 - r2;
  return result;
}

QvmemListStats qvmem_list_stats(QvmemState state) {
  return qvmem_detail::swap_list_stats(state);
}

int64_t qvmem_resident_bytes() {
  const QvmemOps* ops = settings().ops.load();
  if (!ops) return 0;
  return ops->mode() == 2 ? qvmem_detail::mmap_resident_bytes()
                          : qvmem_detail::swap_resident_bytes();
}

bool qvmem_warm_blocks(uint64_t size, int64_t count) {
  const QvmemOps* ops = settings().ops.load();
  if (!ops || ops->mode() == 2 || !qvmem_detail::slab_size(size)) return false;
  return qvmem_detail::slab_warm(size, count);
}

namespace qvmem_detail {

void list_push_head(QvmemList* list, QvmemBlock* block) {
  block->list = list;
  block->previous = nullptr;
  block->next = list->head;
  if (list->head) list->head->previous = block;
  list->head = block;
  if (!list->tail) list->tail = block;
  list->count += 1;
  list->bytes += static_cast<int64_t>(block->size);
  list->highest_count = std::max(list->highest_count, list->count);
  list->highest_bytes = std::max(list->highest_bytes, list->bytes);
}

void list_remove(QvmemBlock* block) {
  QvmemList* list = block->list;
  if (!list) return;
  if (block->previous)
    block->previous->next = block->next;
  else
    list->head = block->next;
  if (block->next)
    block->next->previous = block->previous;
  else
    list->tail = block->previous;
  list->count -= 1;
  list->bytes -= static_cast<int64_t>(block->size);
  block->previous = block->next = nullptr;
  block->list = nullptr;
}

void list_move_head(QvmemList* list, QvmemBlock* block) {
  list_remove(block);
  list_push_head(list, block);
}

QvmemBlock* new_block_record(uint64_t size) {
  auto block = std::make_unique<QvmemBlock>();
  block->size = size;
  block->id = settings().next_block_id.fetch_add(1);
  return block.release();
}

void delete_block_record(QvmemBlock* block) {
  std::unique_ptr<QvmemBlock> owner(block);
}

const std::string* current_swap_directory() {
  const std::string* directory = settings().current_directory.load();
  return directory ? directory : &settings().directories.front();
}

std::string swap_file_name(const QvmemBlock* block, const char* extension) {
  const std::string* directory =
      block->swap_directory ? block->swap_directory : current_swap_directory();
  char name[64];
  snprintf(name, sizeof(name), "qvmem_%04d_%08d.%s", cleanup_table.owner_pid.load(), block->id,
           extension);
  return *directory + name;
}

QvmemMemoryStatus memory_status() {
  QvmemStatusFn source = settings().status_source.load();
  if (source) return source(settings().status_user.load());
  static std::mutex lock;
  static QvmemStatusCache cache;
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  std::lock_guard<std::mutex> guard(lock);
  return qvmem_cached_memory_status(&cache, now, committed_bytes.load(), qvmem_query_memory_status);
}

uint8_t* commit_memory(uint64_t size) {
  if (size == 0) size = 1;  // a block always has an address while it is in memory
  uint8_t* data = nullptr;
  if (slab_size(size)) {
    data = slab_take(size);
  } else if (size >= kOwnMappingSize) {
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (mapped != MAP_FAILED) data = static_cast<uint8_t*>(mapped);
  } else {
    data = static_cast<uint8_t*>(malloc(size));
  }
  if (data) committed_bytes += static_cast<int64_t>(size);
  return data;
}

void release_memory(uint8_t* data, uint64_t size) {
  if (!data) return;
  if (size == 0) size = 1;
  if (slab_size(size)) {
    slab_give(data);
  } else if (size >= kOwnMappingSize) {
    munmap(data, size);
  } else {
    free(data);
  }
  committed_bytes -= static_cast<int64_t>(size);
}

bool save_swap_file(QvmemBlock* block) {
  block->swap_directory = current_swap_directory();
  std::string name = swap_file_name(block, "swap");
  int file = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0) {
    int error = errno;
    ConsoleOps* ops = thread_console();
    ops->log_error(ops, "\ncreating file %s failed: %s (errno=%d)\n\n", name.c_str(),
                   strerror(error), error);
    return false;
  }
  uint64_t written = 0;
  int error = 0;
  while (written < block->size) {
    uint64_t chunk = std::min<uint64_t>(block->size - written, 1u << 30);
    ssize_t bytes = write(file, block->data + written, chunk);
    if (bytes < 0 && errno == EINTR) continue;
    if (bytes <= 0) {
      error = bytes < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<uint64_t>(bytes);
  }
  if (close(file) != 0 && written == block->size) {
    error = errno;
    written = 0;
  }
  if (written < block->size) {
    ConsoleOps* ops = thread_console();
    ops->log_error(ops, "\nwriting data (%d MB) to file %s failed: %s (errno=%d)\n\n",
                   static_cast<int>(block->size >> 20), name.c_str(), strerror(error), error);
    unlink(name.c_str());
    return false;
  }
  return true;
}

bool load_swap_file(QvmemBlock* block) {
  std::string name = swap_file_name(block, "swap");
  int file = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  uint64_t done = 0;
  while (done < block->size) {
    uint64_t chunk = std::min<uint64_t>(block->size - done, 1u << 30);
    ssize_t bytes = read(file, block->data + done, chunk);
    if (bytes < 0 && errno == EINTR) continue;
    if (bytes <= 0) break;
    done += static_cast<uint64_t>(bytes);
  }
  close(file);
  unlink(name.c_str());
  return done == block->size;
}

void delete_swap_file(const QvmemBlock* block, const char* extension) {
  unlink(swap_file_name(block, extension).c_str());
}

}  // namespace qvmem_detail
