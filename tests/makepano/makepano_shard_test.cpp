// Sharded makepano runs of the built binary: shards finishing in any order followed by the
// merge give the tree of the one-machine run byte for byte; a merge with a shard missing refuses,
// names the scenes and prints the command that re-runs just that shard; the run summary.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_images.h"
#include "support/test_support.h"
#include "tour_checks.h"

namespace {

namespace fs = std::filesystem;
using qv_test::CommandResult;
using qv_test::read_file;
using qv_test::run_qorveltools;
using qv_test::TempDir;

std::string stock_config(const std::string& name) {
  return fs::path(qv_test::qorveltools_binary()).parent_path().string() + "/templates/" + name;
}

constexpr int kPanoramas = 5;

// Five small spheres of different sizes in a folder.
void write_inputs(const std::string& folder) {
  for (int i = 0; i < kPanoramas; ++i) {
    const int width = 320 + 64 * ((i * 3) % kPanoramas);
    ASSERT_TRUE(qv_test::write_pattern(folder + "/p" + std::to_string(i) + ".jpg", kPixelRgb8,
                                       width, width / 2));
  }
}

std::vector<std::string> tour_args(const std::string& folder, const std::string& config,
                                   const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"makepano", "-config=" + stock_config(config), "-tilesize=128"};
  args.insert(args.end(), extra.begin(), extra.end());
  // Inputs given out of name order: the assignment uses the sorted list.
  for (int i : {3, 0, 4, 1, 2}) args.push_back(folder + "/p" + std::to_string(i) + ".jpg");
  return args;
}

std::vector<std::string> with(std::vector<std::string> args, const std::string& word) {
  args.push_back(word);
  return args;
}

// Every file below a folder, by its path relative to the folder, with its content.
std::map<std::string, std::string> tree(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& file : qv_test::files_below(folder)) {
    files[fs::relative(file, folder).string()] = read_file(file);
  }
  return files;
}

struct TourCase {
  const char* config;
  std::vector<std::string> extra;
  const char* xml;  // relative to the folder
  int32_t shards;
  std::vector<int32_t> order;  // the order the shards finish in
};

TEST(MakepanoShards, ShardsInAnyOrderThenMergeGiveTheOneMachineTree) {
  const std::vector<TourCase> cases = {
      {"scenes.config", {}, "tour.xml", 4, {2, 0, 3, 1}},
      {"tour.config", {}, "p3.xml", 3, {1, 2, 0}},
      {"scenes.config", {"-outputfolder=OUT"}, "out/tour.xml", 2, {1, 0}},
      {"scenes.config", {}, "tour.xml", 7, {6, 5, 4, 3, 2, 1, 0}},  // more shards than inputs
  };
  for (const TourCase& c : cases) {
    SCOPED_TRACE(std::string(c.config) + " " + std::to_string(c.shards));
    TempDir one, many, outside;
    write_inputs(one.path);
    write_inputs(many.path);
    auto extra_for = [&](const std::string& folder) {
      std::vector<std::string> extra;
      for (std::string word : c.extra) {
        const size_t at = word.find("OUT");
        if (at != std::string::npos) word.replace(at, 3, folder + "/out");
        extra.push_back(word);
      }
      return extra;
    };
    const CommandResult whole = run_qorveltools(tour_args(one.path, c.config, extra_for(one.path)));
    ASSERT_EQ(whole.status, 0) << whole.out;
    qv_test::expect_sound_tour(one.file(c.xml), "");

    const std::vector<std::string> args = tour_args(many.path, c.config, extra_for(many.path));
    for (int32_t index : c.order) {
      const std::string shard = "-shard=" + std::to_string(index) + "/" + std::to_string(c.shards);
      const CommandResult part = run_qorveltools(
          with(with(args, shard), "-summary=" + outside.file("s" + std::to_string(index))));
      ASSERT_EQ(part.status, 0) << part.out;
      EXPECT_FALSE(fs::exists(many.file(c.xml)));
      EXPECT_NE(read_file(outside.file("s" + std::to_string(index))).find("\"mode\": \"shard\""),
                std::string::npos);
    }
    // Every task of the array may be re-run: the same bytes again.
    ASSERT_EQ(run_qorveltools(with(args, "-shard=0/" + std::to_string(c.shards))).status, 0);
    for (const auto& entry : tree(many.path))
      EXPECT_EQ(entry.first.find(".html"), std::string::npos);

    // A task killed while writing its manifest leaves a partial file; the merge removes it.
    const std::string folder = fs::path(many.file(c.xml)).parent_path().string() + "/.qvshards";
    ASSERT_TRUE(qv_test::write_file(folder + "/tour.xml.00000.json.4242.part", "{\"ver"));
    const CommandResult merged = run_qorveltools(with(args, "-merge"));
    ASSERT_EQ(merged.status, 0) << merged.out;
    EXPECT_EQ(tree(many.path), tree(one.path));
  }
}

// The re-run commands a refused merge prints, as argument lists.
std::vector<std::vector<std::string>> rerun_commands(const std::string& out) {
  std::vector<std::vector<std::string>> commands;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("  qorveltools makepano ", 0) != 0) continue;
    std::istringstream words(line);
    std::vector<std::string> command;
    std::string word;
    words >> word;  // the program
    while (words >> word) command.push_back(word);
    commands.push_back(command);
  }
  return commands;
}

TEST(MakepanoShards, MergeRefusesMissingScenesAndNamesTheShardToRerun) {
  TempDir one, many;
  write_inputs(one.path);
  write_inputs(many.path);
  ASSERT_EQ(run_qorveltools(tour_args(one.path, "scenes.config", {})).status, 0);
  const std::vector<std::string> args = tour_args(many.path, "scenes.config", {});
  for (int32_t index : {0, 2}) {
    ASSERT_EQ(run_qorveltools(with(args, "-shard=" + std::to_string(index) + "/3")).status, 0);
  }
  const CommandResult refused = run_qorveltools(with(args, "-merge"));
  EXPECT_EQ(refused.status, 1);
  // Shard 1 of 3 has the second and fifth names of the sorted list.
  EXPECT_NE(refused.out.find("ERROR: merge: 2 of 5 scenes have no finished shard"),
            std::string::npos)
      << refused.out;
  EXPECT_NE(refused.out.find("p1.jpg, p4.jpg"), std::string::npos) << refused.out;
  EXPECT_FALSE(fs::exists(many.file("tour.xml")));
  const std::vector<std::vector<std::string>> commands = rerun_commands(refused.out);
  ASSERT_EQ(commands.size(), 1u) << refused.out;
  EXPECT_EQ(commands[0].back(), "-shard=1/3");
  ASSERT_EQ(run_qorveltools(commands[0]).status, 0);
  ASSERT_EQ(run_qorveltools(with(args, "-merge")).status, 0);
  EXPECT_EQ(tree(many.path), tree(one.path));
}

TEST(MakepanoShards, ARerunOverAnExistingTourReplacesItAsOneMachineDoes) {
  TempDir one, many;
  write_inputs(one.path);
  write_inputs(many.path);
  for (const TempDir* dir : {&one, &many}) {
    ASSERT_EQ(run_qorveltools(tour_args(dir->path, "scenes.config", {})).status, 0);
  }
  // Larger tiles: the old plan's tiles that the new XML does not list must go.
  const std::vector<std::string> again = {"-tilesize=256", "-askforxmloverwrite=false"};
  ASSERT_EQ(run_qorveltools(tour_args(one.path, "scenes.config", again)).status, 0);
  const std::vector<std::string> args = tour_args(many.path, "scenes.config", again);
  for (const char* shard : {"-shard=1/2", "-shard=0/2"}) {
    ASSERT_EQ(run_qorveltools(with(args, shard)).status, 0);
  }
  const CommandResult merged = run_qorveltools(with(args, "-merge"));
  ASSERT_EQ(merged.status, 0) << merged.out;
  EXPECT_EQ(tree(many.path), tree(one.path));
  qv_test::expect_sound_tour(many.file("tour.xml"), many.file("tour.html"));
}

TEST(MakepanoShards, MergeRefusesManifestsOfAnEarlierPlan) {
  TempDir dir;
  write_inputs(dir.path);
  const std::vector<std::string> args = tour_args(dir.path, "scenes.config", {});
  ASSERT_EQ(run_qorveltools(with(args, "-shard=0/1")).status, 0);
  // Other tiles asked for: every scene of the earlier plan is stale.
  std::vector<std::string> changed = args;
  changed[2] = "-tilesize=256";
  const CommandResult refused = run_qorveltools(with(changed, "-merge"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("ERROR: merge: 5 of 5 scenes"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("-tilesize=256 "), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find(" -shard=0/1\n"), std::string::npos) << refused.out;
}

TEST(MakepanoShards, MergeSealsTheTourWhenAsked) {
  TempDir dir;
  write_inputs(dir.path);
  const std::vector<std::string> args =
      with(tour_args(dir.path, "scenes.config", {}), "-encrypt=obfuscate");
  for (const char* shard : {"-shard=1/2", "-shard=0/2"}) {
    ASSERT_EQ(run_qorveltools(with(args, shard)).status, 0);
  }
  const CommandResult merged = run_qorveltools(with(args, "-merge"));
  ASSERT_EQ(merged.status, 0) << merged.out;
  // The scenes XML is written by the merge, so the merge is what seals it.
  const std::string xml = read_file(dir.path + "/tour.xml");
  EXPECT_EQ(xml.compare(0, 4, "QVEF"), 0) << xml.substr(0, 64);
}

TEST(MakepanoShards, BadShardWordsAreRefusedBeforeAnyWork) {
  TempDir dir;
  write_inputs(dir.path);
  const std::vector<std::string> args = tour_args(dir.path, "scenes.config", {});
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"-shard=4/4"},
        {"-shard=auto"},
        {"-shard=0/2", "-merge"},
        {"-shard=0/2", "-frames=true", "-tilepath=%f_%l_%r_%c.jpg"}}) {
    std::vector<std::string> bad = args;
    bad.insert(bad.end(), words.begin(), words.end());
    const CommandResult result = run_qorveltools(bad);
    EXPECT_EQ(result.status, 1) << words[0];
    EXPECT_NE(result.out.find("ERROR: "), std::string::npos) << result.out;
    EXPECT_EQ(qv_test::files_below(dir.path).size(), static_cast<size_t>(kPanoramas)) << words[0];
  }
}

TEST(MakepanoShards, RunSummaryListsEveryInput) {
  TempDir dir, outside;
  write_inputs(dir.path);
  std::vector<std::string> args = tour_args(dir.path, "scenes.config", {});
  args.push_back(dir.file("missing.jpg"));
  const CommandResult result = run_qorveltools(with(args, "-summary=" + outside.file("run.json")));
  EXPECT_EQ(result.status, 1);  // one input is missing
  const std::string summary = read_file(outside.file("run.json"));
  EXPECT_NE(summary.find("\"mode\": \"one machine\""), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"status\": 1"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"made\": 5"), std::string::npos) << summary;
  EXPECT_NE(summary.find("\"outcome\": \"skipped: no such file\""), std::string::npos) << summary;
  // The tile count and bytes match the tiles the XML lists.
  const std::set<std::string> tiles = qv_test::check_tiles(dir.file("tour.xml"));
  int64_t bytes = 0;
  for (const std::string& tile : tiles) bytes += static_cast<int64_t>(fs::file_size(tile));
  EXPECT_NE(summary.find("\"tiles\": " + std::to_string(tiles.size()) + ","), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("\"tile_bytes\": " + std::to_string(bytes) + ","), std::string::npos)
      << summary;
}

}  // namespace
