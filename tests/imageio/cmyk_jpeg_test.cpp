// CMYK and YCCK JPEG files are read as sRGB: by the inverted-CMYK formula, or through their
// CMYK profile; the profile modes then leave the rows alone. Compared with libvips where it is
// installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmyk_jpeg_files.h"
#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::TempDir;

constexpr int kWidth = 61;
constexpr int kHeight = 37;

bool write_picture(const std::string& path, bool ycck, const std::vector<uint8_t>& icc = {},
                   int quality = 95) {
  return qv_test::write_cmyk_jpeg(
      path, kWidth, kHeight, ycck, quality, icc,
      [](int x, int y, int c) { return qv_test::picture_sample(x, y, c, kWidth, kHeight); });
}

// Every row the facade delivers, with the handle's layout checked: 8-bit RGB.
std::vector<uint8_t> facade_rows(const std::string& path, const LoadHint* hint = nullptr,
                                 int* width = nullptr) {
  ImageProps props;
  props.load_hint = hint;
  ImageFilePtr file = image_open_read(path, &props);
  EXPECT_TRUE(file) << path;
  if (!file) return {};
  EXPECT_EQ(file->format, kPixelRgb8);
  EXPECT_EQ(file->channels, 3);
  EXPECT_EQ(file->bits_per_pixel, 24);
  EXPECT_EQ(file->bytes_per_row, 3 * file->width);
  EXPECT_EQ(props.width, kWidth);  // the full size, also when reduced
  if (width) *width = file->width;
  std::vector<uint8_t> rows, row(size_t(file->bytes_per_row));
  for (int y = 0; y < file->height; ++y) {
    EXPECT_TRUE(image_read_row(file.get(), row.data()));
    rows.insert(rows.end(), row.begin(), row.end());
  }
  EXPECT_TRUE(image_close(std::move(file)));
  return rows;
}

double psnr_of(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

int largest_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
  return worst;
}

TEST(CmykJpeg, WithoutProfileTheFormulaGivesTheRows) {
  TempDir dir;
  for (bool ycck : {false, true}) {
    SCOPED_TRACE(ycck ? "YCCK" : "CMYK");
    const std::string path = dir.file("p.jpg");
    ASSERT_TRUE(write_picture(path, ycck));
    const qv_test::CmykPixels cmyk = qv_test::decode_cmyk(path);
    EXPECT_EQ(facade_rows(path), qv_test::cmyk_formula(cmyk.samples));
    // Reduced by the decoder for a load hint, still through the formula.
    const LoadHint hint{true, 30, 30};
    int width = 0;
    const std::vector<uint8_t> reduced = facade_rows(path, &hint, &width);
    EXPECT_EQ(width, 31);
    EXPECT_EQ(reduced, qv_test::cmyk_formula(qv_test::decode_cmyk(path, 2).samples));
  }
}

TEST(CmykJpeg, YcckAgreesWithCmyk) {
  TempDir dir;
  ASSERT_TRUE(write_picture(dir.file("c.jpg"), false, {}, 98));
  ASSERT_TRUE(write_picture(dir.file("y.jpg"), true, {}, 98));
  const std::vector<uint8_t> cmyk = facade_rows(dir.file("c.jpg"));
  const std::vector<uint8_t> ycck = facade_rows(dir.file("y.jpg"));
  ASSERT_EQ(cmyk.size(), ycck.size());
  EXPECT_GT(psnr_of(cmyk, ycck), 40.0);
  EXPECT_LE(largest_difference(cmyk, ycck), 12);
  // Both are close to the picture's own colours.
  std::vector<uint8_t> picture;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t samples[4];
      for (int c = 0; c < 4; ++c)
        samples[c] = uint8_t(qv_test::picture_sample(x, y, c, kWidth, kHeight));
      const std::vector<uint8_t> rgb = qv_test::cmyk_formula({samples, samples + 4});
      picture.insert(picture.end(), rgb.begin(), rgb.end());
    }
  }
  EXPECT_GT(psnr_of(cmyk, picture), 40.0);
  EXPECT_GT(psnr_of(ycck, picture), 38.0);
}

// The file's CMYK profile converts the rows, read whole from one marker or joined from several.
TEST(CmykJpeg, TheFileProfileConvertsTheRows) {
  TempDir dir;
  for (int grid : {9, 17}) {
    SCOPED_TRACE(grid);
    const std::vector<uint8_t> icc = qv_test::make_cmyk_profile(grid);
    ASSERT_GT(icc.size(), 1000u);
    ASSERT_EQ(grid == 17, icc.size() > 65519);  // more than one marker
    for (bool ycck : {false, true}) {
      const std::string path = dir.file("p.jpg");
      ASSERT_TRUE(write_picture(path, ycck, icc));
      const qv_test::CmykPixels cmyk = qv_test::decode_cmyk(path);
      const std::vector<uint8_t> rows = facade_rows(path);
      EXPECT_EQ(rows, qv_test::cmyk_through_profile(cmyk.samples, icc));
      // The samples were taken as inverted ink: the rows show the profile's colours (green held
      // back), not the formula's.
      std::vector<uint8_t> expected;
      for (size_t i = 0; i < cmyk.samples.size(); i += 4) {
        double ink[4], rgb[3];
        for (int c = 0; c < 4; ++c) ink[c] = 1 - cmyk.samples[i + c] / 255.0;
        qv_test::profile_colour(ink, rgb);
        for (double value : rgb) expected.push_back(uint8_t(std::lround(255 * value)));
      }
      EXPECT_GT(psnr_of(rows, expected), 35.0);
      EXPECT_LT(psnr_of(rows, qv_test::cmyk_formula(cmyk.samples)), 30.0);
    }
  }
}

// A profile that is not a CMYK one (an sRGB profile in a CMYK file, as some editors write) does
// not describe the samples: the formula is used.
TEST(CmykJpeg, ANonCmykProfileLeavesTheFormula) {
  TempDir dir;
  const std::string srgb =
      qv_test::read_file(qv_test::corpus_file("icc/icc-profiles-free_sRGB.icc"));
  ASSERT_FALSE(srgb.empty());
  ASSERT_TRUE(write_picture(dir.file("p.jpg"), false, {srgb.begin(), srgb.end()}));
  EXPECT_EQ(facade_rows(dir.file("p.jpg")),
            qv_test::cmyk_formula(qv_test::decode_cmyk(dir.file("p.jpg")).samples));
  // The corpus files: one with such a profile, one without any.
  for (const char* name : {"jpeg/gtk_image-cmyk.jpeg", "jpeg/pillow_sample_cmyk.jpg"}) {
    const std::string path = qv_test::corpus_file(name);
    const qv_test::CmykPixels cmyk = qv_test::decode_cmyk(path);
    const qv_test::Pixels pixels = qv_test::read_pixels(path);
    ASSERT_TRUE(pixels.ok) << name;
    EXPECT_EQ(pixels.format, kPixelRgb8) << name;
    EXPECT_EQ(pixels.bytes, qv_test::cmyk_formula(cmyk.samples)) << name;
  }
}

// Rows read from a CMYK file are sRGB: its CMYK profile is neither applied to them again nor
// embedded with them, in any mode.
TEST(CmykJpeg, ProfileModesTreatTheRowsAsSrgb) {
  const std::vector<uint8_t> icc = qv_test::make_cmyk_profile(9);
  EXPECT_TRUE(icc_profile_is_cmyk(icc));
  const std::string srgb =
      qv_test::read_file(qv_test::corpus_file("icc/icc-profiles-free_sRGB.icc"));
  EXPECT_FALSE(icc_profile_is_cmyk({srgb.begin(), srgb.end()}));
  EXPECT_FALSE(icc_profile_is_cmyk({}));
  for (ProfileMode mode : {kProfileCopy, kProfileConvert, kProfileSrgb}) {
    ImageProps props = qv_test::default_props();
    ColorConversion conversion = color_conversion_setup(mode, icc, kPixelRgb8, &props);
    EXPECT_FALSE(conversion.active()) << mode;
    EXPECT_FALSE(props.embed_icc) << mode;
    EXPECT_EQ(props.icc_data, nullptr) << mode;
    ColorConversion opened;
    EXPECT_TRUE(color_profiles_open(mode, icc, &opened)) << mode;
    EXPECT_TRUE(color_target_profile(opened).empty()) << mode;
    EXPECT_FALSE(color_transform_create(&opened, kPixelRgb8)) << mode;
  }
}

// libvips (a benchmark peer) converts the same file through the same profile. Into the same
// sRGB profile (the one Little CMS builds in, saved to a file) the rows agree to a level; into
// libvips's own sRGB profile they differ by a few levels in the darks.
TEST(CmykJpeg, AgreesWithLibvips) {
  if (!qv_test::have_vips()) GTEST_SKIP() << "vips is not installed";
  TempDir dir;
  const std::string srgb_file = dir.file("srgb.icc");
  ASSERT_TRUE(qv_test::save_library_srgb(srgb_file));
  const std::vector<uint8_t> icc = qv_test::make_cmyk_profile(17);
  const struct {
    const char* target;  // vips's output profile
    const char* name;
    double least_psnr;
    int most_difference;
  } targets[] = {
      {srgb_file.c_str(), "the library's sRGB", 50.0, 1},
      {"srgb", "vips's own sRGB", 35.0, 16},
  };
  for (bool ycck : {false, true}) {
    const std::string path = dir.file(ycck ? "y.jpg" : "c.jpg");
    ASSERT_TRUE(write_picture(path, ycck, icc));
    const std::vector<uint8_t> ours = facade_rows(path);
    for (const auto& target : targets) {
      const std::string converted = dir.file("vips.tif");
      ASSERT_TRUE(qv_test::vips_convert(path, converted, target.target));
      const qv_test::Pixels theirs = qv_test::read_pixels(converted);
      ASSERT_TRUE(theirs.ok);
      ASSERT_EQ(theirs.format, kPixelRgb8);
      ASSERT_EQ(ours.size(), theirs.bytes.size());
      const double psnr = psnr_of(ours, theirs.bytes);
      const int worst = largest_difference(ours, theirs.bytes);
      printf(
          "    %s through its profile against vips icc_transform into %s: PSNR %.1f dB, "
          "largest difference %d\n",
          ycck ? "YCCK" : "CMYK", target.name, psnr, worst);
      EXPECT_GT(psnr, target.least_psnr) << target.name;
      EXPECT_LE(worst, target.most_difference) << target.name;
    }
  }
}

}  // namespace
