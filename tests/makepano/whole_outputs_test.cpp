// Files of a tour run: what the run makes for itself never takes a user's name, and a run
// stopped by a signal leaves only whole images and no temporary name behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/whole_files.h"
#include "support/test_images.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using qv_test::CommandResult;
using qv_test::run_qorveltools;
using qv_test::TempDir;

std::string tour_config() {
  return fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/templates/tour.config";
}

// A smooth picture (it compresses well even at 16000 x 8000).
bool write_gradient(const std::string& path, int width, int height) {
  return qv_test::write_samples(
      path, kPixelRgb8, width, height, qv_test::default_props(),
      [](int x, int y, int c) { return (x / 64 + y / 32 + c * 85) & 255; });
}

bool is_image_name(const std::string& name) {
  const std::string extension = fs::path(name).extension().string();
  return extension == ".jpg" || extension == ".kro" || extension == ".tif";
}

// Names a run makes for itself and must not leave: partial outputs and temporary faces.
bool is_temporary_name(const std::string& name) {
  return is_partial_name(name) || name.find("_tempcube") != std::string::npos;
}

// Every image under folder decodes to its last row, and no temporary name is left.
void expect_only_whole_images(const std::string& folder) {
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_FALSE(is_temporary_name(name)) << entry.path();
    if (!entry.is_regular_file() || !is_image_name(name)) continue;
    testing::internal::CaptureStdout();
    const qv_test::Pixels pixels = qv_test::read_pixels(entry.path().string());
    const std::string decoder_text = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(pixels.ok) << entry.path() << "\n" << decoder_text;
  }
}

// Over-under and side-by-side files are split into halves under numbered temporary names: the
// user's own files with the old names of those halves stay as they were.
TEST(WholeOutputs, SplittingStereoFilesLeavesUsersFilesAlone) {
  const struct {
    const char* name;
    int width, height;
  } cases[] = {{"ou", 400, 400}, {"sbs", 800, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_TRUE(write_gradient(dir.file(std::string(c.name) + ".jpg"), c.width, c.height));
    const std::string first = dir.file(std::string(c.name) + "_1.kro");
    const std::string second = dir.file(std::string(c.name) + "_2.kro");
    ASSERT_TRUE(qv_test::write_file(first, "the user's first file"));
    ASSERT_TRUE(qv_test::write_file(second, "the user's second file"));
    const CommandResult result =
        run_qorveltools({"makepano", "-config=" + tour_config(), "-tilesize=128",
                         dir.file(std::string(c.name) + ".jpg")});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(qv_test::read_file(first), "the user's first file");
    EXPECT_EQ(qv_test::read_file(second), "the user's second file");
    const std::string xml = qv_test::read_file(dir.file(std::string(c.name) + ".xml"));
    EXPECT_NE(xml.find("stereo=\"true\""), std::string::npos);
    std::remove(first.c_str());  // text, not images
    std::remove(second.c_str());
    expect_only_whole_images(dir.path);
  }
}

// Starts qorveltools with its output discarded; its process id.
pid_t start_quietly(const std::vector<std::string>& args) {
  std::vector<std::string> all = {qv_test::qorveltools_binary()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    freopen("/dev/null", "r", stdin);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return child;
}

// A large tour stopped by SIGTERM at a few moments (while converting, while cutting tiles):
// whatever is left is whole, and nothing under a temporary name.
TEST(WholeOutputs, AStoppedRunLeavesOnlyWholeImages) {
  TempDir source;
  const std::string big = source.file("big.jpg");
  ASSERT_TRUE(write_gradient(big, 16000, 8000));
  for (const int delay_ms : {1500, 4000, 9000}) {
    SCOPED_TRACE(delay_ms);
    TempDir dir;
    const std::string input = dir.file("big.jpg");
    ASSERT_EQ(link(big.c_str(), input.c_str()), 0);
    const pid_t child = start_quietly({"makepano", "-config=" + tour_config(), input});
    ASSERT_GT(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    expect_only_whole_images(dir.path);
  }
}

}  // namespace
