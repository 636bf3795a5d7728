// Facade: codec choice, scale requests, row conversion, 16-bit JPEG writing and the open-file
// table.
#include "imageio/image_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "imageio/jpeg_codec.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::default_props;
using qv_test::TempDir;

// Writes an 8-bit RGB image whose pixel (x, y) is (x, y, x + y) modulo 256.
bool write_pattern(const std::string& path, int width, int height) {
  return qv_test::write_samples(path, kPixelRgb8, width, height, default_props(),
                                [](int x, int y, int c) {
                                  return c == 0 ? uint8_t(x) : c == 1 ? uint8_t(y) : uint8_t(x + y);
                                });
}

TEST(ImageFile, WriterIsChosenByExtension) {
  const struct {
    const char* name;
    ImageKind kind;
  } rows[] = {
      {"a.jpg", kImageJpeg},       {"a.JPEG", kImageJpeg},
      {"dir.x/a.tif", kImageTiff}, {"a.TIF", kImageTiff},
      {"a.tiff", kImageTiff},      {"a.bigtiff", kImageBigTiff},
      {"a.btf", kImageBigTiff},    {"a.tf8", kImageBigTiff},
      {"a.kro", kImageKro},        {"a.psd", kImagePsd},
      {"a.PSB", kImagePsb},        {"out.png", kImageNone},
      {"noextension", kImageNone}, {"dir.jpg/noextension", kImageNone},
  };
  for (const auto& row : rows) EXPECT_EQ(image_kind_for_extension(row.name), row.kind) << row.name;
  TempDir dir;
  EXPECT_FALSE(image_create_write(kPixelRgb8, dir.file("out.png"), 4, 4, default_props()));
  EXPECT_FALSE(image_create_write(kPixelRgb8, dir.file("out"), 4, 4, default_props()));
  EXPECT_FALSE(qv_test::file_exists(dir.file("out.png")));
}

TEST(ImageFile, ReaderIsChosenBySignature) {
  const struct {
    std::string head;
    ImageKind kind;
  } rows[] = {
      {"\xFF\xD8\xFF\xE0", kImageJpeg},
      {std::string("II\x2A\x00", 4), kImageTiff},
      {std::string("II\x2B\x00", 4), kImageTiff},
      {std::string("MM\x00\x2A", 4), kImageTiff},
      {std::string("MM\x00\x2B", 4), kImageTiff},
      {std::string("MM\x00\x2C", 4), kImageNone},
      {"KRO\x01", kImageKro},
      {"KRO\x02", kImageNone},
      {"8BPS", kImagePsd},
      {"\x89PNG\r\n\x1A\n", kImagePng},
      {"\x89PNG\r\n\x1A", kImageNone},
      {"", kImageNone},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(image_kind_for_signature(reinterpret_cast<const uint8_t*>(row.head.data()),
                                       row.head.size()),
              row.kind);
  }
  // A JPEG named .tif opens as JPEG.
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("photo.jpg"), 16, 8));
  ASSERT_TRUE(
      qv_test::write_file(dir.file("photo.tif"), qv_test::read_file(dir.file("photo.jpg"))));
  ImageFilePtr file = image_open_read(dir.file("photo.tif"), nullptr);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->kind, kImageJpeg);
  // Empty, missing and unknown files give no handle.
  ASSERT_TRUE(qv_test::write_file(dir.file("empty.jpg"), ""));
  ASSERT_TRUE(qv_test::write_file(dir.file("text.jpg"), "hello world, not an image"));
  EXPECT_FALSE(image_open_read(dir.file("empty.jpg"), nullptr));
  EXPECT_FALSE(image_open_read(dir.file("text.jpg"), nullptr));
  EXPECT_FALSE(image_open_read(dir.file("missing.jpg"), nullptr));
  EXPECT_FALSE(image_probe(dir.file("text.jpg")));
}

// A refused file leaves one line saying why; the next open starts without it.
TEST(ImageFile, RefusalsLeaveTheirReason) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("text.jpg"), "hello world, not an image"));
  EXPECT_FALSE(image_open_read(dir.file("text.jpg"), nullptr));
  EXPECT_EQ(image_last_error(), "not a jpeg, tiff, psd/psb, kro or png file");
  EXPECT_FALSE(image_open_read(qv_test::corpus_file("icc/Gray.icc"), nullptr));
  EXPECT_EQ(image_last_error(), kDetailUnknownFormat);
  // A missing file gives the system's reason; a readable one clears the previous.
  EXPECT_FALSE(image_open_read(dir.file("missing.jpg"), nullptr));
  EXPECT_EQ(image_last_error(), "no such file or directory");
  image_set_last_error("stale");
  ASSERT_TRUE(write_pattern(dir.file("ok.jpg"), 4, 4));
  EXPECT_TRUE(image_open_read(dir.file("ok.jpg"), nullptr));
  EXPECT_EQ(image_last_error(), "");
}

TEST(ImageFile, ScaleRequestsTakeTheLargestReductionThatCoversTheWorkingSize) {
  const struct {
    int32_t full_width, full_height, width, height, denominator;
  } rows[] = {
      {16000, 8000, 1024, 512, 8}, {8000, 4000, 1024, 512, 4},  {2048, 1024, 1024, 512, 2},
      {2047, 1024, 1024, 512, 1},  {1024, 512, 1024, 512, 1},   {4000, 1000, 1112, 278, 2},
      {8191, 8191, 1024, 1024, 4}, {8192, 8191, 1024, 1024, 4}, {8192, 8192, 1024, 1024, 8},
      {2000, 40000, 256, 256, 4},  {100, 100, 0, 0, 1},         {0, 0, 10, 10, 1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(image_scale_denominator(row.full_width, row.full_height, row.width, row.height),
              row.denominator)
        << row.full_width << "x" << row.full_height << " to " << row.width << "x" << row.height;
  }
  // Formats without decoder scaling read the full size.
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("p.tif"), 64, 32));
  ImageProps props;
  props.scale_denominator = 8;
  ImageFilePtr file = image_open_read(dir.file("p.tif"), &props);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->width, 64);
  EXPECT_EQ(file->scale_denominator, 1);
}

TEST(ImageFile, RowConversionTable) {
  // Source row of two pixels per format, the expected 8-bit result.
  const uint8_t gray[] = {10, 200};
  const uint8_t rgba[] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint16_t rgb16[] = {0x1234, 0xABCD, 0x00FF, 0xFF00, 0x8000, 0x0102};
  const uint16_t rgba16[] = {0x1234, 0xABCD, 0x00FF, 0x7F7F, 0xFF00, 0x8000, 0x0102, 0x0304};
  const struct {
    PixelFormat source;
    PixelFormat target;
    const void* row;
    size_t row_size;
    std::vector<uint8_t> expected;
  } rows[] = {
      {kPixelGray8, kPixelRgb8, gray, sizeof(gray), {10, 10, 10, 200, 200, 200}},
      {kPixelRgba8, kPixelRgb8, rgba, sizeof(rgba), {1, 2, 3, 5, 6, 7}},
      {kPixelRgb16, kPixelRgb8, rgb16, sizeof(rgb16), {0x12, 0xAB, 0x00, 0xFF, 0x80, 0x01}},
      {kPixelRgba16, kPixelRgb8, rgba16, sizeof(rgba16), {0x12, 0xAB, 0x00, 0xFF, 0x80, 0x01}},
      {kPixelRgba16,
       kPixelRgba8,
       rgba16,
       sizeof(rgba16),
       {0x12, 0xAB, 0x00, 0x7F, 0xFF, 0x80, 0x01, 0x03}},
      {kPixelRgb8, kPixelRgb8, rgba, 6, {1, 2, 3, 4, 5, 6}},
  };
  for (const auto& row : rows) {
    ImageFile source, target;
    source.format = row.source;
    source.width = 2;
    target.format = row.target;
    std::vector<uint8_t> input(static_cast<const uint8_t*>(row.row),
                               static_cast<const uint8_t*>(row.row) + row.row_size);
    std::vector<uint8_t> output(16, 0xEE);
    void* result = image_convert_row(&target, &source, input.data(), output.data());
    ASSERT_NE(result, nullptr);
    std::vector<uint8_t> got(static_cast<uint8_t*>(result),
                             static_cast<uint8_t*>(result) + row.expected.size());
    EXPECT_EQ(got, row.expected) << row.source << " -> " << row.target;
  }
  // Unsupported pairs print "TODO" and give no row.
  ImageFile source, target;
  source.format = kPixelRgb8;
  target.format = kPixelGray8;
  uint8_t buffer[16] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(image_convert_row(&target, &source, buffer, buffer), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "TODO\n");
  EXPECT_EQ(image_row_converter(kPixelRgb16, kPixelRgb8), nullptr);
}

TEST(ImageFile, SixteenBitRowsBecomeAnEightBitJpeg) {
  TempDir dir;
  const int width = 8, height = 8;
  ImageProps props = default_props();
  props.jpeg_quality = 100;
  props.jpeg_sampling_h = props.jpeg_sampling_v = 1;
  ImageFilePtr writer = image_create_write(kPixelRgb16, dir.file("deep.jpg"), width, height, props);
  ASSERT_TRUE(writer);
  EXPECT_TRUE(writer->reduce_to_8bit);
  EXPECT_EQ(writer->format, kPixelRgb8);
  std::vector<uint16_t> row(3 * width);
  for (int y = 0; y < height; ++y) {
    for (int i = 0; i < 3 * width; ++i) row[i] = uint16_t((40 * (i % 3) + 60) << 8 | 0xFF);
    ASSERT_TRUE(image_write_row(writer.get(), row.data()));
  }
  ASSERT_TRUE(image_close(std::move(writer)));
  ImageFilePtr reader = image_open_read(dir.file("deep.jpg"), nullptr);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->format, kPixelRgb8);
  std::vector<uint8_t> pixels(reader->bytes_per_row);
  ASSERT_TRUE(image_read_row(reader.get(), pixels.data()));
  EXPECT_NEAR(pixels[0], 60, 2);
  EXPECT_NEAR(pixels[1], 100, 2);
  EXPECT_NEAR(pixels[2], 140, 2);
  // RGBA (8 or 16 bit) cannot be written as JPEG.
  EXPECT_FALSE(image_create_write(kPixelRgba8, dir.file("a.jpg"), 4, 4, default_props()));
  EXPECT_FALSE(image_create_write(kPixelRgba16, dir.file("b.jpg"), 4, 4, default_props()));
}

TEST(ImageFile, RowCallsStopAtTheLastRowAndCloseReportsIncompleteWriters) {
  TempDir dir;
  ImageFilePtr writer =
      image_create_write(kPixelRgb8, dir.file("short.jpg"), 4, 2, default_props());
  ASSERT_TRUE(writer);
  uint8_t row[12] = {};
  ASSERT_TRUE(image_write_row(writer.get(), row));
  EXPECT_FALSE(image_close(std::move(writer)));  // one row missing
  ASSERT_TRUE(write_pattern(dir.file("ok.jpg"), 4, 2));
  ImageFilePtr reader = image_open_read(dir.file("ok.jpg"), nullptr);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(image_read_row(reader.get(), row));
  EXPECT_TRUE(image_read_row(reader.get(), row));
  EXPECT_FALSE(image_read_row(reader.get(), row));
  EXPECT_FALSE(image_write_row(reader.get(), row));
  EXPECT_TRUE(image_close(std::move(reader)));
}

// Writes an 8-bit RGB image of noise: its JPEG is larger than the codec's read buffer, so
// rows after the first need the stream.
bool write_noise(const std::string& path, int width, int height) {
  uint32_t seed = 12345;
  return qv_test::write_samples(path, kPixelRgb8, width, height, default_props(),
                                [&seed](int, int, int) {
                                  seed = seed * 1103515245u + 12345u;
                                  return uint8_t(seed >> 24);
                                });
}

std::vector<std::vector<uint8_t>> read_all_rows(ImageFile* file) {
  std::vector<std::vector<uint8_t>> rows;
  for (int y = 0; y < file->height; ++y) {
    rows.emplace_back(file->bytes_per_row);
    if (!image_read_row(file, rows.back().data())) rows.pop_back();
  }
  return rows;
}

// Opening more files than the stream limit closes idle streams and reopens them on use.
TEST(ImageFile, OpenFileTableReopensStreamsBeyondTheLimit) {
  image_file_init();
  TempDir dir;
  const int width = 256, height = 128, files = 3000;
  ASSERT_TRUE(write_noise(dir.file("0.jpg"), width, height));
  const std::string data = qv_test::read_file(dir.file("0.jpg"));
  ASSERT_GT(data.size(), 16384u);
  for (int i = 1; i < files; ++i) {
    ASSERT_TRUE(qv_test::write_file(dir.file(std::to_string(i) + ".jpg"), data));
  }
  std::vector<std::vector<uint8_t>> expected;
  {
    ImageFilePtr reference = image_open_read(dir.file("0.jpg"), nullptr);
    ASSERT_TRUE(reference);
    expected = read_all_rows(reference.get());
    ASSERT_EQ(expected.size(), size_t(height));
  }
  const int streams_before = image_open_stream_count();
  std::vector<ImageFilePtr> readers;
  std::vector<uint8_t> row(3 * width);
  for (int i = 0; i < files; ++i) {
    readers.push_back(image_open_read(dir.file(std::to_string(i) + ".jpg"), nullptr));
    ASSERT_TRUE(readers.back()) << i;
    ASSERT_TRUE(image_read_row(readers.back().get(), row.data()));
    ASSERT_EQ(row, expected[0]);
    ASSERT_LE(image_open_stream_count(), kImageStreamLimit);
  }
  EXPECT_EQ(image_open_stream_count(), kImageStreamLimit);
  // Every handle, its stream closed or not, continues with the right row; a few then read to
  // the end, well past what the codec had buffered before its stream was closed.
  for (int i = 0; i < files; ++i) {
    ASSERT_TRUE(image_read_row(readers[i].get(), row.data())) << i;
    ASSERT_EQ(row, expected[1]) << "file " << i;
    ASSERT_LE(image_open_stream_count(), kImageStreamLimit);
  }
  for (int i : {0, 1, 2, 1500, files - 1}) {
    for (int y = 2; y < height; ++y) {
      ASSERT_TRUE(image_read_row(readers[i].get(), row.data())) << i;
      ASSERT_EQ(row, expected[y]) << "file " << i << " row " << y;
    }
  }
  for (ImageFilePtr& reader : readers) EXPECT_TRUE(image_close(std::move(reader)));
  EXPECT_EQ(image_open_stream_count(), streams_before);
}

// A file that vanished while the limit had its stream closed fails that handle's row call with
// the fatal message; the process and the other handles go on.
TEST(ImageFile, VanishedFileFailsOnlyItsHandle) {
  image_file_init();
  TempDir dir;
  ASSERT_EQ(image_open_stream_count(), 0);  // slots are then given out from 0 upward
  ASSERT_TRUE(write_noise(dir.file("0.jpg"), 256, 128));
  const std::string data = qv_test::read_file(dir.file("0.jpg"));
  const int files = kImageStreamLimit + 1;
  std::vector<ImageFilePtr> readers;
  for (int i = 0; i < files; ++i) {
    const std::string path = dir.file(std::to_string(i) + ".jpg");
    if (i > 0) {
      ASSERT_TRUE(qv_test::write_file(path, data));
    }
    readers.push_back(image_open_read(path, nullptr));
    ASSERT_TRUE(readers.back()) << i;
  }
  // The last open closed the stream of slot 1 (slot 0 is always kept).
  ASSERT_EQ(readers[1]->slot, 1);
  const std::string vanished = dir.file("1.jpg");
  ASSERT_EQ(remove(vanished.c_str()), 0);
  std::vector<uint8_t> row(3 * 256);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(image_read_row(readers[1].get(), row.data()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n\nFATALERROR: unable to open file '" + vanished + "'!\n\n\n");
  EXPECT_FALSE(image_read_row(readers[1].get(), row.data()));  // the handle stays failed
  EXPECT_TRUE(image_read_row(readers[0].get(), row.data()));
  EXPECT_TRUE(image_read_row(readers[2].get(), row.data()));
  for (ImageFilePtr& reader : readers) image_close(std::move(reader));
  EXPECT_EQ(image_open_stream_count(), 0);
}

// Writers of every kind closed by the limit reopen where they were and still complete their
// files: TIFF and PSD writers, which seek back into the file, as well as JPEG and KRO.
TEST(ImageFile, WritersSurviveTheStreamLimit) {
  image_file_init();
  TempDir dir;
  const int files = kImageStreamLimit + 40, width = 8, height = 8;
  static const char* const kExtensions[] = {".jpg", ".kro", ".tif", ".psd", ".btf", ".psb"};
  auto name = [&dir](int i) { return dir.file(std::to_string(i) + kExtensions[i % 6]); };
  std::vector<ImageFilePtr> writers;
  std::vector<uint8_t> row(3 * width, 128);
  for (int i = 0; i < files; ++i) {
    writers.push_back(image_create_write(kPixelRgb8, name(i), width, height, default_props()));
    ASSERT_TRUE(writers.back()) << i;
    ASSERT_TRUE(image_write_row(writers.back().get(), row.data()));
  }
  EXPECT_EQ(image_open_stream_count(), kImageStreamLimit);
  for (int y = 1; y < height; ++y) {
    for (int i = 0; i < files; ++i) {
      row[0] = uint8_t(y + i);
      ASSERT_TRUE(image_write_row(writers[i].get(), row.data()));
    }
  }
  for (ImageFilePtr& writer : writers) ASSERT_TRUE(image_close(std::move(writer)));
  for (int i : {1, 2, 3, 4, 5, 6, 7, files - 2, files - 1}) {
    ImageFilePtr reader = image_open_read(name(i), nullptr);
    ASSERT_TRUE(reader) << i;
    EXPECT_EQ(reader->height, height);
    for (int y = 0; y < height; ++y) {
      ASSERT_TRUE(image_read_row(reader.get(), row.data()));
      if (reader->kind != kImageJpeg) {
        EXPECT_EQ(row[0], y == 0 ? 128 : uint8_t(y + i)) << name(i) << " row " << y;
      }
    }
  }
}

// TIFF and PSD readers hand their streams to the table as well: beyond the limit they are
// closed and reopened, and every reader still delivers its own rows.
TEST(ImageFile, TiffAndPsdReadersSurviveTheStreamLimit) {
  image_file_init();
  TempDir dir;
  const int files = kImageStreamLimit + 60, width = 8, height = 6;
  auto name = [&dir](int i) { return dir.file(std::to_string(i) + (i % 2 ? ".psd" : ".tif")); };
  for (int i = 0; i < files; ++i) {
    ASSERT_TRUE(
        qv_test::write_samples(name(i), kPixelRgb8, width, height, default_props(),
                               [i](int x, int y, int c) { return uint8_t(x + y + c + i); }));
  }
  const int streams_before = image_open_stream_count();
  std::vector<ImageFilePtr> readers;
  for (int i = 0; i < files; ++i) {
    readers.push_back(image_open_read(name(i), nullptr));
    ASSERT_TRUE(readers.back()) << name(i);
    ASSERT_LE(image_open_stream_count(), kImageStreamLimit);
  }
  std::vector<uint8_t> row(3 * width);
  for (int y = 0; y < height; ++y) {
    for (int i = 0; i < files; ++i) {
      ASSERT_TRUE(image_read_row(readers[i].get(), row.data())) << name(i);
      ASSERT_EQ(row[3 * 2 + 1], uint8_t(2 + y + 1 + i)) << name(i) << " row " << y;
    }
  }
  for (ImageFilePtr& reader : readers) EXPECT_TRUE(image_close(std::move(reader)));
  EXPECT_EQ(image_open_stream_count(), streams_before);
}

// Damaged copies of real files are refused or read to the end, never a crash (run under the
// sanitizers to see the difference).
TEST(ImageFile, DamagedFilesAreRefusedOrRead) {
  TempDir dir;
  std::string kro = std::string(
      "KRO\x01\x00\x00\x00\x10\x00\x00\x00\x08\x00\x00\x00\x10"
      "\x00\x00\x00\x03",
      20);
  kro += std::string(16 * 8 * 6, 'k');
  ASSERT_TRUE(qv_test::write_file(dir.file("seed.kro"), kro));
  const std::string seeds[] = {
      qv_test::corpus_file("jpeg/gdkpixbuf_dpi.jpeg"),
      qv_test::corpus_file("jpeg/golang_video-001.progressive.jpeg"),
      qv_test::corpus_file("jpeg/golang_video-005.gray.jpeg"),
      qv_test::corpus_file("png/pillow_icc_profile.png"),
      dir.file("seed.kro"),
  };
  uint32_t random = 99;
  auto next = [&random](uint32_t limit) {
    random = random * 1664525u + 1013904223u;
    return limit == 0 ? 0 : (random >> 8) % limit;
  };
  int opened = 0;
  for (const std::string& seed : seeds) {
    const std::string original = qv_test::read_file(seed);
    ASSERT_FALSE(original.empty()) << seed;
    for (int round = 0; round < 150; ++round) {
      std::string damaged = original;
      if (round % 3 == 0) damaged.resize(next(uint32_t(damaged.size())));
      for (int flips = 1 + next(4); flips > 0 && !damaged.empty(); --flips) {
        damaged[next(uint32_t(std::min<size_t>(damaged.size(), 400)))] = char(next(256));
      }
      const std::string path = dir.file("damaged");
      ASSERT_TRUE(qv_test::write_file(path, damaged));
      testing::internal::CaptureStdout();
      ImageProps props;
      ImageFilePtr file = image_open_read(path, &props);
      if (file) {
        ++opened;
        std::vector<uint8_t> row(size_t(file->bytes_per_row));
        while (image_read_row(file.get(), row.data())) {
        }
        image_close(std::move(file));
      }
      image_probe(path);
      testing::internal::GetCapturedStdout();
    }
  }
  EXPECT_GT(opened, 0);
}

// Tools run side by side on worker threads: handles share only the open-file table.
TEST(ImageFile, HandlesOnSeveralThreads) {
  TempDir dir;
  ASSERT_TRUE(write_noise(dir.file("in.jpg"), 256, 128));
  std::vector<std::vector<uint8_t>> expected;
  {
    ImageFilePtr reference = image_open_read(dir.file("in.jpg"), nullptr);
    ASSERT_TRUE(reference);
    expected = read_all_rows(reference.get());
  }
  const int streams_before = image_open_stream_count();
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        ImageFilePtr reader = image_open_read(dir.file("in.jpg"), nullptr);
        const std::string out = dir.file("out" + std::to_string(t) + ".kro");
        ImageFilePtr writer = image_create_write(kPixelRgb8, out, 256, 128, default_props());
        if (!reader || !writer || read_all_rows(reader.get()) != expected) ++failures[t];
        std::vector<uint8_t> row(3 * 256, uint8_t(t));
        for (int y = 0; y < 128 && writer; ++y) image_write_row(writer.get(), row.data());
        if (!image_close(std::move(writer))) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  EXPECT_EQ(image_open_stream_count(), streams_before);
}

TEST(ImageFile, LastErrorDetailIsKeptUntilCleared) {
  image_clear_last_error();
  EXPECT_EQ(image_last_error(), "");
  image_set_last_error("only flatten psd/psb files are supported");
  EXPECT_EQ(image_last_error(), "only flatten psd/psb files are supported");
  image_clear_last_error();
  EXPECT_EQ(image_last_error(), "");
}

}  // namespace
