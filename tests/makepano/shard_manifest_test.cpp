// Shards of a makepano run: the shard value and the engines' environments, the assignment over
// the sorted input list, the manifest's round trip, and the merge: the same XML whatever order
// the shards finished in, and a refusal naming exactly the scenes without a usable manifest.
#include "makepano/shard_manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "makepano/pano_settings.h"
#include "makepano/xml_writer.h"
#include "support/test_support.h"

namespace {

std::map<std::string, std::string> g_env;

const char* fake_env(const char* name) {
  auto it = g_env.find(name);
  return it == g_env.end() ? nullptr : it->second.c_str();
}

struct ShardCase {
  const char* value;
  std::map<std::string, std::string> env;
  bool ok;
  int32_t index;
  int32_t count;
};

TEST(ShardValue, ExplicitAndEngineEnvironments) {
  const std::vector<ShardCase> cases = {
      {"0/4", {}, true, 0, 4},
      {"3/4", {}, true, 3, 4},
      {"4/4", {}, false, 0, 0},
      {"1/0", {}, false, 0, 0},
      {"x/2", {}, false, 0, 0},
      {"1", {}, false, 0, 0},
      {"-1/2", {}, false, 0, 0},
      {"auto", {}, false, 0, 0},
      // Slurm: the array 3-6 has four tasks; task 5 is the third.
      {"auto",
       {{"SLURM_ARRAY_TASK_ID", "5"}, {"SLURM_ARRAY_TASK_MIN", "3"}, {"SLURM_ARRAY_TASK_MAX", "6"}},
       true,
       2,
       4},
      {"auto",
       {{"SLURM_ARRAY_TASK_ID", "7"},
        {"SLURM_ARRAY_TASK_COUNT", "8"},
        {"SLURM_ARRAY_TASK_MIN", "0"}},
       true,
       7,
       8},
      {"auto/8", {{"SLURM_ARRAY_TASK_ID", "1"}, {"SLURM_ARRAY_TASK_COUNT", "4"}}, false, 0, 0},
      {"auto/3", {{"JOB_COMPLETION_INDEX", "2"}}, true, 2, 3},
      {"auto", {{"JOB_COMPLETION_INDEX", "2"}}, false, 0, 0},
      {"auto/3", {{"JOB_COMPLETION_INDEX", "3"}}, false, 0, 0},
      // GNU parallel counts from 1.
      {"auto/4", {{"PARALLEL_SEQ", "1"}}, true, 0, 4},
      {"auto/4", {{"PARALLEL_SEQ", "4"}}, true, 3, 4},
      {"auto/4", {{"PARALLEL_SEQ", "5"}}, false, 0, 0},
      {"auto", {{"PARALLEL_SEQ", "2"}}, false, 0, 0},
  };
  for (const ShardCase& c : cases) {
    g_env = c.env;
    ShardShare share;
    std::string error;
    const bool ok = parse_shard_value(c.value, fake_env, &share, &error);
    EXPECT_EQ(ok, c.ok) << c.value << " " << error;
    if (ok && c.ok) {
      EXPECT_TRUE(share.active);
      EXPECT_EQ(share.index, c.index) << c.value;
      EXPECT_EQ(share.count, c.count) << c.value;
    } else if (!ok) {
      EXPECT_NE(error.find("-shard="), std::string::npos) << error;
    }
  }
  g_env.clear();
}

TEST(ShardOwners, DependOnlyOnTheSortedListAndBalance) {
  const std::vector<std::string> sorted = {"a.jpg", "b.jpg", "c.jpg", "d.jpg",
                                           "e.jpg", "f.jpg", "g.jpg"};
  std::vector<std::string> shuffled = {"e.jpg", "a.jpg", "g.jpg", "c.jpg",
                                       "b.jpg", "f.jpg", "d.jpg"};
  for (int32_t count : {1, 2, 3, 7, 9}) {
    const std::vector<int32_t> by_sorted = shard_owners(sorted, count);
    const std::vector<int32_t> by_shuffled = shard_owners(shuffled, count);
    std::map<int32_t, int> load;
    for (size_t i = 0; i < shuffled.size(); ++i) {
      const size_t at = std::find(sorted.begin(), sorted.end(), shuffled[i]) - sorted.begin();
      EXPECT_EQ(by_shuffled[i], by_sorted[at]) << count << " " << shuffled[i];
      EXPECT_GE(by_shuffled[i], 0);
      EXPECT_LT(by_shuffled[i], count);
      ++load[by_shuffled[i]];
    }
    for (const auto& entry : load) {
      EXPECT_LE(entry.second, 7 / count + 1) << count;
      EXPECT_GE(entry.second, 7 / count) << count;
    }
  }
}

SceneManifest sample_manifest(const std::string& folder, int index, const std::string& key) {
  SceneManifest m;
  m.plan_key = key;
  m.input = folder + "/p" + std::to_string(index) + ".jpg";
  m.shard_index = index % 3;
  m.shard_count = 3;
  m.has_scene = true;
  m.scene = "<scene name=\"p" + std::to_string(index) + "\" title=\"\xC3\xA9 & \\\"q\\\"\"/>\n";
  m.gps = index == 2;
  m.flash_only = index == 1;
  m.xml_path = folder + "/tour.xml";
  m.html_path = folder + "/tour.html";
  m.display_name = "p" + std::to_string(index);
  m.base_name = m.display_name;
  m.plan.tile_size = 512;
  m.plan.full_width = 2048;
  m.plan.full_height = 2048;
  m.plan.levels = {{2048, 2048}, {1024, 1024}};
  m.tile_count = plan_tile_count(m.plan, true, false);
  return m;
}

TEST(SceneManifest, RoundTripsAndRejectsDamage) {
  const SceneManifest m = sample_manifest("/tmp/x", 2, "00ff");
  EXPECT_EQ(m.tile_count, 6 * (16 + 4));
  SceneManifest back;
  ASSERT_TRUE(parse_manifest_json(manifest_json(m), &back));
  EXPECT_EQ(manifest_json(back), manifest_json(m));
  EXPECT_EQ(back.scene, m.scene);
  ASSERT_EQ(back.plan.levels.size(), 2u);
  EXPECT_EQ(back.plan.levels[1].width, 1024);
  const std::string text = manifest_json(m);
  for (const std::string& damaged : {text.substr(0, text.size() / 2), std::string("{}"),
                                     std::string(""), std::string("[1,2]")}) {
    EXPECT_FALSE(parse_manifest_json(damaged, &back)) << damaged;
  }
}

TEST(ShardPlanKey, SeparatesWords) {
  EXPECT_NE(plan_key_of({"ab", "c"}), plan_key_of({"a", "bc"}));
  EXPECT_EQ(plan_key_of({"a", "b"}), plan_key_of({"a", "b"}));
  EXPECT_EQ(plan_key_of({"a"}).size(), 16u);
}

// The merged XML files of five scenes whose manifests were written in the given order.
std::vector<MergedFile> merge_in_order(const std::vector<int>& order, bool scenes) {
  qv_test::TempDir dir;
  std::vector<ExpectedScene> expected(order.size());
  for (int index : order) {
    const SceneManifest m = sample_manifest(dir.path, index, "k1");
    const std::string path = manifest_path(m.xml_path, index);
    EXPECT_TRUE(write_manifest(path, m));
    expected[index] = {path, m.input};
  }
  const MergeCheck check = check_manifests(expected, "k1");
  EXPECT_TRUE(check.missing.empty());
  EXPECT_EQ(check.shard_count, 3);
  PanoSettings settings = default_pano_settings();
  settings.makescenes = scenes;
  XmlTemplates templates;
  templates.main = "<krpano gps=\"[HAVEGPS]\">\n[SCENES]</krpano>\n";
  std::vector<MergedFile> files = merge_scenes(settings, templates, check.manifests);
  // The folder differs per call; keep only what does not name it.
  for (MergedFile& file : files) {
    file.xml_path = file.xml_path.substr(dir.path.size());
    file.html_path = file.html_path.substr(dir.path.size());
  }
  return files;
}

TEST(ShardMerge, SameFilesWhateverOrderTheShardsFinished) {
  for (bool scenes : {true, false}) {
    const std::vector<MergedFile> reference = merge_in_order({0, 1, 2, 3, 4}, scenes);
    ASSERT_EQ(reference.size(), scenes ? 1u : 5u);
    for (const std::vector<int>& order :
         {std::vector<int>{4, 3, 2, 1, 0}, {2, 0, 4, 1, 3}, {1, 4, 0, 3, 2}}) {
      const std::vector<MergedFile> files = merge_in_order(order, scenes);
      ASSERT_EQ(files.size(), reference.size());
      for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].text, reference[i].text);
        EXPECT_EQ(files[i].xml_path, reference[i].xml_path);
        EXPECT_EQ(files[i].display_name, reference[i].display_name);
        EXPECT_EQ(files[i].scene_count, reference[i].scene_count);
        EXPECT_EQ(files[i].flash_only_count, reference[i].flash_only_count);
      }
    }
    if (scenes) {
      const std::string& text = reference[0].text;
      EXPECT_EQ(text.rfind("<krpano gps=\"true\">\n", 0), 0u) << text;
      size_t last = 0;
      for (int i = 0; i < 5; ++i) {
        const size_t at = text.find("name=\"p" + std::to_string(i) + "\"");
        ASSERT_NE(at, std::string::npos);
        EXPECT_GT(at, last);
        last = at;
      }
      EXPECT_EQ(reference[0].scene_count, 5);
      EXPECT_EQ(reference[0].flash_only_count, 1);
      EXPECT_EQ(reference[0].display_name, "p4");
    } else {
      EXPECT_EQ(reference[1].flash_only_count, 1);
      EXPECT_EQ(reference[0].flash_only_count, 0);
      EXPECT_EQ(reference[3].text, sample_manifest("", 3, "").scene);
    }
  }
}

TEST(ShardMerge, RefusesMissingStaleAndForeignManifests) {
  qv_test::TempDir dir;
  std::vector<ExpectedScene> expected;
  for (int index = 0; index < 6; ++index) {
    SceneManifest m = sample_manifest(dir.path, index, index == 2 ? "old" : "k1");
    const std::string path = manifest_path(m.xml_path, index);
    if (index == 4) m.input = dir.file("other.jpg");  // left by a run over other inputs
    if (index != 1) {
      ASSERT_TRUE(write_manifest(path, m));
    }
    if (index == 5) {
      ASSERT_TRUE(qv_test::write_file(path, "{\"version\":1,"));  // cut short
    }
    expected.push_back({path, dir.path + "/p" + std::to_string(index) + ".jpg"});
  }
  const MergeCheck check = check_manifests(expected, "k1");
  EXPECT_EQ(check.missing, (std::vector<size_t>{1, 2, 4, 5}));
  EXPECT_TRUE(check.manifests.empty());
  EXPECT_EQ(check.shard_count, 3);
  // No partial file is left beside the manifests by a finished write.
  for (const std::string& name : qv_test::list_files(shard_folder(dir.file("tour.xml")))) {
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
  }
}

TEST(ShardWords, QuotedForTheShell) {
  EXPECT_EQ(shell_word("-config=a/b.config"), "-config=a/b.config");
  EXPECT_EQ(shell_word("my pano.jpg"), "'my pano.jpg'");
  EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
  EXPECT_EQ(shell_word(""), "''");
}

}  // namespace
