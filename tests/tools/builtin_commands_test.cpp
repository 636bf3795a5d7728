// The ping and makethumb commands, run through the built qorveltools on generated and real
// images: exit statuses, exact output lines and the thumbnails written.
#include "render/thumbnail.h"

#include <gtest/gtest.h>

#include <vector>

#include "imageio/image_file.h"
#include "support/test_support.h"

namespace {

using qv_test::corpus_file;
using qv_test::run_qorveltools;
using qv_test::TempDir;

// Writes an image of a horizontal ramp in the given format.
void write_ramp(const std::string& path, PixelFormat format, int width, int height) {
  ImageProps props;
  image_default_props(&props);
  props.tiff_compression = 1;
  ImageFilePtr writer = image_create_write(format, path, width, height, props);
  ASSERT_TRUE(writer) << path;
  std::vector<uint8_t> row(size_t(writer->bytes_per_row));
  const int channels = writer->channels;
  const bool sixteen = format == kPixelRgb16 || format == kPixelRgba16;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        const uint32_t value = uint32_t(x * 255 / (width > 1 ? width - 1 : 1));
        if (sixteen) {
          uint16_t sample = uint16_t(value << 8 | value);
          memcpy(&row[size_t(2 * (x * channels + c))], &sample, 2);
        } else {
          row[size_t(x * channels + c)] = uint8_t(value);
        }
      }
    }
    ASSERT_TRUE(image_write_row(writer.get(), row.data()));
  }
  ASSERT_TRUE(image_close(std::move(writer)));
}

// Output with the figures of " - ms=" lines replaced by T, so lines can be compared exactly.
std::string without_times(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, end - start);
    if (line.compare(0, 6, " - ms=") == 0) line = " - ms=T\n";
    out += line;
    start = end;
  }
  return out;
}

TEST(ThumbnailSize, FitsIntoTheLimits) {
  const struct {
    int full_width, full_height, max_width, max_height, width, height;
  } rows[] = {
      {4000, 2000, 256, 256, 256, 128}, {4000, 2000, 300, 100, 200, 100},
      {2000, 4000, 256, 256, 128, 256}, {0, 100, 64, 64, 1, 64},
      {100000, 1, 256, 256, 256, 1},    {3, 2, 256, 256, 256, 171},
  };
  for (const auto& row : rows) {
    int32_t width = 0, height = 0;
    thumbnail_size(row.full_width, row.full_height, row.max_width, row.max_height, &width, &height);
    EXPECT_EQ(width, row.width) << row.full_width << "x" << row.full_height;
    EXPECT_EQ(height, row.height) << row.full_width << "x" << row.full_height;
  }
}

TEST(Ping, ReportsAJpegWithoutMetadata) {
  TempDir dir;
  write_ramp(dir.file("plain.jpg"), kPixelRgb8, 40, 20);
  auto result = run_qorveltools({"ping", dir.file("plain.jpg")});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(without_times(result.out), "pingimage - " + dir.file("plain.jpg") +
                                           "\n - size=40x20\n - gps=false\n - theta=false\n"
                                           " - iccprofile=false\n - thumbnail=false\n"
                                           " - comment=null\n - ms=T\n\n");
  EXPECT_EQ(result.err, "");
}

TEST(Ping, ReportsRealMetadata) {
  auto result = run_qorveltools({"ping", corpus_file("jpeg/xiaomi_IMG_20200124_231153.jpg")});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find(" - size=4000x3000\n - gps=true - lat=-15.835670 lng=-48.015564 "
                            "dir=0.000000\n - theta=false\n - iccprofile=false\n"
                            " - thumbnail=true - size=8639\n - comment=null\n"),
            std::string::npos)
      << result.out;
  result = run_qorveltools({"PING", corpus_file("jpeg/canon_IMG_1054.JPG")});
  EXPECT_NE(result.out.find(" - iccprofile=true - size=672 description=[GIMP built-in sRGB]\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(" - comment=[binary comment]\n"), std::string::npos);
  result = run_qorveltools({"ping", corpus_file("tiff/exiftool_ExifTool.tif")});
  EXPECT_NE(result.out.find(" - size=160x120\n"), std::string::npos);
  result = run_qorveltools({"ping", corpus_file("psd/vampyre_Tigers.psd")});
  EXPECT_NE(result.out.find(" - thumbnail=true - size=5214\n"), std::string::npos);
}

TEST(Ping, ProfileWithoutDescription) {
  TempDir dir;
  // A KRO file carrying 200 bytes that are no readable profile.
  std::vector<uint8_t> icc(200, 0);
  ImageProps props;
  image_default_props(&props);
  props.embed_icc = true;
  props.icc_data = icc.data();
  props.icc_size = 200;
  ImageFilePtr writer = image_create_write(kPixelRgb8, dir.file("p.kro"), 2, 1, props);
  ASSERT_TRUE(writer);
  uint8_t row[6] = {};
  ASSERT_TRUE(image_write_row(writer.get(), row));
  ASSERT_TRUE(image_close(std::move(writer)));
  auto result = run_qorveltools({"ping", dir.file("p.kro")});
  EXPECT_NE(result.out.find(" - iccprofile=true - size=200 description=[unknown format]\n"),
            std::string::npos)
      << result.out;
}

TEST(Ping, FailsSilently) {
  TempDir dir;
  qv_test::write_file(dir.file("text.jpg"), "not an image");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"ping"}, {"ping", dir.file("text.jpg")}, {"ping", dir.file("missing.jpg")}}) {
    auto result = run_qorveltools(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
  }
}

TEST(Makethumb, WritesTheThumbnail) {
  TempDir dir;
  const struct {
    const char* input;
    PixelFormat format;
    int width, height;
    std::vector<std::string> limits;
    const char* format_name;
    int out_width, out_height;
  } rows[] = {
      {"w.jpg", kPixelRgb8, 4000, 2000, {}, "RGB", 256, 128},
      {"w.tif", kPixelRgb8, 4000, 2000, {"300", "100"}, "RGB", 200, 100},
      {"g.tif", kPixelGray8, 300, 600, {"64"}, "Grayscale", 32, 64},
      {"a.tif", kPixelRgba16, 500, 250, {"100"}, "RGBA 16bit", 100, 50},
      {"b.tif", kPixelRgb16, 50, 25, {"100"}, "RGB 16bit", 100, 50},
      {"c.psd", kPixelRgba8, 640, 320, {"128", "128"}, "RGB", 128, 64},
      {"d.kro", kPixelRgba8, 640, 320, {"128", "128"}, "RGBA", 128, 64},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    const std::string input = dir.file(row.input);
    write_ramp(input, row.format, row.width, row.height);
    const std::string output = dir.file(std::string(row.input) + ".jpg");
    std::vector<std::string> args = {"makethumb", input, output};
    args.insert(args.end(), row.limits.begin(), row.limits.end());
    auto result = run_qorveltools(args);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, "");
    const int max_width = row.limits.empty() ? 256 : std::stoi(row.limits[0]);
    const int max_height = row.limits.size() < 2 ? max_width : std::stoi(row.limits[1]);
    const std::string data = qv_test::read_file(output);
    const std::string out = without_times(result.out);
    const std::string first = "inputimage:  " + input + " - ";
    ASSERT_EQ(out.compare(0, first.size(), first), 0) << out;
    const std::string rest =
        std::string(" - ") + row.format_name + "\noutputsize:  " + std::to_string(row.out_width) +
        "x" + std::to_string(row.out_height) + "\nmakethumb - " + input + " => " + output +
        " (max:" + std::to_string(max_width) + "x" + std::to_string(max_height) +
        ")\n - fs=" + std::to_string(data.size()) + " byte\n - ms=T\n\n";
    EXPECT_NE(out.find(rest), std::string::npos) << out;
    EXPECT_EQ(out.size(), out.find(rest) + rest.size()) << out;
    ImageProps props;
    ImageFilePtr thumbnail = image_open_read(output, &props);
    ASSERT_TRUE(thumbnail);
    EXPECT_EQ(thumbnail->width, row.out_width);
    EXPECT_EQ(thumbnail->height, row.out_height);
    EXPECT_EQ(thumbnail->format, row.format == kPixelGray8 ? kPixelGray8 : kPixelRgb8);
    EXPECT_EQ(props.dpi_x, 72);
    EXPECT_EQ(props.jpeg_sampling_h, 1);
    EXPECT_EQ(props.jpeg_sampling_v, 1);
    // The ramp survives: dark on the left, bright on the right.
    std::vector<uint8_t> pixels(size_t(thumbnail->bytes_per_row));
    ASSERT_TRUE(image_read_row(thumbnail.get(), pixels.data()));
    EXPECT_LT(pixels[0], 40);
    EXPECT_GT(pixels[pixels.size() - 1], 215);
  }
}

TEST(Makethumb, ReadsRealFilesAndRefusesTheOthers) {
  TempDir dir;
  const struct {
    const char* input;
    int status;
    std::string line;  // a line the output holds
  } rows[] = {
      {"pano/stellarium_moon_4k.jpg", 0, " - 512x256 - RGB\noutputsize:  256x128\n"},
      {"jpeg/golang_video-005.gray.jpeg", 0, " - 150x103 - Grayscale\n"},
      {"tiff/pillow_tiff_16bit_RGBa.tiff", 0, " - 100x40 - RGBA 16bit\n"},
      {"tiff/golang_video-001-tile-64x64.tiff", 0, " - 150x103 - RGB\n"},
      {"tiff/pillow_tiff_strip_planar_lzw.tiff", 0, " - 278x374 - RGB\n"},
      {"psd/w3c_markup_validation_service.psd", 0, " - 348x41 - RGBA 16bit\n"},
      {"psd/psdtools_0layers.psb", 0, "outputsize:  256x192\n"},
      {"png/pillow_pil123rgba.png", 0, " - 162x150 - RGBA\n"},
      {"jpeg/pillow_sample_cmyk.jpg", 0, " - 100x100 - RGB\noutputsize:  256x256\n"},
      {"png/pillow_copyleft.png", 0, " - 220x220 - RGB\n"},
      {"png/stellarium_sedna.png", 0, " - 512x256 - RGBA 16bit\n"},
      {"tiff/pillow_tiff_strip_cmyk_jpeg.tif", 1,
       "ERROR: unable to open inputimage " + corpus_file("tiff/pillow_tiff_strip_cmyk_jpeg.tif") +
           "\n       - cmyk tiff files are not supported!\nmakethumb - "},
      {"tiff/pillow_10ct_32bit_128.tiff", 1,
       "\n       - floating-point tiff files are not supported!\nmakethumb - "},
      {"tiff/golang_video-001-paletted.tiff", 1,
       "\n       - palette tiff files are not supported!\nmakethumb - "},
      {"psd/stylebook_christmas.psd", 1,
       "\n       - only flatten psd/psb files are supported!\nmakethumb - "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    const std::string output = dir.file("t.jpg");
    auto result = run_qorveltools({"makethumb", corpus_file(row.input), output});
    EXPECT_EQ(result.status, row.status);
    EXPECT_NE(result.out.find(row.line), std::string::npos) << result.out;
    EXPECT_EQ(qv_test::file_exists(output), row.status == 0);
    if (row.status != 0) {
      EXPECT_NE(result.out.find(" - fs=0 byte\n"), std::string::npos);
    }
    remove(output.c_str());
  }
}

TEST(Makethumb, Failures) {
  TempDir dir;
  write_ramp(dir.file("in.jpg"), kPixelRgb8, 64, 32);
  // Too few arguments: status 1 and nothing printed.
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"makethumb"}, {"makethumb", dir.file("in.jpg")}}) {
    auto result = run_qorveltools(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
  }
  // An output folder that does not exist.
  const std::string output = dir.file("missing/t.jpg");
  auto result = run_qorveltools({"makethumb", dir.file("in.jpg"), output});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "ERROR: creating file " + output + " failed!\n       - no such file or directory!\n");
  EXPECT_NE(result.out.find("outputsize:  256x128\n"), std::string::npos);
  // An unreadable input.
  result = run_qorveltools({"makethumb", dir.file("none.jpg"), dir.file("t.jpg")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(without_times(result.out), "ERROR: unable to open inputimage " + dir.file("none.jpg") +
                                           "\n       - no such file or directory!\nmakethumb - " +
                                           dir.file("none.jpg") + " => " + dir.file("t.jpg") +
                                           " (max:256x256)\n - fs=0 byte\n"
                                           " - ms=T\n\n");
}

}  // namespace
