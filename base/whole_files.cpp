// The registry is a fixed table of atomic name pointers, so the signal handler reads it with
// loads and deletes with unlink only. Two Dekker-style handshakes keep it safe:
// - creation: a writer counts itself as creating before it looks at the stop flag, and the
//   handler raises the stop flag before it waits for the count to fall; so every file is
//   either never created or created and registered before the handler deletes it;
// - names: a slot is emptied before its name is freed, and a name is never freed once the stop
//   flag is up; so the handler never reads a freed name.
#include "base/whole_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/files.h"

const char kPartialSuffix[] = ".qvpart";

namespace {

constexpr int kSlots = 8192;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = 3;
// How long the handler waits for files being created (in 1 ms steps).
constexpr int kCreationWaitSteps = 500;
constexpr char kNotRegular[] = "not a regular file";

struct Registry {
  std::atomic<char*> names[kSlots] = {};
  std::atomic<int> creating{0};       // files between partial_file_begin and partial_file_created
  std::atomic<bool> stopping{false};  // a stop signal has begun the clean-up
  std::atomic<unsigned> serial{0};    // makes names unique within the process
  struct sigaction previous[kStopSignalCount] = {};
  std::mutex install_lock;  // guards previous[] and the installation
};
Registry registry;

// Files this thread is creating, so that a handler running on it does not wait for itself.
thread_local int creating_here = 0;

void on_stop_signal(int signal_number, siginfo_t* info, void* context);

int stop_signal_index(int signal_number) {
  for (int i = 0; i < kStopSignalCount; ++i) {
    if (kStopSignals[i] == signal_number) return i;
  }
  return -1;
}

void delete_partial_files_now() {
  registry.stopping.store(true);
  for (int step = 0; step < kCreationWaitSteps; ++step) {
    if (registry.creating.load() - creating_here <= 0) break;
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
  for (std::atomic<char*>& slot : registry.names) {
    const char* name = slot.load();
    if (name) unlink(name);
  }
}

void on_stop_signal(int signal_number, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  delete_partial_files_now();
  const int index = stop_signal_index(signal_number);
  if (index >= 0) {
    const struct sigaction& previous = registry.previous[index];
    if (previous.sa_flags & SA_SIGINFO) {
      if (previous.sa_sigaction) {
        previous.sa_sigaction(signal_number, info, context);
        errno = saved_errno;
        return;
      }
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signal_number);
      errno = saved_errno;
      return;
    }
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
  errno = saved_errno;
}

bool is_our_handler(const struct sigaction& action) {
  return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == on_stop_signal;
}

// Puts the clean-up in front of the stop signals' handlers where it is not there (a scope that
// installed its own handler earlier may have put its predecessor back since).
void ensure_handlers() {
  std::lock_guard<std::mutex> guard(registry.install_lock);
  for (int i = 0; i < kStopSignalCount; ++i) {
    struct sigaction current = {};
    if (sigaction(kStopSignals[i], nullptr, &current) != 0) continue;
    if (is_our_handler(current)) continue;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) continue;
    registry.previous[i] = current;
    struct sigaction action = {};
    action.sa_sigaction = on_stop_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(kStopSignals[i], &action, nullptr);
  }
}

int register_name(const std::string& path) {
  char* copy = new char[path.size() + 1];
  memcpy(copy, path.c_str(), path.size() + 1);
  for (int i = 0; i < kSlots; ++i) {
    char* expected = nullptr;
    if (registry.names[i].load() == nullptr &&
        registry.names[i].compare_exchange_strong(expected, copy)) {
      return i;
    }
  }
  delete[] copy;
  return -1;
}

void forget_name(PartialFile* file) {
  if (file->slot < 0) return;
  char* name = registry.names[file->slot].exchange(nullptr);
  file->slot = -1;
  if (!registry.stopping.load()) delete[] name;
}

}  // namespace

bool partial_file_begin(const std::string& final_path, PartialFile* file) {
  file->final_path = final_path;
  file->partial_path.clear();
  file->slot = -1;
  file->creating = false;
  const size_t slash = final_path.find_last_of('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const std::string name = final_path.substr(name_at);
  if (name.empty()) {
    errno = EISDIR;
    return false;
  }
  char unique[48];
  snprintf(unique, sizeof unique, ".%ld-%u", static_cast<long>(getpid()),
           registry.serial.fetch_add(1));
  // The name keeps the final name in front, so a folder listing shows what it becomes; it is
  // shortened where it would pass the system's limit for one name.
  std::string hidden = "." + name;
  const size_t room = 255 - strlen(unique) - strlen(kPartialSuffix);
  if (hidden.size() > room) hidden.resize(room);
  file->partial_path = final_path.substr(0, name_at) + hidden + unique + kPartialSuffix;
  ensure_handlers();
  registry.creating.fetch_add(1);
  ++creating_here;
  file->creating = true;
  if (registry.stopping.load()) {
    partial_file_created(file);
    errno = EINTR;
    return false;
  }
  file->slot = register_name(file->partial_path);
  return true;
}

void partial_file_created(PartialFile* file) {
  if (!file->creating) return;
  file->creating = false;
  --creating_here;
  registry.creating.fetch_sub(1);
}

bool partial_file_commit(PartialFile* file) {
  partial_file_created(file);
  if (rename(file->partial_path.c_str(), file->final_path.c_str()) != 0) {
    partial_file_abandon(file);
    return false;
  }
  forget_name(file);
  return true;
}

void partial_file_abandon(PartialFile* file) {
  const int saved_errno = errno;
  partial_file_created(file);
  if (!file->partial_path.empty()) unlink(file->partial_path.c_str());
  forget_name(file);
  errno = saved_errno;
}

bool is_partial_name(const std::string& file_name) {
  const size_t suffix = strlen(kPartialSuffix);
  return file_name.size() > suffix + 1 && file_name[0] == '.' &&
         file_name.compare(file_name.size() - suffix, suffix, kPartialSuffix) == 0;
}

int partial_file_count() {
  int count = 0;
  for (const std::atomic<char*>& slot : registry.names) count += slot.load() ? 1 : 0;
  return count;
}

std::string system_reason(int error_number) {
  std::string text = strerror(error_number);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

std::string input_file_problem(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return system_reason(errno);
  if (!S_ISREG(st.st_mode)) return kNotRegular;
  // Opened only once it is known to be a regular file, and checked again, in case the name
  // was replaced meanwhile.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_reason(errno);
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  return regular ? std::string() : std::string(kNotRegular);
}
