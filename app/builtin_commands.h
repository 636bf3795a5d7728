// The built-in image commands of the tool table: "ping" prints what the probe finds in a file,
// "makethumb" writes a small JPEG thumbnail of an image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ping IMAGE: prints size, GPS, pose, ICC profile, thumbnail, comment and the probe's time.
// 0 on success; 1 without output when no path is given or the file cannot be probed.
int ping_main(int argc, char** argv);

// makethumb INPUT OUTPUT [MAXWIDTH [MAXHEIGHT]]: writes a JPEG thumbnail of at most
// MAXWIDTH × MAXHEIGHT (default 256 × MAXWIDTH). 0 when the file was written completely.
int makethumb_main(int argc, char** argv);

// The thumbnail size for a full image size: the width is max_width and the height follows the
// aspect ratio, unless that height exceeds max_height; quotients are rounded, results at least 1.
void thumbnail_size(int32_t full_width, int32_t full_height, int32_t max_width, int32_t max_height,
                    int32_t* width, int32_t* height);

// Reads input reduced to fit max_width × max_height and encodes the thumbnail (quality 80,
// no chroma subsampling, 72 dpi, gray or RGB) into jpeg. The "inputimage:", "outputsize:" and
// error lines of the command go to messages when it is not null. False when the input cannot
// be opened or read, its pixel format is not supported, or encoding fails.
bool make_thumbnail(const std::string& input, int32_t max_width, int32_t max_height, FILE* messages,
                    std::vector<uint8_t>* jpeg);
