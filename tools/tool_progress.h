// Progress lines of the image tools: a percent line rewritten with a carriage return, and the
// progress of a run made of weighted steps, which a front end receives as fractions instead.
#pragma once

#include <cstdint>
#include <string>

struct ConsoleOps;

// Logs "%d%%   \r" when percent differs from *last_printed (-1: none yet) and remembers it.
void log_percent_line(ConsoleOps* ops, int32_t percent, int32_t* last_printed);

// A run of `parts` equal parts, reported one step (a load, a face, a strip) at a time.
struct StepProgress {
  ConsoleOps* console = nullptr;
  bool quiet = false;         // no percent lines
  bool ipc = false;           // fractions of the whole run through console->progress instead
  int32_t parts = 1;          // parts of the whole run
  int32_t base = 1;           // first part of the current step, from 1
  int32_t span = 1;           // parts of the current step
  int32_t last_percent = -1;  // last percent line of the current step; -1 = none yet
  bool prefixed = false;      // lines are "<prefix><percent>%        \r"
  std::string prefix;         // text before the percent of a prefixed line
};

// Starts a step of span parts from part base; its percent lines start afresh when restart.
void start_step(StepProgress* progress, int32_t base, int32_t span, bool restart);

// Reports done of total units of the current step; progress is the StepProgress. The shape of
// the renderers' progress callbacks.
void report_step(void* progress, int64_t done, int64_t total);
// The same with the tiled-image loader's shape (rows done of the image's rows).
void report_step_rows(void* progress, int32_t done, int32_t total);
