// The makethumb tool: makes the thumbnail in memory and writes only the finished file.
#include "tools/makethumb_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/console.h"
#include "base/files.h"
#include "base/whole_files.h"
#include "render/thumbnail.h"

namespace {

constexpr char kCreateFailed[] = "ERROR: creating file %s failed!\n";
constexpr char kWriteFailed[] = "ERROR: writing to file %s failed!\n";
constexpr char kSystemReason[] = "       - %s!\n";

void report_write_failure(ConsoleOps* ops, const char* message, const char* output, int error) {
  ops->log_error(ops, message, output);
  if (error != 0) ops->log_error(ops, kSystemReason, system_reason(error).c_str());
}

}  // namespace

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
  // Written under a partial name and renamed into place: no truncated thumbnail, ever.
  PartialFile partial;
  if (!partial_file_begin(output, &partial)) {
    report_write_failure(ops, kCreateFailed, output, errno);
    return 1;
  }
  FilePtr file = open_file(partial.partial_path, "wb");
  partial_file_created(&partial);
  if (!file) {
    report_write_failure(ops, kCreateFailed, output, errno);
    partial_file_abandon(&partial);
    return 1;
  }
  bool written = fwrite(jpeg.data(), 1, jpeg.size(), file.get()) == jpeg.size();
  written = fflush(file.get()) == 0 && written;
  const int write_error = errno;
  const bool closed = fclose(file.release()) == 0;
  if (!written || !closed) {
    report_write_failure(ops, kWriteFailed, output, written ? errno : write_error);
    partial_file_abandon(&partial);
    return 1;
  }
  if (!partial_file_commit(&partial)) {
    report_write_failure(ops, kWriteFailed, output, errno);
    return 1;
  }
  return 0;
}
