// Progress lines of the image tools.
#include "tools/tool_progress.h"

#include "base/console.h"

namespace {

constexpr char kPercentLine[] = "%d%%   \r";
constexpr char kPrefixedPercentLine[] = "%s%d%%        \r";

}  // namespace

void log_percent_line(ConsoleOps* ops, int32_t percent, int32_t* last_printed) {
  if (percent == *last_printed) return;
  ops->log(ops, kPercentLine, percent);
  *last_printed = percent;
}

void start_step(StepProgress* progress, int32_t base, int32_t span, bool restart) {
  progress->base = base;
  progress->span = span;
  if (restart) progress->last_percent = -1;
}

void report_step(void* user, int64_t done, int64_t total) {
  StepProgress* progress = static_cast<StepProgress*>(user);
  if (total <= 0) return;
  ConsoleOps* ops = progress->console;
  if (progress->ipc) {
    const double parts = progress->parts;
    const double fraction =
        progress->span / parts * (static_cast<double>(done) / static_cast<double>(total)) +
        (progress->base - 1) / parts;
    ops->progress(ops, fraction);
    return;
  }
  if (progress->quiet) return;
  const int32_t percent = static_cast<int32_t>(done * 100 / total);
  if (!progress->prefixed) {
    log_percent_line(ops, percent, &progress->last_percent);
  } else if (percent != progress->last_percent) {
    ops->log(ops, kPrefixedPercentLine, progress->prefix.c_str(), percent);
    progress->last_percent = percent;
  }
}

void report_step_rows(void* progress, int32_t done, int32_t total) {
  report_step(progress, done, total);
}
