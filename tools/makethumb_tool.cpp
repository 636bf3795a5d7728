// The makethumb tool: makes the thumbnail in memory and writes only the finished file.
#include "tools/makethumb_tool.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/console.h"
#include "base/files.h"
#include "render/thumbnail.h"

int makethumb_main(int argc, char** argv) {
  if (argc < 3 || !argv[1] || !argv[2]) return 1;
  const char* input = argv[1];
  const char* output = argv[2];
  const int32_t max_width = argc > 3 ? atoi(argv[3]) : 256;
  const int32_t max_height = argc > 4 ? atoi(argv[4]) : max_width;
  const int64_t start = timer_ticks();
  std::vector<uint8_t> jpeg;
  ConsoleOps* ops = console_ops();
  const bool made = make_thumbnail(input, max_width, max_height, ops, &jpeg);
  ops->log(ops, "makethumb - %s => %s (max:%dx%d)\n", input, output, max_width, max_height);
  ops->log(ops, " - fs=%d byte\n", made ? static_cast<int>(jpeg.size()) : 0);
  ops->log(ops, " - ms=%f\n\n", ticks_to_seconds(timer_ticks() - start) * 1000.0);
  if (!made) return 1;
  FilePtr file = open_file(output, "wb");
  if (!file) {
    ops->log_error(ops, "ERROR: creating file %s failed!\n", output);
    return 1;
  }
  const size_t written = fwrite(jpeg.data(), 1, jpeg.size(), file.get());
  const bool closed = fclose(file.release()) == 0;
  if (written != jpeg.size() || !closed) {
    delete_file(output);  // no truncated thumbnail under the output name
    ops->log_error(ops, "ERROR: writing to file %s failed!\n", output);
    return 1;
  }
  return 0;
}
