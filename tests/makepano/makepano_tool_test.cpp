// The makepano entry through the built binary: usage and start-up errors, config selection and
// command-line settings, input collection, templates, the input and level lines, and questions
// answered (or not) on standard input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CommandResult;
using qv_test::corpus_file;
using qv_test::run_qorveltools;
using qv_test::TempDir;
using qv_test::write_file;

const std::string kBanner = "\nqorvel makepano tool 1.19-pr16 - 32bit (build 2018-04-04)\n";
const std::string kNoPages = "xml=false\nhtml=false\n";

const std::string kUsage =
    "syntax: qorveltools makepano -config=### [inputfiles] [options]\n"
    "\n"
    " -config=###\n"
    "    - path to a qmakemultires .config file (required)\n"
    "\n"
    " inputfiles\n"
    "    - spherical panorama images (aspect ratio 2:1)\n"
    "    - the six cube side images (aspect ratio 1:1)\n"
    "      the filenames of the cube images should have suffixes like:\n"
    "      _l,_f,_r,_b,_u,_d  or left,front,right,back,up,down\n"
    "      to allow an automatic detection of the cube side\n"
    "    - partial/flat/cylinder panorama images (free aspect ratio)\n"
    "    - tiled input images are possible \n"
    "    - wildcards allowed (e.g. *.tif or *.*)\n"
    "\n"
    " options\n"
    "    - set or overwrite the settings from the config file\n"
    "    - all options from the .config file can also be set also manually\n"
    "      e.g. '-panotype=cylinder -hfov=120'\n"
    " special options for tiled input images:\n"
    "    - intilesize=WIDTHxHEIGHT - tilesize of input tiles\n"
    "    - insize=WIDTHxHEIGHT - full size of input image\n"
    "    - inindexbase=1 - input tile index base\n"
    "\n"
    "supported input and output image formats:\n"
    "  jpg/jpeg, tif/tiff/btf/tf8/bigtiff, psd/psb, kro (8 or 16bit, RGB or RGBA)\n";

std::string header(const std::string& config_name) {
  return kBanner + "- using config: " + config_name + "\n";
}

// A tiled input needs no file: its size comes from insize.
std::vector<std::string> tiled(const std::string& insize) {
  return {"pano_%v_%h.jpg", "-intilesize=512", "-insize=" + insize};
}

// The lines of a run up to the point where it starts making images (the tiled inputs named here
// have no tile files, so a run that gets that far then fails on its first tile).
std::string planning(const std::string& out) {
  const size_t making = out.find(" - making images...\n");
  return making == std::string::npos ? out : out.substr(0, making);
}

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(MakepanoTool, UsageWithoutParameters) {
  for (const char* word : {"makepano", "makemultires", "qmakemultires", "-MakePano"}) {
    const CommandResult result = run_qorveltools({word});
    EXPECT_EQ(result.status, 1) << word;
    EXPECT_EQ(result.out, kBanner + "\n" + kUsage + "\n") << word;
  }
}

TEST(MakepanoTool, StartUpErrors) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages));
  ASSERT_TRUE(write_file(dir.file("bad.config"), "include missing.config\n"));
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // the whole standard output
  };
  const Case cases[] = {
      {{"pano.jpg"}, kBanner + "\nERROR: no config file set!\n\n"},
      {{"-config=none.config", "pano.jpg"}, "ERROR: loading config \"none.config\" failed!\n\n"},
      {{"-config=" + dir.file("bad.config")},
       "ERROR: including config file \"missing.config\" failed\n\n"
       "ERROR: loading config \"" +
           dir.file("bad.config") + "\" failed!\n\n"},
      {{"t.config", "-foo"}, header("t.config") + "ERROR: invalid or bad argument: -foo\n\n"},
      {{"t.config", "-nosuchkey=1"},
       header("t.config") + "ERROR: invalid or bad argument: -nosuchkey=1\n\n"},
      {{"t.config", "-customimage[x].colour=red"},
       header("t.config") + "ERROR: invalid or bad argument: -customimage[x].colour=red\n\n"},
      {{"t.config"}, header("t.config") + "ERROR: no input images\n\n"},
      {{"t.config", "absent.jpg", "none*.tif"},
       header("t.config") + "INPUTERROR: no file found: absent.jpg\n"
                            "INPUTERROR: no file found: none*.tif\nERROR: no input images\n\n"},
  };
  for (const Case& c : cases) {
    const CommandResult result = run_qorveltools(join({"makepano"}, c.args), "", dir.path);
    EXPECT_EQ(result.status, 1) << c.args[0];
    EXPECT_EQ(result.out, c.expected) << c.args[0];
  }
}

TEST(MakepanoTool, WaitkeyPausesAndEndsWithoutInput) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages + "waitkey=true\n"));
  const CommandResult result = run_qorveltools({"makepano", "t.config"}, "", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            header("t.config") + "ERROR: no input images\n\npress enter to continue...\n");
}

TEST(MakepanoTool, ConfigSelectionAndOverrides) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("tour.config"), kNoPages + "converttocube=false\n"));
  const std::string sphere =
      "\nprocessing - pano_%v_%h.jpg\n"
      " - input: pano_%v_%h.jpg (sphere, size=8000x4000, fov=360x180)\n"
      " - output: swf, preview, tiles \n";
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {join({"tour.config"}, tiled("8000x4000")),
       header("tour.config") + sphere +
           " - multires: tilesize=500 levels=3 - 8000x4000 4000x2000 2000x1000\n"},
      {join({"-CONFIG=tour.config", "other.config"}, tiled("8000x4000")),
       header("tour.config") + sphere +
           " - multires: tilesize=500 levels=3 - 8000x4000 4000x2000 2000x1000\n"},
      {join({"tour.config", "-TileSize=512"}, tiled("8000x4000")),
       header("tour.config") + sphere +
           " - multires: tilesize=512 levels=3 - 7936x3968 4096x2048 2048x1024\n"},
      {join({"tour.config", "-multires=false", "-maxsize=4000"}, tiled("8000x4000")),
       header("tour.config") + sphere + " - multires: no, maxsize=4000\n"},
      {join({"tour.config"}, tiled("6400x3200")),
       header("tour.config") +
           "\nprocessing - pano_%v_%h.jpg\n"
           " - input: pano_%v_%h.jpg (sphere, size=6400x3200, fov=360x180)\n"
           " - output: swf, preview, tiles \n"
           " - multires: tilesize=800 levels=3 - 6400x3200 3200x1600 1600x800\n"},
      {join({"tour.config", "-q"}, tiled("8000x4000")), header("tour.config")},
      {join({"tour.config", "-flash=no", "-makethumb=1", "-preview=0"}, tiled("8000x4000")),
       header("tour.config") + "\nOutput: HTML5=yes Flash=no \n\n" +
           "\nprocessing - pano_%v_%h.jpg\n"
           " - input: pano_%v_%h.jpg (sphere, size=8000x4000, fov=360x180)\n"
           " - output: thumb, tiles \n"
           " - multires: tilesize=500 levels=3 - 8000x4000 4000x2000 2000x1000\n"},
  };
  for (const Case& c : cases) {
    const CommandResult result = run_qorveltools(join({"makepano"}, c.args), "", dir.path);
    EXPECT_EQ(result.status, 1) << c.args[1];  // no tile files behind the template
    EXPECT_EQ(planning(result.out), c.expected) << c.args[1];
  }
}

TEST(MakepanoTool, QuietConfigPrintsNothing) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("q.config"), kNoPages + "quiet=true\n"));
  const CommandResult result =
      run_qorveltools(join({"makepano", "q.config"}, tiled("8000x4000")), "", dir.path);
  // The conversion of tiles that do not exist fails; errors are printed even when quiet.
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out.find("processing"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\nERROR: converting to cube failed!\n"), std::string::npos);
}

TEST(MakepanoTool, ConversionDecidesWhatIsPlanned) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages));
  struct Case {
    std::vector<std::string> args;
    std::string lines;  // from " - input:" to the end
  };
  // Inputs that are converted run the transform tool on tiles that do not exist: the
  // conversion fails, the question gets no answer and the input is left out, which the closing
  // line says.
  const std::string failed =
      "\nERROR: converting to cube failed!\ncontinue with the image as it is? (y/n)...\n"
      "0 of 1 panoramas made; skipped: pano_%v_%h.jpg (conversion failed)\n";
  const Case cases[] = {
      {tiled("8000x4000"), failed},
      {join(tiled("8000x4000"), {"-maxcubesize=2000", "-converttocubeformat=tif"}), failed},
      {join(tiled("3600x1500"), {"-panotype=partialsphere"}), failed},
      {join(tiled("3600x1100"), {"-panotype=partialsphere"}),
       " - input: pano_%v_%h.jpg (partial sphere, size=3600x1100, fov=360x110)\n"
       " - output: swf, preview, tiles \n"
       " - multires: tilesize=900 levels=1 - 3600x1100\n"},
      {join(tiled("2000x1000"), {"-panotype=cylinder", "-hfov=200", "-voffset=-2.5"}),
       " - input: pano_%v_%h.jpg (cylinder, size=2000x1000, fov=200x82/-2.5)\n"
       " - output: swf, preview, tiles \n"
       " - multires: tilesize=500 levels=1 - 2000x1000\n"},
      {join(tiled("2000x1000"), {"-multires=false"}), failed},
  };
  for (const Case& c : cases) {
    const CommandResult result =
        run_qorveltools(join({"makepano", "t.config"}, c.args), "", dir.path);
    EXPECT_EQ(result.status, 1) << c.args.back();
    const std::string out = planning(result.out);
    ASSERT_GE(out.size(), c.lines.size()) << result.out;
    EXPECT_EQ(out.substr(out.size() - c.lines.size()), c.lines) << c.args.back();
  }
}

TEST(MakepanoTool, LevelSizesWithoutSizeAreRefusedBeforeAnyWork) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages + "levelsizes=0\nconverttocube=false\n"));
  const CommandResult result =
      run_qorveltools(join({"makepano", "t.config"}, tiled("8000x4000")), "", dir.path);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, header("t.config") +
                            "ERROR: levelsizes=0 is not a list of level widths (e.g. "
                            "levelsizes=4096,2048,1024)\n\n");
}

TEST(MakepanoTool, ImagesCubesAndWildcards) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages + "converttocube=false\nverbose=true\n"));
  const char* const sides[] = {"l", "f", "r", "b", "u", "d"};
  for (const char* side : sides) {
    ASSERT_TRUE(qv_test::write_pattern(dir.file(std::string("Cube_") + side + ".tif"), kPixelRgb8,
                                       300, 300));
  }
  ASSERT_TRUE(qv_test::write_pattern(dir.file("pano10.tif"), kPixelRgb8, 600, 300));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("pano9.tif"), kPixelRgb8, 400, 200));
  const CommandResult result = run_qorveltools({"makepano", "t.config", "*.TIF"}, "", dir.path);
  EXPECT_EQ(result.status, 0);
  const std::string expected = header("t.config") +
                               "\nprocessing 1/3 - Cube_l.tif\n"
                               " - input: *Cube*.tif (cube, size=300x300)\n"
                               " - output: swf, preview, tiles \n"
                               " - multires: tilesize=512 levels=1 - 256x256\n"
                               "\nprocessing 2/3 - pano9.tif\n"
                               " - input: pano9.tif (sphere, size=400x200, fov=360x180)\n"
                               " - output: swf, preview, tiles \n"
                               " - multires: tilesize=768 levels=1 - 400x200\n"
                               "\nprocessing 3/3 - pano10.tif\n"
                               " - input: pano10.tif (sphere, size=600x300, fov=360x180)\n"
                               " - output: swf, preview, tiles \n"
                               " - multires: tilesize=512 levels=1 - 576x288\n"
                               "runtime: ";
  std::string plan_lines = result.out;
  for (size_t at; (at = plan_lines.find(" - making images...\n")) != std::string::npos;) {
    plan_lines.erase(at, plan_lines.find("   done.\n\n", at) + 10 - at);
  }
  EXPECT_EQ(plan_lines.substr(0, expected.size()), expected);
  EXPECT_EQ(result.out.substr(result.out.size() - 5), " sec\n");
}

TEST(MakepanoTool, PatternsMatchBracketsLiterally) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages + "converttocube=false\n"));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("room[2].tif"), kPixelRgb8, 200, 100));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("room2.tif"), kPixelRgb8, 400, 200));
  for (const char* argument : {"room[2]*", "room[2].tif"}) {
    const CommandResult result = run_qorveltools({"makepano", "t.config", argument}, "", dir.path);
    EXPECT_EQ(result.status, 0) << argument;
    EXPECT_NE(result.out.find("\nprocessing - room[2].tif\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("room2.tif"), std::string::npos) << result.out;
  }
}

TEST(MakepanoTool, FramesPrintTheFirstFrameOnly) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"),
                         kNoPages + "frames=true\ntilepath=%INPUTPATH%/t/f%f/l%Al[_c]_%Av_%Ah.jpg\n"));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("f1.tif"), kPixelRgb8, 400, 200));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("f2.tif"), kPixelRgb8, 400, 200));
  const CommandResult result =
      run_qorveltools({"makepano", "t.config", "f2.tif", "f1.tif"}, "", dir.path);
  EXPECT_EQ(result.status, 0);
  const std::string start = header("t.config") +
                            "\nprocessing multi-frame-input\n"
                            "   converting sphere to cube format...\n";
  EXPECT_EQ(result.out.substr(0, start.size()), start);
  // The frame lines follow the conversion of the first frame.
  const size_t input = result.out.find(" - input:");
  ASSERT_NE(input, std::string::npos) << result.out;
  const size_t summary = result.out.find(" - multires:", input);
  ASSERT_NE(summary, std::string::npos) << result.out;
  EXPECT_EQ(result.out.substr(input, result.out.find('\n', summary) + 1 - input),
            " - input: *f1*.kro (converted cube, size=128x128)\n"
            " - output: swf, tiles \n"
            " - frames: 2\n"
            " - multires: tilesize=768 levels=1 - 128x128\n");
}

TEST(MakepanoTool, GpsOfAConvertedCube) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages));
  const CommandResult result = run_qorveltools(
      {"makepano", "t.config", corpus_file("pano/goexif_has-lens-info.jpg")}, "", dir.path);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find(" - input: *goexif_has-lens-info*.kro (converted cube, size=66x66)\n"
                            " - gps: lat=59.332547 lng=18.064942 heading="),
            std::string::npos)
      << result.out;
}

TEST(MakepanoTool, TemplatesAreLoadedFromTheConfigFolder) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("pages.config"),
                         "htmltemplate=page.html\nxmltemplate=tour.xml\nconverttocube=false\n"));
  ASSERT_TRUE(write_file(dir.file("page.html"), "<html>[XML]</html>"));
  ASSERT_TRUE(write_file(dir.file("tour.xml"), "<tour>[IMAGE]</tour>"));
  ASSERT_TRUE(write_file(dir.file("nohtml.config"), "xml=false\n"));
  ASSERT_TRUE(write_file(dir.file("noxml.config"), "html=false\n"));
  ASSERT_TRUE(write_file(dir.file("badxml.config"), "html=false\nxmltemplate=missing.xml\n"));
  TempDir elsewhere;
  const std::vector<std::string> input = tiled("8000x4000");
  struct Case {
    const char* config;
    int status;
    std::string tail;  // the end of standard output
  };
  const Case cases[] = {
      {"pages.config", 0,
       " - output: html, swf, xml, preview, tiles \n"
       " - multires: tilesize=500 levels=3 - 8000x4000 4000x2000 2000x1000\n"},
      {"nohtml.config", 1, "ERROR: unable to load html template: " + dir.path + "/\n\n"},
      {"noxml.config", 1, "ERROR: no xml template file defined! (xmltemplate setting)\n\n"},
      {"badxml.config", 1, "ERROR: unable to load xml template: " + dir.path + "/missing.xml\n\n"},
  };
  for (const Case& c : cases) {
    const CommandResult result = run_qorveltools(
        join({"makepano", "-config=" + dir.file(c.config)}, input), "", elsewhere.path);
    EXPECT_EQ(result.status, 1) << c.config;  // failed templates, or no tile files
    const std::string out = planning(result.out);
    ASSERT_GE(out.size(), c.tail.size()) << result.out;
    EXPECT_EQ(out.substr(out.size() - c.tail.size()), c.tail) << c.config;
  }
}

TEST(MakepanoTool, TheTypeQuestionOnStandardInput) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("odd.tif"), kPixelRgb8, 300, 100));
  const std::string question =
      "\nWARNING: odd.tif is not a 360x180 panorama image!\n         Imagesize=300x100px\n"
      "\nType of the panorama image? (0=None/Skip, 1=Flat, 2=Spherical, 3=Cylindrical)\nInput: ";

  CommandResult answered =
      run_qorveltools({"makepano", "t.config", "odd.tif"}, "2\n120\n", dir.path);
  EXPECT_EQ(answered.status, 0);
  EXPECT_EQ(planning(answered.out),
            header("t.config") + question + "Horizontal Field of View? (0-360): \n" +
                "\nprocessing - odd.tif\n"
                " - input: odd.tif (partial sphere, size=300x100, fov=120x40)\n"
                " - output: swf, preview, tiles \n"
                " - multires: tilesize=768 levels=1 - 300x100\n");

  // Without answers the image is skipped; with nothing left to make the run fails.
  CommandResult unanswered = run_qorveltools({"makepano", "t.config", "odd.tif"}, "", dir.path);
  EXPECT_EQ(unanswered.status, 1);
  EXPECT_EQ(unanswered.out, header("t.config") + question + "\n" + "ERROR: no input images\n\n");
}

TEST(MakepanoTool, IgnorelayersCountsOnlyFromTheConfig) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("t.config"), kNoPages + "forceflat=true\n"));
  ASSERT_TRUE(
      write_file(dir.file("layers.config"), kNoPages + "forceflat=true\nignorelayers=true\n"));
  const std::string layered = corpus_file("psd/stylebook_christmas.psd");

  const CommandResult refused =
      run_qorveltools({"makepano", "t.config", layered, "-ignorelayers=true"}, "", dir.path);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, header("t.config") +
                             "\nINPUTERROR: unsupported image: stylebook_christmas.psd\n"
                             "            - only flatten psd/psb files are supported!\n" +
                             "ERROR: no input images\n\n");

  const CommandResult read = run_qorveltools({"makepano", "layers.config", layered}, "", dir.path);
  EXPECT_EQ(read.status, 0);
  EXPECT_NE(
      read.out.find(" - input: stylebook_christmas.psd (flat, size=610x400, fov=1.000x0.000)\n"),
      std::string::npos)
      << read.out;
}

}  // namespace
