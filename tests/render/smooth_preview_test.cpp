// The smooth preview renderer: loading and widening sources, the orientation of the cube
// conversions both ways, the rotation's identity, seam- and pole-free blur, gray, the stage
// plan and the written files.
#include "render/smooth_preview.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "support/captured_console.h"
#include "support/test_support.h"

namespace {

// What the renderer told its console and its callbacks.
struct Capture {
  qv_test::CapturedConsole console;
  std::vector<double> weights;
  std::vector<int> stages;
};

void capture_stages(void* user, int count, const double* weights) {
  Capture* capture = static_cast<Capture*>(user);
  capture->weights.assign(weights, weights + count);
}

void capture_stage(void* user, int number) {
  static_cast<Capture*>(user)->stages.push_back(number);
}

void init_job(PreviewJob* job, Capture* capture) {
  init_preview_job(job);
  job->user = capture;
  job->console = &capture->console;
  job->stages = capture_stages;
  job->stage = capture_stage;
}

// A job on a ready sphere of width × height RGBA pixels, written at out_width × out_height.
void init_sphere_job(PreviewJob* job, Capture* capture, const std::vector<uint8_t>& sphere,
                     int width, int height, int out_width, int out_height) {
  init_job(job, capture);
  job->sphere = sphere;
  job->sphere_width = width;
  job->sphere_height = height;
  job->out_width = out_width;
  job->out_height = out_height;
}

// An RGBA image from a function of (x, y) giving R, G, B.
template <typename Fn>
std::vector<uint8_t> make_image(int width, int height, Fn fn) {
  std::vector<uint8_t> image(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = image.data() + (static_cast<size_t>(y) * width + x) * 4;
      int rgb[3];
      fn(x, y, rgb);
      for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(rgb[c]);
      p[3] = 0;
    }
  }
  return image;
}

const uint8_t* pixel(const std::vector<uint8_t>& image, int width, int x, int y) {
  return image.data() + (static_cast<size_t>(y) * width + x) * 4;
}

// Writes rows of a format through the facade.
bool write_rows(const std::string& path, PixelFormat format, int width, int height,
                const std::vector<uint8_t>& bytes) {
  ImageProps props;
  image_default_props(&props);
  props.tiff_compression = 1;
  ImageFilePtr file = image_create_write(format, path, width, height, props);
  if (!file) return false;
  for (int y = 0; y < height; ++y) {
    std::vector<uint8_t> row(bytes.begin() + static_cast<size_t>(y) * file->bytes_per_row,
                             bytes.begin() + static_cast<size_t>(y + 1) * file->bytes_per_row);
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

struct Read {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

Read read_rgb(const std::string& path) {
  Read result;
  ImageFilePtr file = image_open_read(path, nullptr);
  if (!file || file->format != kPixelRgb8) return result;
  result.width = file->width;
  result.height = file->height;
  result.rgb.resize(static_cast<size_t>(file->bytes_per_row) * file->height);
  for (int y = 0; y < file->height; ++y) {
    if (!image_read_row(file.get(),
                        result.rgb.data() + static_cast<size_t>(y) * file->bytes_per_row))
      return Read();
  }
  return result;
}

TEST(SmoothPreview, LoaderWidensEveryFormatAndReportsFailures) {
  qv_test::TempDir dir;
  const int width = 40;
  const int height = 20;
  struct Case {
    PixelFormat format;
    int bytes;
  };
  for (const Case& c :
       {Case{kPixelGray8, 1}, Case{kPixelRgb8, 3}, Case{kPixelRgb16, 6}, Case{kPixelRgba16, 8}}) {
    SCOPED_TRACE(c.format);
    // A flat colour: the HANNING reduction must give it back exactly.
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * c.bytes);
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (c.format == kPixelGray8) bytes[i] = 90;
      if (c.format == kPixelRgb8) bytes[i] = static_cast<uint8_t>(60 + 30 * (i % 3));
      if (c.bytes >= 6)
        bytes[i] = (i % 2) ? static_cast<uint8_t>(60 + 30 * ((i / 2) % (c.bytes / 2))) : 0xFF;
    }
    const std::string path = dir.file("source.tif");
    ASSERT_TRUE(write_rows(path, c.format, width, height, bytes));
    PreviewJob job;
    Capture capture;
    init_job(&job, &capture);
    const std::vector<uint8_t> image = load_preview_source(10, &job, path, 5, true);
    ASSERT_EQ(image.size(), 10u * 5 * 4);
    const uint8_t* p = pixel(image, 10, 4, 2);
    if (c.format == kPixelGray8) {
      EXPECT_EQ(p[0], 90);
      EXPECT_EQ(p[1], 90);
      EXPECT_EQ(p[2], 90);
    } else {
      EXPECT_EQ(p[0], 60);
      EXPECT_EQ(p[1], 90);
      EXPECT_EQ(p[2], 120);
    }
    EXPECT_EQ(capture.console.text, "");
  }
  PreviewJob job;
  Capture capture;
  init_job(&job, &capture);
  EXPECT_TRUE(load_preview_source(10, &job, dir.file("none.jpg"), 5, true).empty());
  EXPECT_EQ(capture.console.text, "ERROR: unable to open inputimage " + dir.file("none.jpg") +
                                      "\n       - no such file or directory!\n");
  EXPECT_EQ(capture.console.errors, capture.console.text);
}

TEST(SmoothPreview, ConvertsToSrgbByDefault) {
  PreviewJob job;
  init_preview_job(&job);
  EXPECT_EQ(job.profile_mode, kProfileConvert);
}

TEST(SmoothPreview, CubeConversionsKeepTheOrientation) {
  // Faces of one colour each: the sphere shows each at its longitude and pole.
  PreviewJob job;
  Capture capture;
  init_job(&job, &capture);
  const int face_size = 32;
  for (int f = 0; f < 6; ++f) {
    job.faces[f] = make_image(face_size, face_size, [f](int, int, int* rgb) {
      rgb[0] = 40 * f;
      rgb[1] = 10;
      rgb[2] = 200 - 30 * f;
    });
  }
  job.face_size = face_size;
  const int width = 128;
  const int height = 64;
  const std::vector<uint8_t> sphere = cube_faces_to_sphere(&job, width, height);
  const int middle = height / 2;
  EXPECT_EQ(pixel(sphere, width, 32, middle)[0], 0);   // left at a quarter
  EXPECT_EQ(pixel(sphere, width, 64, middle)[0], 40);  // front in the middle
  EXPECT_EQ(pixel(sphere, width, 96, middle)[0], 80);  // right at three quarters
  EXPECT_EQ(pixel(sphere, width, 0, middle)[0], 120);  // back on the seam
  EXPECT_EQ(pixel(sphere, width, width - 1, middle)[0], 120);
  EXPECT_EQ(pixel(sphere, width, 50, 0)[0], 160);           // up at the top
  EXPECT_EQ(pixel(sphere, width, 50, height - 1)[0], 200);  // down at the bottom

  // A sphere coloured by longitude (red) and latitude (green) back to a strip.
  job.sphere = make_image(width, height, [&](int x, int y, int* rgb) {
    rgb[0] = x * 2;
    rgb[1] = y * 4;
    rgb[2] = 0;
  });
  job.sphere_width = width;
  job.sphere_height = height;
  const int size = 16;
  const std::vector<uint8_t> strip = sphere_to_cube_strip(&job, size);
  ASSERT_EQ(strip.size(), static_cast<size_t>(size) * 6 * size * 4);
  const auto centre = [&](int face) {
    return pixel(strip, size, size / 2, face * size + size / 2);
  };
  EXPECT_NEAR(centre(0)[0], 2 * width / 4, 4);      // left
  EXPECT_NEAR(centre(1)[0], 2 * width / 2, 4);      // front
  EXPECT_NEAR(centre(2)[0], 2 * 3 * width / 4, 4);  // right
  for (int face = 0; face < 4; ++face) EXPECT_NEAR(centre(face)[1], 4 * height / 2, 6);
  EXPECT_LT(centre(4)[1], 12);                // up: the top row
  EXPECT_GT(centre(5)[1], 4 * (height - 3));  // down: the bottom row
  // Up face: its lower edge towards the front, its right edge towards the right face.
  const uint8_t* up_bottom = pixel(strip, size, size / 2, 4 * size + size - 1);
  const uint8_t* up_right = pixel(strip, size, size - 1, 4 * size + size / 2);
  EXPECT_NEAR(up_bottom[0], 2 * width / 2, 6);
  EXPECT_NEAR(up_right[0], 2 * 3 * width / 4, 6);
  // Down face: its upper edge towards the front, its right edge towards the right face.
  const uint8_t* down_top = pixel(strip, size, size / 2, 5 * size);
  const uint8_t* down_right = pixel(strip, size, size - 1, 5 * size + size / 2);
  EXPECT_NEAR(down_top[0], 2 * width / 2, 6);
  EXPECT_NEAR(down_right[0], 2 * 3 * width / 4, 6);
}

TEST(SmoothPreview, RotationByZeroKeepsTheImage) {
  PreviewJob job;
  init_preview_job(&job);
  const int width = 200;
  const int height = 100;
  const std::vector<uint8_t> sphere = make_image(width, height, [](int x, int y, int* rgb) {
    rgb[0] = 128 + static_cast<int>(100 * std::sin(2 * M_PI * x / 200.0));
    rgb[1] = 20 + 2 * y;
    rgb[2] = 128;
  });
  const std::vector<uint8_t> same = rotate_sphere_image(sphere, width, height, 0.0, &job);
  int worst = 0;
  for (int y = 1; y < height - 1; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) {
        worst =
            std::max(worst, std::abs(pixel(same, width, x, y)[c] - pixel(sphere, width, x, y)[c]));
      }
    }
  }
  EXPECT_LE(worst, 4);
}

// A busy sphere: every neighbour differs, the seam columns differ strongly.
std::vector<uint8_t> busy_sphere(int width, int height) {
  return make_image(width, height, [](int x, int y, int* rgb) {
    rgb[0] = (x * 37 + y * 11) % 256;
    rgb[1] = (x * 5 + y * 53) % 256;
    rgb[2] = (x * x + y * 3) % 256;
  });
}

TEST(SmoothPreview, SmoothedPreviewHasNoSeamAndNoPinch) {
  qv_test::TempDir dir;
  PreviewJob job;
  Capture capture;
  const int width = 256;
  const int height = 128;
  init_sphere_job(&job, &capture, busy_sphere(width, height), width, height, width, height);
  job.out_path = dir.file("sub/preview.tif");
  job.tiff_compression = 1;
  plan_preview_progress(0, &job, false, 0, false);
  ASSERT_TRUE(render_preview(&job)) << capture.console.text;
  const Read read = read_rgb(job.out_path);
  ASSERT_EQ(read.width, width);
  ASSERT_EQ(read.height, height);
  const auto at = [&](int x, int y, int c) {
    return read.rgb[(static_cast<size_t>(y) * width + x) * 3 + c];
  };
  // The 360° edge: the first and last columns agree.
  int seam = 0;
  for (int y = 0; y < height; ++y)
    for (int c = 0; c < 3; ++c) seam = std::max(seam, std::abs(at(0, y, c) - at(width - 1, y, c)));
  EXPECT_LE(seam, 6);
  // The poles: the top and bottom rows are (nearly) one colour.
  for (const int y : {0, 1, height - 2, height - 1}) {
    int low = 255;
    int high = 0;
    for (int x = 0; x < width; ++x) {
      low = std::min<int>(low, at(x, y, 0));
      high = std::max<int>(high, at(x, y, 0));
    }
    EXPECT_LE(high - low, 8) << "row " << y;
  }
  // Stages: the plan selects stage 1, the renderer then advances once per step (ten steps).
  ASSERT_EQ(capture.weights.size(), 11u);
  EXPECT_EQ(capture.weights[0], 0.0);
  EXPECT_EQ(capture.weights[1], 0.0);  // the sphere was there already
  EXPECT_EQ(capture.weights[3], static_cast<double>(width) * height);
  EXPECT_EQ(capture.weights[10], 4.0 * width * height);
  EXPECT_EQ(capture.stages, (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SmoothPreview, NoBlurGrayAndCubeStrip) {
  qv_test::TempDir dir;
  const int width = 64;
  const int height = 32;
  const std::vector<uint8_t> source = busy_sphere(width, height);
  {
    // smooth 0 writes the sphere as it is.
    PreviewJob job;
    Capture capture;
    init_sphere_job(&job, &capture, source, width, height, width, height);
    job.smooth = 0;
    job.out_path = dir.file("plain.tif");
    ASSERT_TRUE(render_preview(&job));
    const Read read = read_rgb(job.out_path);
    ASSERT_EQ(read.width, width);
    for (int i = 0; i < width * height; ++i)
      for (int c = 0; c < 3; ++c) ASSERT_EQ(read.rgb[i * 3 + c], source[i * 4 + c]);
  }
  {
    // Gray: R = G = B everywhere; smooth 100 blurs through an 18 × 9 image.
    PreviewJob job;
    Capture capture;
    init_sphere_job(&job, &capture, source, width, height, width, height);
    job.smooth = 100;
    job.gray = true;
    job.out_path = dir.file("gray.tif");
    ASSERT_TRUE(render_preview(&job));
    const Read read = read_rgb(job.out_path);
    ASSERT_EQ(read.width, width);
    for (int i = 0; i < width * height; ++i) {
      ASSERT_EQ(read.rgb[i * 3], read.rgb[i * 3 + 1]);
      ASSERT_EQ(read.rgb[i * 3], read.rgb[i * 3 + 2]);
    }
  }
  {
    // A cube strip of face size 16: 16 × 96 pixels.
    PreviewJob job;
    Capture capture;
    init_sphere_job(&job, &capture, source, width, height, 16, 16);
    job.cubestrip = true;
    job.out_path = dir.file("strip.tif");
    ASSERT_TRUE(render_preview(&job));
    const Read read = read_rgb(job.out_path);
    EXPECT_EQ(read.width, 16);
    EXPECT_EQ(read.height, 96);
  }
  {
    // An output that cannot be created.
    PreviewJob job;
    Capture capture;
    init_sphere_job(&job, &capture, source, width, height, width, height);
    job.out_path = dir.file("plain.tif/inside.tif");
    EXPECT_FALSE(render_preview(&job));
    EXPECT_EQ(capture.console.text,
              "ERROR: unable to create file " + job.out_path + "\n       - not a directory!\n");
    EXPECT_EQ(capture.console.errors, capture.console.text);
  }
}

}  // namespace
