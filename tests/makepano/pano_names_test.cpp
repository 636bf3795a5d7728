// Names an input gives its outputs, and what an input becomes before tiling (conversion to cube
// faces or strip split).
#include "makepano/pano_names.h"

#include <gtest/gtest.h>

#include <string>

#include "makepano/cube_conversion.h"
#include "makepano/input_analysis.h"
#include "makepano/pano_settings.h"

namespace {

PanoInput input_of(int32_t type, int32_t width, int32_t height, const std::string& path) {
  PanoInput input;
  input.type = type;
  input.width = width;
  input.height = height;
  input.path = path;
  if (type == kPanoCube) input.faces[0] = path;
  return input;
}

TEST(PanoNames, BaseDisplayFolderAndFullPath) {
  struct Case {
    PanoInput input;
    bool tiled;
    const char* base;
    const char* display;
    const char* folder;
    const char* full;
  };
  const Case cases[] = {
      {input_of(kPanoFlat, 1, 1, "C:\\pics\\my pano.tif"), false, "my_pano", "my pano", "C:\\pics",
       "C:\\pics\\my pano"},
      {input_of(kPanoSphere, 1, 1, "pano.jpg"), false, "pano", "pano", ".", "pano"},
      {input_of(kPanoCube, 1, 1, "/p/pano_l.jpg"), false, "pano", "pano", "/p", "/p/pano"},
      {input_of(kPanoCube, 1, 1, "/p/Tour_Left_01.tif"), false, "Tour_01", "Tour_01", "/p",
       "/p/Tour_01"},
      {input_of(kPanoCube, 1, 1, "/p/pano.left.tif"), false, "pano", "pano", "/p", "/p/pano"},
      {input_of(kPanoCube, 1, 1, "/p/leftside.jpg"), false, "side", "side", "/p", "/p/side"},
      {input_of(kPanoCube, 1, 1, "/p/_l.jpg"), false, "pano0003", "pano0003", "/p", "/p/"},
      {input_of(kPanoSphere, 1, 1, "t/pano_%0v_%0h.jpg"), true, "pano_v_h", "pano_v_h", "t",
       "t/pano_%0v_%0h"},
      {input_of(kPanoSphere, 1, 1, "a.b/Mein Bild (1) & co.jpg"), false, "Mein_Bild_(1)___co",
       "Mein Bild (1) & co", "a.b", "a.b/Mein Bild (1) & co"},
  };
  for (const Case& c : cases) {
    PanoSettings settings = default_pano_settings();
    if (c.tiled) settings.intilesize = {256, 256};
    const PanoNames names = make_pano_names(settings, c.input, 3);
    EXPECT_EQ(names.base_name, c.base) << c.input.path;
    EXPECT_EQ(names.display_name, c.display) << c.input.path;
    EXPECT_EQ(names.input_folder, c.folder) << c.input.path;
    EXPECT_EQ(names.full_base_path, c.full) << c.input.path;
  }
  PanoSettings unfiltered = default_pano_settings();
  unfiltered.filterbasename = false;
  EXPECT_EQ(make_pano_names(unfiltered, input_of(kPanoFlat, 1, 1, "my pano.tif"), 1).base_name,
            "my pano");
}

TEST(PanoNames, FilterKeepsOnlySafeBytes) {
  EXPECT_EQ(filter_base_name("aZ09!#()+-@^_{|}~\x7f"), "aZ09!#()+-@^_{|}~\x7f");
  EXPECT_EQ(filter_base_name(" \"'$%&*,./\\:;<>=?[]`\t\x80\xff"), std::string(23, '_'));
}

TEST(CubeConversion, DecidesFromTheRecord) {
  struct Case {
    const char* name;
    PanoInput input;
    bool converttocube;
    int32_t maxcubesize;
    bool convert;
    int32_t face;
    double vfov;  // after filling
  };
  const auto with_fov = [](PanoInput input, double hfov, double vfov) {
    input.hfov = hfov;
    input.vfov = vfov;
    return input;
  };
  const Case cases[] = {
      {"sphere", with_fov(input_of(kPanoSphere, 8000, 4000, "s.jpg"), 360, 180), true, 0, true,
       2546, 180},
      {"even", with_fov(input_of(kPanoSphere, 12003, 6000, "s.jpg"), 360, 180), true, 0, true, 3822,
       180},
      {"limited", with_fov(input_of(kPanoSphere, 8000, 4000, "s.jpg"), 360, 180), true, 2000, true,
       2000, 180},
      {"limit above natural", with_fov(input_of(kPanoSphere, 8000, 4000, "s.jpg"), 360, 180), true,
       3000, true, 2546, 180},
      {"switched off", with_fov(input_of(kPanoSphere, 8000, 4000, "s.jpg"), 360, 180), false, 0,
       false, 0, 180},
      {"partial 150", with_fov(input_of(kPanoPartialSphere, 3600, 1500, "p.jpg"), 360, 0), true, 0,
       true, 1146, 150},
      {"partial 110", with_fov(input_of(kPanoPartialSphere, 3600, 1100, "p.jpg"), 360, 0), true, 0,
       false, 0, 110},
      {"hfov from settings", with_fov(input_of(kPanoPartialSphere, 3600, 1500, "p.jpg"), 0, 0),
       true, 0, true, 1146, 150},
      {"hfov out of range", with_fov(input_of(kPanoPartialSphere, 3600, 1500, "p.jpg"), 400, 0),
       true, 0, true, 1146, 150},
      {"cylinder 200", with_fov(input_of(kPanoCylinder, 2000, 1000, "c.jpg"), 200, 0), true, 0,
       false, 0, 0},
      {"side by side", with_fov(input_of(kPanoSideBySide, 2000, 1000, "st.jpg"), 360, 180), true, 0,
       true, 638, 180},
      {"flat", with_fov(input_of(kPanoFlat, 2000, 1000, "f.jpg"), 1, 0), true, 0, false, 0, 0},
  };
  for (const Case& c : cases) {
    PanoSettings settings = default_pano_settings();
    settings.converttocube = c.converttocube;
    settings.maxcubesize = c.maxcubesize;
    PanoInput input = c.input;
    const CubeConversion conversion = plan_cube_conversion(settings, &input);
    EXPECT_EQ(conversion.convert, c.convert) << c.name;
    EXPECT_EQ(conversion.face_size, c.face) << c.name;
    if (c.vfov > 0) {
      EXPECT_NEAR(input.vfov, c.vfov, 1e-9) << c.name;
    }
    const PanoInput result = converted_record(input, conversion);
    EXPECT_EQ(result.type, c.convert ? kPanoCube : input.type) << c.name;
  }
  // A cylinder's vertical fov follows from its radius: 360 × 1000 over 3600 pixels is 82.2°.
  PanoInput cylinder = input_of(kPanoCylinder, 3600, 1000, "c.jpg");
  cylinder.hfov = 360;
  fill_missing_fov(default_pano_settings(), &cylinder);
  EXPECT_NEAR(cylinder.vfov, 82.2, 0.05);
}

TEST(CubeConversion, StripsBecomeCubes) {
  struct Case {
    int32_t type;
    bool two_eyes;
  };
  const Case cases[] = {{kPanoStrip, false},
                        {kPanoVerticalStrip, false},
                        {kPanoStereoStrip, true},
                        {kPanoVerticalStereoStrip, true},
                        {kPanoStripPair, true}};
  for (const Case& c : cases) {
    PanoInput strip = input_of(c.type, 500, 500, "strip.tif");
    PanoSettings settings = default_pano_settings();
    const CubeConversion conversion = plan_cube_conversion(settings, &strip);
    EXPECT_FALSE(conversion.convert);
    const PanoInput cube = converted_record(strip, conversion);
    EXPECT_EQ(cube.type, kPanoCube);
    EXPECT_EQ(cube.width, 500);
    EXPECT_EQ(cube.two_eyes, c.two_eyes) << c.type;
    EXPECT_FALSE(cube.converted);
  }
}

}  // namespace
