// JPEG codec: load hints, scaled reads, header values, writer settings and markers, memory writer,
// real files.
#include "imageio/jpeg_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "cmyk_jpeg_files.h"
#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::corpus_file;
using qv_test::default_props;
using qv_test::TempDir;

bool write_gray(const std::string& path, int width, int height, const ImageProps& props) {
  return qv_test::write_samples(path, kPixelGray8, width, height, props,
                                [](int x, int y, int) { return uint8_t((x / 16 + y / 16) * 40); });
}

// Reads every row; true when all rows were delivered.
bool read_everything(ImageFile* file) {
  std::vector<uint8_t> row(file->bytes_per_row);
  for (int y = 0; y < file->height; ++y) {
    if (!image_read_row(file, row.data())) return false;
  }
  return true;
}

// Position of the first marker with this code after SOI, or npos.
size_t find_marker(const std::string& jpeg, uint8_t code) {
  size_t pos = 2;
  while (pos + 4 <= jpeg.size() && uint8_t(jpeg[pos]) == 0xFF) {
    uint8_t marker = uint8_t(jpeg[pos + 1]);
    if (marker == code) return pos;
    if (marker == 0xDA) break;
    size_t length = size_t(uint8_t(jpeg[pos + 2])) << 8 | uint8_t(jpeg[pos + 3]);
    pos += 2 + length;
  }
  return std::string::npos;
}

TEST(JpegCodec, LoadHintsScaleByPowersOfTwo) {
  TempDir dir;
  ASSERT_TRUE(write_gray(dir.file("big.jpg"), 4000, 3000, default_props()));
  const struct {
    int max_width, max_height, width, height;
  } rows[] = {{256, 256, 500, 375},
              {1000, 1000, 1000, 750},
              {4000, 3000, 4000, 3000},
              {1500, 1500, 2000, 1500},
              {8000, 8000, 4000, 3000}};
  for (const auto& row : rows) {
    LoadHint hint{true, row.max_width, row.max_height};
    ImageProps props;
    props.load_hint = &hint;
    ImageFilePtr file = image_open_read(dir.file("big.jpg"), &props);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->width, row.width) << row.max_width;
    EXPECT_EQ(file->height, row.height) << row.max_width;
    EXPECT_EQ(file->bytes_per_row, row.width);
    EXPECT_EQ(props.width, 4000);
    EXPECT_EQ(props.height, 3000);
    EXPECT_EQ(props.load_hint, &hint);
  }
  EXPECT_EQ(jpeg_scale_denominator(4000, 3000, LoadHint{true, 256, 256}), 8);
  EXPECT_EQ(jpeg_scale_denominator(4000, 3000, LoadHint{true, 1000, 1000}), 4);
  EXPECT_EQ(jpeg_scale_denominator(4000, 3000, LoadHint{true, 1300, 1300}), 2);  // ratio 3
  EXPECT_EQ(jpeg_scale_denominator(4000, 3000, LoadHint{true, 0, 0}), 1);
}

// Every row of a file opened with a scale request, with the handle's scale and the full size
// checked.
qv_test::Pixels read_scaled(const std::string& path, int32_t denominator, int32_t delivered) {
  ImageProps props;
  props.scale_denominator = denominator;
  ImageFilePtr file = image_open_read(path, &props);
  qv_test::Pixels pixels;
  EXPECT_TRUE(file) << path;
  if (!file) return pixels;
  EXPECT_EQ(file->scale_denominator, delivered);
  EXPECT_EQ(props.width, 1001);
  EXPECT_EQ(props.height, 763);
  pixels.width = file->width;
  pixels.height = file->height;
  pixels.format = file->format;
  std::vector<uint8_t> row(size_t(file->bytes_per_row));
  for (int y = 0; y < file->height; ++y) {
    if (!image_read_row(file.get(), row.data())) return pixels;
    pixels.bytes.insert(pixels.bytes.end(), row.begin(), row.end());
  }
  pixels.ok = true;
  return pixels;
}

// Mean and largest difference between a scaled image and the full one box-reduced by d (the
// last column and row averaging only the pixels the image has).
void compare_with_box_reduction(const qv_test::Pixels& scaled, const qv_test::Pixels& full, int d,
                                double* mean, int* largest) {
  const int channels = pixel_format_bytes(full.format);
  double sum = 0;
  *largest = 0;
  for (int y = 0; y < scaled.height; ++y) {
    for (int x = 0; x < scaled.width; ++x) {
      for (int c = 0; c < channels; ++c) {
        double total = 0;
        int count = 0;
        for (int v = y * d; v < std::min(full.height, y * d + d); ++v) {
          for (int u = x * d; u < std::min(full.width, x * d + d); ++u, ++count) {
            total += full.at(u, v)[c];
          }
        }
        const int difference = std::abs(int(std::lround(total / count)) - scaled.at(x, y)[c]);
        sum += difference;
        *largest = std::max(*largest, difference);
      }
    }
  }
  *mean = sum / (double(scaled.width) * scaled.height * channels);
}

TEST(JpegCodec, ScaledReadsRoundUpAndMatchABoxReducedFullDecode) {
  TempDir dir;
  // Smooth pictures with some detail, of an odd size, in the layouts the decoder scales
  // differently: 4:2:0 colour, progressive, gray, and CMYK (turned into RGB by the reader).
  const auto picture = [](int x, int y, int c) {
    return uint8_t(128 + 70 * std::sin(x / 41.0 + c) * std::cos(y / 29.0) +
                   40 * ((x / 64 + y / 64) % 2));
  };
  ImageProps progressive = default_props();
  progressive.progressive = true;
  ASSERT_TRUE(
      qv_test::write_samples(dir.file("rgb.jpg"), kPixelRgb8, 1001, 763, default_props(), picture));
  ASSERT_TRUE(qv_test::write_samples(dir.file("progressive.jpg"), kPixelRgb8, 1001, 763,
                                     progressive, picture));
  ASSERT_TRUE(write_gray(dir.file("gray.jpg"), 1001, 763, default_props()));
  ASSERT_TRUE(qv_test::write_cmyk_jpeg(
      dir.file("cmyk.jpg"), 1001, 763, false, 95, {},
      [](int x, int y, int c) { return qv_test::picture_sample(x, y, c, 1001, 763); }));
  const struct {
    const char* name;
    int denominator, width, height;  // sizes rounded up
  } rows[] = {{"rgb.jpg", 2, 501, 382},        {"rgb.jpg", 4, 251, 191},  {"rgb.jpg", 8, 126, 96},
              {"progressive.jpg", 8, 126, 96}, {"gray.jpg", 4, 251, 191}, {"cmyk.jpg", 2, 501, 382},
              {"cmyk.jpg", 8, 126, 96}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " 1/" + std::to_string(row.denominator));
    const qv_test::Pixels full = qv_test::read_pixels(dir.file(row.name));
    const qv_test::Pixels scaled =
        read_scaled(dir.file(row.name), row.denominator, row.denominator);
    ASSERT_TRUE(full.ok && scaled.ok);
    EXPECT_EQ(scaled.width, row.width);
    EXPECT_EQ(scaled.height, row.height);
    EXPECT_EQ(scaled.format, full.format);
    double mean = 0;
    int largest = 0;
    compare_with_box_reduction(scaled, full, row.denominator, &mean, &largest);
    EXPECT_LE(mean, 0.75);
    EXPECT_LE(largest, 6);
  }
  // Other requests read the full size; a load hint wins over a request.
  for (const int denominator : {0, 1, 3, 16}) {
    EXPECT_EQ(read_scaled(dir.file("rgb.jpg"), denominator, 1).width, 1001) << denominator;
  }
  const LoadHint hint{true, 1001, 763};
  ImageProps props;
  props.load_hint = &hint;
  props.scale_denominator = 8;
  ImageFilePtr file = image_open_read(dir.file("rgb.jpg"), &props);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->width, 1001);
  EXPECT_EQ(props.scale_denominator, 8);  // the request is kept
}

TEST(JpegCodec, WriterSettingsAndMarkers) {
  TempDir dir;
  ImageProps props = default_props();
  props.jpeg_quality = 0;
  props.jpeg_sampling_h = props.jpeg_sampling_v = 0;
  props.dpi_x = 300;
  props.dpi_y = 20000;  // out of range: both become 72
  props.comment = "qorvel sphere=1234";
  const uint8_t icc[] = {1, 2, 3, 4, 5};
  props.embed_icc = true;
  props.icc_data = icc;
  props.icc_size = sizeof(icc);
  ASSERT_TRUE(write_gray(dir.file("q0.jpg"), 64, 48, props));
  ImageProps q85 = props;
  q85.jpeg_quality = 85;
  q85.jpeg_sampling_h = q85.jpeg_sampling_v = 2;
  ASSERT_TRUE(write_gray(dir.file("q85.jpg"), 64, 48, q85));
  const std::string jpeg = qv_test::read_file(dir.file("q0.jpg"));
  EXPECT_EQ(jpeg, qv_test::read_file(dir.file("q85.jpg")));

  size_t com = find_marker(jpeg, 0xFE);
  ASSERT_NE(com, std::string::npos);
  EXPECT_EQ(jpeg.substr(com + 2, 2), std::string("\x00\x15", 2));  // 2 + 18 + 1
  EXPECT_EQ(jpeg.substr(com + 4, 19), std::string("qorvel sphere=1234\0", 19));
  size_t app2 = find_marker(jpeg, 0xE2);
  ASSERT_NE(app2, std::string::npos);
  EXPECT_EQ(jpeg.substr(app2 + 2, 2 + 12 + 2 + 5),
            std::string("\x00\x15ICC_PROFILE\0\x01\x01\x01\x02\x03\x04\x05", 21));

  ImageProps read_props;
  ImageFilePtr file = image_open_read(dir.file("q0.jpg"), &read_props);
  ASSERT_TRUE(file);
  EXPECT_EQ(read_props.dpi_x, 72);
  EXPECT_EQ(read_props.dpi_y, 72);
  EXPECT_EQ(file->format, kPixelGray8);

  // Comments that do not begin with "qorvel" are not stored; sampling and progressive apply.
  ImageProps other = default_props();
  other.comment = "hello qorvel";
  other.jpeg_sampling_h = 2;
  other.jpeg_sampling_v = 1;
  other.progressive = true;
  ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file("rgb.jpg"), 32, 32, other);
  ASSERT_TRUE(writer);
  std::vector<uint8_t> row(96, 77);
  for (int y = 0; y < 32; ++y) ASSERT_TRUE(image_write_row(writer.get(), row.data()));
  ASSERT_TRUE(image_close(std::move(writer)));
  const std::string rgb = qv_test::read_file(dir.file("rgb.jpg"));
  EXPECT_EQ(find_marker(rgb, 0xFE), std::string::npos);
  EXPECT_NE(find_marker(rgb, 0xC2), std::string::npos);  // progressive frame
  ImageProps rgb_props;
  ImageFilePtr reader = image_open_read(dir.file("rgb.jpg"), &rgb_props);
  ASSERT_TRUE(reader);
  EXPECT_EQ(rgb_props.jpeg_sampling_h, 2);
  EXPECT_EQ(rgb_props.jpeg_sampling_v, 1);
  EXPECT_TRUE(read_everything(reader.get()));
}

TEST(JpegCodec, JfifDensityBecomesDotsPerInch) {
  TempDir dir;
  ASSERT_TRUE(write_gray(dir.file("d.jpg"), 16, 16, default_props()));
  const std::string original = qv_test::read_file(dir.file("d.jpg"));
  ASSERT_EQ(original.substr(6, 5), std::string("JFIF\0", 5));
  const struct {
    int unit, x, y, dpi_x, dpi_y;
  } rows[] = {
      {2, 118, 118, 300, 300},  // 118 × 2.54 = 299.72
      {2, 28, 40, 71, 102},    {1, 300, 150, 300, 150},
      {0, 3, 2, 0, 0},         {1, 1, 1, 0, 0},  // both 1: no resolution
  };
  for (const auto& row : rows) {
    std::string jpeg = original;
    jpeg[13] = char(row.unit);
    jpeg[14] = char(row.x >> 8);
    jpeg[15] = char(row.x);
    jpeg[16] = char(row.y >> 8);
    jpeg[17] = char(row.y);
    ASSERT_TRUE(qv_test::write_file(dir.file("e.jpg"), jpeg));
    ImageProps props;
    ASSERT_TRUE(image_open_read(dir.file("e.jpg"), &props));
    EXPECT_EQ(props.dpi_x, row.dpi_x) << row.unit << " " << row.x;
    EXPECT_EQ(props.dpi_y, row.dpi_y) << row.unit << " " << row.y;
  }
}

TEST(JpegCodec, MemoryWriterGrowsAndHandsOverTheFile) {
  std::vector<uint8_t> output;
  const int width = 300, height = 300;
  ImageProps props = default_props();
  props.jpeg_quality = 100;
  props.jpeg_sampling_h = props.jpeg_sampling_v = 1;
  ImageFilePtr writer = jpeg_create_memory_writer(width, height, kPixelRgb8, props, &output);
  ASSERT_TRUE(writer);
  std::vector<uint8_t> row(3 * width);
  uint32_t seed = 7;
  for (int y = 0; y < height; ++y) {
    for (uint8_t& sample : row) sample = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    ASSERT_TRUE(image_write_row(writer.get(), row.data()));
  }
  ASSERT_TRUE(image_close(std::move(writer)));
  ASSERT_GT(output.size(), 65536u);  // grew past its first buffer
  EXPECT_EQ(output[0], 0xFF);
  EXPECT_EQ(output[output.size() - 2], 0xFF);
  EXPECT_EQ(output[output.size() - 1], 0xD9);
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("m.jpg"), std::string(output.begin(), output.end())));
  ImageFilePtr reader = image_open_read(dir.file("m.jpg"), nullptr);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->width, width);
  EXPECT_TRUE(read_everything(reader.get()));
}

TEST(JpegCodec, RealFiles) {
  const struct {
    const char* path;
    bool opens;
    PixelFormat format;
    int dpi;  // expected dpi_x, -1: not checked
  } rows[] = {
      {"jpeg/gtk_image-cmyk.jpeg", true, kPixelRgb8, -1},     // CMYK, read as RGB
      {"jpeg/pillow_sample_cmyk.jpg", true, kPixelRgb8, -1},  // YCCK, read as RGB
      {"jpeg/golang_video-005.gray.jpeg", true, kPixelGray8, -1},
      {"jpeg/pillow_truncated_jpeg.jpg", false, kPixelUnsupported, -1},  // cut short
      {"jpeg/gdkpixbuf_dpi.jpeg", true, kPixelRgb8, 300},
      {"jpeg/golang_video-001.progressive.jpeg", true, kPixelRgb8, 71},  // 28 dots/cm
      {"jpeg/libjxl_flower_small_non_interleaved.jpg", true, kPixelRgb8, 0},
      {"jpeg/skimage_rocket.jpg", true, kPixelRgb8, -1},
      {"jpeg/exiftool_Ricoh2.jpg", true, kPixelRgb8, -1},
      {"jpeg/skimage_truncated.jpg", false, kPixelUnsupported, -1},
      {"jpeg/goexif_temple_square1_exifonly.jpg", false, kPixelUnsupported, -1},
  };
  for (const auto& row : rows) {
    ImageProps props;
    testing::internal::CaptureStdout();
    ImageFilePtr file = image_open_read(corpus_file(row.path), &props);
    bool read_all = file && read_everything(file.get());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(bool(file), row.opens) << row.path;
    if (!row.opens) {
      EXPECT_EQ(out.compare(0, 10, "libjpeg - "), 0) << row.path << ": " << out;
      continue;
    }
    EXPECT_EQ(out, "") << row.path;
    EXPECT_TRUE(read_all) << row.path;
    EXPECT_EQ(file->format, row.format) << row.path;
    if (row.dpi >= 0) {
      EXPECT_EQ(props.dpi_x, row.dpi) << row.path;
    }
    EXPECT_TRUE(image_close(std::move(file)));
  }
}

// A file cut in its data is refused with the decoder's reason (no grey filling); a file that
// lacks only its end-of-image marker has every pixel and is read.
TEST(JpegCodec, CutDataIsRefusedAndCorruptHeadersAreRefused) {
  TempDir dir;
  const struct {
    const char* name;
    bool progressive;
    int width, height;
    double kept;    // share of the file kept; 0: all but the two marker bytes
    bool read_all;  // every row is delivered
  } rows[] = {
      {"baseline cut in half", false, 256, 256, 0.5, false},
      {"baseline without its marker", false, 256, 256, 0, true},
      {"progressive cut in half", true, 256, 256, 0.5, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ImageProps props = default_props();
    props.progressive = row.progressive;
    ASSERT_TRUE(qv_test::write_samples(
        dir.file("whole.jpg"), kPixelRgb8, row.width, row.height, props,
        [](int x, int y, int c) { return qv_test::pattern_sample(x, y, c) >> 8; }));
    const std::string whole = qv_test::read_file(dir.file("whole.jpg"));
    const size_t kept =
        row.kept > 0 ? static_cast<size_t>(whole.size() * row.kept) : whole.size() - 2;
    ASSERT_TRUE(qv_test::write_file(dir.file("cut.jpg"), whole.substr(0, kept)));
    testing::internal::CaptureStdout();
    ImageFilePtr file = image_open_read(dir.file("cut.jpg"), nullptr);
    const bool read_all = file && read_everything(file.get());
    file.reset();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_all, row.read_all);
    EXPECT_EQ(out, row.read_all ? "" : "libjpeg - Premature end of input file\n");
  }

  ASSERT_TRUE(qv_test::write_file(dir.file("bad.jpg"), std::string("\xFF\xD8\xFF\xC0\x00\x02", 6)));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(image_open_read(dir.file("bad.jpg"), nullptr));
  EXPECT_EQ(testing::internal::GetCapturedStdout().compare(0, 10, "libjpeg - "), 0);
}

TEST(JpegCodec, ProbeReportsTheSize) {
  auto info = image_probe(corpus_file("jpeg/gdkpixbuf_dpi.jpeg"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 48);
  EXPECT_EQ(info->height, 48);
  // A file cut inside its Huffman tables, which the decoder refuses, still has its frame
  // header: the size is taken from there, silently.
  testing::internal::CaptureStdout();
  info = image_probe(corpus_file("jpeg/skimage_truncated.jpg"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 100);
  EXPECT_EQ(info->height, 100);
  // A camera header cut before any frame header has no size.
  info = image_probe(corpus_file("jpeg/goexif_temple_square1_exifonly.jpg"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 0);
  EXPECT_EQ(info->height, 0);
}

// Generated files cut at every length: the size is found exactly when the cut lies past the
// frame header, also where the decoder gives up.
TEST(JpegCodec, ProbeFindsTheSizeOfCutFiles) {
  TempDir dir;
  ASSERT_TRUE(write_gray(dir.file("whole.jpg"), 120, 70, default_props()));
  const std::string whole = qv_test::read_file(dir.file("whole.jpg"));
  const size_t frame = find_marker(whole, 0xC0);
  ASSERT_NE(frame, std::string::npos);
  for (size_t length = 4; length < std::min<size_t>(whole.size(), 700); ++length) {
    ASSERT_TRUE(qv_test::write_file(dir.file("cut.jpg"), whole.substr(0, length)));
    auto info = image_probe(dir.file("cut.jpg"));
    ASSERT_TRUE(info);
    const bool sized = length >= frame + 9;  // marker, length, precision, height, width
    EXPECT_EQ(info->width, sized ? 120 : 0) << length;
    EXPECT_EQ(info->height, sized ? 70 : 0) << length;
  }
}

}  // namespace
