// KRO reader and writer. Layout: "KRO" 01, width, height (signed 32-bit, > 0), a word holding
// the ICC size (24 bits) and the bits per channel (8 bits), channels (3 or 4), the profile, then
// the rows top first; every number big-endian, 16-bit samples big-endian. Rows sit at fixed
// offsets, so a reduced read seeks to each delivered row.
#include "imageio/kro_codec.h"

#include <cstring>
#include <memory>
#include <vector>

#include "base/files.h"
#include "imageio/color_profile.h"
#include "imageio/metadata.h"

namespace {

struct KroHeader {
  int32_t width = 0;
  int32_t height = 0;
  uint32_t icc_size = 0;
  int32_t bits = 0;  // per channel: 8 or 16
  int32_t channels = 0;
};

// Rows go through a larger stream buffer than the default one of a block (4 KiB): the temporary
// faces of a tour are written once and read back once per level, a row of some kilobytes at a
// time.
constexpr size_t kStreamBufferBytes = 262144;

struct KroState {
  FILE* stream = nullptr;  // owned; null while the open-file table has closed it
  // The buffer of the stream as first opened (a stream the open-file table reopens has the
  // default one); it outlives the stream, which the destructor closes first.
  std::unique_ptr<char[]> stream_buffer;
  bool sixteen_bit = false;
  bool reduced = false;     // deliver only the hint's number of rows, by seeking
  int64_t data_offset = 0;  // first row: header + profile
  int32_t full_height = 0;
  std::vector<uint8_t> row_buffer;  // one row of 16-bit data in file order

  KroState() = default;
  KroState(const KroState&) = delete;
  KroState& operator=(const KroState&) = delete;
  ~KroState() {
    if (stream) fclose(stream);
  }
};

KroState* state_of(ImageFile* file) {
  return static_cast<KroState*>(file->state.get());
}

uint32_t read_big32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

void put_big32(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

// Reads the header at the stream's start; false when it is short or not a KRO header.
bool read_raw_header(FILE* stream, KroHeader* header) {
  uint8_t bytes[kKroHeaderSize];
  if (fseeko(stream, 0, SEEK_SET) != 0 || fread(bytes, 1, sizeof(bytes), stream) != sizeof(bytes)) {
    return false;
  }
  if (memcmp(bytes, "KRO\x01", 4) != 0) return false;
  header->width = static_cast<int32_t>(read_big32(bytes + 4));
  header->height = static_cast<int32_t>(read_big32(bytes + 8));
  uint32_t word = read_big32(bytes + 12);
  header->icc_size = word >> 8;
  header->bits = static_cast<int32_t>(word & 0xFF);
  header->channels = static_cast<int32_t>(read_big32(bytes + 16));
  return true;
}

// A positive size, 8 or 16 bits and 3 or 4 channels.
bool header_usable(const KroHeader& header) {
  return header.width > 0 && header.height > 0 && (header.bits == 8 || header.bits == 16) &&
         (header.channels == 3 || header.channels == 4);
}

// Reads and checks the header at the stream's start.
bool read_header(FILE* stream, KroHeader* header) {
  return read_raw_header(stream, header) && header_usable(*header);
}

PixelFormat format_of(int32_t bits, int32_t channels) {
  if (bits == 8) return channels == 3 ? kPixelRgb8 : kPixelRgba8;
  return channels == 3 ? kPixelRgb16 : kPixelRgba16;
}

int64_t file_size_of(FILE* stream) {
  if (fseeko(stream, 0, SEEK_END) != 0) return -1;
  return ftello(stream);
}

// Turns big-endian 16-bit samples into the machine's order (or back), from in to out.
void swap_samples(const uint8_t* in, uint8_t* out, int64_t samples) {
  for (int64_t i = 0; i < samples; ++i) {
    uint8_t high = in[2 * i];
    out[2 * i] = in[2 * i + 1];
    out[2 * i + 1] = high;
  }
}

FILE* get_stream(ImageFile* file) {
  return state_of(file)->stream;
}
void set_stream(ImageFile* file, FILE* stream) {
  state_of(file)->stream = stream;
}

// Gives a stream just opened the state's own buffer.
void use_stream_buffer(KroState* state, FILE* stream) {
  state->stream_buffer = std::make_unique<char[]>(kStreamBufferBytes);
  setvbuf(stream, state->stream_buffer.get(), _IOFBF, kStreamBufferBytes);
}

std::unique_ptr<ImageFile> open_reader(const std::string& path, ImageProps* props) {
  // The state (and so the buffer) is made first: an early return closes the stream before it.
  auto state = std::make_shared<KroState>();
  FilePtr stream = open_file(path, "rb");
  if (!stream) return nullptr;
  use_stream_buffer(state.get(), stream.get());
  KroHeader header;
  if (!read_raw_header(stream.get(), &header)) return image_refuse(kDetailKroDamaged);
  if (!header_usable(header)) return image_refuse(kDetailKroLayout);
  const int64_t row_bytes = int64_t{header.width} * header.channels * (header.bits / 8);
  const int64_t data_offset = kKroHeaderSize + header.icc_size;
  // Every row must be in the file before anything is sized from the header.
  if (row_bytes > INT32_MAX) return image_refuse(kDetailKroDamaged);
  int64_t file_size = file_size_of(stream.get());
  if (file_size < data_offset || (file_size - data_offset) / row_bytes < header.height) {
    return image_refuse(kDetailKroDamaged);
  }
  state->sixteen_bit = header.bits == 16;
  state->data_offset = data_offset;
  state->full_height = header.height;
  auto file = std::make_unique<ImageFile>();
  file->kind = kImageKro;
  file->width = header.width;
  file->height = header.height;
  file->format = format_of(header.bits, header.channels);
  file->channels = header.channels;
  file->bits_per_pixel = header.bits * header.channels;
  file->bytes_per_row = static_cast<int32_t>(row_bytes);
  if (props) {
    props->width = header.width;
    props->height = header.height;
    const LoadHint* hint = props->load_hint;
    if (hint && hint->enabled && hint->max_height > 0 && hint->max_height < header.height) {
      state->reduced = true;
      file->height = hint->max_height;
    }
  }
  if (state->sixteen_bit) state->row_buffer.resize(static_cast<size_t>(row_bytes));
  if (fseeko(stream.get(), data_offset, SEEK_SET) != 0) return nullptr;
  state->stream = stream.release();
  file->get_stream = get_stream;
  file->set_stream = set_stream;
  file->state = state;
  return file;
}

bool read_row(ImageFile* file, void* row) {
  KroState* state = state_of(file);
  if (!state->stream) return false;
  const size_t size = static_cast<size_t>(file->bytes_per_row);
  if (state->reduced) {
    int64_t source_row = int64_t{file->row} * state->full_height / file->height;
    if (fseeko(state->stream, state->data_offset + source_row * file->bytes_per_row, SEEK_SET) !=
        0) {
      return false;
    }
  }
  uint8_t* target = state->sixteen_bit ? state->row_buffer.data() : static_cast<uint8_t*>(row);
  if (fread(target, 1, size, state->stream) != size) return false;
  if (state->sixteen_bit) swap_samples(target, static_cast<uint8_t*>(row), int64_t(size) / 2);
  return true;
}

std::unique_ptr<ImageFile> create_writer(const std::string& path, int32_t width, int32_t height,
                                         PixelFormat format, const ImageProps& props, ImageKind) {
  if (format != kPixelRgb8 && format != kPixelRgba8 && format != kPixelRgb16 &&
      format != kPixelRgba16) {
    return nullptr;
  }
  const int32_t bits = (format == kPixelRgb16 || format == kPixelRgba16) ? 16 : 8;
  const int32_t channels = (format == kPixelRgba8 || format == kPixelRgba16) ? 4 : 3;
  const int64_t row_bytes = int64_t{width} * channels * (bits / 8);
  if (width <= 0 || height <= 0 || row_bytes > INT32_MAX) return nullptr;
  const uint32_t icc_size =
      props.icc_data && props.icc_size > 0 ? static_cast<uint32_t>(props.icc_size) : 0;
  if (icc_size > 0xFFFFFF) return nullptr;  // the header holds 24 bits
  auto state = std::make_shared<KroState>();
  FilePtr stream = open_file(path, "wb");
  if (!stream) return nullptr;
  use_stream_buffer(state.get(), stream.get());
  uint8_t header[kKroHeaderSize];
  memcpy(header, "KRO\x01", 4);
  put_big32(header + 4, static_cast<uint32_t>(width));
  put_big32(header + 8, static_cast<uint32_t>(height));
  put_big32(header + 12, icc_size << 8 | static_cast<uint32_t>(bits));
  put_big32(header + 16, static_cast<uint32_t>(channels));
  if (fwrite(header, 1, sizeof(header), stream.get()) != sizeof(header)) return nullptr;
  if (icc_size > 0 && fwrite(props.icc_data, 1, icc_size, stream.get()) != icc_size) {
    return nullptr;
  }
  state->sixteen_bit = bits == 16;
  if (state->sixteen_bit) state->row_buffer.resize(static_cast<size_t>(row_bytes));
  state->stream = stream.release();
  auto file = std::make_unique<ImageFile>();
  file->kind = kImageKro;
  file->width = width;
  file->height = height;
  file->format = format;
  file->channels = channels;
  file->bits_per_pixel = bits * channels;
  file->bytes_per_row = static_cast<int32_t>(row_bytes);
  file->get_stream = get_stream;
  file->set_stream = set_stream;
  file->state = state;
  return file;
}

bool write_row(ImageFile* file, const void* row) {
  KroState* state = state_of(file);
  if (!state->stream) return false;
  const size_t size = static_cast<size_t>(file->bytes_per_row);
  const uint8_t* data = static_cast<const uint8_t*>(row);
  if (state->sixteen_bit) {
    swap_samples(data, state->row_buffer.data(), int64_t(size) / 2);
    data = state->row_buffer.data();
  }
  return fwrite(data, 1, size, state->stream) == size;
}

bool close_file(ImageFile* file) {
  KroState* state = state_of(file);
  bool ok = true;
  if (state->stream) {
    ok = fclose(state->stream) == 0;
    state->stream = nullptr;
  }
  // A writer closed before its last row leaves a file that readers refuse.
  if (file->mode == kImageWrite && file->row != file->height) ok = false;
  return ok;
}

}  // namespace

const ImageCodec kKroCodec = {
    kImageKro, "KRO", open_reader, create_writer, read_row, write_row, close_file, kro_probe_header,
};

bool kro_probe_header(FILE* stream, ImageInfo* info) {
  KroHeader header;
  if (!read_header(stream, &header)) return false;
  info->width = header.width;
  info->height = header.height;
  if (header.icc_size > 0 && info->icc.empty()) {
    int64_t file_size = file_size_of(stream);
    if (file_size >= kKroHeaderSize + int64_t{header.icc_size} &&
        fseeko(stream, kKroHeaderSize, SEEK_SET) == 0) {
      std::vector<uint8_t> icc(header.icc_size);
      if (fread(icc.data(), 1, icc.size(), stream) == icc.size()) {
        info->icc_description = icc_profile_description(icc.data(), icc.size());
        info->icc = std::move(icc);
      }
    }
  }
  return true;
}
