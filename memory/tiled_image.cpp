// Tiled images and their views. A view's slots form a ring: a hit in another slot makes it the
// current one, and a miss replaces the slot just before the current one (current + 3), so an
// empty view fills slots 3, 2, 1, 0 and the tile used longest ago is replaced first.
#include "memory/tiled_image.h"

#include <algorithm>
#include <atomic>
#include <new>

namespace {

constexpr int32_t kElementSizes[12] = {1, 2, 2, 4, 4, 4, 4, 8, 8, 16, 16, 16};
constexpr int32_t kLargestTileSize = 32768;
constexpr int64_t kMostTiles = INT32_MAX;

std::atomic<int32_t> next_image_id{1};

bool is_power_of_two(int32_t value) {
  return value > 0 && (value & (value - 1)) == 0;
}

int32_t log2_of(int32_t power_of_two) {
  int32_t shift = 0;
  while ((1 << shift) < power_of_two) ++shift;
  return shift;
}

int32_t tiles_for(int32_t pixels, int32_t tile_size) {
  return static_cast<int32_t>((static_cast<int64_t>(pixels) + tile_size - 1) / tile_size);
}

// Lays out the grid and allocates one block per tile; false when the memory for the records
// cannot be had.
bool allocate_tiles(TiledImage* image) {
  try {
    image->tiles.resize(static_cast<size_t>(image->tiles_across) * image->tiles_down);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (int32_t row = 0; row < image->tiles_down; ++row) {
    for (int32_t column = 0; column < image->tiles_across; ++column) {
      Tile* tile = tile_at(image, column, row);
      tile->column = column;
      tile->row = row;
      tile->width = std::min(image->tile_size, image->width - column * image->tile_size);
      tile->height = std::min(image->tile_size, image->height - row * image->tile_size);
      tile->image = image;
      tile->block = qvmem_alloc(static_cast<uint64_t>(tile->width) * tile->height *
                                static_cast<uint64_t>(image->element_size));
    }
  }
  return true;
}

}  // namespace

// The tile's pixels for one more holder; null when the block cannot be locked.
uint8_t* hold_tile(TiledImage* image, Tile* tile) {
  if (!image->pinned.empty()) return image->pinned[static_cast<size_t>(tile - image->tiles.data())];
  SharedTileLocks* shared = image->shared.get();
  if (!shared) return static_cast<uint8_t*>(qvmem_lock(tile->block));
  const size_t index = static_cast<size_t>(tile - image->tiles.data());
  std::lock_guard<std::mutex> guard(shared->mutex);
  if (shared->holders[index] == 0) {
    shared->pixels[index] = static_cast<uint8_t*>(qvmem_lock(tile->block));
    if (!shared->pixels[index]) return nullptr;
  }
  ++shared->holders[index];
  return shared->pixels[index];
}

void let_go_of_tile(TiledImage* image, Tile* tile) {
  if (!image->pinned.empty()) return;
  SharedTileLocks* shared = image->shared.get();
  if (!shared) {
    qvmem_unlock(tile->block);
    return;
  }
  const size_t index = static_cast<size_t>(tile - image->tiles.data());
  std::lock_guard<std::mutex> guard(shared->mutex);
  if (--shared->holders[index] == 0) {
    shared->pixels[index] = nullptr;
    qvmem_unlock(tile->block);
  }
}

void begin_row_pinning(TiledImage* image) {
  image->pinned.assign(image->tiles.size(), nullptr);
}

bool pin_tile_row(TiledImage* image, int32_t tile_row) {
  const size_t first = static_cast<size_t>(tile_row) * image->tiles_across;
  for (size_t i = first; i < first + static_cast<size_t>(image->tiles_across); ++i) {
    if (image->pinned[i]) continue;
    if (!image->tiles[i].block) return false;  // discarded
    image->pinned[i] = static_cast<uint8_t*>(qvmem_lock(image->tiles[i].block));
    if (!image->pinned[i]) return false;
  }
  return true;
}

void discard_tile_rows(TiledImage* image, int32_t rows) {
  TileRowGate* gate = image->gate.get();
  if (!gate || image->pinned.empty()) return;
  // Only rows already filled: the band being filled is not the readers' to give away.
  rows = std::min(rows, gate->ready.load(std::memory_order_acquire));
  const int32_t tile_rows = std::min(rows, image->height) / image->tile_size;
  const int32_t done = gate->discarded.load(std::memory_order_relaxed) / image->tile_size;
  if (tile_rows <= done) return;
  // Published first, so that a reader still asking for these rows learns they are gone.
  gate->discarded.store(tile_rows * image->tile_size, std::memory_order_seq_cst);
  for (int32_t row = done; row < tile_rows; ++row) {
    for (int32_t column = 0; column < image->tiles_across; ++column) {
      const size_t index = static_cast<size_t>(row) * image->tiles_across + column;
      Tile& tile = image->tiles[index];
      if (image->pinned[index]) qvmem_unlock(tile.block);
      image->pinned[index] = nullptr;
      qvmem_free(tile.block);
      tile.block = nullptr;
    }
  }
}

bool pin_tiled_image(TiledImage* image) {
  if (!image->pinned.empty()) return true;
  std::vector<uint8_t*> pixels;
  pixels.reserve(image->tiles.size());
  for (Tile& tile : image->tiles) {
    auto* locked = static_cast<uint8_t*>(qvmem_lock(tile.block));
    if (!locked) {
      for (size_t i = 0; i < pixels.size(); ++i) qvmem_unlock(image->tiles[i].block);
      return false;
    }
    pixels.push_back(locked);
  }
  image->pinned = std::move(pixels);
  return true;
}

void share_tile_locks(TiledImage* image) {
  if (image->shared) return;
  image->shared = std::make_unique<SharedTileLocks>();
  image->shared->holders.assign(image->tiles.size(), 0);
  image->shared->pixels.assign(image->tiles.size(), nullptr);
}

int32_t element_size_of_type(int32_t element_type) {
  return element_type >= 0 && element_type < 12 ? kElementSizes[element_type] : 0;
}

TiledImagePtr create_tiled_image(int32_t tile_size, int32_t element_type, int32_t width,
                                 int32_t height) {
  if (width <= 0 || height <= 0) return nullptr;
  if (!is_power_of_two(tile_size) || tile_size > kLargestTileSize) return nullptr;
  int32_t element_size = element_size_of_type(element_type);
  if (element_size == 0) return nullptr;
  int32_t across = tiles_for(width, tile_size);
  int32_t down = tiles_for(height, tile_size);
  if (static_cast<int64_t>(across) * down > kMostTiles) return nullptr;

  TiledImagePtr image(std::make_unique<TiledImage>().release());
  image->id = next_image_id.fetch_add(1);
  image->width = width;
  image->height = height;
  image->tiles_across = across;
  image->tiles_down = down;
  image->tile_size = tile_size;
  image->tile_shift = log2_of(tile_size);
  image->element_type = element_type;
  image->element_size = element_size;
  if (!allocate_tiles(image.get())) return nullptr;
  return image;
}

void open_tile_row_gate(TiledImage* image) {
  image->gate = std::make_unique<TileRowGate>();
}

void publish_tile_rows(TiledImage* image, int32_t rows) {
  TileRowGate* gate = image->gate.get();
  if (!gate) return;
  {
    std::lock_guard<std::mutex> guard(gate->mutex);
    if (rows > gate->ready.load(std::memory_order_relaxed)) {
      gate->ready.store(rows, std::memory_order_release);
    }
  }
  gate->changed.notify_all();
}

void fail_tile_rows(TiledImage* image) {
  TileRowGate* gate = image->gate.get();
  if (!gate) return;
  {
    std::lock_guard<std::mutex> guard(gate->mutex);
    gate->failed.store(true, std::memory_order_release);
  }
  gate->changed.notify_all();
}

namespace {

// Records that a reader wants rows 0 … rows - 1, and wakes a filler waiting for that much.
void want_tile_rows(TileRowGate* gate, int32_t rows) {
  int32_t wanted = gate->wanted.load(std::memory_order_relaxed);
  while (rows > wanted && !gate->wanted.compare_exchange_weak(wanted, rows)) {
  }
  if (rows > wanted && gate->filler_waiting.load() && rows >= gate->wake_at.load()) {
    std::lock_guard<std::mutex> guard(gate->mutex);
    gate->changed.notify_all();
  }
}

}  // namespace

bool wait_for_tile_band(TiledImage* image, int32_t first, int32_t end) {
  TileRowGate* gate = image->gate.get();
  if (!gate) return true;
  if (first < gate->discarded.load(std::memory_order_seq_cst)) {
    gate->overrun.store(true);
    return false;
  }
  want_tile_rows(gate, end);
  return wait_for_tile_rows(image, end);
}

bool wait_for_tile_demand(TiledImage* image, int32_t rows, int32_t lookahead,
                          const std::atomic<bool>* stop) {
  TileRowGate* gate = image->gate.get();
  const int32_t threshold = rows - lookahead;
  if (gate->wanted.load() > threshold) return true;
  std::unique_lock<std::mutex> lock(gate->mutex);
  gate->wake_at.store(threshold + 1);
  gate->filler_waiting.store(true);
  gate->changed.wait(lock, [gate, threshold, stop] {
    return gate->wanted.load() > threshold || (stop && stop->load());
  });
  gate->filler_waiting.store(false);
  return gate->wanted.load() > threshold;
}

void wake_tile_filler(TiledImage* image) {
  TileRowGate* gate = image->gate.get();
  if (!gate) return;
  std::lock_guard<std::mutex> guard(gate->mutex);
  gate->changed.notify_all();
}

namespace {

// Readies the memory of a few tiles the filler fills next: whole tiles of the full rows of
// tiles down to the demand and the filler's reach past it. False when there is nothing to do.
bool warm_next_tiles(TiledImage* image) {
  TileRowGate* gate = image->gate.get();
  const int32_t tile = image->tile_size;
  const int32_t reach =
      std::min(gate->wanted.load() + gate->warm_ahead.load(), image->height / tile * tile);
  const int64_t rows_of_tiles = reach / tile - gate->discarded.load() / tile;
  const int64_t columns = image->width / tile;
  if (rows_of_tiles <= 0 || columns == 0) return false;
  const uint64_t bytes = uint64_t(tile) * uint64_t(tile) * uint64_t(image->element_size);
  return qvmem_warm_blocks(bytes, rows_of_tiles * columns);
}

}  // namespace

bool wait_for_tile_rows_slow(TiledImage* image, int32_t rows) {
  TileRowGate* gate = image->gate.get();
  if (gate->fill) {
    // The reader reads the rows itself.
    if (gate->ready.load(std::memory_order_acquire) < rows && !gate->failed.load()) {
      gate->fill(gate->fill_user, rows);
    }
    return gate->ready.load(std::memory_order_acquire) >= rows;
  }
  want_tile_rows(gate, rows);
  // Rather than sleep at once, ready memory for the filler, whose own thread would otherwise
  // pay the kernel's page faults as it fills.
  if (gate->warm_ahead.load() > 0 && !image->pinned.empty()) {
    while (gate->ready.load(std::memory_order_acquire) < rows && !gate->failed.load() &&
           warm_next_tiles(image)) {
    }
  }
  std::unique_lock<std::mutex> lock(gate->mutex);
  gate->changed.wait(lock, [gate, rows] {
    return gate->ready.load(std::memory_order_acquire) >= rows ||
           gate->failed.load(std::memory_order_acquire);
  });
  return gate->ready.load(std::memory_order_acquire) >= rows;
}

void release_tiled_image(TiledImage* image) {
  if (!image) return;
  if (!image->pinned.empty()) {
    for (size_t i = 0; i < image->tiles.size(); ++i) {
      if (image->pinned[i]) qvmem_unlock(image->tiles[i].block);
    }
  }
  for (Tile& tile : image->tiles) {
    if (tile.block) qvmem_free(tile.block);
  }
  std::unique_ptr<TiledImage> owner(image);
}

TileViewPtr create_tile_view(TiledImage* image) {
  TileViewPtr view(std::make_unique<TileView>().release());
  view->image = image;
  return view;
}

void release_tile_view(TileView* view) {
  if (!view) return;
  for (Tile* tile : view->tiles) {
    if (tile) let_go_of_tile(view->image, tile);
  }
  std::unique_ptr<TileView> owner(view);
}

int32_t tile_view_select_slot(TileView* view, Tile* tile) {
  for (int32_t step = 1; step <= 3; ++step) {
    int32_t slot = (view->current + step) & 3;
    if (view->tiles[slot] == tile) {
      view->current = slot;
      return slot;
    }
  }
  int32_t slot = (view->current + 3) & 3;
  if (view->tiles[slot]) let_go_of_tile(view->image, view->tiles[slot]);
  view->tiles[slot] = nullptr;
  view->pixels[slot] = nullptr;
  uint8_t* pixels = hold_tile(view->image, tile);
  if (!pixels) return -1;
  view->tiles[slot] = tile;
  view->pixels[slot] = pixels;
  view->current = slot;
  return slot;
}
