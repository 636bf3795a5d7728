#include "ipc/process_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The state letter of /proc/PID/stat ("PID (NAME) S ..."); 0 when it cannot be read. The name
// may hold spaces and parentheses, so the state follows the last ')'.
char process_state(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return 0;
  char text[512];
  const ssize_t bytes = read(file, text, sizeof text - 1);
  close(file);
  if (bytes <= 0) return 0;
  text[bytes] = '\0';
  const char* close_paren = strrchr(text, ')');
  if (!close_paren || close_paren[1] != ' ') return 0;
  return close_paren[2];
}

}  // namespace

bool process_alive(int pid) {
  if (pid <= 0) return false;
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  // A front end that has ended but not yet been reaped by its own parent is gone for us.
  const char state = process_state(pid);
  return state != 'Z' && state != 'X';
}

void watch_process(ProcessWatch* watch, int pid) {
  if (process_alive(pid)) watch->pid.store(pid);
}

bool watched_process_gone(const ProcessWatch* watch) {
  const int pid = watch->pid.load();
  return pid > 0 && !process_alive(pid);
}
