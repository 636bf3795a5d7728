// KRO: exact byte layouts, rejected headers, reduced reading and the probe.
#include "imageio/kro_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::corpus_file;
using qv_test::default_props;
using qv_test::TempDir;

std::string header(int width, int height, uint32_t icc_and_bits, uint32_t channels) {
  std::string bytes = std::string("KRO\x01", 4);
  for (uint32_t value : {uint32_t(width), uint32_t(height), icc_and_bits, channels}) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(char(value >> shift));
  }
  return bytes;
}

TEST(KroCodec, EightBitRgbLayout) {
  TempDir dir;
  ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file("a.kro"), 3, 2, default_props());
  ASSERT_TRUE(writer);
  const uint8_t rows[2][9] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}};
  ASSERT_TRUE(image_write_row(writer.get(), const_cast<uint8_t*>(rows[0])));
  ASSERT_TRUE(image_write_row(writer.get(), const_cast<uint8_t*>(rows[1])));
  ASSERT_TRUE(image_close(std::move(writer)));
  std::string expected = header(3, 2, 8, 3);
  expected.append(reinterpret_cast<const char*>(rows), 18);
  const std::string bytes = qv_test::read_file(dir.file("a.kro"));
  ASSERT_EQ(bytes.size(), 38u);
  EXPECT_EQ(bytes.substr(12, 8), std::string("\x00\x00\x00\x08\x00\x00\x00\x03", 8));
  EXPECT_EQ(bytes, expected);
}

TEST(KroCodec, SixteenBitRgbaWithProfileRoundTrips) {
  TempDir dir;
  const std::string icc = qv_test::read_file(corpus_file("icc/exiv2_small.icc"));
  ASSERT_EQ(icc.size(), 560u);
  ImageProps props = default_props();
  props.icc_data = reinterpret_cast<const uint8_t*>(icc.data());
  props.icc_size = int32_t(icc.size());  // stored even without the embed flag
  ImageFilePtr writer = image_create_write(kPixelRgba16, dir.file("b.kro"), 2, 3, props);
  ASSERT_TRUE(writer);
  std::vector<uint16_t> row(8);
  for (int y = 0; y < 3; ++y) {
    for (int i = 0; i < 8; ++i) row[i] = uint16_t(0x0102 * (i + 1) + 0x1000 * y);
    ASSERT_TRUE(image_write_row(writer.get(), row.data()));
  }
  ASSERT_TRUE(image_close(std::move(writer)));
  const std::string bytes = qv_test::read_file(dir.file("b.kro"));
  ASSERT_EQ(bytes.size(), 20 + 560 + 3 * 16u);
  EXPECT_EQ(bytes.substr(12, 8), std::string("\x00\x02\x30\x10\x00\x00\x00\x04", 8));
  EXPECT_EQ(bytes.substr(20, 560), icc);
  EXPECT_EQ(bytes.substr(580, 4), std::string("\x01\x02\x02\x04", 4));  // big-endian samples

  ImageProps read_props;
  ImageFilePtr reader = image_open_read(dir.file("b.kro"), &read_props);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->format, kPixelRgba16);
  EXPECT_EQ(reader->channels, 4);
  EXPECT_EQ(reader->bits_per_pixel, 64);
  EXPECT_EQ(reader->bytes_per_row, 16);
  EXPECT_EQ(read_props.width, 2);
  for (int y = 0; y < 3; ++y) {
    ASSERT_TRUE(image_read_row(reader.get(), row.data()));
    EXPECT_EQ(row[7], uint16_t(0x0102 * 8 + 0x1000 * y));
  }
  auto info = image_probe(dir.file("b.kro"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 2);
  EXPECT_EQ(info->height, 3);
  EXPECT_EQ(std::string(info->icc.begin(), info->icc.end()), icc);
  EXPECT_EQ(info->icc_description, "Adobe RGB (1998)");
}

TEST(KroCodec, RefusesBadHeadersAndMissingRows) {
  TempDir dir;
  const std::string layout = "only 8- and 16-bit rgb and rgba kro files are supported";
  const std::string damaged = "damaged or truncated kro file";
  const struct {
    const char* name;
    std::string bytes;
    const std::string& detail;
  } rows[] = {
      {"one_channel", header(2, 2, 8, 1) + std::string(4, 'x'), layout},
      {"32_bits", header(2, 2, 32, 3) + std::string(48, 'x'), layout},
      {"zero_width", header(0, 2, 8, 3), layout},
      {"negative_height", header(2, -2, 8, 3), layout},
      {"huge", header(100000, 100000, 8, 3), damaged},
      {"short_rows", header(2, 2, 8, 3) + std::string(11, 'x'), damaged},
      {"profile_past_end", header(1, 1, 0xFFFFFF08, 3) + std::string(3, 'x'), damaged},
      {"short_header", std::string("KRO\x01\x00\x00", 6), damaged},
  };
  for (const auto& row : rows) {
    const std::string path = dir.file(std::string(row.name) + ".kro");
    ASSERT_TRUE(qv_test::write_file(path, row.bytes));
    EXPECT_FALSE(image_open_read(path, nullptr)) << row.name;
    EXPECT_EQ(image_last_error(), row.detail) << row.name;
  }
  // Gray cannot be written.
  EXPECT_FALSE(image_create_write(kPixelGray8, dir.file("g.kro"), 2, 2, default_props()));
}

TEST(KroCodec, LoadHintDeliversEveryNthRow) {
  TempDir dir;
  const int height = 10000;
  std::string bytes = header(1, height, 8, 4);
  for (int y = 0; y < height; ++y) {
    for (int shift : {24, 16, 8, 0}) bytes.push_back(char(y >> shift));
  }
  ASSERT_TRUE(qv_test::write_file(dir.file("tall.kro"), bytes));
  LoadHint hint{true, 50, 100};
  ImageProps props;
  props.load_hint = &hint;
  ImageFilePtr file = image_open_read(dir.file("tall.kro"), &props);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->height, 100);
  EXPECT_EQ(file->width, 1);  // the width is not reduced
  EXPECT_EQ(props.height, height);
  EXPECT_EQ(file->format, kPixelRgba8);
  uint8_t pixel[4];
  for (int n = 0; n < 100; ++n) {
    ASSERT_TRUE(image_read_row(file.get(), pixel));
    int source = pixel[0] << 24 | pixel[1] << 16 | pixel[2] << 8 | pixel[3];
    ASSERT_EQ(source, 100 * n);
  }
  EXPECT_FALSE(image_read_row(file.get(), pixel));
  // A hint at least as tall as the image reads every row.
  LoadHint tall{true, 50, 20000};
  props.load_hint = &tall;
  file = image_open_read(dir.file("tall.kro"), &props);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->height, height);
}

}  // namespace
