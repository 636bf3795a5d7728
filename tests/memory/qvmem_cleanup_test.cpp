// Swap files never outlive the process: the helper program fills blocks, sends some to swap
// files and is then stopped by a signal, returns normally or hits a fatal error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace {

std::vector<std::string> swap_files_in(const std::string& dir) {
  std::vector<std::string> found;
  for (const std::string& name : qv_test::list_files(dir)) {
    if (name.rfind("qvmem_", 0) == 0) found.push_back(name);
  }
  return found;
}

// The helper program running with its standard output on a pipe.
struct Helper {
  pid_t pid = -1;
  int output = -1;
  std::string text;  // what it printed so far

  // Standard error goes to error_file when one is named.
  Helper(const std::string& command, const std::string& dir, int mode,
         const std::string& error_file = "") {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    if (!error_file.empty()) {
      posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(), O_WRONLY | O_CREAT, 0600);
    }
    std::string mode_text = std::to_string(mode);
    std::vector<char*> argv = {const_cast<char*>(QVMEM_HELPER), const_cast<char*>(command.c_str()),
                               const_cast<char*>(dir.c_str()), mode_text.data(), nullptr};
    if (posix_spawn(&pid, QVMEM_HELPER, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    output = pipe_ends[0];
  }
  ~Helper() {
    if (output >= 0) close(output);
  }

  // Reads until a whole line has arrived or the output ends.
  std::string read_line() {
    char c;
    std::string line;
    while (read(output, &c, 1) == 1) {
      text += c;
      if (c == '\n') break;
      line += c;
    }
    return line;
  }

  // Waits for the end and returns the raw wait status.
  int wait_status() {
    int status = 0;
    waitpid(pid, &status, 0);
    std::string rest;
    while (!read_line().empty()) {
    }
    return status;
  }
};

class QvmemCleanup : public ::testing::TestWithParam<int> {};

TEST_P(QvmemCleanup, StopSignalsDeleteTheSwapFiles) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    qv_test::TempDir dir;
    Helper helper("hold", dir.path, GetParam());
    ASSERT_GT(helper.pid, 0);
    std::string line = helper.read_line();
    ASSERT_EQ(line.rfind("ready ", 0), 0u) << line;
    size_t written = std::stoul(line.substr(6));
    EXPECT_GE(written, GetParam() == 2 ? 8u : 5u);
    EXPECT_EQ(swap_files_in(dir.path).size(), written);
    kill(helper.pid, signal_number);
    int status = helper.wait_status();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_TRUE(swap_files_in(dir.path).empty()) << "signal " << signal_number;
  }
}

TEST_P(QvmemCleanup, ExitDeletesTheSwapFiles) {
  qv_test::TempDir dir;
  Helper helper("exit", dir.path, GetParam());
  ASSERT_GT(helper.pid, 0);
  EXPECT_EQ(helper.read_line().rfind("ready ", 0), 0u);
  int status = helper.wait_status();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

TEST_P(QvmemCleanup, ExitNowDeletesTheSwapFilesWhileBlocksAreHeld) {
  qv_test::TempDir dir;
  Helper helper("exitnow", dir.path, GetParam());
  ASSERT_GT(helper.pid, 0);
  std::string line = helper.read_line();
  ASSERT_EQ(line.rfind("ready ", 0), 0u) << line;
  EXPECT_GT(std::stoul(line.substr(6)), 0u);
  int status = helper.wait_status();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  EXPECT_TRUE(swap_files_in(dir.path).empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, QvmemCleanup, ::testing::Values(0, 1, 2));

TEST(QvmemFatal, SwapFileFailuresEndTheRunWithTheMessage) {
  struct Row {
    const char* command;  // fatal: the swap folder does not exist; lost: a swap file vanished
    int mode;
    const char* output;
  };
  const Row rows[] = {
      {"fatal", 0, "qvmem - fatalerror - qvmem_sys_saveswapdata() failed\n"},
      {"fatal", 1, "qvmem - fatalerror - qvmem_sys_saveswapdata() failed\n"},
      {"fatal", 2, "qvmem - fatalerror - qvmem_mmap_alloc - CreateFile() failed\n"},
      {"lost", 0, "ready 6\nqvmem - fatalerror - qvmem_sys_loadswapdata() failed\n"},
      {"lost", 1, "ready 6\nqvmem - fatalerror - qvmem_sys_loadswapdata() failed\n"},
  };
  for (const Row& row : rows) {
    qv_test::TempDir dir;
    const bool missing_folder = std::string(row.command) == "fatal";
    const std::string swap_folder = missing_folder ? dir.file("missing") : dir.path;
    Helper helper(row.command, swap_folder, row.mode, dir.file("stderr.txt"));
    ASSERT_GT(helper.pid, 0);
    int status = helper.wait_status();
    ASSERT_TRUE(WIFEXITED(status)) << row.command << row.mode;
    EXPECT_EQ(WEXITSTATUS(status), 1) << row.command << row.mode;
    EXPECT_EQ(helper.text, row.output) << row.command << row.mode;
    EXPECT_TRUE(swap_files_in(dir.path).empty()) << row.command << row.mode;
    std::string errors = qv_test::read_file(dir.file("stderr.txt"));
    if (missing_folder && row.mode != 2) {
      char expected[256];
      snprintf(expected, sizeof(expected),
               "\ncreating file %s/qvmem_%04d_00000001.swap failed: %s (errno=%d)\n\n",
               swap_folder.c_str(), static_cast<int>(helper.pid), strerror(ENOENT), ENOENT);
      EXPECT_EQ(errors, expected) << row.mode;
    } else {
      EXPECT_EQ(errors, "") << row.command << row.mode;
    }
  }
}

}  // namespace
