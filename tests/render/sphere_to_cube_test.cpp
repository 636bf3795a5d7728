// Sphere-to-cube rendering: sampler fetch rules, the fixed-point interpolation against the
// integer formulas, the oversampling decision, face geometry to the pixel on a panorama whose
// pixels encode their own position, seamless faces on a smooth panorama, partial panoramas and
// the strip layouts with the face-order guess.
#include "render/sphere_to_cube.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "base/console.h"
#include "imageio/image_file.h"
#include "render/cube_layout.h"
#include "render/exact_positions.h"
#include "render/view_render.h"
#include "support/captured_console.h"
#include "support/test_support.h"

namespace {

using PixelFn = std::function<void(int32_t column, int32_t row, uint16_t* rgba)>;

// A tiled image of 128-pixel tiles filled by fn (8-bit values for type 6, 16-bit for type 7).
TiledImagePtr make_image(int32_t type, int32_t width, int32_t height, const PixelFn& fn) {
  TiledImagePtr image = create_tiled_image(128, type, width, height);
  for (Tile& tile : image->tiles) {
    uint8_t* pixels = static_cast<uint8_t*>(qvmem_lock(tile.block));
    for (int32_t y = 0; y < tile.height; ++y) {
      for (int32_t x = 0; x < tile.width; ++x) {
        uint16_t rgba[4] = {0, 0, 0, 0};
        fn(tile.column * 128 + x, tile.row * 128 + y, rgba);
        uint8_t* p = pixels + (static_cast<size_t>(y) * tile.width + x) * image->element_size;
        if (type == kElementBgra8) {
          p[0] = static_cast<uint8_t>(rgba[2]);
          p[1] = static_cast<uint8_t>(rgba[1]);
          p[2] = static_cast<uint8_t>(rgba[0]);
          p[3] = static_cast<uint8_t>(rgba[3]);
        } else {
          std::memcpy(p, rgba, 8);
        }
      }
    }
    qvmem_unlock(tile.block);
  }
  return image;
}

// Source image, its view and sampler, and settings pointing at them.
struct Source {
  TiledImagePtr image;
  TileViewPtr view;
  PanoSampler sampler;
  RenderSettings settings;
  explicit Source(TiledImagePtr tiled) : image(std::move(tiled)) {
    view = create_tile_view(image.get());
    sampler = make_pano_sampler(image.get(), view.get());
    settings.sampler = &sampler;
  }
};

Direction normalized(Direction d) {
  const double length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
  return {d.x / length, d.y / length, d.z / length};
}

// Direction of a source pixel centre of a full sphere W × H, written independently of the
// library: longitude from the left edge at -180°, latitude from +90° at the top.
Direction source_pixel_direction(int32_t column, int32_t row, int32_t width, int32_t height) {
  const double longitude = (column + 0.5) / width * 2 * kPi - kPi;
  const double latitude = kPi / 2 - (row + 0.5) / height * kPi;
  return {std::cos(latitude) * std::sin(longitude), std::sin(latitude),
          -std::cos(latitude) * std::cos(longitude)};
}

// A smooth colour of a direction, continuous over the whole sphere (seam and poles included).
void smooth_colour(const Direction& d, uint16_t* rgba) {
  rgba[0] = static_cast<uint16_t>(std::lround(128 + 120 * d.x));
  rgba[1] = static_cast<uint16_t>(std::lround(128 + 120 * d.y));
  rgba[2] = static_cast<uint16_t>(std::lround(128 + 120 * d.z));
  rgba[3] = 255;
}

Source smooth_source(int32_t width, int32_t height) {
  return Source(make_image(kElementBgra8, width, height, [=](int32_t c, int32_t r, uint16_t* p) {
    smooth_colour(source_pixel_direction(c, r, width, height), p);
  }));
}

// Reads an 8-bit RGB image file back.
std::vector<uint8_t> read_rgb(const std::string& path, int32_t* width, int32_t* height) {
  ImageFilePtr file = image_open_read(path, nullptr);
  if (!file) return {};
  *width = file->width;
  *height = file->height;
  std::vector<uint8_t> pixels(static_cast<size_t>(file->bytes_per_row) * file->height);
  for (int32_t y = 0; y < file->height; ++y) {
    if (!image_read_row(file.get(), pixels.data() + static_cast<size_t>(y) * file->bytes_per_row))
      return {};
  }
  return pixels;
}

ImageProps kro_props() {
  ImageProps props;
  image_default_props(&props);
  return props;
}

// ---- reference formulas for the sampler test ----

int32_t ref_shift(int64_t value, int bits) {
  return static_cast<int32_t>(std::floor(static_cast<double>(value) / (1 << bits)));
}

int32_t ref_catmull_rom(int32_t p0, int32_t p1, int32_t p2, int32_t p3, int32_t f) {
  const int32_t a = ref_shift(static_cast<int64_t>(f) * (3 * (p1 - p2) + p3 - p0), 8);
  const int32_t b = ref_shift(static_cast<int64_t>(f) * (a + 2 * p0 + 4 * p2 - 5 * p1 - p3), 8);
  return p1 + ref_shift(static_cast<int64_t>(f) * (b + p2 - p0), 9);
}

// Channel (0 R, 1 G, 2 B) of source pixel (c, r) with the wrap, offset and clamp rules.
int32_t ref_value(const std::vector<uint16_t>& rgba, int32_t width, int32_t height, int32_t offset,
                  bool clamp, int32_t c, int32_t r, int channel) {
  if (c < 0) c += width;
  if (c >= width) c -= width;
  r -= offset;
  if (r < 0 || r >= height) {
    if (!clamp) return 0;
    r = r < 0 ? 0 : height - 1;
  }
  return rgba[(static_cast<size_t>(r) * width + c) * 4 + channel];
}

TEST(PanoSampler, WrapsColumnsClampsFullSphereRowsAndBlanksOutsidePartialOnes) {
  const auto fn = [](int32_t c, int32_t r, uint16_t* p) {
    p[0] = static_cast<uint16_t>(c);
    p[1] = static_cast<uint16_t>(r);
    p[2] = 7;
    p[3] = 9;
  };
  Source full(make_image(kElementRgba16, 400, 200, fn));
  const auto at = [](PanoSampler* s, int32_t c, int32_t r) {
    const uint16_t* p = reinterpret_cast<const uint16_t*>(pano_sampler_fetch(s, c, r));
    return std::make_pair(static_cast<int>(p[0]), static_cast<int>(p[1]));
  };
  EXPECT_EQ(at(&full.sampler, -1, 5), std::make_pair(399, 5));
  EXPECT_EQ(at(&full.sampler, 400, 5), std::make_pair(0, 5));
  EXPECT_EQ(at(&full.sampler, 3, -2), std::make_pair(3, 0));
  EXPECT_EQ(at(&full.sampler, 3, 250), std::make_pair(3, 199));

  Source partial(make_image(kElementRgba16, 400, 100, fn));  // extent 200, offset 50
  EXPECT_EQ(partial.sampler.extent, 200);
  EXPECT_EQ(partial.sampler.offset, 50);
  EXPECT_FALSE(partial.sampler.clamp);
  EXPECT_EQ(at(&partial.sampler, 10, 50), std::make_pair(10, 0));
  EXPECT_EQ(at(&partial.sampler, 10, 149), std::make_pair(10, 99));
  for (int32_t row : {49, 150, -3}) {
    const uint16_t* p =
        reinterpret_cast<const uint16_t*>(pano_sampler_fetch(&partial.sampler, 10, row));
    EXPECT_EQ(p[0] + p[1] + p[2] + p[3], 0) << row;
  }
}

// Bicubic and bilinear samples equal the per-channel integer formulas, also where the
// neighbourhood straddles tiles, the 360° seam and the top and bottom of full and partial
// panoramas, for 8-bit and 16-bit sources.
TEST(PanoSampler, InterpolationMatchesIntegerFormulas) {
  std::mt19937 random(42);
  for (int32_t type : {kElementBgra8, kElementRgba16}) {
    for (int32_t height : {150, 120}) {  // full sphere, partial
      const int32_t width = 300;
      const bool sixteen = type == kElementRgba16;
      std::vector<uint16_t> values(static_cast<size_t>(width) * height * 4);
      for (uint16_t& v : values) v = static_cast<uint16_t>(random() % (sixteen ? 65536 : 256));
      Source source(make_image(type, width, height, [&](int32_t c, int32_t r, uint16_t* p) {
        std::memcpy(p, &values[(static_cast<size_t>(r) * width + c) * 4], 8);
      }));
      const PanoSampler& s = source.sampler;
      std::uniform_int_distribution<int32_t> xs(-1 * 256, (width + 1) * 256);
      std::uniform_int_distribution<int32_t> ys(-1 * 256, (s.extent + 1) * 256);
      for (int i = 0; i < 4000; ++i) {
        SamplePosition position = {xs(random), ys(random)};
        if (i % 4 == 0) position.x = 127 * 256 + (i & 255);  // tile edge
        const int32_t x0 = position.x >> 8, y0 = position.y >> 8;
        const int32_t fx = position.x & 255, fy = position.y & 255;
        for (bool bicubic : {true, false}) {
          uint8_t out[6];
          pano_sample(&source.sampler, position, bicubic, out);
          for (int channel = 0; channel < 3; ++channel) {
            const auto value = [&](int32_t c, int32_t r) {
              const int32_t v = ref_value(values, width, height, s.offset, s.clamp, c, r, channel);
              return bicubic && !sixteen ? v * 257 : v;
            };
            int32_t expected;
            if (bicubic) {
              int32_t rows[4];
              for (int r = 0; r < 4; ++r) {
                rows[r] = ref_catmull_rom(value(x0 - 1, y0 - 1 + r), value(x0, y0 - 1 + r),
                                          value(x0 + 1, y0 - 1 + r), value(x0 + 2, y0 - 1 + r), fx);
              }
              expected = ref_catmull_rom(rows[0], rows[1], rows[2], rows[3], fy);
              if (!sixteen) expected = ref_shift(expected - ref_shift(expected, 8) + 128, 8);
              expected = std::max(0, std::min(expected, sixteen ? 65535 : 255));
            } else {
              const int32_t top =
                  value(x0, y0) + ref_shift(int64_t{fx} * (value(x0 + 1, y0) - value(x0, y0)), 8);
              const int32_t bottom =
                  value(x0, y0 + 1) +
                  ref_shift(int64_t{fx} * (value(x0 + 1, y0 + 1) - value(x0, y0 + 1)), 8);
              expected = top + ref_shift(int64_t{fy} * (bottom - top), 8);
            }
            int32_t actual = out[channel];
            if (sixteen) {
              uint16_t rgb[3];
              std::memcpy(rgb, out, 6);
              actual = rgb[channel];
            }
            ASSERT_EQ(actual, expected) << "type " << type << " height " << height << " bicubic "
                                        << bicubic << " at " << position.x << "," << position.y;
          }
        }
      }
    }
  }
}

// A flat 8-bit area keeps its exact value under bicubic sampling at every fraction: the way
// back from the 16-bit range must not raise values above 128 by one.
TEST(PanoSampler, FlatEightBitAreasKeepTheirValue) {
  for (int32_t value = 0; value < 256; value += 5) {
    Source source(make_image(kElementBgra8, 64, 32, [=](int32_t, int32_t, uint16_t* p) {
      p[0] = p[1] = p[2] = static_cast<uint16_t>(value);
      p[3] = 255;
    }));
    for (int32_t fraction : {0, 1, 77, 128, 255}) {
      for (bool bicubic : {true, false}) {
        uint8_t out[6] = {};
        pano_sample(&source.sampler, SamplePosition{10 * 256 + fraction, 8 * 256 + fraction},
                    bicubic, out);
        EXPECT_EQ(out[0], value) << "fraction " << fraction << " bicubic " << bicubic;
        EXPECT_EQ(out[2], value) << "fraction " << fraction << " bicubic " << bicubic;
      }
    }
  }
}

TEST(Oversampling, DecisionFollowsNaturalSizeFocalLengthAndFactor) {
  struct Case {
    int32_t source_width, width, height;
    double fov;
    bool fast, no_oversampling;
    float factor;
    bool oversample, switch_to_fast;
    int32_t render_width, render_height;
  };
  const Case cases[] = {
      {12000, 3820, 3820, 90, false, false, 0, false, false, 3820, 3820},   // natural size
      {12000, 1000, 1000, 90, false, false, 0, true, true, 3820, 3820},     // k = 3.82
      {8000, 500, 500, 90, false, false, 0, true, true, 2000, 2000},        // k limited to 4
      {8000, 2000, 2000, 90, false, false, 0, true, false, 2546, 2546},     // k = 1.27, bicubic
      {8000, 500, 500, 90, true, true, 0, false, false, 500, 500},          // -fast
      {8000, 3000, 3000, 90, false, false, 1.5f, true, false, 3819, 3819},  // factor above natural
      {8000, 800, 600, 30, false, false, 0, false, false, 800, 600},        // narrow view
      {8000, 800, 600, 120, false, false, 0, true, true, 3200, 2400},       // wide view
  };
  for (const Case& c : cases) {
    RenderSettings settings;
    settings.fast = c.fast;
    settings.no_oversampling = c.no_oversampling;
    settings.oversample = c.factor;
    const OversamplePlan plan =
        plan_oversampling(settings, c.source_width, c.width, c.height, c.fov);
    EXPECT_EQ(plan.oversample, c.oversample) << c.source_width << " " << c.width;
    EXPECT_EQ(plan.switch_to_fast, c.switch_to_fast) << c.source_width << " " << c.width;
    EXPECT_EQ(plan.render_width, c.render_width) << c.source_width << " " << c.width;
    EXPECT_EQ(plan.render_height, c.render_height) << c.source_width << " " << c.width;
  }
  EXPECT_EQ(natural_face_size(12000), 3820);
  EXPECT_EQ(natural_face_size(8000), 2546);
}

// Every face pixel lands on the source position of its own direction: the panorama's pixels
// carry their column and row (16-bit ramps that bicubic interpolation reproduces exactly), and
// the expected direction comes from the face square, independently of the camera model. Exactly
// computed pixels are within the fixed-point error (1/256 pixel of position, 1/32 pixel of
// ramp rounding); pixels interpolated along 16-pixel spans
// within the span error at the natural face size (larger near the poles of the up and down
// faces, whose middle quarter is always exact).
TEST(FaceGeometry, EveryFacePixelSamplesItsOwnDirection) {
  const int32_t width = 2048, height = 1024;  // natural face size 652
  Source source(make_image(kElementRgba16, width, height, [](int32_t c, int32_t r, uint16_t* p) {
    p[0] = static_cast<uint16_t>(32 * c);
    p[1] = static_cast<uint16_t>(64 * r);
    p[2] = 0;
    p[3] = 65535;
  }));
  for (int32_t size : {652, 653}) {
    for (int32_t face = 0; face < 6; ++face) {
      RenderContext context;
      init_render_context(&context, source.settings, size, size, face, nullptr, 0, 0, 0, 90);
      const int32_t middle = face >= 4 ? size / 4 : 0;
      const int32_t span_pixels = 16 * (((size - middle) / 2) / 16);
      double worst_exact = 0, worst_span = 0;
      int32_t checked = 0;
      std::vector<uint16_t> rendered(3 * static_cast<size_t>(size));
      for (int32_t row = 0; row < size; ++row) {
        context.render_row(&context, row, reinterpret_cast<uint8_t*>(rendered.data()));
        const uint16_t* out = rendered.data();
        for (int32_t column = 0; column < size; ++column) {
          const Direction d = cube_face_point(face, (column + 0.5) / size, (row + 0.5) / size);
          const double longitude = std::atan2(d.x, -d.z);
          const double latitude = std::atan2(d.y, std::sqrt(d.x * d.x + d.z * d.z));
          const double x = (longitude + kPi) / (2 * kPi) * width - 0.5;
          const double y = (0.5 - latitude / kPi) * height - 0.5;
          // Ramps hold only away from the seam (wrap) and the poles (clamp).
          if (x < 3 || x > width - 4 || y < 2 || y > height - 3) continue;
          // Displacement on the sphere in source pixels: a longitude error counts by the
          // cosine of the latitude (columns crowd together toward the poles).
          const double error = std::hypot((out[3 * column] / 32.0 - x) * std::cos(latitude),
                                          out[3 * column + 1] / 64.0 - y);
          const bool exact = column >= span_pixels && column < size - span_pixels;
          double& worst = exact ? worst_exact : worst_span;
          worst = std::max(worst, error);
          ++checked;
        }
      }
      EXPECT_GT(checked, size * size * 9 / 10) << face;
      EXPECT_LT(worst_exact, 0.05) << "face " << face << " size " << size;
      EXPECT_LT(worst_span, face >= 4 ? 0.3 : 0.1) << "face " << face << " size " << size;
    }
  }
}

// The first source row a face's remaining rows may read is never below one they do read (the
// kernel's row above included), for turned cameras, faces around a pole, cylinders and partial
// spheres; and for plain side faces it stays close, so that streaming gives memory back.
TEST(FaceGeometry, SourceReachNeverPassesARowStillRead) {
  struct Case {
    int32_t width, height;
    bool cylinder;
    double heading, vertical, roll;  // lookat; all 0: no extra rotation
  };
  const Case cases[] = {
      {1024, 512, false, 0, 0, 0},    {1024, 512, false, 35, 50, 20},
      {1024, 512, false, 0, 90, 0},   {1024, 512, false, 120, -70, 10},
      {1024, 512, false, 10, 3, 45},  {1024, 400, false, 0, 0, 0},
      {1024, 512, true, 0, 0, 0},     {1024, 512, true, 20, 30, 0},
  };
  const int32_t size = 96;
  for (const Case& c : cases) {
    Source source(make_image(kElementBgra8, c.width, c.height,
                             [](int32_t, int32_t, uint16_t* p) { p[3] = 255; }));
    source.settings.cylinder = c.cylinder;
    const bool turned = c.heading != 0 || c.vertical != 0 || c.roll != 0;
    const RotationMatrix extra = lookat_rotation(c.heading, c.vertical, c.roll);
    for (int32_t face = 0; face < 6; ++face) {
      RenderContext context;
      init_render_context(&context, source.settings, size, size, face, turned ? &extra : nullptr,
                          0, 0, 0, 90);
      SourceReach reach;
      init_source_reach(&reach, context);
      // The highest row each rendering row reads, then the highest from each row down.
      std::vector<int32_t> first(size + 1, INT32_MAX);
      for (int32_t row = size - 1; row >= 0; --row) {
        int32_t highest = first[row + 1];
        for (int32_t column = 0; column < size; ++column) {
          const TextureCoord t = render_pixel_texture(context, column, row);
          const double y = t.v * source.sampler.extent - 0.5 - source.sampler.offset;
          highest = std::min(highest, static_cast<int32_t>(std::floor(y)) - 1);
        }
        first[row] = highest;
      }
      for (int32_t row = 0; row < size; ++row) {
        const int32_t bound = first_source_row_from(reach, context, row);
        const std::string where = std::to_string(c.heading) + "," + std::to_string(c.vertical) +
                                  (c.cylinder ? " cylinder" : "") + " face " +
                                  std::to_string(face) + " row " + std::to_string(row);
        ASSERT_LE(bound, std::max(first[row], 0)) << where;
        if (!turned && !c.cylinder && face < 4 && c.height == 512) {
          EXPECT_GE(bound, first[row] - 24) << where;
        }
      }
      EXPECT_EQ(first_source_row_from(reach, context, size), INT32_MAX);
    }
  }
}

// With the cylinder flag the tangent of the latitude is linear over the height.
TEST(FaceGeometry, CylinderMapsTheTangentOfTheLatitude) {
  const int32_t width = 2048, height = 1024;
  Source source(make_image(kElementRgba16, width, height, [](int32_t c, int32_t r, uint16_t* p) {
    p[0] = static_cast<uint16_t>(32 * c);
    p[1] = static_cast<uint16_t>(64 * r);
    p[2] = 0;
    p[3] = 65535;
  }));
  source.settings.cylinder = true;
  const int32_t size = 400;
  RenderContext context;
  init_render_context(&context, source.settings, size, size, 1, nullptr, 0, 0, 0, 90);
  double worst = 0;
  std::vector<uint16_t> rendered(3 * static_cast<size_t>(size));
  for (int32_t row = 0; row < size; row += 7) {
    context.render_row(&context, row, reinterpret_cast<uint8_t*>(rendered.data()));
    const uint16_t* out = rendered.data();
    for (int32_t column = 192; column < 208; ++column) {  // the exactly computed middle
      const Direction d = cube_face_point(1, (column + 0.5) / size, (row + 0.5) / size);
      const double y = (0.5 - d.y / std::sqrt(d.x * d.x + d.z * d.z) / kPi) * height - 0.5;
      worst = std::max(worst, std::fabs(out[3 * column + 1] / 64.0 - y));
    }
  }
  EXPECT_LT(worst, 0.05);
}

// Faces rendered through the whole pipeline (oversampled, reduced, written and read back) match
// a colour that is continuous over the sphere everywhere, seam and poles included, so
// neighbouring faces meet without a seam.
// Rows of exact positions (four rays at a time where the processor can) equal the positions of
// one ray at a time, for faces and views of several sources, on the sphere and the cylinder,
// with pole rays, rays straight at the seams and rows that start and end off the group of four.
TEST(FaceGeometry, ExactRowsEqualOneRayAtATime) {
  struct Camera {
    int32_t width, height;
    double fov, heading, vertical_angle, roll;
  };
  const Camera cameras[] = {{37, 37, 90, 0, 0, 0},      {37, 37, 90, 90, 90, 0},
                            {36, 36, 90, 180, -90, 0},  {40, 40, 90, 270, 0, 0},
                            {61, 23, 120, 33.3, 12, 7}, {16, 48, 30, -45, -60, 180}};
  const int32_t sources[][2] = {{64, 32}, {8000, 4000}, {360, 100}, {4096, 2048}};
  for (const Camera& c : cameras) {
    const CameraFrame camera =
        make_camera(c.width, c.height, c.fov, c.heading, c.vertical_angle, c.roll, nullptr);
    for (const auto& source : sources) {
      const double width_256 = source[0] * 256.0;
      const double extent_256 = source[1] * 256.0;
      for (const bool cylinder : {false, true}) {
        for (int32_t row = 0; row < c.height; ++row) {
          const int32_t first = row % 3;
          const int32_t count = c.width - first - row % 2;
          std::vector<SamplePosition> positions(static_cast<size_t>(count));
          exact_row_positions(camera, cylinder, row, first, count, width_256, extent_256,
                              positions.data());
          for (int32_t i = 0; i < count; ++i) {
            const SamplePosition one =
                exact_position(camera, cylinder, first + i, row, width_256, extent_256);
            ASSERT_EQ(one.x, positions[i].x) << c.width << "x" << c.height << " heading "
                                             << c.heading << " at " << first + i << "," << row;
            ASSERT_EQ(one.y, positions[i].y) << c.width << "x" << c.height << " heading "
                                             << c.heading << " at " << first + i << "," << row;
          }
        }
      }
    }
  }
}

// Turned rows of the smooth preview (four columns at a time where the processor can) equal the
// positions of one column at a time, for quarter turns (where the poles and the axis fall on
// columns) and odd angles, even and odd widths.
TEST(FaceGeometry, TurnedRowsEqualOneColumnAtATime) {
  for (const double degrees : {90.0, -90.0, 37.5}) {
    const double c = std::cos(degrees * kDegreesToRadians);
    const double s = std::sin(degrees * kDegreesToRadians);
    const double m[3][3] = {{1, 0, 0}, {0, c, -s}, {0, s, c}};
    for (const int32_t width : {64, 71}) {
      const int32_t height = width / 2;
      std::vector<double> cosines(width), sines(width);
      for (int32_t x = 0; x < width; ++x) {
        const double longitude = (x + 0.5) / width * 2.0 * kPi - kPi;
        cosines[x] = std::cos(longitude);
        sines[x] = std::sin(longitude);
      }
      for (int32_t row = 0; row < height; ++row) {
        const double latitude = ((row + 0.5) / height - 0.5) * kPi;
        const TurnedRow turned = {
            cosines.data(),      sines.data(),        std::cos(latitude), std::sin(latitude), m,
            (width + 1) * 256.0, (height + 1) * 256.0};
        std::vector<int32_t> xs(width), ys(width);
        turned_row_positions(turned, width, xs.data(), ys.data());
        for (int32_t x = 0; x < width; ++x) {
          int32_t sx = 0, sy = 0;
          turned_position(turned, x, &sx, &sy);
          ASSERT_TRUE(sx == xs[x] && sy == ys[x])
              << degrees << " degrees, width " << width << " at " << x << "," << row;
        }
      }
    }
  }
}

// Spans filled side by side (four to a vector where the processor can) give the positions of one
// span at a time, for any number of spans, across the seam and with huge cylinder rows.
TEST(FaceGeometry, SpansSideBySideEqualOneSpanAtATime) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int32_t count = 1; count <= 9; ++count) {
    std::vector<TextureCoord> ends(static_cast<size_t>(count) + 1);
    for (TextureCoord& end : ends) end = {unit(random), unit(random)};
    ends[0].u = 0.98;  // the first span crosses the seam
    ends[1].u = 0.01;
    if (count > 2) ends[2].v = -3e9;  // a huge cylinder row
    std::vector<SamplePosition> positions(16 * static_cast<size_t>(count) + 5);
    span_positions(ends.data(), 5, count, 900 * 256.0, 450 * 256.0, positions.data());
    for (int32_t k = 0; k < count; ++k) {
      SpanSteps steps = span_steps(ends[k], ends[k + 1]);
      for (int32_t i = 0; i < 16; ++i) {
        const SamplePosition one = sample_position(steps.u, steps.v, 900 * 256.0, 450 * 256.0);
        const SamplePosition& got = positions[5 + 16 * k + i];
        ASSERT_TRUE(one.x == got.x && one.y == got.y)
            << count << " spans, span " << k << " pixel " << i;
        steps.u += steps.step_u;
        steps.v += steps.step_v;
      }
    }
  }
}

// A ray near the pole of a cylinder lies a huge way above or below the image: its fixed-point row
// keeps its side (top stays top) and stays inside the 32-bit range, as does not a number.
TEST(FaceGeometry, FarPositionsKeepTheirSideWithinTheFixedPointRange) {
  const struct {
    double v;
    int32_t row;
  } rows[] = {{0.5, 128 * 256 - 128},
              {-1e12, -(1 << 30) - 128},
              {1e12, (1 << 30) - 128},
              {-5000.0, -327680000 - 128},
              {std::nan(""), -(1 << 30) - 128}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.row, sample_position(0.25, row.v, 512 * 256.0, 256 * 256.0).y) << row.v;
  }
}

TEST(FaceGeometry, FacesOfASmoothPanoramaMeetWithoutSeams) {
  qv_test::TempDir dir;
  Source source = smooth_source(1024, 512);
  const int32_t size = 96;
  for (bool fast : {false, true}) {
    source.settings.fast = fast;
    source.settings.no_oversampling = fast;
    for (int32_t face = 0; face < 6; ++face) {
      const std::string name = dir.file("face" + std::to_string(face) + ".kro");
      ASSERT_TRUE(render_image(&source.settings, console_ops(), kro_props(), size, size, face,
                               nullptr, 0, 0, 0, 90, name));
      int32_t w = 0, h = 0;
      const std::vector<uint8_t> pixels = read_rgb(name, &w, &h);
      ASSERT_EQ(w, size);
      ASSERT_EQ(h, size);
      int worst = 0;
      for (int32_t row = 0; row < size; ++row) {
        for (int32_t column = 0; column < size; ++column) {
          uint16_t expected[4];
          smooth_colour(
              normalized(cube_face_point(face, (column + 0.5) / size, (row + 0.5) / size)),
              expected);
          for (int c = 0; c < 3; ++c) {
            worst = std::max(worst, std::abs(pixels[(row * size + column) * 3 + c] - expected[c]));
          }
        }
      }
      EXPECT_LE(worst, 3) << "face " << face << " fast " << fast;
    }
  }
}

TEST(FaceGeometry, OddUpFaceCentrePixelLooksAtTheZenith) {
  Source source = smooth_source(400, 200);
  RenderContext context;
  init_render_context(&context, source.settings, 101, 101, 4, nullptr, 0, 0, 0, 90);
  const TextureCoord centre = render_pixel_texture(context, 50, 50);
  EXPECT_DOUBLE_EQ(centre.u, 0.25);
  EXPECT_DOUBLE_EQ(centre.v, 0.0);
}

// A 400 × 100 band (±45°) seen from the up face: black except the corners, which reach below
// 45° of latitude; its alpha channel never shows in the colours.
TEST(FaceGeometry, PartialPanoramaLeavesTheUpFaceBlackAndIgnoresAlpha) {
  qv_test::TempDir dir;
  Source source(make_image(kElementBgra8, 400, 100, [](int32_t c, int32_t, uint16_t* p) {
    p[0] = p[1] = p[2] = 200;
    p[3] = static_cast<uint16_t>(c % 256);
  }));
  const std::string name = dir.file("up.kro");
  ASSERT_TRUE(render_image(&source.settings, console_ops(), kro_props(), 64, 64, 4, nullptr, 0, 0,
                           0, 90, name));
  int32_t w = 0, h = 0;
  const std::vector<uint8_t> pixels = read_rgb(name, &w, &h);
  ASSERT_EQ(pixels.size(), 64u * 64 * 3);
  EXPECT_EQ(pixels[(32 * 64 + 32) * 3], 0);
  EXPECT_EQ(pixels[(32 * 64 + 1) * 3], 0);  // edge middle: 45.4°, just inside the empty cap
  EXPECT_NEAR(pixels[0], 200, 3);  // corner: 35.3°, inside the band (LANCZOS may overshoot)
  EXPECT_NEAR(pixels[(63 * 64 + 63) * 3 + 2], 200, 3);
}

TEST(ViewRendering, DefaultSizeAndLookatTurnTheView) {
  EXPECT_EQ(default_view_size(8000, 4000).width, 2666);
  EXPECT_EQ(default_view_size(8000, 4000).height, 2000);
  qv_test::TempDir dir;
  Source source = smooth_source(1024, 512);
  const RotationMatrix right = lookat_rotation(90, 0, 0);
  const RotationMatrix up = lookat_rotation(0, -90, 0);
  struct Case {
    const RotationMatrix* extra;
    Direction centre;
  };
  const Case cases[] = {{nullptr, {0, 0, -1}}, {&right, {1, 0, 0}}, {&up, {0, 1, 0}}};
  for (const Case& c : cases) {
    const std::string name = dir.file("view.kro");
    ViewCamera camera;
    ASSERT_TRUE(
        render_view(&source.settings, console_ops(), kro_props(), {81, 61}, camera, c.extra, name));
    int32_t w = 0, h = 0;
    const std::vector<uint8_t> pixels = read_rgb(name, &w, &h);
    ASSERT_EQ(w, 81);
    ASSERT_EQ(h, 61);
    uint16_t expected[4];
    smooth_colour(c.centre, expected);
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(pixels[(30 * 81 + 40) * 3 + ch], expected[ch], 2);
  }
}

TEST(OutputFiles, UncreatableOutputIsReportedAndLeavesNothing) {
  qv_test::TempDir dir;
  Source source = smooth_source(400, 200);
  qv_test::CapturedConsole console;
  EXPECT_FALSE(render_image(&source.settings, &console, kro_props(), 16, 16, 1, nullptr, 0, 0, 0,
                            90, dir.file("missing/face.kro")));
  EXPECT_FALSE(render_image(&source.settings, &console, kro_props(), 16, 16, 1, nullptr, 0, 0, 0,
                            90, dir.file("face.unknown")));
  EXPECT_TRUE(qv_test::list_files(dir.path).empty());
  EXPECT_EQ(console.text, "error creating file \"" + dir.file("missing/face.kro") +
                              "\"!\n       - no such file or directory!\n\nerror creating file \"" +
                              dir.file("face.unknown") + "\"!\n\n");
  ASSERT_TRUE(render_image(&source.settings, &console, kro_props(), 16, 16, 1, nullptr, 0, 0, 0, 90,
                           dir.file("face.kro")));
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"face.kro"});
  // Without a console the failure is silent.
  testing::internal::CaptureStdout();
  EXPECT_FALSE(render_image(&source.settings, nullptr, kro_props(), 16, 16, 1, nullptr, 0, 0, 0, 90,
                            dir.file("missing/face.kro")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- layouts ----

// Renders the six faces of size n and returns them as RGB rows.
std::vector<std::vector<uint8_t>> render_faces(Source* source, int32_t n,
                                               const std::string& folder) {
  std::vector<std::vector<uint8_t>> faces;
  for (int32_t face = 0; face < 6; ++face) {
    const std::string name = folder + "/f" + std::to_string(face) + ".kro";
    EXPECT_TRUE(render_image(&source->settings, console_ops(), kro_props(), n, n, face, nullptr, 0,
                             0, 0, 90, name));
    int32_t w = 0, h = 0;
    faces.push_back(read_rgb(name, &w, &h));
  }
  return faces;
}

// Writes the faces into a columns × rows layout, cell p holding side sides[p].
bool write_layout(const std::string& path, const std::vector<std::vector<uint8_t>>& faces,
                  int32_t n, int32_t columns, int32_t rows, const int32_t* sides) {
  ImageFilePtr file = image_create_write(kPixelRgb8, path, columns * n, rows * n, kro_props());
  if (!file) return false;
  std::vector<uint8_t> row(static_cast<size_t>(columns) * n * 3);
  for (int32_t y = 0; y < rows * n; ++y) {
    for (int32_t c = 0; c < columns; ++c) {
      const int32_t cell = (y / n) * columns + c;
      const std::vector<uint8_t>& face = faces[sides[cell % 6]];
      std::memcpy(row.data() + c * n * 3, face.data() + (y % n) * n * 3, n * 3);
    }
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

TEST(CubeLayouts, RenderStripPlacesTheFacesInReadingOrder) {
  qv_test::TempDir dir;
  Source source = smooth_source(200, 100);  // natural size 64: no oversampling anywhere
  const int32_t n = 64;
  const auto faces = render_faces(&source, n, dir.path);
  struct Case {
    int32_t layout, columns, rows;
  };
  for (const Case& c : {Case{kLayoutHorizontalStrip, 6, 1}, Case{kLayoutVerticalStrip, 1, 6},
                        Case{kLayoutGrid3x2, 3, 2}, Case{kLayoutGrid2x3, 2, 3}}) {
    const std::string name = dir.file("strip.kro");
    ASSERT_TRUE(
        render_strip(c.layout, name, &source.settings, console_ops(), kro_props(), n, nullptr));
    int32_t w = 0, h = 0;
    const std::vector<uint8_t> strip = read_rgb(name, &w, &h);
    ASSERT_EQ(w, c.columns * n);
    ASSERT_EQ(h, c.rows * n);
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const int32_t side = (y / n) * c.columns + x / n;
        const uint8_t* expected = &faces[side][((y % n) * n + x % n) * 3];
        ASSERT_EQ(0, std::memcmp(&strip[(static_cast<size_t>(y) * w + x) * 3], expected, 3))
            << "layout " << c.layout << " at " << x << "," << y;
      }
    }
  }
}

// Below the natural size every face of a strip is rendered at the natural size and reduced.
TEST(CubeLayouts, OversampledStripMatchesTheSphere) {
  qv_test::TempDir dir;
  Source source = smooth_source(800, 400);  // natural size 255
  const int32_t n = 40;
  for (int32_t layout : {kLayoutGrid3x2, kLayoutVerticalStrip}) {
    const std::string name = dir.file("strip.kro");
    ASSERT_TRUE(
        render_strip(layout, name, &source.settings, console_ops(), kro_props(), n, nullptr));
    int32_t w = 0, h = 0;
    const std::vector<uint8_t> strip = read_rgb(name, &w, &h);
    const int32_t columns = w / n;
    ASSERT_EQ(static_cast<size_t>(w) * h * 3, strip.size());
    int worst = 0;
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const int32_t face = (y / n) * columns + x / n;
        uint16_t expected[4];
        smooth_colour(normalized(cube_face_point(face, (x % n + 0.5) / n, (y % n + 0.5) / n)),
                      expected);
        for (int c = 0; c < 3; ++c) {
          worst = std::max(worst,
                           std::abs(strip[(static_cast<size_t>(y) * w + x) * 3 + c] - expected[c]));
        }
      }
    }
    EXPECT_LE(worst, 2) << layout;
  }
  EXPECT_FALSE(source.settings.fast);  // strips never switch to bilinear sampling
}

TEST(CubeLayouts, StripOrderIsRecognisedFromMatchingEdges) {
  qv_test::TempDir dir;
  Source source = smooth_source(800, 400);
  const int32_t n = 32;
  const auto faces = render_faces(&source, n, dir.path);
  struct Case {
    int32_t order, columns, rows;
  };
  const Case cases[] = {{0, 6, 1}, {1, 6, 1}, {2, 6, 1}, {3, 6, 1},
                        {2, 1, 6}, {0, 3, 2}, {1, 2, 3}, {3, 12, 1}};
  for (const Case& c : cases) {
    const std::string name = dir.file("strip.kro");
    ASSERT_TRUE(write_layout(name, faces, n, c.columns, c.rows, strip_order_sides(c.order)));
    EXPECT_EQ(detect_strip_order(name), c.order) << c.columns << "x" << c.rows;
  }
  EXPECT_EQ(detect_strip_order(dir.file("none.kro")), 0);
  EXPECT_EQ(strip_face_size(6000, 1000), 1000);
  EXPECT_EQ(strip_face_size(3000, 2000), 1000);
  EXPECT_EQ(strip_face_size(2000, 3000), 1000);
  EXPECT_EQ(strip_face_size(12000, 1000), 1000);
  EXPECT_EQ(strip_face_size(5000, 1000), 0);
}

TEST(CubeLayouts, SideNamesAndRecognition) {
  struct Case {
    const char* path;
    int32_t side;
    const char* base;
  };
  const Case cases[] = {
      {"Pano_L.JPG", 0, "pano"},
      {"pano_left.tif", 0, "pano"},
      {"front.jpg", 1, ""},
      {"tour_b_01.jpg", 3, "tour"},
      {"image_left_f.jpg", 1, "image_left"},
      {"image_fl.jpg", -1, ""},
      {"TOP.tif", 4, ""},
      {"pano_t.tif", 4, "pano"},
      {"pano_bottom.tif", 5, "pano"},
      {"dir_r/some/pano-down.kro", 5, "pano"},
      {"C:\\tours\\x_d\\pano_u.psd", 4, "pano"},
      {"pano_right_.jpg", 2, "pano"},
      // Skybox names, after the rules above ("rt" is our left, "lf" our right).
      {"sky3_rt.jpg", 0, "sky3"},
      {"sky3_FT.jpg", 1, "sky3"},
      {"sky3_lf.jpg", 2, "sky3"},
      {"sky3_bk.jpg", 3, "sky3"},
      {"sky3_up.jpg", 4, "sky3"},  // the word "up" already
      {"sky3_dn.jpg", 5, "sky3"},
      {"desert_dn_2.png", 5, "desert"},
      {"negx.jpg", 0, ""},
      {"posz.jpg", 1, ""},
      {"Bridge_PosX.jpg", 2, "bridge"},
      {"negz.jpg", 3, ""},
      {"cube-posy.tif", 4, "cube"},
      {"cube-negy.tif", 5, "cube"},
      // Names that worked before keep their meaning.
      {"pano_l_ft.jpg", 0, "pano"},
      {"front_bk.jpg", 1, ""},
      {"back_dn.jpg", 3, ""},
      {"posx_f.jpg", 1, "posx"},
      // Not skybox names: a letter follows, or the word does not stand alone.
      {"sky_ftx.jpg", -1, ""},
      {"composx.jpg", -1, ""},
  };
  for (const Case& c : cases) {
    const CubeSideMatch match = detect_cube_side(c.path);
    EXPECT_EQ(match.side, c.side) << c.path;
    EXPECT_EQ(match.base, c.base) << c.path;
  }
  std::string names;
  for (int32_t side = 0; side < 6; ++side) {
    const CubeSideInfo& info = cube_side_info(side);
    names += std::string(info.suffix) + info.name + info.padding + info.letter + "|";
    EXPECT_EQ(std::strlen(info.name) + std::strlen(info.padding), 5u);
  }
  EXPECT_EQ(names, "_lleft l|_ffrontf|_rrightr|_bback b|_uup   u|_ddown d|");
}

// A set with a name only the skybox names recognise follows their convention: up turned three
// quarters clockwise, down one, "sky_up" (the word "up") included; other sets stay upright.
TEST(CubeLayouts, OrientationsOfNamedFaceSets) {
  struct Case {
    std::string faces[6];
    const char* turns;  // quarter turns per side, left … down
  };
  const Case cases[] = {
      {{"s_rt.jpg", "s_ft.jpg", "s_lf.jpg", "s_bk.jpg", "s_up.jpg", "s_dn.jpg"}, "000031"},
      {{"s_rt.jpg", "s_ft.jpg", "s_lf.jpg", "s_bk.jpg", "", ""}, "000000"},  // up, down by option
      {{"p_l.jpg", "p_f.jpg", "p_r.jpg", "p_b.jpg", "p_up.jpg", "p_dn.jpg"}, "000031"},
      {{"p_l.jpg", "p_f.jpg", "p_r.jpg", "p_b.jpg", "p_up.jpg", "p_d.jpg"}, "000000"},
      {{"negx.jpg", "posz.jpg", "posx.jpg", "negz.jpg", "posy.jpg", "negy.jpg"}, "000000"},
  };
  for (const Case& c : cases) {
    FaceOrientation orientations[6];
    named_face_orientations(c.faces, orientations);
    std::string turns;
    for (const FaceOrientation& o : orientations) {
      turns += static_cast<char>('0' + o.quarter_turns);
      EXPECT_FALSE(o.mirrored);
    }
    EXPECT_EQ(turns, c.turns) << c.faces[0] << " " << c.faces[4];
  }
}

TEST(CubeLayouts, OutputBaseOfTheLeftFace) {
  const struct {
    const char* left_face;
    const char* base;
  } cases[] = {
      {"dir/Pano_L.jpg", "dir/Pano"}, {"pano_left.tif", "pano"},
      {"pano-left.tif", "pano-"},     {"dir/Sky3_RT.jpg", "dir/Sky3"},
      {"cube_negx.jpg", "cube"},      {"negx.jpg", ""},
      {"sky_rt_2.jpg", "sky"},        {"pano_lf_l.jpg", "pano_lf"},  // "_l" cuts first
      {"face.jpg", "face"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cube_face_output_base(c.left_face), c.base) << c.left_face;
  }
}

}  // namespace
