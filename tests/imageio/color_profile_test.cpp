// Colour profiles: modes, the compact sRGB profile, conversions and descriptions.
#include "imageio/color_profile.h"
#include "imageio/metadata.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <vector>

#include "imageio/image_file.h"
#include "support/test_support.h"

namespace {

using qv_test::corpus_file;
using qv_test::TempDir;

std::vector<uint8_t> corpus_bytes(const std::string& path) {
  std::string data = qv_test::read_file(corpus_file(path));
  return std::vector<uint8_t>(data.begin(), data.end());
}

TEST(ColorProfile, ModeWords) {
  const struct {
    const char* word;
    bool ok;
    ProfileMode mode;
  } rows[] = {{"skip", true, kProfileSkip},       {"COPY", true, kProfileCopy},
              {"convert", true, kProfileConvert}, {"sRGB", true, kProfileSrgb},
              {"none", false, kProfileSkip},      {"", false, kProfileSkip},
              {"keep", false, kProfileSkip}};
  for (const auto& row : rows) {
    ProfileMode mode = kProfileSkip;
    EXPECT_EQ(parse_profile_mode(row.word, &mode), row.ok) << row.word;
    if (row.ok) {
      EXPECT_EQ(mode, row.mode) << row.word;
    }
    // The lenient reading: any word that is not a mode means skip.
    EXPECT_EQ(profile_mode_or_skip(row.word), row.mode) << row.word;
  }
}

TEST(ColorProfile, CompactSrgbProfile) {
  const std::vector<uint8_t>& profile = compact_srgb_profile();
  ASSERT_EQ(profile.size(), 491u);
  EXPECT_EQ(std::string(profile.begin() + 4, profile.begin() + 8), "babl");
  EXPECT_EQ(icc_profile_description(profile.data(), profile.size()), "sRGB");
  // The library reads it, and it converts like the library's own sRGB profile.
  cmsHPROFILE compact = cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
  ASSERT_NE(compact, nullptr);
  EXPECT_EQ(cmsGetEncodedICCversion(compact), 0x02200000u);
  cmsHPROFILE builtin = cmsCreate_sRGBProfile();
  cmsHTRANSFORM transform =
      cmsCreateTransform(compact, TYPE_RGB_8, builtin, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
  ASSERT_NE(transform, nullptr);
  int worst = 0;
  for (int v = 0; v < 256; v += 5) {
    uint8_t in[3] = {uint8_t(v), uint8_t(255 - v), uint8_t(v / 2)}, out[3];
    cmsDoTransform(transform, in, out, 1);
    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int(in[c]) - int(out[c])));
  }
  EXPECT_LE(worst, 2);
  cmsDeleteTransform(transform);
  cmsCloseProfile(builtin);
  cmsCloseProfile(compact);
  // Written into a KRO or a JPEG file, the probe names it.
  TempDir dir;
  ImageProps props;
  image_default_props(&props);
  props.embed_icc = true;
  props.icc_data = profile.data();
  props.icc_size = int32_t(profile.size());
  for (const char* name : {"s.kro", "s.jpg"}) {
    ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file(name), 1, 1, props);
    ASSERT_TRUE(writer);
    uint8_t pixel[3] = {1, 2, 3};
    ASSERT_TRUE(image_write_row(writer.get(), pixel));
    ASSERT_TRUE(image_close(std::move(writer)));
    auto info = image_probe(dir.file(name));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->icc_description, "sRGB") << name;
    EXPECT_EQ(info->icc, profile) << name;
  }
}

TEST(ColorProfile, Descriptions) {
  const struct {
    const char* path;
    const char* description;
  } rows[] = {
      {"icc/compatibleWithAdobeRGB1998.icc", "Compatible with Adobe RGB (1998)"},
      {"icc/colord_sRGB.icc", "sRGB"},  // Unicode text only
      {"icc/LStar-RGB.icc", "Lstar-RGB.icc"},
      {"icc/gdkpixbuf_empty.icc", ""},
  };
  for (const auto& row : rows) {
    std::vector<uint8_t> icc = corpus_bytes(row.path);
    EXPECT_EQ(icc_profile_description(icc.data(), icc.size()), row.description) << row.path;
  }
  // Unicode text with characters outside ASCII, and one that is empty.
  std::vector<uint8_t> icc = corpus_bytes("icc/colord_sRGB.icc");
  ASSERT_GT(icc.size(), 200u);
  // Find the desc tag and rewrite its first code unit.
  for (size_t entry = 132; entry + 12 <= icc.size(); entry += 12) {
    if (std::string(icc.begin() + entry, icc.begin() + entry + 4) != "desc") continue;
    size_t offset = size_t(icc[entry + 4]) << 24 | size_t(icc[entry + 5]) << 16 |
                    size_t(icc[entry + 6]) << 8 | icc[entry + 7];
    icc[offset + 28] = 0x20;
    icc[offset + 29] = 0xAC;  // the euro sign
    EXPECT_EQ(icc_profile_description(icc.data(), icc.size()), ".RGB");
    break;
  }
  EXPECT_EQ(icc_profile_description(icc.data(), 100), "");
}

// Sets up a conversion for rows of the given format and converts one row of two pixels.
template <typename Sample>
std::vector<Sample> convert(ProfileMode mode, const std::vector<uint8_t>& icc, PixelFormat format,
                            std::vector<Sample> row, ImageProps* props) {
  ColorConversion conversion = color_conversion_setup(mode, icc, format, props);
  color_convert_row(conversion, row.data(), 2);
  return row;
}

TEST(ColorProfile, ModesConvertAndEmbed) {
  const std::vector<uint8_t> adobe = corpus_bytes("icc/compatibleWithAdobeRGB1998.icc");
  const std::vector<uint8_t> rgb = {30, 160, 60, 200, 40, 100};
  ImageProps props;
  image_default_props(&props);

  // Convert: saturated Adobe RGB green moves, nothing is embedded.
  std::vector<uint8_t> converted = convert(kProfileConvert, adobe, kPixelRgb8, rgb, &props);
  EXPECT_NE(converted, rgb);
  EXPECT_LT(converted[0], 30);  // green outside sRGB loses its red
  EXPECT_FALSE(props.embed_icc);

  // srgb: same pixels, the compact profile embedded.
  ColorConversion srgb = color_conversion_setup(kProfileSrgb, adobe, kPixelRgb8, &props);
  ASSERT_TRUE(srgb.active());
  EXPECT_TRUE(props.embed_icc);
  ASSERT_EQ(props.icc_size, 491);
  EXPECT_EQ(std::vector<uint8_t>(props.icc_data, props.icc_data + 491), compact_srgb_profile());
  std::vector<uint8_t> row = rgb;
  color_convert_row(srgb, row.data(), 2);
  for (size_t i = 0; i < row.size(); ++i) EXPECT_NEAR(row[i], converted[i], 2);

  // Copy: pixels unchanged, the input profile byte for byte.
  image_default_props(&props);
  EXPECT_EQ(convert(kProfileCopy, adobe, kPixelRgb8, rgb, &props), rgb);
  EXPECT_TRUE(props.embed_icc);
  EXPECT_EQ(props.icc_data, adobe.data());
  EXPECT_EQ(props.icc_size, int32_t(adobe.size()));

  // Skip, no input profile, gray output and an unusable profile change nothing.
  for (ProfileMode mode : {kProfileSkip, kProfileCopy, kProfileConvert, kProfileSrgb}) {
    image_default_props(&props);
    EXPECT_EQ(convert(mode, {}, kPixelRgb8, rgb, &props), rgb);
    EXPECT_FALSE(props.embed_icc);
  }
  image_default_props(&props);
  EXPECT_EQ(convert(kProfileSkip, adobe, kPixelRgb8, rgb, &props), rgb);
  EXPECT_EQ(convert(kProfileConvert, adobe, kPixelGray8, rgb, &props), rgb);
  const std::vector<uint8_t> broken = {1, 2, 3, 4};
  EXPECT_EQ(convert(kProfileSrgb, broken, kPixelRgb8, rgb, &props), rgb);
  EXPECT_FALSE(props.embed_icc);
}

TEST(ColorProfile, AlphaIsUntouched) {
  const std::vector<uint8_t> adobe = corpus_bytes("icc/compatibleWithAdobeRGB1998.icc");
  ImageProps props;
  image_default_props(&props);
  const std::vector<uint16_t> rgba16 = {8000, 40000, 16000, 1234, 50000, 10000, 25000, 65535};
  std::vector<uint16_t> out16 = convert(kProfileConvert, adobe, kPixelRgba16, rgba16, &props);
  EXPECT_NE(out16[1], 40000);
  EXPECT_EQ(out16[3], 1234);
  EXPECT_EQ(out16[7], 65535);
  const std::vector<uint8_t> rgba8 = {30, 160, 60, 7, 200, 40, 100, 250};
  std::vector<uint8_t> out8 = convert(kProfileConvert, adobe, kPixelRgba8, rgba8, &props);
  EXPECT_NE(out8, rgba8);
  EXPECT_EQ(out8[3], 7);
  EXPECT_EQ(out8[7], 250);
  // 16-bit RGB converts as the 8-bit row does, at 16-bit precision.
  const std::vector<uint16_t> rgb16 = {30 * 257,  160 * 257, 60 * 257,
                                       200 * 257, 40 * 257,  100 * 257};
  std::vector<uint16_t> out_rgb16 = convert(kProfileConvert, adobe, kPixelRgb16, rgb16, &props);
  std::vector<uint8_t> out_rgb8 = convert(kProfileConvert, adobe, kPixelRgb8,
                                          std::vector<uint8_t>{30, 160, 60, 200, 40, 100}, &props);
  for (size_t i = 0; i < 6; ++i) EXPECT_NEAR(out_rgb16[i] / 257.0, out_rgb8[i], 1.5);
}

}  // namespace
