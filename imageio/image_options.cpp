// Option value tables of the image writers.
#include "imageio/image_options.h"

#include "base/text.h"

namespace {

struct SamplingRow {
  int code;
  int32_t h, v;
};

const SamplingRow kSamplings[] = {{444, 1, 1}, {422, 2, 1}, {420, 2, 2}, {411, 4, 2}};

struct CompressionRow {
  const char* word;
  int32_t code;
};

const CompressionRow kCompressions[] = {
    {"none", 1}, {"lzw", 2}, {"zip", 3}, {"jpeg", 4}, {"auto", 5},
};

}  // namespace

bool jpeg_sampling_for_code(int code, int32_t* sampling_h, int32_t* sampling_v) {
  for (const SamplingRow& row : kSamplings) {
    if (row.code == code) {
      *sampling_h = row.h;
      *sampling_v = row.v;
      return true;
    }
  }
  return false;
}

bool tiff_compression_for_word(const std::string& word, int32_t* compression) {
  const std::string lower = lowered_ascii(word);
  for (const CompressionRow& row : kCompressions) {
    if (lower == row.word) {
      *compression = row.code;
      return true;
    }
  }
  return false;
}

ImageProps writer_props(const WriterSettings& settings) {
  ImageProps props;
  image_default_props(&props);
  if (settings.dpi > 0) props.dpi_x = props.dpi_y = settings.dpi;
  props.jpeg_quality = settings.jpeg_quality < 1 ? 1 : settings.jpeg_quality;
  props.tiff_compression = settings.tiff_compression;
  props.optimize = settings.jpeg_optimize;
  props.progressive = settings.jpeg_progressive;
  if (!jpeg_sampling_for_code(settings.jpeg_subsampling, &props.jpeg_sampling_h,
                              &props.jpeg_sampling_v)) {
    props.jpeg_sampling_h = props.jpeg_sampling_v = 1;
  }
  return props;
}
