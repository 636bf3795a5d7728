// Tables for the text rules of a tour: path templates with sections and placeholders, the image
// element, XML placeholders and variables, and the page's replacement, mode word and line ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "makepano/extra_images.h"
#include "makepano/html_writer.h"
#include "makepano/input_analysis.h"
#include "makepano/level_plan.h"
#include "makepano/pano_names.h"
#include "makepano/pano_settings.h"
#include "makepano/tile_output.h"
#include "makepano/xml_writer.h"
#include "support/test_support.h"

namespace {

PanoNames names_of(const std::string& base, const std::string& folder) {
  PanoNames names;
  names.base_name = base;
  names.display_name = base;
  names.input_folder = folder;
  names.full_base_path = folder + "/" + base;
  return names;
}

TEST(TileTemplate, Expansion) {
  struct Case {
    const char* name;
    std::string tilepath;
    char cube_char;
    std::string t_text;
    int32_t level;
    int32_t level_count;
    int32_t tile_count;
    bool multires;
    std::string expected;
  };
  const Case cases[] = {
      {"default cube face", "%INPUTPATH%/%BASENAME%.tiles/l%Al[_c]_%Av_%Ah.jpg", 'f', "", 3, 3, 8,
       true, "/p/pano.tiles/l3_f_%v_%h.jpg"},
      {"sphere drops the section", "%INPUTPATH%/%BASENAME%.tiles/l%Al[_c]_%Av_%Ah.jpg", 0, "", 2, 3,
       8, true, "/p/pano.tiles/l2_%v_%h.jpg"},
      {"twelve tiles pad", "l%Al_%Av_%Ah.jpg", 0, "", 1, 1, 12, true, "l1_%0v_%0h.jpg"},
      {"padded level", "l%0000l.jpg", 0, "", 3, 3, 1, true, "l00003.jpg"},
      {"automatic level width", "l%Al.jpg", 0, "", 3, 12, 1, true, "l03.jpg"},
      {"unknown letter stays", "a%zb", 0, "", 1, 1, 1, true, "a%zb"},
      {"lone percent dropped", "pano%", 0, "", 1, 1, 1, true, "pano"},
      {"stereo folders", "l%Al/[c/]%Av_%Ah.jpg", 'l', "1", 2, 2, 4, true, "l2/1/l/%v_%h.jpg"},
      {"stereo url", "l%Al/[c/]%Av_%Ah.jpg", '%', "%t", 2, 2, 4, true, "l2/%t/%s/%v_%h.jpg"},
      {"separator without multires", "pano[_c].jpg", 'r', "2", 1, 1, 1, false, "pano_2_r.jpg"},
      {"upper case side", "x[_C].jpg", 'u', "", 1, 1, 1, true, "x_u.jpg"},
      {"eye placeholder", "%t/x.jpg", 0, "", 1, 1, 1, true, "%t/x.jpg"},
      {"percent before a section", "a%[_c]b.jpg", 'l', "", 1, 1, 1, true, "a%_lb.jpg"},
      {"percent before a dropped section", "a%A[_c]b%[", 0, "", 1, 1, 1, true, "a%b%"},
      {"brackets in names open nothing", "%INPUTPATH%/%BASENAME%.jpg", 0, "", 1, 1, 1, true,
       "/p/pano.jpg"},
  };
  for (const Case& c : cases) {
    PanoSettings settings = default_pano_settings();
    settings.multires = c.multires;
    const std::string stage1 = expand_input_template(c.tilepath, names_of("pano", "/p"));
    TileTemplateValues values;
    values.cube_char = c.cube_char;
    values.t_text = c.t_text;
    values.level = c.level;
    values.level_count = c.level_count;
    values.tile_count = c.tile_count;
    values.base_name = "pano";
    EXPECT_EQ(expand_tile_template(settings, stage1, values), c.expected) << c.name;
  }
}

TEST(TileTemplate, NamesWithBracketsStayText) {
  PanoSettings settings = default_pano_settings();
  const std::string stage1 =
      expand_input_template("%INPUTPATH%/%BASENAME%[_c].jpg", names_of("a[b]", "C:\\pics"));
  TileTemplateValues values;
  values.cube_char = 'f';
  EXPECT_EQ(expand_tile_template(settings, stage1, values), "C:/pics/a[b]_f.jpg");
}

TEST(TileTemplate, FramesAndSections) {
  PanoSettings settings = default_pano_settings();
  TileTemplateValues values;
  values.frame = 7;
  values.frame_count = 120;
  EXPECT_EQ(expand_tile_template(settings, "f%Af.jpg", values), "f007.jpg");
  values.keep_frame = true;
  EXPECT_EQ(expand_tile_template(settings, "f%Af.jpg", values), "f%00f.jpg");
  values.no_sections = true;
  const std::string stage1 = expand_input_template("x[_c]y.jpg", names_of("p", "."));
  EXPECT_EQ(expand_tile_template(settings, stage1, values), "x_cy.jpg");
}

TEST(TileTemplate, SingleLevelPathAndTemporaryNames) {
  PanoSettings settings = default_pano_settings();
  EXPECT_EQ(single_level_tile_path(settings, "out/pano.jpg"), "out/pano_%Av%Ah.jpg");
  EXPECT_EQ(single_level_tile_path(settings, "out/%v_%h.jpg"), "out/%v_%h.jpg");
  const PanoNames names = names_of("pano", "/p");
  EXPECT_EQ(temporary_cube_name(settings, names, 42, ""), "/p/pano_cube000042");
  EXPECT_EQ(temporary_cube_name(settings, names, 42, "2"), "/p/pano_cube000042_2");
  settings.tempcubename = "/t/[BASENAME]_[UID]";
  EXPECT_EQ(temporary_cube_name(settings, names, 65535, ""), "/t/pano_065535");
  settings.tempcubename = "";
  EXPECT_EQ(temporary_cube_name(settings, names, 7, ""), "/p/pano_tempcube000007");
  for (int i = 0; i < 100; ++i) {
    const int32_t number = temporary_name_number();
    EXPECT_GE(number, 0);
    EXPECT_LE(number, 0xFFFF);
  }
}

TEST(ExtraImages, FlatPreviewSize) {
  struct Case {
    int32_t width, height, expected_width, expected_height;
  };
  const Case cases[] = {{4000, 1000, 1112, 278}, {20, 10, 20, 16}, {100, 1, 100, 16}};
  for (const Case& c : cases) {
    int32_t w = 0, h = 0;
    flat_preview_size(1024, c.width, c.height, &w, &h);
    EXPECT_EQ(w, c.expected_width) << c.width << "x" << c.height;
    EXPECT_EQ(h, c.expected_height) << c.width << "x" << c.height;
  }
}

// The few pixels of a preview written into the XML: size and mean colours by block.
TEST(ExtraImages, TinyPreviewText) {
  struct Rgb {
    int r, g, b;
  };
  // A picture of width × height whose colour at (x, y) is colour(x, y), four bytes a pixel.
  auto picture = [](int32_t width, int32_t height, auto colour) {
    std::vector<uint8_t> rgba;
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        const Rgb c = colour(x, y);
        rgba.insert(rgba.end(), {uint8_t(c.r), uint8_t(c.g), uint8_t(c.b), 0});
      }
    }
    return rgba;
  };
  auto hex = [](Rgb c) {
    char text[8];
    snprintf(text, sizeof text, "%02x%02x%02x", c.r, c.g, c.b);
    return std::string(text);
  };
  auto repeat = [](const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
  };
  auto face_colour = [](int face) { return Rgb{face * 40, 255 - face * 40, face * 3}; };
  // A cube strip of 8-pixel faces, each face its own colour: four pixels across each face.
  std::string strip = "4x24:";
  for (int row = 0; row < 24; ++row) {
    for (int column = 0; column < 4; ++column) strip += hex(face_colour(row / 4));
  }
  // A 2:1 picture, black on the left and orange on the right: 16 × 8.
  std::string halves = "16x8:";
  for (int row = 0; row < 8; ++row) {
    for (int column = 0; column < 16; ++column) {
      halves += column < 8 ? "000000" : "ff8001";
    }
  }
  struct Case {
    const char* name;
    int32_t width, height;
    std::vector<uint8_t> rgba;
    std::string expected;
  };
  const Case cases[] = {
      {"cube strip", 8, 48, picture(8, 48, [&](int32_t, int32_t y) { return face_colour(y / 8); }),
       strip},
      {"sphere", 64, 32,
       picture(64, 32,
               [](int32_t x, int32_t) {
                 return x < 32 ? Rgb{0, 0, 0} : Rgb{255, 128, 1};
               }),
       halves},
      // Smaller than the tiny picture: kept as it is.
      {"small", 3, 2,
       picture(3, 2,
               [](int32_t x, int32_t y) {
                 return Rgb{x, y, 7};
               }),
       "3x2:000007010007020007000107010107020107"},
      // Each pixel the rounded mean of its 2 x 2 block: red 0, 1, 1, 1 gives 1, and 0, 0, 0, 1
      // gives 0, in turn.
      {"means", 32, 2,
       picture(32, 2,
               [](int32_t x, int32_t y) {
                 const bool odd = x % 2 == 1;
                 return Rgb{(x / 2) % 2 == 0 ? (odd || y == 1) : (odd && y == 1), 0, 0};
               }),
       "16x1:" + repeat("010000000000", 8)},
      // Taller than wide: 16 rows, the width in proportion (5.33 rounds to 5).
      {"portrait", 10, 30,
       picture(10, 30,
               [](int32_t, int32_t) {
                 return Rgb{1, 2, 3};
               }),
       "5x16:" + repeat("010203", 80)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tiny_preview_text(c.rgba.data(), c.width, c.height), c.expected) << c.name;
  }
  EXPECT_EQ(tiny_preview_text(nullptr, 4, 4), "");
}

TEST(ExtraImages, ImageSettingsOverrides) {
  TileJob job;
  init_tile_job(&job);
  apply_image_settings("jpegquality=60,jpegsubsamp=420 filter=point jpegprogressive=true", &job);
  EXPECT_EQ(job.jpeg_quality, 60);
  EXPECT_EQ(job.jpeg_subsampling, 420);
  EXPECT_EQ(job.filter, 1);
  EXPECT_TRUE(job.jpeg_progressive);
  TileJob kept;
  init_tile_job(&kept);
  apply_image_settings("jpegsubsamp=421", &kept);
  EXPECT_EQ(kept.jpeg_subsampling, 444);
}

// An input, a plan and the request that describes them.
struct SceneFixture {
  PanoSettings settings = default_pano_settings();
  PanoInput input;
  LevelPlan plan;
  PanoNames names = names_of("pano", "/p");
  ExtraImages images;
  SceneRequest request() {
    SceneRequest r;
    r.settings = &settings;
    r.input = &input;
    r.plan = &plan;
    r.names = &names;
    r.images = &images;
    r.tilepath = expand_input_template(settings.tilepath, names);
    r.xml_path = "/p/pano.xml";
    r.multires = settings.multires;
    return r;
  }
};

TEST(SceneXml, ImageElements) {
  struct Case {
    const char* name;
    int32_t type;
    int32_t width, height;
    double hfov;
    int32_t tile;
    std::vector<LevelSize> levels;
    int32_t indexbase;
    std::string expected;
  };
  const Case cases[] = {
      {"unconverted sphere",
       kPanoSphere,
       8000,
       4000,
       360,
       500,
       {{8000, 4000}},
       1,
       "<image type=\"SPHERE\" multires=\"true\" tilesize=\"500\">\n"
       "\t\t<level tiledimagewidth=\"8000\" tiledimageheight=\"4000\">\n"
       "\t\t\t<sphere url=\"pano.tiles/l1_%0v_%0h.jpg\" />\n"
       "\t\t</level>\n\t</image>"},
      {"stereo pair of spheres, not converted: its first eye's sphere",
       kPanoSpherePair,
       2048,
       1024,
       360,
       512,
       {{2048, 1024}},
       1,
       "<image type=\"SPHERE\" multires=\"true\" tilesize=\"512\">\n"
       "\t\t<level tiledimagewidth=\"2048\" tiledimageheight=\"1024\">\n"
       "\t\t\t<sphere url=\"pano.tiles/l1_%v_%h.jpg\" />\n"
       "\t\t</level>\n\t</image>"},
      {"flat with base index 0",
       kPanoFlat,
       4000,
       3000,
       90,
       1000,
       {{4000, 3000}, {2000, 1500}},
       0,
       "<image type=\"CYLINDER\" hfov=\"90.00\" vfov=\"67.500000\" voffset=\"0.00\" "
       "multires=\"true\" tilesize=\"1000\" baseindex=\"0\">\n"
       "\t\t<level tiledimagewidth=\"4000\" tiledimageheight=\"3000\">\n"
       "\t\t\t<cylinder url=\"pano.tiles/l2_%h.jpg\" />\n"
       "\t\t</level>\n"
       "\t\t<level tiledimagewidth=\"2000\" tiledimageheight=\"1500\">\n"
       "\t\t\t<cylinder url=\"pano.tiles/l1_%h.jpg\" />\n"
       "\t\t</level>\n\t</image>"},
  };
  for (const Case& c : cases) {
    SceneFixture f;
    f.settings.indexbase = c.indexbase;
    if (c.indexbase == 0) f.settings.tilepath = "%INPUTPATH%/%BASENAME%.tiles/l%Al_%Ah.jpg";
    f.input.type = c.type;
    f.input.width = c.width;
    f.input.height = c.height;
    f.input.hfov = c.hfov;
    f.plan.tile_size = c.tile;
    f.plan.levels = c.levels;
    f.plan.full_width = c.width;
    f.plan.full_height = c.height;
    const std::string element = fill_scene("[IMAGE]", f.request(), XmlTemplates());
    EXPECT_EQ(element, c.expected) << c.name;
  }
}

TEST(SceneXml, CubeSidesStereoAndPlaceholders) {
  SceneFixture f;
  f.settings.cubeshortsyntax = false;
  f.settings.tilepath = "%INPUTPATH%/t/l%Al/[c/]%Av_%Ah.jpg";
  f.input.type = kPanoCube;
  f.input.width = f.input.height = 1000;
  f.input.hfov = 360;
  f.input.vfov = 180;
  f.input.two_eyes = true;
  f.plan.tile_size = 512;
  f.plan.levels = {{1000, 1000}};
  f.plan.full_width = f.plan.full_height = 1000;
  f.images.thumb_file = "/p/t/thumb.jpg";
  f.images.thumb_url = "t/thumb.jpg";
  const std::string text = fill_scene("[IMAGE]|[THUMB]|[ISCUBE]|[DEVICE]|[PARTIALPANO]|[GPS]",
                                      f.request(), XmlTemplates());
  EXPECT_EQ(text,
            "<image type=\"CUBE\" stereo=\"true\" stereolabels=\"1|2\" multires=\"true\" "
            "tilesize=\"512\">\n"
            "\t\t<level tiledimagewidth=\"1000\" tiledimageheight=\"1000\">\n"
            "\t\t\t<left  url=\"t/l1/%t/l/%v_%h.jpg\" />\n"
            "\t\t\t<front url=\"t/l1/%t/f/%v_%h.jpg\" />\n"
            "\t\t\t<right url=\"t/l1/%t/r/%v_%h.jpg\" />\n"
            "\t\t\t<back  url=\"t/l1/%t/b/%v_%h.jpg\" />\n"
            "\t\t\t<up    url=\"t/l1/%t/u/%v_%h.jpg\" />\n"
            "\t\t\t<down  url=\"t/l1/%t/d/%v_%h.jpg\" />\n"
            "\t\t</level>\n\t</image>| thumburl=\"t/thumb.jpg\"|true|||"
            " lat=\"\" lng=\"\" heading=\"\"");
}

TEST(SceneXml, PartialCubeNamesAndVariables) {
  SceneFixture f;
  f.names = names_of("a&b<c>", "/p");
  f.input.type = kPanoCube;
  f.input.converted = true;
  f.input.hfov = 360;
  f.input.vfov = 150;
  f.plan.tile_size = 512;
  f.plan.levels = {{512, 512}};
  const std::string text =
      fill_scene("[NAME]|[PARTIALPANO]|[VIEWLIMITS]|[HLOOKAT]", f.request(), XmlTemplates());
  EXPECT_EQ(text,
            "a&amp;b&lt;c&gt;| ispartialpano=\"true\"|limitview=\"range\" "
            "vlookatmin=\"-75.000\" vlookatmax=\"75.000\" |0.0");
  EXPECT_EQ(apply_template_variables("[A][AB][CD]", {"A:1", "AB:x:y", ":z", "CD:"}), "[A]x:y");
  EXPECT_EQ(escape_template_text("\"'[XML]"), "&quot;&apos;%5BXML%5D");
}

TEST(HtmlPage, ModeWord) {
  struct Case {
    bool flash, html5;
    const char* mode;
    int32_t scenes, flash_only;
    const char* expected;
  };
  const Case cases[] = {
      {false, true, "auto", 3, 1, "only"},  {true, false, "auto", 3, 0, "never"},
      {true, true, "auto", 3, 1, "auto"},   {true, true, "auto", 3, 3, "never"},
      {true, true, "auto", 3, 0, "auto"},   {true, true, "prefer", 3, 0, "prefer"},
      {true, true, "prefer", 3, 1, "auto"}, {true, true, "never", 3, 1, "never"},
      {true, true, "other", 3, 3, "other"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(html5_mode_word(c.flash, c.html5, c.mode, c.scenes, c.flash_only), c.expected)
        << c.flash << c.html5 << c.mode << c.scenes << c.flash_only;
  }
}

TEST(HtmlPage, ReplacementAndLineEnds) {
  EXPECT_EQ(replace_placeholder("[X][X]", "[X]", "a[X]"), "a[X]a[X]");
  EXPECT_EQ(page_line_ends("a\nb\r\nc\rd\n\re\r\n\rf"), "a\r\nb\r\nc\r\nd\r\ne\r\nf");
  EXPECT_EQ(html_output_base("/t/a.xml.xml"), "/t/a");
  EXPECT_EQ(html_output_base("/t.xml/a"), "/t.xml/a");

  PanoSettings settings = default_pano_settings();
  settings.flash = false;
  settings.htmltemplate_var = {"ab:1:2", "a:1", ":x"};
  int32_t scenes = 1;
  int32_t flash_only = 0;
  HtmlPageRequest request;
  request.settings = &settings;
  request.output_base = "/t/tour";
  request.xml_path = "/t/tour.xml";
  request.display_name = "my [XML] tour";
  request.base_name = "tour";
  request.scene_count = &scenes;
  request.flash_only_count = &flash_only;
  EXPECT_EQ(fill_page("[NAME]|[XML]|[JS]|{swf:\"\", x}|[SWF]|[HTML5]|[ab]|[a]", request,
                      "/t/sub/tour.html"),
            "my %5BXML%5D tour|../tour.xml|../tour.js|{x}||only|1:2|[a]");
}

}  // namespace

namespace {

// The tiles an existing XML lists are those its levels name, for every side, eye, frame, row and
// column; urls that leave for another host or an absolute path are never listed.
TEST(ListedTileFiles, EveryTileOfEveryLevel) {
  qv_test::TempDir dir;
  const struct {
    const char* name;
    std::string xml;
    std::vector<std::string> tiles;  // relative to the folder
  } cases[] = {
      {"two levels, sides",
       "<qorvel><image type=\"CUBE\" multires=\"true\" tilesize=\"100\">\n"
       "<level tiledimagewidth=\"150\" tiledimageheight=\"150\"><cube url=\"t/l2/%s/%v_%h.jpg\" "
       "/></level>\n<level tiledimagewidth=\"100\" tiledimageheight=\"100\"><cube "
       "url=\"t/l1/%s/%v_%h.jpg\" /></level></image></qorvel>",
       {}},
      {"stereo, padding, base index 0, frames",
       "<qorvel><image type=\"SPHERE\" stereo=\"true\" stereolabels=\"a|b\" multires=\"true\" "
       "tilesize=\"64\" baseindex=\"0\" frames=\"2\" frame=\"1\">"
       "<level tiledimagewidth=\"100\" tiledimageheight=\"50\"><sphere url=\"../up/%t_%0f_%0v_%h.jpg\" "
       "/></level></image></qorvel>",
       {"../up/a_01_00_0.jpg", "../up/a_01_00_1.jpg", "../up/a_02_00_0.jpg", "../up/a_02_00_1.jpg",
        "../up/b_01_00_0.jpg", "../up/b_01_00_1.jpg", "../up/b_02_00_0.jpg",
        "../up/b_02_00_1.jpg"}},
      {"foreign urls",
       "<qorvel><image type=\"SPHERE\" multires=\"true\" tilesize=\"64\">"
       "<level tiledimagewidth=\"64\" tiledimageheight=\"64\"><sphere url=\"/abs/%v_%h.jpg\" />"
       "<sphere url=\"http://host/%v_%h.jpg\" /></level></image></qorvel>",
       {}},
  };
  for (const auto& c : cases) {
    const std::string xml = dir.file("sub/p.xml");
    std::filesystem::create_directories(dir.file("sub"));
    ASSERT_TRUE(qv_test::write_file(xml, c.xml));
    std::vector<std::string> expected;
    if (std::string(c.name) == "two levels, sides") {
      for (const char* side : {"b", "d", "f", "l", "r", "u"}) {
        for (const char* tile : {"1_1", "1_2", "2_1", "2_2"}) {
          expected.push_back(dir.file("sub/t/l2/") + side + "/" + tile + ".jpg");
        }
        expected.push_back(dir.file("sub/t/l1/") + side + "/1_1.jpg");
      }
    } else {
      for (const std::string& tile : c.tiles) {
        expected.push_back(std::filesystem::path(dir.file("sub/" + tile)).lexically_normal());
      }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed_tile_files(xml), expected) << c.name;
  }
  EXPECT_TRUE(listed_tile_files(dir.file("missing.xml")).empty());
}

}  // namespace
