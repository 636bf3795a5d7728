#include "base/console.h"

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <unistd.h>

namespace {

// The monotonic clock counts nanoseconds: one tick is one nanosecond.
constexpr double kTicksPerSecond = 1e9;

// The console callbacks format into their record's buffer and write to the shared streams; one
// lock makes each line whole and lets several threads share a record (the process-wide one).
std::mutex console_lock;

std::string console_format(ConsoleOps* ops, const char* format, ...) {
  std::lock_guard<std::mutex> guard(console_lock);
  va_list args;
  va_start(args, format);
  int length = console_format_into_scratch(ops, format, args);
  va_end(args);
  if (length < 0) return std::string();
  return std::string(ops->scratch, static_cast<size_t>(length));
}

// A text that ends in a carriage return without a line break is a line meant to be written
// over (a percentage, a cleared line). In a log file or a pipe nothing writes over it, so once a
// tool asks for it, only the lines that end with a line break are written there.
std::atomic<bool> skip_overwritten_lines{false};

bool is_overwritten_line(const char* text, int length) {
  return length > 0 && text[length - 1] == '\r' && memchr(text, '\n', length) == nullptr;
}

bool stdout_is_terminal() {
  static const bool terminal = isatty(fileno(stdout)) != 0;
  return terminal;
}

void console_log(ConsoleOps* ops, const char* format, ...) {
  std::lock_guard<std::mutex> guard(console_lock);
  va_list args;
  va_start(args, format);
  int length = console_format_into_scratch(ops, format, args);
  va_end(args);
  if (length > 0 && (!skip_overwritten_lines.load(std::memory_order_relaxed) ||
                     stdout_is_terminal() || !is_overwritten_line(ops->scratch, length))) {
    fputs(ops->scratch, stdout);
  }
  fflush(stdout);
}

// Standard output is flushed first, so an error line follows what was printed before it.
void console_log_error(ConsoleOps* ops, const char* format, ...) {
  std::lock_guard<std::mutex> guard(console_lock);
  va_list args;
  va_start(args, format);
  int length = console_format_into_scratch(ops, format, args);
  va_end(args);
  fflush(stdout);
  if (length > 0) fputs(ops->scratch, stderr);
  fflush(stderr);
}

void console_print(ConsoleOps*, const char* text) {
  std::lock_guard<std::mutex> guard(console_lock);
  puts(text);
  fflush(stdout);
}

void console_progress(ConsoleOps* ops, double fraction) {
  console_progress_at(ops, fraction, timer_ticks());
}

}  // namespace

namespace {
thread_local ConsoleOps* installed_thread_console = nullptr;
}  // namespace

ConsoleOps* thread_console() {
  return installed_thread_console ? installed_thread_console : console_ops();
}

void set_thread_console(ConsoleOps* ops) {
  installed_thread_console = ops;
}

int console_format_into_scratch(ConsoleOps* ops, const char* format, va_list args) {
  va_list counting;
  va_copy(counting, args);
  int length = vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length < 0) return -1;
  // The next multiple of 4096 strictly above the length.
  int64_t required = (static_cast<int64_t>(length) + 4096) / 4096 * 4096;
  if (ops->scratch_capacity < required) {
    char* grown = static_cast<char*>(realloc(ops->scratch, static_cast<size_t>(required)));
    if (!grown) {
      fputs("ERROR: out of memory while formatting a message\n", stderr);
      if (ops->scratch && ops->scratch_capacity > 0) ops->scratch[0] = '\0';
      return -1;
    }
    ops->scratch = grown;
    ops->scratch_capacity = static_cast<int32_t>(required);
  }
  vsnprintf(ops->scratch, static_cast<size_t>(ops->scratch_capacity), format, args);
  return length;
}

bool console_progress_at(ConsoleOps* ops, double fraction, int64_t now_ticks) {
  if (ops->last_report_time == 0) ops->last_report_time = now_ticks;
  double dt = ticks_to_seconds(now_ticks - ops->last_report_time);
  int percent = static_cast<int>(fraction * 100);
  int last_percent = static_cast<int>(ops->last_progress * 100);
  bool due =
      fraction < ops->last_progress || dt > 0.9 || percent - last_percent > 0 || percent == 100;
  if (!due) return false;
  float printed = static_cast<float>(fraction * 100);
  ops->log(ops, "progress=%.6f dt=%.3f\n", static_cast<double>(printed), dt);
  ops->last_progress = fraction;
  ops->last_report_time = now_ticks;
  return true;
}

void console_install_callbacks(ConsoleOps* ops) {
  ops->format = console_format;
  ops->log = console_log;
  ops->print = console_print;
  ops->progress = console_progress;
  ops->error = console_print;
  ops->log_error = console_log_error;
}

void console_log_va(ConsoleOps* ops, const char* format, va_list args) {
  va_list counting;
  va_copy(counting, args);
  const int length = vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length <= 0) return;
  std::string text(static_cast<size_t>(length), '\0');
  vsnprintf(&text[0], text.size() + 1, format, args);
  ops->log(ops, "%s", text.c_str());
}

void console_skip_overwritten_lines_off_terminal() {
  skip_overwritten_lines.store(true, std::memory_order_relaxed);
}

void console_release_scratch(ConsoleOps* ops) {
  free(ops->scratch);
  ops->scratch = nullptr;
  ops->scratch_capacity = 0;
}

ConsoleOps* console_ops() {
  // Created once and kept for the life of the process; function-local so its creation is
  // thread-safe.
  static ConsoleOps* process_ops = [] {
    static ConsoleOps ops;
    console_install_callbacks(&ops);
    return &ops;
  }();
  return process_ops;
}

int64_t timer_ticks() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double ticks_to_seconds(int64_t ticks) {
  return static_cast<double>(ticks) / kTicksPerSecond;
}
