// The image-writer option values shared by the tools: JPEG chroma subsampling codes and TIFF
// compression words, mapped to the ImageProps fields they set.
#pragma once

#include <cstdint>
#include <string>

// Sampling factors for a subsampling code: 444 → 1 × 1, 422 → 2 × 1, 420 → 2 × 2,
// 411 → 4 × 2; false for any other code.
bool jpeg_sampling_for_code(int code, int32_t* sampling_h, int32_t* sampling_v);

// TIFF compression code for a word (any case): "none" 1, "lzw" 2, "zip" 3, "jpeg" 4, "auto" 5;
// false for any other word.
bool tiff_compression_for_word(const std::string& word, int32_t* compression);
