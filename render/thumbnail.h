// Small JPEG thumbnails of images of any size, read reduced and resized while streaming.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ConsoleOps;

// The thumbnail size for a full image size: the width is max_width and the height follows the
// aspect ratio, unless that height exceeds max_height; quotients are rounded, results at least 1.
void thumbnail_size(int32_t full_width, int32_t full_height, int32_t max_width, int32_t max_height,
                    int32_t* width, int32_t* height);

// Reads input reduced to fit max_width × max_height and encodes the thumbnail (quality 80,
// no chroma subsampling, 72 dpi, gray or RGB) into jpeg. The "inputimage:" and "outputsize:"
// lines go to the log callback of messages, the "ERROR:" lines to its error callback; null
// messages: silent. False when the input cannot be opened or read, its pixel format is not
// supported, or encoding fails.
bool make_thumbnail(const std::string& input, int32_t max_width, int32_t max_height,
                    ConsoleOps* messages, std::vector<uint8_t>* jpeg);
