// The machine-readable summary of a makepano run (one-machine, shard or merge): the inputs and
// what became of each, their levels and tile counts, and timings, as one JSON file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "makepano/level_plan.h"

struct SummaryInput {
  std::string input;
  std::string outcome;   // "made", "other shard", "merged" or "skipped: <reason>"
  bool planned = false;  // plan and tiles are known
  LevelPlan plan;
  int64_t tiles = 0;
  double seconds = 0;
};

struct RunSummary {
  std::string mode;  // "one machine", "shard" or "merge"
  int32_t shard_index = 0;
  int32_t shard_count = 1;
  int32_t status = 0;
  double seconds = 0;
  int64_t tile_bytes = -1;  // bytes of the tiles the written XML files list; -1 when unknown
  std::vector<SummaryInput> inputs;
};

std::string run_summary_json(const RunSummary& summary);

// Written under a temporary name and renamed; false when it could not be written.
bool write_run_summary(const std::string& path, const RunSummary& summary);
