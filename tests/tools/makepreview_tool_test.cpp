// The makepreview tool through the built binary: usage, refused arguments, size rules, input
// rules, output naming, sizes of spherical and cube-strip previews, gray output, a smooth
// preview without seam or pole pinch, and large JPEG sources decoded reduced.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::image_size;
using qv_test::read_pixels;
using qv_test::run_qorveltools;
using qv_test::TempDir;
using qv_test::write_pattern;

const char kBanner[] = "\nqorvel makepreview tool 1.19-pr16 - 32bit (build 2018-04-04)\n";
const char* const kSides[6] = {"l", "f", "r", "b", "u", "d"};

std::string tail(const std::string& text, size_t size) {
  return text.size() < size ? text : text.substr(text.size() - size);
}

TEST(Makepreview, UsageWithoutArguments) {
  for (const char* word : {"makepreview", "qmakepreview"}) {
    CommandResult result = run_qorveltools({word});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind(std::string(kBanner) +
                                   "    - makes a smooth panorama preview image\n"
                                   "syntax: qorveltools makepreview inputfiles [outputfile] "
                                   "[options]\n",
                               0),
              0u)
        << result.out;
    const std::string last_line = " -q / -quiet     ... suppress output messages\n";
    EXPECT_EQ(tail(result.out, last_line.size()), last_line);
  }
}

TEST(Makepreview, RefusedArgumentsSizesAndInputs) {
  TempDir dir;
  const std::string pano = dir.file("pano.tif");
  ASSERT_TRUE(write_pattern(pano, kPixelRgb8, 200, 100));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(
        write_pattern(dir.file(std::string("cube_") + kSides[i] + ".tif"), kPixelRgb8, 50, 50));
  }
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // the whole standard output
  };
  const Case cases[] = {
      {{pano, "-q", "-smooth=101"}, "invalid or bad argument: -smooth=101\n"},
      {{pano, "-smooth=-1", "-q"}, "invalid or bad argument: -smooth=-1\n"},
      {{pano, "-q", "-jpegquality=200"}, "invalid or bad argument: -jpegquality=200\n"},
      {{pano, "-q", "-jpegsubsamp=400"}, "invalid or bad argument: -jpegsubsamp=400\n"},
      {{pano, "-q", "-tiffcompress=auto2"}, "invalid or bad argument: -tiffcompress=auto2\n"},
      {{pano, "-q", "-cs=1"}, "invalid or bad argument: -cs=1\n"},
      {{pano, "-q", "-o"}, "invalid or bad argument: -o\n"},
      {{pano, "-q", "-size"}, "invalid or bad argument: -size\n"},
      {{pano, "-q", "-blur"}, "invalid or bad argument: -blur\n"},
      {{pano, "-q", dir.file("other.tif")},
       "invalid or bad argument: " + dir.file("other.tif") + "\n"},
      {{pano, "-q", "-size=1000x400"}, "ERROR: invalid size of the preview image - 1000x400\n"},
      {{pano, "-q", "-size=1000"}, "ERROR: invalid size of the preview image - 1000x0\n"},
      {{pano, "-q", "-cs", "-size=300x200"},
       "ERROR: invalid size of the preview image - 300x200\n"},
      {{pano, "-q", "-size=0x0"}, "ERROR: invalid size of the preview image - 0x0\n"},
      {{pano, "-q", "-size=2000000x1000000"},
       "ERROR: not enough memory for a preview of 2000000x1000000 pixels\n"},
      {{"-q"}, "ERROR: no input images\n"},
      {{"-q", dir.file("cube_l.tif"), dir.file("cube_f.tif"), dir.file("cube_r.tif"),
        dir.file("cube_b.tif"), dir.file("cube_u.tif")},
       "ERROR: not all cube images found or detected\n"},
      {{"-q", dir.file("absent.jpg")},
       "ERROR: unable to open inputimage " + dir.file("absent.jpg") +
           "\n       - no such file or directory!\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"makepreview"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = run_qorveltools(args);
    EXPECT_EQ(result.status, 1) << c.expected;
    EXPECT_EQ(result.out, c.expected);
  }
  // Nothing was written by any refused run.
  EXPECT_EQ(qv_test::list_files(dir.path).size(), 6u);
}

TEST(Makepreview, SphereAndCubeInputsNamesAndSizes) {
  TempDir dir;
  const std::string pano = dir.file("pano.tif");
  ASSERT_TRUE(write_pattern(pano, kPixelRgb8, 400, 200));
  // Default size and name next to the input; progress and messages.
  CommandResult result = run_qorveltools({"makepreview", pano});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind(std::string(kBanner) + "loading...\n0%   \r", 0), 0u) << result.out;
  EXPECT_NE(result.out.find("100%   \rdone.\nmaking preview...\n"), std::string::npos);
  EXPECT_EQ(tail(result.out, 14), "100%   \rdone.\n");
  EXPECT_EQ(image_size(dir.file("pano_preview.jpg")), "1024x512");

  // A cube strip from the sphere; -smooth=0 is accepted; 16-bit RGBA input gives 8-bit RGB.
  const std::string deep = dir.file("deep.tif");
  ASSERT_TRUE(write_pattern(deep, kPixelRgba16, 400, 200));
  result = run_qorveltools({"makepreview", deep, "-cs", "-size=30x30", "-smooth=0", "-q",
                            "-o=" + dir.file("strip.tif")});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  qv_test::Pixels pixels = read_pixels(dir.file("strip.tif"));
  ASSERT_TRUE(pixels.ok);
  EXPECT_EQ(pixels.width, 30);
  EXPECT_EQ(pixels.height, 180);
  EXPECT_EQ(pixels.format, kPixelRgb8);

  // Six faces named with markers and words (up as _t) give a cube input named after the left
  // face; a single face name alone is a spherical input.
  const std::vector<std::string> names = {"tour_left.tif", "tour_f.tif", "tour_r.tif",
                                          "tour-back.tif", "tour_t.tif", "tour_bottom.tif"};
  std::vector<std::string> args = {"makepreview"};
  for (const std::string& name : names) {
    ASSERT_TRUE(write_pattern(dir.file(name), kPixelRgb8, 64, 64));
    args.push_back(dir.file(name));
  }
  args.push_back("-size=128x64");
  args.push_back("-q");
  result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(image_size(dir.file("tour_preview.jpg")), "128x64");

  ASSERT_TRUE(write_pattern(dir.file("single_l.tif"), kPixelRgb8, 200, 100));
  result = run_qorveltools({"makepreview", dir.file("single_l.tif"), "-q", "-size=64x32"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_TRUE(read_pixels(dir.file("single_l_preview.jpg")).ok);

  // An output that cannot be created: the renderer's message, no "done.".
  result = run_qorveltools({"makepreview", pano, "-size=64x32", "-o=" + pano + "/x.jpg"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("ERROR: unable to create file " + pano + "/x.jpg\n"), std::string::npos)
      << result.out;
  EXPECT_EQ(result.out.find("done.\n", result.out.find("making preview")), std::string::npos);
}

TEST(Makepreview, GrayPreviewWithoutSeamOrPinch) {
  TempDir dir;
  const std::string pano = dir.file("busy.tif");
  ASSERT_TRUE(write_pattern(pano, kPixelRgb8, 800, 400));
  CommandResult result = run_qorveltools(
      {"makepreview", pano, "-gray", "-size=256x128", "-q", "-o=" + dir.file("gray.tif")});
  ASSERT_EQ(result.status, 0) << result.out;
  const qv_test::Pixels pixels = read_pixels(dir.file("gray.tif"));
  ASSERT_TRUE(pixels.ok);
  ASSERT_EQ(pixels.width, 256);
  int seam = 0;
  for (int y = 0; y < pixels.height; ++y) {
    const uint8_t* first = pixels.at(0, y);
    const uint8_t* last = pixels.at(pixels.width - 1, y);
    EXPECT_EQ(first[0], first[1]);
    EXPECT_EQ(first[0], first[2]);
    seam = std::max(seam, std::abs(first[0] - last[0]));
  }
  EXPECT_LE(seam, 4);
  for (const int y : {0, pixels.height - 1}) {
    int low = 255;
    int high = 0;
    for (int x = 0; x < pixels.width; ++x) {
      low = std::min<int>(low, pixels.at(x, y)[0]);
      high = std::max<int>(high, pixels.at(x, y)[0]);
    }
    EXPECT_LE(high - low, 6) << "row " << y;
  }
}

// A JPEG source several times the preview size is decoded at 1/4 or 1/8 before the reduction:
// the preview stays close to the one made from the same pixels decoded in full (a TIFF copy),
// also without blur and with odd source sizes, where the last decoded row and column are partial.
TEST(Makepreview, LargeJpegSourcesDecodedReducedStayClose) {
  TempDir dir;
  const std::string jpeg = dir.file("large.jpg");
  // Continuous across the 360-degree seam, as a panorama is; steep towards the bottom.
  ASSERT_TRUE(qv_test::write_samples(jpeg, kPixelRgb8, 2050, 1027, qv_test::default_props(),
                                     [](int x, int y, int c) {
                                       const double turn = 2 * 3.14159265358979 * x / 2050;
                                       const double wave = 50 * std::sin((c + 3) * turn);
                                       const int stripe = (y / 96) % 2 * 40;
                                       return int(60 + wave + 100.0 * y / 1027) + stripe;
                                     }));
  const qv_test::Pixels decoded = read_pixels(jpeg);
  ASSERT_TRUE(decoded.ok);
  const std::string tiff = dir.file("large.tif");
  ASSERT_TRUE(qv_test::write_samples(tiff, kPixelRgb8, 2050, 1027, qv_test::default_props(),
                                     [&](int x, int y, int c) { return decoded.at(x, y)[c]; }));
  // Without blur the preview shows every row and column where it lands; placed as whole
  // pixels, the partial last ones would shift rows towards the bottom by up to 5/8 of a decoded
  // row.
  const struct {
    const char* size;  // 1/4 and 1/8 of the source are at least this size
    const char* smooth;
    double mean;  // bounds of the mean and the largest difference
    int largest;
  } runs[] = {{"-size=512x256", "-smooth=77", 0.35, 3},
              {"-size=512x256", "-smooth=0", 0.6, 9},
              {"-size=256x128", "-smooth=0", 1.0, 9}};
  for (const auto& run : runs) {
    SCOPED_TRACE(std::string(run.size) + " " + run.smooth);
    for (const std::string& input : {jpeg, tiff}) {
      const CommandResult result = run_qorveltools(
          {"makepreview", input, run.size, run.smooth, "-q", "-o=" + input + ".preview.tif"});
      ASSERT_EQ(result.status, 0) << result.out;
    }
    const qv_test::Pixels reduced = read_pixels(jpeg + ".preview.tif");
    const qv_test::Pixels full = read_pixels(tiff + ".preview.tif");
    ASSERT_TRUE(reduced.ok && full.ok);
    ASSERT_EQ(reduced.width, full.width);
    double sum = 0;
    int largest = 0;
    for (size_t i = 0; i < full.bytes.size(); ++i) {
      const int difference = std::abs(reduced.bytes[i] - full.bytes[i]);
      sum += difference;
      largest = std::max(largest, difference);
    }
    EXPECT_LE(sum / full.bytes.size(), run.mean);
    EXPECT_LE(largest, run.largest);
  }
}

}  // namespace
