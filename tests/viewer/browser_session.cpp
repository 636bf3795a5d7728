#include "browser_session.h"

#include <fcntl.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Waits in the page until the viewer's status says ready or error (or 20 s passed), then for two
// more frames so that the last drawing is on screen; gives the state.
const char kWaitForViewer[] =
    "new Promise(function (resolve) {"
    "  var start = Date.now();"
    "  (function poll() {"
    "    var s = document.querySelector('.qv-status');"
    "    var state = s ? s.getAttribute('data-state') : 'none';"
    "    if (state === 'ready' || state === 'error' || Date.now() - start > 20000) {"
    "      requestAnimationFrame(function () {"
    "        requestAnimationFrame(function () { resolve(state); }); });"
    "    } else setTimeout(poll, 50);"
    "  })();"
    "})";

std::string json_string(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

bool base64_decode(const std::string& text, std::string* out) {
  int value = 0, bits = 0;
  for (char c : text) {
    int digit;
    if (c >= 'A' && c <= 'Z')
      digit = c - 'A';
    else if (c >= 'a' && c <= 'z')
      digit = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      digit = c - '0' + 52;
    else if (c == '+')
      digit = 62;
    else if (c == '/')
      digit = 63;
    else if (c == '=')
      break;
    else
      return false;
    value = ((value << 6) | digit) & 0xFFFF;  // only the bits not yet given out matter
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((value >> bits) & 0xFF));
    }
  }
  return true;
}

// The browser over its DevTools pipe: commands go to its fd 3, answers and events come from its
// fd 4, each message one JSON text ended by a zero byte.
struct Browser {
  pid_t pid = -1;
  int to_browser = -1;
  int from_browser = -1;
  int next_id = 1;
  std::string pending;  // bytes read after the last complete message

  bool start(const std::vector<std::string>& command, const std::string& log_path) {
    int commands[2], answers[2];
    if (pipe(commands) != 0) return false;
    if (pipe(answers) != 0) return false;
    std::vector<char*> arguments;
    for (const std::string& word : command) arguments.push_back(const_cast<char*>(word.c_str()));
    arguments.push_back(nullptr);
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      // The browser ends with this program, also when it is stopped or crashes.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      const int in = fcntl(commands[0], F_DUPFD, 10), out = fcntl(answers[1], F_DUPFD, 10);
      if (log < 0 || in < 0 || out < 0) _exit(127);
      dup2(log, 1);
      dup2(log, 2);
      dup2(in, 3);
      dup2(out, 4);
      close_range(5, ~0U, 0);
      execvp(arguments[0], arguments.data());
      _exit(127);
    }
    const bool failed = pid < 0;
    close(commands[0]);
    close(answers[1]);
    to_browser = commands[1];
    from_browser = answers[0];
    fcntl(to_browser, F_SETFD, FD_CLOEXEC);
    fcntl(from_browser, F_SETFD, FD_CLOEXEC);
    if (failed) pid = -1;
    return !failed;
  }

  // Sends one command (to a page's session when session is not empty) and waits for its answer;
  // false on a closed pipe, a timeout or an error answer (the error text goes to *error).
  bool call(const std::string& method, const std::string& params, const std::string& session,
            rapidjson::Document* answer, std::string* error, double timeout_seconds = 30) {
    const int id = next_id++;
    std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                          "\",\"params\":" + (params.empty() ? "{}" : params);
    if (!session.empty()) message += ",\"sessionId\":" + json_string(session);
    message += "}";
    message.push_back('\0');
    for (size_t done = 0; done < message.size();) {
      const ssize_t n = write(to_browser, message.data() + done, message.size() - done);
      if (n <= 0) {
        *error = "the browser's pipe is closed";
        return false;
      }
      done += static_cast<size_t>(n);
    }
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(timeout_seconds * 1000));
    for (;;) {
      size_t end;
      while ((end = pending.find('\0')) != std::string::npos) {
        const std::string text = pending.substr(0, end);
        pending.erase(0, end + 1);
        answer->Parse(text.c_str());
        if (answer->HasParseError() || !answer->IsObject()) continue;
        if (!answer->HasMember("id") || !(*answer)["id"].IsInt() ||
            (*answer)["id"].GetInt() != id) {
          continue;  // an event or an older answer
        }
        if (answer->HasMember("error")) {
          const auto& e = (*answer)["error"];
          *error = e.HasMember("message") && e["message"].IsString() ? e["message"].GetString()
                                                                     : "error answer";
          return false;
        }
        return true;
      }
      const long left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        *error = "no answer to " + method;
        return false;
      }
      pollfd wait_for = {from_browser, POLLIN, 0};
      if (poll(&wait_for, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[65536];
      const ssize_t n = read(from_browser, buffer, sizeof(buffer));
      if (n <= 0) {
        *error = "the browser's pipe is closed";
        return false;
      }
      pending.append(buffer, static_cast<size_t>(n));
    }
  }

  // Asks the browser to close, and stops it if it does not within a few seconds.
  void stop() {
    if (pid <= 0) return;
    rapidjson::Document answer;
    std::string error;
    call("Browser.close", "", "", &answer, &error, 5);
    close(to_browser);
    close(from_browser);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
  }
};

// Evaluates an expression in the page; its string value, or empty with *error set.
bool evaluate(Browser* browser, const std::string& session, const std::string& expression,
              bool await_promise, std::string* value, std::string* error) {
  rapidjson::Document answer;
  const std::string params =
      "{\"expression\":" + json_string(expression) +
      ",\"returnByValue\":true,\"awaitPromise\":" + (await_promise ? "true" : "false") + "}";
  if (!browser->call("Runtime.evaluate", params, session, &answer, error, 40)) return false;
  const auto& result = answer["result"];
  if (result.HasMember("exceptionDetails")) {
    *error = "exception in the page";
    return false;
  }
  const auto& object = result["result"];
  *value =
      object.HasMember("value") && object["value"].IsString() ? object["value"].GetString() : "";
  return true;
}

// A tab of the browser and the session that talks to its page.
struct Tab {
  std::string target;
  std::string session;
};

// Opens a tab of the window size on the url; false with *error set when that fails.
bool open_tab(Browser* browser, const std::string& url, const BrowseOptions& options, Tab* tab,
              std::string* error) {
  rapidjson::Document answer;
  if (!browser->call("Target.createTarget", "{\"url\":\"about:blank\"}", "", &answer, error)) {
    return false;
  }
  tab->target = answer["result"]["targetId"].GetString();
  if (!browser->call("Target.attachToTarget",
                     "{\"targetId\":" + json_string(tab->target) + ",\"flatten\":true}", "",
                     &answer, error)) {
    return false;
  }
  tab->session = answer["result"]["sessionId"].GetString();
  return browser->call("Emulation.setDeviceMetricsOverride",
                       "{\"width\":" + std::to_string(options.width) +
                           ",\"height\":" + std::to_string(options.height) +
                           ",\"deviceScaleFactor\":1,\"mobile\":false}",
                       tab->session, &answer, error) &&
         browser->call("Page.enable", "", tab->session, &answer, error) &&
         browser->call("Page.navigate", "{\"url\":" + json_string(url) + "}", tab->session, &answer,
                       error);
}

void close_tab(Browser* browser, Tab* tab) {
  if (tab->target.empty()) return;
  rapidjson::Document answer;
  std::string error;
  browser->call("Target.closeTarget", "{\"targetId\":" + json_string(tab->target) + "}", "",
                &answer, &error);
  *tab = Tab();
}

// Waits for the viewer, then saves the screenshot NAME.png and the DOM NAME.html.
bool save_page(Browser* browser, const Tab& tab, const std::string& name,
               const BrowseOptions& options, std::string* state, std::string* error) {
  // The first evaluation may still meet the blank page that the navigation replaces.
  bool ok = false;
  for (int attempt = 0; !ok && attempt < 5; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ok = evaluate(browser, tab.session, kWaitForViewer, true, state, error);
  }
  rapidjson::Document answer;
  ok = ok &&
       browser->call("Page.captureScreenshot", "{\"format\":\"png\"}", tab.session, &answer, error);
  if (ok) {
    std::string png;
    base64_decode(answer["result"]["data"].GetString(), &png);
    std::ofstream(options.folder + "/" + name + ".png", std::ios::binary) << png;
  }
  std::string dom;
  ok = ok &&
       evaluate(browser, tab.session, "document.documentElement.outerHTML", false, &dom, error);
  if (ok) std::ofstream(options.folder + "/" + name + ".html", std::ios::binary) << dom;
  return ok;
}

}  // namespace

int browse(const BrowseOptions& options, const std::vector<PageVisit>& pages) {
  signal(SIGPIPE, SIG_IGN);  // a browser that went away is an error answer, not the end
  std::vector<std::string> command = options.browser_command;
  command.push_back("--remote-debugging-pipe");
  command.push_back("about:blank");
  Browser browser;
  if (!browser.start(command, options.folder + "/browser.log")) {
    std::printf("cannot start %s\n", command[0].c_str());
    return 1;
  }
  int failed = 0;
  Tab tab;
  for (const PageVisit& page : pages) {
    std::string error, state, value;
    bool ok;
    if (page.url.compare(0, 3, "js:") == 0) {
      ok = !tab.target.empty() &&
           evaluate(&browser, tab.session,
                    "Promise.resolve(" + page.url.substr(3) + ").then(String)", true, &value,
                    &error);
      if (tab.target.empty()) error = "no page to run the script in";
    } else {
      close_tab(&browser, &tab);
      ok = open_tab(&browser, page.url, options, &tab, &error);
    }
    ok = ok && save_page(&browser, tab, page.name, options, &state, &error);
    if (ok && page.url.compare(0, 3, "js:") == 0) {
      std::ofstream(options.folder + "/" + page.name + ".txt", std::ios::binary) << value;
    }
    if (ok) {
      std::printf("%s: viewer state %s\n", page.name.c_str(), state.c_str());
    } else {
      std::printf("%s: %s (%s)\n", page.name.c_str(), error.c_str(), page.url.c_str());
      ++failed;
    }
  }
  close_tab(&browser, &tab);
  browser.stop();
  return failed ? 1 : 0;
}
