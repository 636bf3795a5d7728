// PNG reading: accepted and refused real files, rows and reduced reading.
#include "imageio/png_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "imageio/image_file.h"
#include "support/test_support.h"

namespace {

using qv_test::corpus_file;
using qv_test::TempDir;

TEST(PngCodec, RealFiles) {
  const struct {
    const char* path;
    PixelFormat format;  // kPixelUnsupported: refused
    int width, height;
  } rows[] = {
      {"png/pillow_hopper.png", kPixelRgb8, 128, 128},
      {"png/pillow_icc_profile.png", kPixelRgba8, 57, 57},
      {"png/pillow_pil123rgba.png", kPixelRgba8, 162, 150},     // interlaced
      {"pano/threeglobe_clouds.png", kPixelRgba8, 4096, 2048},  // palette with transparency
      {"png/pillow_copyleft.png", kPixelUnsupported, 0, 0},     // gray
      {"png/stellarium_sedna.png", kPixelUnsupported, 0, 0},    // 16 bit
      {"png/pillow_broken_data_stream.png", kPixelUnsupported, 0, 0},
      {"png/pillow_broken.png", kPixelUnsupported, 0, 0},
  };
  for (const auto& row : rows) {
    ImageProps props;
    ImageFilePtr file = image_open_read(corpus_file(row.path), &props);
    if (row.format == kPixelUnsupported) {
      EXPECT_FALSE(file) << row.path;
      continue;
    }
    ASSERT_TRUE(file) << row.path;
    EXPECT_EQ(file->kind, kImagePng);
    EXPECT_EQ(file->format, row.format) << row.path;
    EXPECT_EQ(file->width, row.width) << row.path;
    EXPECT_EQ(file->height, row.height) << row.path;
    EXPECT_EQ(props.width, row.width) << row.path;
    std::vector<uint8_t> pixels(file->bytes_per_row);
    for (int y = 0; y < file->height; ++y) ASSERT_TRUE(image_read_row(file.get(), pixels.data()));
    EXPECT_TRUE(image_close(std::move(file)));
  }
  auto info = image_probe(corpus_file("png/pillow_hopper.png"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 128);
  EXPECT_EQ(info->height, 128);
}

TEST(PngCodec, LoadHintPicksRowsAndHugeHeadersAreRefused) {
  // hopper.png rows read in full and with a hint of 16 rows: row n is source row 8 n.
  std::vector<std::vector<uint8_t>> full;
  {
    ImageFilePtr file = image_open_read(corpus_file("png/pillow_hopper.png"), nullptr);
    ASSERT_TRUE(file);
    for (int y = 0; y < file->height; ++y) {
      full.emplace_back(file->bytes_per_row);
      ASSERT_TRUE(image_read_row(file.get(), full.back().data()));
    }
  }
  LoadHint hint{true, 16, 16};
  ImageProps props;
  props.load_hint = &hint;
  ImageFilePtr file = image_open_read(corpus_file("png/pillow_hopper.png"), &props);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->height, 16);
  EXPECT_EQ(props.height, 128);
  std::vector<uint8_t> row(file->bytes_per_row);
  for (int n = 0; n < 16; ++n) {
    ASSERT_TRUE(image_read_row(file.get(), row.data()));
    EXPECT_EQ(row, full[8 * n]);
  }
  // A header of 100000 × 100000 RGB pixels in a small file: its rows cannot be there.
  std::string png = qv_test::read_file(corpus_file("png/pillow_hopper.png"));
  for (int offset : {16, 20}) {
    png[offset] = 0;
    png[offset + 1] = 0x01;
    png[offset + 2] = char(0x86);
    png[offset + 3] = char(0xA0);
  }
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("huge.png"), png));
  EXPECT_FALSE(image_open_read(dir.file("huge.png"), nullptr));
}

}  // namespace
