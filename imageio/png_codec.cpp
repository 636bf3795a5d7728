// PNG reader on stb_image (this file holds the decoder; only its PNG part is compiled).
//
// A PNG's image data is deflate-compressed, whose best ratio is about 1032 : 1, so a header
// whose stored rows need more than that many times the file's size is refused before
// decoding: the data cannot be there, and nothing is allocated from such a header. The decoder
// delivers 16-bit samples in the machine's order.
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
  void operator()(void* pixels) const { stbi_image_free(pixels); }
};

struct PngState {
  std::unique_ptr<uint8_t, StbFree> pixels;  // the whole decoded image, rows of the format
  int32_t full_height = 0;
  bool reduced = false;  // deliver only the hint's number of rows
};

PngState* state_of(ImageFile* file) {
  return static_cast<PngState*>(file->state.get());
}

int as_int_size(size_t size) {
  return size > INT32_MAX ? -1 : static_cast<int>(size);
}

uint32_t big32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

// What the header chunk and the chunks before the image data say.
struct PngHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  int bit_depth = 0;         // 1, 2, 4, 8 or 16 per sample
  int samples = 0;           // stored samples per pixel: 1 gray or palette, 2, 3 or 4
  bool transparent = false;  // colour type with alpha, or a tRNS chunk
};

// Reads the IHDR chunk and walks the chunks up to the first IDAT for tRNS; false when the
// header is not usable.
bool read_png_header(const uint8_t* bytes, size_t size, PngHeader* header) {
  if (size < 33 || memcmp(bytes + 12, "IHDR", 4) != 0) return false;
  header->width = big32(bytes + 16);
  header->height = big32(bytes + 20);
  header->bit_depth = bytes[24];
  const int colour_type = bytes[25];
  static const int kSamples[7] = {1, 0, 3, 1, 2, 0, 4};
  if (colour_type > 6 || kSamples[colour_type] == 0) return false;
  header->samples = kSamples[colour_type];
  header->transparent = colour_type == 4 || colour_type == 6;
  for (size_t at = 8; at + 8 <= size;) {
    const uint32_t length = big32(bytes + at);
    if (memcmp(bytes + at + 4, "IDAT", 4) == 0) break;
    if (memcmp(bytes + at + 4, "tRNS", 4) == 0) header->transparent = true;
    if (length > size - at - 8) break;
    at += size_t{length} + 12;
  }
  return header->width > 0 && header->height > 0 && header->width <= INT32_MAX &&
         header->height <= INT32_MAX;
}

// Decodes the whole image into the state with the given channel count (3 or 4), 16-bit samples
// when the file stores them; false when the data is damaged or not of the header's size.
bool decode(const stbi_uc* bytes, int size, const PngHeader& header, int channels,
            PngState* state) {
  int width = 0, height = 0, file_channels = 0;
  void* pixels = header.bit_depth == 16
                     ? static_cast<void*>(stbi_load_16_from_memory(bytes, size, &width, &height,
                                                                   &file_channels, channels))
                     : static_cast<void*>(stbi_load_from_memory(bytes, size, &width, &height,
                                                                &file_channels, channels));
  state->pixels.reset(static_cast<uint8_t*>(pixels));
  return state->pixels && static_cast<uint32_t>(width) == header.width &&
         static_cast<uint32_t>(height) == header.height;
}

// Whether every chunk's declared length fits the bytes after it: the decoder would otherwise
// reserve memory for a length read from the file (up to 2 GiB) before finding it cut short.
bool chunk_lengths_fit(const stbi_uc* bytes, size_t size) {
  size_t at = 8;  // after the signature
  while (at + 12 <= size) {
    const uint64_t length = (uint64_t{bytes[at]} << 24) | (uint64_t{bytes[at + 1]} << 16) |
                            (uint64_t{bytes[at + 2]} << 8) | bytes[at + 3];
    if (length > size - at - 12) return false;
    if (memcmp(bytes + at + 4, "IEND", 4) == 0) return true;
    at += 12 + static_cast<size_t>(length);
  }
  return true;  // a cut-off chunk header is the decoder's to judge
}

// Every PNG is delivered as RGB or RGBA (RGBA when it has alpha or a transparent colour), at 16
// bits when it stores 16-bit samples and at 8 otherwise: gray is widened to RGB, palette and
// low bit depths are expanded.
std::unique_ptr<ImageFile> open_reader(const std::string& path, ImageProps* props) {
  std::string data;
  if (!read_whole_file(path, &data)) return nullptr;
  const int size = as_int_size(data.size());
  if (size <= 0) return image_refuse(kDetailPngDamaged);
  const stbi_uc* bytes = reinterpret_cast<const stbi_uc*>(data.data());
  PngHeader header;
  if (!read_png_header(bytes, static_cast<size_t>(size), &header) ||
      !chunk_lengths_fit(bytes, static_cast<size_t>(size))) {
    return image_refuse(kDetailPngDamaged);
  }
  const int64_t width = header.width;
  const int64_t height = header.height;
  // The stored rows (a filter byte each) must fit the compressed data at deflate's best ratio.
  const int64_t stored_row = 1 + (width * header.samples * header.bit_depth + 7) / 8;
  if (stored_row > (int64_t{size} * kDeflateRatioLimit + kSmallFileAllowance) / height) {
    return image_refuse(kDetailPngDamaged);
  }
  const bool sixteen = header.bit_depth == 16;
  const int channels = header.transparent ? 4 : 3;
  const int64_t bytes_per_row = width * channels * (sixteen ? 2 : 1);
  if (bytes_per_row > INT32_MAX) return image_refuse(kDetailPngDamaged);
  auto state = std::make_shared<PngState>();
  if (!decode(bytes, size, header, channels, state.get())) return image_refuse(kDetailPngDamaged);
  const int32_t decoded_width = static_cast<int32_t>(width);
  const int32_t decoded_height = static_cast<int32_t>(height);
  state->full_height = decoded_height;
  auto file = std::make_unique<ImageFile>();
  file->kind = kImagePng;
  file->width = decoded_width;
  file->height = decoded_height;
  file->format = sixteen ? (channels == 3 ? kPixelRgb16 : kPixelRgba16)
                         : (channels == 3 ? kPixelRgb8 : kPixelRgba8);
  file->channels = channels;
  file->bits_per_pixel = pixel_format_bytes(file->format) * 8;
  file->bytes_per_row = static_cast<int32_t>(bytes_per_row);
  if (props) {
    props->width = decoded_width;
    props->height = decoded_height;
    const LoadHint* hint = props->load_hint;
    if (hint && hint->enabled && hint->max_height > 0 && hint->max_height < decoded_height) {
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
  uint32_t width = big32(head + 16);
  uint32_t height = big32(head + 20);
  if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return false;
  info->width = static_cast<int32_t>(width);
  info->height = static_cast<int32_t>(height);
  return true;
}
