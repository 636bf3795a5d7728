// The PSD and PSB kinds of the image file facade: a row reader of the flattened (merged) image
// of a document (raw or PackBits data, 8 or 16 bits, gray, RGB or RGBA) that refuses layered
// documents unless layers are ignored, and a writer of flattened RGB documents with raw planar
// data and an optional ICC profile.
#pragma once

#include <cstdint>
#include <cstdio>

#include "imageio/image_file.h"

// The codec record (reader, writer for PSD and PSB, size probe) the facade dispatches through.
extern const ImageCodec kPsdCodec;

// The detail a layered document leaves when it is refused.
extern const char kPsdLayeredDetail[];  // "only flatten psd/psb files are supported"

// The process-wide "ignorelayers" setting (off by default): when on, layered documents are
// read through their merged image, or through their single layer when that layer covers the
// canvas and holds most of the file. Safe to change from any thread; readers opened afterwards
// see the new value.
void psd_set_ignore_layers(bool ignore);
bool psd_ignore_layers();

// Reads the size from a PSD or PSB header at the start of an open stream; false when the
// header is not usable, or (setting the last-error detail) when the document has layers and
// layers are not ignored.
bool psd_probe_size(FILE* stream, int32_t* width, int32_t* height);
