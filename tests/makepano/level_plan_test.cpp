// Level planning: the tile-size search, the mipmapping adjustment, the automatic, counted and
// listed level lists with their limits, and the summary line.
#include "makepano/level_plan.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "makepano/input_analysis.h"
#include "makepano/pano_settings.h"

namespace {

PanoInput input_of(int32_t type, int32_t width, int32_t height) {
  PanoInput input;
  input.type = type;
  input.width = width;
  input.height = height;
  return input;
}

std::string levels_text(const LevelPlan& plan) {
  std::string text;
  for (const LevelSize& level : plan.levels) {
    if (!text.empty()) text += " ";
    text += std::to_string(level.width) + "x" + std::to_string(level.height);
  }
  return text;
}

TEST(LevelPlan, AutoTileSize) {
  struct Case {
    int64_t size;
    int32_t tile;
  };
  const Case cases[] = {{3200, 800}, {2048, 512}, {4000, 500}, {6000, 750}};
  for (const Case& c : cases) EXPECT_EQ(auto_tile_size(c.size, 2.0), c.tile) << c.size;
  for (int64_t size : {1, 100, 513, 999, 1500, 5000, 77777, 2000000000}) {
    const int32_t tile = auto_tile_size(size, 2.0);
    EXPECT_GE(tile, 256) << size;
    EXPECT_LE(tile, 1279) << size;
  }
  // A step that never shrinks a level still ends.
  for (double step : {1.0, 0.0, -2.0, 1.0001}) {
    const int32_t tile = auto_tile_size(100000, step);
    EXPECT_GE(tile, 256);
    EXPECT_LE(tile, 1279);
  }
}

TEST(LevelPlan, MipAdjust) {
  struct Case {
    int32_t size, step, tile, expected;
  };
  const Case cases[] = {
      {3200, 64, 512, 3200},   // 3072 + 128
      {1600, 128, 512, 1536},  // 1536 and 1664 are equally close: the smaller wins
      {800, 128, 512, 768},   {2048, 64, 512, 2048},
      {100, 64, 512, 128},    {3300, 64, 512, 3328},  // 3072 + 256
      {3500, 64, 512, 3584},                          // 3456 (384) does not qualify
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mip_adjust(c.size, c.step, c.tile), c.expected) << c.size << " " << c.step;
  }
}

struct PlanCase {
  const char* name;
  PanoInput input;
  std::function<void(PanoSettings*)> set;
  int32_t tile;
  const char* levels;
};

TEST(LevelPlan, Plans) {
  const auto none = [](PanoSettings*) {};
  const PlanCase cases[] = {
      {"cube 3200", input_of(kPanoCube, 3200, 3200), none, 800, "3200x3200 1600x1600 800x800"},
      {"cube 2048", input_of(kPanoCube, 2048, 2048), none, 512, "2048x2048 1024x1024"},
      {"sphere 8000", input_of(kPanoSphere, 8000, 4000), none, 500,
       "8000x4000 4000x2000 2000x1000"},
      {"sphere 12000", input_of(kPanoSphere, 12000, 6000), none, 750,
       "12000x6000 6000x3000 3000x1500 1500x750"},
      {"tilesize 512", input_of(kPanoCube, 3200, 3200), [](PanoSettings* s) { s->tilesize = 512; },
       512, "3200x3200 1536x1536 768x768"},
      {"levels 40", input_of(kPanoCube, 3200, 3200), [](PanoSettings* s) { s->levels = 40; }, 800,
       nullptr},
      {"levels -3", input_of(kPanoCube, 3200, 3200), [](PanoSettings* s) { s->levels = -3; }, 800,
       "3200x3200"},
      {"levels 4", input_of(kPanoCube, 3200, 3200), [](PanoSettings* s) { s->levels = 4; }, 800,
       "3200x3200 1600x1600 800x800 400x400"},
      {"levelsizes", input_of(kPanoSphere, 8000, 4000),
       [](PanoSettings* s) { s->levelsizes = "4096,2048,1024"; }, 500,
       "4096x2048 2048x1024 1024x512"},
      {"levelsizes control byte", input_of(kPanoCube, 3000, 3000),
       [](PanoSettings* s) { s->levelsizes = "3000,\t1500, 700,0,200"; }, 750,
       "3000x3000 1500x1500 700x700"},
      {"multires off", input_of(kPanoSphere, 8000, 4000),
       [](PanoSettings* s) { s->multires = false; }, 4000, "8000x4000"},
      {"maxcubesize", input_of(kPanoCube, 3000, 3000),
       [](PanoSettings* s) {
         s->maxcubesize = 2000;
         s->maxsize = 1000;
       },
       500, "2000x2000 1000x1000"},
      {"maxsize", input_of(kPanoSphere, 8000, 4000), [](PanoSettings* s) { s->maxsize = 4000; },
       500, "4000x2000 2000x1000"},
      {"maxsize tall", input_of(kPanoFlat, 3000, 6000),
       [](PanoSettings* s) {
         s->maxsize = 2000;
         s->levels = 1;
       },
       500, "1000x2000"},
      {"no frames", input_of(kPanoCube, 800, 800),
       [](PanoSettings* s) {
         s->tilesize = 128;
         s->minsize = 100;
         s->adjustlevelsizes = false;
       },
       128, "800x800 400x400"},
      {"frames keep small levels", input_of(kPanoCube, 800, 800),
       [](PanoSettings* s) {
         s->tilesize = 128;
         s->minsize = 100;
         s->adjustlevelsizes = false;
         s->frames = true;
       },
       128, "800x800 400x400 200x200 100x100"},
      {"levelstep 1 ends", input_of(kPanoCube, 3200, 3200),
       [](PanoSettings* s) { s->levelstep = 1; }, 800, "3200x3200 1600x1600 800x800"},
      {"frames with tiny minsize ends", input_of(kPanoCube, 3200, 3200),
       [](PanoSettings* s) {
         s->frames = true;
         s->minsize = 1;
         s->tilesize = 512;
       },
       512, nullptr},
  };
  for (const PlanCase& c : cases) {
    PanoSettings settings = default_pano_settings();
    c.set(&settings);
    LevelPlan plan;
    ASSERT_TRUE(plan_levels(settings, c.input, &plan)) << c.name;
    EXPECT_EQ(plan.tile_size, c.tile) << c.name;
    if (c.levels) {
      EXPECT_EQ(levels_text(plan), c.levels) << c.name;
    }
    ASSERT_FALSE(plan.levels.empty()) << c.name;
    // An explicit count may repeat the smallest size; an automatic list always shrinks.
    for (size_t i = 1; settings.levels == 0 && i < plan.levels.size(); ++i) {
      EXPECT_LT(plan.levels[i].height, plan.levels[i - 1].height) << c.name;
      EXPECT_GE(plan.levels[i].width, 1) << c.name;
    }
  }
}

TEST(LevelPlan, LevelZeroRulesWithoutMipmapping) {
  struct Case {
    int32_t width, expected;
  };
  const Case cases[] = {{4010, 4000}, {4041, 4042}, {4040, 4040}, {499, 500}};
  for (const Case& c : cases) {
    // A threshold above level 0 keeps the automatic list at its (adjusted) level 0.
    PanoSettings settings = default_pano_settings();
    settings.tilesize = 500;
    settings.minsize = 100000;
    const PanoInput input = input_of(kPanoFlat, c.width, 1000);
    LevelPlan plan;
    ASSERT_TRUE(plan_levels(settings, input, &plan));
    EXPECT_EQ(plan.levels[0].width, c.expected) << c.width;
  }
}

TEST(LevelPlan, CountsAndListsHaveLimits) {
  PanoSettings settings = default_pano_settings();
  settings.levels = 40;
  LevelPlan plan;
  ASSERT_TRUE(plan_levels(settings, input_of(kPanoCube, 100000, 100000), &plan));
  EXPECT_EQ(plan.levels.size(), static_cast<size_t>(kMaxLevelCount));

  settings = default_pano_settings();
  settings.levelsizes = "0";
  EXPECT_FALSE(plan_levels(settings, input_of(kPanoSphere, 8000, 4000), &plan));
  settings.levelsizes = "abc";
  EXPECT_FALSE(plan_levels(settings, input_of(kPanoSphere, 8000, 4000), &plan));
}

TEST(LevelPlan, SummaryLine) {
  PanoSettings settings = default_pano_settings();
  LevelPlan plan;
  const PanoInput cube = input_of(kPanoCube, 3200, 3200);
  ASSERT_TRUE(plan_levels(settings, cube, &plan));
  EXPECT_EQ(level_summary_text(settings, cube, plan),
            " - multires: tilesize=800 levels=3 - 3200x3200 1600x1600 800x800\n");

  // A long list wraps before column 80 with 13 blanks of indent.
  settings.levels = 14;
  settings.tilesize = 300;
  const PanoInput big = input_of(kPanoSphere, 80000, 40000);
  ASSERT_TRUE(plan_levels(settings, big, &plan));
  const std::string text = level_summary_text(settings, big, plan);
  EXPECT_EQ(text.rfind(" - multires: tilesize=300 levels=14 - 80000x40000 40000x20000 ", 0), 0u)
      << text;
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 79u) << line;
    if (count++ > 0) {
      EXPECT_EQ(line.rfind("             ", 0), 0u) << line;
      EXPECT_NE(line[13], ' ') << line;
    }
  }
  EXPECT_GE(count, 2);

  settings = default_pano_settings();
  settings.multires = false;
  EXPECT_EQ(level_summary_text(settings, cube, plan), " - multires: no\n");
  settings.maxcubesize = 2000;
  settings.maxsize = 1000;
  EXPECT_EQ(level_summary_text(settings, cube, plan), " - multires: no, maxcubesize=2000\n");
  EXPECT_EQ(level_summary_text(settings, input_of(kPanoSphere, 8000, 4000), plan),
            " - multires: no, maxsize=1000\n");
}

}  // namespace
