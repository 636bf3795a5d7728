// The ping command: one probe, timed, and its findings in a fixed line format.
#include "tools/ping_tool.h"

#include "base/console.h"
#include "imageio/image_file.h"

int ping_main(int argc, char** argv) {
  if (argc < 2 || !argv[1]) return 1;
  const char* path = argv[1];
  const int64_t start = timer_ticks();
  std::unique_ptr<ImageInfo> info = image_probe(path);
  const int64_t end = timer_ticks();
  if (!info) return 1;
  ConsoleOps* ops = console_ops();
  ops->log(ops, "pingimage - %s\n", path);
  ops->log(ops, " - size=%dx%d\n", info->width, info->height);
  if (info->gps_present) {
    ops->log(ops, " - gps=true - lat=%f lng=%f dir=%f\n", info->latitude, info->longitude,
             info->direction);
  } else {
    ops->log(ops, " - gps=false\n");
  }
  if (info->pose_present) {
    ops->log(ops, " - theta=true - pitch=%f roll=%f\n", info->pitch, info->roll);
  } else {
    ops->log(ops, " - theta=false\n");
  }
  if (!info->icc.empty()) {
    ops->log(ops, " - iccprofile=true - size=%d description=[%s]\n",
             static_cast<int>(info->icc.size()),
             info->icc_description.empty() ? "unknown format" : info->icc_description.c_str());
  } else {
    ops->log(ops, " - iccprofile=false\n");
  }
  if (!info->thumbnail.empty()) {
    ops->log(ops, " - thumbnail=true - size=%d\n", static_cast<int>(info->thumbnail.size()));
  } else {
    ops->log(ops, " - thumbnail=false\n");
  }
  if (info->comment_present) {
    ops->log(ops, " - comment=[%s]\n", info->comment.c_str());
  } else {
    ops->log(ops, " - comment=null\n");
  }
  ops->log(ops, " - ms=%f\n\n", ticks_to_seconds(end - start) * 1000.0);
  return 0;
}
