// A small program for the clean-up tests: it fills a few blocks, forces some of them out to
// swap files and then either waits to be killed, returns normally, or runs into a fatal error.
//   qvmem_helper hold DIR MODE    prints "ready N" (N = files written), then waits for a signal
//   qvmem_helper exit DIR MODE    prints "ready N" and returns 0
//   qvmem_helper exitnow DIR MODE prints "ready N" and ends with qvmem_exit_now(5), blocks held
//   qvmem_helper fatal DIR MODE   evicts into DIR (which should not exist): a fatal error
//   qvmem_helper lost DIR MODE    deletes the first block's swap file, then locks the block
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "memory/qvmem.h"
#include "tiny_budget.h"

namespace {

constexpr uint64_t kBlockSize = 64 * 1024;
constexpr int kBlocks = 8;

// Locks, fills and unlocks every block while at most two fit in memory.
std::vector<QvmemBlock*> fill_blocks() {
  std::vector<QvmemBlock*> blocks;
  for (int i = 0; i < kBlocks; ++i) {
    QvmemBlock* block = qvmem_alloc(kBlockSize);
    auto* data = static_cast<unsigned char*>(qvmem_lock(block));
    if (data) memset(data, i + 1, kBlockSize);
    qvmem_unlock(block);
    blocks.push_back(block);
  }
  return blocks;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  std::string command = argv[1];
  qvmem_init(argv[2], atoi(argv[3]));
  ScopedTinyBudget budget(2 * kBlockSize);
  std::vector<QvmemBlock*> blocks = fill_blocks();
  if (qvmem_mode() == 1) {
    // Give the background thread time to write its files.
    for (int i = 0; i < 500 && qvmem_list_stats(QVMEM_SWAPPED).count == 0; ++i) usleep(10000);
  }
  long files =
      qvmem_mode() == 2 ? kBlocks : static_cast<long>(qvmem_list_stats(QVMEM_SWAPPED).count);
  printf("ready %ld\n", files);
  fflush(stdout);
  if (command == "lost") {
    unlink(qvmem_swap_file_name(blocks[0]).c_str());
    qvmem_lock(blocks[0]);
    return 4;
  }
  if (command == "exitnow") {
    qvmem_lock(blocks[1]);  // still held: the exit must not wait for or free it
    qvmem_exit_now(5);
  }
  if (command == "hold") {
    for (;;) pause();
  }
  return command == "exit" ? 0 : 3;
}
