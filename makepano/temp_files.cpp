// The table is fixed-size and written only outside the signal handler; each slot's path is
// complete before its flag is set, so the handler reads only whole names and uses only unlink.
#include "makepano/temp_files.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/files.h"

namespace {

constexpr int kSlots = 64;
constexpr size_t kPathBytes = 4096;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = 3;

struct Slot {
  std::atomic<bool> used{false};
  char path[kPathBytes] = {};
};

struct Table {
  Slot slots[kSlots];
  struct sigaction previous[kStopSignalCount] = {};
  bool installed[kStopSignalCount] = {};
  int scopes = 0;
};
Table table;

void delete_registered_files_now() {
  for (Slot& slot : table.slots) {
    if (slot.used.load()) unlink(slot.path);
  }
}

int stop_signal_index(int signal_number) {
  for (int i = 0; i < kStopSignalCount; ++i) {
    if (kStopSignals[i] == signal_number) return i;
  }
  return -1;
}

void on_stop_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  delete_registered_files_now();
  const int index = stop_signal_index(signal_number);
  if (index >= 0) {
    const struct sigaction& previous = table.previous[index];
    if (previous.sa_flags & SA_SIGINFO) {
      if (previous.sa_sigaction) previous.sa_sigaction(signal_number, info, context);
      errno = saved_errno;
      return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signal_number);
      errno = saved_errno;
      return;
    }
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
  errno = saved_errno;
}

void install_handlers() {
  for (int i = 0; i < kStopSignalCount; ++i) {
    struct sigaction current = {};
    if (sigaction(kStopSignals[i], nullptr, &current) != 0) continue;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) continue;
    table.previous[i] = current;
    struct sigaction action = {};
    action.sa_sigaction = on_stop_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(kStopSignals[i], &action, nullptr) == 0) table.installed[i] = true;
  }
}

void restore_handlers() {
  for (int i = 0; i < kStopSignalCount; ++i) {
    if (!table.installed[i]) continue;
    sigaction(kStopSignals[i], &table.previous[i], nullptr);
    table.installed[i] = false;
  }
}

}  // namespace

TempFileScope::TempFileScope() {
  if (table.scopes++ == 0) install_handlers();
}

TempFileScope::~TempFileScope() {
  temp_files_delete_all();
  if (--table.scopes == 0) restore_handlers();
}

bool temp_file_add(const std::string& path) {
  if (path.empty() || path.size() >= kPathBytes) return false;
  for (Slot& slot : table.slots) {
    if (slot.used.load()) continue;
    memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return true;
  }
  return false;
}

void temp_file_delete(const std::string& path) {
  for (Slot& slot : table.slots) {
    if (slot.used.load() && path == slot.path) slot.used.store(false);
  }
  delete_file(path);
}

void temp_files_delete_all() {
  for (Slot& slot : table.slots) {
    if (!slot.used.load()) continue;
    delete_file(slot.path);
    slot.used.store(false);
  }
}

int temp_file_count() {
  int count = 0;
  for (const Slot& slot : table.slots) count += slot.used.load() ? 1 : 0;
  return count;
}
