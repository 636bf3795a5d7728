// The image file facade: codec choice, the open-file table with its stream limit, row
// conversion and the probe.
//
// The open-file table keeps at most kImageStreamLimit streams open. When one more is needed,
// the idle stream of the first other handle whose codec can hand its stream over is closed
// after saving its position; the next row call on that handle reopens the file ("rb" or
// "r+b"), seeks back and gives the codec the new stream. Every codec that keeps a stream open
// between calls (JPEG, TIFF, PSD, KRO; PNG decodes at open) hands it over this way, so any
// number of files can be open at once. Row calls run outside the table's lock; the
// busy flag keeps the limit from closing a stream during one.
#include "imageio/image_file.h"

#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "imageio/jpeg_codec.h"
#include "imageio/kro_codec.h"
#include "imageio/metadata.h"
#include "imageio/png_codec.h"
#include "imageio/psd_codec.h"
#include "imageio/tiff_codec.h"

namespace {

// ---- codec tables ----

struct SignatureRow {
  const char* bytes;  // the signature
  size_t size;
  ImageKind kind;
};

const SignatureRow kSignatures[] = {
    {"\xFF\xD8\xFF", 3, kImageJpeg}, {"II\x2A\x00", 4, kImageTiff},
    {"II\x2B\x00", 4, kImageTiff},   {"MM\x00\x2A", 4, kImageTiff},
    {"MM\x00\x2B", 4, kImageTiff},   {"KRO\x01", 4, kImageKro},
    {"8BPS", 4, kImagePsd},          {"\x89PNG\r\n\x1A\n", 8, kImagePng},
};

struct ExtensionRow {
  const char* extension;  // lower case, without the dot
  ImageKind kind;
};

const ExtensionRow kExtensions[] = {
    {"jpg", kImageJpeg},    {"jpeg", kImageJpeg},       {"tif", kImageTiff},
    {"tiff", kImageTiff},   {"bigtiff", kImageBigTiff}, {"btf", kImageBigTiff},
    {"tf8", kImageBigTiff}, {"kro", kImageKro},         {"psd", kImagePsd},
    {"psb", kImagePsb},
};

struct CodecRow {
  ImageKind kind;
  const ImageCodec* codec;  // null while the kind has no codec in this build
};

// Readers by kind; TIFF also reads BigTIFF, PSD also reads PSB.
const CodecRow kReaders[] = {
    {kImageJpeg, &kJpegCodec}, {kImageTiff, &kTiffCodec}, {kImageKro, &kKroCodec},
    {kImagePsd, &kPsdCodec},   {kImagePng, &kPngCodec},
};

// Writers by kind; PNG is read only.
const CodecRow kWriters[] = {
    {kImageJpeg, &kJpegCodec}, {kImageTiff, &kTiffCodec}, {kImageBigTiff, &kTiffCodec},
    {kImageKro, &kKroCodec},   {kImagePsd, &kPsdCodec},   {kImagePsb, &kPsdCodec},
};

// Header readers tried by the probe, in this order, until one gives a size.
const ImageCodec* const kProbeOrder[] = {&kJpegCodec, &kPsdCodec, &kKroCodec, &kPngCodec};

const ImageCodec* codec_in(const CodecRow* rows, size_t count, ImageKind kind) {
  for (size_t i = 0; i < count; ++i) {
    if (rows[i].kind == kind) return rows[i].codec;
  }
  return nullptr;
}

// ---- open-file table ----

struct OpenFileEntry {
  int32_t slot = 0;  // index in the table
  bool in_use = false;
  bool stream_open = false;    // false once the stream limit closed the handle's stream
  bool busy = false;           // a row call or close is running on the handle
  std::string path;            // the file's path, for reopening
  int64_t use_count = 0;       // row calls so far
  int64_t last_use = 0;        // timer ticks of the last row call
  int64_t saved_position = 0;  // stream position when the limit closed the stream
  ImageFile* handle = nullptr;
};

struct OpenFileTable {
  std::mutex lock;  // the image-file lock: guards everything below
  std::vector<OpenFileEntry> entries;
  int open_streams = 0;
};

constexpr size_t kTableGrowth = 256;

OpenFileTable& open_file_table() {
  static OpenFileTable table;
  return table;
}

// Closes the idle stream of the first other handle that can hand it over (entry 0 is kept);
// false when none can. Lock held.
bool close_one_idle_stream(OpenFileTable* table) {
  for (size_t i = 1; i < table->entries.size(); ++i) {
    OpenFileEntry& entry = table->entries[i];
    if (!entry.in_use || !entry.stream_open || entry.busy) continue;
    ImageFile* handle = entry.handle;
    if (!handle->get_stream || !handle->set_stream) continue;
    FILE* stream = handle->get_stream(handle);
    if (!stream) continue;
    fflush(stream);
    entry.saved_position = ftello(stream);
    fclose(stream);
    handle->set_stream(handle, nullptr);
    entry.stream_open = false;
    --table->open_streams;
    return true;
  }
  return false;
}

// Descriptors kept free for everything else a tool opens (its inputs' probes, temporary and
// swap files, the standard streams).
constexpr int kDescriptorHeadroom = 256;

// The stream limit in force: kImageStreamLimit, or less when the process may not open that
// many files (a hard limit below it); set once by image_file_init.
std::atomic<int> stream_limit{kImageStreamLimit};

// Makes room for one more stream when the limit is reached. When no stream can be closed the
// new one is opened anyway; the process limit raised at start-up leaves headroom. Lock held.
void make_room_for_stream(OpenFileTable* table) {
  if (table->open_streams + 1 > stream_limit.load()) close_one_idle_stream(table);
}

void reserve_stream() {
  OpenFileTable& table = open_file_table();
  std::lock_guard<std::mutex> guard(table.lock);
  make_room_for_stream(&table);
}

void register_handle(ImageFile* handle, const std::string& path) {
  OpenFileTable& table = open_file_table();
  std::lock_guard<std::mutex> guard(table.lock);
  size_t index = 0;
  while (index < table.entries.size() && table.entries[index].in_use) ++index;
  if (index == table.entries.size()) {
    size_t old_size = table.entries.size();
    table.entries.resize(old_size + kTableGrowth);
    for (size_t i = old_size; i < table.entries.size(); ++i) {
      table.entries[i].slot = static_cast<int32_t>(i);
    }
  }
  OpenFileEntry& entry = table.entries[index];
  entry.in_use = true;
  entry.stream_open = true;
  entry.busy = false;
  entry.path = path;
  entry.use_count = 0;
  entry.last_use = timer_ticks();
  entry.saved_position = 0;
  entry.handle = handle;
  handle->slot = static_cast<int32_t>(index);
  ++table.open_streams;
}

// Marks the handle's entry busy and reopens its stream when the limit had closed it (only when
// need_stream). False when the file cannot be reopened.
bool acquire_handle(ImageFile* handle, bool need_stream) {
  if (handle->slot < 0) return true;
  OpenFileTable& table = open_file_table();
  std::lock_guard<std::mutex> guard(table.lock);
  OpenFileEntry& entry = table.entries[static_cast<size_t>(handle->slot)];
  entry.busy = true;
  ++entry.use_count;
  entry.last_use = timer_ticks();
  if (entry.stream_open || !need_stream) return true;
  make_room_for_stream(&table);
  // Writers reopen for update, not for appending: TIFF and PSD writers seek back into the file.
  FilePtr stream = open_file(entry.path, handle->mode == kImageRead ? "rb" : "r+b");
  if (!stream || fseeko(stream.get(), entry.saved_position, SEEK_SET) != 0) {
    ConsoleOps* ops = thread_console();
    ops->log(ops, "\n\nFATALERROR: unable to open file '%s'!\n\n\n", entry.path.c_str());
    entry.busy = false;
    return false;
  }
  handle->set_stream(handle, stream.release());
  entry.stream_open = true;
  ++table.open_streams;
  return true;
}

void release_handle(ImageFile* handle) {
  if (handle->slot < 0) return;
  OpenFileTable& table = open_file_table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.entries[static_cast<size_t>(handle->slot)].busy = false;
}

void unregister_handle(ImageFile* handle) {
  if (handle->slot < 0) return;
  OpenFileTable& table = open_file_table();
  std::lock_guard<std::mutex> guard(table.lock);
  OpenFileEntry& entry = table.entries[static_cast<size_t>(handle->slot)];
  if (entry.stream_open) --table.open_streams;
  entry = OpenFileEntry();
  entry.slot = handle->slot;
  handle->slot = -1;
}

// ---- row conversion ----

void* gray8_to_rgb8(void* source_row, void* output, int32_t width) {
  const uint8_t* in = static_cast<const uint8_t*>(source_row);
  uint8_t* out = static_cast<uint8_t*>(output);
  for (int32_t x = 0; x < width; ++x) {
    out[0] = out[1] = out[2] = in[x];
    out += 3;
  }
  return output;
}

void* rgba8_to_rgb8(void* source_row, void*, int32_t width) {
  uint8_t* row = static_cast<uint8_t*>(source_row);
  for (int32_t x = 0; x < width; ++x) memmove(row + 3 * x, row + 4 * x, 3);
  return source_row;
}

// High bytes of 16-bit samples in machine (little-endian) order, keeping `keep` of every
// `stride` samples, in place.
template <int stride, int keep>
void* high_bytes(void* source_row, void*, int32_t width) {
  uint8_t* row = static_cast<uint8_t*>(source_row);
  const uint16_t* in = static_cast<const uint16_t*>(source_row);
  for (int32_t x = 0; x < width; ++x) {
    for (int c = 0; c < keep; ++c) {
      uint16_t sample;
      memcpy(&sample, in + stride * x + c, 2);
      row[keep * x + c] = static_cast<uint8_t>(sample >> 8);
    }
  }
  return source_row;
}

void* unchanged_row(void* source_row, void*, int32_t) {
  return source_row;
}

struct ConversionRow {
  PixelFormat source;
  PixelFormat target;
  RowConverter convert;
};

const ConversionRow kConversions[] = {
    {kPixelGray8, kPixelRgb8, gray8_to_rgb8},      {kPixelRgba8, kPixelRgb8, rgba8_to_rgb8},
    {kPixelRgb16, kPixelRgb8, high_bytes<3, 3>},   {kPixelRgba16, kPixelRgb8, high_bytes<4, 3>},
    {kPixelRgba16, kPixelRgba8, high_bytes<4, 4>},
};

// Replaces every 16-bit sample of a row by its high byte, in place.
void reduce_row_to_8bit(void* row, int64_t samples) {
  uint8_t* bytes = static_cast<uint8_t*>(row);
  for (int64_t i = 0; i < samples; ++i) bytes[i] = bytes[2 * i + 1];
}

// ---- process open-file limit ----

// Raises the soft limit of open files to the streams plus headroom, as far as the hard limit
// allows; where it cannot go that far, the table keeps fewer streams open instead.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = kImageStreamLimit + kDescriptorHeadroom;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    limit.rlim_cur =
        (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted) ? wanted : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    const rlim_t room = limit.rlim_cur > 2 * kDescriptorHeadroom
                            ? limit.rlim_cur - kDescriptorHeadroom
                            : limit.rlim_cur / 2;
    stream_limit = static_cast<int>(room > 1 ? room : 1);
  }
}

thread_local std::string last_error_detail;
thread_local int last_write_error = 0;

}  // namespace

const char kDetailUnknownFormat[] = "not a jpeg, tiff, psd/psb, kro or png file";
const char kDetailGray16[] = "16-bit gray files are not supported";
const char kDetailTiffFloat[] = "floating-point tiff files are not supported";
const char kDetailTiffPalette[] = "palette tiff files are not supported";
const char kDetailTiffCmyk[] = "cmyk tiff files are not supported";
const char kDetailTiffBits[] = "%d-bit tiff files are not supported";
const char kDetailTiffColorSpace[] = "only gray, rgb and rgba tiff files are supported";
const char kDetailTiffTiledPlanar[] = "tiled planar tiff files are not supported";
const char kDetailTiffHugeBlocks[] = "tiff strips or tiles above 256 MB are not supported";
const char kDetailTiffDamaged[] = "damaged or truncated tiff file";
const char kDetailPsdCmyk[] = "cmyk psd/psb files are not supported";
const char kDetailPsdIndexed[] = "indexed psd/psb files are not supported";
const char kDetailPsdBitmap[] = "1-bit psd/psb files are not supported";
const char kDetailPsd32Bit[] = "32-bit psd/psb files are not supported";
const char kDetailPsdColorSpace[] = "only gray, rgb and rgba psd/psb files are supported";
const char kDetailPsdDamaged[] = "damaged or truncated psd/psb file";
const char kDetailPngDamaged[] = "damaged or truncated png file";
const char kDetailKroLayout[] = "only 8- and 16-bit rgb and rgba kro files are supported";
const char kDetailKroDamaged[] = "damaged or truncated kro file";

void image_default_props(ImageProps* props) {
  *props = ImageProps{};
  props->dpi_x = 72;
  props->dpi_y = 72;
  props->tiff_compression = 2;
  props->deflate_level = 9;
  props->jpeg_quality = 85;
  props->jpeg_sampling_h = 2;
  props->jpeg_sampling_v = 2;
  props->optimize = true;
}

void ImageFileCloser::operator()(ImageFile* file) const {
  if (file) image_close(ImageFilePtr(file));
}

void image_file_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    open_file_table();  // creates the table and its lock
    raise_open_file_limit();
  });
}

ImageKind image_kind_for_signature(const uint8_t* head, size_t head_size) {
  for (const SignatureRow& row : kSignatures) {
    if (head_size >= row.size && memcmp(head, row.bytes, row.size) == 0) return row.kind;
  }
  return kImageNone;
}

ImageKind image_kind_for_extension(const std::string& path) {
  std::string extension;
  if (!file_extension(path, &extension)) return kImageNone;
  lower_ascii(&extension);
  for (const ExtensionRow& row : kExtensions) {
    if (extension == row.extension) return row.kind;
  }
  return kImageNone;
}

const ImageCodec* image_reader_for_kind(ImageKind kind) {
  return codec_in(kReaders, sizeof(kReaders) / sizeof(kReaders[0]), kind);
}

const ImageCodec* image_writer_for_kind(ImageKind kind) {
  return codec_in(kWriters, sizeof(kWriters) / sizeof(kWriters[0]), kind);
}

ImageFilePtr image_open_read(const std::string& path, ImageProps* props) {
  image_clear_last_error();
  // Checked without blocking first: a named pipe would hold the open until a writer came.
  const std::string problem = input_file_problem(path);
  if (!problem.empty()) {
    image_set_last_error(problem);
    return nullptr;
  }
  uint8_t head[16];
  size_t head_size = 0;
  {
    FilePtr file = open_file(path, "rb");
    if (!file) return nullptr;
    head_size = fread(head, 1, sizeof(head), file.get());
  }
  if (head_size == 0) return nullptr;
  image_file_init();
  reserve_stream();
  if (props) {
    const LoadHint* hint = props->load_hint;
    const int32_t denominator = props->scale_denominator;
    *props = ImageProps{};
    props->load_hint = hint;
    props->scale_denominator = denominator;
  }
  const ImageCodec* codec = image_reader_for_kind(image_kind_for_signature(head, head_size));
  if (!codec || !codec->open_reader) {
    image_set_last_error(kDetailUnknownFormat);
    return nullptr;
  }
  std::unique_ptr<ImageFile> file = codec->open_reader(path, props);
  if (!file) return nullptr;
  file->codec = codec;
  file->mode = kImageRead;
  file->row = 0;
  register_handle(file.get(), path);
  return ImageFilePtr(file.release());
}

int32_t image_scale_denominator(int32_t full_width, int32_t full_height, int32_t width,
                                int32_t height) {
  if (width < 1 || height < 1) return 1;
  for (int32_t denominator = 8; denominator > 1; denominator /= 2) {
    if (full_width / denominator >= width && full_height / denominator >= height) {
      return denominator;
    }
  }
  return 1;
}

ImageFilePtr image_create_write(PixelFormat format, const std::string& path, int32_t width,
                                int32_t height, const ImageProps& props) {
  last_write_error = 0;
  if (width <= 0 || height <= 0) return nullptr;
  ImageKind kind = image_kind_for_extension(path);
  const ImageCodec* codec = image_writer_for_kind(kind);
  if (!codec || !codec->create_writer) return nullptr;
  bool reduce = false;
  if (kind == kImageJpeg && (format == kPixelRgb16 || format == kPixelRgba16)) {
    format = format == kPixelRgb16 ? kPixelRgb8 : kPixelRgba8;
    reduce = true;
  }
  image_file_init();
  reserve_stream();
  PartialFile partial;
  if (!partial_file_begin(path, &partial)) {
    last_write_error = errno;
    return nullptr;
  }
  errno = 0;
  std::unique_ptr<ImageFile> file =
      codec->create_writer(partial.partial_path, width, height, format, props, kind);
  partial_file_created(&partial);
  if (!file) {
    last_write_error = errno;
    partial_file_abandon(&partial);
    return nullptr;
  }
  file->codec = codec;
  file->mode = kImageWrite;
  file->row = 0;
  file->reduce_to_8bit = reduce;
  file->partial = std::move(partial);
  register_handle(file.get(), file->partial.partial_path);
  return ImageFilePtr(file.release());
}

namespace {

// Runs one row step of the codec with the file's handle held: a failed step marks the file
// failed, a successful one moves on to the next row.
template <typename Step>
bool run_row_step(ImageFile* file, Step step) {
  if (!acquire_handle(file, true)) {
    file->failed = true;
    return false;
  }
  errno = 0;
  const bool ok = step();
  const int step_error = errno;
  release_handle(file);
  if (!ok) {
    if (file->mode == kImageWrite && file->system_error == 0) file->system_error = step_error;
    file->failed = true;
    return false;
  }
  ++file->row;
  return true;
}

}  // namespace

bool image_read_row(ImageFile* file, void* row) {
  if (!file || file->failed || file->mode != kImageRead || !file->codec->read_row) return false;
  if (file->row >= file->height) return false;
  return run_row_step(file, [&] { return file->codec->read_row(file, row); });
}

bool image_write_row(ImageFile* file, void* row) {
  if (!file || file->failed || file->mode != kImageWrite || !file->codec->write_row) return false;
  if (file->row >= file->height) return false;
  if (file->reduce_to_8bit) reduce_row_to_8bit(row, int64_t{file->width} * file->channels);
  return run_row_step(file, [&] { return file->codec->write_row(file, row); });
}

bool image_close(ImageFilePtr file_owner) {
  if (!file_owner) return false;
  // The owner's deleter calls back into this function, so the handle is taken out of it.
  std::unique_ptr<ImageFile> file(file_owner.release());
  // A reader whose stream was closed by the limit has nothing left to finish.
  const bool writer = file->mode == kImageWrite;
  errno = 0;
  bool ok = acquire_handle(file.get(), writer);
  if (ok) ok = file->codec->close(file.get());
  if (!ok && writer && file->system_error == 0) file->system_error = errno;
  release_handle(file.get());
  unregister_handle(file.get());
  ok = ok && !file->failed;
  if (writer && !file->partial.partial_path.empty()) {
    // A writer left before its last row is not a file, whatever its codec could finish.
    if (ok && file->row >= file->height) {
      ok = partial_file_commit(&file->partial);
      if (!ok) file->system_error = errno;
    } else {
      partial_file_abandon(&file->partial);
      ok = false;
    }
    if (!ok) last_write_error = file->system_error;
  }
  return ok;
}

RowConverter image_row_converter(PixelFormat target, PixelFormat source) {
  if (target == source) return unchanged_row;
  for (const ConversionRow& row : kConversions) {
    if (row.source == source && row.target == target) return row.convert;
  }
  return nullptr;
}

void* image_convert_row(const ImageFile* target, const ImageFile* source, void* source_row,
                        void* output) {
  RowConverter convert = image_row_converter(target->format, source->format);
  if (!convert) {
    ConsoleOps* ops = thread_console();
    ops->log(ops, "TODO\n");
    return nullptr;
  }
  return convert(source_row, output, source->width);
}

int32_t pixel_format_bytes(PixelFormat format) {
  switch (format) {
    case kPixelGray8:
      return 1;
    case kPixelRgb8:
      return 3;
    case kPixelRgba8:
      return 4;
    case kPixelRgb16:
      return 6;
    case kPixelRgba16:
      return 8;
    default:
      return 0;
  }
}

int64_t pixel_format_row_bytes(PixelFormat format, int64_t width) {
  return width * pixel_format_bytes(format);
}

int image_last_write_error() {
  return last_write_error;
}

const std::string& image_last_error() {
  return last_error_detail;
}
void image_set_last_error(const std::string& detail) {
  last_error_detail = detail;
}
void image_clear_last_error() {
  last_error_detail.clear();
}

std::unique_ptr<ImageFile> image_refuse(const std::string& detail) {
  last_error_detail = detail;
  return nullptr;
}

std::unique_ptr<ImageInfo> image_probe(const std::string& path) {
  const std::string problem = input_file_problem(path);
  if (!problem.empty()) {
    image_set_last_error(problem);
    return nullptr;
  }
  FilePtr file = open_file(path, "rb");
  if (!file) return nullptr;
  uint8_t head[16];
  size_t head_size = fread(head, 1, sizeof(head), file.get());
  if (image_kind_for_signature(head, head_size) == kImageNone) return nullptr;
  auto info = std::make_unique<ImageInfo>();
  scan_metadata(file.get(), info.get());  // GPS, pose, thumbnail, comment, profile, TIFF size
  for (const ImageCodec* codec : kProbeOrder) {
    if (codec->probe_header && codec->probe_header(file.get(), info.get())) break;
  }
  // Every profile, also one a header reader found, is named by the same description reader.
  if (!info->icc.empty()) {
    info->icc_description = icc_profile_description(info->icc.data(), info->icc.size());
  }
  if (info->width <= 0 || info->height <= 0) {
    info->width = 0;
    info->height = 0;
  }
  return info;
}

int image_stream_limit() {
  image_file_init();
  return stream_limit.load();
}

int image_open_stream_count() {
  OpenFileTable& table = open_file_table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.open_streams;
}
