// The testserver tool as users run it: the built binary serving a folder on a loopback port.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <thread>

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

  explicit RunningTool(const std::vector<std::string>& args,
                       const std::string& binary = qv_test::qorveltools_binary()) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    child = fork();
    if (child == 0) {
      dup2(pipe_ends[1], 1);
      close(pipe_ends[0]);
      std::vector<std::string> all = {binary};
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
                                "/\n\nPublishing " + folder.path +
                                "/ to this computer only (127.0.0.1).\n\n"
                                "Server address for this computer:\n  http://localhost:" +
                                std::to_string(tool.port) +
                                "\n\nClose this window to stop the server!\n\n\n");
    // Listening on 127.0.0.1 only: another loopback address finds no server.
    EXPECT_FALSE(server_test::Client(tool.port, nullptr, "127.0.0.2").connected());
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

// Runs body on a thread of its own inside a new network namespace that has only a loopback
// interface (brought up), so that a server listening on every interface is reachable from
// nowhere else. False when the namespace cannot be made (without root rights).
bool in_loopback_namespace(const std::function<void()>& body) {
  bool made = false;
  std::thread inside([&] {
    if (unshare(CLONE_NEWNET) != 0) return;
    int control = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request = {};
    snprintf(request.ifr_name, sizeof(request.ifr_name), "lo");
    bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(control, SIOCSIFFLAGS, &request) == 0;
    close(control);
    if (!up) return;
    made = true;
    body();
  });
  inside.join();
  return made;
}

// Runs a command (from the calling thread, so in its namespace); true when it succeeds.
bool run_quietly(const std::string& command) {
  return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(Testserver, SaysTruthfullyWhoCanConnectOnEveryInterface) {
  TempDir folder;
  write_file(folder.file("tour.html"), "<html>tour</html>");
  const std::string published = "Publishing " + folder.path + "/ ";
  bool made = in_loopback_namespace([&] {
    {
      // Only loopback: every interface listens, but nobody else can reach this computer.
      RunningTool tool({"testserver", folder.path});
      ASSERT_TRUE(tool.wait_for_address()) << tool.printed;
      EXPECT_NE(tool.printed.find(published +
                                  "on all interfaces, but no other computer can reach this "
                                  "one now (no network address).\n"),
                std::string::npos)
          << tool.printed;
      EXPECT_EQ(tool.printed.find("local network"), std::string::npos) << tool.printed;
      // The socket listens on every interface: any loopback address reaches it.
      server_test::Client other(tool.port, nullptr, "127.0.0.2");
      ASSERT_TRUE(other.connected());
      ASSERT_TRUE(other.send_text("GET / HTTP/1.0\r\n\r\n"));
      EXPECT_EQ(server_test::parse_reply(other.read_all()).body, "<html>tour</html>");
      EXPECT_EQ(tool.stop(SIGINT), 0);
    }
    // An interface with an address of its own, inside the namespace only (a bridge or a tap
    // device; skipped where the system has neither).
    const bool interface_made =
        (run_quietly("ip link add qvtest0 type bridge") ||
         run_quietly("ip tuntap add dev qvtest0 mode tap")) &&
        run_quietly("ip addr add 10.213.7.9/24 dev qvtest0") &&
        run_quietly("ip link set qvtest0 up");
    if (!interface_made) return;
    RunningTool tool({"testserver", folder.path});
    ASSERT_TRUE(tool.wait_for_address()) << tool.printed;
    const std::string port = std::to_string(tool.port);
    EXPECT_NE(tool.printed.find(published +
                                "to other computers too (all interfaces), at 10.213.7.9.\n"),
              std::string::npos)
        << tool.printed;
    EXPECT_NE(tool.printed.find("Server address for the local network:\n  http://10.213.7.9:" +
                                port + "\n"),
              std::string::npos)
        << tool.printed;
    // The printed address is the listening socket's.
    server_test::Client remote(tool.port, nullptr, "10.213.7.9");
    ASSERT_TRUE(remote.connected());
    ASSERT_TRUE(remote.send_text("GET /tour.html HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(server_test::parse_reply(remote.read_all()).body, "<html>tour</html>");
    EXPECT_EQ(tool.stop(SIGTERM), 0);
  });
  if (!made) GTEST_SKIP() << "no network namespace (needs root)";
}

TEST(Testserver, PublishesItsOwnFolderOnlyWhenItHoldsATour) {
  // The built program's folder holds no tour: refused, with what to type.
  qv_test::CommandResult refused = qv_test::run_qorveltools({"testserver", "-localonly"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out.rfind("ERROR: starting localhost server not possible...\n"
                              "The folder of this program holds no tour",
                              0),
            0u)
      << refused.out;
  EXPECT_NE(refused.out.find("qorveltools testserver -localonly path/to/tour\n"),
            std::string::npos);
  // A copy of the program beside a tour (a page with its scene) serves that folder.
  TempDir folder;
  const std::string copy = folder.file("qorveltools");
  write_file(copy, qv_test::read_file(qv_test::qorveltools_binary()));
  chmod(copy.c_str(), 0755);
  write_file(folder.file("earth.html"), "<html>earth</html>");
  write_file(folder.file("earth.xml"), "<qorvel/>");
  RunningTool tool({"testserver", "-localonly"}, copy);
  ASSERT_TRUE(tool.wait_for_address()) << tool.printed;
  EXPECT_NE(tool.printed.find("Local folder:\n  " + folder.path + "/\n"), std::string::npos)
      << tool.printed;
  EXPECT_EQ(request(tool.port, "GET", "/earth.html").body, "<html>earth</html>");
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
