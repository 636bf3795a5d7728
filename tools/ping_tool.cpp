// The ping command: one probe, timed, and its findings in a fixed line format.
#include <cstdio>

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
  printf("pingimage - %s\n", path);
  printf(" - size=%dx%d\n", info->width, info->height);
  if (info->gps_present) {
    printf(" - gps=true - lat=%f lng=%f dir=%f\n", info->latitude, info->longitude,
           info->direction);
  } else {
    printf(" - gps=false\n");
  }
  if (info->pose_present) {
    printf(" - theta=true - pitch=%f roll=%f\n", info->pitch, info->roll);
  } else {
    printf(" - theta=false\n");
  }
  if (!info->icc.empty()) {
    printf(" - iccprofile=true - size=%d description=[%s]\n", static_cast<int>(info->icc.size()),
           info->icc_description.empty() ? "unknown format" : info->icc_description.c_str());
  } else {
    printf(" - iccprofile=false\n");
  }
  if (!info->thumbnail.empty()) {
    printf(" - thumbnail=true - size=%d\n", static_cast<int>(info->thumbnail.size()));
  } else {
    printf(" - thumbnail=false\n");
  }
  if (info->comment_present) {
    printf(" - comment=[%s]\n", info->comment.c_str());
  } else {
    printf(" - comment=null\n");
  }
  printf(" - ms=%f\n\n", ticks_to_seconds(end - start) * 1000.0);
  return 0;
}
