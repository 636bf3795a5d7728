// The image-writer option values shared by the tools: JPEG chroma subsampling codes, TIFF
// compression words, and the one place where the writer settings become the ImageProps of a
// writer.
#pragma once

#include <cstdint>
#include <string>

#include "imageio/image_file.h"

// Sampling factors for a subsampling code: 444 → 1 × 1, 422 → 2 × 1, 420 → 2 × 2,
// 411 → 4 × 2; false for any other code.
bool jpeg_sampling_for_code(int code, int32_t* sampling_h, int32_t* sampling_v);

// TIFF compression code for a word (any case): "none" 1, "lzw" 2, "zip" 3, "jpeg" 4, "auto" 5;
// false for any other word.
bool tiff_compression_for_word(const std::string& word, int32_t* compression);

// What the writers are asked for, as the output options of a tool or a job give it.
struct WriterSettings {
  int32_t jpeg_quality = 85;       // 0 … 100; 0 is written as 1 (the writers read 0 as 85)
  int32_t jpeg_subsampling = 444;  // 444, 422, 420 or 411; any other code writes 1 × 1
  bool jpeg_optimize = false;      // optimised Huffman tables
  bool jpeg_progressive = false;   // progressive JPEG
  int32_t tiff_compression = 2;    // 1 none, 2 lzw, 3 zip, 4 jpeg, 5 auto
  int32_t dpi = 0;                 // resolution of both axes when above 0; else 72
};

// The writer properties for settings: image_default_props with the settings applied. No
// profile and no comment: the caller adds those.
ImageProps writer_props(const WriterSettings& settings);
