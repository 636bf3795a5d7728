// Tiled images: the grid and its edge tiles, pixel round trips through views (also with tiles
// in swap files), clamping, and the order in which a view fills and replaces its four slots.
#include "memory/tiled_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/swap_folder_test.h"
#include "support/test_support.h"
#include "tiny_budget.h"

namespace {

class TiledImageTest : public SwapFolderTest {};

uint32_t pattern(int32_t x, int32_t y) {
  return static_cast<uint32_t>(x) * 2654435761u ^ static_cast<uint32_t>(y) * 40503u;
}

void write_pattern(TiledImage* image) {
  TileViewPtr view = create_tile_view(image);
  for (int32_t y = 0; y < image->height; ++y) {
    for (int32_t x = 0; x < image->width; ++x) {
      uint32_t value = pattern(x, y);
      memcpy(tile_view_pixel(view.get(), x, y), &value, 4);
    }
  }
}

int32_t pattern_mismatches(TiledImage* image) {
  TileViewPtr view = create_tile_view(image);
  int32_t mismatches = 0;
  for (int32_t y = 0; y < image->height; ++y) {
    for (int32_t x = 0; x < image->width; ++x) {
      uint32_t value = 0;
      memcpy(&value, tile_view_pixel(view.get(), x, y), 4);
      if (value != pattern(x, y)) ++mismatches;
    }
  }
  return mismatches;
}

TEST_F(TiledImageTest, GridHasNarrowerEdgeTiles) {
  TiledImagePtr image = create_tiled_image(32, kElementBgra8, 100, 70);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->tiles_across, 4);
  EXPECT_EQ(image->tiles_down, 3);
  EXPECT_EQ(image->element_size, 4);
  ASSERT_EQ(image->tiles.size(), 12u);
  Tile* corner = tile_at(image.get(), 3, 2);
  EXPECT_EQ(corner, &image->tiles[2 * 4 + 3]);
  EXPECT_EQ(corner->width, 4);
  EXPECT_EQ(corner->height, 6);
  EXPECT_EQ(corner->column, 3);
  EXPECT_EQ(corner->row, 2);
  EXPECT_EQ(corner->image, image.get());
  EXPECT_EQ(qvmem_size(corner->block), 4u * 6u * 4u);
  EXPECT_EQ(qvmem_size(tile_at(image.get(), 0, 0)->block), 32u * 32u * 4u);
  EXPECT_EQ(qvmem_size(tile_at(image.get(), 1, 2)->block), 32u * 6u * 4u);
  EXPECT_EQ(qvmem_resident_bytes(), 0);  // nothing committed before the first lock
  TiledImagePtr second = create_tiled_image(128, kElementRgba16, 1, 1);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->id, image->id + 1);
  EXPECT_EQ(second->element_size, 8);
}

TEST_F(TiledImageTest, RefusesImpossibleShapes) {
  struct Row {
    int32_t tile_size, type, width, height;
  };
  const Row rows[] = {
      {32, 6, 0, 10},     {32, 6, 10, -1},  {0, 6, 10, 10},   {48, 6, 10, 10},
      {65536, 6, 10, 10}, {32, 12, 10, 10}, {32, -1, 10, 10}, {1, 6, INT32_MAX, INT32_MAX}};
  for (const Row& row : rows) {
    EXPECT_FALSE(create_tiled_image(row.tile_size, row.type, row.width, row.height))
        << row.tile_size << " " << row.type << " " << row.width << "x" << row.height;
  }
  const int32_t sizes[12] = {1, 2, 2, 4, 4, 4, 4, 8, 8, 16, 16, 16};
  for (int32_t type = 0; type < 12; ++type) EXPECT_EQ(element_size_of_type(type), sizes[type]);
}

TEST_F(TiledImageTest, PixelsSurviveSwappingOutWithEdgeTiles) {
  TiledImagePtr image = create_tiled_image(16, kElementBgra8, 75, 41);
  ASSERT_TRUE(image);
  ScopedTinyBudget budget(5 * 16 * 16 * 4);  // five tiles of 15 in memory
  write_pattern(image.get());
  EXPECT_GT(qvmem_list_stats(QVMEM_SWAPPED).count, 5);
  EXPECT_EQ(pattern_mismatches(image.get()), 0);
  // A tile's rows are stored without padding: the edge tile's stride is its own width.
  Tile* edge = tile_at(image.get(), 4, 0);
  ASSERT_EQ(edge->width, 11);
  auto* data = static_cast<uint8_t*>(qvmem_lock(edge->block));
  ASSERT_NE(data, nullptr);
  uint32_t value = 0;
  memcpy(&value, data + (2 + 3 * 11) * 4, 4);
  EXPECT_EQ(value, pattern(64 + 2, 3));
  qvmem_unlock(edge->block);
  image.reset();
  EXPECT_TRUE(qv_test::list_files(dir.path).empty());
}

TEST_F(TiledImageTest, PixelPositionsAreClampedToTheImage) {
  TiledImagePtr image = create_tiled_image(32, kElementBgra8, 100, 70);
  ASSERT_TRUE(image);
  TileViewPtr view = create_tile_view(image.get());
  struct Row {
    int32_t x, y, clamped_x, clamped_y;
  };
  const Row rows[] = {{-5, 10, 0, 10},  {100, 70, 99, 69}, {-1, -1, 0, 0},
                      {99, -40, 99, 0}, {200, 35, 99, 35}, {INT32_MIN, INT32_MAX, 0, 69}};
  for (const Row& row : rows) {
    EXPECT_EQ(tile_view_pixel(view.get(), row.x, row.y),
              tile_view_pixel(view.get(), row.clamped_x, row.clamped_y))
        << row.x << "," << row.y;
  }
}

TEST_F(TiledImageTest, ViewFillsSlotsBackwardsAndReplacesTheSlotBeforeTheCurrent) {
  TiledImagePtr image = create_tiled_image(32, kElementBgra8, 32 * 6, 32);
  ASSERT_TRUE(image);
  auto tile = [&](int32_t column) { return tile_at(image.get(), column, 0); };
  auto visit = [&](TileView* view, int32_t column) {
    ASSERT_NE(tile_view_pixel(view, column * 32 + 1, 1), nullptr);
  };
  TileViewPtr view = create_tile_view(image.get());
  EXPECT_EQ(view->current, 0);
  for (int32_t column = 0; column < 4; ++column) {
    visit(view.get(), column);
    EXPECT_EQ(view->current, 3 - column);
    EXPECT_EQ(view->tiles[3 - column], tile(column));
  }
  // A hit in another slot makes it current without locking anything.
  visit(view.get(), 1);
  EXPECT_EQ(view->current, 2);
  // Misses replace current + 3: slot 1 (tile 2), then slot 0 (tile 3).
  visit(view.get(), 4);
  EXPECT_EQ(view->current, 1);
  EXPECT_EQ(view->tiles[1], tile(4));
  EXPECT_FALSE(qvmem_is_locked(tile(2)->block));
  visit(view.get(), 5);
  EXPECT_EQ(view->current, 0);
  EXPECT_EQ(view->tiles[0], tile(5));
  EXPECT_FALSE(qvmem_is_locked(tile(3)->block));
  for (int32_t column : {0, 1, 4, 5}) EXPECT_TRUE(qvmem_is_locked(tile(column)->block)) << column;
  view.reset();
  for (const Tile& each : image->tiles) EXPECT_FALSE(qvmem_is_locked(each.block));
}

TEST_F(TiledImageTest, FiveTilesInTurnLeaveTheFirstUnlocked) {
  TiledImagePtr image = create_tiled_image(32, kElementRgba16, 32 * 5, 10);
  ASSERT_TRUE(image);
  TileViewPtr view = create_tile_view(image.get());
  for (int32_t column = 0; column < 5; ++column) {
    ASSERT_NE(tile_view_pixel(view.get(), column * 32, 0), nullptr);
  }
  EXPECT_FALSE(qvmem_is_locked(tile_at(image.get(), 0, 0)->block));
  for (int32_t column = 1; column < 5; ++column) {
    EXPECT_TRUE(qvmem_is_locked(tile_at(image.get(), column, 0)->block)) << column;
  }
}

TEST_F(TiledImageTest, ATileLockedElsewhereGivesNullInsteadOfAWildPointer) {
  TiledImagePtr image = create_tiled_image(32, kElementBgra8, 64, 64);
  ASSERT_TRUE(image);
  TileViewPtr first = create_tile_view(image.get());
  TileViewPtr second = create_tile_view(image.get());
  ASSERT_NE(tile_view_pixel(first.get(), 0, 0), nullptr);
  EXPECT_EQ(tile_view_pixel(second.get(), 5, 5), nullptr);
  EXPECT_NE(tile_view_pixel(second.get(), 40, 5), nullptr);
}

// With shared tile locks, views on several threads read the same tiles at once while the
// manager (switched to thread safety) swaps the others out under a budget of a few tiles.
TEST_F(TiledImageTest, SharedTileLocksServeViewsOnSeveralThreads) {
  TiledImagePtr image = create_tiled_image(16, kElementBgra8, 75, 41);
  ASSERT_TRUE(image);
  qvmem_set_thread_safe(true);
  ScopedTinyBudget budget(8 * 16 * 16 * 4);
  write_pattern(image.get());
  share_tile_locks(image.get());
  std::vector<int32_t> mismatches(4, -1);
  std::vector<std::thread> readers;
  for (size_t t = 0; t < mismatches.size(); ++t) {
    readers.emplace_back([&, t] { mismatches[t] = pattern_mismatches(image.get()); });
  }
  for (std::thread& reader : readers) reader.join();
  for (int32_t count : mismatches) EXPECT_EQ(count, 0);
  EXPECT_GT(qvmem_list_stats(QVMEM_SWAPPED).count, 0);
  // Every view has let go: no tile is left locked.
  EXPECT_EQ(qvmem_list_stats(QVMEM_LOCKED).count, 0);
  qvmem_set_thread_safe(false);
}

}  // namespace
