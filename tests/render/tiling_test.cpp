// The tiling core in-process: tile names, grids and callbacks, lossless cut and merge, output
// format rules, resizing, profile modes, tiled input repair and failure handling.
#include "render/tiling.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "imageio/color_profile.h"
#include "imageio/metadata.h"
#include "render/resize.h"
#include "support/captured_console.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::Pixels;
using qv_test::read_pixels;
using qv_test::TempDir;
using qv_test::write_pattern;

TileJob quiet_job(const std::string& input, const std::string& output, int tile_width,
                  int tile_height) {
  TileJob job;
  init_tile_job(&job);
  job.quiet = true;
  job.input = input;
  job.output = output;
  job.tile_width = tile_width;
  job.tile_height = tile_height;
  return job;
}

// Makes a job read a grid of input tiles that assembles a width × height image.
void use_tiled_input(TileJob* job, int width, int height, int tile_width, int tile_height) {
  job->tiled_input = true;
  job->in_width = width;
  job->in_height = height;
  job->in_tile_width = tile_width;
  job->in_tile_height = tile_height;
}

// Runs a job with a captured console and returns what it reported (the error lines alone in
// *errors when asked); nothing may reach the standard output by itself.
std::string run_capturing(TileJob* job, bool* ok, std::string* errors = nullptr) {
  qv_test::CapturedConsole console;
  job->console = &console;
  testing::internal::CaptureStdout();
  *ok = make_tiles(job);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  job->console = nullptr;
  if (errors) *errors = console.errors;
  return console.text;
}

TEST(TileName, ExpandsPlaceholders) {
  const struct {
    const char* name_template;
    int column, row;
    bool letters_only;
    const char* expected;
  } rows[] = {
      {"t/%h_%v.jpg", 7, 3, false, "t/7_3.jpg"},
      {"%0h-%00v", 7, 7, false, "07-007"},
      {"%0h", 123, 1, false, "123"},  // wider than the padding: written whole
      {"%x%X%u%U", 5, 1, false, "5555"},
      {"%y%Y%V", 1, 9, false, "999"},
      {"%s and %0s", 1, 1, false, "%s and %s"},  // zeros before another letter are lost
      {"a0b%", 1, 1, false, "a0b"},              // a final "%" is dropped
      {"%0", 1, 1, false, ""},
      {"tiles/%0v_%h.jpg", 4, 5, true, "tiles/v_h.jpg"},
      {"%00X/%Y%s", 4, 5, true, "X/Y%s"},
      {"%0h", -3, 1, false, "-3"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(expand_tile_name(row.name_template, row.column, row.row, row.letters_only),
              row.expected)
        << row.name_template;
  }
  EXPECT_EQ(expand_tile_name(std::string(1200, 'a') + "%h", 1, 1, false).size(), 999u);
}

TEST(TileJob, DefaultsKeepTheUserField) {
  TileJob job;
  int marker = 0;
  job.user = &marker;
  job.tile_width = 77;
  job.filter = 2;
  init_tile_job(&job);
  EXPECT_EQ(job.user, &marker);
  EXPECT_EQ(job.tile_width, 0);
  EXPECT_EQ(job.index_base, 1);
  EXPECT_EQ(job.jpeg_quality, 85);
  EXPECT_EQ(job.jpeg_subsampling, 444);
  EXPECT_EQ(job.tiff_compression, 2);
  EXPECT_EQ(job.profile_mode, kProfileConvert);
  EXPECT_EQ(job.in_index_base, 1);
  EXPECT_EQ(job.filter, 12);
}

struct CallbackLog {
  int stages = 0;
  int stage = 0;
  std::vector<std::pair<int64_t, int64_t>> progress;
  std::vector<std::string> names;
  std::vector<std::pair<double, double>> offsets;
};

void on_stages(void* user, int count, const double* weights) {
  auto* log = static_cast<CallbackLog*>(user);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(weights, nullptr);
  ++log->stages;
}
void on_stage(void* user, int number) {
  EXPECT_EQ(number, 1);
  ++static_cast<CallbackLog*>(user)->stage;
}
void on_progress(void* user, int64_t done, int64_t total) {
  static_cast<CallbackLog*>(user)->progress.emplace_back(done, total);
}
void on_tile(void* user, const char* name, double x, double y) {
  auto* log = static_cast<CallbackLog*>(user);
  log->names.push_back(name);
  log->offsets.emplace_back(x, y);
  EXPECT_FALSE(qv_test::file_exists(name)) << "called before the file is created";
}

TEST(Tiling, GridOfEdgeTilesNamesAndCallbacks) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 1000, 500));
  TileJob job = quiet_job(dir.file("in.kro"), dir.file("out/%v/%0h.kro"), 256, 0);
  job.quiet = false;
  job.info_off = 1;
  CallbackLog log;
  job.user = &log;
  job.tile_user = &log;
  job.stages = on_stages;
  job.stage = on_stage;
  job.progress = on_progress;
  job.on_tile = on_tile;
  bool ok = false;
  EXPECT_EQ(run_capturing(&job, &ok), "");  // summary lines are off
  ASSERT_TRUE(ok);
  EXPECT_EQ(log.stages, 1);
  EXPECT_EQ(log.stage, 1);
  ASSERT_EQ(log.progress.size(), 501u);
  EXPECT_EQ(log.progress[0], std::make_pair(int64_t{1}, int64_t{500}));
  EXPECT_EQ(log.progress[499], std::make_pair(int64_t{500}, int64_t{500}));
  EXPECT_EQ(log.progress.back(), std::make_pair(int64_t{1}, int64_t{1}));

  ASSERT_EQ(log.names.size(), 8u);
  EXPECT_EQ(log.names[0], dir.file("out/1/01.kro"));
  EXPECT_EQ(log.names[7], dir.file("out/2/04.kro"));
  EXPECT_DOUBLE_EQ(log.offsets[0].first, -1.5 / 4);
  EXPECT_DOUBLE_EQ(log.offsets[0].second, -0.5 / 2);
  EXPECT_DOUBLE_EQ(log.offsets[7].first, 1.5 / 4);
  EXPECT_DOUBLE_EQ(log.offsets[7].second, 0.5 / 2);

  const Pixels source = read_pixels(dir.file("in.kro"));
  for (int r = 0; r < 2; ++r) {
    for (int k = 0; k < 4; ++k) {
      const Pixels tile = read_pixels(log.names[r * 4 + k]);
      ASSERT_TRUE(tile.ok) << log.names[r * 4 + k];
      EXPECT_EQ(tile.width, k == 3 ? 232 : 256);
      EXPECT_EQ(tile.height, r == 1 ? 244 : 256);
      EXPECT_EQ(tile.bytes, qv_test::crop(source, k * 256, r * 256, tile.width, tile.height));
    }
  }
}

TEST(Tiling, TileSizeForms) {
  const struct {
    int tile_width, tile_height, index_base;
    std::vector<std::string> names;  // expected files, sorted
    int first_width, first_height;
  } rows[] = {
      {0, 0, 1, {"t_1_1.kro"}, 300, 200},
      {0, 0, 0, {"t_0_0.kro"}, 300, 200},
      {0, 64, 1, {"t_1_1.kro", "t_1_2.kro", "t_1_3.kro", "t_1_4.kro"}, 300, 64},
      {128,
       0,
       1,
       {"t_1_1.kro", "t_2_1.kro", "t_3_1.kro", "t_1_2.kro", "t_2_2.kro", "t_3_2.kro"},
       128,
       128},
      {200, 150, 0, {"t_0_0.kro", "t_1_0.kro", "t_0_1.kro", "t_1_1.kro"}, 200, 150},
  };
  TempDir source_dir;
  ASSERT_TRUE(write_pattern(source_dir.file("in.kro"), kPixelRgb8, 300, 200));
  for (const auto& row : rows) {
    TempDir dir;
    TileJob job = quiet_job(source_dir.file("in.kro"), dir.file("t_%h_%v.kro"), row.tile_width,
                            row.tile_height);
    job.index_base = row.index_base;
    ASSERT_TRUE(make_tiles(&job));
    std::vector<std::string> expected = row.names;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(qv_test::list_files(dir.path), expected) << row.tile_width << "x" << row.tile_height;
    const Pixels first = read_pixels(dir.file(row.names[0]));
    EXPECT_EQ(first.width, row.first_width);
    EXPECT_EQ(first.height, row.first_height);
  }
}

TEST(Tiling, CutThenMergeReproducesTheSourceForEveryLosslessFormat) {
  for (PixelFormat format : {kPixelRgb8, kPixelRgba8, kPixelRgb16, kPixelRgba16}) {
    TempDir dir;
    ASSERT_TRUE(write_pattern(dir.file("in.kro"), format, 150, 101));
    TileJob cut = quiet_job(dir.file("in.kro"), dir.file("tiles/%0v_%0h.kro"), 64, 48);
    ASSERT_TRUE(make_tiles(&cut));
    EXPECT_EQ(qv_test::list_files(dir.file("tiles")).size(), 9u);

    TileJob merge = quiet_job(dir.file("tiles/%0v_%0h.kro"), dir.file("merged.kro"), 0, 0);
    use_tiled_input(&merge, 150, 101, 64, 48);
    ASSERT_TRUE(make_tiles(&merge));
    const Pixels source = read_pixels(dir.file("in.kro"));
    const Pixels merged = read_pixels(dir.file("merged.kro"));
    EXPECT_EQ(merged.format, format);
    EXPECT_EQ(merged.bytes, source.bytes) << "format " << format;

    TileJob mirror = quiet_job(dir.file("in.kro"), dir.file("mirror.kro"), 0, 0);
    mirror.hmirror = true;
    ASSERT_TRUE(make_tiles(&mirror));
    const Pixels mirrored = read_pixels(dir.file("mirror.kro"));
    const size_t pixel = pixel_format_bytes(format);
    for (int y : {0, 57, 100}) {
      for (int x : {0, 1, 74, 149}) {
        EXPECT_EQ(0, memcmp(mirrored.at(x, y), source.at(149 - x, y), pixel)) << x << "," << y;
      }
    }
  }
}

TEST(Tiling, TilesOfEveryWritableFormatMergeBackExactly) {
  for (const char* extension : {"tif", "btf", "psd", "psb", "kro"}) {
    // Photoshop documents are written as RGB: their tiles lose the alpha channel.
    const bool keeps_alpha = extension[0] != 'p';
    for (PixelFormat format : {kPixelRgb8, kPixelRgba8, kPixelRgb16, kPixelRgba16}) {
      TempDir dir;
      ASSERT_TRUE(write_pattern(dir.file("in.kro"), format, 70, 45));
      TileJob expected_job = quiet_job(dir.file("in.kro"), dir.file("expected.kro"), 0, 0);
      expected_job.no_alpha = !keeps_alpha;
      ASSERT_TRUE(make_tiles(&expected_job));
      const Pixels expected = read_pixels(dir.file("expected.kro"));

      const std::string tiles = dir.file(std::string("t/%v_%h.") + extension);
      TileJob cut = quiet_job(dir.file("in.kro"), tiles, 32, 0);
      cut.tiff_compression = 3;
      ASSERT_TRUE(make_tiles(&cut)) << extension << " " << format;
      EXPECT_EQ(read_pixels(expand_tile_name(tiles, 3, 2, false)).format, expected.format);
      TileJob merge = quiet_job(tiles, dir.file("merged.kro"), 0, 0);
      use_tiled_input(&merge, 70, 45, 32, 32);
      ASSERT_TRUE(make_tiles(&merge));
      EXPECT_EQ(read_pixels(dir.file("merged.kro")).bytes, expected.bytes)
          << extension << " " << format;
    }
  }
}

TEST(Tiling, OutputFormatFollowsNameBitsAndAlphaOptions) {
  const struct {
    const char* output;
    bool to_8bit, no_alpha;
    int tiff_compression;
    PixelFormat expected;
  } rows[] = {
      {"o.kro", false, false, 2, kPixelRgba16}, {"o.kro", true, false, 2, kPixelRgba8},
      {"o.kro", false, true, 2, kPixelRgb16},   {"o.kro", true, true, 2, kPixelRgb8},
      {"o.kro", false, false, 1, kPixelRgb8},   {"o.kro", false, false, 4, kPixelRgba16},
      {"O.JPG", false, false, 2, kPixelRgb8},   {"o.jpeg", false, true, 2, kPixelRgb8},
  };
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgba16, 40, 30));
  const Pixels source = read_pixels(dir.file("in.kro"));
  for (const auto& row : rows) {
    TileJob job = quiet_job(dir.file("in.kro"), dir.file(row.output), 0, 0);
    job.to_8bit = row.to_8bit;
    job.no_alpha = row.no_alpha;
    job.tiff_compression = row.tiff_compression;
    ASSERT_TRUE(make_tiles(&job)) << row.output;
    const Pixels out = read_pixels(dir.file(row.output));
    EXPECT_EQ(out.format, row.expected) << row.output << " " << row.to_8bit << row.no_alpha;
    if (out.format == kPixelRgb8 && std::string(row.output).find(".kro") != std::string::npos) {
      // Truncated high bytes of the first three samples.
      for (int c = 0; c < 3; ++c) EXPECT_EQ(out.at(13, 7)[c], source.at(13, 7)[2 * c + 1]);
    }
    if (out.format == kPixelRgba8) {
      for (int c = 0; c < 4; ++c) EXPECT_EQ(out.at(39, 29)[c], source.at(39, 29)[2 * c + 1]);
    }
    if (out.format == kPixelRgb16) {
      EXPECT_EQ(0, memcmp(out.at(5, 5), source.at(5, 5), 6));
    }
  }
  // 16-bit RGB reduced for an 8-bit request.
  ASSERT_TRUE(write_pattern(dir.file("rgb16.kro"), kPixelRgb16, 20, 10));
  TileJob job = quiet_job(dir.file("rgb16.kro"), dir.file("rgb8.kro"), 0, 0);
  job.to_8bit = true;
  ASSERT_TRUE(make_tiles(&job));
  EXPECT_EQ(read_pixels(dir.file("rgb8.kro")).format, kPixelRgb8);
}

// The rows a resizer gives for a whole image pushed through it directly.
std::vector<uint8_t> resized_directly(const Pixels& source, int width, int height) {
  ResizerPtr resizer =
      resizer_create(width, height, source.width, source.height, source.format, 12, false);
  const size_t pixel = pixel_format_bytes(source.format);
  std::vector<uint8_t> buffer(std::max(width, source.width) * pixel);
  std::vector<uint8_t> out;
  for (int y = 0; y < source.height; ++y) {
    memcpy(buffer.data(), source.at(0, y), source.width * pixel);
    int ready = resizer_push_row(buffer.data(), resizer.get(), buffer.data());
    while (ready == 1) {
      out.insert(out.end(), buffer.begin(), buffer.begin() + width * pixel);
      ready = resizer_push_row(nullptr, resizer.get(), buffer.data());
    }
  }
  return out;
}

TEST(Tiling, ResizeSizesAndRowsMatchTheResizer) {
  const struct {
    int source_width, source_height, width, height;
    bool keep_aspect;
    int expected_width, expected_height;
  } rows[] = {
      {400, 200, -1, 100, false, 200, 100},  {400, 200, 200, -1, false, 200, 100},
      {400, 200, 100, 100, true, 100, 50},   {400, 200, 300, 100, true, 200, 100},
      {400, 200, 100, 100, false, 100, 100}, {40, 30, 100, 75, false, 100, 75},
      {401, 203, 123, 61, false, 123, 61},
  };
  for (const auto& row : rows) {
    TempDir dir;
    ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, row.source_width, row.source_height));
    TileJob job = quiet_job(dir.file("in.kro"), dir.file("t%v_%h.kro"), 64, 32);
    job.resize = true;
    job.resize_width = row.width;
    job.resize_height = row.height;
    job.keep_aspect = row.keep_aspect;
    ASSERT_TRUE(make_tiles(&job));
    TileJob merge = quiet_job(dir.file("t%v_%h.kro"), dir.file("merged.kro"), 0, 0);
    use_tiled_input(&merge, row.expected_width, row.expected_height, 64, 32);
    ASSERT_TRUE(make_tiles(&merge));
    const Pixels merged = read_pixels(dir.file("merged.kro"));
    EXPECT_EQ(merged.width, row.expected_width);
    EXPECT_EQ(merged.height, row.expected_height);
    EXPECT_EQ(merged.bytes, resized_directly(read_pixels(dir.file("in.kro")), row.expected_width,
                                             row.expected_height))
        << row.width << "x" << row.height;
  }
}

TEST(Tiling, TiledInputIsResizedLikeTheWholeImage) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgba16, 130, 70));
  TileJob cut = quiet_job(dir.file("in.kro"), dir.file("t/%v_%h.kro"), 50, 30);
  ASSERT_TRUE(make_tiles(&cut));
  TileJob job = quiet_job(dir.file("t/%v_%h.kro"), dir.file("half/%v_%h.kro"), 40, 0);
  use_tiled_input(&job, 130, 70, 50, 30);
  job.resize = true;
  job.resize_width = 65;
  job.resize_height = -1;
  ASSERT_TRUE(make_tiles(&job));
  TileJob merge = quiet_job(dir.file("half/%v_%h.kro"), dir.file("merged.kro"), 0, 0);
  use_tiled_input(&merge, 65, 35, 40, 40);
  ASSERT_TRUE(make_tiles(&merge));
  EXPECT_EQ(read_pixels(dir.file("merged.kro")).bytes,
            resized_directly(read_pixels(dir.file("in.kro")), 65, 35));
}

// A valid RGB profile that is not sRGB: sRGB primaries with a linear tone curve.
std::vector<uint8_t> linear_rgb_profile() {
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
  cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
  cmsToneCurve* curves[3] = {linear, linear, linear};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::vector<uint8_t> bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  cmsFreeToneCurve(linear);
  return bytes;
}

TEST(Tiling, ProfileModesEmbedAndConvert) {
  const std::vector<uint8_t> linear = linear_rgb_profile();
  const std::vector<uint8_t> garbage(300, 0x5A);
  const std::vector<uint8_t> none;
  const struct {
    const std::vector<uint8_t>* source_profile;
    ProfileMode mode;
    bool succeeds;
    const std::vector<uint8_t>* embedded;  // null: nothing embedded
    bool converted;
  } rows[] = {
      {&linear, kProfileCopy, true, &linear, false},
      {&linear, kProfileSrgb, true, &compact_srgb_profile(), true},
      {&linear, kProfileConvert, true, nullptr, true},
      {&linear, kProfileSkip, true, nullptr, false},
      {&none, kProfileCopy, true, nullptr, false},
      {&none, kProfileSrgb, true, nullptr, false},
      {&none, kProfileConvert, true, nullptr, false},
      {&garbage, kProfileConvert, false, nullptr, false},
      {&garbage, kProfileSrgb, false, nullptr, false},
      {&garbage, kProfileSkip, true, nullptr, false},
      {&garbage, kProfileCopy, true, &garbage, false},
  };
  for (const auto& row : rows) {
    TempDir dir;
    ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgba8, 64, 16, *row.source_profile));
    TileJob job = quiet_job(dir.file("in.kro"), dir.file("out.kro"), 0, 0);
    job.quiet = false;
    job.profile_mode = row.mode;
    bool ok = false;
    const std::string printed = run_capturing(&job, &ok);
    EXPECT_EQ(ok, row.succeeds) << "mode " << row.mode;
    EXPECT_TRUE(job.in_profile.empty() && job.out_profile.empty());
    if (!row.succeeds) {
      EXPECT_NE(printed.find("\nERROR: couldn't parse embedded color profile\n"),
                std::string::npos);
      continue;
    }
    std::unique_ptr<ImageInfo> info = image_probe(dir.file("out.kro"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->icc, row.embedded ? *row.embedded : none) << "mode " << row.mode;
    const Pixels source = read_pixels(dir.file("in.kro"));
    const Pixels out = read_pixels(dir.file("out.kro"));
    EXPECT_EQ(out.bytes != source.bytes, row.converted) << "mode " << row.mode;
    for (int x = 0; x < 64; ++x) EXPECT_EQ(out.at(x, 3)[3], source.at(x, 3)[3]) << "alpha kept";
  }
}

TEST(Tiling, SummaryLinesNameProfilesAndFormats) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgba16, 100, 60, linear_rgb_profile()));
  TileJob job = quiet_job(dir.file("in.kro"), dir.file("%h.jpg"), 64, 0);
  job.quiet = false;
  job.profile_mode = kProfileSrgb;
  bool ok = false;
  std::string errors;
  const std::string printed = run_capturing(&job, &ok, &errors);
  ASSERT_TRUE(ok);
  EXPECT_EQ(errors, "");
  const std::string description =
      icc_profile_description(linear_rgb_profile().data(), linear_rgb_profile().size());
  char size_text[64];
  snprintf(size_text, sizeof size_text, "%d byte", static_cast<int>(linear_rgb_profile().size()));
  EXPECT_EQ(printed, "inputimage:  " + dir.file("in.kro") +
                         " - 100x60 - profile:" + (description.empty() ? "Unknown" : description) +
                         " (" + size_text + ") - RGBA 16bit\noutputtiles: " + dir.file("%h.jpg") +
                         " - 2x1 (2) tiles - profile:sRGB (491 byte) - RGB\nmaking tiles...\n");
}

TEST(Tiling, TiledInputRepairsMissingOversizedAndForeignTiles) {
  TempDir dir;
  // A 90 × 60 image in 32 × 32 tiles: 3 × 2 tiles, the last column 26 wide, the last row 28 high.
  ASSERT_TRUE(write_pattern(dir.file("whole.kro"), kPixelRgb8, 90, 60));
  TileJob cut = quiet_job(dir.file("whole.kro"), dir.file("in/%v_%h.kro"), 32, 32);
  ASSERT_TRUE(make_tiles(&cut));
  // The second tile row has an oversized tile, one of another pixel format and a missing one;
  // the row buffer still holds the first tile row's pixels there.
  ASSERT_EQ(unlink(dir.file("in/2_3.kro").c_str()), 0);
  ASSERT_TRUE(write_pattern(dir.file("in/2_1.kro"), kPixelRgb8, 40, 40));   // oversized
  ASSERT_TRUE(write_pattern(dir.file("in/2_2.kro"), kPixelRgba8, 32, 28));  // other format

  TileJob merge = quiet_job(dir.file("in/%v_%h.kro"), dir.file("merged.kro"), 0, 0);
  use_tiled_input(&merge, 90, 60, 32, 32);
  bool ok = false;
  std::string errors;
  const std::string printed = run_capturing(&merge, &ok, &errors);
  ASSERT_TRUE(ok);
  EXPECT_EQ(printed, "ERROR: unable to open inputimage " + dir.file("in/2_2.kro") +
                         "\nERROR: unable to open inputimage " + dir.file("in/2_3.kro") + "\n");
  EXPECT_EQ(errors, printed);
  const Pixels whole = read_pixels(dir.file("whole.kro"));
  const Pixels merged = read_pixels(dir.file("merged.kro"));
  const Pixels oversized = read_pixels(dir.file("in/2_1.kro"));
  ASSERT_TRUE(merged.ok);
  EXPECT_EQ(qv_test::crop(merged, 0, 0, 90, 32), qv_test::crop(whole, 0, 0, 90, 32));
  EXPECT_EQ(qv_test::crop(merged, 0, 32, 32, 28), qv_test::crop(oversized, 0, 0, 32, 28));
  EXPECT_EQ(qv_test::crop(merged, 32, 32, 58, 28), std::vector<uint8_t>(58 * 28 * 3, 0));
}

TEST(Tiling, RefusedJobsPrintTheirMessages) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 20, 10));
  ASSERT_TRUE(qv_test::write_file(dir.file("blocker"), "a file where a folder should be"));
  const struct {
    std::string input, output;
    int tile_width;
    bool tiled;
    int in_width, in_tile_width, in_tile_height;
    std::string message;        // printed unless quiet
    std::string quiet_message;  // printed also when quiet
  } rows[] = {
      {dir.file("none.kro"), dir.file("o.kro"), 0, false, 0, 0, 0,
       "ERROR: unable to open inputimage " + dir.file("none.kro") +
           "\n       - no such file or directory!\n",
       ""},
      {dir.file("in.kro"), dir.file("o.png"), 0, false, 0, 0, 0, "",
       "ERROR: unable to create file " + dir.file("o.png") + "\n"},
      {dir.file("in.kro"), dir.file("blocker/%h.kro"), 8, false, 0, 0, 0, "",
       "ERROR: unable to create file " + dir.file("blocker/1.kro") +
           "\n       - not a directory!\n"},
      {dir.file("in.kro"), dir.file("o.kro"), -2, false, 0, 0, 0, "", ""},
      {dir.file("%h.kro"), dir.file("o.kro"), 0, true, 0, 16, 16,
       "ERROR: tiled input - invalid or bad arguments: imagesize=0x10 tilesize=16\n", ""},
      {dir.file("%h.kro"), dir.file("o.kro"), 0, true, 20, 16, 0,
       "ERROR: tiled input - invalid or bad arguments: imagesize=20x10 tilesize=16x0\n", ""},
  };
  for (const auto& row : rows) {
    for (bool quiet : {false, true}) {
      TileJob job = quiet_job(row.input, row.output, row.tile_width, 0);
      job.quiet = quiet;
      job.info_off = 1;
      job.tiled_input = row.tiled;
      job.in_width = row.in_width;
      job.in_height = 10;
      job.in_tile_width = row.in_tile_width;
      job.in_tile_height = row.in_tile_height;
      bool ok = true;
      std::string errors;
      const std::string printed = run_capturing(&job, &ok, &errors);
      EXPECT_FALSE(ok) << row.output;
      EXPECT_EQ(printed, quiet ? row.quiet_message : row.message + row.quiet_message)
          << row.output << " quiet " << quiet;
      EXPECT_EQ(errors, printed) << row.output << " quiet " << quiet;
    }
  }
}

// Without a console the core stays silent, errors included; it never falls back to a stream.
TEST(Tiling, WithoutAConsoleNothingIsPrinted) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 20, 10));
  for (const char* input : {"in.kro", "none.kro"}) {
    TileJob job = quiet_job(dir.file(input), dir.file("%h.kro"), 8, 0);
    job.quiet = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = make_tiles(&job);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << input;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << input;
    EXPECT_EQ(ok, std::string(input) == "in.kro");
  }
}

TEST(Tiling, UnfinishedTilesAreRemoved) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 64, 64));
  // The second tile of the second row cannot get its name (a folder has it): the tiles that
  // were completed stay, each of them whole.
  ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.file("out/2_2.kro").c_str(), 0755), 0);
  TileJob job = quiet_job(dir.file("in.kro"), dir.file("out/%v_%h.kro"), 32, 32);
  EXPECT_FALSE(make_tiles(&job));
  EXPECT_EQ(qv_test::list_files(dir.file("out")),
            (std::vector<std::string>{"1_1.kro", "1_2.kro", "2_1.kro", "2_2.kro"}));
  EXPECT_TRUE(read_pixels(dir.file("out/1_2.kro")).ok);
  EXPECT_TRUE(read_pixels(dir.file("out/2_1.kro")).ok);

  // A tile is written beside its name and renamed: a link at the name (here to a full device)
  // is replaced by the whole tile, and the device is never written.
  ASSERT_EQ(symlink("/dev/full", dir.file("full_1.kro").c_str()), 0);
  TileJob full = quiet_job(dir.file("in.kro"), dir.file("full_%h.kro"), 32, 0);
  bool ok = false;
  run_capturing(&full, &ok);
  EXPECT_TRUE(ok);
  struct stat link_or_file;
  ASSERT_EQ(lstat(dir.file("full_1.kro").c_str(), &link_or_file), 0);
  EXPECT_TRUE(S_ISREG(link_or_file.st_mode));
  EXPECT_TRUE(read_pixels(dir.file("full_1.kro")).ok);
  EXPECT_TRUE(read_pixels(dir.file("full_2.kro")).ok);
}

TEST(Tiling, JobRunsAgainAfterSuccess) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 30, 20, linear_rgb_profile()));
  TileJob job = quiet_job(dir.file("in.kro"), dir.file("o_%h.kro"), 16, 0);
  job.profile_mode = kProfileCopy;
  ASSERT_TRUE(make_tiles(&job));
  EXPECT_TRUE(job.in_profile.empty());
  EXPECT_EQ(job.in_profile_size, 0u);
  EXPECT_TRUE(job.out_profile.empty());
  EXPECT_EQ(job.out_profile_size, 0);
  const std::string first = qv_test::read_file(dir.file("o_2.kro"));
  ASSERT_TRUE(make_tiles(&job));
  EXPECT_EQ(qv_test::read_file(dir.file("o_2.kro")), first);
}

}  // namespace

namespace {

TEST(Tiling, CorpusFilesKeepOrConvertTheirProfiles) {
  TempDir dir;
  const std::string rocket = qv_test::corpus_file("jpeg/skimage_rocket.jpg");  // Adobe RGB
  std::unique_ptr<ImageInfo> source = image_probe(rocket);
  ASSERT_TRUE(source && !source->icc.empty());
  const struct {
    ProfileMode mode;
    const std::vector<uint8_t>* embedded;
  } rows[] = {
      {kProfileCopy, &source->icc},
      {kProfileSrgb, &compact_srgb_profile()},
  };
  for (const auto& row : rows) {
    TileJob job = quiet_job(rocket, dir.file("r_%h_%v.jpg"), 256, 0);
    job.profile_mode = row.mode;
    ASSERT_TRUE(make_tiles(&job));
    std::unique_ptr<ImageInfo> tile = image_probe(dir.file("r_3_2.jpg"));
    ASSERT_TRUE(tile);
    EXPECT_EQ(tile->icc, *row.embedded) << "mode " << row.mode;
    EXPECT_EQ(tile->width, 640 - 512);
    EXPECT_EQ(tile->height, 427 - 256);
  }
  // A 16-bit RGBA TIFF becomes 8-bit RGB JPEG tiles.
  TileJob job = quiet_job(qv_test::corpus_file("tiff/pillow_tiff_16bit_RGBa.tiff"),
                          dir.file("a_%h.jpg"), 64, 0);
  ASSERT_TRUE(make_tiles(&job));
  const Pixels tile = read_pixels(dir.file("a_2.jpg"));
  EXPECT_EQ(tile.format, kPixelRgb8);
  EXPECT_EQ(tile.width, 36);
}

}  // namespace
