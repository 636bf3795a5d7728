#include "makepano/run_summary.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "base/files.h"

std::string run_summary_json(const RunSummary& summary) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
  auto text = [&](const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
  };
  w.StartObject();
  text("mode", summary.mode);
  w.Key("shard");
  w.Int(summary.shard_index);
  w.Key("shards");
  w.Int(summary.shard_count);
  w.Key("status");
  w.Int(summary.status);
  w.Key("seconds");
  w.Double(summary.seconds);
  int64_t tiles = 0;
  int32_t made = 0;
  for (const SummaryInput& input : summary.inputs) {
    tiles += input.tiles;
    if (input.outcome == "made" || input.outcome == "merged") ++made;
  }
  w.Key("made");
  w.Int(made);
  w.Key("tiles");
  w.Int64(tiles);
  w.Key("tile_bytes");
  if (summary.tile_bytes < 0) {
    w.Null();
  } else {
    w.Int64(summary.tile_bytes);
  }
  w.Key("inputs");
  w.StartArray();
  for (const SummaryInput& input : summary.inputs) {
    w.StartObject();
    text("input", input.input);
    text("outcome", input.outcome);
    if (input.planned) {
      w.Key("tilesize");
      w.Int(input.plan.tile_size);
      w.Key("levels");
      w.StartArray();
      for (const LevelSize& level : input.plan.levels) {
        w.StartArray();
        w.Int(level.width);
        w.Int(level.height);
        w.EndArray();
      }
      w.EndArray();
      w.Key("tiles");
      w.Int64(input.tiles);
      w.Key("seconds");
      w.Double(input.seconds);
    }
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

bool write_run_summary(const std::string& path, const RunSummary& summary) {
  create_directories_for(path);
  const std::string temporary = path + ".part";
  if (!write_whole_file(temporary, run_summary_json(summary)) || !rename_file(temporary, path)) {
    delete_file(temporary);
    return false;
  }
  return true;
}
