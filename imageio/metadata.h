// Image metadata: the scanner that fills an ImageInfo from a file's headers without decoding
// pixels (JPEG markers, TIFF and BigTIFF directories, PSD and PSB image resources), and the
// readable name of an ICC profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "imageio/image_file.h"

// Fills info with what the metadata of an open stream holds: size (TIFF, PSD), GPS position
// and image direction, camera pose, embedded JPEG thumbnail, comment, ICC profile and its
// description. Reads only headers and metadata, seeking in the stream; every offset and length
// is checked against the file size, so malformed files give a partial result. Returns 1 when a
// TIFF structure (a TIFF file, a JPEG EXIF segment or a PSD EXIF resource) was parsed to its
// end, 0 otherwise.
int scan_metadata(FILE* stream, ImageInfo* info);

// The description of an ICC profile of at least 132 bytes: the ASCII text of its "desc" tag,
// or else the Unicode text of the tag's first record with every character outside 1 … 127
// shown as "." ("Unknown" when that text is empty); empty when the profile has no usable
// description.
std::string icc_profile_description(const uint8_t* data, size_t size);
