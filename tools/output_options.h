// The output options the image tools share (JPEG, TIFF, resolution, colour profile, temporary
// folder, quiet): one block of option rows that every tool adds to its own table, naming the
// words it accepts, and the config-file keys of the same writer settings. Each tool sets its own
// defaults in the record before the walk and keeps its own usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/args.h"
#include "base/config_section.h"
#include "imageio/color_profile.h"
#include "imageio/image_options.h"

// The settings the shared block writes.
struct OutputOptions {
  WriterSettings writer;                  // -jpegquality … -tiffcompress, -dpi
  ProfileMode profile = kProfileConvert;  // -profile
  std::string temp_dir;                   // -tempdir: folder for swap files; empty = default
  int64_t memory_limit = 0;               // -memlimit: bytes of memory to stay within; 0 = default
  bool quiet = false;                     // -q, -quiet: no status lines
};

// The words of the shared block; a tool accepts the ones it names (an or of these bits). Where
// tools differ in how a word is read, each reading has its own bit.
enum OutputWord : uint32_t {
  kOutputJpegQuality = 1u << 0,       // -jpegquality=#: 0 … 100, else refused
  kOutputJpegSubsampling = 1u << 1,   // -jpegsubsamp=#: 444, 422, 420 or 411, else refused
  kOutputJpegOptimize = 1u << 2,      // -jpegoptimize: on
  kOutputJpegOptimizeWord = 1u << 3,  // -jpegoptimize, or =true/yes/on/1 or =false/no/off/0/none
  kOutputJpegProgressive = 1u << 4,   // -jpegprogressive: on
  kOutputTiffCompression = 1u << 5,   // -tiffcompress=none|lzw|zip|jpeg|auto, else refused
  kOutputDpi = 1u << 6,               // -dpi=#: any number
  kOutputProfile = 1u << 7,           // -profile=copy|convert|srgb|skip, else refused
  kOutputProfileOrSkip = 1u << 8,     // -profile=#: any word but copy, convert, srgb means skip
  kOutputTempDir = 1u << 9,           // -tempdir=#: the folder as typed
  kOutputQuiet = 1u << 10,            // -q, -quiet
  kOutputMemoryLimit = 1u << 11,      // -memlimit=#: a memory size (4G, 4096M, …), else refused
};

// Applies -memlimit (when given) to the memory manager; call it after qvmem_init.
void apply_memory_limit_option(const OutputOptions& options);

// Appends the rows of the named words; they write into options, which outlives the walk.
void add_output_option_rows(OutputOptions* options, uint32_t words, std::vector<OptionRow>* rows);

// Applies a config-file entry whose key is one of the named words without the dash (jpegquality,
// jpegsubsamp, jpegoptimize, jpegprogressive, tiffcompress, profile); false for any other key.
// Config values never fail: quality is clamped to 0 … 100 (99 when unreadable), subsampling is
// any number (0 when unreadable), flags are boolean words (false when unreadable), unknown
// compression and profile words keep the setting.
bool apply_output_config_entry(const ConfigEntry& entry, uint32_t words, WriterSettings* writer,
                               ProfileMode* profile);
