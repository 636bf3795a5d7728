// PNG reading: accepted and refused real files, rows and reduced reading.
#include "imageio/png_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "support/test_images.h"
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
      {"png/pillow_copyleft.png", kPixelRgb8, 220, 220},        // gray, widened
      {"png/stellarium_sedna.png", kPixelRgba16, 512, 256},     // 16 bit
      {"png/pillow_broken_data_stream.png", kPixelUnsupported, 0, 0},
      {"png/pillow_broken.png", kPixelUnsupported, 0, 0},
  };
  for (const auto& row : rows) {
    ImageProps props;
    ImageFilePtr file = image_open_read(corpus_file(row.path), &props);
    if (row.format == kPixelUnsupported) {
      EXPECT_FALSE(file) << row.path;
      EXPECT_EQ(image_last_error(), "damaged or truncated png file") << row.path;
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

// ---- generated files of every colour type and depth ----

void put32(std::string* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(char(value >> shift));
}

void put_chunk(std::string* png, const char* type, const std::string& data) {
  put32(png, uint32_t(data.size()));
  const std::string body = std::string(type, 4) + data;
  *png += body;
  put32(png, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
}

// A PNG of the given colour type and depth whose stored sample c of pixel (x, y) is
// sample(x, y, c) (palette: the index), rows unfiltered; extra chunks go before the data.
template <typename SampleFn>
std::string make_png(int width, int height, int colour_type, int depth, const std::string& extra,
                     SampleFn sample) {
  static const int kSamples[7] = {1, 0, 3, 1, 2, 0, 4};
  const int samples = kSamples[colour_type];
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    uint32_t bits = 0;
    int filled = 0;
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < samples; ++c) {
        const uint32_t value = sample(x, y, c);
        if (depth == 16) {
          raw.push_back(char(value >> 8));
          raw.push_back(char(value));
          continue;
        }
        bits = bits << depth | value;
        filled += depth;
        if (filled == 8) {
          raw.push_back(char(bits));
          bits = 0;
          filled = 0;
        }
      }
    }
    if (filled > 0) raw.push_back(char(bits << (8 - filled)));
  }
  uLongf packed_size = compressBound(uLong(raw.size()));
  std::string packed(packed_size, '\0');
  compress(reinterpret_cast<Bytef*>(&packed[0]), &packed_size,
           reinterpret_cast<const Bytef*>(raw.data()), uLong(raw.size()));
  packed.resize(packed_size);
  std::string header;
  put32(&header, uint32_t(width));
  put32(&header, uint32_t(height));
  header += {char(depth), char(colour_type), 0, 0, 0};
  std::string png = "\x89PNG\r\n\x1A\n";
  put_chunk(&png, "IHDR", header);
  png += extra;
  put_chunk(&png, "IDAT", packed);
  put_chunk(&png, "IEND", "");
  return png;
}

// Every colour type and depth is delivered as RGB or RGBA of 8 or 16 bits, gray widened.
TEST(PngCodec, EveryColourTypeBecomesRgbOrRgba) {
  TempDir dir;
  const int width = 7, height = 5;
  const auto level = [](int x, int y, int c, int depth) {
    return uint32_t((x * 37 + y * 101 + c * 53) % (1 << depth));
  };
  std::string palette;
  for (int i = 0; i < 4; ++i) palette += {char(10 * i), char(200 - i), char(60 + 3 * i)};
  std::string palette_chunk, alpha_chunk, rgb_key_chunk;
  put_chunk(&palette_chunk, "PLTE", palette);
  put_chunk(&alpha_chunk, "tRNS", std::string("\xFF\x80\x00\x40", 4));
  // The colour of pixel (0, 0), 0 53 106, is the transparent one.
  put_chunk(&rgb_key_chunk, "tRNS", std::string("\x00\x00\x00\x35\x00\x6A", 6));
  const struct {
    const char* name;
    int colour_type, depth;
    const std::string* extra;
    PixelFormat format;
  } rows[] = {
      {"gray 8", 0, 8, nullptr, kPixelRgb8},
      {"gray 1", 0, 1, nullptr, kPixelRgb8},
      {"gray 16", 0, 16, nullptr, kPixelRgb16},
      {"gray alpha 8", 4, 8, nullptr, kPixelRgba8},
      {"gray alpha 16", 4, 16, nullptr, kPixelRgba16},
      {"rgb 8", 2, 8, nullptr, kPixelRgb8},
      {"rgb 16", 2, 16, nullptr, kPixelRgb16},
      {"rgb 8 with a transparent colour", 2, 8, &rgb_key_chunk, kPixelRgba8},
      {"rgba 8", 6, 8, nullptr, kPixelRgba8},
      {"rgba 16", 6, 16, nullptr, kPixelRgba16},
      {"palette 2", 3, 2, &palette_chunk, kPixelRgb8},
      {"palette 2 with alpha", 3, 2, nullptr, kPixelRgba8},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string extra = row.extra ? *row.extra : "";
    if (!row.extra && row.colour_type == 3) extra = palette_chunk + alpha_chunk;
    const int depth = row.depth;
    const std::string png = make_png(width, height, row.colour_type, depth, extra,
                                     [&](int x, int y, int c) { return level(x, y, c, depth); });
    ASSERT_TRUE(qv_test::write_file(dir.file("p.png"), png));
    const qv_test::Pixels pixels = qv_test::read_pixels(dir.file("p.png"));
    ASSERT_TRUE(pixels.ok);
    ASSERT_EQ(pixels.format, row.format);
    const bool wide = depth == 16;
    const int channels = row.format == kPixelRgba8 || row.format == kPixelRgba16 ? 4 : 3;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        uint32_t expected[4];
        if (row.colour_type == 3) {
          const uint32_t index = level(x, y, 0, depth);
          for (int c = 0; c < 3; ++c) expected[c] = uint8_t(palette[3 * index + c]);
          expected[3] = uint8_t("\xFF\x80\x00\x40"[index]);
        } else {
          const bool gray = row.colour_type == 0 || row.colour_type == 4;
          const uint32_t scale = depth < 8 ? 255 / ((1u << depth) - 1) : 1;  // 1 bit: 0 or 255
          for (int c = 0; c < 3; ++c) expected[c] = level(x, y, gray ? 0 : c, depth) * scale;
          const int alpha_sample = row.colour_type == 4 ? 1 : 3;
          expected[3] =
              row.colour_type == 4 || row.colour_type == 6
                  ? level(x, y, alpha_sample, depth)
                  : (expected[0] == 0 && expected[1] == 53 && expected[2] == 106 ? 0 : 255);
        }
        const uint8_t* at = pixels.at(x, y);
        for (int c = 0; c < channels; ++c) {
          uint32_t value = at[c];
          if (wide) {
            uint16_t sample;
            memcpy(&sample, at + 2 * c, 2);  // machine order
            value = sample;
          }
          ASSERT_EQ(value, expected[c]) << "x " << x << " y " << y << " c " << c;
        }
      }
    }
  }
}

}  // namespace

// Found by fuzzing: a header followed by an empty data chunk cut short made the decoder copy zero
// bytes from a null buffer. The file is refused cleanly (the sanitizer build checks the rest).
TEST(PngCodec, EmptyDataChunkAtTheEndIsRefused) {
  const unsigned char bytes[] = {0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00,
                                 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00,
                                 0x00, 0x80, 0x08, 0x02, 0x00, 0x00, 0x00, 0xc7, 0x6f, 0xa8, 0x64,
                                 0x00, 0x00, 0x00, 0x00, 0x49, 0x44, 0x41, 0x54};
  TempDir dir;
  const std::string path = dir.file("cut.png");
  ASSERT_TRUE(
      qv_test::write_file(path, std::string(reinterpret_cast<const char*>(bytes), sizeof bytes)));
  ImageProps props;
  ImageFilePtr file = image_open_read(path, &props);
  if (file) {
    std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
    for (int32_t y = 0; y < file->height; ++y) image_read_row(file.get(), row.data());
  }
  image_clear_last_error();
}

// Found by fuzzing: a chunk declaring about 2 GiB in a small file made the decoder reserve that
// much memory before noticing the file ends. Such a file is refused as damaged first.
TEST(PngCodec, ChunkLongerThanTheFileIsRefused) {
  std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x10\0\0\0\x10\x08\x02\0\0\0\0\0\0\0",
                    33);
  bytes += std::string("\x7f\xff\xff\xf0IDAT", 8) + std::string(64, 'x');
  TempDir dir;
  const std::string path = dir.file("long.png");
  ASSERT_TRUE(qv_test::write_file(path, bytes));
  ImageProps props;
  EXPECT_EQ(image_open_read(path, &props), nullptr);
  EXPECT_FALSE(image_last_error().empty());
  image_clear_last_error();
}
