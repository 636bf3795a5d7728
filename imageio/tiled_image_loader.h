// Filling a tiled image from an image file: the bridge between the image files and the image
// memory, so the memory layer itself knows nothing of file formats.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "imageio/image_file.h"
#include "memory/tiled_image.h"

// Called after every input row of the loader with the rows read so far and the image height.
using TileLoadProgressFn = void (*)(void* user, int32_t rows_done, int32_t total_rows);

// Loads an image file into a new tiled image: 8-bit RGB and RGBA files become type 6 (BGRA,
// alpha 255 where the file has none), 16-bit ones type 7 (RGBA, alpha 65535 where none). Rows
// are read in passes of at most 4 MiB (one row per pass when a row is larger) and copied into
// the tiles of one band at a time. Null for unknown signatures, gray or unsupported pixels,
// sizes that are not positive and read errors.
TiledImagePtr load_tiled_image(const std::string& path, int32_t tile_size,
                               TileLoadProgressFn progress, void* user);

// A load split in two, so that readers can start on the image while it is filled: open makes the
// image (size and element type known, pixels not yet there) with a row gate, and run fills it
// from the top down on the calling thread, publishing each completed row of tiles; readers wait
// for the rows they need (wait_for_tile_rows). On a read error run fails the gate, so waiting
// readers return, and returns false; the image must then not be used.
//
// Streamed (set `streamed` before open; open clears it when the image is too large to be held
// locked): each band's tiles are locked just before it is filled, after the rows above
// keep_from() have been given back, so their memory serves the new band. A streamed load may be
// run in steps (continue_tiled_image_load, on the readers' thread as the gate's filler), or on a
// thread of its own that reads `lookahead` rows ahead of the readers' demand.
struct TiledImageLoadState;
struct TiledImageLoad {
  ImageFilePtr reader;
  TiledImage* image = nullptr;
  bool streamed = false;
  int32_t (*keep_from)(void* user) = nullptr;  // the first row any reader still needs
  void* keep_user = nullptr;
  int32_t lookahead = 0;  // > 0: wait for demand before each band (read_streamed_ahead)
  std::shared_ptr<TiledImageLoadState> state;
};

// Null, with nothing left open, on the same grounds as load_tiled_image.
TiledImagePtr open_tiled_image_load(const std::string& path, int32_t tile_size,
                                    TiledImageLoad* load);
bool run_tiled_image_load(TiledImageLoad* load, TileLoadProgressFn progress, void* user);

// Makes a streamed load read `rows` rows ahead of the readers' demand on a thread of its own;
// readers that wait for rows meanwhile ready the memory of the tiles it fills next. Set before
// the readers start.
void read_streamed_ahead(TiledImageLoad* load, int32_t rows);

// Reads on until rows 0 … rows - 1 are published (or the whole image, whichever comes first);
// false once the load has failed.
bool continue_tiled_image_load(TiledImageLoad* load, int32_t rows, TileLoadProgressFn progress,
                               void* user);
