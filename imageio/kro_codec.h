// The KRO kind of the image file facade: a 20-byte big-endian header, an optional ICC profile,
// then uncompressed 8- or 16-bit RGB or RGBA rows at fixed offsets.
#pragma once

#include <cstdint>
#include <cstdio>

#include "imageio/image_file.h"

// The codec record (reader, writer, header probe) the facade dispatches through.
extern const ImageCodec kKroCodec;

// Bytes of the header before the profile.
constexpr int64_t kKroHeaderSize = 20;

// Reads the size from a KRO header at the start of an open stream and, when info has no
// profile yet, the profile and its description; false when the header is not usable.
bool kro_probe_header(FILE* stream, ImageInfo* info);
