// Loading an image file into a tiled image. The calling thread decodes the rows (the codecs
// report through its console) into one of two pass buffers of at most 4 MiB (one row when a row
// is larger); with more than one thread a helper meanwhile converts the previous pass straight
// into the tiles of its band, so decoding never waits for the copying and the first touch of
// the tile memory. Memory while loading stays near the two pass buffers plus the tiles of the
// bands being filled.
#include "imageio/tiled_image_loader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/files.h"
#include "base/threads.h"
#include "imageio/image_file.h"
#include "memory/big_buffer.h"

namespace {

constexpr int64_t kPassBytes = 1048576;
constexpr size_t kSignatureBytes = 64;

// Converts one row of the file's pixels into the element layout of the tiled image.
using ElementConverter = void (*)(const uint8_t* source, uint8_t* target, int32_t width);

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the row converters read words");

// A pixel's three bytes and the first of the next, read as one little-endian word R G B x, turn
// around to x B G R; shifted down, B G R come first and the alpha goes on top. The last pixel
// is copied byte by byte, so nothing past the row is read.
void rgb8_to_bgra8(const uint8_t* source, uint8_t* target, int32_t width) {
  int32_t x = 0;
  for (; x + 1 < width; ++x, source += 3, target += 4) {
    uint32_t word;
    memcpy(&word, source, 4);
    word = (__builtin_bswap32(word) >> 8) | 0xFF000000u;
    memcpy(target, &word, 4);
  }
  if (x < width) {
    target[0] = source[2];
    target[1] = source[1];
    target[2] = source[0];
    target[3] = 255;
  }
}

void rgba8_to_bgra8(const uint8_t* source, uint8_t* target, int32_t width) {
  for (int32_t x = 0; x < width; ++x, source += 4, target += 4) {
    target[0] = source[2];
    target[1] = source[1];
    target[2] = source[0];
    target[3] = source[3];
  }
}

void rgb16_to_rgba16(const uint8_t* source, uint8_t* target, int32_t width) {
  const uint16_t opaque = 65535;
  for (int32_t x = 0; x < width; ++x, source += 6, target += 8) {
    memcpy(target, source, 6);
    memcpy(target + 6, &opaque, 2);
  }
}

void copy_rgba16(const uint8_t* source, uint8_t* target, int32_t width) {
  memcpy(target, source, static_cast<size_t>(width) * 8);
}

struct Layout {
  int32_t bits_per_pixel;
  int32_t element_type;
  ElementConverter convert;
};

const Layout kLayouts[] = {
    {24, kElementBgra8, rgb8_to_bgra8},
    {32, kElementBgra8, rgba8_to_bgra8},
    {48, kElementRgba16, rgb16_to_rgba16},
    {64, kElementRgba16, copy_rgba16},
};

const Layout* layout_for(int32_t bits_per_pixel) {
  for (const Layout& layout : kLayouts) {
    if (layout.bits_per_pixel == bits_per_pixel) return &layout;
  }
  return nullptr;
}

bool has_readable_signature(const std::string& path) {
  FilePtr file = open_file(path, "rb");
  if (!file) return false;
  uint8_t head[kSignatureBytes] = {};
  size_t bytes = fread(head, 1, sizeof(head), file.get());
  return image_kind_for_signature(head, bytes) != kImageNone;
}

// Rows [first_row, first_row + rows) of one band, as the file gives them, waiting in a pass
// buffer to be converted into the band's tiles.
struct LoadPass {
  TiledImage* image = nullptr;
  const Layout* layout = nullptr;
  size_t file_pixel_bytes = 0;  // bytes of one pixel of the file's rows
  size_t file_row_bytes = 0;    // bytes of one row in the pass buffer
  const uint8_t* rows = nullptr;
  int32_t band = 0;
  int32_t first_row = 0;  // first row of the pass inside the band
  int32_t row_count = 0;
  bool failed = false;  // a tile could not be locked
};

// Converts the rows of a pass into the tiles of its band; marks the pass failed when a tile
// cannot be locked.
void fill_band_from_pass(LoadPass* pass) {
  TiledImage* image = pass->image;
  for (int32_t column = 0; column < image->tiles_across; ++column) {
    Tile* tile = tile_at(image, column, pass->band);
    uint8_t* pixels = hold_tile(image, tile);
    if (!pixels) {
      pass->failed = true;
      return;
    }
    const size_t tile_stride = static_cast<size_t>(tile->width) * image->element_size;
    const size_t left = static_cast<size_t>(column) * image->tile_size * pass->file_pixel_bytes;
    for (int32_t r = 0; r < pass->row_count; ++r) {
      pass->layout->convert(pass->rows + static_cast<size_t>(r) * pass->file_row_bytes + left,
                            pixels + static_cast<size_t>(pass->first_row + r) * tile_stride,
                            tile->width);
    }
    let_go_of_tile(image, tile);
  }
}

void fill_band_unit(void* user, int64_t /*index*/, int32_t /*worker*/) {
  fill_band_from_pass(static_cast<LoadPass*>(user));
}

}  // namespace

TiledImagePtr open_tiled_image_load(const std::string& path, int32_t tile_size,
                                    TiledImageLoad* load) {
  const bool streamed = load->streamed;
  load->reader.reset();
  load->image = nullptr;
  load->state.reset();
  load->streamed = false;
  if (!has_readable_signature(path)) return nullptr;
  ImageFilePtr reader = image_open_read(path, nullptr);
  if (!reader || reader->width <= 0 || reader->height <= 0) return nullptr;
  const Layout* layout = layout_for(reader->bits_per_pixel);
  if (!layout) return nullptr;
  TiledImagePtr image =
      create_tiled_image(tile_size, layout->element_type, reader->width, reader->height);
  if (!image) return nullptr;
  // An image that fits the memory with room to spare stays locked for its whole life: its readers
  // then hold tiles without taking any lock. Streamed, its rows are locked as they are filled.
  const int64_t bytes = int64_t{image->width} * image->height * image->element_size;
  if (qvmem_budget() > 2 * bytes) {
    if (streamed) {
      begin_row_pinning(image.get());
      load->streamed = true;
    } else {
      pin_tiled_image(image.get());
    }
  }
  open_tile_row_gate(image.get());
  load->reader = std::move(reader);
  load->image = image.get();
  return image;
}

// Where a load stands between two calls of continue_tiled_image_load.
struct TiledImageLoadState {
  const Layout* layout = nullptr;
  int32_t rows_per_pass = 0;
  WorkerPoolPtr pool;  // the helper that fills the tiles of a pass, with more than one thread
  BigBuffer pass_memory;         // the file's rows of a pass: one buffer, or two in turn
  uint8_t* buffers[2] = {};
  LoadPass pass;
  bool pass_pending = false;  // a pass is being filled on the helper
  // Rows the pending (or, alone, the last) pass completes, published once it is filled.
  int32_t rows_when_filled = 0;
  int32_t buffer = 0;
  int32_t rows_done = 0;
  int32_t band = 0;    // the band being read …
  int32_t filled = 0;  // … and its rows read so far
  int32_t window = 0;  // with a lookahead: the most rows the demand has needed held at once
  bool read = true;
  bool finished = false;  // the reader is closed (complete or failed)
  bool complete = false;
};

namespace {

TiledImageLoadState* start_load_state(TiledImageLoad* load) {
  if (load->state) return load->state.get();
  auto state = std::make_shared<TiledImageLoadState>();
  TiledImage* image = load->image;
  ImageFile* reader = load->reader.get();
  state->layout = layout_for(reader->bits_per_pixel);
  const int64_t row_bytes = int64_t{image->width} * image->element_size;
  state->rows_per_pass = static_cast<int32_t>(std::max<int64_t>(1, kPassBytes / row_bytes));
  const size_t file_row_bytes = static_cast<size_t>(reader->bytes_per_row);
  const size_t pass_bytes =
      static_cast<size_t>(std::min<int64_t>(state->rows_per_pass, image->height)) *
      file_row_bytes;
  // With one thread the passes are filled in turn on the calling thread, from one buffer.
  if (thread_count() > 1) state->pool = create_worker_pool(1);
  state->pass_memory = BigBuffer(state->pool ? 2 * pass_bytes : pass_bytes);
  state->buffers[0] = state->pass_memory.data;
  if (state->pool && state->buffers[0]) state->buffers[1] = state->buffers[0] + pass_bytes;
  state->pass.image = image;
  state->pass.layout = state->layout;
  state->pass.file_pixel_bytes = static_cast<size_t>(reader->bits_per_pixel / 8);
  state->pass.file_row_bytes = file_row_bytes;
  load->state = state;
  return state.get();
}

// Waits for the pass being filled on the helper, if one is.
void finish_pass(TiledImageLoadState* state) {
  if (state->pass_pending) finish_parallel(state->pool.get());
  state->pass_pending = false;
}

// Publishes the band the last pass completed, once that pass is filled.
void publish_filled_band(TiledImage* image, TiledImageLoadState* state) {
  if (state->rows_when_filled > 0 && !state->pass.failed) {
    publish_tile_rows(image, state->rows_when_filled);
  }
  state->rows_when_filled = 0;
}

// Before a streamed band is filled: the rows nobody needs any more are given back (their tiles
// then serve this band), and the band's tiles are locked.
bool prepare_streamed_band(TiledImageLoad* load, int32_t band) {
  TiledImage* image = load->image;
  if (load->keep_from) discard_tile_rows(image, load->keep_from(load->keep_user));
  return pin_tile_row(image, band);
}

// A filler of its own thread reads `lookahead` rows past the readers' demand, and further while
// the rows it holds stay within the most the demand has needed at once so far: its memory never
// grows past that, and rows the readers come to later are there before they ask.
void wait_for_streamed_room(TiledImageLoad* load, TiledImageLoadState* state, int32_t band) {
  TiledImage* image = load->image;
  TileRowGate* gate = image->gate.get();
  const int32_t start = band * image->tile_size;
  const int32_t end = start + tile_at(image, 0, band)->height;
  for (;;) {
    if (load->keep_from) discard_tile_rows(image, load->keep_from(load->keep_user));
    const int32_t wanted = gate->wanted.load();
    const int32_t held_from = gate->discarded.load();
    state->window = std::max(state->window, wanted + load->lookahead - held_from);
    if (start < wanted + load->lookahead || end - held_from <= state->window) return;
    // The band filled last is published before the wait: a reader may be about to need it.
    if (state->pass_pending) {
      finish_pass(state);
      publish_filled_band(image, state);
      if (state->pass.failed) return;  // ended by the caller's loop
    }
    // Looked at again once the demand has grown by a row of tiles, or reaches this band.
    const int32_t rows = std::min(start, wanted + load->lookahead + image->tile_size);
    wait_for_tile_demand(image, rows, load->lookahead, nullptr);
  }
}

// Ends the load: the reader closed, the gate told.
void end_load(TiledImageLoad* load, TiledImageLoadState* state) {
  TiledImage* image = load->image;
  finish_pass(state);
  state->complete = state->read && !state->pass.failed;
  if (state->complete) image_close(std::move(load->reader));
  load->reader.reset();
  state->finished = true;
  state->buffers[0] = nullptr;
  state->buffers[1] = nullptr;
  state->pass_memory = BigBuffer();
  state->pool.reset();
  if (!state->complete) {
    fail_tile_rows(image);
    return;
  }
  image->loaded_from_file = true;
  publish_tile_rows(image, image->height);
}

}  // namespace

void read_streamed_ahead(TiledImageLoad* load, int32_t rows) {
  if (!load->streamed) return;
  load->lookahead = rows;
  load->image->gate->warm_ahead.store(rows);
}

bool continue_tiled_image_load(TiledImageLoad* load, int32_t rows_wanted,
                               TileLoadProgressFn progress, void* user) {
  TiledImageLoadState* state = start_load_state(load);
  TiledImage* image = load->image;
  LoadPass& pass = state->pass;
  if (!state->finished && !state->buffers[0]) {
    pass.failed = true;  // no memory for the file's rows
    end_load(load, state);
  }
  while (!state->finished) {
    if (state->band >= image->tiles_down) {
      end_load(load, state);
      break;
    }
    TileRowGate* gate = image->gate.get();
    if (gate->ready.load(std::memory_order_acquire) >= rows_wanted && !state->pass_pending) break;
    const int32_t band = state->band;
    const int32_t band_rows = tile_at(image, 0, band)->height;
    if (state->filled == 0 && load->streamed) {
      // A filler of its own follows the readers' demand, a band or more ahead of it.
      if (load->lookahead > 0) wait_for_streamed_room(load, state, band);
      if (!prepare_streamed_band(load, band)) {
        pass.failed = true;
        end_load(load, state);
        break;
      }
    }
    const int32_t rows = std::min(state->rows_per_pass, band_rows - state->filled);
    uint8_t* target = state->buffers[state->buffer];
    ImageFile* reader = load->reader.get();
    for (int32_t r = 0; r < rows; ++r) {
      state->read = image_read_row(reader, target + static_cast<size_t>(r) * pass.file_row_bytes);
      if (!state->read) break;
      ++state->rows_done;
      if (progress) progress(user, state->rows_done, image->height);
    }
    finish_pass(state);
    if (!state->read || pass.failed) {
      end_load(load, state);
      break;
    }
    publish_filled_band(image, state);
    pass.rows = target;
    pass.band = band;
    pass.first_row = state->filled;
    pass.row_count = rows;
    // A band is published whole: readers never meet a tile that is still being filled.
    state->rows_when_filled =
        state->filled + rows == band_rows ? band * image->tile_size + band_rows : 0;
    WorkerPool* pool = state->pool.get();
    start_parallel(pool, 1, fill_band_unit, &pass);
    state->pass_pending = pool != nullptr;
    if (pool) state->buffer ^= 1;
    // Alone, or when this band is the last one asked for, the band is published at once.
    if (pool && state->rows_when_filled >= rows_wanted) finish_pass(state);
    if (!state->pass_pending) publish_filled_band(image, state);
    state->filled += rows;
    if (state->filled == band_rows) {
      ++state->band;
      state->filled = 0;
    }
  }
  if (state->finished) return state->complete;
  return !pass.failed;
}

bool run_tiled_image_load(TiledImageLoad* load, TileLoadProgressFn progress, void* user) {
  return continue_tiled_image_load(load, load->image->height, progress, user);
}

TiledImagePtr load_tiled_image(const std::string& path, int32_t tile_size,
                               TileLoadProgressFn progress, void* user) {
  TiledImageLoad load;
  TiledImagePtr image = open_tiled_image_load(path, tile_size, &load);
  if (!image) return nullptr;
  if (!run_tiled_image_load(&load, progress, user)) return nullptr;
  // Read whole in one go: nobody needs to wait for its rows.
  image->gate.reset();
  return image;
}
