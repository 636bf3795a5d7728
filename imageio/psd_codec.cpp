// PSD and PSB reader and writer. Every number in the file is big-endian; PSB widens the
// section lengths, the layer channel lengths and the run-length table entries.
//
// Hostile headers are checked before anything is sized from them: lengths and offsets must lie
// inside the file, run-length rows may not claim more than twice the row size, PackBits output
// never passes the end of a row, and a header whose pixel data could not fit the file even at
// the best compression ratio is refused.
#include "imageio/psd_codec.h"

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "base/console.h"
#include "base/files.h"

const char kPsdLayeredDetail[] = "only flatten psd/psb files are supported";

namespace {

std::atomic<bool> ignore_layers_setting{false};

constexpr int kMaxChannels = 64;
constexpr int64_t kCompressionRatioLimit = 1100;  // above deflate's best ratio, with margin
constexpr int64_t kSmallFileAllowance = 65536;

enum ChannelCompression : int32_t {
  kRaw = 0,
  kPackBits = 1,
  kZip = 2,
  kZipPrediction = 3,
};

// Checked reads from an open stream of known size.
struct PsdStream {
  FILE* stream = nullptr;
  int64_t size = 0;

  bool read(int64_t offset, void* buffer, int64_t count) const {
    if (offset < 0 || count < 0 || offset > size || count > size - offset) return false;
    if (count == 0) return true;
    return fseeko(stream, offset, SEEK_SET) == 0 &&
           fread(buffer, 1, static_cast<size_t>(count), stream) == static_cast<size_t>(count);
  }
};

uint64_t big_number(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// A number of 2, 4 or 8 bytes at offset; false when outside the file.
bool read_number(const PsdStream& in, int64_t offset, int bytes, uint64_t* value) {
  uint8_t buffer[8];
  if (!in.read(offset, buffer, bytes)) return false;
  *value = big_number(buffer, bytes);
  return true;
}

struct PsdHeader {
  bool big = false;  // PSB
  int32_t channels = 0;
  int32_t height = 0;
  int32_t width = 0;
  int32_t depth = 0;
  int32_t mode = 0;
};

// One channel of a layer record.
struct LayerChannel {
  int32_t id = 0;      // 0, 1, 2 colour, -1 transparency, -2 user mask
  int64_t length = 0;  // bytes of its data, compression word included
};

struct LayerRecord {
  int32_t top = 0, left = 0, bottom = 0, right = 0;
  std::vector<LayerChannel> channels;
};

// What the sections before the image data hold.
struct PsdLayout {
  PsdHeader header;
  int32_t layer_count = 0;        // absolute value of the stored count
  bool have_first_layer = false;  // the first record was read and is valid
  LayerRecord first_layer;
  int64_t layer_data = 0;  // start of the layers' channel image data
  int64_t image_data = 0;  // start of the merged image data (its compression word)
};

// Parses the header; false for anything the reader cannot take.
bool parse_header(const PsdStream& in, PsdHeader* header) {
  uint8_t bytes[26];
  if (!in.read(0, bytes, 26) || memcmp(bytes, "8BPS", 4) != 0) return false;
  const uint64_t version = big_number(bytes + 4, 2);
  const uint64_t channels = big_number(bytes + 12, 2);
  const uint64_t height = big_number(bytes + 14, 4);
  const uint64_t width = big_number(bytes + 18, 4);
  const uint64_t depth = big_number(bytes + 22, 2);
  const uint64_t mode = big_number(bytes + 24, 2);
  if (version != 1 && version != 2) return false;
  if (channels < 1 || channels > kMaxChannels) return false;
  if (height == 0 || height > INT32_MAX || width == 0 || width > INT32_MAX) return false;
  if (depth > 32 || mode > INT16_MAX) return false;
  header->big = version == 2;
  header->channels = static_cast<int32_t>(channels);
  header->height = static_cast<int32_t>(height);
  header->width = static_cast<int32_t>(width);
  header->depth = static_cast<int32_t>(depth);
  header->mode = static_cast<int32_t>(mode);
  return true;
}

// Reads one layer record at *position (inside the section ending at end) and moves past it.
bool parse_layer_record(const PsdStream& in, bool big, int64_t end, int64_t* position,
                        LayerRecord* record, bool* valid) {
  uint8_t bytes[18];
  if (*position + 18 > end || !in.read(*position, bytes, 18)) return false;
  record->top = static_cast<int32_t>(big_number(bytes, 4));
  record->left = static_cast<int32_t>(big_number(bytes + 4, 4));
  record->bottom = static_cast<int32_t>(big_number(bytes + 8, 4));
  record->right = static_cast<int32_t>(big_number(bytes + 12, 4));
  const int64_t channel_count = static_cast<int64_t>(big_number(bytes + 16, 2));
  const int length_bytes = big ? 8 : 4;
  const int64_t channel_entry = 2 + length_bytes;
  int64_t at = *position + 18;
  if (channel_count * channel_entry > end - at) return false;
  record->channels.clear();
  *valid = record->bottom >= record->top && record->right >= record->left &&
           channel_count <= kMaxChannels;
  for (int64_t c = 0; c < channel_count; ++c) {
    uint8_t entry[10];
    if (!in.read(at, entry, channel_entry)) return false;
    LayerChannel channel;
    channel.id = static_cast<int16_t>(big_number(entry, 2));
    uint64_t length = big_number(entry + 2, length_bytes);
    channel.length =
        length > static_cast<uint64_t>(in.size) ? in.size : static_cast<int64_t>(length);
    if (*valid) record->channels.push_back(channel);
    at += channel_entry;
  }
  // Blend signature and key, opacity, clipping, flags, filler, then the extra data.
  uint64_t extra = 0;
  if (at + 16 > end || !read_number(in, at + 12, 4, &extra)) return false;
  at += 16;
  if (extra > static_cast<uint64_t>(end - at)) return false;
  *position = at + static_cast<int64_t>(extra);
  return true;
}

// Parses everything before the image data.
bool parse_layout(const PsdStream& in, PsdLayout* layout) {
  if (!parse_header(in, &layout->header)) return false;
  const bool big = layout->header.big;
  const int length_bytes = big ? 8 : 4;
  uint64_t length = 0;
  int64_t position = 26;
  // Colour mode data, then the image resources.
  for (int section = 0; section < 2; ++section) {
    if (!read_number(in, position, 4, &length)) return false;
    position += 4;
    if (length > static_cast<uint64_t>(in.size - position)) return false;
    position += static_cast<int64_t>(length);
  }
  // Layer and mask information.
  if (!read_number(in, position, length_bytes, &length)) return false;
  position += length_bytes;
  if (length > static_cast<uint64_t>(in.size - position)) return false;
  const int64_t section_end = position + static_cast<int64_t>(length);
  layout->image_data = section_end;
  if (length == 0) return true;
  uint64_t info_length = 0;
  if (!read_number(in, position, length_bytes, &info_length)) return false;
  position += length_bytes;
  if (info_length == 0) return true;
  if (info_length > static_cast<uint64_t>(section_end - position)) return false;
  const int64_t info_end = position + static_cast<int64_t>(info_length);
  uint64_t count = 0;
  if (!read_number(in, position, 2, &count)) return false;
  position += 2;
  int16_t signed_count = static_cast<int16_t>(count);
  layout->layer_count = signed_count < 0 ? -signed_count : signed_count;
  for (int32_t i = 0; i < layout->layer_count; ++i) {
    LayerRecord record;
    bool valid = false;
    if (!parse_layer_record(in, big, info_end, &position, &record, &valid)) {
      // Records that do not fit the section end the walk; the count still marks the file
      // as layered.
      return true;
    }
    if (i == 0 && valid) {
      layout->first_layer = std::move(record);
      layout->have_first_layer = true;
    }
  }
  layout->layer_data = position;
  return true;
}

// ---- reader ----

struct PsdChannel {
  int32_t compression = kRaw;
  int64_t data_offset = 0;           // raw: the channel's first row
  std::vector<int64_t> row_offsets;  // PackBits: height + 1 offsets
  std::vector<uint8_t> inflated;     // zip: the whole channel
};

struct PsdState {
  FILE* stream = nullptr;  // owned; null while the open-file table has closed it
  int64_t file_size = 0;
  int32_t full_height = 0;
  int32_t depth = 8;
  int64_t row_size = 0;  // bytes of one channel row
  bool reduced = false;
  std::vector<PsdChannel> channels;        // one per output channel, in output order
  std::vector<std::vector<uint8_t>> rows;  // one row buffer per output channel
  std::vector<uint8_t> packed;             // twice the row size

  PsdState() = default;
  PsdState(const PsdState&) = delete;
  PsdState& operator=(const PsdState&) = delete;
  ~PsdState() {
    if (stream) fclose(stream);
  }
};

PsdState* state_of(ImageFile* file) {
  return static_cast<PsdState*>(file->state.get());
}

FILE* get_stream(ImageFile* file) {
  return state_of(file)->stream;
}
void set_stream(ImageFile* file, FILE* stream) {
  state_of(file)->stream = stream;
}

// PackBits: header 0 … 127 copies header + 1 bytes, 129 … 255 repeats the next byte
// 257 - header times, 128 does nothing. Output stops at the row's end; the rest stays zero.
void unpack_bits(const uint8_t* in, int64_t in_size, uint8_t* out, int64_t out_size) {
  int64_t i = 0;
  int64_t o = 0;
  memset(out, 0, static_cast<size_t>(out_size));
  while (i < in_size && o < out_size) {
    const int header = in[i++];
    if (header < 128) {
      int64_t count = header + 1;
      if (count > in_size - i) count = in_size - i;
      if (count > out_size - o) count = out_size - o;
      memcpy(out + o, in + i, static_cast<size_t>(count));
      i += header + 1;
      o += count;
    } else if (header > 128) {
      if (i >= in_size) break;
      int64_t count = 257 - header;
      if (count > out_size - o) count = out_size - o;
      memset(out + o, in[i++], static_cast<size_t>(count));
      o += count;
    }
  }
}

// Builds a PackBits channel's row offsets from its table of compressed row sizes.
bool read_row_table(const PsdStream& in, int64_t table, int entry_bytes, int32_t height,
                    int64_t data, int64_t row_size, PsdChannel* channel) {
  const int64_t table_bytes = int64_t{height} * entry_bytes;
  if (table_bytes > in.size - table) return false;
  std::vector<uint8_t> bytes(static_cast<size_t>(table_bytes));
  if (!in.read(table, bytes.data(), table_bytes)) return false;
  channel->compression = kPackBits;
  channel->row_offsets.resize(static_cast<size_t>(height) + 1);
  int64_t previous = row_size;
  int64_t offset = data;
  for (int32_t row = 0; row < height; ++row) {
    int64_t size =
        static_cast<int64_t>(big_number(bytes.data() + int64_t{row} * entry_bytes, entry_bytes));
    if (size > 2 * row_size) size = previous;
    channel->row_offsets[static_cast<size_t>(row)] = offset;
    offset += size;
    previous = size;
  }
  channel->row_offsets[static_cast<size_t>(height)] = offset;
  return true;
}

// Inflates a zip channel completely, undoing the prediction when asked.
bool inflate_channel(const PsdStream& in, int64_t offset, int64_t length, int32_t height,
                     int64_t row_size, int32_t depth, bool prediction, PsdChannel* channel) {
  if (length <= 0 || length > in.size - offset) return false;
  std::vector<uint8_t> packed(static_cast<size_t>(length));
  if (!in.read(offset, packed.data(), length)) return false;
  const int64_t total = row_size * height;
  channel->inflated.assign(static_cast<size_t>(total), 0);
  z_stream zip{};
  if (inflateInit(&zip) != Z_OK) return false;
  zip.next_in = packed.data();
  zip.avail_in = static_cast<uInt>(length);
  // Missing or corrupt data leaves the rest of the channel zero.
  int64_t produced = 0;
  while (produced < total) {
    // avail_out is 32-bit: the output is handed over in slices.
    int64_t slice = total - produced;
    if (slice > (int64_t{1} << 30)) slice = int64_t{1} << 30;
    zip.next_out = channel->inflated.data() + produced;
    zip.avail_out = static_cast<uInt>(slice);
    int result = inflate(&zip, Z_NO_FLUSH);
    int64_t made = slice - zip.avail_out;
    produced += made;
    if (result != Z_OK || made == 0) break;
  }
  inflateEnd(&zip);
  channel->compression = kZip;
  if (!prediction) return true;
  for (int32_t row = 0; row < height; ++row) {
    uint8_t* p = channel->inflated.data() + int64_t{row} * row_size;
    if (depth == 16) {
      uint32_t sum = 0;
      for (int64_t x = 0; x + 1 < row_size; x += 2) {
        sum = (sum + (uint32_t{p[x]} << 8 | p[x + 1])) & 0xFFFF;
        p[x] = static_cast<uint8_t>(sum >> 8);
        p[x + 1] = static_cast<uint8_t>(sum);
      }
    } else {
      for (int64_t x = 1; x < row_size; ++x) p[x] = static_cast<uint8_t>(p[x] + p[x - 1]);
    }
  }
  return true;
}

bool is_gray_mode(int32_t mode) {
  return mode == 1 || mode == 8 || mode == 10 || mode == 15;
}
bool is_rgb_mode(int32_t mode) {
  return mode == 3 || mode == 11;
}

// Output format for a mode, depth and whether an alpha channel is delivered.
PixelFormat format_for(int32_t mode, int32_t depth, int32_t output_channels) {
  if (is_gray_mode(mode)) return depth == 8 ? kPixelGray8 : kPixelUnsupported;
  if (!is_rgb_mode(mode)) return kPixelUnsupported;
  if (depth == 8) return output_channels == 4 ? kPixelRgba8 : kPixelRgb8;
  if (depth == 16) return output_channels == 4 ? kPixelRgba16 : kPixelRgb16;
  return kPixelUnsupported;
}

// Why a document of this mode and depth cannot be read, as the detail for the tools.
const char* refusal_detail(int32_t mode, int32_t depth) {
  if (mode == 4) return kDetailPsdCmyk;
  if (mode == 2) return kDetailPsdIndexed;
  if (mode == 0) return kDetailPsdBitmap;
  if (depth == 32) return kDetailPsd32Bit;
  if (is_gray_mode(mode) && depth == 16) return kDetailGray16;
  return kDetailPsdColorSpace;
}

// True when the single layer may stand for the image: it covers the canvas and its channel
// data are at least half the file.
bool single_layer_usable(const PsdLayout& layout, int64_t file_size) {
  if (layout.layer_count != 1 || !layout.have_first_layer || layout.layer_data <= 0) return false;
  const LayerRecord& layer = layout.first_layer;
  if (layer.top != 0 || layer.left != 0 || layer.bottom != layout.header.height ||
      layer.right != layout.header.width) {
    return false;
  }
  int64_t total = 0;
  for (const LayerChannel& channel : layer.channels) total += channel.length;
  return total >= file_size / 2;
}

// Sets up the layer's channels (colour ids 0 …, then transparency) as the output channels.
bool open_layer_channels(const PsdStream& in, const PsdLayout& layout, PsdState* state,
                         int32_t* output_channels) {
  const PsdHeader& header = layout.header;
  const int32_t colour = is_gray_mode(header.mode) ? 1 : 3;
  int64_t offsets[kMaxChannels + 2];
  const LayerChannel* by_id[4] = {nullptr, nullptr, nullptr, nullptr};  // ids 0, 1, 2, -1
  int64_t position = layout.layer_data;
  const auto& channels = layout.first_layer.channels;
  for (size_t c = 0; c < channels.size(); ++c) {
    offsets[c] = position;
    if (channels[c].id >= 0 && channels[c].id < colour) by_id[channels[c].id] = &channels[c];
    if (channels[c].id == -1 && colour == 3) by_id[3] = &channels[c];
    if (channels[c].length > in.size - position) return false;
    position += channels[c].length;
  }
  *output_channels = colour + (by_id[3] ? 1 : 0);
  state->channels.resize(static_cast<size_t>(*output_channels));
  const int entry_bytes = header.big ? 4 : 2;
  for (int32_t out = 0; out < *output_channels; ++out) {
    const LayerChannel* channel = by_id[out < colour ? out : 3];
    if (!channel || channel->length < 2) return false;
    const int64_t start = offsets[channel - channels.data()];
    uint64_t compression = 0;
    if (!read_number(in, start, 2, &compression)) return false;
    PsdChannel& target = state->channels[static_cast<size_t>(out)];
    const int64_t table = start + 2;
    switch (compression) {
      case kRaw:
        target.compression = kRaw;
        target.data_offset = table;
        break;
      case kPackBits:
        if (!read_row_table(in, table, entry_bytes, header.height,
                            table + int64_t{header.height} * entry_bytes, state->row_size,
                            &target)) {
          return false;
        }
        break;
      case kZip:
      case kZipPrediction:
        if (!inflate_channel(in, table, channel->length - 2, header.height, state->row_size,
                             header.depth, compression == kZipPrediction, &target)) {
          return false;
        }
        break;
      default:
        return false;
    }
  }
  return true;
}

// Sets up the merged image's channels.
bool open_merged_channels(const PsdStream& in, const PsdLayout& layout, PsdState* state,
                          int32_t output_channels) {
  const PsdHeader& header = layout.header;
  uint64_t compression = 0;
  if (!read_number(in, layout.image_data, 2, &compression)) return false;
  const int64_t data = layout.image_data + 2;
  state->channels.resize(static_cast<size_t>(output_channels));
  if (compression == kRaw) {
    for (int32_t c = 0; c < output_channels; ++c) {
      state->channels[static_cast<size_t>(c)].compression = kRaw;
      state->channels[static_cast<size_t>(c)].data_offset =
          data + int64_t{c} * header.height * state->row_size;
    }
    return true;
  }
  if (compression != kPackBits) return false;
  // The table holds every channel's rows; the output channels are the first ones.
  const int entry_bytes = header.big ? 4 : 2;
  const int64_t table_bytes = int64_t{header.channels} * header.height * entry_bytes;
  if (table_bytes > in.size - data) return false;
  int64_t row_data = data + table_bytes;
  for (int32_t c = 0; c < output_channels; ++c) {
    PsdChannel& channel = state->channels[static_cast<size_t>(c)];
    if (!read_row_table(in, data + int64_t{c} * header.height * entry_bytes, entry_bytes,
                        header.height, row_data, state->row_size, &channel)) {
      return false;
    }
    row_data = channel.row_offsets.back();
  }
  return true;
}

std::unique_ptr<ImageFile> open_reader(const std::string& path, ImageProps* props) {
  FilePtr stream = open_file(path, "rb");
  if (!stream) return nullptr;
  PsdStream in;
  in.stream = stream.get();
  if (fseeko(in.stream, 0, SEEK_END) != 0) return nullptr;
  in.size = ftello(in.stream);
  PsdLayout layout;
  if (!parse_layout(in, &layout)) return image_refuse(kDetailPsdDamaged);
  const PsdHeader& header = layout.header;
  const bool ignore_layers = psd_ignore_layers();
  if (layout.layer_count != 0 && !ignore_layers) return image_refuse(kPsdLayeredDetail);
  auto state = std::make_shared<PsdState>();
  state->file_size = in.size;
  state->full_height = header.height;
  state->depth = header.depth;
  state->row_size = (int64_t{header.width} * header.depth + 7) / 8;
  // Pixel data that cannot be in the file, even compressed, is refused before any buffer (row
  // size × height is compared by division: the product can pass 2^63).
  const int64_t most_pixel_bytes = (in.size + kSmallFileAllowance + 1) * kCompressionRatioLimit;
  if (state->row_size > (most_pixel_bytes - 1) / header.height)
    return image_refuse(kDetailPsdDamaged);
  int32_t output_channels = 0;
  if (ignore_layers && single_layer_usable(layout, in.size)) {
    if (!open_layer_channels(in, layout, state.get(), &output_channels)) {
      return image_refuse(kDetailPsdDamaged);
    }
  } else {
    if (is_gray_mode(header.mode)) {
      output_channels = 1;
    } else if (is_rgb_mode(header.mode) && header.channels >= 3) {
      output_channels = header.channels == 4 ? 4 : 3;
    } else {
      return image_refuse(refusal_detail(header.mode, header.depth));
    }
    if (format_for(header.mode, header.depth, output_channels) == kPixelUnsupported) {
      return image_refuse(refusal_detail(header.mode, header.depth));
    }
    if (!open_merged_channels(in, layout, state.get(), output_channels)) {
      return image_refuse(kDetailPsdDamaged);
    }
  }
  const PixelFormat format = format_for(header.mode, header.depth, output_channels);
  if (format == kPixelUnsupported) return image_refuse(refusal_detail(header.mode, header.depth));
  const int64_t bytes_per_row = int64_t{header.depth} * header.width * output_channels / 8;
  if (bytes_per_row > INT32_MAX) return image_refuse(kDetailPsdDamaged);
  state->rows.assign(static_cast<size_t>(output_channels),
                     std::vector<uint8_t>(static_cast<size_t>(state->row_size)));
  state->packed.resize(static_cast<size_t>(2 * state->row_size));
  auto file = std::make_unique<ImageFile>();
  file->kind = kImagePsb;
  file->width = header.width;
  file->height = header.height;
  file->format = format;
  file->channels = output_channels;
  file->bits_per_pixel = header.depth * output_channels;
  file->bytes_per_row = static_cast<int32_t>(bytes_per_row);
  if (props) {
    props->width = header.width;
    props->height = header.height;
    const LoadHint* hint = props->load_hint;
    bool streamed = true;
    for (const PsdChannel& channel : state->channels) streamed &= channel.compression <= kPackBits;
    if (hint && hint->enabled && streamed && hint->max_height > 0 &&
        hint->max_height < header.height) {
      state->reduced = true;
      file->height = hint->max_height;
    }
  }
  state->stream = stream.release();
  file->get_stream = get_stream;
  file->set_stream = set_stream;
  file->state = state;
  return file;
}

// Reads one row of one channel into out (row_size bytes); a short or failed read leaves zeros.
void read_channel_row(PsdState* state, const PsdChannel& channel, int64_t row, uint8_t* out) {
  const int64_t size = state->row_size;
  PsdStream in{state->stream, state->file_size};
  switch (channel.compression) {
    case kRaw: {
      memset(out, 0, static_cast<size_t>(size));
      int64_t offset = channel.data_offset + row * size;
      if (offset >= in.size || offset < 0) return;
      int64_t count = size < in.size - offset ? size : in.size - offset;
      in.read(offset, out, count);
      return;
    }
    case kPackBits: {
      int64_t start = channel.row_offsets[static_cast<size_t>(row)];
      int64_t packed = channel.row_offsets[static_cast<size_t>(row) + 1] - start;
      if (start >= in.size) packed = 0;
      if (packed > in.size - start) packed = in.size - start;
      if (packed > 0 && !in.read(start, state->packed.data(), packed)) packed = 0;
      unpack_bits(state->packed.data(), packed, out, size);
      return;
    }
    default:
      memcpy(out, channel.inflated.data() + row * size, static_cast<size_t>(size));
      return;
  }
}

bool read_row(ImageFile* file, void* row) {
  PsdState* state = state_of(file);
  if (!state->stream) return false;
  int64_t source_row = file->row;
  if (state->reduced) source_row = int64_t{file->row} * state->full_height / file->height;
  const size_t channels = state->channels.size();
  for (size_t c = 0; c < channels; ++c) {
    read_channel_row(state, state->channels[c], source_row, state->rows[c].data());
  }
  uint8_t* out = static_cast<uint8_t*>(row);
  if (channels == 1) {
    memcpy(out, state->rows[0].data(), static_cast<size_t>(file->bytes_per_row));
  } else if (state->depth == 8) {
    for (int32_t x = 0; x < file->width; ++x) {
      for (size_t c = 0; c < channels; ++c) *out++ = state->rows[c][static_cast<size_t>(x)];
    }
  } else {
    // 16-bit samples: big-endian in the file, machine order in the row.
    for (int32_t x = 0; x < file->width; ++x) {
      for (size_t c = 0; c < channels; ++c) {
        const uint8_t* sample = state->rows[c].data() + 2 * int64_t{x};
        uint16_t value = static_cast<uint16_t>(sample[0] << 8 | sample[1]);
        memcpy(out, &value, 2);
        out += 2;
      }
    }
  }
  return true;
}

// ---- writer ----

struct PsdWriter {
  FILE* stream = nullptr;  // owned; null while the open-file table has closed it
  bool big = false;
  int32_t depth = 8;
  int64_t data_start = 0;
  int64_t channel_row = 0;  // bytes of one channel row
  std::vector<uint8_t> planar;

  PsdWriter() = default;
  PsdWriter(const PsdWriter&) = delete;
  PsdWriter& operator=(const PsdWriter&) = delete;
  ~PsdWriter() {
    if (stream) fclose(stream);
  }
};

PsdWriter* writer_of(ImageFile* file) {
  return static_cast<PsdWriter*>(file->state.get());
}

FILE* get_writer_stream(ImageFile* file) {
  return writer_of(file)->stream;
}
void set_writer_stream(ImageFile* file, FILE* stream) {
  writer_of(file)->stream = stream;
}

void put_big(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::unique_ptr<ImageFile> create_writer(const std::string& path, int32_t width, int32_t height,
                                         PixelFormat format, const ImageProps& props,
                                         ImageKind kind) {
  if (format != kPixelRgb8 && format != kPixelRgba8 && format != kPixelRgb16 &&
      format != kPixelRgba16) {
    return nullptr;
  }
  const bool big = kind == kImagePsb;
  if (width <= 0 || height <= 0) return nullptr;
  const int32_t depth = (format == kPixelRgb16 || format == kPixelRgba16) ? 16 : 8;
  const int64_t row_bytes = pixel_format_row_bytes(format, width);
  if (row_bytes > INT32_MAX) return nullptr;
  FilePtr stream = open_file(path, "wb");
  if (!stream) return nullptr;
  std::vector<uint8_t> head;
  head.insert(head.end(), {'8', 'B', 'P', 'S'});
  put_big(&head, big ? 2 : 1, 2);
  head.insert(head.end(), 6, 0);
  put_big(&head, 3, 2);
  put_big(&head, static_cast<uint32_t>(height), 4);
  put_big(&head, static_cast<uint32_t>(width), 4);
  put_big(&head, static_cast<uint32_t>(depth), 2);
  put_big(&head, 3, 2);  // RGB
  put_big(&head, 0, 4);  // no colour mode data
  int64_t resources = 0;
  const bool icc = props.embed_icc && props.icc_data && props.icc_size > 0;
  if (icc) {
    const uint32_t icc_size = static_cast<uint32_t>(props.icc_size);
    resources = int64_t{icc_size} + 12 + (icc_size & 1);  // data padded to an even size
    put_big(&head, static_cast<uint64_t>(resources), 4);
    head.insert(head.end(), {'8', 'B', 'I', 'M'});
    put_big(&head, 1039, 2);
    put_big(&head, 0, 2);  // empty name
    put_big(&head, icc_size, 4);
    head.insert(head.end(), props.icc_data, props.icc_data + icc_size);
    if (icc_size & 1) head.push_back(0);
  } else {
    put_big(&head, 0, 4);
  }
  put_big(&head, 0, big ? 8 : 4);  // no layer and mask information
  put_big(&head, 0, 2);            // raw image data
  if (fwrite(head.data(), 1, head.size(), stream.get()) != head.size()) return nullptr;
  auto state = std::make_shared<PsdWriter>();
  state->big = big;
  state->depth = depth;
  state->data_start = 40 + resources + (big ? 4 : 0);
  state->channel_row = int64_t{width} * depth / 8;
  state->planar.resize(static_cast<size_t>(3 * state->channel_row));
  state->stream = stream.release();
  auto file = std::make_unique<ImageFile>();
  file->kind = big ? kImagePsb : kImagePsd;
  file->width = width;
  file->height = height;
  file->format = format;
  file->channels = pixel_format_bytes(format) / (depth / 8);
  file->bits_per_pixel = pixel_format_bytes(format) * 8;
  file->bytes_per_row = static_cast<int32_t>(row_bytes);
  file->get_stream = get_writer_stream;
  file->set_stream = set_writer_stream;
  file->state = state;
  return file;
}

bool write_row(ImageFile* file, const void* row) {
  PsdWriter* state = writer_of(file);
  if (!state->stream) return false;
  const uint8_t* in = static_cast<const uint8_t*>(row);
  const int32_t channels = file->channels;
  const int64_t plane = state->channel_row;
  uint8_t* planar = state->planar.data();
  if (state->depth == 8) {
    for (int32_t x = 0; x < file->width; ++x) {
      for (int c = 0; c < 3; ++c) planar[c * plane + x] = in[int64_t{x} * channels + c];
    }
  } else {
    for (int32_t x = 0; x < file->width; ++x) {
      for (int c = 0; c < 3; ++c) {
        uint16_t sample;
        memcpy(&sample, in + 2 * (int64_t{x} * channels + c), 2);
        planar[c * plane + 2 * x] = static_cast<uint8_t>(sample >> 8);
        planar[c * plane + 2 * x + 1] = static_cast<uint8_t>(sample);
      }
    }
  }
  const bool messages = file->format == kPixelRgb8;
  bool ok = true;
  for (int c = 0; c < 3; ++c) {
    const int64_t offset =
        state->data_start + (int64_t{c} * file->height + file->row) * state->channel_row;
    if (fseeko(state->stream, offset, SEEK_SET) != 0) {
      if (messages) {
        ConsoleOps* ops = thread_console();
        ops->log(ops, "seeking file failed - at line %d/%d\n", file->row + 1, file->height);
      }
      ok = false;
    }
    if (fwrite(planar + c * plane, 1, static_cast<size_t>(plane), state->stream) !=
        static_cast<size_t>(plane)) {
      if (messages) {
        ConsoleOps* ops = thread_console();
        ops->log(ops, "writing data failed - at line %d/%d\n", file->row + 1, file->height);
      }
      ok = false;
    }
  }
  return ok;
}

bool close_file(ImageFile* file) {
  if (file->mode == kImageWrite) {
    PsdWriter* state = writer_of(file);
    if (!state->stream) return false;
    bool ok = fclose(state->stream) == 0;
    state->stream = nullptr;
    return ok && file->row == file->height;
  }
  PsdState* state = state_of(file);
  if (state->stream) fclose(state->stream);
  state->stream = nullptr;
  return true;
}

bool probe_header(FILE* stream, ImageInfo* info) {
  return psd_probe_size(stream, &info->width, &info->height);
}

}  // namespace

const ImageCodec kPsdCodec = {
    kImagePsd, "PSD", open_reader, create_writer, read_row, write_row, close_file, probe_header,
};

void psd_set_ignore_layers(bool ignore) {
  ignore_layers_setting.store(ignore);
}

bool psd_ignore_layers() {
  return ignore_layers_setting.load();
}

bool psd_probe_size(FILE* stream, int32_t* width, int32_t* height) {
  PsdStream in;
  in.stream = stream;
  if (fseeko(stream, 0, SEEK_END) != 0) return false;
  in.size = ftello(stream);
  PsdLayout layout;
  if (!parse_layout(in, &layout)) return false;
  const int32_t mode = layout.header.mode;
  if (mode != 1 && mode != 3 && mode != 8 && mode != 11) return false;
  if (layout.layer_count != 0 && !psd_ignore_layers()) {
    image_set_last_error(kPsdLayeredDetail);
    return false;
  }
  *width = layout.header.width;
  *height = layout.header.height;
  return true;
}
