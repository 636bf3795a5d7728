// The cube to sphere renderer on small in-memory faces: which face and face position each
// output pixel samples, the seam and pole rows, the oversampling plan, 16-bit faces and the
// writer's failure path.
#include "render/cube_to_sphere.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/console.h"
#include "imageio/image_file.h"
#include "memory/qvmem.h"
#include "memory/tiled_image.h"
#include "support/captured_console.h"
#include "support/test_support.h"

namespace {

constexpr int32_t kFaceSize = 64;

// Six faces whose pixels say where they are: red = 40 × face, green = 4 × row, blue = 4 × column
// (8-bit BGRA), or the same × 257 in 16-bit RGBA.
struct TestCube {
  TiledImagePtr faces[6];
  std::vector<TileViewPtr> views;
  CubeSource source;
};

void fill_face(TiledImage* image, int32_t face, bool sixteen) {
  TileViewPtr view = create_tile_view(image);
  for (int32_t y = 0; y < image->height; ++y) {
    for (int32_t x = 0; x < image->width; ++x) {
      uint8_t* pixel = tile_view_pixel(view.get(), x, y);
      ASSERT_NE(pixel, nullptr);
      const int32_t red = 40 * face;
      const int32_t green = 4 * y;
      const int32_t blue = 4 * x;
      if (sixteen) {
        const uint16_t rgba[4] = {static_cast<uint16_t>(red * 257),
                                  static_cast<uint16_t>(green * 257),
                                  static_cast<uint16_t>(blue * 257), 65535};
        std::memcpy(pixel, rgba, sizeof(rgba));
      } else {
        pixel[0] = static_cast<uint8_t>(blue);
        pixel[1] = static_cast<uint8_t>(green);
        pixel[2] = static_cast<uint8_t>(red);
        pixel[3] = 255;
      }
    }
  }
}

void make_cube(TestCube* cube, bool sixteen) {
  qvmem_init(nullptr, 0);
  for (int32_t f = 0; f < 6; ++f) {
    cube->faces[f] =
        create_tiled_image(32, sixteen ? kElementRgba16 : kElementBgra8, kFaceSize, kFaceSize);
    ASSERT_TRUE(cube->faces[f]);
    fill_face(cube->faces[f].get(), f, sixteen);
    cube->views.push_back(create_tile_view(cube->faces[f].get()));
    cube->source.faces[f] = cube->faces[f].get();
    cube->source.views[f] = cube->views.back().get();
  }
  cube->source.sixteen_bit = sixteen;
}

struct Rgb {
  int r;
  int g;
  int b;
};

Rgb rendered_pixel(const std::vector<uint8_t>& row, int32_t column, bool sixteen) {
  if (sixteen) {
    uint16_t rgb[3];
    std::memcpy(rgb, row.data() + column * 6, sizeof(rgb));
    return {rgb[0] / 257, rgb[1] / 257, rgb[2] / 257};
  }
  return {row[column * 3], row[column * 3 + 1], row[column * 3 + 2]};
}

std::vector<uint8_t> render_row(SphereRendering* rendering, int32_t row, bool sixteen) {
  std::vector<uint8_t> out(static_cast<size_t>(rendering->width) * (sixteen ? 6 : 3));
  render_sphere_row(rendering, row, out.data());
  return out;
}

// The face centre reads as 4 × 31.5 = 126 in green and blue (between pixels 31 and 32).
void expect_face_centre(const Rgb& pixel, int32_t face) {
  EXPECT_EQ(pixel.r, 40 * face);
  EXPECT_NEAR(pixel.g, 126, 2);
  EXPECT_NEAR(pixel.b, 126, 2);
}

TEST(CubeToSphere, PolesSeamAndCentreSampleTheRightFacePositions) {
  for (const bool sixteen : {false, true}) {
    for (const bool fast : {false, true}) {
      SCOPED_TRACE(std::string(sixteen ? "16-bit" : "8-bit") + (fast ? " bilinear" : " bicubic"));
      TestCube cube;
      make_cube(&cube, sixteen);
      SphereRendering rendering;
      init_sphere_rendering(&rendering, &cube.source, 201, 101, fast);
      // Row 0 looks straight up, the last row straight down, at every column.
      const std::vector<uint8_t> top = render_row(&rendering, 0, sixteen);
      const std::vector<uint8_t> bottom = render_row(&rendering, 100, sixteen);
      for (int32_t c = 0; c < 201; c += 25) {
        expect_face_centre(rendered_pixel(top, c, sixteen), 4);
        expect_face_centre(rendered_pixel(bottom, c, sixteen), 5);
      }
      // The centre of an odd-sized output is the front face centre; the quarter columns are
      // the left and right face centres, the first and last columns the back face centre.
      const std::vector<uint8_t> middle = render_row(&rendering, 50, sixteen);
      expect_face_centre(rendered_pixel(middle, 100, sixteen), 1);
      expect_face_centre(rendered_pixel(middle, 50, sixteen), 0);
      expect_face_centre(rendered_pixel(middle, 150, sixteen), 2);
      expect_face_centre(rendered_pixel(middle, 0, sixteen), 3);
      expect_face_centre(rendered_pixel(middle, 200, sixteen), 3);
    }
  }
}

TEST(CubeToSphere, FourColumnsPutTheSeamOnBothEdges) {
  TestCube cube;
  make_cube(&cube, false);
  SphereRendering rendering;
  init_sphere_rendering(&rendering, &cube.source, 4, 9, false);
  // Columns at -180°, -60°, 60° and 180°: the first and last show the same back direction.
  for (int32_t row = 0; row < 9; ++row) {
    const std::vector<uint8_t> out = render_row(&rendering, row, false);
    EXPECT_EQ(std::memcmp(out.data(), out.data() + 9, 3), 0) << "row " << row;
  }
  const std::vector<uint8_t> equator = render_row(&rendering, 4, false);
  EXPECT_EQ(rendered_pixel(equator, 0, false).r, 40 * 3);
  // -60° lies on the left face, 60° on the right face.
  EXPECT_EQ(rendered_pixel(equator, 1, false).r, 40 * 0);
  EXPECT_EQ(rendered_pixel(equator, 2, false).r, 40 * 2);
}

TEST(CubeToSphere, OversamplingPlan) {
  struct Case {
    int32_t width;
    int32_t height;
    bool no_oversampling;
    float factor;
    bool oversample;
    int32_t render_width;
    int32_t render_height;
  };
  // Faces of 1000 pixels: the natural size is 3142 × 1571.
  const Case cases[] = {
      {3142, 1571, false, 0.0f, false, 3142, 1571},  // natural size: direct
      {2000, 1000, false, 0.0f, true, 3142, 1571},   // k = 1.571
      {2000, 1000, true, 0.0f, false, 2000, 1000},   // -fast: never automatically
      {4000, 2000, false, 0.0f, false, 4000, 2000},  // larger than natural: direct
      {500, 250, false, 8.0f, true, 2000, 1000},     // k = 6.284 × 8 limited to 4
      {3142, 1571, true, 2.0f, true, 6284, 3142},    // a factor applies even with -fast
  };
  for (const Case& c : cases) {
    SphereJob job;
    job.width = c.width;
    job.height = c.height;
    job.natural_width = 3142;
    job.no_oversampling = c.no_oversampling;
    job.oversample = c.factor;
    const SpherePlan plan = plan_sphere_rendering(job);
    EXPECT_EQ(plan.oversample, c.oversample) << c.width;
    EXPECT_EQ(plan.render_width, c.render_width) << c.width;
    EXPECT_EQ(plan.render_height, c.render_height) << c.width;
    EXPECT_LE(plan.factor, 4.0);
  }
}

TEST(CubeToSphere, RendersTheFileAndLeavesNothingWhenItCannot) {
  qv_test::TempDir dir;
  TestCube cube;
  make_cube(&cube, false);
  qv_test::CapturedConsole console;
  SphereJob job;
  job.width = 120;
  job.height = 60;
  job.natural_width = 2 * 101;  // oversampled: rendered at 202 × 101 and reduced
  image_default_props(&job.writer_options);
  job.writer_options.tiff_compression = 1;
  job.output_name = dir.file("sphere.tif");
  job.console = &console;
  ASSERT_TRUE(render_sphere(job, &cube.source));
  ImageProps props;
  ImageFilePtr file = image_open_read(job.output_name, &props);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->width, 120);
  EXPECT_EQ(file->height, 60);
  EXPECT_EQ(file->format, kPixelRgb8);
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  for (int32_t r = 0; r <= 30; ++r) ASSERT_TRUE(image_read_row(file.get(), row.data()));
  // The reduced middle row still shows the front face around the centre.
  EXPECT_NEAR(row[60 * 3], 40, 6);
  file.reset();
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"sphere.tif"});

  job.output_name = dir.file("missing/sphere.tif");
  EXPECT_FALSE(render_sphere(job, &cube.source));
  // Formatted, then handed to the error callback, which ends the line once more.
  EXPECT_EQ(console.errors, "error creating file \"" + job.output_name +
                                "\"!\n       - no such file or directory!\n\n\n");
  EXPECT_FALSE(qv_test::file_exists(job.output_name));
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"sphere.tif"});
}

}  // namespace
