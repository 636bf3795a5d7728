#include "render/engine_messages.h"

#include <cstdarg>
#include <cstdio>

#include "base/console.h"
#include "base/whole_files.h"

namespace {

constexpr char kOpenInputFailed[] = "ERROR: unable to open inputimage %s\n";
constexpr char kPendingDetail[] = "       - %s!\n";
constexpr char kErrorCreating[] = "error creating file \"%s\"!\n";

// The text of a printf-style format, formatted once into a string of the exact length.
std::string formatted(const char* format, va_list args) {
  va_list counting;
  va_copy(counting, args);
  const int length = vsnprintf(nullptr, 0, format, counting);
  va_end(counting);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string formatted_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  return text;
}

}  // namespace

void engine_log(ConsoleOps* console, const char* format, ...) {
  if (!console) return;
  va_list args;
  va_start(args, format);
  const std::string text = formatted(format, args);
  va_end(args);
  // The text goes through "%s": the log callback formats into the record's own buffer.
  console->log(console, "%s", text.c_str());
}

void engine_error(ConsoleOps* console, const char* format, ...) {
  if (!console) return;
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  console->error(console, text.c_str());
}

void engine_report_open_failure(ConsoleOps* console, const std::string& path) {
  engine_error(console, kOpenInputFailed, path.c_str());
  if (!image_last_error().empty())
    engine_error(console, kPendingDetail, image_last_error().c_str());
  image_clear_last_error();
}

std::string engine_create_failure_text(const std::string& path) {
  std::string text = formatted_text(kErrorCreating, path.c_str());
  const int error = image_last_write_error();
  if (error != 0) text += formatted_text(kPendingDetail, system_reason(error).c_str());
  return text + "\n";
}

void engine_report_output_failure(ConsoleOps* console, const char* format, const std::string& path,
                                  int error) {
  std::string text = formatted_text(format, path.c_str());
  if (error != 0) text += formatted_text(kPendingDetail, system_reason(error).c_str());
  engine_error(console, "%s", text.c_str());
}

const char* pixel_format_display_name(PixelFormat format) {
  switch (format) {
    case kPixelGray8:
      return "Grayscale";
    case kPixelRgb8:
      return "RGB";
    case kPixelRgba8:
      return "RGBA";
    case kPixelRgb16:
      return "RGB 16bit";
    case kPixelRgba16:
      return "RGBA 16bit";
    default:
      return nullptr;
  }
}
