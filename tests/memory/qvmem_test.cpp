// The virtual memory manager: budget figures, eviction round trips and their order, swap file
// names and places, the mapped back end, the background back end and the thread-safety switch.
#include "memory/qvmem.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "support/swap_folder_test.h"
#include "support/test_support.h"
#include "tiny_budget.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kGiB = 1024 * kMiB;
constexpr uint64_t kBlockSize = 64 * 1024;

QvmemMemoryStatus status_of(int64_t total, int64_t available) {
  QvmemMemoryStatus status;
  status.total_physical = status.total_virtual = total;
  status.available_physical = status.available_virtual = available;
  return status;
}

std::vector<std::string> swap_files_in(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : qv_test::list_files(dir)) {
    if (name.rfind("qvmem_", 0) == 0) found.push_back(name);
  }
  return found;
}

// Fills a block with a pattern derived from seed.
void fill(QvmemBlock* block, int seed) {
  auto* data = static_cast<uint8_t*>(qvmem_lock(block));
  ASSERT_NE(data, nullptr);
  for (uint64_t i = 0; i < qvmem_size(block); ++i) data[i] = static_cast<uint8_t>(i * 7 + seed);
  qvmem_unlock(block);
}

// True when the block holds the pattern of seed; leaves it unlocked.
bool holds_pattern(QvmemBlock* block, int seed) {
  auto* data = static_cast<uint8_t*>(qvmem_lock(block));
  if (!data) return false;
  bool same = true;
  for (uint64_t i = 0; i < qvmem_size(block) && same; ++i) {
    same = data[i] == static_cast<uint8_t>(i * 7 + seed);
  }
  qvmem_unlock(block);
  return same;
}

class QvmemTest : public SwapFolderTest {};

TEST(QvmemBudget, FollowsTheReserveRulesForEachMachineSize) {
  struct Row {
    const char* what;
    QvmemMemoryStatus status;
    int64_t used;
    int64_t expected;
  };
  QvmemMemoryStatus virtual_smaller = status_of(8 * kGiB, 6 * kGiB);
  virtual_smaller.total_virtual = 1 * kGiB;
  virtual_smaller.available_virtual = 700 * kMiB;
  const Row rows[] = {
      {"8 GiB: reserve capped at 512 MiB", status_of(8 * kGiB, 6 * kGiB), 0, 6 * kGiB - 512 * kMiB},
      {"2 GiB, little free: floor of 512 MiB, reserve 128 MiB", status_of(2 * kGiB, 100 * kMiB), 0,
       512 * kMiB - 128 * kMiB},
      {"1 GiB: no floor, budget negative", status_of(1 * kGiB, 100 * kMiB), 0,
       100 * kMiB - 107374182},
      {"32 GiB: reserve capped at 1 GiB", status_of(32 * kGiB, 20 * kGiB), 0, 19 * kGiB},
      {"16000 MiB: 1 GiB reserve", status_of(16000 * kMiB, 8 * kGiB), 0, 7 * kGiB},
      {"15999 MiB: 512 MiB reserve", status_of(15999 * kMiB, 8 * kGiB), 0, 8 * kGiB - 512 * kMiB},
      {"4096 MiB: 128 MiB reserve", status_of(4096 * kMiB, 2 * kGiB), 0, 2 * kGiB - 128 * kMiB},
      {"4097 MiB: 10 % reserve", status_of(4097 * kMiB, 2 * kGiB), 0,
       2 * kGiB - static_cast<int64_t>(4097 * kMiB * 0.1)},
      {"available limited to total", status_of(2 * kGiB, 3 * kGiB), 0, 2 * kGiB - 128 * kMiB},
      {"smaller virtual figures count", virtual_smaller, 0, 700 * kMiB - 107374182},
      {"used at the limit still gets the budget", status_of(2 * kGiB, 1 * kGiB),
       2 * kGiB - 256 * kMiB, 1 * kGiB - 128 * kMiB},
      {"used above total minus twice the reserve: none", status_of(2 * kGiB, 1 * kGiB),
       2 * kGiB - 256 * kMiB + 1, 0},
      {"64-bit figures are not capped at 2 GiB", status_of(64 * kGiB, 40 * kGiB), 0, 39 * kGiB},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(qvmem_budget_for_status(row.status, row.used), row.expected) << row.what;
  }
}

TEST(QvmemBudget, BackgroundFiguresKeepTenAndFivePercent) {
  struct Row {
    int64_t available;
    int64_t free_for_allocation;
    int64_t margin;
  };
  const Row rows[] = {{200, 100, 50}, {120, 20, -30}, {50, 0, -100}};
  for (const Row& row : rows) {
    QvmemBackgroundFigures figures = qvmem_background_figures(status_of(1000, row.available));
    EXPECT_EQ(figures.free_for_allocation, row.free_for_allocation) << row.available;
    EXPECT_EQ(figures.margin, row.margin) << row.available;
  }
}

TEST(QvmemBudget, SystemFiguresAreSane) {
  QvmemMemoryStatus status = qvmem_query_memory_status();
  EXPECT_GT(status.total_physical, 0);
  EXPECT_GT(status.available_physical, 0);
  EXPECT_LE(status.available_physical, status.total_physical);
  EXPECT_GT(status.total_virtual, 2 * kGiB);
}

TEST(QvmemBudget, MemorySizesAndTheProcessLimit) {
  const struct {
    const char* text;
    int64_t bytes;
  } sizes[] = {{"4G", 4 * kGiB},      {"4096M", 4 * kGiB}, {"4gib", 4 * kGiB},
               {"512", 512 << 20},    {"64k", 64 << 10},   {"2T", 2048 * kGiB},
               {"0", -1},             {"", -1},            {"-4G", -1},
               {"4X", -1},            {"4G ", -1},         {"99999999999999999999", -1},
               {"9000000000T", -1}};
  for (const auto& size : sizes) {
    EXPECT_EQ(qvmem_parse_memory_size(size.text), size.bytes) << size.text;
  }
  // Under a limit the machine looks as large as the limit, and what the process already holds
  // is not available.
  const QvmemMemoryStatus before = qvmem_query_memory_status();
  qvmem_set_memory_limit(kGiB);
  const QvmemMemoryStatus limited = qvmem_query_memory_status();
  qvmem_set_memory_limit(0);
  EXPECT_EQ(limited.total_physical, std::min<int64_t>(kGiB, before.total_physical));
  EXPECT_LT(limited.available_physical, kGiB);
  EXPECT_GT(limited.available_physical, 0);
  EXPECT_EQ(qvmem_memory_limit(), 0);
}

// Between readings of the system the manager's own commits and releases still count at once.
int g_readings = 0;
QvmemMemoryStatus counted_reading() {
  ++g_readings;
  return status_of(8 * kGiB, (4 + g_readings) * kGiB);
}

TEST(QvmemBudget, CachedFiguresFollowTheManagersOwnCommits) {
  g_readings = 0;
  QvmemStatusCache cache;
  const int64_t later = kQvmemStatusLifetimeNs / 2;
  EXPECT_EQ(5 * kGiB, qvmem_cached_memory_status(&cache, 0, 0, counted_reading).available_physical);
  const QvmemMemoryStatus committed =
      qvmem_cached_memory_status(&cache, later, kGiB, counted_reading);
  EXPECT_EQ(4 * kGiB, committed.available_physical);
  EXPECT_EQ(4 * kGiB, committed.available_virtual);
  EXPECT_EQ(8 * kGiB, committed.total_physical);
  // More committed than the reading had left: nothing is available, never less.
  EXPECT_EQ(
      0, qvmem_cached_memory_status(&cache, later, 6 * kGiB, counted_reading).available_physical);
  // Released again, then read afresh once the reading is old.
  EXPECT_EQ(6 * kGiB,
            qvmem_cached_memory_status(&cache, later, -kGiB, counted_reading).available_physical);
  EXPECT_EQ(1, g_readings);
  EXPECT_EQ(6 * kGiB,
            qvmem_cached_memory_status(&cache, kQvmemStatusLifetimeNs, 3 * kGiB, counted_reading)
                .available_physical);
  EXPECT_EQ(2, g_readings);
}

TEST_F(QvmemTest, AllocatingCommitsNothingAndFreeingANewBlockLeavesNothing) {
  QvmemBlock* block = qvmem_alloc(kBlockSize);
  EXPECT_TRUE(qvmem_is_new(block));
  EXPECT_EQ(qvmem_resident_bytes(), 0);
  EXPECT_EQ(qvmem_list_stats(QVMEM_NEW).count, 1);
  qvmem_unlock(block);  // unlocking a block that was never locked changes nothing
  EXPECT_TRUE(qvmem_is_new(block));
  qvmem_free(block);
  EXPECT_EQ(qvmem_list_stats(QVMEM_NEW).count, 0);
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

// Tile-sized blocks share slabs: each keeps its own bytes, a released block's memory serves the
// next block of its size, and the blocks of several sizes never overlap.
TEST_F(QvmemTest, TileSizedBlocksKeepTheirBytesAndReuseReleasedMemory) {
  constexpr uint64_t kSizes[] = {4096, 36 * 1024, 64 * 1024, 128 * 1024, 512 * 1024};
  std::vector<QvmemBlock*> blocks;
  for (int round = 0; round < 40; ++round) {
    for (uint64_t size : kSizes) {
      QvmemBlock* block = qvmem_alloc(size);
      auto* bytes = static_cast<uint8_t*>(qvmem_lock(block));
      ASSERT_NE(bytes, nullptr);
      std::fill_n(bytes, size, static_cast<uint8_t>(blocks.size()));
      qvmem_unlock(block);
      blocks.push_back(block);
    }
  }
  for (size_t i = 0; i < blocks.size(); ++i) {
    auto* bytes = static_cast<uint8_t*>(qvmem_lock(blocks[i]));
    const uint64_t size = qvmem_size(blocks[i]);
    EXPECT_EQ(std::count(bytes, bytes + size, static_cast<uint8_t>(i)), static_cast<int64_t>(size))
        << i;
    qvmem_unlock(blocks[i]);
  }
  QvmemBlock* last = blocks.back();
  void* released = qvmem_lock(last);
  qvmem_unlock(last);
  qvmem_free(last);
  blocks.pop_back();
  QvmemBlock* next = qvmem_alloc(kSizes[4]);
  EXPECT_EQ(qvmem_lock(next), released);
  qvmem_unlock(next);
  blocks.push_back(next);
  for (QvmemBlock* block : blocks) qvmem_free(block);
  EXPECT_EQ(qvmem_resident_bytes(), 0);
}

// Memory readied ahead serves the next blocks of its size: it is readied until there is room
// for the count asked (blocks in use count too), and blocks taken then need no more of it.
TEST_F(QvmemTest, ReadiedMemoryServesTheNextBlocksOfItsSize) {
  constexpr uint64_t kSize = 72 * 1024;  // 28 blocks a slab; no other test uses the size
  int readied = 0;
  while (qvmem_warm_blocks(kSize, 40)) ++readied;
  EXPECT_EQ(readied, 2);
  EXPECT_FALSE(qvmem_warm_blocks(kSize, 56));
  std::vector<QvmemBlock*> blocks;
  for (int i = 0; i < 56; ++i) {
    blocks.push_back(qvmem_alloc(kSize));
    auto* bytes = static_cast<uint8_t*>(qvmem_lock(blocks.back()));
    ASSERT_NE(bytes, nullptr);
    std::fill_n(bytes, kSize, static_cast<uint8_t>(i));
    qvmem_unlock(blocks.back());
  }
  // The 56 blocks took the readied memory and mapped none of their own.
  EXPECT_FALSE(qvmem_warm_blocks(kSize, 56));
  EXPECT_TRUE(qvmem_warm_blocks(kSize, 57));
  for (int i = 0; i < 56; ++i) {
    auto* bytes = static_cast<uint8_t*>(qvmem_lock(blocks[i]));
    EXPECT_EQ(std::count(bytes, bytes + kSize, static_cast<uint8_t>(i)),
              static_cast<int64_t>(kSize));
    qvmem_unlock(blocks[i]);
    qvmem_free(blocks[i]);
  }
  // Blocks of their own mapping are not readied.
  EXPECT_FALSE(qvmem_warm_blocks(uint64_t(1) << 20, 4));
  EXPECT_EQ(qvmem_resident_bytes(), 0);
}

TEST_F(QvmemTest, EvictedBlockComesBackAndItsSwapFileIsDeleted) {
  ScopedTinyBudget budget(2 * kBlockSize);
  QvmemBlock* first = qvmem_alloc(kBlockSize);
  fill(first, 1);
  QvmemBlock* second = qvmem_alloc(kBlockSize);
  QvmemBlock* third = qvmem_alloc(kBlockSize);
  ASSERT_NE(qvmem_lock(second), nullptr);
  ASSERT_NE(qvmem_lock(third), nullptr);  // no room: the unlocked first block goes out
  EXPECT_TRUE(qvmem_is_swapped(first));
  std::string name = qvmem_swap_file_name(first);
  EXPECT_TRUE(qv_test::file_exists(name));
  EXPECT_EQ(qv_test::read_file(name).size(), kBlockSize);
  qvmem_unlock(second);
  qvmem_unlock(third);
  EXPECT_TRUE(holds_pattern(first, 1));
  EXPECT_FALSE(qv_test::file_exists(name));
  qvmem_free(first);
  qvmem_free(second);
  qvmem_free(third);
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

TEST_F(QvmemTest, LeastRecentlyUnlockedBlockIsEvictedFirst) {
  ScopedTinyBudget budget(4 * kBlockSize);
  std::vector<QvmemBlock*> blocks;
  for (int i = 0; i < 6; ++i) blocks.push_back(qvmem_alloc(kBlockSize));
  for (int i = 0; i < 4; ++i) fill(blocks[i], i);
  fill(blocks[1], 1);  // unlock order now 0, 2, 3, 1
  auto swapped = [&] {
    std::vector<int> out;
    for (int i = 0; i < 6; ++i) {
      if (qvmem_is_swapped(blocks[i])) out.push_back(i);
    }
    return out;
  };
  EXPECT_TRUE(swapped().empty());
  fill(blocks[4], 4);
  EXPECT_EQ(swapped(), std::vector<int>({0}));
  fill(blocks[5], 5);
  EXPECT_EQ(swapped(), std::vector<int>({0, 2}));
  EXPECT_TRUE(holds_pattern(blocks[0], 0));  // brings 0 back, sends 3 out
  EXPECT_EQ(swapped(), std::vector<int>({2, 3}));
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(holds_pattern(blocks[i], i)) << i;
  for (QvmemBlock* block : blocks) qvmem_free(block);
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

TEST_F(QvmemTest, ASecondLockIsRefused) {
  QvmemBlock* block = qvmem_alloc(16);
  EXPECT_NE(qvmem_lock(block), nullptr);
  EXPECT_TRUE(qvmem_is_locked(block));
  EXPECT_EQ(qvmem_lock(block), nullptr);
  qvmem_unlock(block);
  EXPECT_NE(qvmem_lock(block), nullptr);
  qvmem_free(block);  // freeing a locked block releases it
}

TEST_F(QvmemTest, EmptyBlocksHaveAnAddressAndSwapLikeOthers) {
  ScopedTinyBudget budget(kBlockSize - 1);
  QvmemBlock* empty = qvmem_alloc(0);
  EXPECT_NE(qvmem_lock(empty), nullptr);
  qvmem_unlock(empty);
  QvmemBlock* big = qvmem_alloc(kBlockSize);
  EXPECT_NE(qvmem_lock(big), nullptr);
  EXPECT_TRUE(qvmem_is_swapped(empty));
  EXPECT_NE(qvmem_lock(empty), nullptr);
  qvmem_free(empty);
  qvmem_free(big);
}

TEST_F(QvmemTest, SwapFileNamesCarryProcessAndBlockIds) {
  char expected[64];
  QvmemBlock* block = qvmem_alloc(1);
  snprintf(expected, sizeof(expected), "qvmem_%04d_%08d.swap", static_cast<int>(getpid()),
           qvmem_block_id(block));
  EXPECT_EQ(qvmem_swap_file_name(block), dir.path + "/" + expected);
  EXPECT_EQ(qvmem_swap_directory(), dir.path + "/");
  qvmem_init((dir.path + "/").c_str(), 1);  // a trailing slash is kept; the mode stays
  EXPECT_EQ(qvmem_swap_directory(), dir.path + "/");
  EXPECT_EQ(qvmem_mode(), 0);
  qvmem_init("", 0);  // an empty name keeps the folder
  EXPECT_EQ(qvmem_swap_directory(), dir.path + "/");
  QvmemBlock* next = qvmem_alloc(1);
  EXPECT_EQ(qvmem_block_id(next), qvmem_block_id(block) + 1);
  qvmem_free(block);
  qvmem_free(next);
}

TEST(QvmemPlaces, WithoutAFolderSwapFilesGoToTheWorkingFolder) {
  qv_test::TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  qvmem_shutdown();
  qvmem_init(nullptr, 0);
  {
    ScopedTinyBudget budget(kBlockSize);
    QvmemBlock* first = qvmem_alloc(kBlockSize);
    fill(first, 3);
    QvmemBlock* second = qvmem_alloc(kBlockSize);
    qvmem_lock(second);
    EXPECT_EQ(swap_files_in(dir.path).size(), 1u);
    EXPECT_EQ(qvmem_swap_file_name(first).find('/'), std::string::npos);
    qvmem_unlock(second);
    EXPECT_TRUE(holds_pattern(first, 3));
  }
  qvmem_shutdown();
  EXPECT_TRUE(swap_files_in(dir.path).empty());
  ASSERT_EQ(chdir(previous), 0);
}

TEST_F(QvmemTest, ChangingTheFolderKeepsSwappedBlocksReadable) {
  qv_test::TempDir other;
  ScopedTinyBudget budget(kBlockSize);
  QvmemBlock* first = qvmem_alloc(kBlockSize);
  fill(first, 5);
  QvmemBlock* second = qvmem_alloc(kBlockSize);
  fill(second, 6);  // first goes to dir
  qvmem_init(other.path.c_str(), 0);
  EXPECT_TRUE(holds_pattern(first, 5));  // second goes to other, first comes back from dir
  EXPECT_EQ(swap_files_in(dir.path).size(), 0u);
  EXPECT_EQ(swap_files_in(other.path).size(), 1u);
  EXPECT_TRUE(holds_pattern(second, 6));
  qvmem_free(first);
  qvmem_free(second);
}

TEST_F(QvmemTest, ShutdownDeletesTheSwapFilesOfEveryState) {
  ScopedTinyBudget budget(kBlockSize);
  std::vector<QvmemBlock*> blocks;
  for (int i = 0; i < 4; ++i) {
    blocks.push_back(qvmem_alloc(kBlockSize));
    fill(blocks.back(), i);
  }
  qvmem_lock(blocks[3]);
  qvmem_alloc(10);
  EXPECT_EQ(swap_files_in(dir.path).size(), 3u);
  qvmem_shutdown();
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

TEST_F(QvmemTest, ThreadSafeSwitchGuardsConcurrentEviction) {
  qvmem_set_thread_safe(true);
  ScopedTinyBudget budget(3 * kBlockSize);  // fewer than one thread's blocks
  constexpr int kThreads = 4;
  constexpr int kBlocksEach = 6;
  std::vector<std::thread> workers;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([t, &failures] {
      std::vector<QvmemBlock*> blocks;
      for (int i = 0; i < kBlocksEach; ++i) blocks.push_back(qvmem_alloc(kBlockSize));
      for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < kBlocksEach; ++i) {
          auto* data = static_cast<uint8_t*>(qvmem_lock(blocks[i]));
          if (!data) {
            ++failures[t];
            continue;
          }
          uint8_t expected = static_cast<uint8_t>(t * 50 + i + round - 1);
          if (round > 0 && (data[0] != expected || data[kBlockSize - 1] != expected)) {
            ++failures[t];
          }
          memset(data, static_cast<uint8_t>(t * 50 + i + round), kBlockSize);
          qvmem_unlock(blocks[i]);
        }
      }
      for (QvmemBlock* block : blocks) qvmem_free(block);
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
  EXPECT_GT(qvmem_list_stats(QVMEM_SWAPPED).highest_count, 0);
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

TEST_F(QvmemTest, MappedBlocksKeepTheirBytesInTheirFiles) {
  start(2);
  EXPECT_EQ(qvmem_mode(), 2);
  QvmemBlock* block = qvmem_alloc(100000);
  std::string name = qvmem_swap_file_name(block);
  EXPECT_EQ(name.substr(name.size() - 5), ".mmap");
  EXPECT_EQ(qv_test::read_file(name).size(), 100000u);  // created with its size at once
  EXPECT_TRUE(qvmem_is_new(block));
  fill(block, 9);
  EXPECT_TRUE(qvmem_is_swapped(block));
  EXPECT_EQ(static_cast<uint8_t>(qv_test::read_file(name)[99999]),
            static_cast<uint8_t>(99999 * 7 + 9));
  // A second holder keeps the view until both have unlocked.
  auto* view = static_cast<uint8_t*>(qvmem_lock(block));
  EXPECT_EQ(qvmem_lock(block), view);
  qvmem_unlock(block);
  EXPECT_TRUE(qvmem_is_locked(block));
  EXPECT_EQ(view[1], static_cast<uint8_t>(7 + 9));
  qvmem_unlock(block);
  EXPECT_TRUE(holds_pattern(block, 9));
  QvmemBlock* empty = qvmem_alloc(0);
  EXPECT_NE(qvmem_lock(empty), nullptr);
  qvmem_unlock(empty);
  qvmem_free(block);
  EXPECT_FALSE(qv_test::file_exists(name));
  qvmem_alloc(10);
  qvmem_shutdown();
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

TEST_F(QvmemTest, BackgroundThreadEvictsAndLockBringsBlocksBack) {
  start(1);
  EXPECT_EQ(qvmem_mode(), 1);
  ScopedTinyBudget budget(100 * kBlockSize);
  std::vector<QvmemBlock*> blocks;
  for (int i = 0; i < 6; ++i) {
    blocks.push_back(qvmem_alloc(kBlockSize));
    fill(blocks.back(), i);
  }
  EXPECT_EQ(qvmem_resident_bytes(), int64_t(6 * kBlockSize));
  budget.budget.limit.store(3 * kBlockSize);  // from now on only the thread evicts
  for (int i = 0; i < 300 && qvmem_resident_bytes() > int64_t(3 * kBlockSize); ++i) usleep(10000);
  EXPECT_LE(qvmem_resident_bytes(), int64_t(3 * kBlockSize));
  EXPECT_GE(swap_files_in(dir.path).size(), 3u);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(holds_pattern(blocks[i], i)) << i;
  // Several holders: the block stays locked until the last one unlocks.
  void* data = qvmem_lock(blocks[0]);
  EXPECT_EQ(qvmem_lock(blocks[0]), data);
  qvmem_unlock(blocks[0]);
  EXPECT_TRUE(qvmem_is_locked(blocks[0]));
  qvmem_unlock(blocks[0]);
  EXPECT_FALSE(qvmem_is_locked(blocks[0]));
  EXPECT_GT(qvmem_list_stats(QVMEM_BEING_SWAPPED).highest_count, 0);
  qvmem_shutdown();
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

}  // namespace
