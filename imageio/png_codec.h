// The PNG kind of the image file facade, read only: the file is decoded whole at open and its
// rows are copied out one by one. Only 8-bit RGB and RGBA data are delivered (palette images
// expand to one of them); gray, gray with alpha and 16-bit files are refused.
#pragma once

#include <cstdio>

#include "imageio/image_file.h"

// The codec record (reader and header probe) the facade dispatches through.
extern const ImageCodec kPngCodec;

// Reads the size from a PNG header at the start of an open stream; false when the stream does
// not hold a PNG header.
bool png_probe_header(FILE* stream, ImageInfo* info);
