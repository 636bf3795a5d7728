// The PNG kind of the image file facade, read only: the file is decoded whole at open and its
// rows are copied out one by one. Every colour type is delivered as RGB or RGBA (gray widened,
// palette expanded; RGBA when the file has alpha or a transparent colour), 16-bit files as
// 16-bit RGB or RGBA, all others as 8-bit.
#pragma once

#include <cstdio>

#include "imageio/image_file.h"

// The codec record (reader and header probe) the facade dispatches through.
extern const ImageCodec kPngCodec;

// Reads the size from a PNG header at the start of an open stream; false when the stream does
// not hold a PNG header.
bool png_probe_header(FILE* stream, ImageInfo* info);
