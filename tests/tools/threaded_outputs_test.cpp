// Every tool that splits its work over threads writes the same bytes and prints the same lines
// whatever QV_THREADS says: each case runs the built binary with 1, 2 and 4 threads in fresh
// folders and compares every file of the folder and both output streams.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using qv_test::CommandResult;
using qv_test::read_file;
using qv_test::run_qorveltools;
using qv_test::TempDir;

// What one run left: the exit status, the messages with the folder's path taken out, and every
// file under the folder by its relative name.
struct RunOutcome {
  int status = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> files;
};

std::string without_folder(std::string text, const std::string& folder) {
  for (size_t at = text.find(folder); at != std::string::npos; at = text.find(folder, at)) {
    text.replace(at, folder.size(), "<dir>");
  }
  return text;
}

// Inputs every case may use: 8- and 16-bit panoramas and six 8-bit cube faces.
void write_inputs(const TempDir& dir) {
  ASSERT_TRUE(qv_test::write_pattern(dir.file("p8.jpg"), kPixelRgb8, 640, 320));
  ASSERT_TRUE(qv_test::write_pattern(dir.file("p16.tif"), kPixelRgb16, 640, 320));
  // Eight bands of source rows: faces made down the source give rows back as they go.
  ASSERT_TRUE(qv_test::write_pattern(dir.file("big.jpg"), kPixelRgb8, 2048, 1024));
  for (const char* side : {"l", "f", "r", "b", "u", "d"}) {
    ASSERT_TRUE(
        qv_test::write_pattern(dir.file(std::string("c_") + side + ".jpg"), kPixelRgb8, 96, 96));
  }
}

RunOutcome run_with_threads(const std::vector<std::string>& args, int threads) {
  RunOutcome outcome;
  TempDir dir;
  write_inputs(dir);
  const std::string config =
      fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/templates/tour.config";
  std::vector<std::string> expanded;
  for (std::string arg : args) {
    const size_t at = arg.find("<tour.config>");
    if (at != std::string::npos) arg.replace(at, 13, config);
    expanded.push_back(arg);
  }
  setenv("QV_THREADS", std::to_string(threads).c_str(), 1);
  const CommandResult result = run_qorveltools(expanded, "", dir.path);
  unsetenv("QV_THREADS");
  outcome.status = result.status;
  outcome.out = without_folder(result.out, dir.path);
  outcome.err = without_folder(result.err, dir.path);
  for (const auto& entry : fs::recursive_directory_iterator(dir.path)) {
    if (!entry.is_regular_file()) continue;
    outcome.files[fs::relative(entry.path(), dir.path).string()] = read_file(entry.path());
  }
  return outcome;
}

TEST(ThreadedOutputs, EveryThreadCountWritesTheSameFilesAndMessages) {
  const std::vector<std::vector<std::string>> cases = {
      {"transform", "cube", "p8.jpg", "face.jpg"},
      {"transform", "cube", "p16.tif", "face.tif", "-outsize=64"},
      {"transform", "cube", "big.jpg", "face.jpg"},
      {"transform", "cube", "big.jpg", "turned.jpg", "-lookat=35,50,20", "-outsize=300"},
      {"transform", "cube", "big.jpg", "cyl.jpg", "-cylinder", "-outsize=700"},
      {"transform", "hcube", "p8.jpg", "strip.jpg", "-outsize=80"},
      {"transform", "vcube", "p16.tif", "strip.tif"},
      {"transform", "view", "p8.jpg", "view.jpg", "-outsize=120x90", "-fov=70"},
      {"cube2sphere", "c_l.jpg", "c_f.jpg", "c_r.jpg", "c_b.jpg", "c_u.jpg", "c_d.jpg",
       "-o=sphere.jpg", "-outsize=200x100"},
      {"maketiles", "p8.jpg", "tiles/%v_%h.jpg", "96", "-jpegoptimize"},
      {"maketiles", "p16.tif", "half/%v_%h.tif", "64x48", "-resize=320x160"},
      {"makepano", "-config=<tour.config>", "-tilesize=64", "-levels=2", "p8.jpg"},
      {"makepreview", "p8.jpg", "-o=preview.jpg", "-size=200x100"},
      {"makepreview", "c_l.jpg", "c_f.jpg", "c_r.jpg", "c_b.jpg", "c_u.jpg", "c_d.jpg",
       "-o=strip.jpg", "-cs"},
  };
  for (const std::vector<std::string>& args : cases) {
    const std::string name = args[0] + " " + args[1];
    const RunOutcome alone = run_with_threads(args, 1);
    ASSERT_EQ(alone.status, 0) << name << "\n" << alone.out << alone.err;
    // Inputs and at least one output.
    EXPECT_GT(alone.files.size(), 8u) << name;
    for (int threads : {2, 4}) {
      const RunOutcome shared = run_with_threads(args, threads);
      EXPECT_EQ(shared.status, alone.status) << name << " with " << threads;
      EXPECT_EQ(shared.out, alone.out) << name << " with " << threads;
      EXPECT_EQ(shared.err, alone.err) << name << " with " << threads;
      ASSERT_EQ(shared.files.size(), alone.files.size()) << name << " with " << threads;
      for (const auto& [file, bytes] : alone.files) {
        const auto found = shared.files.find(file);
        ASSERT_NE(found, shared.files.end()) << name << " with " << threads << ": " << file;
        EXPECT_TRUE(found->second == bytes) << name << " with " << threads << ": " << file;
      }
    }
  }
}

// The faces of a cube start while the source is still being read; a source that breaks off
// half-way must still leave no face behind and say the same with every thread count.
TEST(ThreadedOutputs, ASourceThatBreaksOffLeavesNoFaceWithAnyThreadCount) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_pattern(dir.file("whole.jpg"), kPixelRgb8, 1024, 512));
  const std::string whole = read_file(dir.file("whole.jpg"));
  ASSERT_TRUE(qv_test::write_file(dir.file("cut.jpg"), whole.substr(0, whole.size() * 7 / 10)));
  std::string first_out;
  for (int threads : {1, 2, 4}) {
    TempDir out;
    setenv("QV_THREADS", std::to_string(threads).c_str(), 1);
    const CommandResult result =
        run_qorveltools({"transform", "cube", dir.file("cut.jpg"), out.file("face.jpg")});
    unsetenv("QV_THREADS");
    EXPECT_EQ(result.status, 1) << threads << "\n" << result.out;
    EXPECT_NE(result.out.find("Premature end of input file"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("making"), std::string::npos) << result.out;
    EXPECT_TRUE(qv_test::list_files(out.path).empty()) << threads << " threads";
    if (threads == 1) first_out = without_folder(result.out, out.path);
    EXPECT_EQ(without_folder(result.out, out.path), first_out) << threads << " threads";
  }
}

}  // namespace
