// The render core on its own: the edge rules of panorama and face samplers, rendered rows direct
// and through the resizer with their progress counts, the row output opened from a pixel format
// alone, and the engines' messages through a console record.
#include "render/render_core.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/threads.h"
#include "memory/qvmem.h"
#include "render/engine_messages.h"
#include "support/captured_console.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

// A 64 × 32 tiled image of 16-pixel tiles (8-bit BGRA) whose blue is the column and green the
// row of each pixel.
TiledImagePtr position_image() {
  qvmem_init(nullptr, 0);
  TiledImagePtr image = create_tiled_image(16, kElementBgra8, 64, 32);
  TileViewPtr view = create_tile_view(image.get());
  for (int32_t y = 0; y < image->height; ++y) {
    for (int32_t x = 0; x < image->width; ++x) {
      uint8_t* pixel = tile_view_pixel(view.get(), x, y);
      pixel[0] = static_cast<uint8_t>(x);
      pixel[1] = static_cast<uint8_t>(y);
      pixel[2] = 0;
      pixel[3] = 255;
    }
  }
  return image;
}

TEST(RenderCore, FaceSamplersClampWherePanoramaSamplersWrap) {
  TiledImagePtr image = position_image();
  TileViewPtr view = create_tile_view(image.get());
  PanoSampler pano = make_pano_sampler(image.get(), view.get());
  PanoSampler face = make_face_sampler(image.get(), view.get());
  const struct {
    int32_t column, row;
    int32_t pano_column, pano_row;  // where the panorama reads (a 2:1 full sphere)
    int32_t face_column, face_row;  // where the face reads
  } rows[] = {
      {5, 7, 5, 7, 5, 7},    {-1, 3, 63, 3, 0, 3},    {64, 3, 0, 3, 63, 3},
      {-2, -4, 62, 0, 0, 0}, {70, 40, 6, 31, 63, 31},
  };
  for (const auto& row : rows) {
    const uint8_t* p = pano_sampler_fetch(&pano, row.column, row.row);
    const uint8_t* f = pano_sampler_fetch(&face, row.column, row.row);
    ASSERT_TRUE(p && f);
    EXPECT_EQ(p[0], row.pano_column) << row.column << "," << row.row;
    EXPECT_EQ(p[1], row.pano_row) << row.column << "," << row.row;
    EXPECT_EQ(f[0], row.face_column) << row.column << "," << row.row;
    EXPECT_EQ(f[1], row.face_row) << row.column << "," << row.row;
  }
  // A bilinear sample half a pixel into the left edge: the panorama blends in the last column,
  // the face repeats its first.
  uint8_t pano_rgb[3], face_rgb[3];
  const SamplePosition edge = {-128, 10 * 256};
  pano_sample(&pano, edge, false, pano_rgb);
  pano_sample(&face, edge, false, face_rgb);
  EXPECT_EQ(pano_rgb[2], (63 + 0) / 2);
  EXPECT_EQ(face_rgb[2], 0);
  EXPECT_EQ(face_rgb[1], 10);
}

// Runs of samples (each loop the processor can run: portable, two or four pixels at a time) give
// the bytes of single samples everywhere: inside tiles, across tile edges and the seam, on a face's
// clamped border, in the black rows outside a partial panorama and around a tile that cannot be
// locked. The source is noise, so any
// difference in the arithmetic shows.
TEST(RenderCore, SampleRunsMatchSingleSamples) {
  qvmem_init(nullptr, 0);
  // A full sphere, then a partial panorama whose last column of tiles is narrower.
  for (const auto& [width, height] : {std::pair<int32_t, int32_t>{64, 32}, {60, 24}}) {
    TiledImagePtr image = create_tiled_image(16, kElementBgra8, width, height);
    TileViewPtr view = create_tile_view(image.get());
    uint32_t noise = 12345;
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        uint8_t* pixel = tile_view_pixel(view.get(), x, y);
        for (int c = 0; c < 4; ++c)
          pixel[c] = static_cast<uint8_t>((noise = noise * 1103515245u + 12345u) >> 23);
      }
    }
    // One tile is held by another view, so the samples that need it are black either way.
    view = create_tile_view(image.get());
    TileViewPtr holder = create_tile_view(image.get());
    ASSERT_NE(nullptr, tile_view_pixel(holder.get(), 20, 20));
    std::vector<SamplePosition> positions;
    for (int32_t i = 0; i < 997; ++i) {  // an odd count leaves one single sample at the end
      noise = noise * 1103515245u + 12345u;
      const int32_t x = static_cast<int32_t>(noise >> 8) % ((width + 8) * 256) - 4 * 256;
      noise = noise * 1103515245u + 12345u;
      const int32_t y = static_cast<int32_t>(noise >> 8) % (40 * 256) - 4 * 256;
      positions.push_back({x, y});
    }
    PanoSampler samplers[2] = {make_pano_sampler(image.get(), view.get()),
                               make_face_sampler(image.get(), view.get())};
    for (PanoSampler& sampler : samplers) {
      for (const bool bicubic : {true, false}) {
        for (const SampleRun8bitFn loop : sample_run_8bit_loops()) {
          std::vector<uint8_t> run(3 * positions.size());
          loop(&sampler, positions.data(), static_cast<int32_t>(positions.size()), bicubic,
               run.data());
          for (size_t i = 0; i < positions.size(); ++i) {
            uint8_t single[3];
            pano_sample(&sampler, positions[i], bicubic, single);
            ASSERT_EQ(0, memcmp(single, &run[3 * i], 3))
                << "height " << height << (sampler.wrap_columns ? " panorama" : " face")
                << (bicubic ? " bicubic" : " bilinear") << " loop " << loop << " at "
                << positions[i].x << "," << positions[i].y;
          }
        }
      }
    }
  }
}

// A renderer whose rows are flat: every value is 100; it notes the rows asked for.
struct FlatRows {
  int32_t width = 0;
  std::vector<int32_t> asked;
};

void render_flat(void* state, int32_t row, uint8_t* out) {
  FlatRows* flat = static_cast<FlatRows*>(state);
  flat->asked.push_back(row);
  for (int32_t i = 0; i < 3 * flat->width; ++i) out[i] = 100;
}

std::vector<std::pair<int64_t, int64_t>>* g_progress = nullptr;

void record_progress(void*, int64_t done, int64_t total) {
  g_progress->emplace_back(done, total);
}

TEST(RenderCore, RowsComeDirectOrThroughTheResizerWithTheirProgress) {
  const struct {
    int32_t render_size;  // square rendering of 10 × 10 output pixels
    bool reduce;
    int64_t first_done;  // progress of the first row written
  } rows[] = {{10, false, 0}, {10, true, 1}, {40, false, 1}};
  for (const auto& row : rows) {
    qv_test::TempDir dir;
    FlatRows flat;
    flat.width = row.render_size;
    RenderedRows rendered;
    ASSERT_TRUE(init_rendered_rows(&rendered, render_flat, &flat, kPixelRgb8, row.render_size,
                                   row.render_size, 10, 10, row.reduce));
    EXPECT_EQ(rendered.resizer != nullptr, row.render_size != 10 || row.reduce);
    RenderOutput output;
    RenderWriterSettings settings;
    settings.options = qv_test::default_props();
    ASSERT_TRUE(open_render_output(&output, dir.file("out.kro"), kPixelRgb8, 10, 10, settings));
    std::vector<std::pair<int64_t, int64_t>> progress;
    g_progress = &progress;
    ASSERT_TRUE(write_rendered_rows(&rendered, &output, 10, 10, record_progress, nullptr));
    ASSERT_TRUE(finish_render_output(&output, true));
    ASSERT_EQ(progress.size(), 10u);
    EXPECT_EQ(progress.front(), std::make_pair(row.first_done, int64_t{10}));
    EXPECT_EQ(progress.back(), std::make_pair(row.first_done + 9, int64_t{10}));
    // Every rendering row once, top to bottom.
    std::vector<int32_t> expected(static_cast<size_t>(row.render_size));
    for (int32_t i = 0; i < row.render_size; ++i) expected[i] = i;
    EXPECT_EQ(flat.asked, expected) << row.render_size;
    const qv_test::Pixels written = qv_test::read_pixels(dir.file("out.kro"));
    ASSERT_TRUE(written.ok);
    EXPECT_EQ(written.bytes, std::vector<uint8_t>(10 * 10 * 3, 100));
    // The stream is spent; rewound, it gives the image again.
    EXPECT_EQ(next_rendered_row(&rendered), nullptr);
    rewind_rendered_rows(&rendered);
    EXPECT_NE(next_rendered_row(&rendered), nullptr);
  }
}

// Rows whose bytes tell their index.
void render_numbered(void*, int32_t row, uint8_t* out) {
  for (int32_t i = 0; i < 3 * 300; ++i) out[i] = static_cast<uint8_t>(row * 7 + i);
}

bool numbered_row(const uint8_t* row, int32_t index) {
  for (int32_t i = 0; i < 3 * 300; ++i) {
    if (row[i] != static_cast<uint8_t>(index * 7 + i)) return false;
  }
  return true;
}

// Rendered in bands on a pool, the next band already on its way while the caller takes one,
// the rows are those rendered alone, also after a rewind half-way; a stream left early lets go
// of its band ahead, so the pool is free for the next job.
TEST(RenderCore, BandsRenderedAheadGiveTheRowsInOrder) {
  WorkerPoolPtr pool = create_worker_pool(2);
  ASSERT_TRUE(pool);
  int dummy = 0;
  RenderedRows rows;
  ASSERT_TRUE(init_rendered_rows(&rows, render_numbered, &dummy, kPixelRgb8, 300, 1000, 300, 1000,
                                 false));
  spread_rendered_rows(&rows, pool.get(), std::vector<void*>(pool_workers(pool.get()), &dummy));
  ASSERT_LT(rows.band_rows, 400);  // several bands
  for (int32_t taken : {300, 1000, 10}) {
    rewind_rendered_rows(&rows);
    for (int32_t y = 0; y < taken; ++y) {
      const uint8_t* row = next_rendered_row(&rows);
      ASSERT_NE(row, nullptr);
      ASSERT_TRUE(numbered_row(row, y)) << y;
    }
  }
  EXPECT_TRUE(rows.next_pending);
  settle_rendered_rows(&rows);
  EXPECT_FALSE(rows.next_pending);
  std::vector<int> done(8, 0);
  parallel_for_each(pool.get(), 8, [&](int64_t unit, int32_t) { done[unit] = 1; });
  EXPECT_EQ(done, std::vector<int>(8, 1));
  // Rows taken on after that are still right.
  EXPECT_TRUE(numbered_row(next_rendered_row(&rows), 10));
}

TEST(RenderCore, OutputAppearsUnderItsNameOnlyWhenComplete) {
  qv_test::TempDir dir;
  RenderWriterSettings settings;
  settings.options = qv_test::default_props();
  RenderOutput output;
  ASSERT_TRUE(open_render_output(&output, dir.file("face.kro"), kPixelRgb16, 3, 2, settings));
  const std::vector<std::string> partial = qv_test::list_files(dir.path);
  ASSERT_EQ(partial.size(), 1u);
  EXPECT_TRUE(is_partial_name(partial[0])) << partial[0];
  EXPECT_EQ(partial[0].compare(0, 10, ".face.kro."), 0) << partial[0];
  std::vector<uint16_t> row = {1, 2, 3, 4, 5, 6, 7, 8, 65535};
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(write_render_row(&output, row.data(), 3));
  ASSERT_TRUE(finish_render_output(&output, true));
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"face.kro"});
  const qv_test::Pixels written = qv_test::read_pixels(dir.file("face.kro"));
  EXPECT_EQ(written.format, kPixelRgb16);
  EXPECT_EQ(written.width, 3);
  EXPECT_EQ(written.height, 2);

  // An unfinished file goes, and an unknown kind is never created.
  RenderOutput failed;
  ASSERT_TRUE(open_render_output(&failed, dir.file("half.kro"), kPixelRgb8, 3, 2, settings));
  EXPECT_FALSE(finish_render_output(&failed, false));
  RenderOutput unknown;
  EXPECT_FALSE(open_render_output(&unknown, dir.file("face.unknown"), kPixelRgb8, 3, 2, settings));
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"face.kro"});
}

TEST(EngineMessages, LinesGoToTheirCallbacksAndNowhereWithoutAConsole) {
  qv_test::CapturedConsole console;
  engine_log(&console, "inputimage:  %s - %dx%d - ", "a.tif", 4, 2);
  engine_error(&console, "ERROR: unable to create file %s\n", "b.jpg");
  engine_error(&console, "\nERROR: couldn't parse embedded color profile\n");
  EXPECT_EQ(console.text,
            "inputimage:  a.tif - 4x2 - ERROR: unable to create file b.jpg\n"
            "\nERROR: couldn't parse embedded color profile\n");
  EXPECT_EQ(console.errors,
            "ERROR: unable to create file b.jpg\n\nERROR: couldn't parse embedded color profile\n");

  image_set_last_error("not a JPEG file");
  engine_report_open_failure(&console, "c.jpg");
  EXPECT_TRUE(image_last_error().empty());
  EXPECT_EQ(console.errors.substr(console.errors.find("ERROR: unable to open")),
            "ERROR: unable to open inputimage c.jpg\n       - not a JPEG file!\n");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  engine_log(nullptr, "%s", "nothing");
  engine_error(nullptr, "ERROR: %s\n", "nothing");
  image_set_last_error("kept quiet");
  engine_report_open_failure(nullptr, "d.jpg");
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(image_last_error().empty());
}

TEST(EngineMessages, PixelFormatNames) {
  const std::pair<PixelFormat, const char*> rows[] = {
      {kPixelGray8, "Grayscale"}, {kPixelRgb8, "RGB"},          {kPixelRgba8, "RGBA"},
      {kPixelRgb16, "RGB 16bit"}, {kPixelRgba16, "RGBA 16bit"},
  };
  for (const auto& row : rows) EXPECT_STREQ(pixel_format_display_name(row.first), row.second);
  EXPECT_EQ(pixel_format_display_name(kPixelUnsupported), nullptr);
}

}  // namespace
