// TIFF and BigTIFF: exact round trips for every writable format and lossless compression,
// written tags, reduced reading, the layouts of real files and the refused ones.
#include "imageio/tiff_codec.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::corpus_file;
using qv_test::default_props;
using qv_test::TempDir;

// Creates a TIFF for writing with the library directly: width × height, 8-bit samples of the
// given count and photometric interpretation. Null when it cannot be created.
TIFF* create_8bit_tiff(const std::string& path, uint32_t width, uint32_t height, int samples,
                       int photometric) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  if (!tiff) return nullptr;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
  return tiff;
}

// Deterministic pixel bytes of a row.
std::vector<uint8_t> row_bytes(int64_t size, int row, int seed) {
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  uint32_t state = 2654435761u * uint32_t(row + 1) + uint32_t(seed);
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = uint8_t(state >> 16);
  }
  return bytes;
}

// Writes an image of deterministic rows and returns the rows.
std::vector<std::vector<uint8_t>> write_image(const std::string& path, PixelFormat format,
                                              int width, int height, const ImageProps& props) {
  std::vector<std::vector<uint8_t>> rows;
  ImageFilePtr writer = image_create_write(format, path, width, height, props);
  EXPECT_TRUE(writer) << path;
  if (!writer) return rows;
  for (int y = 0; y < height; ++y) {
    rows.push_back(row_bytes(writer->bytes_per_row, y, format));
    std::vector<uint8_t> copy = rows.back();
    EXPECT_TRUE(image_write_row(writer.get(), copy.data()));
  }
  EXPECT_TRUE(image_close(std::move(writer)));
  return rows;
}

std::vector<std::vector<uint8_t>> read_image(const std::string& path, ImageProps* props,
                                             PixelFormat* format) {
  std::vector<std::vector<uint8_t>> rows;
  ImageFilePtr reader = image_open_read(path, props);
  if (!reader) return rows;
  *format = reader->format;
  for (int y = 0; y < reader->height; ++y) {
    std::vector<uint8_t> row(static_cast<size_t>(reader->bytes_per_row));
    EXPECT_TRUE(image_read_row(reader.get(), row.data()));
    rows.push_back(row);
  }
  EXPECT_TRUE(image_close(std::move(reader)));
  return rows;
}

// A TIFF tag value as libtiff reads it back.
template <typename T>
T tag_of(const std::string& path, uint32_t tag) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  T value{};
  if (tiff) {
    TIFFGetField(tiff, tag, &value);
    TIFFClose(tiff);
  }
  return value;
}

TEST(TiffCodec, RoundTripsAreExact) {
  TempDir dir;
  const PixelFormat formats[] = {kPixelGray8, kPixelRgb8, kPixelRgba8, kPixelRgb16, kPixelRgba16};
  const char* names[] = {"a.tif", "a.tiff", "a.bigtiff", "a.btf", "a.tf8"};
  for (int compression = 1; compression <= 3; ++compression) {
    for (PixelFormat format : formats) {
      for (const char* name : names) {
        const std::string path = dir.file(std::to_string(compression) + name);
        ImageProps props = default_props();
        props.tiff_compression = compression;
        auto written = write_image(path, format, 37, 23, props);
        const bool big = image_kind_for_extension(path) == kImageBigTiff;
        std::string head = qv_test::read_file(path).substr(0, 4);
        EXPECT_EQ(head, big ? std::string("II\x2B\x00", 4) : std::string("II\x2A\x00", 4));
        ImageProps read_props;
        PixelFormat read_format = kPixelUnsupported;
        auto read = read_image(path, &read_props, &read_format);
        EXPECT_EQ(read_format, format) << path;
        EXPECT_EQ(read, written) << path << " format " << format;
        EXPECT_EQ(read_props.tiff_compression, compression);
        EXPECT_EQ(read_props.width, 37);
        EXPECT_EQ(read_props.height, 23);
      }
    }
  }
}

TEST(TiffCodec, HandleLayoutOfSixteenBitRgb) {
  TempDir dir;
  write_image(dir.file("a.tif"), kPixelRgb16, 10, 3, default_props());
  ImageFilePtr reader = image_open_read(dir.file("a.tif"), nullptr);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->format, kPixelRgb16);
  EXPECT_EQ(reader->bits_per_pixel, 48);
  EXPECT_EQ(reader->bytes_per_row, 60);
  EXPECT_EQ(reader->channels, 3);
  EXPECT_EQ(reader->kind, kImageTiff);
}

TEST(TiffCodec, JpegCompressionKeepsSizeAndRoughPixels) {
  TempDir dir;
  ImageProps props = default_props();
  props.tiff_compression = 4;
  props.jpeg_quality = 95;
  ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file("j.tif"), 64, 40, props);
  ASSERT_TRUE(writer);
  std::vector<uint8_t> row(64 * 3);
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 64 * 3; ++x) row[size_t(x)] = uint8_t(100 + (x % 3) * 40);
    ASSERT_TRUE(image_write_row(writer.get(), row.data()));
  }
  ASSERT_TRUE(image_close(std::move(writer)));
  EXPECT_EQ(tag_of<uint16_t>(dir.file("j.tif"), TIFFTAG_COMPRESSION), COMPRESSION_JPEG);
  ImageProps read_props;
  PixelFormat format = kPixelUnsupported;
  auto rows = read_image(dir.file("j.tif"), &read_props, &format);
  ASSERT_EQ(rows.size(), 40u);
  EXPECT_EQ(read_props.tiff_compression, 4);
  EXPECT_NEAR(rows[20][30 * 3 + 1], 140, 3);
}

// Resolutions no image can have (found by fuzzing: a huge float overflowed the conversion to
// whole dots per inch) read as none; ordinary ones in either unit are rounded.
TEST(TiffCodec, OutOfRangeResolutionsReadAsNone) {
  TempDir dir;
  const struct {
    float x;
    uint16_t unit;
    int32_t expected;
  } rows[] = {
      {300.4f, RESUNIT_INCH, 300},
      {118.11f, RESUNIT_CENTIMETER, 300},
      {3e38f, RESUNIT_INCH, 0},
      {1e9f, RESUNIT_CENTIMETER, 0},
      {-72.0f, RESUNIT_INCH, 0},
      {std::numeric_limits<float>::quiet_NaN(), RESUNIT_INCH, 0},
      {std::numeric_limits<float>::infinity(), RESUNIT_INCH, 0},
  };
  for (const auto& row : rows) {
    const std::string path = dir.file("r.tif");
    TIFF* tiff = create_8bit_tiff(path, 4u, 2u, 3, PHOTOMETRIC_RGB);
    ASSERT_TRUE(tiff);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, row.x);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, row.x);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, row.unit);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 2u);
    const uint8_t pixels[4 * 3] = {};
    for (uint32_t y = 0; y < 2; ++y) TIFFWriteScanline(tiff, const_cast<uint8_t*>(pixels), y, 0);
    TIFFClose(tiff);
    ImageProps props;
    ASSERT_TRUE(image_open_read(path, &props)) << row.x;
    EXPECT_EQ(props.dpi_x, row.expected) << row.x;
    EXPECT_EQ(props.dpi_y, row.expected) << row.x;
  }
}

TEST(TiffCodec, WrittenTags) {
  TempDir dir;
  const struct {
    PixelFormat format;
    int32_t compression;
    int32_t dpi_x, dpi_y;
    uint16_t expected_compression;
    float expected_x, expected_y;
  } rows[] = {
      {kPixelRgb8, 5, 0, 300, COMPRESSION_LZW, 72, 300},
      {kPixelRgb16, 5, 20000, 300, COMPRESSION_ADOBE_DEFLATE, 72, 72},
      {kPixelGray8, 0, 150, 150, COMPRESSION_LZW, 150, 150},
      {kPixelRgba16, 1, 10000, 1, COMPRESSION_NONE, 10000, 1},
  };
  for (const auto& row : rows) {
    ImageProps props = default_props();
    props.tiff_compression = row.compression;
    props.dpi_x = row.dpi_x;
    props.dpi_y = row.dpi_y;
    const std::string path = dir.file("t.tif");
    write_image(path, row.format, 8, 8, props);
    EXPECT_EQ(tag_of<uint16_t>(path, TIFFTAG_COMPRESSION), row.expected_compression);
    EXPECT_EQ(tag_of<float>(path, TIFFTAG_XRESOLUTION), row.expected_x);
    EXPECT_EQ(tag_of<float>(path, TIFFTAG_YRESOLUTION), row.expected_y);
    EXPECT_EQ(tag_of<uint16_t>(path, TIFFTAG_RESOLUTIONUNIT), RESUNIT_INCH);
    ImageProps read_props;
    ASSERT_TRUE(image_open_read(path, &read_props));
    EXPECT_EQ(read_props.dpi_x, int(row.expected_x));
  }
  // JPEG strips: the library's default for the same settings, rounded down to a multiple of 8,
  // plus 8.
  ImageProps props = default_props();
  props.tiff_compression = 4;
  write_image(dir.file("j.tif"), kPixelRgb8, 1000, 200, props);
  uint32_t rows_per_strip = tag_of<uint32_t>(dir.file("j.tif"), TIFFTAG_ROWSPERSTRIP);
  TIFF* probe = create_8bit_tiff(dir.file("probe.tif"), 1000u, 200u, 3, PHOTOMETRIC_RGB);
  ASSERT_TRUE(probe);
  TIFFSetField(probe, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
  uint32_t library_default = TIFFDefaultStripSize(probe, 0);
  TIFFClose(probe);
  EXPECT_EQ(rows_per_strip, library_default / 8 * 8 + 8);
  EXPECT_EQ(library_default, 16u);  // 8192-byte strips of 3000-byte rows, rounded to 16
  EXPECT_EQ(rows_per_strip, 24u);
}

// The extra samples a file declares: their count and the first one's meaning (0 when none).
std::pair<uint16_t, uint16_t> extra_samples(const std::string& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (!tiff) return {0, 0};
  uint16_t count = 0;
  uint16_t* values = nullptr;
  std::pair<uint16_t, uint16_t> result{0, 0};
  if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &values) && count > 0) {
    result = {count, values[0]};
  }
  TIFFClose(tiff);
  return result;
}

// The fourth sample of RGBA files is declared unassociated alpha; other layouts have no extra
// samples. Readers then see alpha, not a fourth colour.
TEST(TiffCodec, AlphaIsDeclaredUnassociated) {
  TempDir dir;
  const struct {
    PixelFormat format;
    const char* name;
    uint16_t count;
  } rows[] = {
      {kPixelGray8, "g.tif", 0},   {kPixelRgb8, "c.tif", 0},     {kPixelRgba8, "a.tif", 1},
      {kPixelRgb16, "c16.tif", 0}, {kPixelRgba16, "a16.btf", 1}, {kPixelRgba8, "z.tif", 1},
  };
  for (const auto& row : rows) {
    ImageProps props = default_props();
    if (row.name[0] == 'z') props.tiff_compression = 3;  // Deflate
    const std::string path = dir.file(row.name);
    write_image(path, row.format, 9, 5, props);
    testing::internal::CaptureStderr();
    const auto extra = extra_samples(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << row.name;  // no library warning
    EXPECT_EQ(extra.first, row.count) << row.name;
    if (row.count > 0) {
      EXPECT_EQ(extra.second, EXTRASAMPLE_UNASSALPHA) << row.name;
    }
    ImageFilePtr reader = image_open_read(path, nullptr);
    ASSERT_TRUE(reader) << row.name;
    EXPECT_EQ(reader->format, row.format) << row.name;
  }
}

// Standard output and status of a shell command with its standard error joined to it.
std::pair<int, std::string> run_command(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, output};
  char buffer[4096];
  size_t count = 0;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  return {pclose(pipe), output};
}

bool have_command(const char* name) {
  return run_command(std::string("command -v ") + name).first == 0;
}

// libtiff's own tiffinfo and libvips (peers the benchmark set-up installs) read the RGBA files
// without a warning and see the alpha channel; skipped when neither is installed.
TEST(TiffCodec, PeersReadTheAlphaWithoutWarnings) {
  const bool tiffinfo = have_command("tiffinfo");
  const bool vips = have_command("vips");
  if (!tiffinfo && !vips) GTEST_SKIP() << "neither tiffinfo nor vips is installed";
  TempDir dir;
  for (PixelFormat format : {kPixelRgba8, kPixelRgba16}) {
    const std::string path = dir.file("a.tif");
    const auto rows = write_image(path, format, 6, 4, default_props());
    ASSERT_EQ(rows.size(), 4u);
    if (tiffinfo) {
      const auto result = run_command("tiffinfo '" + path + "'");
      EXPECT_EQ(result.first, 0);
      EXPECT_NE(result.second.find("Extra Samples: 1<unassoc-alpha>"), std::string::npos)
          << result.second;
      EXPECT_EQ(result.second.find("Warning"), std::string::npos) << result.second;
    }
    if (vips) {
      // Pixel (5, 3): its four samples as vips reads them, with nothing on standard error.
      const auto result = run_command("vips getpoint '" + path + "' 5 3");
      EXPECT_EQ(result.first, 0);
      std::string expected;
      const bool wide = format == kPixelRgba16;
      for (int c = 0; c < 4; ++c) {
        const uint8_t* sample = rows[3].data() + (wide ? 8 * 5 + 2 * c : 4 * 5 + c);
        const int value = wide ? sample[0] | sample[1] << 8 : sample[0];
        expected += std::to_string(value) + " ";
      }
      EXPECT_EQ(result.second, expected + "\n");
    }
  }
}

TEST(TiffCodec, DescriptionAndProfile) {
  TempDir dir;
  std::vector<uint8_t> icc(3144);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = uint8_t(i * 7);
  ImageProps props = default_props();
  props.comment = "qorvel sphere 4000";
  props.embed_icc = true;
  props.icc_data = icc.data();
  props.icc_size = int32_t(icc.size());
  write_image(dir.file("d.tif"), kPixelRgb8, 4, 4, props);
  ImageProps read_props;
  ASSERT_TRUE(image_open_read(dir.file("d.tif"), &read_props));
  EXPECT_EQ(read_props.comment, "qorvel sphere 4000");
  auto info = image_probe(dir.file("d.tif"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->icc, icc);
  EXPECT_EQ(info->width, 4);
  // A description of another program is neither written nor read as the comment.
  props.comment = "made elsewhere";
  write_image(dir.file("e.tif"), kPixelRgb8, 4, 4, props);
  EXPECT_EQ(tag_of<const char*>(dir.file("e.tif"), TIFFTAG_IMAGEDESCRIPTION), nullptr);
  ASSERT_TRUE(image_open_read(corpus_file("tiff/exiftool_ExifTool.tif"), &read_props));
  EXPECT_EQ(read_props.comment, "");
}

// One row per strip: 8000 rows with a hint of 500 deliver source rows 16 × n.
TEST(TiffCodec, ReducedReadingOneRowPerStrip) {
  TempDir dir;
  const std::string path = dir.file("tall.tif");
  TIFF* tiff = create_8bit_tiff(path, 3u, 8000u, 1, PHOTOMETRIC_MINISBLACK);
  ASSERT_TRUE(tiff);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 1u);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  for (uint32_t y = 0; y < 8000; ++y) {
    uint8_t row[3] = {uint8_t(y), uint8_t(y >> 8), 7};
    ASSERT_EQ(TIFFWriteScanline(tiff, row, y, 0), 1);
  }
  TIFFClose(tiff);
  LoadHint hint{true, 100, 500};
  ImageProps props;
  props.load_hint = &hint;
  ImageFilePtr reader = image_open_read(path, &props);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->height, 500);
  EXPECT_EQ(reader->width, 3);
  EXPECT_EQ(props.height, 8000);
  for (int n = 0; n < 500; ++n) {
    uint8_t row[3];
    ASSERT_TRUE(image_read_row(reader.get(), row));
    ASSERT_EQ(row[0] | row[1] << 8, 16 * n) << n;
  }
}

// Many rows per strip: whole strips are skipped when the hint is small enough.
TEST(TiffCodec, ReducedReadingByStrips) {
  TempDir dir;
  ImageProps props = default_props();
  props.tiff_compression = 3;
  const std::string path = dir.file("s.tif");
  auto written = write_image(path, kPixelRgb8, 300, 2000, props);
  uint32_t rows_per_strip = tag_of<uint32_t>(path, TIFFTAG_ROWSPERSTRIP);
  ASSERT_GT(rows_per_strip, 1u);
  const int max_height = int(2000 / rows_per_strip / 2);
  ASSERT_GT(max_height, 0);
  LoadHint hint{true, 300, max_height};
  ImageProps read_props;
  read_props.load_hint = &hint;
  PixelFormat format = kPixelUnsupported;
  auto rows = read_image(path, &read_props, &format);
  ASSERT_EQ(int(rows.size()), max_height);
  for (int n = 0; n < max_height; ++n)
    EXPECT_EQ(rows[size_t(n)], written[size_t(n * 2000 / max_height)]);
}

// The same picture stored as strips, tiles, planes or gray delivers the same pixels.
TEST(TiffCodec, RealFileLayouts) {
  ImageProps props;
  PixelFormat format = kPixelUnsupported;
  auto strips = read_image(corpus_file("tiff/golang_video-001.tiff"), &props, &format);
  ASSERT_EQ(strips.size(), 103u);
  EXPECT_EQ(format, kPixelRgb8);
  EXPECT_EQ(props.tiff_compression, 3);
  auto tiles = read_image(corpus_file("tiff/golang_video-001-tile-64x64.tiff"), &props, &format);
  EXPECT_EQ(tiles, strips);
  auto sixteen = read_image(corpus_file("tiff/golang_video-001-16bit.tiff"), &props, &format);
  ASSERT_EQ(sixteen.size(), 103u);
  EXPECT_EQ(format, kPixelRgb16);
  for (size_t i = 0; i < 150 * 3; ++i) {
    uint16_t sample;
    memcpy(&sample, sixteen[50].data() + 2 * i, 2);
    EXPECT_EQ(sample >> 8, strips[50][i]) << i;
  }
  auto gray = read_image(corpus_file("tiff/golang_video-001-gray.tiff"), &props, &format);
  EXPECT_EQ(format, kPixelGray8);
  ASSERT_EQ(gray.size(), 103u);
  EXPECT_EQ(gray[0].size(), 150u);
  // Planar strips deliver interleaved rows, as the same data read by the library does.
  const std::string planar = corpus_file("tiff/pillow_tiff_strip_planar_lzw.tiff");
  auto rows = read_image(planar, &props, &format);
  ASSERT_EQ(rows.size(), 374u);
  EXPECT_EQ(format, kPixelRgb8);
  TIFF* tiff = TIFFOpen(planar.c_str(), "r");
  ASSERT_TRUE(tiff);
  std::vector<uint8_t> plane(278);
  for (uint16_t sample = 0; sample < 3; ++sample) {
    // The library decodes LZW rows of a plane in order only.
    for (uint32_t y = 0; y <= 200; ++y)
      ASSERT_EQ(TIFFReadScanline(tiff, plane.data(), y, sample), 1);
    for (int x = 0; x < 278; ++x) ASSERT_EQ(rows[200][size_t(x * 3 + sample)], plane[size_t(x)]);
  }
  TIFFClose(tiff);
  // Resolution in centimetres, RGBA, 16-bit RGBA, BigTIFF.
  read_image(corpus_file("tiff/rusttiff_Transparency-lzw.tif"), &props, &format);
  EXPECT_EQ(format, kPixelRgba8);
  read_image(corpus_file("tiff/pillow_tiff_16bit_RGBa.tiff"), &props, &format);
  EXPECT_EQ(format, kPixelRgba16);
  auto big = read_image(corpus_file("tiff/exiftool_BigTIFF.btf"), &props, &format);
  EXPECT_EQ(big.size(), 8u);
  EXPECT_EQ(format, kPixelRgb8);
}

// Gray stored min-is-white is delivered min-is-black, as every other gray row.
TEST(TiffCodec, MinIsWhiteGrayIsInverted) {
  TempDir dir;
  const std::string path = dir.file("white.tif");
  TIFF* tiff = create_8bit_tiff(path, 3u, 1u, 1, PHOTOMETRIC_MINISWHITE);
  ASSERT_TRUE(tiff);
  uint8_t stored[3] = {0, 100, 255};
  ASSERT_EQ(TIFFWriteScanline(tiff, stored, 0, 0), 1);
  TIFFClose(tiff);
  ImageFilePtr reader = image_open_read(path, nullptr);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->format, kPixelGray8);
  uint8_t row[3];
  ASSERT_TRUE(image_read_row(reader.get(), row));
  EXPECT_EQ(row[0], 255);
  EXPECT_EQ(row[1], 155);
  EXPECT_EQ(row[2], 0);
}

TEST(TiffCodec, RefusedLayouts) {
  const struct {
    const char* path;
    const char* detail;  // what the reader leaves for the tools
  } refused[] = {
      {"tiff/pillow_10ct_32bit_128.tiff", "floating-point tiff files are not supported"},
      {"tiff/vampyre_Tigers.tif", "floating-point tiff files are not supported"},  // 16-bit RGBA
      {"tiff/pillow_tiff_strip_cmyk_jpeg.tif", "cmyk tiff files are not supported"},
      {"tiff/golang_video-001-paletted.tiff", "palette tiff files are not supported"},
      {"tiff/pillow_16bit.MM.deflate.tif", "16-bit gray files are not supported"},
      {"tiff/golang_bw-packbits.tiff", "1-bit tiff files are not supported"},
      {"tiff/pillow_hopper.Lab.tif", "only gray, rgb and rgba tiff files are supported"},
      // YCbCr old-style JPEG
      {"tiff/libtiff_ojpeg_zackthecat.tiff", "only gray, rgb and rgba tiff files are supported"},
      // 1073741824 pixels wide in 336 bytes
      {"tiff/gdkpixbuf_bug780269.tif", "damaged or truncated tiff file"},
  };
  for (const auto& row : refused) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(image_open_read(corpus_file(row.path), nullptr)) << row.path;
    EXPECT_EQ(image_last_error(), row.detail) << row.path;
    // The library is silent.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << row.path;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << row.path;
  }
  // Generated layouts: 32-bit integers, 4-bit gray and tiled planar data.
  TempDir dir;
  const struct {
    const char* name;
    int bits, samples, photometric;
    bool tiled_planar;
    const char* detail;
  } generated[] = {
      {"i32.tif", 32, 3, PHOTOMETRIC_RGB, false, "32-bit tiff files are not supported"},
      {"g4.tif", 4, 1, PHOTOMETRIC_MINISBLACK, false, "4-bit tiff files are not supported"},
      {"ga.tif", 8, 2, PHOTOMETRIC_RGB, false, "only gray, rgb and rgba tiff files are supported"},
      {"tp.tif", 8, 3, PHOTOMETRIC_RGB, true, "tiled planar tiff files are not supported"},
  };
  for (const auto& row : generated) {
    const std::string path = dir.file(row.name);
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_TRUE(tiff);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 16u);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 16u);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, row.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, row.samples);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, row.photometric);
    std::vector<uint8_t> data(16 * 16 * 4 * 4);
    if (row.tiled_planar) {
      TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, 16u);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, 16u);
      for (uint32_t plane = 0; plane < 3; ++plane) {
        ASSERT_GT(TIFFWriteEncodedTile(tiff, plane, data.data(), 256), 0);
      }
    } else {
      TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16u);
      ASSERT_GT(TIFFWriteEncodedStrip(tiff, 0, data.data(), TIFFStripSize(tiff)), 0);
    }
    TIFFClose(tiff);
    EXPECT_FALSE(image_open_read(path, nullptr)) << row.name;
    EXPECT_EQ(image_last_error(), row.detail) << row.name;
  }
}

TEST(TiffCodec, WriterRefusesWhatItCannotWrite) {
  TempDir dir;
  EXPECT_FALSE(image_create_write(kPixelUnsupported, dir.file("a.tif"), 4, 4, default_props()));
  EXPECT_FALSE(image_create_write(kPixelRgb8, dir.file("missing/a.tif"), 4, 4, default_props()));
  // A writer closed before its last row reports an incomplete file.
  ImageFilePtr writer =
      image_create_write(kPixelRgb8, dir.file("short.tif"), 4, 4, default_props());
  ASSERT_TRUE(writer);
  uint8_t row[12] = {};
  ASSERT_TRUE(image_write_row(writer.get(), row));
  EXPECT_FALSE(image_close(std::move(writer)));
}

}  // namespace
