// The cube2sphere tool through the built binary: usage, argument and input errors with their
// messages, face collection from names, patterns and options, output naming and sizes, the
// sphere size restored from the transform tool's comment, and the round trip's fidelity.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::image_size;
using qv_test::psnr;
using qv_test::read_pixels;
using qv_test::run_qorveltools;
using qv_test::TempDir;
using qv_test::write_pattern;

const char* const kSides[6] = {"l", "f", "r", "b", "u", "d"};

// Writes six pattern faces base_l.tif … base_d.tif of size × size.
void write_faces(const TempDir& dir, const std::string& base, int size,
                 PixelFormat format = kPixelRgb8) {
  for (const char* side : kSides) {
    ASSERT_TRUE(write_pattern(dir.file(base + "_" + side + ".tif"), format, size, size));
  }
}

std::vector<std::string> face_args(const TempDir& dir, const std::string& base) {
  std::vector<std::string> args = {"cube2sphere"};
  for (const char* side : kSides) args.push_back(dir.file(base + "_" + side + ".tif"));
  return args;
}

// A smooth panorama: low-frequency waves in longitude and latitude.
bool write_smooth_pano(const std::string& path, int width, int height) {
  ImageProps props;
  image_default_props(&props);
  props.tiff_compression = 1;
  ImageFilePtr file = image_create_write(kPixelRgb8, path, width, height, props);
  if (!file) return false;
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    const double latitude = M_PI * (y + 0.5) / height;
    for (int x = 0; x < width; ++x) {
      const double longitude = 2 * M_PI * (x + 0.5) / width;
      row[x * 3] = static_cast<uint8_t>(128 + 90 * std::sin(2 * longitude) * std::sin(latitude));
      row[x * 3 + 1] = static_cast<uint8_t>(128 + 90 * std::cos(3 * latitude));
      row[x * 3 + 2] = static_cast<uint8_t>(128 + 60 * std::cos(longitude + latitude));
    }
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

// A gray face of size × size carrying an image comment.
bool write_commented_face(const std::string& path, int size, const std::string& comment) {
  ImageProps props;
  image_default_props(&props);
  props.comment = comment;
  ImageFilePtr file = image_create_write(kPixelRgb8, path, size, size, props);
  if (!file) return false;
  std::vector<uint8_t> row(static_cast<size_t>(size) * 3, 100);
  for (int y = 0; y < size; ++y) {
    if (!image_write_row(file.get(), row.data())) return false;
  }
  return image_close(std::move(file));
}

TEST(Cube2sphere, UsageWithoutParameters) {
  for (const char* word : {"cube2sphere", "cubetosphere", "qcube2sphere", "-CUBE2SPHERE"}) {
    CommandResult result = run_qorveltools({word});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("\nqorvel cube2sphere tool 1.19-pr16 - 32bit (build 2018-04-04)\n"
                               "    - converts a cubical pano image to a spherical pano image\n"
                               "syntax: qorveltools cube2sphere inputfiles [-o=outputfile] "
                               "[options]\n\ninputfiles:\n",
                               0),
              0u)
        << result.out;
    EXPECT_NE(result.out.find("  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, "
                              "RGB or RGBA)\n"),
              std::string::npos);
  }
}

TEST(Cube2sphere, ArgumentAndInputErrors) {
  TempDir dir;
  write_faces(dir, "pano", 40);
  ASSERT_TRUE(write_pattern(dir.file("odd_f.tif"), kPixelRgb8, 40, 30));
  ASSERT_TRUE(write_pattern(dir.file("small_f.tif"), kPixelRgb8, 20, 20));
  ASSERT_TRUE(write_pattern(dir.file("deep_f.tif"), kPixelRgb16, 40, 40));
  ASSERT_TRUE(write_pattern(dir.file("gray_f.tif"), kPixelGray8, 40, 40));
  const std::string all = dir.file("pano_*.tif");
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // the end of standard output
  };
  const Case cases[] = {
      {{all, "-jpegoptimize=maybe"}, "invalid or bad argument: -jpegoptimize=maybe\n"},
      {{all, "-jpegquality=101"}, "invalid or bad argument: -jpegquality=101\n"},
      {{all, "-jpegsubsamp=440"}, "invalid or bad argument: -jpegsubsamp=440\n"},
      {{all, "-tiffcompress=rle"}, "invalid or bad argument: -tiffcompress=rle\n"},
      {{all, "-unknown"}, "invalid or bad argument: -unknown\n"},
      {{all, "-fast=1"}, "invalid or bad argument: -fast=1\n"},
      {{all, "-o"}, "invalid or bad argument: -o\n"},
      {{all, dir.file("image_fl.jpg")},
       "ERROR: unable to detect cubeside from file: image_fl.jpg\n\n"},
      {{"-q"}, "ERROR: no input images\n"},
      {{"-q", "-l=" + dir.file("pano_l.tif")},
       "\nERROR: not all cube images found or detected\n\n"},
      {{"-q", all, "-config=" + dir.file("none.config")},
       "ERROR: loading config - \"" + dir.file("none.config") + "\" - failed!\n\n"},
      {{"-q", all, "-u=" + dir.file("absent_u.tif")},
       " - loading error!\n       - no such file or directory!\n\n"},
      {{"-q", all, "-outsize=2000000000x1000000000"},
       "ERROR: the sphere size 2000000000x1000000000 is too large for the available memory\n\n"},
      {{"-q", all, "-f=" + dir.file("gray_f.tif")},
       " - Error: only 8 or 16 bit RGB or RGBA format supported!\n"},
      {{"-q", all, "-f=" + dir.file("odd_f.tif")},
       " - Error: the cube images must be square and all of the same size (odd_f.tif is 40x30, "
       "the left image 40x40)!\n\n"},
      {{"-q", all, "-f=" + dir.file("small_f.tif")},
       " - Error: the cube images must be square and all of the same size (small_f.tif is "
       "20x20, the left image 40x40)!\n\n"},
      {{"-q", all, "-f=" + dir.file("deep_f.tif")},
       " - Error: the cube images must all have the bit depth of the left image "
       "(deep_f.tif)!\n\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"cube2sphere"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = run_qorveltools(args);
    EXPECT_EQ(result.status, 1) << c.expected;
    ASSERT_GE(result.out.size(), c.expected.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - c.expected.size()), c.expected);
    EXPECT_FALSE(qv_test::file_exists(dir.file("pano_sphere.tif"))) << c.expected;
  }
  EXPECT_EQ(qv_test::list_files(dir.path).size(), 10u);  // no output, no leftovers
}

TEST(Cube2sphere, FacesNamesAndSizes) {
  TempDir dir;
  write_faces(dir, "pano", 100);
  write_faces(dir, "tour", 100);
  // Faces of 100 pixels without comment: 314 × 157, named after the left face.
  CommandResult result = run_qorveltools({"cube2sphere", dir.file("pano_*.tif"), "-q"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(image_size(dir.file("pano_sphere.tif")), "314x157");

  // Names in any order, a later face replacing an earlier one, -o with its own extension,
  // -outsize with one number keeping the automatic size.
  std::vector<std::string> args = face_args(dir, "tour");
  args.insert(args.begin() + 1, dir.file("pano_r.tif"));
  args.push_back("-o=" + dir.file("out.jpg"));
  args.push_back("-outsize=200");
  args.push_back("-q");
  result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << result.out;
  qv_test::Pixels pixels = read_pixels(dir.file("out.jpg"));
  ASSERT_TRUE(pixels.ok);
  EXPECT_EQ(pixels.width, 314);

  // Option faces, -outsize overriding, a config file setting the derived name's extension.
  ASSERT_TRUE(qv_test::write_file(dir.file("c.config"),
                                  "[Convert CUBE to SPHERE]\noutputformat=jpg\njpegquality=70\n"));
  args = {"cube2sphere", "-config=" + dir.file("c.config")};
  for (const char* side : kSides) {
    args.push_back(std::string("-") + side + "=" + dir.file(std::string("pano_") + side + ".tif"));
  }
  args.push_back("-outsize=120x60");
  args.push_back("-q");
  result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(image_size(dir.file("pano_sphere.jpg")), "120x60");

  // A config size, overridden by a later -outsize; "auto" goes back to the automatic size.
  ASSERT_TRUE(qv_test::write_file(dir.file("size.config"),
                                  "# sizes\n[Convert CUBE to SPHERE]\nspheresize = 200x100\n"));
  ASSERT_TRUE(qv_test::write_file(dir.file("auto.config"),
                                  "[Convert CUBE to SPHERE]\r\nspheresize=auto\r\n[other]\n"));
  struct SizeCase {
    std::vector<std::string> options;
    int width;
  };
  const SizeCase size_cases[] = {
      {{"-config=" + dir.file("size.config")}, 200},
      {{"-config=" + dir.file("size.config"), "-outsize=100x50"}, 100},
      {{"-outsize=100x50", "-config=" + dir.file("size.config")}, 200},
      {{"-config=" + dir.file("size.config"), "-config=" + dir.file("auto.config")}, 314},
  };
  for (const SizeCase& c : size_cases) {
    args = {"cube2sphere", dir.file("pano_*.tif"), "-q", "-o=" + dir.file("sized.tif")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    result = run_qorveltools(args);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(read_pixels(dir.file("sized.tif")).width, c.width) << c.options.back();
  }

  // An output that cannot be created, or not completed under its name (taken by a folder): the
  // message, status 1, no file.
  result = run_qorveltools(
      {"cube2sphere", dir.file("pano_*.tif"), "-q", "-o=" + dir.file("no/dir/out.tif")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "error creating file \"" + dir.file("no/dir/out.tif") +
                            "\"!\n       - no such file or directory!\n\n\n");
  TempDir taken;
  ASSERT_EQ(mkdir(taken.file("out.tif").c_str(), 0755), 0);
  result = run_qorveltools({"cube2sphere", dir.file("pano_*.tif"), "-o=" + taken.file("out.tif")});
  EXPECT_EQ(result.status, 1);
  const size_t reported = result.out.find("error creating file \"" + taken.file("out.tif") + "\"!");
  ASSERT_NE(reported, std::string::npos);
  EXPECT_EQ(result.out.find("done.", reported), std::string::npos);
  EXPECT_EQ(qv_test::list_files(taken.path), std::vector<std::string>{"out.tif"});
}

TEST(Cube2sphere, MessagesAndProgress) {
  TempDir dir;
  write_faces(dir, "pano", 16);
  CommandResult result = run_qorveltools({"cube2sphere", dir.file("pano_*.tif")});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("\nqorvel cube2sphere tool 1.19-pr16 - 32bit (build 2018-04-04)\n"
                             "loading...\nloading pano_l.tif...\n6%   \r",
                             0),
            0u)
      << result.out;
  EXPECT_NE(result.out.find("100%   \rdone.          \rloading pano_f.tif...\n"),
            std::string::npos);
  EXPECT_NE(result.out.find("done.          \rdone\nmaking sphere " + dir.file("pano_sphere.tif") +
                            "...\n0%   \r"),
            std::string::npos);
  EXPECT_EQ(result.out.substr(result.out.size() - 14), "100%   \rdone.\n");

  // -ipc: progress fractions only, loading in the first quarter.
  result = run_qorveltools({"cube2sphere", dir.file("pano_*.tif"), "-ipc"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.find("loading"), std::string::npos);
  EXPECT_NE(result.out.find("progress=25.000000"), std::string::npos) << result.out;
}

TEST(Cube2sphere, RoundTripRestoresTheSphere) {
  TempDir dir;
  const std::string pano = dir.file("pano.tif");
  ASSERT_TRUE(write_smooth_pano(pano, 800, 400));
  CommandResult result = run_qorveltools(
      {"transform", "cube", pano, dir.file("face.tif"), "-tiffcompress=none", "-q"});
  ASSERT_EQ(result.status, 0) << result.out;
  result = run_qorveltools({"cube2sphere", dir.file("face_*.tif"), "-q"});
  ASSERT_EQ(result.status, 0) << result.out;
  const qv_test::Pixels original = read_pixels(pano);
  const qv_test::Pixels back = read_pixels(dir.file("face_sphere.tif"));
  ASSERT_TRUE(back.ok);
  ASSERT_EQ(back.width, 800);  // restored from the comment (faces of 255 pixels)
  ASSERT_EQ(back.height, 400);
  const double away_from_poles = psnr(original, back, 4);
  EXPECT_GT(away_from_poles, 40.0);
  std::printf("round trip PSNR: %.2f dB (all rows %.2f dB)\n", away_from_poles,
              psnr(original, back, 0));

  // Faces whose size no longer matches the comment (resized afterwards): the automatic size.
  for (const char* side : kSides) {
    ASSERT_TRUE(write_commented_face(dir.file(std::string("small_") + side + ".tif"), 100,
                                     "qorvel;spheretocube;spheresize=800x400;cubesize=255;"));
  }
  result = run_qorveltools({"cube2sphere", dir.file("small_*.tif"), "-q", "-verbose"});
  ASSERT_EQ(result.status, 0) << result.out;
  const qv_test::Pixels automatic = read_pixels(dir.file("small_sphere.tif"));
  EXPECT_EQ(automatic.width, 314);
  EXPECT_EQ(automatic.height, 157);
  EXPECT_EQ(result.out.find("original sphere size"), std::string::npos);
}

}  // namespace
