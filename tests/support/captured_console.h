// A console record that collects what an engine reports instead of printing it: the text as the
// console would show it, and apart from that the lines handed to the error callback.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/console.h"

namespace qv_test {

// Pass it where a ConsoleOps* is asked for; the callbacks find the capture again from the record.
struct CapturedConsole : ConsoleOps {
  std::string text;    // everything, as the console would print it
  std::string errors;  // the error lines, each with the line feed the console adds

  CapturedConsole() {
    format = format_text;
    log = log_text;
    print = print_line;
    error = error_line;
    progress = [](ConsoleOps* ops, double fraction) {
      console_progress_at(ops, fraction, timer_ticks());
    };
  }

 private:
  static std::string formatted(const char* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int length = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
  }
  static std::string format_text(ConsoleOps*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    return text;
  }
  static void log_text(ConsoleOps* ops, const char* format, ...) {
    va_list args;
    va_start(args, format);
    static_cast<CapturedConsole*>(ops)->text += formatted(format, args);
    va_end(args);
  }
  static void print_line(ConsoleOps* ops, const char* line) {
    static_cast<CapturedConsole*>(ops)->text += std::string(line) + "\n";
  }
  static void error_line(ConsoleOps* ops, const char* line) {
    CapturedConsole* capture = static_cast<CapturedConsole*>(ops);
    capture->text += std::string(line) + "\n";
    capture->errors += std::string(line) + "\n";
  }
};

}  // namespace qv_test
