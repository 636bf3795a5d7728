// Loading image files into tiled images: element types and their channel order, the pass and
// band bookkeeping (passes smaller than a band, one row per pass for very wide images), the
// progress calls and the files that are refused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "imageio/image_file.h"
#include "imageio/tiled_image_loader.h"
#include "memory/tiled_image.h"
#include "support/test_images.h"
#include "support/test_support.h"
#include "support/swap_folder_test.h"

namespace {

class TiledImageLoaderTest : public SwapFolderTest {};

// Sample c of pixel (x, y) in a generated file.
uint16_t sample(int32_t x, int32_t y, int32_t c, bool sixteen_bit) {
  uint32_t value = static_cast<uint32_t>(x * 31 + y * 17 + c * 101);
  return static_cast<uint16_t>(sixteen_bit ? value * 257 + c : value & 0xFF);
}

// Writes a file with the sample pattern; false when the writer refuses.
bool write_image(const std::string& path, PixelFormat format, int32_t width, int32_t height) {
  ImageProps props = qv_test::default_props();
  props.jpeg_quality = 100;
  const bool sixteen = format == kPixelRgb16 || format == kPixelRgba16;
  return qv_test::write_samples(path, format, width, height, props, [sixteen](int x, int y, int c) {
    return sample(x, y, c, sixteen);
  });
}

// The element at (x, y) read through the tile that holds it.
std::vector<uint8_t> element_at(TiledImage* image, int32_t x, int32_t y) {
  TileViewPtr view = create_tile_view(image);
  const uint8_t* pixel = tile_view_pixel(view.get(), x, y);
  return std::vector<uint8_t>(pixel, pixel + image->element_size);
}

// Pixels from row first_row down of an 8-bit RGB file's tiled image that are not the decoded
// file's pixel as opaque BGRA (a tile that cannot be held counts); -1 when the file is unreadable.
int32_t bgra_mismatches(const std::string& path, TiledImage* image, int32_t first_row) {
  ImageFilePtr reader = image_open_read(path, nullptr);
  if (!reader) return -1;
  std::vector<uint8_t> row(static_cast<size_t>(reader->bytes_per_row));
  TileViewPtr view = create_tile_view(image);
  int32_t mismatches = 0;
  for (int32_t y = 0; y < image->height; ++y) {
    if (!image_read_row(reader.get(), row.data())) return -1;
    if (y < first_row) continue;
    for (int32_t x = 0; x < image->width; ++x) {
      const uint8_t* bgra = tile_view_pixel(view.get(), x, y);
      const uint8_t* rgb = row.data() + x * 3;
      if (!bgra || bgra[0] != rgb[2] || bgra[1] != rgb[1] || bgra[2] != rgb[0] || bgra[3] != 255) {
        ++mismatches;
      }
    }
  }
  return mismatches;
}

struct ProgressLog {
  int32_t calls = 0;
  int32_t last_done = 0;
  int32_t last_total = 0;
  bool in_order = true;
};

void record_progress(void* user, int32_t rows_done, int32_t total_rows) {
  auto* log = static_cast<ProgressLog*>(user);
  log->in_order = log->in_order && rows_done == log->last_done + 1;
  log->calls += 1;
  log->last_done = rows_done;
  log->last_total = total_rows;
}

TEST_F(TiledImageLoaderTest, RgbJpegBecomesOpaqueBgraMatchingTheDecodedRows) {
  const std::string path = dir.file("small.jpg");
  ASSERT_TRUE(write_image(path, kPixelRgb8, 150, 90));
  ProgressLog log;
  TiledImagePtr image = load_tiled_image(path, 32, record_progress, &log);
  ASSERT_TRUE(image);
  EXPECT_TRUE(image->loaded_from_file);
  EXPECT_EQ(image->element_type, kElementBgra8);
  EXPECT_EQ(image->tiles_across, 5);
  EXPECT_EQ(image->tiles_down, 3);
  EXPECT_EQ(log.calls, 90);
  EXPECT_TRUE(log.in_order);
  EXPECT_EQ(log.last_total, 90);

  EXPECT_EQ(bgra_mismatches(path, image.get(), 0), 0);
}

TEST_F(TiledImageLoaderTest, ElementLayoutsFollowTheFileDepth) {
  struct Row {
    const char* name;
    PixelFormat format;
    int32_t element_type;
  };
  const Row rows[] = {{"rgba8.kro", kPixelRgba8, kElementBgra8},
                      {"rgb16.kro", kPixelRgb16, kElementRgba16},
                      {"rgba16.kro", kPixelRgba16, kElementRgba16},
                      {"rgba16.tif", kPixelRgba16, kElementRgba16}};
  for (const Row& row : rows) {
    const std::string path = dir.file(row.name);
    ASSERT_TRUE(write_image(path, row.format, 45, 20)) << row.name;
    TiledImagePtr image = load_tiled_image(path, 16, nullptr, nullptr);
    ASSERT_TRUE(image) << row.name;
    EXPECT_EQ(image->element_type, row.element_type);
    const bool sixteen = row.element_type == kElementRgba16;
    const bool alpha = row.format == kPixelRgba8 || row.format == kPixelRgba16;
    for (int32_t x : {0, 17, 44}) {
      std::vector<uint8_t> element = element_at(image.get(), x, 19);
      if (sixteen) {
        uint16_t rgba[4];
        memcpy(rgba, element.data(), 8);
        for (int32_t c = 0; c < 3; ++c) EXPECT_EQ(rgba[c], sample(x, 19, c, true)) << x;
        EXPECT_EQ(rgba[3], alpha ? sample(x, 19, 3, true) : 65535) << x;
      } else {
        EXPECT_EQ(element[0], sample(x, 19, 2, false));
        EXPECT_EQ(element[1], sample(x, 19, 1, false));
        EXPECT_EQ(element[2], sample(x, 19, 0, false));
        EXPECT_EQ(element[3], sample(x, 19, 3, false));
      }
    }
  }
}

TEST_F(TiledImageLoaderTest, PassesSmallerThanABandAndRowsLargerThanAPass) {
  struct Row {
    int32_t width, height, tile_size;  // 20000 × 4 bytes: 52 rows per pass, bands of 64
  };
  const Row rows[] = {{20000, 130, 64}, {1048577, 3, 128}};  // a row above 4 MiB: one per pass
  for (const Row& row : rows) {
    const std::string path = dir.file("wide.kro");
    ASSERT_TRUE(write_image(path, kPixelRgb8, row.width, row.height));
    ProgressLog log;
    TiledImagePtr image = load_tiled_image(path, row.tile_size, record_progress, &log);
    ASSERT_TRUE(image) << row.width;
    EXPECT_EQ(log.calls, row.height);
    TileViewPtr view = create_tile_view(image.get());
    int32_t mismatches = 0;
    for (int32_t y = 0; y < row.height; ++y) {
      for (int32_t x : {0, 1, row.tile_size - 1, row.tile_size, row.width / 2, row.width - 1}) {
        const uint8_t* bgra = tile_view_pixel(view.get(), x, y);
        if (bgra[2] != sample(x, y, 0, false) || bgra[0] != sample(x, y, 2, false)) ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0) << row.width;
  }
}

TEST_F(TiledImageLoaderTest, RefusesGrayUnknownAndMissingFiles) {
  ASSERT_TRUE(write_image(dir.file("gray.jpg"), kPixelGray8, 20, 20));
  EXPECT_FALSE(load_tiled_image(dir.file("gray.jpg"), 32, nullptr, nullptr));
  ASSERT_TRUE(qv_test::write_file(dir.file("text.jpg"), "not an image at all"));
  EXPECT_FALSE(load_tiled_image(dir.file("text.jpg"), 32, nullptr, nullptr));
  EXPECT_FALSE(load_tiled_image(dir.file("missing.jpg"), 32, nullptr, nullptr));
  // A file that ends in the middle of its rows fails instead of leaving zeros in the tiles.
  ASSERT_TRUE(write_image(dir.file("whole.kro"), kPixelRgb8, 64, 64));
  std::string whole = qv_test::read_file(dir.file("whole.kro"));
  ASSERT_TRUE(qv_test::write_file(dir.file("cut.kro"), whole.substr(0, whole.size() / 2)));
  EXPECT_FALSE(load_tiled_image(dir.file("cut.kro"), 32, nullptr, nullptr));
}

TEST_F(TiledImageLoaderTest, LoadsARealPhotograph) {
  const std::string path = qv_test::corpus_file("jpeg/exifparser_starfish.jpg");
  std::unique_ptr<ImageInfo> info = image_probe(path);
  ASSERT_TRUE(info);
  TiledImagePtr image = load_tiled_image(path, 128, nullptr, nullptr);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, info->width);
  EXPECT_EQ(image->height, info->height);
  EXPECT_EQ(element_at(image.get(), image->width - 1, image->height - 1)[3], 255);
}

}  // namespace

namespace {

struct StreamKeep {
  std::atomic<int32_t> first{0};  // the first row the test's reader still needs
  std::atomic<int32_t> asked{0};  // how often the loader asked
};

int32_t stream_keep_from(void* user) {
  auto* keep = static_cast<StreamKeep*>(user);
  ++keep->asked;
  return keep->first;
}

// A streamed load of a generated RGB JPEG of width × height in 32-px tiles, whose reader's
// progress is keep.
TiledImagePtr open_streamed(const std::string& path, int32_t width, int32_t height,
                            StreamKeep* keep, TiledImageLoad* load) {
  if (!write_image(path, kPixelRgb8, width, height)) return nullptr;
  load->streamed = true;
  load->keep_from = stream_keep_from;
  load->keep_user = keep;
  TiledImagePtr image = open_tiled_image_load(path, 32, load);
  return image && load->streamed ? std::move(image) : nullptr;
}

}  // namespace

// A streamed load reads only as far as asked, gives back the rows its reader has passed before
// it fills the next band, and refuses a reader that comes back for them; what it keeps is the
// file's pixels all the same.
TEST_F(TiledImageLoaderTest, AStreamedLoadHoldsABandAndRefusesRowsAlreadyGiven) {
  const std::string path = dir.file("tall.jpg");
  StreamKeep keep;
  TiledImageLoad load;
  TiledImagePtr image = open_streamed(path, 100, 200, &keep, &load);
  ASSERT_TRUE(image);
  TileRowGate* gate = image->gate.get();

  ASSERT_TRUE(continue_tiled_image_load(&load, 40, nullptr, nullptr));
  EXPECT_EQ(gate->ready.load(), 64);  // whole bands only
  EXPECT_TRUE(image->pinned[static_cast<size_t>(image->tiles_across) * 2] == nullptr);

  // The reader has passed row 70: the two bands above row 64 go back before band 3 is filled.
  keep.first = 70;
  ASSERT_TRUE(continue_tiled_image_load(&load, 100, nullptr, nullptr));
  EXPECT_EQ(gate->ready.load(), 128);
  EXPECT_EQ(gate->discarded.load(), 64);
  EXPECT_TRUE(image->tiles[0].block == nullptr);
  EXPECT_FALSE(tile_rows_complete(image.get()));
  EXPECT_TRUE(wait_for_tile_band(image.get(), 64, 128));
  EXPECT_TRUE(tile_rows_intact(image.get()));
  EXPECT_FALSE(wait_for_tile_band(image.get(), 63, 100));
  EXPECT_FALSE(tile_rows_intact(image.get()));

  ASSERT_TRUE(continue_tiled_image_load(&load, 200, nullptr, nullptr));
  EXPECT_TRUE(image->loaded_from_file);
  EXPECT_GT(keep.asked.load(), 0);
  // Rows kept are the file's.
  EXPECT_EQ(bgra_mismatches(path, image.get(), 64), 0);
}

// Waits (a few seconds at most) until the loader's own thread sleeps for more demand, and gives
// the rows it has published then.
int32_t rows_when_filler_sleeps(TileRowGate* gate) {
  for (int i = 0; i < 5000 && !gate->filler_waiting.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return gate->filler_waiting.load() ? gate->ready.load() : -1;
}

// A load reading ahead on a thread of its own reads past the demand only while the rows it holds
// stay within the most the demand has needed at once: as the reader moves down and gives rows
// back, the load reads on by as many, and the rows it keeps are the file's.
TEST_F(TiledImageLoaderTest, ReadingAheadStaysWithinTheWindowTheDemandNeeded) {
  const std::string path = dir.file("tall.jpg");
  StreamKeep keep;
  TiledImageLoad load;
  TiledImagePtr image = open_streamed(path, 100, 400, &keep, &load);
  ASSERT_TRUE(image);
  read_streamed_ahead(&load, 32);
  TileRowGate* gate = image->gate.get();
  bool loaded = false;
  std::thread filler([&] { loaded = run_tiled_image_load(&load, nullptr, nullptr); });

  // The reader needs rows 0 … 95 at once: the load holds them and a band more, 128 rows.
  ASSERT_TRUE(wait_for_tile_band(image.get(), 0, 96));
  EXPECT_EQ(rows_when_filler_sleeps(gate), 128);
  // Past row 100 and asking for rows down to 139: three bands go back, and the load reads on
  // while it holds no more than 128 rows, to row 224, beyond the demand and its band ahead.
  keep.first = 100;
  ASSERT_TRUE(wait_for_tile_band(image.get(), 100, 140));
  int32_t ready = 0;
  for (int i = 0; i < 100 && (ready = rows_when_filler_sleeps(gate)) < 224; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(ready, 224);
  EXPECT_EQ(gate->discarded.load(), 96);

  ASSERT_TRUE(wait_for_tile_rows(image.get(), 400));
  filler.join();
  EXPECT_TRUE(loaded);
  EXPECT_EQ(bgra_mismatches(path, image.get(), 96), 0);
}
