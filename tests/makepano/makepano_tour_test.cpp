// Whole tours through the built binary: real and generated panoramas of every kind become a tour
// folder whose XML lists exactly the tiles on disk, each of the size its level gives; failures
// (missing template, unreadable input, unanswered questions, a failed tile write, a stop signal)
// leave no temporary faces and no XML pointing at missing tiles.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"
#include "tour_checks.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using qv_test::check_tiles;
using qv_test::CommandResult;
using qv_test::expect_sound_tour;
using qv_test::files_below;
using qv_test::corpus_file;
using qv_test::image_size;
using qv_test::read_file;
using qv_test::run_qorveltools;
using qv_test::TempDir;
using qv_test::write_file;

// The default tour config as installed beside the executable.
std::string tour_config() {
  return fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/templates/tour.config";
}

// No temporary faces or eye files are left in a folder.
void expect_no_temporary_files(const std::string& folder) {
  for (const std::string& file : files_below(folder)) {
    EXPECT_EQ(file.find("_cube"), std::string::npos) << file;
    EXPECT_NE(fs::path(file).extension(), ".kro") << file;
  }
}

// A finished tour of base name base in folder: XML, page, script, preview, thumbnail, and the
// tiles folder holding exactly the tiles the XML lists.
void expect_tour(const std::string& folder, const std::string& base) {
  const std::string xml = folder + "/" + base + ".xml";
  ASSERT_TRUE(fs::exists(xml)) << xml;
  expect_sound_tour(xml, folder + "/" + base + ".html");
  const std::set<std::string> listed = check_tiles(xml);
  std::set<std::string> on_disk = files_below(folder + "/" + base + ".tiles");
  EXPECT_EQ(on_disk.erase(folder + "/" + base + ".tiles/preview.jpg"), 1u);
  EXPECT_EQ(on_disk.erase(folder + "/" + base + ".tiles/thumb.jpg"), 1u);
  EXPECT_EQ(on_disk, listed);
  const std::string page = read_file(folder + "/" + base + ".html");
  EXPECT_NE(page.find("xml:\"" + base + ".xml\""), std::string::npos) << page;
  EXPECT_NE(page.find("<script src=\"" + base + ".js\">"), std::string::npos);
  EXPECT_EQ(page.find('\n', 0), page.find("\r\n") + 1);
  EXPECT_TRUE(fs::file_size(folder + "/" + base + ".js") > 1000);
  EXPECT_EQ(image_size(folder + "/" + base + ".tiles/thumb.jpg"), "240x240");
  expect_no_temporary_files(folder);
}

bool write_sphere(const std::string& path, int width, int height) {
  return qv_test::write_pattern(path, kPixelRgb8, width, height);
}

TEST(MakepanoTour, EveryKindOfInputBecomesATour) {
  struct Case {
    const char* name;
    std::vector<std::string> corpus;  // corpus files copied into the folder
    std::vector<std::pair<std::string, std::pair<int, int>>> generated;  // name, size
    std::string base;                                                    // tour base name
    std::string image_start;
    std::vector<std::string> options;
  };
  const Case cases[] = {
      {"sample earth",
       {"pano/xplanet_earth.jpg"},
       {},
       "xplanet_earth",
       "<image type=\"CUBE\" multires=\"true\"",
       {}},
      {"small sphere",
       {"pano/gimphelp_little_planet-equirect.jpg"},
       {},
       "gimphelp_little_planet-equirect",
       "<image type=\"CUBE\" multires=\"true\"",
       {}},
      {"sphere with gps",
       {"pano/goexif_has-lens-info.jpg"},
       {},
       "goexif_has-lens-info",
       "<image type=\"CUBE\" prealign=\"0|104.7|0\" multires=\"true\"",
       {}},
      {"cube faces",
       {},
       {{"room_l.jpg", {300, 300}},
        {"room_f.jpg", {300, 300}},
        {"room_r.jpg", {300, 300}},
        {"room_b.jpg", {300, 300}},
        {"room_u.jpg", {300, 300}},
        {"room_d.jpg", {300, 300}}},
       "room",
       "<image type=\"CUBE\" multires=\"true\"",
       {}},
      {"cube strip",
       {},
       {{"strip.jpg", {1200, 200}}},
       "strip",
       "<image type=\"CUBE\" multires=\"true\"",
       {}},
      {"stereo pair",
       {},
       {{"eyes_l.jpg", {400, 200}}, {"eyes_r.jpg", {400, 200}}},
       "eyes_l",
       "<image type=\"CUBE\" stereo=\"true\" stereolabels=\"1|2\" multires=\"true\"",
       {}},
      {"partial sphere",
       {},
       {{"partial.jpg", {900, 200}}},
       "partial",
       " ispartialpano=\"true\" gps=\"false\"",
       {"-panotype=sphere"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {"makepano", "-config=" + tour_config(), "-tilesize=128"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (const std::string& file : c.corpus) {
      const std::string copy = dir.file(fs::path(file).filename().string());
      fs::copy_file(corpus_file(file), copy);
      args.push_back(copy);
    }
    for (const auto& [name, size] : c.generated) {
      ASSERT_TRUE(write_sphere(dir.file(name), size.first, size.second));
      args.push_back(dir.file(name));
    }
    const CommandResult result = run_qorveltools(args);
    ASSERT_EQ(result.status, 0) << c.name << "\n" << result.out;
    EXPECT_NE(result.out.find("   done.\n\n"), std::string::npos) << c.name;
    expect_tour(dir.path, c.base);
    const std::string xml = read_file(dir.file(c.base + ".xml"));
    EXPECT_NE(xml.find(c.image_start), std::string::npos) << c.name << "\n" << xml;
    // The preview's few pixels for the viewer's first picture: W x H of them, six hex digits each.
    const size_t preview = xml.find("<preview url=\"");
    const size_t tiny = xml.find("\" tiny=\"", preview);
    ASSERT_TRUE(preview != std::string::npos && tiny != std::string::npos) << c.name << "\n" << xml;
    const std::string value = xml.substr(tiny + 8, xml.find('"', tiny + 8) - tiny - 8);
    int w = 0, h = 0, used = 0;
    ASSERT_EQ(sscanf(value.c_str(), "%dx%d:%n", &w, &h, &used), 2) << c.name << " " << value;
    EXPECT_EQ(value.size() - used, size_t(w) * h * 6) << c.name << " " << value;
    EXPECT_EQ(value.find_first_not_of("0123456789abcdef", used), std::string::npos) << value;
  }
}

TEST(MakepanoTour, ConfigAndViewerFoundBesideTheExecutable) {
  TempDir dir;
  ASSERT_TRUE(write_sphere(dir.file("p.jpg"), 400, 200));
  const CommandResult result =
      run_qorveltools({"makepano", "-config=templates/tour.config", "p.jpg", "-q"}, "", dir.path);
  ASSERT_EQ(result.status, 0) << result.out;
  // -q on the command line silences everything after the config's banner.
  EXPECT_EQ(result.out,
            "\nqorvel makepano tool 1.19-pr16 - 32bit (build 2018-04-04)\n"
            "- using config: tour.config\n");
  expect_tour(dir.path, "p");
  const std::string script =
      read_file(fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/viewer.js");
  EXPECT_EQ(read_file(dir.file("p.js")), script);
}

// Percent signs in the folder and name of a stereo file that is split into its eyes are plain
// text (the split once used the path as a format).
TEST(MakepanoTour, PercentSignsInStereoPathsAreText) {
  const struct {
    const char* folder;
    const char* name;
    int width, height;
    const char* base;  // the name with its unsafe bytes replaced
  } cases[] = {
      {"100%n%s%p", "ou%n", 400, 400, "ou_n"},  // over-under
      {"a%d%%b", "sbs%d", 800, 200, "sbs_d"},   // side by side
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string folder = dir.file(c.folder);
    ASSERT_TRUE(fs::create_directory(folder));
    const std::string input = folder + "/" + c.name + ".jpg";
    ASSERT_TRUE(write_sphere(input, c.width, c.height));
    const CommandResult result =
        run_qorveltools({"makepano", "-config=" + tour_config(), "-tilesize=128", input});
    ASSERT_EQ(result.status, 0) << c.folder;
    expect_tour(folder, c.base);
    const std::string xml = read_file(folder + "/" + c.base + ".xml");
    EXPECT_NE(xml.find("stereo=\"true\""), std::string::npos) << c.folder;
  }
}

TEST(MakepanoTour, FailuresLeaveNothingHalfMade) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool garbage_input;
    std::string message;
  };
  const Case cases[] = {
      {"missing xml template",
       {"-xmltemplate=missing.xml"},
       false,
       "ERROR: unable to load xml template: "},
      {"missing html template",
       {"-htmltemplate=missing.html"},
       false,
       "ERROR: unable to load html template: "},
      {"unreadable input", {}, true, "ERROR: no input images\n"},
      {"tiles cannot be written",
       {"-tilepath=/proc/qv_no_such/%v_%h.jpg"},
       false,
       "ERROR: unable to create file /proc/qv_no_such/1_1.jpg\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string input = dir.file("p.jpg");
    if (c.garbage_input) {
      ASSERT_TRUE(write_file(input, "not an image at all"));
    } else {
      ASSERT_TRUE(write_sphere(input, 400, 200));
    }
    std::vector<std::string> args = {"makepano", "-config=" + tour_config(), input};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CommandResult result = run_qorveltools(args);
    EXPECT_EQ(result.status, 1) << c.name << "\n" << result.out;
    EXPECT_NE(result.out.find(c.message), std::string::npos) << c.name << "\n" << result.out;
    EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"p.jpg"}) << c.name;
  }
}

TEST(MakepanoTour, AFailedLargestLevelLeavesNoPreviewWhateverTheThreads) {
  // With helper threads the preview of a cube is made while its largest level is cut; it is
  // written only once that level is done, so a failure there leaves what one thread leaves.
  std::string alone;
  for (const char* threads : {"1", "2", "4"}) {
    TempDir dir;
    const std::string input = dir.file("p.jpg");
    ASSERT_TRUE(write_sphere(input, 400, 200));
    setenv("QV_THREADS", threads, 1);
    const CommandResult result = run_qorveltools(
        {"makepano", "-config=" + tour_config(), input, "-tilepath=/proc/qv_no_such/%v_%h.jpg"});
    unsetenv("QV_THREADS");
    EXPECT_EQ(result.status, 1) << threads << "\n" << result.out;
    EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"p.jpg"}) << threads;
    std::string out = result.out;
    for (size_t at; (at = out.find(dir.path)) != std::string::npos;) out.erase(at, dir.path.size());
    if (alone.empty()) alone = out;
    EXPECT_EQ(out, alone) << threads;
  }
}

TEST(MakepanoTour, OverwriteQuestionWithoutAnswerKeepsTheXml) {
  TempDir dir;
  const std::string input = dir.file("p.jpg");
  ASSERT_TRUE(write_sphere(input, 400, 200));
  const std::vector<std::string> args = {"makepano", "-config=" + tour_config(), input};
  ASSERT_EQ(run_qorveltools(args).status, 0);
  ASSERT_TRUE(write_file(dir.file("p.xml"), "mine"));
  const std::string question =
      "\nWARNING: overwrite xml file \"" + dir.file("p.xml") + "\"? (y/n): ";
  for (const char* answers : {"", "\n\n", "x\nn\n"}) {
    const CommandResult result = run_qorveltools(args, answers);
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.out.find(question), std::string::npos) << result.out;
    EXPECT_EQ(read_file(dir.file("p.xml")), "mine") << answers;
  }
  const CommandResult yes = run_qorveltools(args, "y\n");
  EXPECT_EQ(yes.status, 0);
  EXPECT_NE(read_file(dir.file("p.xml")).find("<image type=\"CUBE\""), std::string::npos);
  expect_tour(dir.path, "p");
}

TEST(MakepanoTour, StopSignalRemovesTemporaryFaces) {
  TempDir dir;
  const std::string input = dir.file("moon.jpg");
  fs::copy_file(corpus_file("pano/stellarium_moon_4k.jpg"), input);
  std::vector<std::string> words = {qv_test::qorveltools_binary(), "makepano",
                                    "-config=" + tour_config(), input, "-q"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  // Wait until the conversion has created its faces (or the run has ended by itself).
  bool seen = false;
  int status = 0;
  for (int i = 0; i < 6000 && !seen; ++i) {
    for (const std::string& file : files_below(dir.path)) {
      if (fs::path(file).extension() == ".kro") seen = true;
    }
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGTERM);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  if (!seen) GTEST_SKIP() << "the run ended before its faces appeared";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  expect_no_temporary_files(dir.path);
  EXPECT_FALSE(fs::exists(dir.file("moon.xml")));
}

}  // namespace
