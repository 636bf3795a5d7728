// The testserver tool as users run it: the built binary serving a folder on a loopback port.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "http_client.h"

namespace {

using qv_test::TempDir;
using qv_test::write_file;
using server_test::Reply;
using server_test::request;

// The tool running in a child process with its standard output on a pipe.
struct RunningTool {
  pid_t child = -1;
  int output = -1;
  std::string printed;
  int port = 0;

  explicit RunningTool(const std::vector<std::string>& args) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    child = fork();
    if (child == 0) {
      dup2(pipe_ends[1], 1);
      close(pipe_ends[0]);
      std::vector<std::string> all = {qv_test::qorveltools_binary()};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (std::string& text : all) argv.push_back(&text[0]);
      argv.push_back(nullptr);
      setenv("PATH", "/nonexistent", 1);  // no browser opener, whatever the machine has
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(pipe_ends[1]);
    output = pipe_ends[0];
  }

  // Reads the printed text until the address line has arrived (at most five seconds).
  bool wait_for_address() {
    std::regex address("http://localhost:([0-9]+)");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      std::smatch found;
      if (std::regex_search(printed, found, address) &&
          printed.find("Close this window") != std::string::npos) {
        port = std::stoi(found[1]);
        return true;
      }
      pollfd entry = {output, POLLIN, 0};
      if (poll(&entry, 1, 200) <= 0) continue;
      char buffer[1024];
      ssize_t got = read(output, buffer, sizeof(buffer));
      if (got <= 0) return false;
      printed.append(buffer, static_cast<size_t>(got));
    }
    return false;
  }

  // Sends a signal and returns the exit status (or -1 when the child does not end in time).
  int stop(int signal_number) {
    kill(child, signal_number);
    for (int i = 0; i < 100; ++i) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(50000);
    }
    return -1;
  }

  ~RunningTool() {
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
    if (output >= 0) close(output);
  }
};

TEST(Testserver, ServesAFolderWithTourHtmlAsItsIndexAndStopsOnSignals) {
  TempDir folder;
  write_file(folder.file("tour.html"), "<html>tour</html>");
  write_file(folder.file("tour.xml"), "<qorvel/>");
  write_file(folder.file("pano.jpg"), "jpeg");
  for (int signal_number : {SIGINT, SIGTERM}) {
    RunningTool tool({"testingserver", "-localonly", folder.path});
    ASSERT_TRUE(tool.wait_for_address()) << tool.printed;
    EXPECT_EQ(tool.printed, "Running localhost server...\n\nLocal folder:\n  " + folder.path +
                                "/\n\nServer address for this computer:\n  http://localhost:" +
                                std::to_string(tool.port) +
                                "\n\nClose this window to stop the server!\n\n\n");
    Reply index = request(tool.port, "GET", "/");
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body, "<html>tour</html>");
    Reply xml = request(tool.port, "GET", "/tour.xml");
    EXPECT_EQ(xml.header("cache-control"), "no-cache, must-revalidate");
    EXPECT_EQ(xml.header("access-control-allow-origin"), "*");
    Reply jpg = request(tool.port, "GET", "/pano.jpg");
    EXPECT_EQ(jpg.header("cache-control"), "private, max-age=3600");
    EXPECT_EQ(jpg.header("connection"), "keep-alive");
    EXPECT_EQ(jpg.header("access-control-allow-origin"), "*");
    EXPECT_EQ(tool.stop(signal_number), 0);
  }
}

TEST(Testserver, ListsAFolderWithoutIndexByType) {
  TempDir folder;
  write_file(folder.file("b.xml"), "x");
  write_file(folder.file("a.jpg"), "j");
  write_file(folder.file("c.html"), "h");
  mkdir(folder.file("z_dir").c_str(), 0755);
  RunningTool tool({"testserver", "-localonly", folder.path});
  ASSERT_TRUE(tool.wait_for_address()) << tool.printed;
  std::string page = request(tool.port, "GET", "/").body;
  size_t dir = page.find(">z_dir/<");
  size_t html = page.find(">c.html<");
  size_t jpg = page.find(">a.jpg<");
  size_t xml = page.find(">b.xml<");
  ASSERT_NE(xml, std::string::npos) << page;
  EXPECT_LT(dir, html);
  EXPECT_LT(html, jpg);
  EXPECT_LT(jpg, xml);
  EXPECT_EQ(tool.stop(SIGINT), 0);
}

TEST(Testserver, RefusesAMissingFolderAndExtraArguments) {
  TempDir folder;
  qv_test::CommandResult missing = qv_test::run_qorveltools({"testserver", folder.file("missing")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out.rfind("ERROR: starting localhost server not possible...\n", 0), 0u)
      << missing.out;
  qv_test::CommandResult extra = qv_test::run_qorveltools({"testserver", "a", "b"});
  EXPECT_EQ(extra.status, 1);
  qv_test::CommandResult unknown = qv_test::run_qorveltools({"testserver", "-bogus"});
  EXPECT_EQ(unknown.status, 1);
}

}  // namespace
