// The tiling core. One pass: source rows (from one reader or assembled from a row of input
// tiles) are reduced, stripped of alpha, mirrored and resized in one row buffer, converted to
// sRGB when asked and cut into the writers of the current tile row. The writers of a tile row
// are closed before the next row's are created, so memory and open files depend on the width
// of the image only.
//
// A tile whose writer fails is closed and deleted, together with the other unfinished tiles of
// its row, so no incomplete file is left looking complete. The area of an input tile that is
// missing, unreadable or of another pixel format than the first tile is filled with zeros.
#include "render/tiling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/files.h"
#include "base/text.h"
#include "base/threads.h"
#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "imageio/image_options.h"
#include "imageio/metadata.h"
#include "render/engine_messages.h"
#include "render/resize.h"

namespace {

// ---- messages ----

constexpr char kTiledInputBadSquare[] =
    "ERROR: tiled input - invalid or bad arguments: imagesize=%dx%d tilesize=%d\n";
constexpr char kTiledInputBad[] =
    "ERROR: tiled input - invalid or bad arguments: imagesize=%dx%d tilesize=%dx%d\n";
constexpr char kOpenInputFailed[] = "ERROR: unable to open inputimage %s\n";
constexpr char kReadInputFailed[] = "ERROR: unable to read inputimage %s\n";
constexpr char kInputTiles[] = "inputtiles:  %s - %dx%d tiles - ";
constexpr char kInputImage[] = "inputimage:  %s - %dx%d - ";
constexpr char kProfileBytes[] = "profile:%s (%d byte) - ";
constexpr char kProfileKilobytes[] = "profile:%s (%.1fkB) - ";
constexpr char kBadProfile[] = "\nERROR: couldn't parse embedded color profile\n";
constexpr char kUnknownFormat[] = "?\n";
constexpr char kUnsupportedFormat[] =
    "ERROR: unsupported color format! (only 8bit GRAY,RGB or RGBA)\n";
constexpr char kBadResize[] = "ERROR: unable to resize to %dx%d\n";
constexpr char kOutputImage[] = "outputimage: %s - %dx%d - ";
constexpr char kOutputTiles[] = "outputtiles: %s - %dx%d (%d) tiles - ";
constexpr char kMakingImage[] = "making image...\n";
constexpr char kMakingTiles[] = "making tiles...\n";
constexpr char kCreateFailed[] = "ERROR: unable to create file %s\n";
constexpr char kWriteFailed[] = "ERROR: unable to write file %s\n";

constexpr size_t kMaxTileName = 999;

bool is_16bit(PixelFormat format) {
  return format == kPixelRgb16 || format == kPixelRgba16;
}

bool has_alpha(PixelFormat format) {
  return format == kPixelRgba8 || format == kPixelRgba16;
}

// Prints the "profile:" part of a summary line.
void print_profile_summary(ConsoleOps* console, const std::vector<uint8_t>& profile) {
  std::string description = icc_profile_description(profile.data(), profile.size());
  if (description.empty()) description = "Unknown";
  if (profile.size() < 1000) {
    engine_log(console, kProfileBytes, description.c_str(), static_cast<int>(profile.size()));
  } else {
    engine_log(console, kProfileKilobytes, description.c_str(), profile.size() / 1024.0);
  }
}

// Prints the name of a pixel format and ends the summary line; nothing for formats without one.
void print_format_name(ConsoleOps* console, PixelFormat format) {
  const char* name = pixel_format_display_name(format);
  if (name) engine_log(console, "%s\n", name);
}

// x + 0.5 truncated toward zero.
int32_t nearest(double value) {
  return static_cast<int32_t>(value + 0.5);
}

// ---- tiled input ----

// One column of the current input tile row.
struct InputTileSlot {
  std::string name;     // expanded name; empty until the tile row is opened
  ImageFilePtr reader;  // null when the tile is missing or unusable
};

// Assembles source rows from a grid of input tiles, one tile row of readers open at a time.
struct TiledInputReader {
  int32_t width = 0;  // full size of the assembled image
  int32_t height = 0;
  int32_t tile_width = 0;  // announced input tile size
  int32_t tile_height = 0;
  int32_t columns = 0;  // ceil(width / tile_width)
  int32_t rows = 0;     // ceil(height / tile_height)
  int32_t tile_row = 0;
  int32_t first_index = 1;  // number of the first tile column and row
  int32_t bytes_per_pixel = 0;
  PixelFormat format = kPixelUnsupported;  // the first tile's format, required of all
  std::string name_template;
  int32_t rows_delivered = 0;
  bool started = false;
  std::vector<InputTileSlot> slots;
  std::vector<uint8_t> scratch;   // one row of a tile whose width differs from its slot
  ConsoleOps* console = nullptr;  // where a tile that cannot be used is reported
};

int32_t tile_row_end(const TiledInputReader& reader, int32_t tile_row) {
  const int32_t top = tile_row * reader.tile_height;
  return top + std::min(reader.tile_height, reader.height - top);
}

void close_tile_row(TiledInputReader* reader) {
  for (InputTileSlot& slot : reader->slots) {
    if (slot.reader) image_close(std::move(slot.reader));
    slot.name.clear();
  }
}

// Opens the tiles of the current tile row that are not open yet; a tile that cannot be opened
// or whose pixel format differs from the first tile's is reported and left out.
void open_tile_row(TiledInputReader* reader) {
  for (int32_t k = 0; k < reader->columns; ++k) {
    InputTileSlot& slot = reader->slots[k];
    if (!slot.name.empty()) continue;
    slot.name = expand_tile_name(reader->name_template, k + reader->first_index,
                                 reader->tile_row + reader->first_index, false);
    slot.reader = image_open_read(slot.name, nullptr);
    if (slot.reader && slot.reader->format != reader->format) slot.reader.reset();
    if (!slot.reader) {
      engine_error(reader->console, kOpenInputFailed, slot.name.c_str());
      continue;
    }
    if (static_cast<size_t>(slot.reader->bytes_per_row) > reader->scratch.size()) {
      reader->scratch.resize(slot.reader->bytes_per_row);
    }
  }
}

// Reads one tile's next row into its slot of the assembled row, clipped to the slot; zeros
// when the tile is missing or has no further row.
void read_tile_segment(TiledInputReader* reader, InputTileSlot* slot, uint8_t* segment,
                       size_t segment_bytes) {
  ImageFile* file = slot->reader.get();
  if (!file) {
    memset(segment, 0, segment_bytes);
    return;
  }
  const size_t tile_bytes = static_cast<size_t>(file->bytes_per_row);
  if (tile_bytes == segment_bytes) {
    if (!image_read_row(file, segment)) memset(segment, 0, segment_bytes);
    return;
  }
  if (!image_read_row(file, reader->scratch.data())) {
    memset(segment, 0, segment_bytes);
    return;
  }
  const size_t copied = std::min(tile_bytes, segment_bytes);
  memcpy(segment, reader->scratch.data(), copied);
  memset(segment + copied, 0, segment_bytes - copied);
}

// Delivers the next assembled row into row (width × bytes per pixel bytes).
void tiled_read_row(TiledInputReader* reader, uint8_t* row) {
  if (!reader->started) {
    reader->started = true;
    open_tile_row(reader);
  } else if (reader->rows_delivered >= tile_row_end(*reader, reader->tile_row) &&
             reader->tile_row + 1 < reader->rows) {
    close_tile_row(reader);
    ++reader->tile_row;
    open_tile_row(reader);
  }
  const size_t pixel = static_cast<size_t>(reader->bytes_per_pixel);
  for (int32_t k = 0; k < reader->columns; ++k) {
    const int64_t left = int64_t{k} * reader->tile_width;
    const int64_t slot_width = std::min<int64_t>(reader->tile_width, reader->width - left);
    read_tile_segment(reader, &reader->slots[k], row + left * pixel,
                      static_cast<size_t>(slot_width) * pixel);
  }
  ++reader->rows_delivered;
}

// ---- row operations ----

// Keeps the high byte of each little-endian 16-bit sample, halving the row.
void reduce_to_8bit(uint8_t* row, int64_t samples) {
  for (int64_t i = 0; i < samples; ++i) row[i] = row[2 * i + 1];
}

// Keeps the first three of every four samples of sample_size bytes.
void drop_alpha_samples(uint8_t* row, int64_t width, size_t sample_size) {
  const size_t keep = 3 * sample_size;
  const size_t stride = 4 * sample_size;
  for (int64_t x = 0; x < width; ++x) memmove(row + x * keep, row + x * stride, keep);
}

void mirror_pixels(uint8_t* row, int64_t width, size_t pixel) {
  uint8_t swap[8];
  for (int64_t left = 0, right = width - 1; left < right; ++left, --right) {
    memcpy(swap, row + left * pixel, pixel);
    memcpy(row + left * pixel, row + right * pixel, pixel);
    memcpy(row + right * pixel, swap, pixel);
  }
}

// ---- the run ----

// The open writers of one tile row.
struct TileRowWriters {
  std::vector<ImageFilePtr> writers;
  std::vector<std::string> names;
};

// Closes every writer of a tile row without finishing it and deletes its file.
void discard_tile_row(TileRowWriters* row) {
  for (size_t k = 0; k < row->writers.size(); ++k) {
    if (row->writers[k]) image_close(std::move(row->writers[k]));
    delete_file(row->names[k]);
  }
  row->writers.clear();
  row->names.clear();
}

// Everything a run owns; released on every return.
struct TilingRun {
  TileJob* job = nullptr;
  ImageFilePtr reader;
  std::unique_ptr<TiledInputReader> tiled;
  PixelFormat source_format = kPixelUnsupported;
  int32_t source_width = 0;
  int32_t source_height = 0;
  int64_t source_row_bytes = 0;
  PixelFormat output_format = kPixelUnsupported;
  int32_t output_pixel_bytes = 0;
  bool reduce16 = false;
  bool drop_alpha = false;
  int32_t width = 0;  // output size
  int32_t height = 0;
  ResizerPtr resizer;
  bool need_input = true;
  ColorConversion color;
  ImageProps props;
  std::vector<uint8_t> row;
  TileRowWriters open_row;

  ~TilingRun() {
    discard_tile_row(&open_row);
    if (tiled) close_tile_row(tiled.get());
    if (reader) image_close(std::move(reader));
    job->in_profile.clear();
    job->in_profile.shrink_to_fit();
    job->in_profile_size = 0;
    job->out_profile.clear();
    job->out_profile.shrink_to_fit();
    job->out_profile_size = 0;
  }
};

bool talks(const TileJob& job) {
  return !job.quiet && job.info_off == 0;
}

bool open_tiled_source(TilingRun* run, std::unique_ptr<ImageInfo>* info) {
  TileJob& job = *run->job;
  const std::string first =
      expand_tile_name(job.input, job.in_index_base, job.in_index_base, false);
  if (job.profile_mode != kProfileSkip) *info = image_probe(first);
  ImageFilePtr tile = image_open_read(first, nullptr);
  if (!tile) {
    if (!job.quiet) engine_error(job.console, kOpenInputFailed, first.c_str());
    return false;
  }
  auto tiled = std::make_unique<TiledInputReader>();
  tiled->width = job.in_width;
  tiled->height = job.in_height;
  tiled->tile_width = job.in_tile_width;
  tiled->tile_height = job.in_tile_height;
  tiled->columns =
      static_cast<int32_t>((int64_t{job.in_width} + job.in_tile_width - 1) / job.in_tile_width);
  tiled->rows =
      static_cast<int32_t>((int64_t{job.in_height} + job.in_tile_height - 1) / job.in_tile_height);
  tiled->first_index = job.in_index_base;
  tiled->format = tile->format;
  tiled->bytes_per_pixel = pixel_format_bytes(tile->format);
  tiled->name_template = job.input;
  tiled->slots.resize(tiled->columns);
  tiled->scratch.resize(tile->bytes_per_row);
  tiled->console = job.console;
  tiled->slots[0].name = first;
  tiled->slots[0].reader = std::move(tile);
  if (talks(job)) {
    engine_log(job.console, kInputTiles, job.input.c_str(), tiled->columns, tiled->rows);
  }
  run->source_format = tiled->format;
  run->source_width = job.in_width;
  run->source_height = job.in_height;
  run->source_row_bytes = int64_t{job.in_width} * tiled->bytes_per_pixel;
  run->tiled = std::move(tiled);
  return true;
}

bool open_single_source(TilingRun* run, std::unique_ptr<ImageInfo>* info) {
  TileJob& job = *run->job;
  if (job.profile_mode != kProfileSkip) *info = image_probe(job.input);
  image_clear_last_error();
  run->reader = image_open_read(job.input, nullptr);
  if (!run->reader) {
    if (!job.quiet) engine_report_open_failure(job.console, job.input);
    image_clear_last_error();
    return false;
  }
  if (talks(job)) {
    engine_log(job.console, kInputImage, job.input.c_str(), run->reader->width,
               run->reader->height);
  }
  run->source_format = run->reader->format;
  run->source_width = run->reader->width;
  run->source_height = run->reader->height;
  run->source_row_bytes = run->reader->bytes_per_row;
  return true;
}

// Takes the source's embedded profile and prepares what the profile mode asks for.
bool prepare_profiles(TilingRun* run, const ImageInfo* info) {
  TileJob& job = *run->job;
  if (!info || info->icc.empty()) return true;
  if (talks(job)) print_profile_summary(job.console, info->icc);
  if (icc_profile_is_cmyk(info->icc)) return true;  // the reader delivers sRGB
  job.in_profile = info->icc;
  job.in_profile_size = static_cast<uint32_t>(job.in_profile.size());
  if (job.profile_mode == kProfileCopy) {
    job.out_profile = job.in_profile;
    job.out_profile_size = static_cast<int32_t>(job.out_profile.size());
    job.embed = true;
    job.transform = false;
    return true;
  }
  if (job.profile_mode != kProfileConvert && job.profile_mode != kProfileSrgb) return true;
  if (!color_profiles_open(job.profile_mode, job.in_profile, &run->color)) {
    if (!job.quiet) engine_error(job.console, kBadProfile);
    return false;
  }
  std::vector<uint8_t> target = color_target_profile(run->color);
  if (!target.empty()) {
    job.out_profile = std::move(target);
    job.out_profile_size = static_cast<int32_t>(job.out_profile.size());
    job.transform = true;
    job.embed = job.profile_mode == kProfileSrgb;
  }
  return true;
}

void set_writer_options(TilingRun* run) {
  const TileJob& job = *run->job;
  ImageProps& props = run->props;
  props = writer_props({job.jpeg_quality, job.jpeg_subsampling, job.jpeg_optimize,
                        job.jpeg_progressive, job.tiff_compression, job.dpi});
  if (job.embed) {
    props.embed_icc = true;
    props.icc_data = job.out_profile.data();
    props.icc_size = job.out_profile_size;
  }
}

void choose_output_format(TilingRun* run) {
  const TileJob& job = *run->job;
  const PixelFormat source = run->source_format;
  PixelFormat output = source;
  if (job.to_8bit && is_16bit(source)) {
    run->reduce16 = true;
    output = source == kPixelRgb16 ? kPixelRgb8 : kPixelRgba8;
  }
  if (output == kPixelRgba8 || output == kPixelRgb16 || output == kPixelRgba16) {
    const std::string name =
        lowered_ascii(expand_tile_name(job.output, job.index_base, job.index_base, false));
    const bool jpeg =
        name.find(".jpg") != std::string::npos || name.find(".jpeg") != std::string::npos;
    if (jpeg || job.tiff_compression == 1) {
      output = kPixelRgb8;
      if (is_16bit(source)) run->reduce16 = true;
      if (has_alpha(source)) run->drop_alpha = true;
    }
  }
  if (job.no_alpha && has_alpha(output)) {
    output = output == kPixelRgba8 ? kPixelRgb8 : kPixelRgb16;
    run->drop_alpha = true;
  }
  run->output_format = output;
  run->output_pixel_bytes = pixel_format_bytes(output);
}

// Output size and, when resizing, the resizer. False (after a message) when no resizer can be
// made for the requested size.
bool plan_size(TilingRun* run) {
  const TileJob& job = *run->job;
  run->width = run->source_width;
  run->height = run->source_height;
  if (!job.resize) return true;
  const double w = run->source_width;
  const double h = run->source_height;
  int32_t width = job.resize_width;
  int32_t height = job.resize_height;
  if (width == -1 && height > 0) {
    width = std::max(1, nearest(height * w / std::max(h, 1.0)));
  } else if (height == -1 && width > 0) {
    height = std::max(1, nearest(width * h / std::max(w, 1.0)));
  } else if (width > 0 && height > 0 && job.keep_aspect) {
    const int32_t fitted = std::max(1, nearest(width * h / std::max(w, 1.0)));
    if (fitted > height) {
      width = std::max(1, nearest(static_cast<double>(width) * height / fitted));
    } else {
      height = fitted;
    }
  }
  run->resizer = width > 0 && height > 0
                     ? resizer_create(width, height, run->source_width, run->source_height,
                                      run->output_format, job.filter, job.hwrap)
                     : nullptr;
  if (!run->resizer) {
    if (!job.quiet) engine_error(job.console, kBadResize, width, height);
    return false;
  }
  run->width = width;
  run->height = height;
  return true;
}

// Creates the transform for the output format. Gray output, and a profile that cannot serve
// the output's layout, leave the pixels unconverted and embed nothing, since the sRGB profile
// would not describe them.
void prepare_transform(TilingRun* run) {
  TileJob& job = *run->job;
  if (!job.transform) return;
  if (!color_transform_create(&run->color, run->output_format)) {
    job.transform = false;
    job.embed = false;
  }
}

void print_output_summary(const TilingRun& run, int32_t columns, int32_t rows) {
  const TileJob& job = *run.job;
  if (!talks(job)) return;
  if (columns * int64_t{rows} == 1) {
    engine_log(job.console, kOutputImage, job.output.c_str(), run.width, run.height);
  } else {
    engine_log(job.console, kOutputTiles, job.output.c_str(), columns, rows, columns * rows);
  }
  if (job.embed && job.out_profile.size() >= 132) {
    print_profile_summary(job.console, job.out_profile);
  }
  print_format_name(job.console, run.output_format);
  engine_log(job.console, "%s", columns * int64_t{rows} == 1 ? kMakingImage : kMakingTiles);
}

// Reads the next source row into the row buffer and applies reduction, alpha removal and
// mirroring. False when the source cannot deliver it.
bool read_source_row(TilingRun* run) {
  uint8_t* row = run->row.data();
  if (run->tiled) {
    tiled_read_row(run->tiled.get(), row);
  } else if (!image_read_row(run->reader.get(), row)) {
    engine_error(run->job->console, kReadInputFailed, run->job->input.c_str());
    return false;
  }
  const int64_t width = run->source_width;
  int32_t channels = run->source_format == kPixelGray8 ? 1 : has_alpha(run->source_format) ? 4 : 3;
  size_t sample_size = is_16bit(run->source_format) ? 2 : 1;
  if (run->reduce16) {
    reduce_to_8bit(row, width * channels);
    sample_size = 1;
  }
  if (run->drop_alpha) drop_alpha_samples(row, width, sample_size);
  if (run->job->hmirror) mirror_pixels(row, width, static_cast<size_t>(run->output_pixel_bytes));
  return true;
}

// Produces the next output row in the row buffer.
bool next_output_row(TilingRun* run) {
  if (!run->resizer) return read_source_row(run);
  uint8_t* row = run->row.data();
  if (!run->need_input && resizer_push_row(nullptr, run->resizer.get(), row) == 1) return true;
  run->need_input = true;
  for (;;) {
    if (!read_source_row(run)) return false;
    if (resizer_push_row(row, run->resizer.get(), row) == 1) {
      run->need_input = false;
      return true;
    }
  }
}

// Creates the writers of tile row r; false (after the message) when one cannot be created.
bool open_tile_row_writers(TilingRun* run, int32_t r, int32_t columns, int32_t rows,
                           int32_t tile_width, int32_t row_height) {
  TileJob& job = *run->job;
  for (int32_t k = 0; k < columns; ++k) {
    const int32_t width =
        tile_width > 0 ? std::min(tile_width, run->width - k * tile_width) : run->width;
    std::string name = expand_tile_name(job.output, k + job.index_base, r + job.index_base, false);
    if (job.on_tile) {
      const double x = columns >= 2 ? (k - (columns - 1) * 0.5) / columns : 0.0;
      const double y = rows >= 2 ? (r - (rows - 1) * 0.5) / rows : 0.0;
      job.on_tile(job.tile_user, name.c_str(), x, y);
    }
    create_directories_for(name);
    ImageFilePtr writer =
        image_create_write(run->output_format, name, width, row_height, run->props);
    if (!writer) {
      engine_report_output_failure(job.console, kCreateFailed, name, image_last_write_error());
      return false;
    }
    run->open_row.writers.push_back(std::move(writer));
    run->open_row.names.push_back(std::move(name));
  }
  return true;
}

// Closes the writers of the current tile row (closing completes each file; the tiles side by
// side on the pool) and reports, left to right, each tile that cannot be completed, which is
// deleted. False when any could not.
bool close_tile_row_writers(TilingRun* run, WorkerPool* pool) {
  TileRowWriters& row = run->open_row;
  std::vector<char> complete(row.writers.size(), 0);
  std::vector<int> errors(row.writers.size(), 0);  // each tile's system reason, from its thread
  parallel_for_each(pool, static_cast<int64_t>(row.writers.size()), [&](int64_t k, int32_t) {
    const size_t at = static_cast<size_t>(k);
    complete[at] = image_close(std::move(row.writers[at]));
    if (!complete[at]) errors[at] = image_last_write_error();
  });
  bool all_complete = true;
  for (size_t k = 0; k < row.writers.size(); ++k) {
    if (!complete[k]) {
      engine_report_output_failure(run->job->console, kWriteFailed, row.names[k], errors[k]);
      delete_file(row.names[k]);
      all_complete = false;
    }
  }
  row.writers.clear();
  row.names.clear();
  return all_complete;
}

// Output rows of the current tile row waiting for their tiles. With a pool the tiles take a
// band of rows side by side; every tile still gets its rows in order, so the files are the same
// as when each row goes to the tiles as soon as it is made.
struct TileBand {
  WorkerPool* pool = nullptr;
  int32_t capacity = 1;  // rows a band holds
  int32_t count = 0;     // rows waiting
  size_t row_bytes = 0;
  std::vector<uint8_t> rows;
};

// Where writing a band stopped: the band row and tile of the first failure, or row -1.
struct BandFailure {
  int32_t row = -1;
  int32_t tile = 0;
};

// Writes the waiting rows into the tiles of the open row (tile k takes tile_bytes from offset
// k × tile_bytes of each row) and empties the band.
BandFailure write_tile_band(TilingRun* run, TileBand* band, size_t tile_bytes) {
  TileRowWriters& open_row = run->open_row;
  const int32_t columns = static_cast<int32_t>(open_row.writers.size());
  std::vector<int32_t> failed_at(static_cast<size_t>(columns), band->count);
  parallel_for_each(band->pool, columns, [&](int64_t k, int32_t) {
    ImageFile* writer = open_row.writers[static_cast<size_t>(k)].get();
    for (int32_t i = 0; i < band->count; ++i) {
      uint8_t* segment = band->rows.data() + i * band->row_bytes + k * tile_bytes;
      if (!image_write_row(writer, segment)) {
        failed_at[static_cast<size_t>(k)] = i;
        return;
      }
    }
  });
  BandFailure failure;
  for (int32_t k = 0; k < columns; ++k) {
    const int32_t row = failed_at[static_cast<size_t>(k)];
    if (row < band->count && (failure.row < 0 || row < failure.row)) failure = {row, k};
  }
  band->count = 0;
  return failure;
}

// Sends the waiting rows to the tiles and reports progress for each row written; *done counts
// the output rows written. False (after the message, the tile row discarded) on a write error.
bool flush_tile_band(TilingRun* run, TileBand* band, size_t tile_bytes, int64_t* done) {
  const TileJob& job = *run->job;
  const int32_t rows = band->count;
  const BandFailure failure = write_tile_band(run, band, tile_bytes);
  const int32_t written = failure.row < 0 ? rows : failure.row;
  for (int32_t i = 0; i < written; ++i) {
    ++*done;
    if (!job.quiet && job.progress) job.progress(job.user, *done, run->height);
  }
  if (failure.row < 0) return true;
  const ImageFilePtr& writer = run->open_row.writers[failure.tile];
  engine_report_output_failure(job.console, kWriteFailed, run->open_row.names[failure.tile],
                               writer ? writer->system_error : 0);
  discard_tile_row(&run->open_row);
  return false;
}

// A pool for the tiles of a row when there are several and more than one thread; bands of rows
// of a few MB.
void plan_tile_band(TileBand* band, WorkerPool* pool, size_t row_bytes, int32_t columns) {
  band->pool = columns > 1 ? pool : nullptr;
  band->row_bytes = row_bytes;
  band->capacity = 1;
  if (band->pool) {
    constexpr size_t kBandBytes = 4 << 20;
    band->capacity = static_cast<int32_t>(
        std::clamp<size_t>(kBandBytes / std::max<size_t>(1, row_bytes), 16, 64));
  }
  band->rows.assign(static_cast<size_t>(band->capacity) * row_bytes, 0);
}

bool write_tiles(TilingRun* run) {
  TileJob& job = *run->job;
  const int32_t tile_width = job.tile_width;
  const int32_t tile_height = job.tile_height;
  const int32_t columns =
      tile_width > 0 ? static_cast<int32_t>((int64_t{run->width} + tile_width - 1) / tile_width)
                     : 1;
  const int32_t rows =
      tile_height > 0 ? static_cast<int32_t>((int64_t{run->height} + tile_height - 1) / tile_height)
                      : 1;
  print_output_summary(*run, columns, rows);
  const int64_t output_row_bytes = int64_t{run->width} * run->output_pixel_bytes;
  run->row.assign(static_cast<size_t>(std::max(output_row_bytes, run->source_row_bytes)), 0);
  const size_t pixel = static_cast<size_t>(run->output_pixel_bytes);
  const size_t tile_bytes = static_cast<size_t>(std::max(tile_width, 0)) * pixel;
  const int32_t threads = std::min(job.threads > 0 ? job.threads : thread_count(), columns);
  WorkerPoolPtr pool = threads > 1 ? create_worker_pool(threads) : nullptr;
  TileBand band;
  plan_tile_band(&band, pool.get(), static_cast<size_t>(output_row_bytes), columns);
  int64_t done = 0;
  for (int32_t r = 0; r < rows; ++r) {
    const int32_t row_height =
        tile_height > 0 ? std::min(tile_height, run->height - r * tile_height) : run->height;
    if (!open_tile_row_writers(run, r, columns, rows, tile_width, row_height)) {
      discard_tile_row(&run->open_row);
      return false;
    }
    for (int32_t y = 0; y < row_height; ++y) {
      if (!next_output_row(run)) {
        discard_tile_row(&run->open_row);
        return false;
      }
      uint8_t* row = run->row.data();
      if (job.transform) color_convert_row(run->color, row, run->width);
      std::memcpy(band.rows.data() + band.count * band.row_bytes, row, band.row_bytes);
      ++band.count;
      if (band.count == band.capacity || y + 1 == row_height) {
        if (!flush_tile_band(run, &band, tile_bytes, &done)) return false;
      }
    }
    if (!close_tile_row_writers(run, band.pool)) return false;
  }
  return true;
}

bool tiled_input_sizes_valid(const TileJob& job) {
  if (job.in_tile_width >= 1 && job.in_tile_height >= 1 && job.in_width >= 1 &&
      job.in_height >= 1) {
    return true;
  }
  if (!job.quiet) {
    if (job.in_tile_width == job.in_tile_height) {
      engine_error(job.console, kTiledInputBadSquare, job.in_width, job.in_height,
                   job.in_tile_width);
    } else {
      engine_error(job.console, kTiledInputBad, job.in_width, job.in_height, job.in_tile_width,
                   job.in_tile_height);
    }
  }
  return false;
}

}  // namespace

TileJob* init_tile_job(TileJob* job) {
  void* user = job->user;
  *job = TileJob{};
  job->user = user;
  return job;
}

std::string expand_tile_name(const std::string& name_template, int32_t column, int32_t row,
                             bool letters_only) {
  std::string name;
  const size_t length = name_template.size();
  for (size_t i = 0; i < length; ++i) {
    const char c = name_template[i];
    if (c != '%') {
      name.push_back(c);
      continue;
    }
    size_t zeros = 0;
    while (i + 1 < length && name_template[i + 1] == '0') {
      ++zeros;
      ++i;
    }
    if (i + 1 >= length) break;  // a "%" at the very end is dropped
    const char letter = name_template[++i];
    int32_t number;
    if (strchr("hHxXuU", letter)) {
      number = column;
    } else if (strchr("vVyY", letter)) {
      number = row;
    } else {
      name.push_back('%');
      name.push_back(letter);
      continue;
    }
    if (letters_only) {
      name.push_back(letter);
      continue;
    }
    char digits[64];
    snprintf(digits, sizeof digits, "%0*d", static_cast<int>(std::min<size_t>(zeros + 1, 40)),
             number);
    name += digits;
  }
  if (name.size() > kMaxTileName) name.resize(kMaxTileName);
  return name;
}

bool make_tiles(TileJob* job) {
  if (job->stages) job->stages(job->user, 1, nullptr);
  if (job->stage) job->stage(job->user, 1);
  if (job->tile_height == 0) job->tile_height = job->tile_width;
  if (job->tile_width < 0 || job->tile_height < 0) return false;
  if (job->tiled_input && !tiled_input_sizes_valid(*job)) return false;

  TilingRun run;
  run.job = job;
  job->transform = false;
  job->embed = false;
  std::unique_ptr<ImageInfo> info;
  const bool opened =
      job->tiled_input ? open_tiled_source(&run, &info) : open_single_source(&run, &info);
  if (!opened) return false;
  if (!prepare_profiles(&run, info.get())) return false;
  info.reset();

  if (talks(*job)) print_format_name(job->console, run.source_format);
  if (run.source_format == kPixelUnsupported || run.source_row_bytes <= 0) {
    if (!job->quiet) {
      if (job->info_off == 0) engine_log(job->console, kUnknownFormat);
      engine_error(job->console, kUnsupportedFormat);
    }
    return false;
  }
  choose_output_format(&run);
  prepare_transform(&run);
  set_writer_options(&run);
  if (!plan_size(&run)) return false;
  if (!write_tiles(&run)) return false;
  if (!job->quiet && job->progress) job->progress(job->user, 1, 1);
  return true;
}
