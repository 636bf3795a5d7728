// The fixture of the memory tests: every test starts a fresh memory manager that swaps into its
// own temporary folder and shuts it down afterwards.
#pragma once

#include <gtest/gtest.h>

#include "memory/qvmem.h"
#include "support/test_support.h"

// Each test starts with a fresh back end (mode 0 unless a test restarts it with start) in its
// own swap folder.
class SwapFolderTest : public ::testing::Test {
 protected:
  void start(int mode) {
    qvmem_shutdown();
    qvmem_init(dir.path.c_str(), mode);
  }
  void SetUp() override { start(0); }
  void TearDown() override { qvmem_shutdown(); }
  qv_test::TempDir dir;
};
