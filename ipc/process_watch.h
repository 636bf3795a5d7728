// The front end's process, watched so that the channel ends when the front end is gone.
#pragma once

#include <atomic>

// True when a process with this identifier exists and has not ended: kill(pid, 0) succeeds or
// is refused for permission, and /proc does not show it as a zombie. False for pid <= 0, which
// names process groups rather than one process.
bool process_alive(int pid);

// The watched process: 0 while none is watched. Set by connect, read by the reading loop.
struct ProcessWatch {
  std::atomic<int> pid{0};
};

// Watches pid when such a process is alive; otherwise leaves the watch as it is.
void watch_process(ProcessWatch* watch, int pid);

// True when a process is watched and it is gone.
bool watched_process_gone(const ProcessWatch* watch);
