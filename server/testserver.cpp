#include "server/testserver.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/args.h"
#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"
#include "server/http_server.h"

extern char** environ;

namespace {

const char kStartFailed[] = "ERROR: starting localhost server not possible...\n";
const char kUsage[] = "Syntax: testserver [-localonly] [folder]\n";
const char kRunning[] = "Running localhost server...\n\n";
const char kLocalFolder[] = "Local folder:\n  ";
const char kNetworkAddress[] = "Server address for the local network:\n  %s\n\n\n";
const char kLocalAddress[] = "Server address for this computer:\n  %s\n\n";
const char kStopHint[] = "Close this window to stop the server!\n\n\n";
// What is published and to whom, in one line.
const char kPublishedLocal[] = "Publishing %s to this computer only (127.0.0.1).\n\n";
const char kPublishedNetwork[] =
    "Publishing %s to other computers too (all interfaces), at %s.\n\n";
const char kPublishedNoNetwork[] =
    "Publishing %s on all interfaces, but no other computer can reach this one now (no network "
    "address).\n\n";
const char kNoTourHere[] =
    "The folder of this program holds no tour (an .html page with its .xml): %s\n"
    "Name the tour folder, for example: qorveltools testserver -localonly path/to/tour\n";
const char kTourIndexFiles[] = "index.html,index.htm,tour.html,qorvel.html";
const char kListingOrder[] = "tdndddsd";

// The folder to serve: the executable's, with one trailing separator.
std::string executable_folder() {
  std::string folder = module_path();
  size_t cut = folder.find_last_of("/\\");
  folder = cut == std::string::npos ? std::string() : folder.substr(0, cut + 1);
  if (folder.size() > 4 && folder.compare(folder.size() - 3, 3, "/./") == 0) {
    folder.resize(folder.size() - 2);
  }
  return folder;
}

// The IPv4 addresses of this computer's interfaces that other computers can reach (up, not
// loopback), in interface order without repeats.
std::vector<std::string> network_addresses() {
  std::vector<std::string> addresses;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return addresses;
  for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    const sockaddr_in* ip = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if ((ntohl(ip->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &ip->sin_addr, text, sizeof(text));
    bool seen = false;
    for (const std::string& known : addresses) seen = seen || known == text;
    if (!seen) addresses.push_back(text);
  }
  freeifaddrs(interfaces);
  return addresses;
}

// Whether a folder holds a tour: a page NAME.html (or .htm) with its scene NAME.xml beside it.
bool folder_holds_tour(const std::string& folder) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) return false;
  std::vector<std::string> pages;
  std::vector<std::string> scenes;
  while (dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || dot == 0) continue;
    std::string extension = lowered_ascii(name.substr(dot + 1));
    if (extension == "html" || extension == "htm") pages.push_back(name.substr(0, dot));
    if (extension == "xml") scenes.push_back(name.substr(0, dot));
  }
  for (const std::string& page : pages) {
    for (const std::string& scene : scenes) {
      if (page == scene) return true;
    }
  }
  return false;
}

// Whether an executable of this name is on the search path.
bool program_on_path(const char* name) {
  const char* path = getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string folder(rest.substr(0, colon));
    rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon + 1);
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Opens the desktop's browser on the address, with the usual signal mask; the child's id, or
// -1 when no opener exists (the address is printed anyway).
pid_t open_browser(const std::string& address) {
  if (!program_on_path("xdg-open")) return -1;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::string program = "xdg-open";
  std::string argument = address;
  char* arguments[] = {&program[0], &argument[0], nullptr};
  pid_t child = -1;
  if (posix_spawnp(&child, "xdg-open", nullptr, &attributes, arguments, environ) != 0) child = -1;
  posix_spawnattr_destroy(&attributes);
  return child;
}

// Blocks SIGINT, SIGTERM and SIGHUP (the terminal window closing) on this thread and the server
// threads it starts, so that they arrive only through wait_for_stop_signal; restored by the
// destructor.
struct StopSignals {
  sigset_t set;
  sigset_t previous;
  StopSignals() {
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, &previous);
  }
  ~StopSignals() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  void wait_for_stop_signal() const {
    int received = 0;
    sigwait(&set, &received);
  }
};

}  // namespace

void testserver_print_usage(ConsoleOps* ops) {
  ops->log(ops, "%s", kUsage);
}

int testserver_main(int argc, char** argv, ConsoleOps* ops) {
  bool local_only = false;
  const OptionRow rows[] = {{"localonly", OptionKind::Flag, &local_only}};
  OptionWalk walk = walk_options(argc, argv, rows, sizeof(rows) / sizeof(rows[0]));
  if (!walk.unmatched.empty() || walk.positionals.size() > 1) {
    ops->log(ops, "%s", kUsage);
    return 1;
  }
  std::string folder = executable_folder();
  if (walk.positionals.empty() && !folder_holds_tour(folder)) {
    // An installed program's folder (/usr/bin) is no place to publish.
    ops->log(ops, "%s", kStartFailed);
    ops->log(ops, kNoTourHere, utf8_to_console(folder).c_str());
    return 1;
  }
  if (!walk.positionals.empty()) {
    folder = absolute_path(walk.positionals[0], false);
    if (folder.empty() || folder.back() != '/') folder += '/';
    if (!is_directory(folder)) {
      ops->log(ops, "%s", kStartFailed);
      ops->log(ops, "folder not found: %s\n", utf8_to_console(walk.positionals[0]).c_str());
      return 1;
    }
  }

  StopSignals signals;
  const char* options[] = {"document_root",
                           folder.c_str(),
                           "listening_ports",
                           local_only ? "127.0.0.1:0" : "0",
                           "cgi_pattern",
                           "",
                           "ssi_pattern",
                           "",
                           "index_files",
                           kTourIndexFiles,
                           "enable_keep_alive",
                           "yes",
                           nullptr};
  std::string error;
  HttpServerPtr server = start_server(nullptr, options, &error);
  if (!server) {
    ops->log(ops, "%s", kStartFailed);
    if (!error.empty()) ops->log(ops, "%s\n", error.c_str());
    return 1;
  }
  // The switches are set before the address is printed, so that no request sees them unset.
  server->no_cache.store(true);
  server->no_cache_text_only.store(true);
  server->cors.store(true);
  set_listing_order(server.get(), kListingOrder);
  char local_address[64];
  snprintf(local_address, sizeof(local_address), "http://localhost:%d", server->bound_port);
  std::string browser_address = local_address;
  std::string shown_folder = utf8_to_console(folder);
  ops->log(ops, "%s%s%s\n\n", kRunning, kLocalFolder, shown_folder.c_str());
  // The addresses come from the interfaces themselves: a host name may resolve to loopback
  // although the socket listens on every interface.
  std::vector<std::string> addresses;
  if (!local_only) addresses = network_addresses();
  if (local_only) {
    ops->log(ops, kPublishedLocal, shown_folder.c_str());
  } else if (addresses.empty()) {
    ops->log(ops, kPublishedNoNetwork, shown_folder.c_str());
  } else {
    std::string list;
    for (const std::string& address : addresses) list += (list.empty() ? "" : ", ") + address;
    ops->log(ops, kPublishedNetwork, shown_folder.c_str(), list.c_str());
  }
  if (addresses.empty()) {
    ops->log(ops, kLocalAddress, local_address);
  } else {
    std::string lines;
    for (const std::string& address : addresses) {
      char network_address[64];
      snprintf(network_address, sizeof(network_address), "http://%s:%d", address.c_str(),
               server->bound_port);
      if (lines.empty()) browser_address = network_address;
      lines += (lines.empty() ? "" : "\n  ") + std::string(network_address);
    }
    ops->log(ops, kLocalAddress, local_address);
    ops->log(ops, kNetworkAddress, lines.c_str());
  }
  ops->log(ops, "%s", kStopHint);

  pid_t browser = open_browser(browser_address);
  signals.wait_for_stop_signal();
  server.reset();
  if (browser > 0) waitpid(browser, nullptr, WNOHANG);
  return 0;
}
