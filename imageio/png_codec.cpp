// PNG reader on stb_image (this file holds the decoder; only its PNG part is compiled).
//
// A PNG's image data is deflate-compressed, whose best ratio is about 1032 : 1, so a header
// whose rows need more than that many times the file's size is refused before decoding: the
// data cannot be there, and nothing is allocated from such a header.
#include "imageio/png_codec.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_FAILURE_STRINGS
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

constexpr int64_t kDeflateRatioLimit = 1100;  // above deflate's best ratio, with margin
constexpr int64_t kSmallFileAllowance = 65536;

struct StbFree {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

struct PngState {
  std::unique_ptr<stbi_uc, StbFree> pixels;  // the whole decoded image
  int32_t full_height = 0;
  bool reduced = false;  // deliver only the hint's number of rows
};

PngState* state_of(ImageFile* file) {
  return static_cast<PngState*>(file->state.get());
}

int as_int_size(size_t size) {
  return size > INT32_MAX ? -1 : static_cast<int>(size);
}

std::unique_ptr<ImageFile> open_reader(const std::string& path, ImageProps* props) {
  std::string data;
  if (!read_whole_file(path, &data)) return nullptr;
  const int size = as_int_size(data.size());
  if (size <= 0) return nullptr;
  const stbi_uc* bytes = reinterpret_cast<const stbi_uc*>(data.data());
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, size, &width, &height, &channels)) return nullptr;
  if (stbi_is_16_bit_from_memory(bytes, size) || (channels != 3 && channels != 4)) {
    return nullptr;
  }
  const int64_t decoded_size = int64_t{width} * height * channels;
  if (width <= 0 || height <= 0 ||
      decoded_size > int64_t{size} * kDeflateRatioLimit + kSmallFileAllowance) {
    return nullptr;
  }
  auto state = std::make_shared<PngState>();
  int decoded_channels = 0;
  state->pixels.reset(stbi_load_from_memory(bytes, size, &width, &height, &decoded_channels, 0));
  if (!state->pixels || decoded_channels != channels) return nullptr;
  state->full_height = height;
  auto file = std::make_unique<ImageFile>();
  file->kind = kImagePng;
  file->width = width;
  file->height = height;
  file->format = channels == 3 ? kPixelRgb8 : kPixelRgba8;
  file->channels = channels;
  file->bits_per_pixel = 8 * channels;
  file->bytes_per_row = width * channels;
  if (props) {
    props->width = width;
    props->height = height;
    const LoadHint* hint = props->load_hint;
    if (hint && hint->enabled && hint->max_height > 0 && hint->max_height < height) {
      state->reduced = true;
      file->height = hint->max_height;
    }
  }
  file->state = state;
  return file;
}

bool read_row(ImageFile* file, void* row) {
  PngState* state = state_of(file);
  int64_t source_row = file->row;
  if (state->reduced) source_row = int64_t{file->row} * state->full_height / file->height;
  memcpy(row, state->pixels.get() + source_row * file->bytes_per_row,
         static_cast<size_t>(file->bytes_per_row));
  return true;
}

bool close_file(ImageFile* file) {
  state_of(file)->pixels.reset();
  return true;
}

}  // namespace

const ImageCodec kPngCodec = {
    kImagePng, "PNG", open_reader, nullptr, read_row, nullptr, close_file, png_probe_header,
};

bool png_probe_header(FILE* stream, ImageInfo* info) {
  // Signature (8), IHDR length and type (8), width and height (8).
  uint8_t head[24];
  if (fseeko(stream, 0, SEEK_SET) != 0 || fread(head, 1, sizeof(head), stream) != sizeof(head)) {
    return false;
  }
  if (memcmp(head, "\x89PNG\r\n\x1A\n", 8) != 0 || memcmp(head + 12, "IHDR", 4) != 0) {
    return false;
  }
  auto big32 = [](const uint8_t* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  };
  uint32_t width = big32(head + 16);
  uint32_t height = big32(head + 20);
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return false;
  info->width = static_cast<int32_t>(width);
  info->height = static_cast<int32_t>(height);
  return true;
}
