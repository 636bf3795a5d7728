// Small generated images shared by the test programs: writer defaults, a pattern writer with an
// optional embedded profile, a reader that returns every row of a file, crops and PSNR.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imageio/image_file.h"

namespace qv_test {

// Writer properties at their defaults.
inline ImageProps default_props() {
  ImageProps props;
  image_default_props(&props);
  return props;
}

// Sample c of pixel (x, y): distinct in every channel, position and byte of a 16-bit sample.
inline uint16_t pattern_sample(int x, int y, int c) {
  return static_cast<uint16_t>((x * 2654435761u + y * 40503u + c * 7919u) >> 7);
}

// Writes an image whose sample c of pixel (x, y) is sample(x, y, c) at the format's depth
// (16-bit samples little-endian); false when the writer refuses.
template <typename SampleFn>
bool write_samples(const std::string& path, PixelFormat format, int width, int height,
                   const ImageProps& props, SampleFn sample) {
  ImageFilePtr file = image_create_write(format, path, width, height, props);
  if (!file) return false;
  const int channels = format == kPixelGray8                               ? 1
                       : (format == kPixelRgba8 || format == kPixelRgba16) ? 4
                                                                           : 3;
  const bool wide = format == kPixelRgb16 || format == kPixelRgba16;
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        const uint16_t value = static_cast<uint16_t>(sample(x, y, c));
        const size_t at = static_cast<size_t>(x) * channels + c;
        if (wide) {
          row[2 * at] = static_cast<uint8_t>(value);
          row[2 * at + 1] = static_cast<uint8_t>(value >> 8);
        } else {
          row[at] = static_cast<uint8_t>(value);
        }
      }
    }
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

// Writes a pattern image; 8-bit formats take the high byte of each pattern sample.
inline bool write_pattern(const std::string& path, PixelFormat format, int width, int height,
                          const std::vector<uint8_t>& icc = {}) {
  ImageProps props = default_props();
  if (!icc.empty()) {
    props.embed_icc = true;
    props.icc_data = icc.data();
    props.icc_size = static_cast<int32_t>(icc.size());
  }
  const bool wide = format == kPixelRgb16 || format == kPixelRgba16;
  return write_samples(path, format, width, height, props, [wide](int x, int y, int c) {
    const uint16_t sample = pattern_sample(x, y, c);
    return wide ? sample : static_cast<uint16_t>(sample >> 8);
  });
}

// Every row of an image, concatenated.
struct Pixels {
  bool ok = false;
  int width = 0;
  int height = 0;
  PixelFormat format = kPixelUnsupported;
  std::vector<uint8_t> bytes;
  // The bytes of pixel (x, y).
  const uint8_t* at(int x, int y) const {
    return bytes.data() + (static_cast<size_t>(y) * width + x) * pixel_format_bytes(format);
  }
};

inline Pixels read_pixels(const std::string& path) {
  Pixels pixels;
  ImageFilePtr file = image_open_read(path, nullptr);
  if (!file) return pixels;
  pixels.width = file->width;
  pixels.height = file->height;
  pixels.format = file->format;
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  for (int y = 0; y < file->height; ++y) {
    if (!image_read_row(file.get(), row.data())) return pixels;
    pixels.bytes.insert(pixels.bytes.end(), row.begin(), row.end());
  }
  pixels.ok = true;
  return pixels;
}

// "WIDTHxHEIGHT" of an image that can be read whole, "unreadable" otherwise.
inline std::string image_size(const std::string& path) {
  const Pixels pixels = read_pixels(path);
  if (!pixels.ok) return "unreadable";
  return std::to_string(pixels.width) + "x" + std::to_string(pixels.height);
}

// The pixels of a rectangle of an image.
inline std::vector<uint8_t> crop(const Pixels& pixels, int left, int top, int width, int height) {
  std::vector<uint8_t> out;
  const size_t pixel = static_cast<size_t>(pixel_format_bytes(pixels.format));
  for (int y = top; y < top + height; ++y) {
    const uint8_t* start = pixels.at(left, y);
    out.insert(out.end(), start, start + pixel * width);
  }
  return out;
}

// PSNR of the first three channels of two 8-bit images of one size, rows skip_rows … height -
// skip_rows - 1 only; 99 for identical pixels.
inline double psnr(const Pixels& a, const Pixels& b, int skip_rows) {
  double sum = 0;
  size_t count = 0;
  for (int y = skip_rows; y < a.height - skip_rows; ++y) {
    for (int x = 0; x < a.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double d = a.at(x, y)[c] - b.at(x, y)[c];
        sum += d * d;
        ++count;
      }
    }
  }
  const double mse = sum / count;
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace qv_test
