// The process entry: prepares the shared run-time state and hands the arguments to a tool.
#include <cstdlib>
#include <ctime>

#include "app/dispatcher.h"
#include "base/console.h"
#include "base/files.h"
#include "base/text.h"
#include "base/threads.h"
#include "imageio/image_file.h"
#include "memory/qvmem.h"

namespace {

constexpr char kBadMemoryLimit[] =
    "WARNING: QV_MEMORY_LIMIT=%s is not a memory size (e.g. 4G or 4096M); no limit is set\n";

}  // namespace

int main(int argc, char** argv) {
  set_program_path(argc > 0 ? argv[0] : nullptr);
  qvmem_init(nullptr, 0);
  // A memory limit for every tool of the run (a tool's -memlimit takes its place).
  bool bad_limit = false;
  qvmem_limit_from_environment(&bad_limit);
  // The tools split their work over the threads of QV_THREADS (default: the usable cores).
  if (thread_count() > 1) qvmem_set_thread_safe(true);
  base64_init();
  image_file_init();
  srand(static_cast<unsigned>(static_cast<uint32_t>(timer_ticks()) +
                              static_cast<uint32_t>(time(nullptr))));
  // argv is UTF-8 already on this system, so the vector of the start-up code is kept.
  ConsoleOps* ops = console_ops();
  if (bad_limit) ops->log(ops, kBadMemoryLimit, std::getenv("QV_MEMORY_LIMIT"));
  size_t rows = 0;
  const ToolRow* table = tool_table(&rows);
  return dispatch_tool(argc, argv, table, rows, ops);
}
