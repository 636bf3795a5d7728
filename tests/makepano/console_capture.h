// A console record whose log and print callbacks append to a text, for tests of code that
// reports through ConsoleOps.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/console.h"

namespace qv_test {

// The text every CapturedConsole of this thread writes to (one capture at a time).
inline std::string& captured_console_text() {
  thread_local std::string text;
  return text;
}

inline void capture_log(ConsoleOps*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char buffer[4096];
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  captured_console_text() += buffer;
}

inline void capture_print(ConsoleOps*, const char* text) {
  captured_console_text() += text;
  captured_console_text() += "\n";
}

// A console record that captures; its text starts empty.
struct CapturedConsole {
  ConsoleOps ops;
  CapturedConsole() {
    console_install_callbacks(&ops);
    ops.log = capture_log;
    ops.print = capture_print;
    ops.error = capture_print;
    captured_console_text().clear();
  }
  ~CapturedConsole() { console_release_scratch(&ops); }
  const std::string& text() const { return captured_console_text(); }
};

}  // namespace qv_test
