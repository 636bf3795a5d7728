// The maketiles tool through the built binary: usage, argument rules, messages, progress and
// exit codes, tile size and resize forms, tiled-input merges.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::read_pixels;
using qv_test::run_qorveltools;
using qv_test::TempDir;
using qv_test::write_pattern;

const char kBanner[] = "\nqorvel maketiles tools 1.19-pr16 - 32bit (build 2018-04-04)\n";

// The progress text for an output of the given height.
std::string progress_text(int height) {
  std::string text;
  int last = -1;
  for (int done = 1; done <= height; ++done) {
    const int percent = done * 100 / height;
    if (percent == last) continue;
    last = percent;
    text += std::to_string(percent) + "%   \r";
  }
  return text;
}

TEST(Maketiles, UsageWithoutArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"maketiles"}, std::vector<std::string>{"convert", "in.jpg"}}) {
    CommandResult result = run_qorveltools(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind(std::string(kBanner) +
                                   "    - split a big image into smaller tiles\n"
                                   "    - merge small tiles into one big image or 're-tile' it\n"
                                   "    - resize images or tiled images\n"
                                   "    - convert images between different image formats\n"
                                   "syntax: qorveltools maketiles inputfile outputfile tilesize "
                                   "[options]\n",
                               0),
              0u)
        << result.out;
    const std::string tail =
        "supported input and output formats:\n"
        "  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, RGB or RGBA)\n";
    ASSERT_GE(result.out.size(), tail.size());
    EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  }
}

TEST(Maketiles, SummaryProgressAndDone) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 100, 50));
  CommandResult result =
      run_qorveltools({"qmaketiles", dir.file("in.kro"), dir.file("t/%v_%h.jpg"), "32"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, std::string(kBanner) + "inputimage:  " + dir.file("in.kro") +
                            " - 100x50 - RGB\noutputtiles: " + dir.file("t/%v_%h.jpg") +
                            " - 4x2 (8) tiles - RGB\nmaking tiles...\n" + progress_text(50) +
                            "done.          \n");
  EXPECT_EQ(qv_test::list_files(dir.file("t")).size(), 8u);

  result = run_qorveltools({"convert", dir.file("in.kro"), dir.file("one.kro"), "-q"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(read_pixels(dir.file("one.kro")).bytes, read_pixels(dir.file("in.kro")).bytes);
}

TEST(Maketiles, TileSizeForms) {
  const struct {
    std::vector<std::string> extra;  // tile size and options after the two file names
    std::vector<std::string> files;
    int first_width, first_height;
  } rows[] = {
      {{}, {"1_1.kro"}, 100, 60},
      {{"0"}, {"1_1.kro"}, 100, 60},
      {{"32"},
       {"1_1.kro", "1_2.kro", "1_3.kro", "1_4.kro", "2_1.kro", "2_2.kro", "2_3.kro", "2_4.kro"},
       32,
       32},
      {{"48x0"}, {"1_1.kro", "1_2.kro", "1_3.kro", "2_1.kro", "2_2.kro", "2_3.kro"}, 48, 48},
      {{"0x48"}, {"1_1.kro", "2_1.kro"}, 100, 48},
      {{"64X40", "-indexbase=0"}, {"0_0.kro", "0_1.kro", "1_0.kro", "1_1.kro"}, 64, 40},
  };
  TempDir source;
  ASSERT_TRUE(write_pattern(source.file("in.kro"), kPixelRgb8, 100, 60));
  for (const auto& row : rows) {
    TempDir dir;
    std::vector<std::string> args = {"maketiles", source.file("in.kro"), dir.file("%v_%h.kro")};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    args.push_back("-q");
    CommandResult result = run_qorveltools(args);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(qv_test::list_files(dir.path), row.files) << (row.extra.empty() ? "" : row.extra[0]);
    const qv_test::Pixels first = read_pixels(dir.file(row.files[0]));
    EXPECT_EQ(first.width, row.first_width);
    EXPECT_EQ(first.height, row.first_height);
  }
}

TEST(Maketiles, ResizeForms) {
  const struct {
    const char* option;
    int width, height;  // 0: refused
  } rows[] = {
      {"-resize=50x20", 50, 20}, {"-resize=50x*", 50, 30}, {"-resize=*x15", 25, 15},
      {"-RESIZE=*X15", 25, 15},  {"-resize=*x*", 0, 0},    {"-resize=0x20", 0, 0},
      {"-resize=50", 0, 0},      {"-resize", 0, 0},        {"-resize=*", 0, 0},
  };
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 100, 60));
  for (const auto& row : rows) {
    for (bool with_tile_size : {true, false}) {
      std::vector<std::string> args = {"maketiles", dir.file("in.kro"), dir.file("out.kro")};
      if (with_tile_size) args.push_back("0");
      args.push_back(row.option);
      CommandResult result = run_qorveltools(args);
      if (row.width == 0) {
        EXPECT_EQ(result.status, 1) << row.option;
        EXPECT_EQ(result.out, std::string("ERROR: invalid or bad argument: ") + row.option + "\n");
        continue;
      }
      EXPECT_EQ(result.status, 0) << row.option << result.out;
      const qv_test::Pixels out = read_pixels(dir.file("out.kro"));
      EXPECT_EQ(out.width, row.width) << row.option;
      EXPECT_EQ(out.height, row.height) << row.option;
    }
  }
  // A later -resize replaces an earlier one whole.
  CommandResult result = run_qorveltools({"maketiles", dir.file("in.kro"), dir.file("out.kro"),
                                          "-resize=40x10", "-resize=*x30", "-q"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_pixels(dir.file("out.kro")).width, 50);
}

TEST(Maketiles, RefusedArgumentsAreNamedAsTyped) {
  const char* refused[] = {
      "-JPEGQuality=101",
      "-jpegquality=-1",
      "-jpegsubsamp=440",
      "-tiffcompress=lzma",
      "-insize=0x50",
      "-insize=100",
      "-intilesize=0",
      "-intilesize=32x0",
      "-inindexbase=-1",
      "-filter=box",
      "-q=1",
      "-noalpha=yes",
      "-jpegquality",
      "-dpi",
      "-unknown",
      "stray",
      "-",
      "0x0",
  };
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 20, 10));
  for (const char* argument : refused) {
    CommandResult result =
        run_qorveltools({"maketiles", dir.file("in.kro"), dir.file("o.kro"), argument});
    EXPECT_EQ(result.status, 1) << argument;
    EXPECT_EQ(result.out, std::string("ERROR: invalid or bad argument: ") + argument + "\n");
    // An earlier -quiet silences the message, not the status.
    result = run_qorveltools(
        {"maketiles", dir.file("in.kro"), dir.file("o.kro"), "0", "-quiet", argument});
    EXPECT_EQ(result.status, 1) << argument;
    EXPECT_EQ(result.out, "") << argument;
  }
  EXPECT_FALSE(qv_test::file_exists(dir.file("o.kro")));

  CommandResult result =
      run_qorveltools({"maketiles", dir.file("in.kro"), dir.file("o.kro"), "-5"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "ERROR: invalid tilesize\n\n");
  result = run_qorveltools({"maketiles", dir.file("in.kro"), dir.file("o.kro"), "16x-2"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "ERROR: invalid tilesize\n\n");
}

// A word that begins with a dash and is not a number is an option wherever it stands: in the
// place of the tile size, and before the file names.
TEST(Maketiles, OptionWordsInThePlaceOfPositionals) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgba16, 40, 20));
  const std::vector<std::vector<std::string>> rows = {
      {dir.file("in.kro"), dir.file("a.kro"), "-8bit", "-q"},
      {"-8bit", "-q", dir.file("in.kro"), dir.file("b.kro"), "0"},
  };
  for (const std::vector<std::string>& row : rows) {
    std::vector<std::string> args = {"maketiles"};
    args.insert(args.end(), row.begin(), row.end());
    CommandResult result = run_qorveltools(args);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "");
  }
  for (const char* name : {"a.kro", "b.kro"}) {
    const qv_test::Pixels out = read_pixels(dir.file(name));
    EXPECT_EQ(out.format, kPixelRgba8) << name;
    EXPECT_EQ(out.width, 40) << name;
  }
  // Options alone do not name the two files: the usage follows, as without arguments.
  CommandResult result = run_qorveltools({"maketiles", dir.file("in.kro"), "-8bit"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out.rfind(kBanner, 0), 0u) << result.out;
  EXPECT_NE(result.out.find("syntax: qorveltools maketiles"), std::string::npos);
}

TEST(Maketiles, AcceptedOptionWords) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgba16, 40, 20));
  const std::vector<std::string> options = {"-Q",
                                            "-filter=Lanczos",
                                            "-profile=whatever",
                                            "-jpegquality=0",
                                            "-jpegsubsamp=411",
                                            "-jpegprogressive",
                                            "-jpegoptimize",
                                            "-tiffcompress=ZIP",
                                            "-dpi=300",
                                            "-tiffnoalpha",
                                            "-8bit",
                                            "-hmirror",
                                            "-keepaspect",
                                            "-hwrap",
                                            "-resize=20x20",
                                            "-indexbase=-3"};
  std::vector<std::string> args = {"maketiles", dir.file("in.kro"), dir.file("o.kro")};
  args.insert(args.end(), options.begin(), options.end());
  CommandResult result = run_qorveltools(args);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out, "");
  const qv_test::Pixels out = read_pixels(dir.file("o.kro"));
  EXPECT_EQ(out.format, kPixelRgb8);
  EXPECT_EQ(out.width, 20);
  EXPECT_EQ(out.height, 10);
}

TEST(Maketiles, MergesTiledInput) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("big.kro"), kPixelRgb16, 200, 100));
  CommandResult result = run_qorveltools(
      {"maketiles", dir.file("big.kro"), dir.file("tiles/%0v_%0h.kro"), "24", "-q"});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(qv_test::list_files(dir.file("tiles")).size(), 9u * 5u);
  result = run_qorveltools({"maketiles", dir.file("tiles/%0v_%0h.kro"), dir.file("merged.kro"), "0",
                            "-insize=200x100", "-intilesize=24"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.substr(0, result.out.find("making image...\n")),
            std::string(kBanner) + "inputtiles:  " + dir.file("tiles/%0v_%0h.kro") +
                " - 9x5 tiles - RGB 16bit\noutputimage: " + dir.file("merged.kro") +
                " - 200x100 - RGB 16bit\n");
  EXPECT_EQ(read_pixels(dir.file("merged.kro")).bytes, read_pixels(dir.file("big.kro")).bytes);

  // Re-tiling from index base 0 to 1 with -inindexbase.
  ASSERT_EQ(run_qorveltools({"maketiles", dir.file("big.kro"), dir.file("zero/%v_%h.kro"), "64",
                             "-indexbase=0", "-q"})
                .status,
            0);
  result = run_qorveltools({"maketiles", dir.file("zero/%v_%h.kro"), dir.file("retiled/%v_%h.kro"),
                            "100x50", "-insize=200x100", "-intilesize=64", "-inindexbase=0", "-q"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(qv_test::list_files(dir.file("retiled")),
            (std::vector<std::string>{"1_1.kro", "1_2.kro", "2_1.kro", "2_2.kro"}));
}

TEST(Maketiles, FailuresEndWithStatusOne) {
  TempDir dir;
  ASSERT_TRUE(write_pattern(dir.file("in.kro"), kPixelRgb8, 20, 10));
  ASSERT_TRUE(qv_test::write_file(dir.file("file"), "x"));
  CommandResult result = run_qorveltools({"maketiles", dir.file("none.jpg"), dir.file("o.jpg")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string(kBanner) + "ERROR: unable to open inputimage " +
                            dir.file("none.jpg") + "\n       - no such file or directory!\n");
  // A reader's detail follows the message.
  const std::string layered = qv_test::corpus_file("psd/psdtools_2layers.psb");
  result = run_qorveltools({"maketiles", layered, dir.file("o.jpg")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string(kBanner) + "ERROR: unable to open inputimage " + layered +
                            "\n       - only flatten psd/psb files are supported!\n");
  result = run_qorveltools({"maketiles", dir.file("in.kro"), dir.file("o.gif"), "-q"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "ERROR: unable to create file " + dir.file("o.gif") + "\n");
  result = run_qorveltools({"maketiles", dir.file("in.kro"), dir.file("file/sub/o.jpg"), "-q"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "ERROR: unable to create file " + dir.file("file/sub/o.jpg") +
                            "\n       - not a directory!\n");
  result = run_qorveltools({"maketiles", dir.file("t%h.kro"), dir.file("o.kro"), "-insize=10x10",
                            "-intilesize=5", "-q"});
  EXPECT_EQ(result.status, 1);
}

}  // namespace
