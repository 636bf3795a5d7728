// Helpers shared by the test programs: temporary folders, files, and running the built
// qorveltools binary with captured output.
#pragma once

#include <string>
#include <vector>

namespace qv_test {

// What one run of qorveltools left behind.
struct CommandResult {
  int status = -1;  // exit status, or 128 + signal number when killed by a signal
  std::string out;  // everything written to standard output
  std::string err;  // everything written to standard error
};

// Runs the built qorveltools with the given arguments (element 0 is the program path, added here),
// feeding stdin_text on standard input, in working folder cwd (empty: the current one).
CommandResult run_qorveltools(const std::vector<std::string>& args,
                              const std::string& stdin_text = "", const std::string& cwd = "");

// Path of the built qorveltools binary (or the one QV_TEST_BINARY names).
std::string qorveltools_binary();

// Path of a file in the shared real-world corpus, e.g. corpus_file("jpeg/skimage_rocket.jpg").
std::string corpus_file(const std::string& relative);

// A fresh folder under the system temp folder, removed with everything in it when destroyed.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;  // without a trailing slash
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);  // empty when unreadable
bool write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);
std::vector<std::string> list_files(const std::string& dir);  // names, sorted, without . and ..

}  // namespace qv_test
