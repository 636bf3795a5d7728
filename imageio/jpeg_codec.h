// The JPEG kind of the image file facade, on libjpeg-turbo: a row reader that can deliver a
// reduced image by decoder scaling, and a row writer to a file or to a growing memory buffer.
// CMYK and YCCK files are read as 8-bit RGB (sRGB): through their CMYK profile when they carry
// one, else by the inverted-CMYK formula (see cmyk_conversion_setup).
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "imageio/image_file.h"

// The codec record (reader, writer, header probe) the facade dispatches through.
extern const ImageCodec kJpegCodec;

// Creates a JPEG writer into memory (pixel format gray or RGB). The writer fills *output while
// rows are written; after a successful image_close it holds exactly the finished file. output
// must outlive the handle.
ImageFilePtr jpeg_create_memory_writer(int32_t width, int32_t height, PixelFormat format,
                                       const ImageProps& props, std::vector<uint8_t>* output);

// The decoder scale denominator (1, 2, 4 or 8) for a load hint on an image of full size: the
// image is fitted into the hint's maximum size, and the denominator is the largest power of two
// not above the smaller of the two integer ratios full ÷ fitted, at most 8.
int jpeg_scale_denominator(int32_t full_width, int32_t full_height, const LoadHint& hint);

// Reads the size from a JPEG header at the start of an open stream; false when the stream does
// not begin with FF D8 FF or the header cannot be read (silently: no library message).
bool jpeg_probe_size(FILE* stream, int32_t* width, int32_t* height);
