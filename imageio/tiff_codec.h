// The TIFF and BigTIFF kinds of the image file facade, on libtiff 4: a row reader for 8-bit
// gray and 8- or 16-bit RGB and RGBA (contiguous or planar, strips or tiles) that can deliver a
// reduced number of rows, and a writer of contiguous single-directory files with a choice of
// compression, resolution, ICC profile and description. The library never prints: every
// handle carries silent error and warning handlers.
#pragma once

#include "imageio/image_file.h"

// The codec record (reader and writer for TIFF and BigTIFF) the facade dispatches through.
extern const ImageCodec kTiffCodec;
