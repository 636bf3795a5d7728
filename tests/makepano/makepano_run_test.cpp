// Runs of the built binary that must end in a sound tour or be refused: scenes from several
// folders, re-runs over an existing tour, settings checked before any work, names of skybox
// cubes, the page only with its XML, the output folder, skipped inputs and the help words.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"
#include "tour_checks.h"

namespace {

namespace fs = std::filesystem;
using qv_test::CommandResult;
using qv_test::expect_sound_tour;
using qv_test::files_below;
using qv_test::read_file;
using qv_test::run_qorveltools;
using qv_test::TempDir;
using qv_test::write_file;

std::string stock_config(const std::string& name) {
  return fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/templates/" + name;
}

bool write_sphere(const std::string& path, int width, int height) {
  return qv_test::write_pattern(path, kPixelRgb8, width, height);
}

// Every file below a folder with its content.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& file : files_below(folder)) files[file] = read_file(file);
  return files;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(MakepanoRun, ScenesFromSeveralFoldersPointAtTheirTiles) {
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir.file("x")) && fs::create_directory(dir.file("y")));
  ASSERT_TRUE(write_sphere(dir.file("x/earth.jpg"), 800, 400));
  ASSERT_TRUE(write_sphere(dir.file("y/night.jpg"), 400, 200));
  const CommandResult result =
      run_qorveltools({"makepano", "-config=" + stock_config("scenes.config"), "-tilesize=128",
                       dir.file("x/earth.jpg"), dir.file("y/night.jpg")});
  ASSERT_EQ(result.status, 0) << result.out;
  expect_sound_tour(dir.file("y/tour.xml"), dir.file("y/tour.html"));
  EXPECT_NE(read_file(dir.file("y/tour.xml")).find("url=\"../x/earth.tiles/"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.file("x/tour.xml")));
}

TEST(MakepanoRun, ARerunAsksBeforeWritingAndReplacesTheWholePlan) {
  TempDir dir;
  const std::string input = dir.file("p.jpg");
  ASSERT_TRUE(write_sphere(input, 1600, 800));
  const std::vector<std::string> args = {"makepano", "-config=" + stock_config("tour.config"),
                                         input, "-askforxmloverwrite=true"};
  std::vector<std::string> small_tiles = args;
  small_tiles.push_back("-tilesize=128");
  ASSERT_EQ(run_qorveltools(small_tiles).status, 0);
  expect_sound_tour(dir.file("p.xml"), dir.file("p.html"));
  const std::map<std::string, std::string> before = snapshot(dir.path);

  // Without an answer nothing of the input is written, and the run says so and fails.
  const CommandResult declined = run_qorveltools(args, "");
  EXPECT_EQ(declined.status, 1) << declined.out;
  EXPECT_EQ(snapshot(dir.path), before);
  EXPECT_NE(declined.out.find("WARNING: overwrite xml file \"" + dir.file("p.xml") + "\"? (y/n): "),
            std::string::npos)
      << declined.out;
  EXPECT_EQ(declined.out.find(" - making images..."), std::string::npos) << declined.out;
  EXPECT_NE(declined.out.find("0 of 1 panoramas made; skipped: p.jpg (existing xml kept)\n"),
            std::string::npos)
      << declined.out;

  // A yes, or no question at all, replaces the tour: nothing of the earlier plan is left.
  const struct {
    std::vector<std::string> extra;
    const char* answer;
    const char* tile_size;
  } reruns[] = {
      {{"-tilesize=300"}, "y\n", "tilesize=\"300\""},
      {{"-askforxmloverwrite=false", "-tilesize=200"}, "", "tilesize=\"200\""},
  };
  for (const auto& rerun : reruns) {
    std::vector<std::string> words = args;
    words.insert(words.end(), rerun.extra.begin(), rerun.extra.end());
    const CommandResult result = run_qorveltools(words, rerun.answer);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(read_file(dir.file("p.xml")).find(rerun.tile_size), std::string::npos)
        << read_file(dir.file("p.xml"));
    expect_sound_tour(dir.file("p.xml"), dir.file("p.html"));
  }
}

TEST(MakepanoRun, SettingsAreCheckedBeforeAnyWork) {
  const struct {
    std::string option;
    std::string message;
  } cases[] = {
      {"-levelsizes=abc",
       "ERROR: levelsizes=abc is not a list of level widths (e.g. levelsizes=4096,2048,1024)\n"},
      {"-levelsizes=0", "ERROR: levelsizes=0 is not a list of level widths"},
      {"-levelsizes=1024,,256", "ERROR: levelsizes=1024,,256 is not a list of level widths"},
      {"-frames=true",
       "ERROR: frames=true needs a frame number (%f) in tilepath=%INPUTPATH%/%BASENAME%.tiles/"},
      {"-memlimit=lots",
       "ERROR: memlimit=lots is not a memory size (e.g. memlimit=4G or memlimit=4096M)\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_TRUE(write_sphere(dir.file("a.jpg"), 400, 200));
    ASSERT_TRUE(write_sphere(dir.file("b.jpg"), 400, 200));
    const CommandResult result =
        run_qorveltools({"makepano", "-config=" + stock_config("tour.config"), dir.file("a.jpg"),
                         dir.file("b.jpg"), c.option});
    EXPECT_EQ(result.status, 1) << c.option;
    EXPECT_NE(result.out.find(c.message), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("processing"), std::string::npos) << result.out;
    EXPECT_EQ(qv_test::list_files(dir.path), (std::vector<std::string>{"a.jpg", "b.jpg"}));
  }
}

// Under a memory limit smaller than the decoded source the tiles of the source go out to swap
// files and come back as the faces need them: the tour is the same, byte for byte.
TEST(MakepanoRun, AMemoryLimitBelowTheSourceMakesTheSameTour) {
  std::map<std::string, std::string> trees[2];
  const char* const limits[2] = {nullptr, "-memlimit=24M"};
  for (int run = 0; run < 2; ++run) {
    TempDir dir;
    ASSERT_TRUE(write_sphere(dir.file("p.jpg"), 2048, 1024));  // 8 MB of tiles
    std::vector<std::string> args = {"makepano", "-config=" + stock_config("tour.config"),
                                     dir.file("p.jpg"), "-tilesize=256", "-preview=false",
                                     "-tempdir=" + dir.file("swap")};
    if (limits[run]) args.push_back(limits[run]);
    ASSERT_TRUE(fs::create_directory(dir.file("swap")));
    const CommandResult result = run_qorveltools(args);
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(qv_test::list_files(dir.file("swap")).empty());
    for (const auto& [file, bytes] : snapshot(dir.path)) {
      trees[run][fs::relative(file, dir.path).string()] = bytes;
    }
  }
  EXPECT_GT(trees[0].size(), 20u);
  EXPECT_TRUE(trees[0] == trees[1]);
}

TEST(MakepanoRun, ImageParametersOfCustomImagesStayApart) {
  TempDir dir;
  ASSERT_TRUE(write_sphere(dir.file("p.jpg"), 400, 200));
  const CommandResult result = run_qorveltools(
      {"makepano", "-config=" + stock_config("tour.config"), dir.file("p.jpg"),
       "-xmlimageparameters=own=\"1\"", "-customimage[big].size=64",
       "-customimage[big].path=%INPUTPATH%/%BASENAME%.tiles/big_%s.jpg",
       "-customimage[big].xml=<cube url=\"[PATH]\" />",
       "-customimage[big].xmlimageparameters=bigp=\"1\"",
       "-customimage[big].xmlsceneparameters=bigs=\"1\""});
  ASSERT_EQ(result.status, 0) << result.out;
  expect_sound_tour(dir.file("p.xml"), dir.file("p.html"));
  const std::string xml = read_file(dir.file("p.xml"));
  EXPECT_NE(xml.find(" own=\"1\" bigp=\"1\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("big_%s.jpg"), std::string::npos) << xml;
}

TEST(MakepanoRun, SkyboxNamedCubesNameTheTourWithoutTheirMarker) {
  const struct {
    const char* stem;
    std::vector<const char*> markers;  // left, front, right, back, up, down
    const char* base;
  } cases[] = {
      {"gkskycyber_", {"rt", "ft", "lf", "bk", "up", "dn"}, "gkskycyber"},
      {"room_", {"negx", "posz", "posx", "negz", "posy", "negy"}, "room"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {"makepano", "-config=" + stock_config("tour.config")};
    for (const char* marker : c.markers) {
      const std::string face = dir.file(std::string(c.stem) + marker + ".jpg");
      ASSERT_TRUE(write_sphere(face, 200, 200));
      args.push_back(face);
    }
    const CommandResult result = run_qorveltools(args);
    ASSERT_EQ(result.status, 0) << result.out;
    expect_sound_tour(dir.file(std::string(c.base) + ".xml"),
                      dir.file(std::string(c.base) + ".html"));
    EXPECT_TRUE(fs::is_directory(dir.file(std::string(c.base) + ".tiles"))) << c.base;
  }
}

TEST(MakepanoRun, NoPageWithoutItsXml) {
  TempDir dir;
  ASSERT_TRUE(write_sphere(dir.file("p.jpg"), 400, 200));
  const CommandResult result = run_qorveltools(
      {"makepano", "-config=" + stock_config("tour.config"), dir.file("p.jpg"), "-xml=false"});
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(count_of(result.out, "WARNING: xml=false: no html page is written"), 1u)
      << result.out;
  EXPECT_NE(result.out.find(" - output: preview, thumb, tiles \n"), std::string::npos)
      << result.out;
  EXPECT_FALSE(fs::exists(dir.file("p.html")));
  EXPECT_FALSE(fs::exists(dir.file("p.xml")));
}

TEST(MakepanoRun, AConfigIncludingItselfIsOneLine) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir.file("self.config"), "tilesize=256\ninclude self.config\n"));
  ASSERT_TRUE(write_sphere(dir.file("p.jpg"), 400, 200));
  const CommandResult result =
      run_qorveltools({"makepano", "-config=self.config", "p.jpg"}, "", dir.path);
  EXPECT_EQ(result.status, 1);
  const std::string cycle = dir.file("self.config") + " -> " + dir.file("self.config");
  EXPECT_EQ(result.out, "ERROR: config files include each other in a cycle: " + cycle +
                            "\n\nERROR: loading config \"self.config\" failed!\n\n");
}

TEST(MakepanoRun, HelpWordsPrintTheUsage) {
  const std::string templates = stock_config("");
  for (const char* word : {"-h", "-help", "--help", "-HELP"}) {
    for (const bool with_config : {false, true}) {
      std::vector<std::string> args = {"makepano", word};
      if (with_config) args.push_back("-config=" + stock_config("tour.config"));
      const CommandResult result = run_qorveltools(args);
      EXPECT_EQ(result.status, 0) << word;
      const std::string& out = result.out;
      EXPECT_NE(out.find("syntax: qorveltools makepano -config=### [inputfiles] [options]\n"),
                std::string::npos)
          << word;
      EXPECT_NE(out.find("stock configs (in " + templates + "):\n  tour.config "),
                std::string::npos)
          << out;
      EXPECT_NE(out.find("\n  scenes.config "), std::string::npos) << out;
      for (const char* setting : {"-outputfolder=", "-tilesize=", "-jpegquality=",
                                  "-levelsizes=", "-askforxmloverwrite="}) {
        EXPECT_NE(out.find(setting), std::string::npos) << setting;
      }
      EXPECT_EQ(out.find("processing"), std::string::npos);
    }
  }
}

TEST(MakepanoRun, TheOutputFolderHoldsTheWholeTour) {
  TempDir dir;
  const std::string in = dir.file("in");
  ASSERT_TRUE(fs::create_directory(in));
  ASSERT_TRUE(write_sphere(in + "/p.jpg", 400, 200));
  ASSERT_TRUE(write_sphere(in + "/s.jpg", 400, 400));  // over-under stereo: split into eyes
  ASSERT_TRUE(write_sphere(in + "/strip.jpg", 1200, 200));
  const std::map<std::string, std::string> before = snapshot(in);
  ASSERT_EQ(chmod(in.c_str(), 0555), 0);
  const CommandResult result = run_qorveltools(
      {"makepano", "-config=" + stock_config("tour.config"), "-outputfolder=" + dir.file("out"),
       in + "/p.jpg", in + "/s.jpg", in + "/strip.jpg", "-tilesize=128"});
  chmod(in.c_str(), 0755);
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(snapshot(in), before);
  for (const char* base : {"p", "s", "strip"}) {
    expect_sound_tour(dir.file("out/") + base + ".xml", dir.file("out/") + base + ".html");
    EXPECT_TRUE(fs::exists(dir.file("out/") + base + ".js")) << base;
  }
  for (const std::string& file : files_below(dir.file("out"))) {
    EXPECT_EQ(file.find("_cube"), std::string::npos) << file;
    EXPECT_NE(fs::path(file).extension(), ".kro") << file;
  }
}

TEST(MakepanoRun, SkippedInputsMakeTheRunFailWithAClosingLine) {
  TempDir dir;
  ASSERT_TRUE(write_sphere(dir.file("a.jpg"), 400, 200));
  ASSERT_TRUE(write_sphere(dir.file("b.jpg"), 400, 200));
  ASSERT_TRUE(write_file(dir.file("notes.txt"), "not a panorama\n"));
  const CommandResult result =
      run_qorveltools({"makepano", "-config=" + stock_config("tour.config"), "a.jpg",
                       "notes.txt", "b.jpg", "gone*.jpg"},
                      "", dir.path);
  EXPECT_EQ(result.status, 1) << result.out;
  const std::string last =
      "2 of 4 panoramas made; skipped: gone*.jpg (no such file), notes.txt (not an image)\n";
  ASSERT_GE(result.out.size(), last.size()) << result.out;
  EXPECT_EQ(result.out.substr(result.out.size() - last.size()), last) << result.out;
  expect_sound_tour(dir.file("a.xml"), dir.file("a.html"));
  expect_sound_tour(dir.file("b.xml"), dir.file("b.html"));
}

TEST(MakepanoRun, ALoggedRunHoldsStepLinesWithoutPercentages) {
  TempDir dir;
  ASSERT_TRUE(write_sphere(dir.file("p.jpg"), 800, 400));
  ASSERT_TRUE(write_sphere(dir.file("s.jpg"), 1200, 200));  // a cube strip
  const CommandResult result = run_qorveltools(
      {"makepano", "-config=" + stock_config("tour.config"), "p.jpg", "s.jpg", "-tilesize=128"},
      "", dir.path);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out.find('\r'), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find('%'), std::string::npos) << result.out;
  EXPECT_EQ(count_of(result.out, " - making images...\n"), 2u) << result.out;
  EXPECT_EQ(count_of(result.out, "   done.\n\n"), 2u) << result.out;

  // On a terminal (a pseudo-terminal made by script(1)) the percentages are still written.
  const std::string command = "cd '" + dir.path + "' && script -qec \"'" +
                              qv_test::qorveltools_binary() + "' makepano '-config=" +
                              stock_config("tour.config") +
                              "' p.jpg -tilesize=128 -askforxmloverwrite=false\" /dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string terminal;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) terminal.append(buffer, got);
  EXPECT_EQ(pclose(pipe), 0) << terminal;
  EXPECT_NE(terminal.find("100%   \r"), std::string::npos) << terminal;
  EXPECT_NE(terminal.find(" - making images..."), std::string::npos) << terminal;
}

}  // namespace
