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

// The name printed for a pixel format ("Grayscale", "RGB", "RGBA", "RGB 16bit", "RGBA 16bit");
// null for formats without one.
const char* pixel_format_display_name(PixelFormat format);
