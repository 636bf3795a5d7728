// Level planning. Sizes are computed in 64 bits; every rule below works on whole pixels except
// the proportional heights and the cost search, which are floating point.
//
// Values that would make the plan meaningless are read as "not set": a tile size, minsize or
// maxsize below 1, and a levelstep of 1 or less (which would never shrink a level) counts as 2.
// The automatic level list also ends when a level would not be smaller than the one before, so
// no combination of settings can make it endless.
#include "makepano/level_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "makepano/input_analysis.h"
#include "makepano/pano_settings.h"

namespace {

// Centre of the tile-size search.
constexpr int32_t kCostCentre = 512;
// Smallest stop threshold of the automatic level list when tiles are smaller.
constexpr int64_t kMinimumThreshold = 513;
// Levels below this size end the automatic list (except in multi-frame runs).
constexpr int64_t kSmallestLevel = 256;
// Mipmapping steps: level 0 and explicit counts, large and small automatic sub-levels.
constexpr int32_t kMipStep = 64;
constexpr int32_t kMipStepSmall = 128;
constexpr int64_t kMipLargeWidth = 1800;
// Column the summary line may not pass, and the indent of its continuation lines.
constexpr size_t kSummaryColumns = 79;
constexpr char kSummaryIndent[] = "\n             ";
constexpr size_t kSummaryIndentColumn = 13;

bool is_power_of_two(int64_t value) {
  return value > 0 && (value & (value - 1)) == 0;
}

double usable_levelstep(double levelstep) {
  return levelstep > 1 ? levelstep : 2.0;
}

int64_t divide_up(int64_t size, double step) {
  return static_cast<int64_t>(std::ceil(static_cast<double>(size) / step));
}

// Cost of tile size j for L levels of reference size s (smaller is better).
double tile_cost(int64_t s, int32_t levels, int32_t j) {
  const double count = levels;
  double sum = 0.5 * count * std::max(0.0, 1.0 - j / 768.0);
  double fill = 1;
  int64_t m = s;
  for (int32_t i = 0; i < levels; ++i) {
    int64_t q = m / j;
    if (q == 0) q = 1;
    const int64_t t = std::llabs(m - j * (q + 1));
    if (t == j) {
      if (m > j) fill *= 1 - 0.5 / count;
      if (j < kCostCentre) {
        sum += (kCostCentre - j) / 256.0;
      } else if (j > kCostCentre + 512) {
        sum += (j - kCostCentre - 512) / 256.0;
      }
    } else {
      double v = std::llabs(j / 2 - t) / static_cast<double>(j);
      if (t < 32) v *= 1.1;
      if (t < 16) v *= 1.5;
      if (t < 8) v *= 2;
      if (t < 4) v *= 2.5;
      sum += t > 1 ? v : 3 * v;
    }
    m = (m + 1) / 2;
  }
  const double penalty =
      (j < kCostCentre ? kCostCentre - j : 0) + (j > kCostCentre + 512 ? j - kCostCentre - 512 : 0);
  return sum / count + (fill / count) * penalty / 256.0;
}

// Width of level 0 without the mipmapping form: never rounded up past the full width.
int64_t level0_width(int64_t width, int64_t tile) {
  const int64_t r = width % tile;
  if (width > tile && r < tile / 16) return width - r;
  return r % 2 == 1 ? width + 1 : width;
}

// Width of a sub-level without the mipmapping form.
int64_t sublevel_width(int64_t width, int64_t tile, int64_t full_width) {
  const int64_t r = width % tile;
  if (width > tile && r < tile / 8) return width - r;
  if (tile - r < tile / 8 && width - r + tile < full_width) return width - r + tile;
  return r % 2 == 1 ? width + 1 : width;
}

// Height that follows an adjusted width (raw_width before, width after the adjustment).
int64_t adjusted_height(int64_t height, int64_t raw_width, int64_t width, int64_t tile, bool cube) {
  if (height == raw_width || cube) return width;
  int64_t h = static_cast<int64_t>(
      std::floor(static_cast<double>(height) * width / static_cast<double>(raw_width) + 0.5));
  if ((h % tile) % 2 == 1) ++h;
  return h;
}

// The rules and values one plan works with.
struct PlanRules {
  bool cube = false;
  bool adjust = false;  // adjustlevelsizes
  bool mip = false;     // the mipmapping form: adjust, mipmapping on, tile a power of two
  int64_t tile = 0;
  double step = 2;
  int64_t full_width = 0;
  int64_t full_height = 0;
};

struct RawSize {
  int64_t width;
  int64_t height;
};

// The next level after prev (adjusted) or raw (the unadjusted chain, advanced here in the
// mipmapping form); mip_step 0 picks the automatic step by width.
RawSize next_level(const PlanRules& rules, const RawSize& prev, RawSize* raw, int32_t mip_step) {
  RawSize next;
  if (rules.mip) {
    raw->width = divide_up(raw->width, rules.step);
    raw->height = divide_up(raw->height, rules.step);
    next = *raw;
  } else {
    next = {divide_up(prev.width, rules.step), divide_up(prev.height, rules.step)};
  }
  if (!rules.adjust) return next;
  int64_t width = 0;
  if (rules.mip) {
    const int32_t step =
        mip_step > 0 ? mip_step : (next.width >= kMipLargeWidth ? kMipStep : kMipStepSmall);
    width = mip_adjust(static_cast<int32_t>(next.width), step, static_cast<int32_t>(rules.tile));
  } else {
    width = sublevel_width(next.width, rules.tile, rules.full_width);
  }
  return {width, adjusted_height(next.height, next.width, width, rules.tile, rules.cube)};
}

LevelSize level_size(const RawSize& size) {
  LevelSize level;
  level.width = static_cast<int32_t>(std::min<int64_t>(size.width, INT32_MAX));
  level.height = static_cast<int32_t>(std::min<int64_t>(size.height, INT32_MAX));
  return level;
}

// Shrinks (w, h) so that both sides fit the limit, the longer side first.
void fit_inside(int64_t limit, int64_t* w, int64_t* h) {
  if (*h > *w) {
    if (*h > limit) *w = *w * limit / *h, *h = limit;
    if (*w > limit) *h = *h * limit / *w, *w = limit;
  } else {
    if (*w > limit) *h = *h * limit / *w, *w = limit;
    if (*h > limit) *w = *w * limit / *h, *h = limit;
  }
}

int64_t reference_size(const PanoSettings& settings, bool cube, int64_t w, int64_t h) {
  int64_t s = cube ? h : (h == w / 2 ? h : std::max(h, (w + 1) / 2));
  if (settings.maxsize > 0) s = std::min<int64_t>(std::max(w, h), settings.maxsize);
  if (cube && settings.maxcubesize > 0) {
    s = std::min<int64_t>(std::max(w, h), settings.maxcubesize);
  }
  return s;
}

RawSize level0(const PlanRules& rules) {
  RawSize size = {rules.full_width, rules.full_height};
  if (!rules.adjust || rules.tile < 1 || rules.tile >= kSingleLevelTileSize) return size;
  const int64_t width = rules.mip ? mip_adjust(static_cast<int32_t>(size.width), kMipStep,
                                               static_cast<int32_t>(rules.tile))
                                  : level0_width(size.width, rules.tile);
  return {width, adjusted_height(size.height, size.width, width, rules.tile, rules.cube)};
}

std::vector<LevelSize> automatic_levels(const PlanRules& rules, int64_t threshold, bool frames) {
  RawSize previous = level0(rules);
  std::vector<LevelSize> levels = {level_size(previous)};
  RawSize raw = {rules.full_width, rules.full_height};
  while (previous.height > threshold) {
    const RawSize next = next_level(rules, previous, &raw, 0);
    if (!frames && (next.width < kSmallestLevel || next.height < kSmallestLevel)) break;
    if (next.height < threshold) break;
    if (next.width < 1 || next.height < 1 || next.height >= previous.height) break;
    levels.push_back(level_size(next));
    previous = next;
  }
  return levels;
}

std::vector<LevelSize> counted_levels(const PlanRules& rules, int32_t count) {
  RawSize previous = {rules.full_width, rules.full_height};
  std::vector<LevelSize> levels = {level_size(previous)};
  RawSize raw = previous;
  for (int32_t i = 1; i < count; ++i) {
    const RawSize next = next_level(rules, previous, &raw, kMipStep);
    if (next.width < 1 || next.height < 1) break;
    levels.push_back(level_size(next));
    previous = next;
  }
  return levels;
}

// Level widths written as "4096,2048,…": one control byte after each comma is skipped; reading
// ends at a value below 1 or when no comma follows.
std::vector<LevelSize> listed_levels(const std::string& text, const PlanRules& rules) {
  std::vector<LevelSize> levels;
  const char* p = text.c_str();
  for (;;) {
    char* end = nullptr;
    const long long value = strtoll(p, &end, 10);
    if (end == p || value < 1) break;
    const int64_t width = std::min<long long>(value, INT32_MAX);
    int64_t height = width;
    if (!rules.cube && rules.full_width > 0) {
      height = static_cast<int64_t>(
          std::floor(static_cast<double>(rules.full_height) * width / rules.full_width + 0.5));
    }
    levels.push_back(level_size({width, height}));
    const char* comma = strchr(end, ',');
    if (!comma) break;
    p = comma + 1;
    if (*p >= 1 && *p <= 31) ++p;
  }
  return levels;
}

std::string size_text(const LevelSize& level) {
  char text[32];
  snprintf(text, sizeof text, "%dx%d", level.width, level.height);
  return text;
}

}  // namespace

bool level_sizes_valid(const std::string& text) {
  size_t at = 0;
  for (;;) {
    size_t end = text.find(',', at);
    if (end == std::string::npos) end = text.size();
    size_t begin = at;
    size_t last = end;
    while (begin < last && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (last > begin && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
    if (begin == last || last - begin > 9) return false;
    bool positive = false;
    for (size_t i = begin; i < last; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      if (text[i] != '0') positive = true;
    }
    if (!positive) return false;
    if (end == text.size()) return true;
    at = end + 1;
  }
}

int32_t mip_adjust(int32_t size, int32_t step, int32_t tile_size) {
  if (tile_size < 1 || step < 1) return size;
  const int64_t base = static_cast<int64_t>(tile_size) * (size / tile_size);
  int64_t best = base;
  for (int64_t e = base; e <= base + tile_size; e += step) {
    const int64_t rest = e % tile_size;
    if (rest != 0 && !is_power_of_two(rest)) continue;
    // Candidates rise, so only a strictly closer one replaces the smaller.
    if (std::llabs(e - size) < std::llabs(best - size)) best = e;
  }
  return static_cast<int32_t>(std::min<int64_t>(best, INT32_MAX));
}

int32_t auto_tile_size(int64_t reference_size, double levelstep) {
  const double step = usable_levelstep(levelstep);
  int32_t levels = 1;
  for (int64_t e = reference_size; e > kCostCentre; ++levels) {
    const int64_t next = divide_up(e, step);
    if (next >= e) break;
    e = next;
  }
  int32_t best = kCostCentre;
  double best_cost = std::numeric_limits<double>::infinity();
  for (int32_t j = kCostCentre - 256; j <= kCostCentre + 767; ++j) {
    const double cost = tile_cost(reference_size, levels, j);
    if (cost < best_cost) {
      best = j;
      best_cost = cost;
    }
  }
  return best;
}

bool plan_levels(const PanoSettings& settings, const PanoInput& input, LevelPlan* plan) {
  PlanRules rules;
  rules.cube = input.type == kPanoCube;
  rules.step = usable_levelstep(settings.levelstep);
  const int64_t w = input.width;
  const int64_t h = input.height;
  int64_t tile = auto_tile_size(reference_size(settings, rules.cube, w, h), rules.step);
  if (settings.tilesize > 0) tile = settings.tilesize;
  if (!settings.multires) tile = kSingleLevelTileSize;
  const int64_t threshold =
      settings.minsize > 0 ? settings.minsize : std::max<int64_t>(tile, kMinimumThreshold);

  int64_t full_width = w;
  int64_t full_height = h;
  if (rules.cube && settings.maxcubesize > 0) {
    if (full_width > settings.maxcubesize) full_width = full_height = settings.maxcubesize;
  } else if (settings.maxsize > 0) {
    fit_inside(settings.maxsize, &full_width, &full_height);
  }
  rules.tile = tile;
  rules.full_width = full_width;
  rules.full_height = full_height;
  rules.adjust = settings.adjustlevelsizes;
  rules.mip = rules.adjust && settings.adjustlevelsizesformipmapping && is_power_of_two(tile);

  plan->tile_size = static_cast<int32_t>(tile);
  plan->full_width = static_cast<int32_t>(full_width);
  plan->full_height = static_cast<int32_t>(full_height);
  if (!settings.levelsizes.empty()) {
    plan->levels = listed_levels(settings.levelsizes, rules);
    if (plan->levels.empty()) return false;
  } else if (settings.levels != 0) {
    plan->levels = counted_levels(rules, std::clamp(settings.levels, 1, kMaxLevelCount));
  } else {
    plan->levels = automatic_levels(rules, threshold, settings.frames);
  }
  if (!settings.multires) plan->levels.resize(1);
  return true;
}

std::string level_summary_text(const PanoSettings& settings, const PanoInput& input,
                               const LevelPlan& plan) {
  char text[128];
  if (!settings.multires) {
    std::string line = " - multires: no";
    if (input.type == kPanoCube && settings.maxcubesize > 0) {
      snprintf(text, sizeof text, ", maxcubesize=%d", settings.maxcubesize);
      line += text;
    } else if (settings.maxsize > 0) {
      snprintf(text, sizeof text, ", maxsize=%d", settings.maxsize);
      line += text;
    }
    return line + "\n";
  }
  const std::string first = size_text(plan.levels.front());
  snprintf(text, sizeof text, " - multires: tilesize=%d levels=%d - %s", plan.tile_size,
           static_cast<int>(plan.levels.size()), first.c_str());
  std::string line = text;
  size_t column = 36 + std::to_string(plan.tile_size).size() + first.size();
  for (size_t i = 1; i < plan.levels.size(); ++i) {
    const std::string level = size_text(plan.levels[i]);
    if (column + level.size() + 1 > kSummaryColumns) {
      line += kSummaryIndent;
      column = kSummaryIndentColumn;
    } else {
      line += " ";
    }
    line += level;
    column += level.size() + 1;
  }
  return line + "\n";
}
