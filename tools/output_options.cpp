// The shared block of output option rows and the config keys of the writer settings.
#include "tools/output_options.h"

#include <climits>

#include "memory/qvmem.h"

namespace {

OutputOptions* options_of(void* target) {
  return static_cast<OutputOptions*>(target);
}

OptionStatus accept_if(bool accepted) {
  return accepted ? OptionStatus::Accepted : OptionStatus::Refused;
}

OptionStatus apply_jpeg_subsampling(void* target, const ParsedArgument& argument) {
  const int code = leading_int(argument.value);
  int32_t h = 0;
  int32_t v = 0;
  if (!jpeg_sampling_for_code(code, &h, &v)) return OptionStatus::Refused;
  options_of(target)->writer.jpeg_subsampling = code;
  return OptionStatus::Accepted;
}

// "-jpegoptimize" alone turns optimisation on; with a value only these words are read.
OptionStatus apply_jpeg_optimize_word(void* target, const ParsedArgument& argument) {
  static const char* const kOff[] = {"false", "no", "off", "0", "none"};
  static const char* const kOn[] = {"true", "yes", "on", "1"};
  bool* optimize = &options_of(target)->writer.jpeg_optimize;
  if (!argument.has_value) {
    *optimize = true;
    return OptionStatus::Accepted;
  }
  for (const char* word : kOff) {
    if (argument.value == word) {
      *optimize = false;
      return OptionStatus::Accepted;
    }
  }
  for (const char* word : kOn) {
    if (argument.value == word) {
      *optimize = true;
      return OptionStatus::Accepted;
    }
  }
  return OptionStatus::Refused;
}

OptionStatus apply_tiff_compression(void* target, const ParsedArgument& argument) {
  int32_t* compression = &options_of(target)->writer.tiff_compression;
  return accept_if(tiff_compression_for_word(argument.value, compression));
}

OptionStatus apply_profile(void* target, const ParsedArgument& argument) {
  return accept_if(parse_profile_mode(argument.value, &options_of(target)->profile));
}

OptionStatus apply_memory_limit(void* target, const ParsedArgument& argument) {
  const int64_t bytes = qvmem_parse_memory_size(argument.value.c_str());
  if (bytes <= 0) return OptionStatus::Refused;
  options_of(target)->memory_limit = bytes;
  return OptionStatus::Accepted;
}

OptionStatus apply_profile_or_skip(void* target, const ParsedArgument& argument) {
  options_of(target)->profile = profile_mode_or_skip(argument.value);
  return OptionStatus::Accepted;
}

}  // namespace

void add_output_option_rows(OutputOptions* options, uint32_t words, std::vector<OptionRow>* rows) {
  WriterSettings* writer = &options->writer;
  const struct {
    uint32_t word;
    OptionRow row;
  } block[] = {
      {kOutputJpegQuality,
       {"jpegquality", OptionKind::IntInRange, &writer->jpeg_quality, nullptr, 0, 100}},
      {kOutputJpegSubsampling,
       option_call("jpegsubsamp", OptionValue::Required, apply_jpeg_subsampling, options)},
      {kOutputJpegOptimize, {"jpegoptimize", OptionKind::Flag, &writer->jpeg_optimize}},
      {kOutputJpegOptimizeWord,
       option_call("jpegoptimize", OptionValue::Either, apply_jpeg_optimize_word, options)},
      {kOutputJpegProgressive, {"jpegprogressive", OptionKind::Flag, &writer->jpeg_progressive}},
      {kOutputTiffCompression,
       option_call("tiffcompress", OptionValue::Required, apply_tiff_compression, options)},
      {kOutputDpi, {"dpi", OptionKind::IntInRange, &writer->dpi, nullptr, INT_MIN, INT_MAX}},
      {kOutputProfile, option_call("profile", OptionValue::Required, apply_profile, options)},
      {kOutputProfileOrSkip,
       option_call("profile", OptionValue::Required, apply_profile_or_skip, options)},
      {kOutputTempDir, {"tempdir", OptionKind::Text, &options->temp_dir}},
      {kOutputMemoryLimit,
       option_call("memlimit", OptionValue::Required, apply_memory_limit, options)},
      {kOutputQuiet, {"q", OptionKind::Flag, &options->quiet}},
      {kOutputQuiet, {"quiet", OptionKind::Flag, &options->quiet}},
  };
  for (const auto& entry : block) {
    if (words & entry.word) rows->push_back(entry.row);
  }
}

void apply_memory_limit_option(const OutputOptions& options) {
  if (options.memory_limit > 0) qvmem_set_memory_limit(options.memory_limit);
}

bool apply_output_config_entry(const ConfigEntry& entry, uint32_t words, WriterSettings* writer,
                               ProfileMode* profile) {
  const std::string& key = entry.key;
  const std::string& value = entry.value;
  if (key == "jpegquality" && (words & kOutputJpegQuality)) {
    writer->jpeg_quality = parse_int(value, 99, 0, 100);
  } else if (key == "jpegsubsamp" && (words & kOutputJpegSubsampling)) {
    writer->jpeg_subsampling = parse_int(value, 0, INT_MIN, INT_MAX);
  } else if (key == "jpegoptimize" && (words & (kOutputJpegOptimize | kOutputJpegOptimizeWord))) {
    writer->jpeg_optimize = parse_bool(value, false);
  } else if (key == "jpegprogressive" && (words & kOutputJpegProgressive)) {
    writer->jpeg_progressive = parse_bool(value, false);
  } else if (key == "tiffcompress" && (words & kOutputTiffCompression)) {
    tiff_compression_for_word(value, &writer->tiff_compression);
  } else if (key == "profile" && (words & (kOutputProfile | kOutputProfileOrSkip))) {
    parse_profile_mode(value, profile);
  } else {
    return false;
  }
  return true;
}
