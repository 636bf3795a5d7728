// Input analysis: eye and order rules, the stitcher projection, every classification rule on
// small generated images, real panoramas, cube faces and layered documents from the corpus, the
// cube completeness and frame-size checks, and the type question answered from a text.
#include "makepano/input_analysis.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <functional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/paths.h"
#include "console_capture.h"
#include "imageio/image_file.h"
#include "imageio/psd_codec.h"
#include "makepano/key_input.h"
#include "makepano/pano_settings.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

using qv_test::CapturedConsole;
using qv_test::corpus_file;
using qv_test::TempDir;

const char* const kSides[6] = {"l", "f", "r", "b", "u", "d"};

// "type WxH" of a record, with its fov for non-full types, eye files and faces found.
std::string describe(const PanoInput& r) {
  std::string text =
      std::to_string(r.type) + " " + std::to_string(r.width) + "x" + std::to_string(r.height);
  char fov[64];
  snprintf(fov, sizeof fov, " %g/%g/%g", r.hfov, r.vfov, r.voffset);
  text += fov;
  if (!r.right_path.empty()) {
    text += " " + file_name_part(r.left_path) + "+" + file_name_part(r.right_path);
  }
  if (r.type == kPanoCube) {
    int faces = 0;
    for (const std::string& face : r.faces) faces += !face.empty();
    text += " faces=" + std::to_string(faces);
  }
  return text;
}

std::string describe_all(const std::vector<PanoInput>& records) {
  std::string text;
  for (const PanoInput& r : records) text += (text.empty() ? "" : "; ") + describe(r);
  return text;
}

struct Analysis {
  bool ok = false;
  std::vector<PanoInput> records;
  std::string output;
};

Analysis analyse(const std::vector<std::string>& paths, const PanoSettings& settings,
                 const std::string& answers = "") {
  CapturedConsole console;
  TextKeySource source{answers, 0};
  Analysis analysis;
  analysis.ok =
      analyse_inputs(paths, settings, &console.ops, text_key_input(&source), &analysis.records);
  analysis.output = console.text();
  return analysis;
}

std::string make_image(const TempDir& dir, const std::string& name, int width, int height) {
  const std::string path = dir.file(name);
  EXPECT_TRUE(qv_test::write_pattern(path, kPixelRgb8, width, height)) << name;
  return path;
}

// A TIFF whose image description is the given text (as stitchers write it).
std::string make_described_tiff(const TempDir& dir, const std::string& name, int width, int height,
                                const std::string& description) {
  const std::string path = dir.file(name);
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  EXPECT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, height);
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3, 90);
  for (int y = 0; y < height; ++y) TIFFWriteScanline(tiff, row.data(), y, 0);
  TIFFClose(tiff);
  return path;
}

TEST(InputAnalysis, DetectEye) {
  struct Case {
    const char* path;
    int32_t eye;
  };
  const Case cases[] = {
      {"pano_l.jpg", 1},
      {"dir_r/pano_R.JPG", 2},
      {"pano_l_r.tif", 2},
      {"pano_r_l.tif", 1},
      {"pano_left.jpg", 0},
      {"panol.jpg", 1},
      {"PANOR.JPG", 2},
      {"x.jpg", 0},
      {"a_rx_l2.jpg", 1},
      {"a_l_rx.jpg", 1},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(detect_eye(c.path), c.eye) << c.path;
}

TEST(InputAnalysis, NamesSortByNumberValue) {
  struct Case {
    const char* a;
    const char* b;
    bool a_first;
  };
  const Case cases[] = {
      {"pano9.jpg", "pano10.jpg", true},
      {"pano10.jpg", "pano9.jpg", false},
      {"2pano.jpg", "10pano.jpg", true},
      {"1a2.jpg", "1a10.jpg", true},
      {"2a10.jpg", "10a2.jpg", true},
      {"PANO9.jpg", "pano10.jpg", true},
      {"z/pano2.jpg", "a/pano3.jpg", true},
      {"pano10x.jpg", "pano9x.jpg", true},  // the texts differ: byte order
      {"pano10.tif", "pano9.jpg", true},    // the extensions differ: byte order
      {"pano.jpg", "pano1.jpg", true},
      {"pano007.jpg", "pano7.jpg", true},  // equal values: byte order
  };
  for (const Case& c : cases) {
    EXPECT_EQ(input_name_before(c.a, c.b), c.a_first) << c.a << " " << c.b;
  }
  std::vector<std::string> paths = {"b/pano10.jpg", "pano9.jpg", "a/Pano1.jpg", "pano100.jpg",
                                    "pano2.JPG"};
  sort_input_paths(&paths);
  EXPECT_EQ(paths, (std::vector<std::string>{"a/Pano1.jpg", "pano2.JPG", "pano9.jpg",
                                             "b/pano10.jpg", "pano100.jpg"}));
}

TEST(InputAnalysis, StitcherProjection) {
  struct Case {
    const char* text;
    int32_t type;
    double hfov, vfov, voffset;
  };
  const Case cases[] = {
      {"Kolor stitching; FOV: 360.00 x 180.00 x 0.00; Projection: Spherical", kPanoSphere, 360, 180,
       0},
      {"Kolor stitching FOV: 360 x 120 x 10 Projection:  Spherical", kPanoPartialSphere, 360, 120,
       -10},
      {"Kolor stitching FOV: 359 x 180 x 0 Projection: Spherical", kPanoPartialSphere, 359, 180, 0},
      {"Kolor stitching FOV: 200 x 90 x -5 Projection: Cylindrical", kPanoCylinder, 200, 90, 5},
      {"Kolor stitching FOV: 90 x 60 x 0 Projection: Planar", kPanoDropped, 0, 0, 0},
      {"Kolor stitching FOV: 0 x 60 x 0 Projection: Spherical", kPanoDropped, 0, 0, 0},
      {"Kolor stitching Projection: Spherical", kPanoDropped, 0, 0, 0},
      {"Other stitching FOV: 360 x 180 x 0 Projection: Spherical", kPanoDropped, 0, 0, 0},
      {"", kPanoDropped, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const DescriptionProjection p = description_projection(c.text);
    EXPECT_EQ(p.type, c.type) << c.text;
    if (c.type == kPanoDropped) continue;
    EXPECT_EQ(p.hfov, c.hfov) << c.text;
    EXPECT_EQ(p.vfov, c.vfov) << c.text;
    EXPECT_EQ(p.voffset, c.voffset) << c.text;
  }
}

// Files to make (name, width, height), settings to change, and the records expected.
struct ClassifyCase {
  const char* name;
  std::vector<std::tuple<std::string, int, int>> files;
  std::function<void(PanoSettings*)> set;
  const char* expected;
  const char* output;  // expected console text; null = not checked
};

TEST(InputAnalysis, ClassificationRules) {
  const auto none = [](PanoSettings*) {};
  const auto cube_files = [](const std::string& base, int size) {
    std::vector<std::tuple<std::string, int, int>> files;
    for (const char* side : kSides) files.emplace_back(base + "_" + side + ".tif", size, size);
    return files;
  };
  auto without_up = cube_files("pano", 32);
  without_up.erase(without_up.begin() + 4);
  auto with_top = without_up;
  with_top.emplace_back("pano_top.tif", 32, 32);
  const ClassifyCase cases[] = {
      {"cube", cube_files("pano", 32), none, "2 32x32 360/180/0 faces=6", ""},
      {"cube missing up", without_up, none, "",
       "INPUTERROR: not all cube sides found:\n -left=pano_l.tif (ok)\n -front=pano_f.tif (ok)\n"
       " -right=pano_r.tif (ok)\n -back=pano_b.tif (ok)\n -up=ERROR - not found\n"
       " -down=pano_d.tif (ok)\n"},
      {"top is up", with_top, none, "2 32x32 360/180/0 faces=6", ""},
      {"two cubes",
       [&] {
         auto files = cube_files("a", 32);
         auto more = cube_files("b", 40);
         files.insert(files.end(), more.begin(), more.end());
         return files;
       }(),
       none, "2 32x32 360/180/0 faces=6; 2 40x40 360/180/0 faces=6", ""},
      {"lower is no face", {{"pano_lower.tif", 200, 100}}, none, "1 200x100 360/180/0", ""},
      {"sphere pair",
       {{"pano_l.tif", 200, 100}, {"pano_r.tif", 200, 100}},
       none,
       "13 200x100 360/180/0 pano_l.tif+pano_r.tif",
       ""},
      {"side by side", {{"st.tif", 400, 100}}, none, "15 200x100 360/180/0", ""},
      {"over under", {{"st.tif", 400, 400}}, none, "14 400x200 360/180/0", ""},
      {"strips",
       {{"h.tif", 600, 100}, {"v.tif", 50, 300}, {"hs.tif", 480, 40}, {"vs.tif", 20, 240}},
       none,
       "6 100x100 360/180/0; 10 40x40 360/180/0; 7 50x50 360/180/0; 11 20x20 360/180/0",
       ""},
      {"strip pair",
       {{"strip_l.tif", 600, 100}, {"strip_r.tif", 600, 100}},
       none,
       "12 100x100 360/180/0 strip_l.tif+strip_r.tif",
       ""},
      {"forced sphere",
       {{"wide.tif", 400, 150}, {"full.tif", 400, 200}},
       [](PanoSettings* s) { s->panotype = "Sphere"; },
       "1 400x200 360/180/0; 4 400x150 360/0/0",
       ""},
      {"forced sphere narrow",
       {{"full.tif", 400, 200}},
       [](PanoSettings* s) {
         s->panotype = "sphere";
         s->hfov = 180;
         s->vfov = 90;
         s->voffset = 3;
       },
       "4 400x200 180/90/3",
       ""},
      {"forced cylinder",
       {{"c.tif", 300, 100}},
       [](PanoSettings* s) {
         s->panotype = "partialcylinder";
         s->hfov = 200;
       },
       "5 300x100 200/0/0",
       ""},
      {"forced partial sphere",
       {{"c.tif", 300, 100}},
       [](PanoSettings* s) { s->panotype = "PARTIALSPHERE"; },
       "4 300x100 360/0/0",
       ""},
      {"forceflat faces", cube_files("pano", 32), [](PanoSettings* s) { s->forceflat = true; },
       "3 32x32 1/0/0; 3 32x32 1/0/0; 3 32x32 1/0/0; 3 32x32 1/0/0; 3 32x32 1/0/0; "
       "3 32x32 1/0/0",
       ""},
      {"panotype flat",
       {{"p.tif", 200, 100}},
       [](PanoSettings* s) { s->panotype = "flat"; },
       "3 200x100 1/0/0",
       ""},
      {"unsorted",
       {{"pano10.tif", 200, 100}, {"pano9.tif", 300, 150}},
       [](PanoSettings* s) { s->sortinput = false; },
       "1 200x100 360/180/0; 1 300x150 360/180/0",
       ""},
      {"sorted",
       {{"pano10.tif", 200, 100}, {"pano9.tif", 300, 150}},
       none,
       "1 300x150 360/180/0; 1 200x100 360/180/0",
       ""},
      {"frames of one size",
       {{"f1.tif", 200, 100}, {"f2.tif", 200, 100}},
       [](PanoSettings* s) { s->frames = true; },
       "1 200x100 360/180/0; 1 200x100 360/180/0",
       ""},
  };
  for (const ClassifyCase& c : cases) {
    TempDir dir;
    std::vector<std::string> paths;
    for (const auto& file : c.files) {
      paths.push_back(make_image(dir, std::get<0>(file), std::get<1>(file), std::get<2>(file)));
    }
    PanoSettings settings = default_pano_settings();
    c.set(&settings);
    const Analysis analysis = analyse(paths, settings);
    EXPECT_TRUE(analysis.ok) << c.name;
    EXPECT_EQ(describe_all(analysis.records), c.expected) << c.name;
    if (c.output) {
      EXPECT_EQ(analysis.output, c.output) << c.name;
    }
  }
}

TEST(InputAnalysis, FacesAreAssignedBySide) {
  TempDir dir;
  std::vector<std::string> paths;
  for (const char* side : {"front", "Back", "LEFT", "right", "top", "bottom"}) {
    paths.push_back(make_image(dir, std::string("tour_") + side + ".tif", 16, 16));
  }
  const Analysis analysis = analyse(paths, default_pano_settings());
  ASSERT_EQ(analysis.records.size(), 1u) << analysis.output;
  const PanoInput& cube = analysis.records[0];
  EXPECT_EQ(cube.group_name, "tour");
  const char* const expected[6] = {"tour_LEFT.tif", "tour_front.tif", "tour_right.tif",
                                   "tour_Back.tif", "tour_top.tif",   "tour_bottom.tif"};
  for (int side = 0; side < 6; ++side) EXPECT_EQ(cube.faces[side], dir.file(expected[side]));
}

TEST(InputAnalysis, SkippedFilesAreReported) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("notes.txt"), "text"));
  ASSERT_TRUE(qv_test::write_file(dir.file("broken.jpg"), "not an image"));
  ASSERT_TRUE(create_directory(dir.file("folder.jpg")));
  const std::string good = make_image(dir, "good.tif", 200, 100);
  const Analysis analysis = analyse({dir.file("notes.txt"), dir.file("folder.jpg"),
                                     dir.file("broken.jpg"), good, dir.file("missing.tif")},
                                    default_pano_settings());
  EXPECT_TRUE(analysis.ok);
  EXPECT_EQ(describe_all(analysis.records), "1 200x100 360/180/0");
  EXPECT_EQ(analysis.output,
            "\nINPUTERROR: unsupported image: broken.jpg\n"
            "\nINPUTERROR: unsupported image: missing.tif\n"
            "            - no such file or directory!\n"
            "INPUTERROR: unknown file type: notes.txt\n");
}

TEST(InputAnalysis, FramesMustShareOneSize) {
  TempDir dir;
  PanoSettings settings = default_pano_settings();
  settings.frames = true;
  const Analysis analysis =
      analyse({make_image(dir, "f1.tif", 200, 100), make_image(dir, "f2.tif", 300, 150)}, settings);
  EXPECT_FALSE(analysis.ok);
  EXPECT_TRUE(analysis.records.empty());
  EXPECT_EQ(analysis.output, "ERROR: all images must have the same size\n");
}

TEST(InputAnalysis, LaterFramesTakeTheFirstFramesType) {
  TempDir dir;
  PanoSettings settings = default_pano_settings();
  settings.frames = true;
  const Analysis analysis =
      analyse({make_image(dir, "f1.tif", 300, 100), make_image(dir, "f2.tif", 300, 100)}, settings,
              "2\n90\n");
  EXPECT_TRUE(analysis.ok);
  EXPECT_EQ(describe_all(analysis.records), "4 300x100 90/0/0; 4 300x100 90/0/0");
  EXPECT_EQ(analysis.output.find("WARNING"), analysis.output.rfind("WARNING"));
}

TEST(InputAnalysis, TiledInputsTakeTheirSizeFromTheSettings) {
  PanoSettings settings = default_pano_settings();
  settings.intilesize = {256, 256};
  settings.insize = {2000, 1000};
  const Analysis analysis = analyse({"tiles/pano_%v_%h.jpg"}, settings);
  EXPECT_EQ(describe_all(analysis.records), "1 2000x1000 360/180/0");
  EXPECT_EQ(analysis.records[0].path, "tiles/pano_%v_%h.jpg");
}

TEST(InputAnalysis, StitcherDescriptionsSetTheType) {
  TempDir dir;
  const std::string partial =
      make_described_tiff(dir, "a.tif", 300, 100,
                          "Kolor stitching; FOV: 360.00 x 120.00 x -5.00; Projection: Spherical");
  const std::string cylinder = make_described_tiff(
      dir, "b.tif", 300, 100, "Kolor stitching; FOV: 250 x 80 x 0; Projection: Cylindrical");
  const std::string sphere = make_described_tiff(
      dir, "c.tif", 300, 100, "Kolor stitching; FOV: 360 x 180 x 0; Projection: Spherical");
  const Analysis analysis = analyse({partial, cylinder, sphere}, default_pano_settings());
  EXPECT_EQ(describe_all(analysis.records),
            "4 300x100 360/120/5; 5 300x100 250/80/0; 1 300x100 360/180/0");
  EXPECT_EQ(analysis.output, "");

  PanoSettings forced = default_pano_settings();
  forced.panotype = "flat";
  EXPECT_EQ(describe_all(analyse({partial}, forced).records), "3 300x100 1/0/0");
}

TEST(InputAnalysis, TheTypeQuestion) {
  struct Case {
    const char* answers;
    const char* expected;
    int questions;
    int fov_questions;
  };
  const Case cases[] = {
      {"2\n90\n", "4 300x100 90/0/0", 1, 1},
      {"S\n360\n", "4 300x100 360/0/0", 1, 1},
      {"x\n3\nabc\n400\n0\n120\n", "5 300x100 120/0/0", 2, 4},
      {"c", "", 1, 1},  // the fov question meets the end of the input
      {"1\n", "3 300x100 1/0/0", 1, 0},
      {"F\n", "3 300x100 1/0/0", 1, 0},
      {"0\n", "", 1, 0},
      {"n\n", "", 1, 0},
      {"\n\n0\n", "", 3, 0},
      {"", "", 1, 0},  // the end of the input skips the image
  };
  for (const Case& c : cases) {
    TempDir dir;
    const Analysis analysis =
        analyse({make_image(dir, "odd.tif", 300, 100)}, default_pano_settings(), c.answers);
    EXPECT_EQ(describe_all(analysis.records), c.expected) << c.answers;
    const std::string& out = analysis.output;
    EXPECT_EQ(out.rfind("\nWARNING: odd.tif is not a 360x180 panorama image!\n"
                        "         Imagesize=300x100px\n"
                        "\nType of the panorama image? (0=None/Skip, 1=Flat, 2=Spherical, "
                        "3=Cylindrical)\nInput: ",
                        0),
              0u)
        << out;
    int questions = 0;
    int fov_questions = 0;
    for (size_t at = out.find("Input: "); at != std::string::npos;
         at = out.find("Input: ", at + 1)) {
      ++questions;
    }
    for (size_t at = out.find("Horizontal Field of View? (0-360): "); at != std::string::npos;
         at = out.find("Horizontal Field", at + 1)) {
      ++fov_questions;
    }
    EXPECT_EQ(questions, c.questions) << c.answers;
    EXPECT_EQ(fov_questions, c.fov_questions) << c.answers;
    EXPECT_EQ(out.back(), '\n') << c.answers;
  }
}

TEST(InputAnalysis, CorpusPanoramas) {
  struct Case {
    const char* file;
    const char* expected;
  };
  const Case cases[] = {
      {"pano/xplanet_earth.jpg", "1 2048x1024 360/180/0"},
      {"pano/gimphelp_little_planet-equirect.jpg", "1 600x300 360/180/0"},
      {"pano/stellarium_moon_4k.jpg", "1 4096x2048 360/180/0"},
      {"pano/threeglobe_night-sky.png", "1 4096x2048 360/180/0"},
      {"pano/stellarium_mars_spirit.png", "1 2048x1024 360/180/0"},
      {"pano/goexif_has-lens-info.jpg", "1 205x102 360/180/0"},
      // 2048 × 512 has the proportions of a side-by-side stereo sphere.
      {"pano/stellarium_grossmugl_partial.png", "15 1024x512 360/180/0"},
  };
  for (const Case& c : cases) {
    const Analysis analysis = analyse({corpus_file(c.file)}, default_pano_settings());
    EXPECT_EQ(describe_all(analysis.records), c.expected) << c.file << analysis.output;
  }
  PanoSettings partial = default_pano_settings();
  partial.panotype = "partialsphere";
  partial.hfov = 360;
  EXPECT_EQ(describe_all(
                analyse({corpus_file("pano/stellarium_grossmugl_partial.png")}, partial).records),
            "4 2048x512 360/0/0");
}

TEST(InputAnalysis, CorpusGpsFollowsParsegps) {
  const std::string photo = corpus_file("pano/goexif_has-lens-info.jpg");
  PanoSettings settings = default_pano_settings();
  Analysis analysis = analyse({photo}, settings);
  ASSERT_EQ(analysis.records.size(), 1u);
  EXPECT_TRUE(analysis.records[0].gps.present);
  EXPECT_NEAR(analysis.records[0].gps.latitude, 59.3326, 1e-3);
  EXPECT_NEAR(analysis.records[0].gps.longitude, 18.0649, 1e-3);
  EXPECT_FALSE(analysis.records[0].pose.present);

  settings.parsegps = false;
  analysis = analyse({photo}, settings);
  ASSERT_EQ(analysis.records.size(), 1u);
  EXPECT_FALSE(analysis.records[0].gps.present);

  PanoSettings flat = default_pano_settings();
  flat.forceflat = true;
  analysis = analyse({corpus_file("jpeg/xiaomi_IMG_20200124_231153.jpg")}, flat);
  ASSERT_EQ(analysis.records.size(), 1u);
  EXPECT_EQ(describe(analysis.records[0]), "3 4000x3000 1/0/0");
  EXPECT_LT(analysis.records[0].gps.latitude, 0);
  EXPECT_LT(analysis.records[0].gps.longitude, 0);
}

TEST(InputAnalysis, CorpusCubeFaceSet) {
  // Copies named by side form a cube.
  TempDir dir;
  const char* const originals[6] = {"rt", "ft", "lf", "bk", "up", "dn"};
  std::vector<std::string> originals_paths;
  std::vector<std::string> paths;
  for (int side = 0; side < 6; ++side) {
    const std::string from =
        corpus_file(std::string("pano/cube_philo_sky3/sky3_") + originals[side] + ".jpg");
    originals_paths.push_back(from);
    paths.push_back(dir.file(std::string("sky_") + kSides[side] + ".jpg"));
    ASSERT_TRUE(copy_file(from, paths.back()));
  }
  Analysis analysis = analyse(paths, default_pano_settings());
  EXPECT_EQ(describe_all(analysis.records), "2 512x512 360/180/0 faces=6");
  EXPECT_EQ(analysis.output, "");

  // Under their own skybox names (_lf _ft _rt _bk _up _dn) they form the same cube.
  analysis = analyse(originals_paths, default_pano_settings());
  EXPECT_EQ(describe_all(analysis.records), "2 512x512 360/180/0 faces=6");
  EXPECT_EQ(analysis.output, "");
}

TEST(InputAnalysis, CorpusStripFromTheTransformTool) {
  TempDir dir;
  const qv_test::CommandResult made =
      qv_test::run_qorveltools({"transform", "hcube", corpus_file("pano/xplanet_earth.jpg"),
                                dir.file("earth_strip.tif"), "-outsize=64", "-q"});
  ASSERT_EQ(made.status, 0) << made.out;
  const Analysis analysis = analyse({dir.file("earth_strip.tif")}, default_pano_settings());
  EXPECT_EQ(describe_all(analysis.records), "6 64x64 360/180/0");
  ASSERT_EQ(analysis.records.size(), 1u);
  EXPECT_EQ(analysis.records[0].strip_order, 0);
}

TEST(InputAnalysis, CorpusLayeredDocumentNeedsIgnorelayers) {
  const std::string layered = corpus_file("psd/stylebook_christmas.psd");
  PanoSettings settings = default_pano_settings();
  settings.forceflat = true;
  psd_set_ignore_layers(false);
  Analysis analysis = analyse({layered}, settings);
  EXPECT_TRUE(analysis.records.empty());
  EXPECT_EQ(analysis.output,
            "\nINPUTERROR: unsupported image: stylebook_christmas.psd\n"
            "            - only flatten psd/psb files are supported!\n");

  psd_set_ignore_layers(true);
  analysis = analyse({layered}, settings);
  EXPECT_EQ(describe_all(analysis.records), "3 610x400 1/0/0");
  EXPECT_EQ(analysis.output, "");
  const qv_test::Pixels composite = qv_test::read_pixels(layered);
  EXPECT_TRUE(composite.ok);
  EXPECT_EQ(composite.width, 610);
  psd_set_ignore_layers(false);
}

}  // namespace
