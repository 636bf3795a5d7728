#include "base/whole_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "base/files.h"
#include "support/test_support.h"

namespace {

using qv_test::TempDir;

// A write that cannot finish leaves the old file as it was, and no partial name.
TEST(WholeFiles, AFileAppearsWholeOrNotAtAll) {
  TempDir dir;
  ASSERT_TRUE(write_whole_file(dir.file("x.txt"), std::string("old")));
  PartialFile partial;
  ASSERT_TRUE(partial_file_begin(dir.file("x.txt"), &partial));
  EXPECT_EQ(partial.partial_path.substr(0, dir.path.size() + 8), dir.path + "/.x.txt.");
  EXPECT_TRUE(is_partial_name(partial.partial_path.substr(dir.path.size() + 1)));
  ASSERT_TRUE(qv_test::write_file(partial.partial_path, "half"));
  partial_file_created(&partial);
  EXPECT_EQ(partial_file_count(), 1);
  partial_file_abandon(&partial);
  EXPECT_EQ(partial_file_count(), 0);
  EXPECT_EQ(qv_test::read_file(dir.file("x.txt")), "old");
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"x.txt"});

  ASSERT_TRUE(write_whole_file(dir.file("x.txt"), std::string("new")));
  EXPECT_EQ(qv_test::read_file(dir.file("x.txt")), "new");
  EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{"x.txt"});
  // A folder that is a file: the system's reason stays in errno.
  errno = 0;
  EXPECT_FALSE(write_whole_file(dir.file("x.txt/y.txt"), std::string("z")));
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(system_reason(ENOTDIR), "not a directory");
  EXPECT_EQ(partial_file_count(), 0);
}

TEST(WholeFiles, InputProblemsNeverBlock) {
  TempDir dir;
  ASSERT_TRUE(qv_test::write_file(dir.file("file.jpg"), "data"));
  ASSERT_EQ(mkfifo(dir.file("pipe.jpg").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
  const struct {
    std::string path;
    std::string problem;
  } rows[] = {
      {dir.file("file.jpg"), ""},
      {dir.file("missing.jpg"), "no such file or directory"},
      {dir.file("file.jpg/x.jpg"), "not a directory"},
      {dir.file("pipe.jpg"), "not a regular file"},
      {dir.file("folder"), "not a regular file"},
      {"/dev/null", "not a regular file"},
  };
  for (const auto& row : rows) EXPECT_EQ(input_file_problem(row.path), row.problem) << row.path;
}

// A stop signal while partial files exist deletes them, then ends the process as before.
TEST(WholeFiles, AStopSignalDeletesPartialFiles) {
  TempDir dir;
  for (int signal_number : {SIGTERM, SIGINT}) {
    const pid_t child = fork();
    if (child == 0) {
      PartialFile partial;
      if (!partial_file_begin(dir.file("out.jpg"), &partial)) _exit(2);
      qv_test::write_file(partial.partial_path, "half");
      partial_file_created(&partial);
      raise(signal_number);
      _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    EXPECT_EQ(qv_test::list_files(dir.path), std::vector<std::string>{});
  }
}

}  // namespace
