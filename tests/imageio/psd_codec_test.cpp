// PSD and PSB: exact round trips, the written layout with a profile, PackBits against raw
// data, channel counts and colour modes, layered documents and the single-layer shortcut.
#include "imageio/psd_codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "imageio/image_file.h"
#include "support/test_images.h"
#include "support/test_support.h"
#include "tests/imageio/format_builders.h"

namespace {

using qv_test::build_psd;
using qv_test::corpus_file;
using qv_test::default_props;
using qv_test::PsdLayout;
using qv_test::TempDir;

std::string noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (auto& byte : bytes) {
    seed = seed * 1103515245u + 12345u;
    byte = char(seed >> 16);
  }
  return bytes;
}

// Turns the "ignorelayers" setting on for one scope.
struct IgnoreLayers {
  IgnoreLayers() { psd_set_ignore_layers(true); }
  ~IgnoreLayers() { psd_set_ignore_layers(false); }
};

std::vector<std::string> read_rows(const std::string& path, PixelFormat* format,
                                   ImageProps* props = nullptr) {
  std::vector<std::string> rows;
  ImageFilePtr reader = image_open_read(path, props);
  if (!reader) return rows;
  *format = reader->format;
  std::string row(size_t(reader->bytes_per_row), '\0');
  for (int y = 0; y < reader->height; ++y) {
    EXPECT_TRUE(image_read_row(reader.get(), &row[0]));
    rows.push_back(row);
  }
  EXPECT_TRUE(image_close(std::move(reader)));
  return rows;
}

TEST(PsdCodec, RoundTripsAreExact) {
  TempDir dir;
  const struct {
    PixelFormat written;
    PixelFormat read;  // alpha is not written
  } formats[] = {{kPixelRgb8, kPixelRgb8},
                 {kPixelRgba8, kPixelRgb8},
                 {kPixelRgb16, kPixelRgb16},
                 {kPixelRgba16, kPixelRgb16}};
  for (const char* name : {"a.psd", "a.psb"}) {
    for (const auto& format : formats) {
      const std::string path = dir.file(name);
      const int width = 29, height = 17;
      const int sample = (format.written == kPixelRgb16 || format.written == kPixelRgba16) ? 2 : 1;
      const int channels = pixel_format_bytes(format.written) / sample;
      ImageFilePtr writer =
          image_create_write(format.written, path, width, height, default_props());
      ASSERT_TRUE(writer);
      std::vector<std::string> expected;
      for (int y = 0; y < height; ++y) {
        std::string row = noise(size_t(writer->bytes_per_row), uint32_t(y * 31 + format.written));
        ASSERT_TRUE(image_write_row(writer.get(), &row[0]));
        std::string without_alpha;
        for (int x = 0; x < width; ++x) {
          without_alpha.append(row, size_t(x * channels * sample), size_t(3 * sample));
        }
        expected.push_back(without_alpha);
      }
      ASSERT_TRUE(image_close(std::move(writer)));
      EXPECT_EQ(qv_test::read_file(path).substr(4, 2),
                std::string(name) == "a.psb" ? std::string("\0\2", 2) : std::string("\0\1", 2));
      PixelFormat read_format = kPixelUnsupported;
      ImageProps props;
      EXPECT_EQ(read_rows(path, &read_format, &props), expected) << name << format.written;
      EXPECT_EQ(read_format, format.read);
      EXPECT_EQ(props.width, width);
      EXPECT_EQ(props.height, height);
    }
  }
}

TEST(PsdCodec, WriterRefusesGrayAndUnknownFormats) {
  TempDir dir;
  EXPECT_FALSE(image_create_write(kPixelGray8, dir.file("g.psd"), 4, 4, default_props()));
  EXPECT_FALSE(image_create_write(kPixelUnsupported, dir.file("g.psb"), 4, 4, default_props()));
}

TEST(PsdCodec, ProfileResourceLayout) {
  TempDir dir;
  std::vector<uint8_t> icc(3144);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = uint8_t(i * 13 + 1);
  ImageProps props = default_props();
  props.embed_icc = true;
  props.icc_data = icc.data();
  props.icc_size = int32_t(icc.size());
  for (const auto& row : {std::make_pair("p.psd", 3196), std::make_pair("p.psb", 3200)}) {
    const std::string path = dir.file(row.first);
    ImageFilePtr writer = image_create_write(kPixelRgb8, path, 2, 1, props);
    ASSERT_TRUE(writer);
    uint8_t pixels[6] = {10, 20, 30, 11, 21, 31};
    ASSERT_TRUE(image_write_row(writer.get(), pixels));
    ASSERT_TRUE(image_close(std::move(writer)));
    const std::string bytes = qv_test::read_file(path);
    EXPECT_EQ(bytes.substr(30, 4), std::string("\0\0\x0C\x54", 4));  // 3156
    EXPECT_EQ(bytes.substr(34, 4), "8BIM");
    ASSERT_EQ(bytes.size(), size_t(row.second + 6)) << row.first;
    EXPECT_EQ(bytes.substr(size_t(row.second)), std::string("\x0A\x0B\x14\x15\x1E\x1F"));
    auto info = image_probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->icc, icc);
    EXPECT_EQ(info->width, 2);
  }
}

TEST(PsdCodec, PackBitsMatchesRaw) {
  TempDir dir;
  for (int depth : {8, 16, -16}) {  // -16: a PSB of 16 bits
    PsdLayout layout;
    layout.version = depth < 0 ? 2 : 1;
    depth = depth < 0 ? -depth : depth;
    layout.width = 301;
    layout.height = 9;
    layout.depth = depth;
    for (int c = 0; c < 3; ++c) {
      // Runs and literals mixed.
      std::string plane = noise(layout.width * layout.height * depth / 8, uint32_t(c + depth));
      for (size_t i = 0; i < plane.size(); i += 7) plane[i] = plane[i / 7 % 2];
      plane.replace(10, 200, 200, 'x');
      layout.planes.push_back(plane);
    }
    qv_test::write_file(dir.file("raw.psd"), build_psd(layout));
    layout.compression = 1;
    qv_test::write_file(dir.file("rle.psd"), build_psd(layout));
    PixelFormat raw_format = kPixelUnsupported, rle_format = kPixelUnsupported;
    auto raw = read_rows(dir.file("raw.psd"), &raw_format);
    auto rle = read_rows(dir.file("rle.psd"), &rle_format);
    ASSERT_EQ(raw.size(), 9u);
    EXPECT_EQ(rle, raw);
    EXPECT_EQ(raw_format, depth == 8 ? kPixelRgb8 : kPixelRgb16);
    // Interleaving, 16-bit samples in machine order.
    if (depth == 16) {
      const std::string& plane = layout.planes[1];
      uint16_t sample;
      memcpy(&sample, raw[2].data() + 2 * (5 * 3 + 1), 2);
      const size_t at = size_t(2 * (2 * 301 + 5));
      EXPECT_EQ(sample, uint16_t(uint8_t(plane[at]) << 8 | uint8_t(plane[at + 1])));
    } else {
      EXPECT_EQ(raw[2][5 * 3 + 1], layout.planes[1][2 * 301 + 5]);
    }
  }
}

TEST(PsdCodec, ColourModesAndChannelCounts) {
  TempDir dir;
  const struct {
    int mode, channels, depth;
    PixelFormat format;  // kPixelUnsupported: refused, with the detail
    const char* detail;
  } rows[] = {
      {3, 3, 8, kPixelRgb8, ""},
      {3, 4, 8, kPixelRgba8, ""},
      {3, 5, 8, kPixelRgb8, ""},
      {3, 4, 16, kPixelRgba16, ""},
      {1, 1, 8, kPixelGray8, ""},
      {8, 1, 8, kPixelGray8, ""},
      {1, 2, 8, kPixelGray8, ""},
      {1, 1, 16, kPixelUnsupported, "16-bit gray files are not supported"},
      {2, 1, 8, kPixelUnsupported, "indexed psd/psb files are not supported"},
      {4, 4, 8, kPixelUnsupported, "cmyk psd/psb files are not supported"},
      {0, 1, 1, kPixelUnsupported, "1-bit psd/psb files are not supported"},
      {3, 3, 32, kPixelUnsupported, "32-bit psd/psb files are not supported"},
      {3, 2, 8, kPixelUnsupported, "only gray, rgb and rgba psd/psb files are supported"},
      {9, 3, 8, kPixelUnsupported, "only gray, rgb and rgba psd/psb files are supported"},  // Lab
  };
  for (const auto& row : rows) {
    PsdLayout layout;
    layout.width = 6;
    layout.height = 4;
    layout.mode = row.mode;
    layout.depth = row.depth;
    layout.channels = row.channels;
    for (int c = 0; c < row.channels; ++c) {
      layout.planes.push_back(noise((6 * row.depth + 7) / 8 * 4, uint32_t(c)));
    }
    qv_test::write_file(dir.file("m.psd"), build_psd(layout));
    ImageFilePtr reader = image_open_read(dir.file("m.psd"), nullptr);
    if (row.format == kPixelUnsupported) {
      EXPECT_FALSE(reader) << row.mode << "/" << row.channels << "/" << row.depth;
      EXPECT_EQ(image_last_error(), row.detail);
    } else {
      ASSERT_TRUE(reader) << row.mode << "/" << row.channels << "/" << row.depth;
      EXPECT_EQ(reader->format, row.format);
    }
  }
}

TEST(PsdCodec, RealDocuments) {
  PixelFormat format = kPixelUnsupported;
  ImageProps props;
  EXPECT_EQ(read_rows(corpus_file("psd/davegnukem_hiscores.psd"), &format).size(), 200u);
  EXPECT_EQ(format, kPixelRgb8);
  EXPECT_EQ(read_rows(corpus_file("psd/vampyre_Tigers.psd"), &format).size(), 236u);
  EXPECT_EQ(format, kPixelRgba8);
  auto rows = read_rows(corpus_file("psd/w3c_markup_validation_service.psd"), &format);
  EXPECT_EQ(rows.size(), 41u);
  EXPECT_EQ(format, kPixelRgba16);
  EXPECT_EQ(read_rows(corpus_file("psd/psdtools_0layers.psb"), &format, &props).size(), 1200u);
  EXPECT_EQ(props.width, 1600);
  EXPECT_EQ(read_rows(corpus_file("psd/exiv2-bug800-PHUT.psd"), &format).size(), 91u);
  const struct {
    const char* path;
    const char* detail;
  } refused[] = {
      {"psd/psdtools_32bit5x5.psb", "32-bit psd/psb files are not supported"},
      {"psd/psdtools_colormodes_4x4_1bit_bitmap.psd", "1-bit psd/psb files are not supported"},
      {"psd/psdtools_colormodes_4x4_8bit_index_color.psd",
       "indexed psd/psb files are not supported"},
      {"psd/psdtools_colormodes_4x4_16bit_grayscale.psd", "16-bit gray files are not supported"},
      {"psd/pillow_combined_larger_than_size.psd", "damaged or truncated psd/psb file"},
  };
  for (const auto& row : refused) {
    EXPECT_FALSE(image_open_read(corpus_file(row.path), nullptr)) << row.path;
    EXPECT_EQ(image_last_error(), row.detail) << row.path;
  }
}

TEST(PsdCodec, LayeredDocuments) {
  image_clear_last_error();
  const std::string path = corpus_file("psd/stylebook_christmas.psd");
  EXPECT_FALSE(image_open_read(path, nullptr));
  EXPECT_EQ(image_last_error(), "only flatten psd/psb files are supported");
  image_clear_last_error();
  IgnoreLayers ignore;
  PixelFormat format = kPixelUnsupported;
  EXPECT_EQ(read_rows(path, &format).size(), 400u);
  EXPECT_EQ(format, kPixelRgb8);
  EXPECT_EQ(image_last_error(), "");
  // Negative layer count: the merged alpha is the fourth channel.
  EXPECT_EQ(read_rows(corpus_file("psd/extjs_trigger.psd"), &format).size(), 24u);
  EXPECT_EQ(format, kPixelRgba8);
}

// A one-layer document whose layer holds the pixels in zip, zip with prediction and raw
// channels, while the merged image is a flat colour; 8 and 16 bits, PSD and PSB.
std::string zip(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()),
           data.size());
  out.resize(size);
  return out;
}

// Each row's samples (big-endian, bytes wide) replaced by their differences from the previous.
std::string predicted(const std::string& plane, uint32_t row_bytes, int bytes) {
  std::string out = plane;
  for (size_t row = 0; row < plane.size(); row += row_bytes) {
    for (uint32_t x = row_bytes - uint32_t(bytes); x > 0; x -= uint32_t(bytes)) {
      uint32_t value = 0, previous = 0;
      for (int b = 0; b < bytes; ++b) {
        value = value << 8 | uint8_t(plane[row + x + uint32_t(b)]);
        previous = previous << 8 | uint8_t(plane[row + x - uint32_t(bytes) + uint32_t(b)]);
      }
      const uint32_t delta = value - previous;
      for (int b = 0; b < bytes; ++b) {
        out[row + x + uint32_t(b)] = char(delta >> (8 * (bytes - 1 - b)));
      }
    }
  }
  return out;
}

TEST(PsdCodec, SingleLayerShortcut) {
  TempDir dir;
  const uint32_t width = 64, height = 48;
  for (int version : {1, 2}) {
    for (int depth : {8, 16}) {
      SCOPED_TRACE(std::to_string(version) + "/" + std::to_string(depth));
      const int bytes = depth / 8;
      const uint32_t row_bytes = width * uint32_t(bytes);
      std::vector<std::string> planes;
      for (int c = 0; c < 3; ++c) planes.push_back(noise(row_bytes * height, uint32_t(40 + c)));
      const std::string payloads[3] = {
          std::string("\0\2", 2) + zip(planes[0]),
          std::string("\0\3", 2) + zip(predicted(planes[1], row_bytes, bytes)),
          std::string("\0\0", 2) + planes[2]};
      const int length_bytes = version == 2 ? 8 : 4;
      std::string info;
      qv_test::append_big(&info, 1, 2);  // one layer
      for (uint32_t value : {0u, 0u, height, width}) qv_test::append_big(&info, value, 4);
      qv_test::append_big(&info, 3, 2);
      for (int c = 0; c < 3; ++c) {
        qv_test::append_big(&info, uint64_t(c), 2);
        qv_test::append_big(&info, payloads[c].size(), length_bytes);
      }
      info += "8BIMnorm";
      info += std::string("\xFF\0\0\0", 4);
      qv_test::append_big(&info, 0, 4);  // no extra data
      for (const std::string& payload : payloads) info += payload;
      if (info.size() & 1) info.push_back('\0');
      PsdLayout layout;
      layout.version = version;
      layout.width = width;
      layout.height = height;
      layout.depth = depth;
      qv_test::append_big(&layout.layers, info.size(), length_bytes);
      layout.layers += info;
      qv_test::append_big(&layout.layers, 0, 4);  // no global mask
      layout.compression = 1;
      for (int c = 0; c < 3; ++c)
        layout.planes.push_back(std::string(row_bytes * height, char(c + 1)));
      const std::string path = dir.file(version == 2 ? "one.psb" : "one.psd");
      qv_test::write_file(path, build_psd(layout));

      psd_set_ignore_layers(false);
      EXPECT_FALSE(image_open_read(path, nullptr));
      IgnoreLayers ignore;
      PixelFormat format = kPixelUnsupported;
      auto rows = read_rows(path, &format);
      ASSERT_EQ(rows.size(), height);
      EXPECT_EQ(format, depth == 8 ? kPixelRgb8 : kPixelRgb16);
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          for (uint32_t c = 0; c < 3; ++c) {
            for (int b = 0; b < bytes; ++b) {
              // Rows hold machine (little-endian) order, the planes big-endian.
              const size_t in_row = (x * 3 + c) * uint32_t(bytes) + uint32_t(b);
              const size_t in_plane = y * row_bytes + x * uint32_t(bytes) + uint32_t(bytes - 1 - b);
              ASSERT_EQ(rows[y][in_row], planes[c][in_plane]) << y << "," << x << "," << c;
            }
          }
        }
      }
      auto probed = image_probe(path);
      ASSERT_TRUE(probed);
      EXPECT_EQ(probed->width, int(width));
    }
  }
}

TEST(PsdCodec, ReducedReading) {
  TempDir dir;
  PsdLayout layout;
  layout.width = 3;
  layout.height = 1000;
  layout.compression = 1;
  for (int c = 0; c < 3; ++c) {
    std::string plane;
    for (uint32_t y = 0; y < layout.height; ++y) plane += std::string(3, char(y * 7 + uint32_t(c)));
    layout.planes.push_back(plane);
  }
  qv_test::write_file(dir.file("r.psd"), build_psd(layout));
  LoadHint hint{true, 3, 300};
  ImageProps props;
  props.load_hint = &hint;
  PixelFormat format = kPixelUnsupported;
  auto rows = read_rows(dir.file("r.psd"), &format, &props);
  ASSERT_EQ(rows.size(), 300u);
  EXPECT_EQ(props.height, 1000);
  for (int n = 0; n < 300; ++n) EXPECT_EQ(uint8_t(rows[size_t(n)][0]), uint8_t(n * 1000 / 300 * 7));
}

}  // namespace
