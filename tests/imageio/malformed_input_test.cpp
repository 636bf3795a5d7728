// Hostile files: every row must end in a refusal or a partial result, never a crash, a hang or
// a huge allocation (run under the sanitizer build to see the last).
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "imageio/image_file.h"
#include "imageio/metadata.h"
#include "imageio/psd_codec.h"
#include "support/test_support.h"
#include "tests/imageio/format_builders.h"

namespace {

using qv_test::ByteLayout;
using qv_test::TempDir;

// A classic TIFF with an RGB strip image of the given size and whatever directories follow.
ByteLayout small_tiff(uint32_t width, uint32_t height, uint32_t next) {
  ByteLayout tiff;
  qv_test::tiff_header(&tiff, 8);
  qv_test::tiff_directory(&tiff, 8,
                          {{256, 4, 1, width},
                           {257, 4, 1, height},
                           {258, 3, 1, 8},
                           {262, 3, 1, 1},
                           {273, 4, 1, 200},
                           {277, 3, 1, 1},
                           {278, 4, 1, height},
                           {279, 4, 1, width * height}},
                          next);
  tiff.ensure(200 + 16);
  return tiff;
}

std::string tiff_with_entry(const qv_test::TiffEntry& entry, uint32_t pointer_tag = 0) {
  ByteLayout tiff;
  qv_test::tiff_header(&tiff, 8);
  if (pointer_tag) {
    qv_test::tiff_directory(&tiff, 8,
                            {{256, 3, 1, 4}, {257, 3, 1, 4}, {uint16_t(pointer_tag), 4, 1, 60}}, 0);
    qv_test::tiff_directory(&tiff, 60, {entry}, 0);
  } else {
    qv_test::tiff_directory(&tiff, 8, {{256, 3, 1, 4}, {257, 3, 1, 4}, entry}, 0);
  }
  tiff.ensure(120);
  return tiff.data;
}

std::string big_tiff(uint64_t first, uint64_t count) {
  ByteLayout tiff;
  tiff.put_bytes(0, "II");
  tiff.put16(2, 43);
  tiff.put16(4, 8);
  tiff.put16(6, 0);
  tiff.put64(8, first);
  tiff.put64(16, count);
  tiff.ensure(64);
  return tiff.data;
}

std::string jpeg_bytes(const std::string& after_soi) {
  return std::string("\xFF\xD8", 2) + after_soi;
}

std::string psd_header(int version, int channels, uint32_t height, uint32_t width, int depth,
                       int mode) {
  qv_test::PsdLayout layout;
  layout.version = version;
  layout.channels = channels;
  layout.height = height;
  layout.width = width;
  layout.depth = depth;
  layout.mode = mode;
  return qv_test::build_psd(layout);
}

// A 4-pixel gray PSD with one PackBits row given as bytes and its table entry.
std::string packbits_psd(uint32_t table_entry, const std::string& packed) {
  std::string bytes = psd_header(1, 1, 1, 4, 8, 1);
  bytes.resize(bytes.size() - 2);  // replace the compression word
  qv_test::append_big(&bytes, 1, 2);
  qv_test::append_big(&bytes, table_entry, 2);
  return bytes + packed;
}

struct MalformedRow {
  const char* name;
  std::function<std::string()> bytes;
};

std::vector<MalformedRow> malformed_rows() {
  return {
      {"tiff ifd chain loops", [] { return small_tiff(4, 4, 8).data; }},
      {"tiff next directory outside the file", [] { return small_tiff(4, 4, 0xFFFFFFF0u).data; }},
      {"tiff first directory outside the file",
       [] {
         ByteLayout tiff;
         qv_test::tiff_header(&tiff, 0x7FFFFFF0u);
         tiff.ensure(64);
         return tiff.data;
       }},
      {"tiff entry count larger than the file",
       [] {
         ByteLayout tiff = small_tiff(4, 4, 0);
         tiff.put16(8, 0xFFFF);
         return tiff.data;
       }},
      {"tiff huge image in a tiny file", [] { return small_tiff(100000, 100000, 0).data; }},
      {"tiff gps rationals with a count that overflows",
       [] {
         return tiff_with_entry({2, 5, 0xFFFFFFFFu, 16}, 34853);
       }},
      {"tiff gps rationals outside the file",
       [] {
         return tiff_with_entry({2, 5, 3, 0xFFFFFF00u}, 34853);
       }},
      {"tiff gps zero denominators",
       [] {
         std::string data = tiff_with_entry({2, 5, 3, 100}, 34853);
         data.resize(200, '\0');
         return data;
       }},
      {"tiff profile larger than the file",
       [] {
         return tiff_with_entry({34675, 7, 0x7FFFFFFFu, 16});
       }},
      {"tiff description count overflows",
       [] {
         return tiff_with_entry({270, 2, 0xFFFFFFFFu, 16});
       }},
      {"tiff photoshop resources outside",
       [] {
         return tiff_with_entry({34377, 7, 4000000, 0xFFFFFFF0u});
       }},
      {"tiff exif pointer to itself",
       [] {
         return tiff_with_entry({34665, 4, 1, 8});
       }},
      {"tiff maker note chain to itself",
       [] {
         ByteLayout tiff;
         qv_test::tiff_header(&tiff, 8);
         qv_test::tiff_directory(&tiff, 8, {{34665, 4, 1, 40}}, 0);
         qv_test::tiff_directory(&tiff, 40, {{37500, 7, 64, 100}}, 40);
         tiff.put_bytes(100, std::string("Ricoh\0\0\0", 8));
         qv_test::tiff_directory(&tiff, 108, {{16385, 13, 1, 108}}, 108);
         tiff.ensure(200);
         return tiff.data;
       }},
      {"bigtiff directory offset beyond 2^63", [] { return big_tiff(uint64_t(1) << 63, 0); }},
      {"bigtiff entry count beyond 2^62", [] { return big_tiff(16, uint64_t(1) << 62); }},
      {"jpeg segment length past the end",
       [] {
         return jpeg_bytes(
             std::string("\xFF\xE1\xF0\x00"
                         "Exif",
                         8));
       }},
      {"jpeg segment length below two",
       [] { return jpeg_bytes(std::string("\xFF\xE0\x00\x01", 4)); }},
      {"jpeg endless fill bytes", [] { return jpeg_bytes(std::string(4096, '\xFF')); }},
      {"jpeg exif structure pointing outside",
       [] {
         std::string tiff;
         tiff = std::string("II\x2A\x00\xF0\xFF\xFF\x7F", 8);
         return jpeg_bytes(qv_test::jpeg_segment(0xE1, std::string("Exif\0\0", 6) + tiff));
       }},
      {"jpeg icc segment shorter than its header",
       [] { return jpeg_bytes(qv_test::jpeg_segment(0xE2, "ICC_PRO")); }},
      {"psd no channels", [] { return psd_header(1, 0, 4, 4, 8, 3); }},
      {"psd 65 channels", [] { return psd_header(1, 65, 4, 4, 8, 3); }},
      {"psd depth 64", [] { return psd_header(1, 3, 4, 4, 64, 3); }},
      {"psd zero width", [] { return psd_header(1, 3, 4, 0, 8, 3); }},
      {"psd version 3", [] { return psd_header(3, 3, 4, 4, 8, 3); }},
      {"psd huge image in a tiny file", [] { return psd_header(2, 3, 300000, 300000, 16, 3); }},
      {"psb 32-bit image whose pixel bytes pass 2^63",
       [] { return psd_header(2, 3, 0x7FFFFFFF, 0x7FFFFFFF, 32, 3); }},
      {"psd packbits rows of the largest size claimed",
       [] {
         std::string bytes = psd_header(1, 3, 2000, 2000, 8, 3);
         bytes.resize(bytes.size() - 2);
         qv_test::append_big(&bytes, 1, 2);
         return bytes + std::string(200, '\xFF');
       }},
      {"psd resources longer than the file",
       [] {
         std::string bytes = psd_header(1, 3, 4, 4, 8, 3);
         bytes[30] = '\x7F';
         return bytes;
       }},
      {"psd resource size past its section",
       [] {
         qv_test::PsdLayout layout;
         layout.width = layout.height = 2;
         layout.resources = qv_test::psd_resource(1036, std::string(40, 'x'));
         layout.resources[10] = '\x7F';
         for (int c = 0; c < 3; ++c) layout.planes.push_back(std::string(4, 'a'));
         return qv_test::build_psd(layout);
       }},
      {"psd exif resource pointing outside",
       [] {
         qv_test::PsdLayout layout;
         layout.width = layout.height = 2;
         layout.resources =
             qv_test::psd_resource(1058, std::string("MM\x00\x2A\x7F\xFF\xFF\x00", 8));
         for (int c = 0; c < 3; ++c) layout.planes.push_back(std::string(4, 'a'));
         return qv_test::build_psd(layout);
       }},
      {"psd layer count with records cut off",
       [] {
         qv_test::PsdLayout layout;
         layout.width = layout.height = 2;
         qv_test::append_big(&layout.layers, 12, 4);
         qv_test::append_big(&layout.layers, 0x7FFF, 2);  // 32767 layers
         layout.layers += std::string(10, '\x7F');
         for (int c = 0; c < 3; ++c) layout.planes.push_back(std::string(4, 'a'));
         return qv_test::build_psd(layout);
       }},
      {"psb layer section length beyond 2^63",
       [] {
         qv_test::PsdLayout layout;
         layout.version = 2;
         layout.width = layout.height = 2;
         layout.layers = std::string(8, '\0');
         std::string bytes = qv_test::build_psd(layout);
         bytes[34] = '\x80';
         return bytes;
       }},
      {"psd packbits literal past the row",
       [] {
         return packbits_psd(7, std::string("\x05"
                                            "abcdef",
                                            7));
       }},
      {"psd packbits run past the row",
       [] {
         return packbits_psd(2, std::string("\x81"
                                            "z",
                                            2));
       }},
      {"psd packbits row size beyond twice the row",
       [] {
         return packbits_psd(9, std::string("\x03"
                                            "abcd",
                                            5));
       }},
      {"psd packbits data cut off", [] { return packbits_psd(5, std::string("\x7F", 1)); }},
  };
}

TEST(MalformedInput, EndsInRefusalOrPartialResult) {
  TempDir dir;
  const std::string path = dir.file("bad.bin");
  for (bool ignore_layers : {false, true}) {
    psd_set_ignore_layers(ignore_layers);
    for (const MalformedRow& row : malformed_rows()) {
      SCOPED_TRACE(row.name);
      ASSERT_TRUE(qv_test::write_file(path, row.bytes()));
      auto info = image_probe(path);
      ASSERT_TRUE(info);
      EXPECT_GE(info->width, 0);
      EXPECT_LE(info->thumbnail.size(), qv_test::read_file(path).size());
      EXPECT_LE(info->icc.size(), qv_test::read_file(path).size());
      ImageFilePtr reader = image_open_read(path, nullptr);
      if (!reader) continue;
      // Whatever opens reads to its end with bounded buffers.
      ASSERT_LE(int64_t(reader->bytes_per_row) * reader->height, int64_t(1) << 26);
      std::vector<uint8_t> row_buffer(size_t(reader->bytes_per_row));
      for (int y = 0; y < reader->height; ++y) image_read_row(reader.get(), row_buffer.data());
    }
  }
  psd_set_ignore_layers(false);
  image_clear_last_error();
}

// PackBits output never passes the end of a row; what the data does not fill stays zero.
TEST(MalformedInput, PackBitsRowsAreClipped) {
  TempDir dir;
  const struct {
    uint32_t table_entry;
    std::string packed;
    std::string row;
  } rows[] = {
      {7,
       std::string("\x05"
                   "abcdef",
                   7),
       "abcd"},
      {2,
       std::string("\x81"
                   "z",
                   2),
       "zzzz"},
      {3,
       std::string("\x80\xFE"
                   "q",
                   3),
       std::string("qqq\0", 4)},
      {5,
       std::string("\x7F"
                   "ab",
                   3),
       std::string("ab\0\0", 4)},
      {9,
       std::string("\x03"
                   "abcd",
                   5),
       std::string("abc\0", 4)},  // too long: the row size
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(qv_test::write_file(dir.file("p.psd"), packbits_psd(row.table_entry, row.packed)));
    ImageFilePtr reader = image_open_read(dir.file("p.psd"), nullptr);
    ASSERT_TRUE(reader);
    ASSERT_EQ(reader->bytes_per_row, 4);
    std::string pixels(4, '\x55');
    ASSERT_TRUE(image_read_row(reader.get(), &pixels[0]));
    EXPECT_EQ(pixels, row.row) << row.table_entry;
  }
}

// A directory chain that loops is read once per directory; the queue stays bounded.
TEST(MalformedInput, LoopingChainsEnd) {
  TempDir dir;
  ByteLayout tiff;
  qv_test::tiff_header(&tiff, 8);
  // Twenty directories, each pointing at the next and the last back at the first.
  for (uint32_t i = 0; i < 20; ++i) {
    uint32_t at = 8 + i * 40;
    qv_test::tiff_directory(&tiff, at, {{256, 3, 1, 10 + i}}, i + 1 < 20 ? at + 40 : 8);
  }
  ASSERT_TRUE(qv_test::write_file(dir.file("loop.tif"), tiff.data));
  auto info = image_probe(dir.file("loop.tif"));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->width, 0);  // no height anywhere
  FILE* stream = fopen(dir.file("loop.tif").c_str(), "rb");
  ASSERT_TRUE(stream);
  ImageInfo scanned;
  EXPECT_EQ(scan_metadata(stream, &scanned), 1);
  fclose(stream);
}

}  // namespace
