// TIFF reader and writer on libtiff 4.
//
// Reading paths, chosen once at open:
// - scanlines: contiguous strips read row by row (also reduced reading with one row per strip);
// - strip reads: reduced reading that skips whole strips, one decoded strip held;
// - planes: planar files, one decoded strip held per plane, so rows never re-decode a strip;
// - tile bands: tiled contiguous files, one band of decoded tiles held.
// Buffers are sized from the header only after it is checked: a held strip or band is at most
// kMaxBlockBytes, and a header whose pixel data could not fit the file's stored data (even at
// the best compression ratio) is refused before anything is allocated. Row read errors give a
// zero-filled row; write errors are reported. Files are read without memory mapping, so a
// reader holds only its buffers, whatever the file's size. The library reaches the file through
// a stdio stream that readers and writers hand to the open-file table, so any number of TIFF
// files can be open at once. A refused file leaves the reason as the last-error detail.
#include "imageio/tiff_codec.h"

#include <sys/stat.h>
#include <tiffio.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"

namespace {

constexpr int64_t kMaxBlockBytes = int64_t{256} << 20;
constexpr int64_t kCompressionRatioLimit = 4096;  // above any codec's best ratio
constexpr int64_t kSmallFileAllowance = 65536;

enum ReadPath { kReadScanlines, kReadStrips, kReadPlanes, kReadTileBands };

struct TiffState {
  TIFF* tiff = nullptr;
  FILE* stream = nullptr;  // owned; null while the open-file table has closed it
  ReadPath path = kReadScanlines;
  bool reduced = false;       // deliver the hint's number of rows
  bool min_is_white = false;  // gray stored inverted; delivered min-is-black
  int32_t full_height = 0;
  int32_t samples = 0;          // samples per pixel in the file
  int32_t sample_bytes = 0;     // 1 or 2
  int64_t file_row_bytes = 0;   // one row of all samples, interleaved
  uint32_t rows_per_block = 0;  // rows per strip, or tile length for tile bands
  uint32_t tile_width = 0;
  int64_t strips_per_plane = 0;
  std::vector<uint8_t> interleaved;          // one file row, when it differs from the output
  std::vector<std::vector<uint8_t>> blocks;  // held strip (per plane) or tile band
  std::vector<int64_t> held_block;           // index of the block each buffer holds, -1 none
  std::vector<uint8_t> tile;                 // one decoded tile

  TiffState() = default;
  TiffState(const TiffState&) = delete;
  TiffState& operator=(const TiffState&) = delete;
  ~TiffState() {
    if (tiff) TIFFClose(tiff);
    if (stream) fclose(stream);
  }
};

TiffState* state_of(ImageFile* file) {
  return static_cast<TiffState*>(file->state.get());
}

FILE* get_stream(ImageFile* file) {
  return state_of(file)->stream;
}
void set_stream(ImageFile* file, FILE* stream) {
  state_of(file)->stream = stream;
}

int silent_handler(TIFF*, void*, const char*, const char*, va_list) {
  return 1;  // handled: nothing is printed
}

// ---- the library's file access, on the state's stdio stream ----
//
// The library reaches the file only through these functions and the stream, so the open-file
// table can close the stream between row calls and hand over a reopened one at the same
// position. The stream is closed by the codec, not by the library.

FILE* stream_of(thandle_t handle) {
  return static_cast<TiffState*>(static_cast<void*>(handle))->stream;
}

tmsize_t stream_read(thandle_t handle, void* buffer, tmsize_t size) {
  FILE* stream = stream_of(handle);
  if (!stream || size < 0) return -1;
  return static_cast<tmsize_t>(fread(buffer, 1, static_cast<size_t>(size), stream));
}

tmsize_t stream_write(thandle_t handle, void* buffer, tmsize_t size) {
  FILE* stream = stream_of(handle);
  if (!stream || size < 0) return -1;
  return static_cast<tmsize_t>(fwrite(buffer, 1, static_cast<size_t>(size), stream));
}

toff_t stream_seek(thandle_t handle, toff_t offset, int whence) {
  FILE* stream = stream_of(handle);
  if (!stream || offset > static_cast<toff_t>(INT64_MAX)) return static_cast<toff_t>(-1);
  if (fseeko(stream, static_cast<off_t>(offset), whence) != 0) return static_cast<toff_t>(-1);
  const off_t position = ftello(stream);
  return position < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(position);
}

int stream_close(thandle_t) {
  return 0;
}

toff_t stream_size(thandle_t handle) {
  FILE* stream = stream_of(handle);
  struct stat status {};
  if (!stream || fflush(stream) != 0 || fstat(fileno(stream), &status) != 0) return 0;
  return static_cast<toff_t>(status.st_size);
}

int stream_map(thandle_t, void**, toff_t*) {
  return 0;  // never mapped: a reader holds only its buffers
}

void stream_unmap(thandle_t, void*, toff_t) {}

// Opens the file as a stdio stream ("rb" or "wb") held by the state and the library on it with
// silent handlers, so no library message is ever printed.
bool open_silent(const std::string& path, const char* stream_mode, const char* library_mode,
                 TiffState* state) {
  FilePtr stream = open_file(path, stream_mode);
  if (!stream) return false;
  std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions*)> options(TIFFOpenOptionsAlloc(),
                                                                       TIFFOpenOptionsFree);
  if (!options) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), silent_handler, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), silent_handler, nullptr);
  state->stream = stream.release();
  state->tiff = TIFFClientOpenExt(path.c_str(), library_mode, static_cast<thandle_t>(state),
                                  stream_read, stream_write, stream_seek, stream_close, stream_size,
                                  stream_map, stream_unmap, options.get());
  return state->tiff != nullptr;
}

// A resolution as whole dots per inch; 0 (none) for a value no image can have: negative, not a
// number, or beyond the range of the field (a damaged or hostile file may hold any float).
int32_t rounded(double value) {
  if (!(value >= 0.0) || value >= 2147483647.0) return 0;
  return static_cast<int32_t>(value + 0.5);
}

// ---- reader ----

// The sample layout of a file, as its tags say.
struct SampleLayout {
  uint16_t photometric;
  uint16_t bits;
  uint16_t samples;
  uint16_t sample_format;
};

bool is_gray(uint16_t photometric) {
  return photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK;
}

// The pixel format of a sample layout; unsupported when the tools cannot process it.
PixelFormat format_for(const SampleLayout& layout) {
  // Signed integers are read as unsigned; float and other sample formats are refused.
  if (layout.sample_format != SAMPLEFORMAT_UINT && layout.sample_format != SAMPLEFORMAT_INT) {
    return kPixelUnsupported;
  }
  const uint16_t bits = layout.bits;
  const uint16_t samples = layout.samples;
  if (is_gray(layout.photometric) && bits == 8 && samples >= 1) return kPixelGray8;
  if (layout.photometric != PHOTOMETRIC_RGB) return kPixelUnsupported;
  if (bits == 8 && samples == 3) return kPixelRgb8;
  if (bits == 8 && samples == 4) return kPixelRgba8;
  if (bits == 16 && samples == 3) return kPixelRgb16;
  if (bits == 16 && samples == 4) return kPixelRgba16;
  return kPixelUnsupported;
}

// Why a layout that format_for refuses cannot be read, as the detail for the tools.
std::string refusal_detail(const SampleLayout& layout) {
  if (layout.sample_format == SAMPLEFORMAT_IEEEFP ||
      layout.sample_format == SAMPLEFORMAT_COMPLEXIEEEFP) {
    return kDetailTiffFloat;
  }
  if (layout.photometric == PHOTOMETRIC_PALETTE) return kDetailTiffPalette;
  if (layout.photometric == PHOTOMETRIC_SEPARATED) return kDetailTiffCmyk;
  const bool known = is_gray(layout.photometric) || layout.photometric == PHOTOMETRIC_RGB;
  if (known && layout.bits != 8 && layout.bits != 16) {
    char text[64];
    snprintf(text, sizeof text, kDetailTiffBits, layout.bits);
    return text;
  }
  if (is_gray(layout.photometric) && layout.bits == 16) return kDetailGray16;
  return kDetailTiffColorSpace;
}

// Reads the size and the sample layout; the reason the file cannot be read, empty when it can.
std::string read_layout(TIFF* tiff, uint32_t* width, uint32_t* height, SampleLayout* layout) {
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout->bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout->samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &layout->sample_format);
  if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, width) ||
      !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, height) || *width == 0 || *height == 0 ||
      *width > INT32_MAX || *height > INT32_MAX) {
    return kDetailTiffDamaged;
  }
  if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &layout->photometric)) {
    return layout->sample_format == SAMPLEFORMAT_IEEEFP ? kDetailTiffFloat : kDetailTiffDamaged;
  }
  if (format_for(*layout) == kPixelUnsupported) return refusal_detail(*layout);
  if (layout->samples > 64) return kDetailTiffColorSpace;
  return "";
}

// Sum of the stored strip or tile byte counts, at most the file size.
int64_t stored_bytes(TIFF* tiff) {
  uint64_t* counts = nullptr;
  uint32_t tag = TIFFIsTiled(tiff) ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS;
  if (!TIFFGetField(tiff, tag, &counts) || !counts) return 0;
  // Counts that claim more than the file holds are limited to the file.
  const int64_t file_size = static_cast<int64_t>(TIFFGetSizeProc(tiff)(TIFFClientdata(tiff)));
  uint32_t blocks = TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  int64_t sum = 0;
  for (uint32_t i = 0; i < blocks; ++i) {
    if (counts[i] > static_cast<uint64_t>(INT64_MAX / 2)) return INT64_MAX / 2;
    sum += static_cast<int64_t>(counts[i]);
    if (sum > file_size) return file_size;
  }
  return sum;
}

void read_properties(TIFF* tiff, ImageProps* props) {
  char* description = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description) && description &&
      strlen(description) > 6 && strncmp(description, "qorvel", 6) == 0) {
    props->comment.assign(description, strnlen(description, 255));
  }
  uint16_t unit = 0;
  float x = 0;
  float y = 0;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit) &&
      TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) && TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y)) {
    if (unit == RESUNIT_INCH) {
      props->dpi_x = rounded(x);
      props->dpi_y = rounded(y);
    } else if (unit == RESUNIT_CENTIMETER) {
      props->dpi_x = rounded(x * 2.54);
      props->dpi_y = rounded(y * 2.54);
    }
  }
  uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  switch (compression) {
    case COMPRESSION_NONE:
      props->tiff_compression = 1;
      break;
    case COMPRESSION_LZW:
      props->tiff_compression = 2;
      break;
    case COMPRESSION_ADOBE_DEFLATE:
      props->tiff_compression = 3;
      break;
    case COMPRESSION_JPEG:
      props->tiff_compression = 4;
      break;
    default:
      break;
  }
}

// Chooses the reading path and sizes its buffers; false when a held block would be too large.
bool plan_reading(TIFF* tiff, TiffState* state, uint16_t planar, const LoadHint* hint,
                  int32_t* delivered_height) {
  const int64_t plane_row_bytes = planar == PLANARCONFIG_SEPARATE
                                      ? state->file_row_bytes / state->samples
                                      : state->file_row_bytes;
  *delivered_height = state->full_height;
  if (TIFFIsTiled(tiff)) {
    uint32_t tile_width = 0;
    uint32_t tile_length = 0;
    if (planar == PLANARCONFIG_SEPARATE || !TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width) ||
        !TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_length) || tile_width == 0 ||
        tile_length == 0) {
      return false;
    }
    const int64_t tile_bytes = TIFFTileSize64(tiff);
    const int64_t pixel_bytes = int64_t{state->samples} * state->sample_bytes;
    const int64_t width = state->file_row_bytes / pixel_bytes;
    const int64_t columns = (width + tile_width - 1) / tile_width;
    const int64_t band_row_bytes = columns * tile_width * pixel_bytes;  // below 2^45
    if (tile_bytes <= 0 || tile_bytes > kMaxBlockBytes ||
        band_row_bytes > kMaxBlockBytes / tile_length) {
      return false;
    }
    const int64_t band_bytes = band_row_bytes * tile_length;
    state->path = kReadTileBands;
    state->tile_width = tile_width;
    state->rows_per_block = tile_length;
    state->tile.resize(static_cast<size_t>(tile_bytes));
    state->blocks.resize(1);
    state->blocks[0].resize(static_cast<size_t>(band_bytes));
    state->held_block.assign(1, -1);
    return true;
  }
  uint32_t rows_per_strip = 0;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (rows_per_strip == 0 || rows_per_strip > static_cast<uint32_t>(state->full_height)) {
    rows_per_strip = static_cast<uint32_t>(state->full_height);
  }
  state->rows_per_block = rows_per_strip;
  state->strips_per_plane = (int64_t{state->full_height} + rows_per_strip - 1) / rows_per_strip;
  const int64_t strip_bytes = plane_row_bytes * rows_per_strip;
  if (planar == PLANARCONFIG_SEPARATE) {
    if (strip_bytes > kMaxBlockBytes) return false;
    state->path = kReadPlanes;
    state->blocks.resize(static_cast<size_t>(state->samples));
    for (auto& block : state->blocks) block.resize(static_cast<size_t>(strip_bytes));
    state->held_block.assign(static_cast<size_t>(state->samples), -1);
    return true;
  }
  state->path = kReadScanlines;
  if (hint && hint->enabled && hint->max_height > 0 && hint->max_height < state->full_height) {
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    // Single-row strips and uncompressed data are read at any row, so only the delivered rows
    // are read.
    if (rows_per_strip == 1 || compression == COMPRESSION_NONE) {
      state->reduced = true;
    } else if (double(state->full_height) / hint->max_height / rows_per_strip >= 1.5 &&
               strip_bytes <= kMaxBlockBytes) {
      state->reduced = true;
      state->path = kReadStrips;
      state->blocks.resize(1);
      state->blocks[0].resize(static_cast<size_t>(strip_bytes));
      state->held_block.assign(1, -1);
    }
    if (state->reduced) *delivered_height = hint->max_height;
  }
  return true;
}

std::unique_ptr<ImageFile> open_reader(const std::string& path, ImageProps* props) {
  auto state = std::make_shared<TiffState>();
  if (!open_silent(path, "rb", "rm", state.get())) {
    return state->stream ? image_refuse(kDetailTiffDamaged) : nullptr;
  }
  TIFF* tiff = state->tiff;
  uint32_t width = 0;
  uint32_t height = 0;
  SampleLayout layout{0, 1, 1, SAMPLEFORMAT_UINT};
  const std::string refusal = read_layout(tiff, &width, &height, &layout);
  if (!refusal.empty()) return image_refuse(refusal);
  const PixelFormat format = format_for(layout);
  uint16_t planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  const uint16_t samples = layout.samples;
  state->full_height = static_cast<int32_t>(height);
  state->samples = samples;
  state->sample_bytes = layout.bits / 8;
  state->min_is_white = layout.photometric == PHOTOMETRIC_MINISWHITE;
  state->file_row_bytes = int64_t{width} * samples * state->sample_bytes;
  const int64_t output_row_bytes = pixel_format_row_bytes(format, width);
  if (state->file_row_bytes > INT32_MAX) return image_refuse(kDetailTiffHugeBlocks);
  // Pixel data the stored bytes cannot hold, even at the best compression ratio, is refused.
  if (state->file_row_bytes * height / kCompressionRatioLimit >
      stored_bytes(tiff) + kSmallFileAllowance) {
    return image_refuse(kDetailTiffDamaged);
  }
  const LoadHint* hint = props ? props->load_hint : nullptr;
  int32_t delivered_height = 0;
  if (TIFFIsTiled(tiff) && planar == PLANARCONFIG_SEPARATE) {
    return image_refuse(kDetailTiffTiledPlanar);
  }
  if (!plan_reading(tiff, state.get(), planar, hint, &delivered_height)) {
    return image_refuse(kDetailTiffHugeBlocks);
  }
  if (state->path == kReadPlanes || state->file_row_bytes != output_row_bytes) {
    state->interleaved.resize(static_cast<size_t>(state->file_row_bytes));
  }
  auto file = std::make_unique<ImageFile>();
  file->kind = kImageTiff;
  file->width = static_cast<int32_t>(width);
  file->height = delivered_height;
  file->format = format;
  file->channels = format == kPixelGray8 ? 1 : samples;
  file->bits_per_pixel = pixel_format_bytes(format) * 8;
  file->bytes_per_row = static_cast<int32_t>(output_row_bytes);
  if (props) {
    props->width = static_cast<int32_t>(width);
    props->height = static_cast<int32_t>(height);
    read_properties(tiff, props);
  }
  file->get_stream = get_stream;
  file->set_stream = set_stream;
  file->state = state;
  return file;
}

// Makes buffer `index` hold the decoded strip; false when it cannot be read.
bool hold_strip(TiffState* state, size_t index, int64_t strip) {
  if (state->held_block[index] == strip) return true;
  state->held_block[index] = -1;
  std::vector<uint8_t>& block = state->blocks[index];
  tmsize_t read = TIFFReadEncodedStrip(state->tiff, static_cast<uint32_t>(strip), block.data(),
                                       static_cast<tmsize_t>(block.size()));
  if (read < 0) return false;
  if (static_cast<size_t>(read) < block.size()) {
    memset(block.data() + read, 0, block.size() - static_cast<size_t>(read));
  }
  state->held_block[index] = strip;
  return true;
}

// Makes the band buffer hold the decoded tiles of one band of rows.
bool hold_band(TiffState* state, int64_t band, int32_t width) {
  if (state->held_block[0] == band) return true;
  state->held_block[0] = -1;
  const int64_t pixel_bytes = int64_t{state->samples} * state->sample_bytes;
  const int64_t band_row_bytes =
      static_cast<int64_t>(state->blocks[0].size()) / state->rows_per_block;
  const int64_t tile_row_bytes = int64_t{state->tile_width} * pixel_bytes;
  const uint32_t y = static_cast<uint32_t>(band * state->rows_per_block);
  for (uint32_t x = 0; x < static_cast<uint32_t>(width); x += state->tile_width) {
    uint32_t tile = TIFFComputeTile(state->tiff, x, y, 0, 0);
    tmsize_t read = TIFFReadEncodedTile(state->tiff, tile, state->tile.data(),
                                        static_cast<tmsize_t>(state->tile.size()));
    if (read < 0) memset(state->tile.data(), 0, state->tile.size());
    for (uint32_t row = 0; row < state->rows_per_block; ++row) {
      memcpy(state->blocks[0].data() + row * band_row_bytes + x * pixel_bytes,
             state->tile.data() + row * tile_row_bytes, static_cast<size_t>(tile_row_bytes));
    }
  }
  state->held_block[0] = band;
  return true;
}

// Fills target with one file row (all samples interleaved); false when it cannot be read.
bool read_file_row(ImageFile* file, TiffState* state, uint32_t source_row, uint8_t* target) {
  const size_t row_bytes = static_cast<size_t>(state->file_row_bytes);
  switch (state->path) {
    case kReadStrips:
      if (hold_strip(state, 0, source_row / state->rows_per_block)) {
        memcpy(target, state->blocks[0].data() + (source_row % state->rows_per_block) * row_bytes,
               row_bytes);
        return true;
      }
      return TIFFReadScanline(state->tiff, target, source_row, 0) >= 0;
    case kReadScanlines:
      return TIFFReadScanline(state->tiff, target, source_row, 0) >= 0;
    case kReadTileBands:
      if (!hold_band(state, source_row / state->rows_per_block, file->width)) return false;
      memcpy(target,
             state->blocks[0].data() + (source_row % state->rows_per_block) *
                                           (state->blocks[0].size() / state->rows_per_block),
             row_bytes);
      return true;
    case kReadPlanes: {
      const int64_t plane_row = file->width * int64_t{state->sample_bytes};
      const int32_t sample_bytes = state->sample_bytes;
      for (int32_t plane = 0; plane < state->samples; ++plane) {
        int64_t strip = plane * state->strips_per_plane + source_row / state->rows_per_block;
        if (!hold_strip(state, static_cast<size_t>(plane), strip)) return false;
        const uint8_t* in = state->blocks[static_cast<size_t>(plane)].data() +
                            (source_row % state->rows_per_block) * plane_row;
        uint8_t* out = target + plane * sample_bytes;
        for (int32_t x = 0; x < file->width; ++x) {
          memcpy(out, in, static_cast<size_t>(sample_bytes));
          in += sample_bytes;
          out += state->samples * sample_bytes;
        }
      }
      return true;
    }
  }
  return false;
}

bool read_row(ImageFile* file, void* row) {
  TiffState* state = state_of(file);
  uint32_t source_row = static_cast<uint32_t>(file->row);
  if (state->reduced) {
    source_row = static_cast<uint32_t>(int64_t{file->row} * state->full_height / file->height);
  }
  uint8_t* output = static_cast<uint8_t*>(row);
  uint8_t* target = state->interleaved.empty() ? output : state->interleaved.data();
  if (!read_file_row(file, state, source_row, target)) {
    // A row the library cannot decode is delivered as zeros.
    memset(target, 0, static_cast<size_t>(state->file_row_bytes));
  }
  if (target != output) {
    // Gray with extra samples keeps its first sample; planar rows are already interleaved.
    if (file->format == kPixelGray8 && state->samples > 1) {
      for (int32_t x = 0; x < file->width; ++x) output[x] = target[int64_t{x} * state->samples];
    } else {
      memcpy(output, target, static_cast<size_t>(file->bytes_per_row));
    }
  }
  if (state->min_is_white) {
    for (int32_t x = 0; x < file->width; ++x) output[x] = static_cast<uint8_t>(255 - output[x]);
  }
  return true;
}

// ---- writer ----

struct WriterLayout {
  uint16_t bits;
  uint16_t samples;
  uint16_t photometric;
};

bool layout_for(PixelFormat format, WriterLayout* layout) {
  switch (format) {
    case kPixelGray8:
      *layout = {8, 1, PHOTOMETRIC_MINISBLACK};
      return true;
    case kPixelRgb8:
      *layout = {8, 3, PHOTOMETRIC_RGB};
      return true;
    case kPixelRgba8:
      *layout = {8, 4, PHOTOMETRIC_RGB};
      return true;
    case kPixelRgb16:
      *layout = {16, 3, PHOTOMETRIC_RGB};
      return true;
    case kPixelRgba16:
      *layout = {16, 4, PHOTOMETRIC_RGB};
      return true;
    default:
      return false;
  }
}

// Sets the compression tag (and its level or quality) from the properties; returns the tag.
uint16_t set_compression(TIFF* tiff, const ImageProps& props, PixelFormat format) {
  int32_t code = props.tiff_compression != 0 ? props.tiff_compression : 2;
  const int32_t level = props.deflate_level != 0 ? props.deflate_level : 9;
  const int32_t quality = props.jpeg_quality != 0 ? props.jpeg_quality : 85;
  const bool sixteen_bit = format == kPixelRgb16 || format == kPixelRgba16;
  if (code == 5) code = sixteen_bit ? 3 : 2;
  switch (code) {
    case 1:
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
      return COMPRESSION_NONE;
    case 3:
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
      if (level >= 1 && level <= 9) TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, level);
      return COMPRESSION_ADOBE_DEFLATE;
    case 4:
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
      TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, quality);
      return COMPRESSION_JPEG;
    default:
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
      return COMPRESSION_LZW;
  }
}

std::unique_ptr<ImageFile> create_writer(const std::string& path, int32_t width, int32_t height,
                                         PixelFormat format, const ImageProps& props,
                                         ImageKind kind) {
  WriterLayout layout;
  if (!layout_for(format, &layout) || width <= 0 || height <= 0) return nullptr;
  const int64_t row_bytes = pixel_format_row_bytes(format, width);
  if (row_bytes > INT32_MAX) return nullptr;
  auto state = std::make_shared<TiffState>();
  if (!open_silent(path, "wb", kind == kImageBigTiff ? "w8m" : "wm", state.get())) {
    return nullptr;
  }
  TIFF* tiff = state->tiff;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
  const uint16_t compression = set_compression(tiff, props, format);
  int32_t dpi_x = props.dpi_x != 0 ? props.dpi_x : 72;
  int32_t dpi_y = props.dpi_y != 0 ? props.dpi_y : 72;
  if (dpi_x < 1 || dpi_x > 10000 || dpi_y < 1 || dpi_y > 10000) dpi_x = dpi_y = 72;
  TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<float>(dpi_x));
  TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<float>(dpi_y));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bits);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
  TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.photometric);
  if (layout.samples == 4) {
    // The fourth sample is unassociated alpha: without this tag readers see a fourth colour.
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  uint32_t rows_per_strip = TIFFDefaultStripSize(tiff, 0);
  if (compression == COMPRESSION_JPEG) rows_per_strip = rows_per_strip / 8 * 8 + 8;
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  if (!props.comment.empty() && props.comment.compare(0, 6, "qorvel") == 0) {
    TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, props.comment.c_str());
  }
  if (props.embed_icc && props.icc_data && props.icc_size > 0) {
    TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(props.icc_size), props.icc_data);
  }
  auto file = std::make_unique<ImageFile>();
  file->kind = kind == kImageBigTiff ? kImageBigTiff : kImageTiff;
  file->width = width;
  file->height = height;
  file->format = format;
  file->channels = layout.samples;
  file->bits_per_pixel = layout.bits * layout.samples;
  file->bytes_per_row = static_cast<int32_t>(row_bytes);
  file->get_stream = get_stream;
  file->set_stream = set_stream;
  file->state = state;
  return file;
}

bool write_row(ImageFile* file, const void* row) {
  TiffState* state = state_of(file);
  // The library takes a non-const buffer but does not change it for these layouts.
  return TIFFWriteScanline(state->tiff, const_cast<void*>(row), static_cast<uint32_t>(file->row),
                           0) == 1;
}

bool close_file(ImageFile* file) {
  TiffState* state = state_of(file);
  bool ok = true;
  if (file->mode == kImageWrite) {
    ok = file->row == file->height && TIFFFlush(state->tiff) == 1;
  }
  TIFFClose(state->tiff);
  state->tiff = nullptr;
  if (state->stream) {
    ok = fclose(state->stream) == 0 && ok;
    state->stream = nullptr;
  }
  return ok;
}

}  // namespace

const ImageCodec kTiffCodec = {
    kImageTiff, "TIFF", open_reader, create_writer, read_row, write_row, close_file, nullptr,
};
