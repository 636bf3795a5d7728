// Config files: line syntax and its quirks, includes (forms, relative folders, failures, cycles),
// and the derived paths filled after each file.
#include "makepano/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/files.h"
#include "console_capture.h"
#include "makepano/pano_settings.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using qv_test::CapturedConsole;
using qv_test::TempDir;

// Writes a file, creating its folders.
bool write_file(const std::string& path, const std::string& text) {
  return create_directories_for(path) && qv_test::write_file(path, text);
}

bool load(PanoSettings* s, const std::string& path, CapturedConsole* console) {
  return load_config_file(s, path, false, &console->ops);
}

TEST(ConfigFile, LinesKeepTheirQuirks) {
  TempDir dir;
  const std::string text =
      "# comment = ignored\n"
      "tilesize=512\r\n"
      "   levels=3\r"
      "\tjpegquality=70   \n"
      "  # note = x\n"
      "preview = false\n"
      "makethumb junk =true\n"
      "tilepath= padded/%BASENAME%.jpg\t \n"
      "htmltemplate=   \n"
      "include=x.config\n"
      "Include other.config\n"
      "include\n"
      "include x\n"
      "no equals sign here\n"
      "\n\n"
      "xml=false";
  ASSERT_TRUE(write_file(dir.file("main.config"), text));
  PanoSettings s = default_pano_settings();
  s.htmltemplate = "before";
  CapturedConsole console;
  EXPECT_TRUE(load(&s, dir.file("main.config"), &console));
  EXPECT_EQ(console.text(), "");
  EXPECT_EQ(s.tilesize, 512);
  EXPECT_EQ(s.levels, 3);
  EXPECT_EQ(s.jpegquality, 70);
  EXPECT_TRUE(s.preview);  // the value is " false"
  EXPECT_TRUE(s.makethumb);
  EXPECT_EQ(s.tilepath, " padded/%BASENAME%.jpg");
  EXPECT_EQ(s.htmltemplate, "");
  EXPECT_FALSE(s.xml);
  EXPECT_FALSE(s.failed);
}

TEST(ConfigFile, AZeroByteEndsTheText) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("z.config"), std::string("tilesize=300\n\0levels=4\n", 24)));
  PanoSettings s = default_pano_settings();
  CapturedConsole console;
  EXPECT_TRUE(load(&s, dir.file("z.config"), &console));
  EXPECT_EQ(s.tilesize, 300);
  EXPECT_EQ(s.levels, 0);
}

TEST(ConfigFile, IncludesAreReadRelativeToTheIncludingFile) {
  const char* const forms[] = {"include sub/common.config", "include \"sub/common.config\"",
                               "include  'sub/common.config' ", "include <sub/common.config>",
                               "  include\t\"sub\\common.config\""};
  for (const char* form : forms) {
    TempDir dir;
    ASSERT_TRUE(
        write_file(dir.file("main.config"), std::string("tilesize=100\n") + form + "\nlevels=5\n"));
    ASSERT_TRUE(write_file(dir.file("sub/common.config"),
                           "tilesize=200\nminsize=7\ninclude deeper.config\n"));
    ASSERT_TRUE(write_file(dir.file("sub/deeper.config"), "maxsize=9000\n"));
    PanoSettings s = default_pano_settings();
    CapturedConsole console;
    EXPECT_TRUE(load(&s, dir.file("main.config"), &console)) << form << console.text();
    EXPECT_EQ(s.tilesize, 200) << form;
    EXPECT_EQ(s.minsize, 7) << form;
    EXPECT_EQ(s.maxsize, 9000) << form;
    EXPECT_EQ(s.levels, 5) << form;
  }
}

TEST(ConfigFile, AnAbsoluteIncludeIsReadAsWritten) {
  TempDir dir;
  TempDir other;
  ASSERT_TRUE(write_file(other.file("abs.config"), "tilesize=321\n"));
  ASSERT_TRUE(write_file(dir.file("main.config"), "include " + other.file("abs.config") + "\n"));
  PanoSettings s = default_pano_settings();
  CapturedConsole console;
  EXPECT_TRUE(load(&s, dir.file("main.config"), &console));
  EXPECT_EQ(s.tilesize, 321);
}

TEST(ConfigFile, AFailedIncludeStopsTheFile) {
  TempDir dir;
  ASSERT_TRUE(
      write_file(dir.file("main.config"), "tilesize=100\ninclude \"missing.config\"\nlevels=5\n"));
  PanoSettings s = default_pano_settings();
  CapturedConsole console;
  EXPECT_FALSE(load(&s, dir.file("main.config"), &console));
  EXPECT_EQ(console.text(), "ERROR: including config file \"missing.config\" failed\n\n");
  EXPECT_TRUE(s.failed);
  EXPECT_EQ(s.tilesize, 100);
  EXPECT_EQ(s.levels, 0);

  PanoSettings absent = default_pano_settings();
  CapturedConsole quiet;
  EXPECT_FALSE(load(&absent, dir.file("none.config"), &quiet));
  EXPECT_EQ(quiet.text(), "");
  EXPECT_FALSE(absent.failed);
}

TEST(ConfigFile, AnIncludeCycleIsOneLineNamingIt) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // the first is loaded
    std::vector<std::string> cycle;
  };
  const Case cases[] = {
      {"itself", {{"a.config", "tilesize=100\ninclude a.config\n"}}, {"a.config", "a.config"}},
      {"through another",
       {{"a.config", "tilesize=100\ninclude b.config\n"}, {"b.config", "include a.config\n"}},
       {"a.config", "b.config", "a.config"}},
      {"below the first",
       {{"a.config", "include b.config\n"},
        {"b.config", "include sub/c.config\n"},
        {"sub/c.config", "include ../b.config\n"}},
       {"b.config", "sub/c.config", "b.config"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    fs::create_directory(dir.file("sub"));
    for (const auto& [name, text] : c.files) ASSERT_TRUE(write_file(dir.file(name), text));
    PanoSettings s = default_pano_settings();
    CapturedConsole console;
    EXPECT_FALSE(load(&s, dir.file(c.files[0].first), &console)) << c.name;
    EXPECT_TRUE(s.failed) << c.name;
    std::string cycle;
    for (const std::string& name : c.cycle) cycle += (cycle.empty() ? "" : " -> ") + dir.file(name);
    EXPECT_EQ(console.text(),
              "ERROR: config files include each other in a cycle: " + cycle + "\n\n")
        << c.name;
  }
}

TEST(ConfigFile, AChainTooDeepIsOneLine) {
  TempDir dir;
  for (int i = 0; i <= kMaxConfigIncludeDepth + 1; ++i) {
    ASSERT_TRUE(write_file(dir.file(std::to_string(i) + ".config"),
                           "include " + std::to_string(i + 1) + ".config\n"));
  }
  PanoSettings s = default_pano_settings();
  CapturedConsole console;
  EXPECT_FALSE(load(&s, dir.file("0.config"), &console));
  EXPECT_EQ(console.text(), "ERROR: config file \"" +
                                dir.file(std::to_string(kMaxConfigIncludeDepth + 1) + ".config") +
                                "\" is included more than " +
                                std::to_string(kMaxConfigIncludeDepth) + " files deep\n");
}

TEST(ConfigFile, OnlyTheMainFileEmptiesTheAdditionalFileLists) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("main.config"),
                         "xmltemplate_additional_file=a.png\ninclude more.config\n"));
  ASSERT_TRUE(write_file(dir.file("more.config"),
                         "xmltemplate_additional_file=b.png\nhtmltemplate_additional_file=c\n"));
  PanoSettings s = default_pano_settings();
  s.xmltemplate_additional_file = {"old.png"};
  s.htmltemplate_additional_file = {"old.js"};
  s.xmltemplate_var = {"KEEP:1"};
  CapturedConsole console;
  EXPECT_TRUE(load(&s, dir.file("main.config"), &console));
  EXPECT_EQ(s.xmltemplate_additional_file, (std::vector<std::string>{"a.png", "b.png"}));
  EXPECT_EQ(s.htmltemplate_additional_file, (std::vector<std::string>{"c"}));
  EXPECT_EQ(s.xmltemplate_var, (std::vector<std::string>{"KEEP:1"}));
}

TEST(ConfigFile, DerivedPathsAreFilledAfterEachFile) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("main.config"),
                         "include sub.config\npreviewpath=other/p.jpg\ntilepath=t/%v_%h.jpg\n"));
  ASSERT_TRUE(write_file(dir.file("sub.config"), "previewpath=out/p.jpg\n"));
  PanoSettings s = default_pano_settings();
  CapturedConsole console;
  EXPECT_TRUE(load(&s, dir.file("main.config"), &console));
  EXPECT_EQ(s.thumbpath, "out/thumb.jpg");
  EXPECT_EQ(s.mobileimagespath, "%INPUTPATH%/%BASENAME%.tiles/mobile_%s.jpg");
  EXPECT_EQ(s.tabletimagespath, "%INPUTPATH%/%BASENAME%.tiles/tablet_%s.jpg");
}

}  // namespace
