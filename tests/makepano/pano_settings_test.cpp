// The settings record: defaults from the key table, how apply_setting parses each kind of key
// (fallbacks, ranges, the quirks of bool keys), the customimage family, the derived paths and the
// rule for absolute and relative paths.
#include "makepano/pano_settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::string text_of(double value) {
  char text[64];
  snprintf(text, sizeof text, "%.9g", value);
  return text;
}

TEST(PanoSettings, DefaultsComeFromTheKeyTable) {
  const PanoSettings s = default_pano_settings();
  EXPECT_EQ(s.panotype, "autodetect");
  EXPECT_EQ(s.hfov, 360);
  EXPECT_TRUE(s.stereosupport);
  EXPECT_EQ(s.stereolabels.left, "1");
  EXPECT_EQ(s.stereolabels.right, "2");
  EXPECT_EQ(s.inindexbase, 1);
  EXPECT_EQ(s.autolevel, "full");
  EXPECT_EQ(s.converttocubelimit.width, 360);
  EXPECT_EQ(s.converttocubelimit.height, 120);
  EXPECT_EQ(s.converttocubeformat, "kro");
  EXPECT_FALSE(s.waitafterconvert);
  EXPECT_EQ(s.tempcubename, "%INPUTPATH%/%BASENAME%_cube%UID%");
  EXPECT_EQ(s.levelstep, 2.0);
  EXPECT_EQ(s.tilepath, "%INPUTPATH%/%BASENAME%.tiles/l%Al[_c]_%Av_%Ah.jpg");
  EXPECT_EQ(s.tilepathxml, "[PATH]");
  EXPECT_EQ(s.indexbase, 1);
  EXPECT_EQ(s.filter, "LANCZOS");
  EXPECT_EQ(s.jpegquality, 0);
  EXPECT_TRUE(s.jpegoptimize);
  EXPECT_EQ(s.previewsmooth, 25);
  EXPECT_EQ(s.previewspsize, 1024);
  EXPECT_EQ(s.previewcssize, 256);
  EXPECT_EQ(s.thumbsize, 80);
  EXPECT_EQ(s.thumbpath, "");
  EXPECT_EQ(s.buildmobileres, 512);
  EXPECT_EQ(s.buildtabletres, 1024);
  EXPECT_EQ(s.xmlpath, "%INPUTPATH%/%BASENAME%.xml");
  EXPECT_EQ(s.htmltemplate_html5, "auto");
  EXPECT_TRUE(s.flash && s.html5 && s.xml && s.html && s.multires && s.preview);
  EXPECT_TRUE(s.xmltemplate_var.empty());
  EXPECT_TRUE(s.customimages.empty());
  EXPECT_FALSE(s.quiet || s.verbose || s.waitkey || s.frames || s.makethumb);
}

TEST(PanoSettings, EveryKeyOfTheTableIsKnown) {
  size_t count = 0;
  const SettingKey* keys = pano_setting_keys(&count);
  ASSERT_GT(count, 90u);
  for (size_t i = 0; i < count; ++i) {
    PanoSettings s = default_pano_settings();
    EXPECT_TRUE(apply_setting(&s, keys[i].key, "1")) << keys[i].key;
  }
}

// One apply_setting call (or two, applied in order) and the resulting field as text.
struct ApplyCase {
  std::vector<std::pair<std::string, std::string>> lines;
  std::function<std::string(const PanoSettings&)> field;
  std::string expected;
};

TEST(PanoSettings, ValuesAreParsedByTheirKeysKind) {
  using S = const PanoSettings&;
  const ApplyCase cases[] = {
      {{{"TileSize", "512"}}, [](S s) { return std::to_string(s.tilesize); }, "512"},
      {{{"tilepath", "%INPUTPATH%/Tiles/%BASENAME%"}},
       [](S s) { return s.tilepath; },
       "%INPUTPATH%/Tiles/%BASENAME%"},
      {{{"tilepath", " lead"}}, [](S s) { return s.tilepath; }, " lead"},
      {{{"previewsmooth", "abc"}}, [](S s) { return std::to_string(s.previewsmooth); }, "77"},
      {{{"previewsmooth", "250"}}, [](S s) { return std::to_string(s.previewsmooth); }, "100"},
      {{{"thumbsize", "4"}}, [](S s) { return std::to_string(s.thumbsize); }, "16"},
      {{{"buildmobileres", "big"}}, [](S s) { return std::to_string(s.buildmobileres); }, "480"},
      {{{"jpegquality", "abc"}}, [](S s) { return std::to_string(s.jpegquality); }, "85"},
      {{{"jpegquality", "-5"}}, [](S s) { return std::to_string(s.jpegquality); }, "0"},
      {{{"inindexbase", "-2147483648"}},
       [](S s) { return std::to_string(s.inindexbase); },
       "-2147483647"},
      {{{"hfov", "123.456"}}, [](S s) { return text_of(s.hfov); }, text_of(123.456f)},
      {{{"hfov", "wide"}}, [](S s) { return text_of(s.hfov); }, "360"},
      {{{"levelstep", "x"}}, [](S s) { return text_of(s.levelstep); }, "2"},
      {{{"preview", "maybe"}}, [](S s) { return std::to_string(s.preview); }, "1"},
      {{{"preview", " false"}}, [](S s) { return std::to_string(s.preview); }, "1"},
      {{{"preview", "NO"}}, [](S s) { return std::to_string(s.preview); }, "0"},
      {{{"waitafterconvert", "maybe"}},
       [](S s) { return std::to_string(s.waitafterconvert); },
       "1"},
      {{{"buildmobileimages", "yes"}, {"buildmobileimages", "maybe"}},
       [](S s) { return std::to_string(s.buildmobileimages); },
       "1"},
      {{{"flash", "off"}, {"flash", "maybe"}}, [](S s) { return std::to_string(s.flash); }, "0"},
      {{{"autolevel", "PreAlign"}}, [](S s) { return s.autolevel; }, "prealign"},
      {{{"converttocubelimit", "360x150"}},
       [](S s) { return std::to_string(s.converttocubelimit.height); },
       "150"},
      {{{"converttocubelimit", "abc"}},
       [](S s) {
         return std::to_string(s.converttocubelimit.width) + "x" +
                std::to_string(s.converttocubelimit.height);
       },
       "0x0"},
      {{{"intilesize", "512"}},
       [](S s) {
         return std::to_string(s.intilesize.width) + "x" + std::to_string(s.intilesize.height);
       },
       "512x512"},
      {{{"embedorderlookat", "10|-5"}},
       [](S s) {
         return text_of(s.embedorderlookat.first) + "," + text_of(s.embedorderlookat.second);
       },
       "10,-5"},
      {{{"stereolabels", "L|R"}},
       [](S s) { return s.stereolabels.left + "," + s.stereolabels.right; },
       "L,R"},
      {{{"stereolabels", "|R"}},
       [](S s) { return s.stereolabels.left + "," + s.stereolabels.right; },
       "1,2"},
      {{{"stereolabels", "LR"}},
       [](S s) { return s.stereolabels.left + "," + s.stereolabels.right; },
       "1,2"},
      {{{"stereolabels", "L|"}},
       [](S s) { return s.stereolabels.left + "," + s.stereolabels.right; },
       "1,2"},
      {{{"xmltemplate_var", "A:1"}, {"XMLTEMPLATE_VAR", "BB:2"}},
       [](S s) { return s.xmltemplate_var[0] + ";" + s.xmltemplate_var[1]; },
       "A:1;BB:2"},
      {{{"tempcubepath", "x/%UID%"}}, [](S s) { return s.tempcubename; }, "x/%UID%"},
  };
  for (const ApplyCase& c : cases) {
    PanoSettings s = default_pano_settings();
    for (const auto& line : c.lines) EXPECT_TRUE(apply_setting(&s, line.first, line.second));
    EXPECT_EQ(c.field(s), c.expected) << c.lines[0].first << "=" << c.lines[0].second;
  }
}

TEST(PanoSettings, UnknownKeysAreRefusedAndConfigIsIgnored) {
  PanoSettings s = default_pano_settings();
  EXPECT_FALSE(apply_setting(&s, "tilesizes", "1"));
  EXPECT_FALSE(apply_setting(&s, "", "1"));
  EXPECT_FALSE(apply_setting(&s, "include", "x.config"));
  EXPECT_TRUE(apply_setting(&s, "config", "x.config"));
  EXPECT_TRUE(apply_setting(&s, "Postprocess", "cmd"));
  EXPECT_EQ(s.postprocess, "cmd");
}

TEST(PanoSettings, CustomImagesAreNamedEntries) {
  PanoSettings s = default_pano_settings();
  EXPECT_TRUE(apply_setting(&s, "customimage[ Big ].size", "4096"));
  EXPECT_TRUE(apply_setting(&s, "CustomImage[BIG].path", "x_%s.jpg"));
  EXPECT_TRUE(apply_setting(&s, "customimage[big]. xmllevel ", "root"));
  ASSERT_EQ(s.customimages.size(), 1u);
  EXPECT_EQ(s.customimages[0].name, "big");
  EXPECT_EQ(s.customimages[0].size, 4096);
  EXPECT_EQ(s.customimages[0].path, "x_%s.jpg");
  EXPECT_EQ(s.customimages[0].xmllevel, "root");
  EXPECT_EQ(s.customimages[0].stereosupport, -1);

  // The stereo fallback is the global value at the moment the key is read.
  EXPECT_TRUE(apply_setting(&s, "customimage[big].stereosupport", "maybe"));
  EXPECT_EQ(s.customimages[0].stereosupport, 1);
  EXPECT_TRUE(apply_setting(&s, "stereosupport", "false"));
  EXPECT_TRUE(apply_setting(&s, "customimage[big].stereosupport", "maybe"));
  EXPECT_EQ(s.customimages[0].stereosupport, 0);

  const char* const refused[] = {"customimage[big].colour", "customimage[].size",
                                 "customimage[big].",       "customimage]x[.size",
                                 "customimage.x[big]",      "customimage[a.b].size"};
  for (const char* key : refused) EXPECT_FALSE(apply_setting(&s, key, "1")) << key;
  EXPECT_EQ(s.customimages.size(), 1u);

  for (int i = 1; i < kMaxCustomImages; ++i) {
    EXPECT_TRUE(apply_setting(&s, "customimage[n" + std::to_string(i) + "].size", "1"));
  }
  EXPECT_FALSE(apply_setting(&s, "customimage[seventeenth].size", "1"));
  EXPECT_TRUE(apply_setting(&s, "customimage[n3].size", "3"));
  ASSERT_EQ(s.customimages.size(), 16u);
  EXPECT_EQ(s.customimages[3].size, 3);
}

TEST(PanoSettings, DerivedPathsFillOnlyEmptyFields) {
  struct Case {
    std::string previewpath, tilepath, thumb, mobile, tablet;
  };
  const Case cases[] = {
      {"out/p.jpg", "out/t_%v_%h.jpg", "out/thumb.jpg", "out/mobile_%s.jpg", "out/tablet_%s.jpg"},
      {"p.jpg", "t.jpg", "", "%INPUTPATH%/%BASENAME%.tiles/mobile_%s.jpg",
       "%INPUTPATH%/%BASENAME%.tiles/tablet_%s.jpg"},
  };
  for (const Case& c : cases) {
    PanoSettings s = default_pano_settings();
    s.previewpath = c.previewpath;
    s.tilepath = c.tilepath;
    fill_derived_paths(&s);
    EXPECT_EQ(s.thumbpath, c.thumb);
    EXPECT_EQ(s.mobileimagespath, c.mobile);
    EXPECT_EQ(s.tabletimagespath, c.tablet);
  }
  PanoSettings s = default_pano_settings();
  s.thumbpath = "mine.jpg";
  fill_derived_paths(&s);
  EXPECT_EQ(s.thumbpath, "mine.jpg");
  EXPECT_EQ(s.mobileimagespath, "%INPUTPATH%/%BASENAME%.tiles/mobile_%s.jpg");
}

TEST(PanoSettings, PathRule) {
  struct Case {
    const char* path;
    bool absolute;
    const char* resolved;  // against /a/b/main.config
  };
  const Case cases[] = {
      {"/x/y.config", true, "/x/y.config"},
      {"C:\\cfg\\x.config", true, "C:\\cfg\\x.config"},
      {"C:/cfg/x.config", true, "C:/cfg/x.config"},
      {"rel\\x:\\y", true, "rel\\x:\\y"},
      {"ab:/x", false, "/a/b/ab:/x"},
      {"sub/common.config", false, "/a/b/sub/common.config"},
      {"sub\\common.config", false, "/a/b/sub/common.config"},
      {"", false, "/a/b/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_absolute_setting_path(c.path), c.absolute) << c.path;
    EXPECT_EQ(resolve_setting_path("/a/b/main.config", c.path), c.resolved) << c.path;
  }
  EXPECT_EQ(resolve_setting_path("C:\\tour\\main.config", "t\\x.xml"), "C:/tour/t/x.xml");
  EXPECT_EQ(resolve_setting_path("main.config", "x.xml"), "x.xml");
}

}  // namespace
