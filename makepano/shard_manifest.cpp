#include "makepano/shard_manifest.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "base/files.h"
#include "makepano/pano_settings.h"
#include "makepano/temp_files.h"
#include "makepano/xml_writer.h"

namespace {

constexpr char kBadShard[] = "-shard=%s: expected I/N with 0 <= I < N, auto or auto/N";
constexpr char kNoShardEnvironment[] =
    "-shard=%s: no task index found (SLURM_ARRAY_TASK_ID, JOB_COMPLETION_INDEX, PARALLEL_SEQ)";
constexpr char kShardNeedsCount[] = "-shard=%s: %s gives no task count; use -shard=auto/N";
constexpr char kShardCountDiffers[] = "-shard=%s: the array has %d tasks";
constexpr int kManifestVersion = 1;

std::string formatted(const char* format, const std::string& value, const std::string& more = "",
                      int number = 0) {
  char text[512];
  if (more.empty()) {
    snprintf(text, sizeof text, format, value.c_str(), number);
  } else {
    snprintf(text, sizeof text, format, value.c_str(), more.c_str());
  }
  return text;
}

// A whole decimal number without sign, or -1.
int64_t whole_number(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

int64_t env_number(EnvLookup env, const char* name) {
  const char* value = env ? env(name) : nullptr;
  return value ? whole_number(value) : -1;
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int64_t ceil_div(int64_t a, int64_t b) {
  return b > 0 ? (a + b - 1) / b : 0;
}

}  // namespace

bool parse_shard_value(const std::string& value, EnvLookup env, ShardShare* share,
                       std::string* error) {
  const size_t slash = value.find('/');
  const std::string first = value.substr(0, slash);
  const int64_t given = slash == std::string::npos ? -1 : whole_number(value.substr(slash + 1));
  if (slash != std::string::npos && given < 1) {
    *error = formatted(kBadShard, value);
    return false;
  }
  int64_t index = -1;
  int64_t count = given;
  if (first != "auto") {
    index = whole_number(first);
  } else if (env_number(env, "SLURM_ARRAY_TASK_ID") >= 0) {
    const int64_t id = env_number(env, "SLURM_ARRAY_TASK_ID");
    const int64_t min = std::max<int64_t>(env_number(env, "SLURM_ARRAY_TASK_MIN"), 0);
    const int64_t max = env_number(env, "SLURM_ARRAY_TASK_MAX");
    int64_t tasks = env_number(env, "SLURM_ARRAY_TASK_COUNT");
    if (tasks < 1 && max >= min) tasks = max - min + 1;
    index = id - min;
    if (tasks >= 1) {
      if (given >= 1 && given != tasks) {
        *error = formatted(kShardCountDiffers, value, "", static_cast<int>(tasks));
        return false;
      }
      count = tasks;
    }
    if (count < 1) {
      *error = formatted(kShardNeedsCount, value, "SLURM_ARRAY_TASK_ID");
      return false;
    }
  } else if (env_number(env, "JOB_COMPLETION_INDEX") >= 0) {
    index = env_number(env, "JOB_COMPLETION_INDEX");
    if (count < 1) {
      *error = formatted(kShardNeedsCount, value, "JOB_COMPLETION_INDEX");
      return false;
    }
  } else if (env_number(env, "PARALLEL_SEQ") >= 1) {
    index = env_number(env, "PARALLEL_SEQ") - 1;
    if (count < 1) {
      *error = formatted(kShardNeedsCount, value, "PARALLEL_SEQ");
      return false;
    }
  } else {
    *error = formatted(kNoShardEnvironment, value);
    return false;
  }
  if (index < 0 || count < 1 || index >= count) {
    *error = formatted(kBadShard, value);
    return false;
  }
  share->active = true;
  share->index = static_cast<int32_t>(index);
  share->count = static_cast<int32_t>(count);
  return true;
}

std::vector<int32_t> shard_owners(const std::vector<std::string>& names, int32_t count) {
  std::vector<size_t> order(names.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return names[a] < names[b]; });
  std::vector<int32_t> owners(names.size(), 0);
  for (size_t position = 0; position < order.size(); ++position) {
    owners[order[position]] = static_cast<int32_t>(position % std::max(count, 1));
  }
  return owners;
}

std::string shard_folder(const std::string& xml_path) {
  return folder_of(xml_path) + kShardFolderName;
}

std::string manifest_path(const std::string& xml_path, size_t index) {
  const size_t slash = xml_path.find_last_of('/');
  const std::string name = slash == std::string::npos ? xml_path : xml_path.substr(slash + 1);
  char number[32];
  snprintf(number, sizeof number, ".%05zu.json", index);
  return shard_folder(xml_path) + "/" + name + number;
}

std::string manifest_json(const SceneManifest& m) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  auto text = [&](const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
  };
  w.StartObject();
  w.Key("version");
  w.Int(kManifestVersion);
  text("plan", m.plan_key);
  text("input", m.input);
  w.Key("shard");
  w.Int(m.shard_index);
  w.Key("shards");
  w.Int(m.shard_count);
  w.Key("has_scene");
  w.Bool(m.has_scene);
  text("scene", m.scene);
  w.Key("gps");
  w.Bool(m.gps);
  w.Key("flash_only");
  w.Bool(m.flash_only);
  text("xml", m.xml_path);
  text("html", m.html_path);
  text("name", m.display_name);
  text("basename", m.base_name);
  w.Key("tilesize");
  w.Int(m.plan.tile_size);
  w.Key("size");
  w.StartArray();
  w.Int(m.plan.full_width);
  w.Int(m.plan.full_height);
  w.EndArray();
  w.Key("levels");
  w.StartArray();
  for (const LevelSize& level : m.plan.levels) {
    w.StartArray();
    w.Int(level.width);
    w.Int(level.height);
    w.EndArray();
  }
  w.EndArray();
  w.Key("tiles");
  w.Int64(m.tile_count);
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

bool parse_manifest_json(const std::string& source, SceneManifest* m) {
  rapidjson::Document d;
  d.Parse(source.c_str(), source.size());
  if (d.HasParseError() || !d.IsObject()) return false;
  auto text = [&](const char* key, std::string* out) {
    auto it = d.FindMember(key);
    if (it == d.MemberEnd() || !it->value.IsString()) return false;
    out->assign(it->value.GetString(), it->value.GetStringLength());
    return true;
  };
  auto flag = [&](const char* key, bool* out) {
    auto it = d.FindMember(key);
    if (it == d.MemberEnd() || !it->value.IsBool()) return false;
    *out = it->value.GetBool();
    return true;
  };
  auto number = [&](const char* key, int32_t* out) {
    auto it = d.FindMember(key);
    if (it == d.MemberEnd() || !it->value.IsInt()) return false;
    *out = it->value.GetInt();
    return true;
  };
  int32_t version = 0;
  if (!number("version", &version) || version != kManifestVersion) return false;
  SceneManifest r;
  if (!text("plan", &r.plan_key) || !text("input", &r.input) || !number("shard", &r.shard_index) ||
      !number("shards", &r.shard_count) || !flag("has_scene", &r.has_scene) ||
      !text("scene", &r.scene) || !flag("gps", &r.gps) || !flag("flash_only", &r.flash_only) ||
      !text("xml", &r.xml_path) || !text("html", &r.html_path) || !text("name", &r.display_name) ||
      !text("basename", &r.base_name) || !number("tilesize", &r.plan.tile_size)) {
    return false;
  }
  auto size = d.FindMember("size");
  auto levels = d.FindMember("levels");
  auto tiles = d.FindMember("tiles");
  if (size == d.MemberEnd() || !size->value.IsArray() || size->value.Size() != 2 ||
      !size->value[0].IsInt() || !size->value[1].IsInt() || levels == d.MemberEnd() ||
      !levels->value.IsArray() || tiles == d.MemberEnd() || !tiles->value.IsInt64()) {
    return false;
  }
  r.plan.full_width = size->value[0].GetInt();
  r.plan.full_height = size->value[1].GetInt();
  for (const auto& level : levels->value.GetArray()) {
    if (!level.IsArray() || level.Size() != 2 || !level[0].IsInt() || !level[1].IsInt()) {
      return false;
    }
    r.plan.levels.push_back({level[0].GetInt(), level[1].GetInt()});
  }
  r.tile_count = tiles->value.GetInt64();
  *m = r;
  return true;
}

bool write_manifest(const std::string& path, const SceneManifest& manifest) {
  create_directories_for(path);
  // The process id keeps two runs of the same task (a requeue) from sharing a temporary file;
  // a stop signal deletes it, and a merge removes any left by a killed machine.
  const std::string temporary = path + "." + std::to_string(getpid()) + kManifestPartSuffix;
  temp_file_add(temporary);
  const bool written =
      write_whole_file(temporary, manifest_json(manifest)) && rename_file(temporary, path);
  temp_file_delete(temporary);
  return written;
}

bool read_manifest(const std::string& path, SceneManifest* manifest) {
  std::string text;
  return read_whole_file(path, &text) && parse_manifest_json(text, manifest);
}

std::string plan_key_of(const std::vector<std::string>& words) {
  uint64_t hash = 1469598103934665603ull;
  for (const std::string& word : words) {
    for (unsigned char c : word) hash = (hash ^ c) * 1099511628211ull;
    hash = (hash ^ 0xffu) * 1099511628211ull;  // a word end, so ("ab","c") != ("a","bc")
  }
  char text[24];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

MergeCheck check_manifests(const std::vector<ExpectedScene>& expected, const std::string& key) {
  MergeCheck check;
  bool count_known = false;
  for (size_t i = 0; i < expected.size(); ++i) {
    SceneManifest manifest;
    const bool usable = read_manifest(expected[i].manifest_path, &manifest) &&
                        manifest.plan_key == key && manifest.input == expected[i].input;
    if (!usable) {
      check.missing.push_back(i);
      continue;
    }
    if (!count_known) {
      check.shard_count = std::max(manifest.shard_count, 1);
      count_known = true;
    }
    check.manifests.push_back(manifest);
  }
  if (!check.missing.empty()) check.manifests.clear();
  return check;
}

std::vector<MergedFile> merge_scenes(const PanoSettings& settings, const XmlTemplates& templates,
                                     const std::vector<SceneManifest>& manifests) {
  std::vector<MergedFile> files;
  if (!settings.makescenes) {
    for (const SceneManifest& m : manifests) {
      if (!m.has_scene) continue;
      MergedFile file;
      file.xml_path = m.xml_path;
      file.text = m.scene;
      file.html_path = m.html_path;
      file.display_name = m.display_name;
      file.base_name = m.base_name;
      file.scene_count = 1;
      file.flash_only_count = m.flash_only ? 1 : 0;
      files.push_back(file);
    }
    return files;
  }
  XmlRunState state;
  const SceneManifest* last = nullptr;
  for (const SceneManifest& m : manifests) {
    if (!m.has_scene) continue;
    state.scenes += m.scene;
    state.any_gps = state.any_gps || m.gps;
    ++state.scene_count;
    if (m.flash_only) ++state.flash_only_count;
    last = &m;
  }
  if (!last) return files;
  MergedFile file;
  file.xml_path = last->xml_path;
  file.text = scenes_file_text(settings, templates, state);
  file.html_path = last->html_path;
  file.display_name = last->display_name;
  file.base_name = last->base_name;
  file.scene_count = state.scene_count;
  file.flash_only_count = state.flash_only_count;
  files.push_back(file);
  return files;
}

int64_t plan_tile_count(const LevelPlan& plan, bool cube, bool two_eyes) {
  int64_t tiles = 0;
  for (const LevelSize& level : plan.levels) {
    tiles += ceil_div(level.width, plan.tile_size) * ceil_div(level.height, plan.tile_size);
  }
  return tiles * (cube ? 6 : 1) * (two_eyes ? 2 : 1);
}

std::string shell_word(const std::string& word) {
  if (!word.empty() &&
      word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                             "_-./=,:+%@") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}
