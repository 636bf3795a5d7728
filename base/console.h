// The console record through which tools print and report progress, and the high-resolution
// timer helpers used for progress and elapsed times.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

struct ConsoleOps;

using ConsoleFormatFn = std::string (*)(ConsoleOps* ops, const char* format, ...);
using ConsoleLogFn = void (*)(ConsoleOps* ops, const char* format, ...);
using ConsoleTextFn = void (*)(ConsoleOps* ops, const char* text);
using ConsoleProgressFn = void (*)(ConsoleOps* ops, double fraction);

// Text and progress callbacks handed to the tools. The channel mode copies the record, keeps its
// request identifier in context_tag and replaces the callbacks, so the same tool code then emits
// channel messages instead of console lines.
struct ConsoleOps {
  char* scratch = nullptr;           // formatting buffer; grows in 4096-byte steps, never shrinks
  int32_t scratch_capacity = 0;      // bytes allocated for scratch
  double last_progress = 0;          // fraction given with the last reported progress call
  int64_t last_report_time = 0;      // timer ticks of the last progress report; 0 = none yet
  ConsoleFormatFn format = nullptr;  // formats and returns the text
  ConsoleLogFn log = nullptr;        // formats and writes the text as it stands
  ConsoleTextFn print = nullptr;     // writes the text and a newline
  ConsoleProgressFn progress = nullptr;  // throttled progress report
  ConsoleTextFn error = nullptr;         // writes an error line (console mode: as print)
  ConsoleLogFn log_error = nullptr;      // formats and writes the text as it stands to the
                                         // error stream (console mode: standard error)
  char context_tag[68] = {};             // empty in console mode; channel request identifier
};

// The process-wide console record, created zero-filled with the console callbacks on first use.
ConsoleOps* console_ops();

// The console record of the calling thread: the one installed for the thread (a channel worker
// installs the record of the request it runs), else the process-wide record. Layers that print
// without a record handed to them (codec errors, memory manager failures) print through it, so
// their lines reach the request's caller too.
ConsoleOps* thread_console();

// Installs ops as the calling thread's record; null goes back to the process-wide one.
void set_thread_console(ConsoleOps* ops);

// Fills ops with the console callbacks (fields format … log_error); leaves the rest untouched.
// The callbacks take one process-wide lock, so threads may share a record that has them.
void console_install_callbacks(ConsoleOps* ops);

// From now on, when standard output is not a terminal, the console callbacks leave out texts
// meant to be written over (ending in "\r" without a line break: percentages, cleared lines),
// so a run logged to a file holds its step lines only. On a terminal nothing changes.
void console_skip_overwritten_lines_off_terminal();

// Releases the scratch buffer of a record (for copies made by the channel mode and tests).
void console_release_scratch(ConsoleOps* ops);

// Formats into ops->scratch with the growth rule and returns the formatted length, or -1 when
// the buffer could not be grown (then scratch holds an empty text). Shared by the callbacks.
int console_format_into_scratch(ConsoleOps* ops, const char* format, va_list args);

// Formats a va_list and hands the text to ops->log: for message sinks that receive a va_list.
void console_log_va(ConsoleOps* ops, const char* format, va_list args);

// The progress throttle with an explicit time stamp: returns true and calls ops->log with
// "progress=%.6f dt=%.3f\n" when a report is due. The progress callback passes timer_ticks().
bool console_progress_at(ConsoleOps* ops, double fraction, int64_t now_ticks);

// Current value of the monotonic high-resolution counter, in ticks.
int64_t timer_ticks();

// Converts a tick difference to seconds.
double ticks_to_seconds(int64_t ticks);
