// How the engines of this folder (renderers, smooth preview, tiling core, thumbnails) speak: every
// line goes through the console record their caller hands them, never straight to a stream, so a
// caller can redirect, collect or silence them. A null record means silence.
#pragma once

#include <string>

#include "imageio/image_file.h"

struct ConsoleOps;

// Formats a message and hands it to the console's log callback as it stands (no line feed
// added); nothing when console is null.
void engine_log(ConsoleOps* console, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Formats an error line (it ends in a line feed) and hands it to the console's error callback,
// which ends the line itself, so the console shows exactly the formatted text; nothing when
// console is null.
void engine_error(ConsoleOps* console, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Reports an input that cannot be opened: "ERROR: unable to open inputimage %s\n" and, when the
// image facade holds a detail text, "       - %s!\n" with it. The detail is consumed either way.
void engine_report_open_failure(ConsoleOps* console, const std::string& path);

// The text reporting an output that could not be made: "error creating file \"%s\"!\n", then
// "       - %s!\n" with the system's reason of this thread's last writer failure when there is
// one, then an empty line.
std::string engine_create_failure_text(const std::string& path);

// Reports an output that cannot be made: the error line of format (one %s: the path) and, when
// error (an errno value) is not 0, "       - %s!\n" with the system's reason.
void engine_report_output_failure(ConsoleOps* console, const char* format, const std::string& path,
                                  int error);

// The name printed for a pixel format ("Grayscale", "RGB", "RGBA", "RGB 16bit", "RGBA 16bit");
// null for formats without one.
const char* pixel_format_display_name(PixelFormat format);
