// Shards of a makepano run: which inputs a shard makes (a fixed assignment over the sorted input
// list), the per-scene manifest a shard leaves in a hidden folder beside the tour instead of the
// XML and the page, and the merge that turns a complete set of manifests into the XML files and
// pages a one-machine run writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "makepano/level_plan.h"

struct PanoSettings;
struct XmlTemplates;

// This run's share: inputs whose sorted position p has p % count == index.
struct ShardShare {
  bool active = false;
  int32_t index = 0;
  int32_t count = 1;
};

// Reads an environment variable; null when unset.
using EnvLookup = const char* (*)(const char* name);

// Parses the value of "-shard=": "I/N" (I from 0), "auto" or "auto/N". "auto" takes the index
// from SLURM_ARRAY_TASK_ID (count from SLURM_ARRAY_TASK_COUNT or the array's min and max),
// JOB_COMPLETION_INDEX (count N required) or PARALLEL_SEQ (counts from 1; count N required).
// False with a message text on a bad value or a missing environment.
bool parse_shard_value(const std::string& value, EnvLookup env, ShardShare* share,
                       std::string* error);

// The shard that makes each input (given in input order): its position in the sorted list of
// names, modulo count.
std::vector<int32_t> shard_owners(const std::vector<std::string>& names, int32_t count);

// Everything the XML and the page need of one made scene.
struct SceneManifest {
  std::string plan_key;  // the run's settings and inputs; a different key marks an earlier plan
  std::string input;     // the input's name (as the run names it)
  int32_t shard_index = 0;
  int32_t shard_count = 1;
  bool has_scene = false;  // an XML text was made (xml on and its template loaded)
  std::string scene;       // the whole XML text, or the scene element of a makescenes run
  bool gps = false;
  bool flash_only = false;
  std::string xml_path;
  std::string html_path;
  std::string display_name;
  std::string base_name;
  LevelPlan plan;
  int64_t tile_count = 0;
};

// The hidden folder of the manifests beside an XML file, and the manifest of input index.
constexpr char kShardFolderName[] = ".qvshards";
constexpr char kManifestPartSuffix[] = ".part";  // a manifest being written
std::string shard_folder(const std::string& xml_path);
std::string manifest_path(const std::string& xml_path, size_t index);

std::string manifest_json(const SceneManifest& manifest);
bool parse_manifest_json(const std::string& text, SceneManifest* manifest);
// Written under a temporary name and renamed, so a killed shard leaves no manifest behind.
bool write_manifest(const std::string& path, const SceneManifest& manifest);
bool read_manifest(const std::string& path, SceneManifest* manifest);

// A short fingerprint of the words that define a run (FNV-1a, 16 hex digits).
std::string plan_key_of(const std::vector<std::string>& words);

// One scene merge expects, in input order.
struct ExpectedScene {
  std::string manifest_path;
  std::string input;  // shown in the list of missing scenes
};

// The manifests found for the expected scenes. Missing lists the positions (in input order) of
// scenes without a manifest or with one of another plan; shard_count is taken from the
// manifests (1 when none is usable).
struct MergeCheck {
  std::vector<SceneManifest> manifests;  // input order; valid only when missing is empty
  std::vector<size_t> missing;
  int32_t shard_count = 1;
};
MergeCheck check_manifests(const std::vector<ExpectedScene>& expected, const std::string& key);

// One XML file (and its page) a merge writes.
struct MergedFile {
  std::string xml_path;
  std::string text;
  std::string html_path;
  std::string display_name;
  std::string base_name;
  int32_t scene_count = 0;
  int32_t flash_only_count = 0;
};
// The XML files of a complete set of manifests, exactly as the one-machine run writes them.
std::vector<MergedFile> merge_scenes(const PanoSettings& settings, const XmlTemplates& templates,
                                     const std::vector<SceneManifest>& manifests);

// The tiles a plan makes (sides and eyes counted).
int64_t plan_tile_count(const LevelPlan& plan, bool cube, bool two_eyes);

// A command line word quoted for a POSIX shell when it needs it.
std::string shell_word(const std::string& word);
