// Images held as a grid of square tiles, each tile one block of the virtual memory manager, so
// that only the tiles in use occupy memory; and the four-slot view through which samplers read
// pixels at arbitrary positions.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "memory/qvmem.h"

struct TiledImage;

// One tile: its pixels are stored row after row without padding (row stride = width × element
// size of the image).
struct Tile {
  int32_t width = 0;   // pixels across: the tile size, less in the last column
  int32_t height = 0;  // pixels down: the tile size, less in the last row
  int32_t column = 0;  // position in the grid
  int32_t row = 0;
  QvmemBlock* block = nullptr;  // the tile's pixels
  TiledImage* image = nullptr;  // the owning image
};

// Element types that images are made of: 6 = 8-bit BGRA, 7 = 16-bit RGBA (native byte order).
constexpr int32_t kElementBgra8 = 6;
constexpr int32_t kElementRgba16 = 7;

// Lets views on several threads hold the same tile: the manager locks a tile's block for its
// first holder and unlocks it when the last one lets go; the table counts the holders.
struct SharedTileLocks {
  std::mutex mutex;              // guards both vectors and the manager calls made for them
  std::vector<int32_t> holders;  // views holding each tile (row-major, like `tiles`)
  std::vector<uint8_t*> pixels;  // the locked memory of each held tile
};

// Lets readers start on an image while it is still being filled from the top down: the filler
// publishes the rows that are complete (whole rows of tiles, which it never touches again), and a
// reader waits until the rows it needs are there.
//
// A streamed image goes further: its rows are read only as far as readers ask for them, and the
// rows no reader will touch again are given back (discard_tile_rows), so a reader going down the
// image keeps only a band of it in memory. With a filler set, a reader that needs rows not yet
// there reads them itself on its own thread; otherwise a filler on another thread follows the
// readers' demand (wait_for_tile_demand).
using TileRowFillFn = bool (*)(void* user, int32_t rows);

struct TileRowGate {
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<int32_t> ready{0};      // rows 0 … ready - 1 are complete
  std::atomic<bool> failed{false};    // the filling stopped; no more rows will come
  std::atomic<int32_t> wanted{0};     // the most rows a reader has asked for
  std::atomic<int32_t> discarded{0};  // rows 0 … discarded - 1 are gone (whole rows of tiles)
  std::atomic<bool> overrun{false};   // a reader needed a row that was already gone
  std::atomic<bool> filler_waiting{false};  // the filler waits for demand …
  std::atomic<int32_t> wake_at{0};          // … until a reader wants this many rows
  TileRowFillFn fill = nullptr;       // reads rows on the reader's thread; null: another thread
  void* fill_user = nullptr;
  // A filler of its own thread that reads this many rows past the demand: a reader that would
  // wait readies the memory of the tiles down there first (row-pinned images).
  std::atomic<int32_t> warm_ahead{0};
};

struct TiledImage {
  int32_t id = 0;     // process-wide serial number, first image 1
  int32_t width = 0;  // image size in pixels
  int32_t height = 0;
  int32_t tiles_across = 0;                 // ceil(width / tile_size)
  int32_t tiles_down = 0;                   // ceil(height / tile_size)
  int32_t tile_size = 0;                    // edge of a full tile in pixels, a power of two
  int32_t tile_shift = 0;                   // log2(tile_size)
  std::vector<Tile> tiles;                  // row-major: tile (c, r) is tiles[r * tiles_across + c]
  int32_t element_type = 0;                 // pixel layout code 0 … 11
  int32_t element_size = 0;                 // bytes per pixel of that code
  bool loaded_from_file = false;            // filled by load_tiled_image
  std::unique_ptr<SharedTileLocks> shared;  // set by share_tile_locks: views may share tiles
  std::unique_ptr<TileRowGate> gate;        // set by open_tile_row_gate: filled while read
  std::vector<uint8_t*> pinned;             // set by pin_tiled_image: every tile's memory
};

// Makes image pinned with no tile locked yet: pin_tile_row then locks a row of tiles just before
// it is filled, so that tile memory given back by discard_tile_rows serves the rows that follow.
void begin_row_pinning(TiledImage* image);

// Locks the tiles of row of tiles `tile_row` of an image made pinned by begin_row_pinning (no
// change when they are locked already); false when a tile cannot be locked.
bool pin_tile_row(TiledImage* image, int32_t tile_row);

// Gives back the tiles of every whole row of tiles above pixel row `rows` of a pinned image with
// a row gate: readers promise never to read above it again (a reader that does anyway finds the
// gate's overrun set and its rows black, never freed memory).
void discard_tile_rows(TiledImage* image, int32_t rows);

// Locks every tile of image for as long as it lives, so that holding a tile (views, fillers)
// takes no lock at all: for an image that fits the memory budget with room to spare and is read
// by many views. False, with nothing locked, when a tile cannot be locked. Call it before any
// view exists.
bool pin_tiled_image(TiledImage* image);

// A tile's pixels for one more holder (the image's shared table, a pinned image, or the manager's
// own lock), and letting go of them; null when the tile cannot be locked.
uint8_t* hold_tile(TiledImage* image, Tile* tile);
void let_go_of_tile(TiledImage* image, Tile* tile);

// From now on readers of image wait for its rows (wait_for_tile_rows) until the filler has
// published them; call it before any reader starts.
void open_tile_row_gate(TiledImage* image);

// Publishes that rows 0 … rows - 1 are complete and wakes the readers waiting for them.
void publish_tile_rows(TiledImage* image, int32_t rows);

// Tells the readers that no more rows will come.
void fail_tile_rows(TiledImage* image);

// The waiting part of wait_for_tile_rows.
bool wait_for_tile_rows_slow(TiledImage* image, int32_t rows);

// Waits until rows 0 … rows - 1 of image are complete; true at once for an image without a gate.
// False when the filling failed before they were.
inline bool wait_for_tile_rows(TiledImage* image, int32_t rows) {
  TileRowGate* gate = image->gate.get();
  if (!gate || gate->ready.load(std::memory_order_acquire) >= rows) return true;
  return wait_for_tile_rows_slow(image, rows);
}

// True when every row of image is complete and none has been discarded (always for an image
// without a gate): readers then need no checks.
inline bool tile_rows_complete(const TiledImage* image) {
  const TileRowGate* gate = image->gate.get();
  return !gate || (gate->ready.load(std::memory_order_acquire) >= image->height &&
                   gate->discarded.load(std::memory_order_acquire) == 0);
}

// Waits until rows first … end - 1 of image are there for a reader (asking for them as demand,
// see wait_for_tile_demand); false when the filling failed before they were, or when first lies
// in the discarded part (the gate's overrun is then set).
bool wait_for_tile_band(TiledImage* image, int32_t first, int32_t end);

// The filler's side of demand: waits until readers want more than rows - lookahead rows or
// until stop is set by the readers' owner (call wake_tile_filler after setting it); true when
// rows should be read.
bool wait_for_tile_demand(TiledImage* image, int32_t rows, int32_t lookahead,
                          const std::atomic<bool>* stop);
void wake_tile_filler(TiledImage* image);

// True unless a reader of image needed a row that had been discarded.
inline bool tile_rows_intact(const TiledImage* image) {
  const TileRowGate* gate = image->gate.get();
  return !gate || !gate->overrun.load(std::memory_order_acquire);
}

// From now on views of image (on any thread) may hold the same tile at once. Call it before
// such views exist and release them all before the image.
void share_tile_locks(TiledImage* image);

// Bytes per pixel of element type codes 0 … 11; 0 for any other code.
int32_t element_size_of_type(int32_t element_type);

// Frees every tile block and the image.
void release_tiled_image(TiledImage* image);

struct TiledImageDeleter {
  void operator()(TiledImage* image) const { release_tiled_image(image); }
};
using TiledImagePtr = std::unique_ptr<TiledImage, TiledImageDeleter>;

// A tiled image with one (not yet committed) block per tile. Null when a size is not positive,
// the tile size is not a power of two up to 32768, the type is unknown or the grid is too large.
TiledImagePtr create_tiled_image(int32_t tile_size, int32_t element_type, int32_t width,
                                 int32_t height);

// The tile at grid position (column, row); no bounds check.
inline Tile* tile_at(TiledImage* image, int32_t column, int32_t row) {
  return &image->tiles[static_cast<size_t>(row) * image->tiles_across + column];
}

// A cached pixel accessor keeping up to four tiles locked. Zero-filled: all slots empty, current
// slot 0. A tile must not sit in two views at once (the manager locks a block only once), unless
// the image shares its tile locks.
struct TileView {
  TiledImage* image = nullptr;
  Tile* tiles[4] = {};      // tile held by each slot, or null
  uint8_t* pixels[4] = {};  // the locked memory of that tile
  int32_t current = 0;      // slot of the last access
};

// Unlocks the tiles of all occupied slots and frees the view.
void release_tile_view(TileView* view);

struct TileViewDeleter {
  void operator()(TileView* view) const { release_tile_view(view); }
};
using TileViewPtr = std::unique_ptr<TileView, TileViewDeleter>;

// An empty view of image (which must outlive it).
TileViewPtr create_tile_view(TiledImage* image);

// The miss path of tile_view_pixel: finds tile in the slots after the current one, else
// replaces the slot before the current one; returns the slot, or -1 when the tile could not be
// locked (it is locked elsewhere).
int32_t tile_view_select_slot(TileView* view, Tile* tile);

// Pointer to the element at (x, y), clamped to the image. Null only when the tile could not be
// locked.
inline uint8_t* tile_view_pixel(TileView* view, int32_t x, int32_t y) {
  const TiledImage* image = view->image;
  x = x < 0 ? 0 : (x >= image->width ? image->width - 1 : x);
  y = y < 0 ? 0 : (y >= image->height ? image->height - 1 : y);
  const int32_t shift = image->tile_shift;
  Tile* tile = const_cast<Tile*>(
      &image->tiles[static_cast<size_t>(y >> shift) * image->tiles_across + (x >> shift)]);
  int32_t slot = view->current;
  if (view->tiles[slot] != tile) {
    slot = tile_view_select_slot(view, tile);
    if (slot < 0) return nullptr;
  }
  const int32_t mask = image->tile_size - 1;
  const size_t offset = static_cast<size_t>(x & mask) + static_cast<size_t>(y & mask) * tile->width;
  return view->pixels[slot] + offset * image->element_size;
}
