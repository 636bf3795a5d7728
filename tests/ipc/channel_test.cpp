// The channel as a front end sees it: qorveltools started with "ipc" or "ipc2" on pipes, its
// greeting, answers, queued conversions on four workers, malformed frames, corrupt images, the
// watched front end process and the ends of the channel.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channel_front_end.h"
#include "support/test_images.h"
#include "support/test_support.h"
#include "tools/encrypt_tool.h"

namespace {

using qv_test::ChannelMessage;
using qv_test::FrontEnd;
using qv_test::next_text;
using qv_test::send_bytes;
using qv_test::send_json;
using qv_test::send_text;
using qv_test::TempDir;

const std::string kConnectAnswer = "version:1.19-pr16 - 32bit (build 2018-04-04) scale:1.000000";
const std::string kJsonConnectAnswer =
    "{\"versionstring\":\"version:1.19-pr16 - 32bit (build 2018-04-04)\",\"version\":"
    "\"1.19-pr16\",\"build\":\"2018-04-04\",\"apinames\":[\"connect\"]}";

std::string le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// Starts a channel and checks its greeting byte for byte.
void start_and_greet(FrontEnd* front_end, ChannelProtocol protocol, const std::string& cwd = "",
                     const std::string& error_file = "") {
  ASSERT_TRUE(qv_test::start_channel(front_end, protocol, cwd, error_file));
  std::string greeting;
  ASSERT_TRUE(qv_test::read_raw(front_end, 4, &greeting));
  EXPECT_EQ(greeting, protocol == kProtocolJson ? "IPC2" : "QIPC");
}

// A small smooth 2:1 panorama (a few KB as JPEG).
void write_panorama(const std::string& path) {
  ASSERT_TRUE(qv_test::write_samples(path, kPixelRgb8, 128, 64, qv_test::default_props(),
                                     [](int x, int y, int c) { return (x * 2 + y * c) & 255; }));
}

// A child process that waits to be killed: a stand-in for the front end's process.
pid_t start_stand_in() {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

// The id of a text-protocol message "ret:ID:KIND:..." and its kind; false for other payloads.
bool split_event(const std::string& payload, std::string* id, std::string* kind,
                 std::string* text) {
  if (payload.compare(0, 4, "ret:") != 0) return false;
  const size_t id_end = payload.find(':', 4);
  const size_t kind_end = id_end == std::string::npos ? id_end : payload.find(':', id_end + 1);
  if (kind_end == std::string::npos) return false;
  *id = payload.substr(4, id_end - 4);
  *kind = payload.substr(id_end + 1, kind_end - id_end - 1);
  *text = payload.substr(kind_end + 1);
  return true;
}

// Reads messages until every id of ids has had its done message; every message read is
// appended to log.
bool read_until_done(FrontEnd* front_end, std::set<std::string> ids,
                     std::vector<std::string>* log) {
  ChannelMessage message;
  while (!ids.empty() && qv_test::read_message(front_end, &message)) {
    log->push_back(message.payload);
    std::string id, kind, text;
    if (split_event(message.payload, &id, &kind, &text) && kind == "done") ids.erase(id);
  }
  return ids.empty();
}

// Runs a function on its own thread and waits for it when going out of scope.
struct Helper {
  std::thread thread;
  template <typename Fn>
  explicit Helper(Fn fn) : thread(fn) {}
  ~Helper() { thread.join(); }
};

// Checks the text-protocol events of every id: a queued request starts first, its progress and
// error messages follow, its done message comes last; no more than four run at once.
void expect_ordered_events(const std::vector<std::string>& log) {
  std::map<std::string, std::string> state;  // id -> "started" or "done"
  int running = 0;
  for (const std::string& payload : log) {
    std::string id, kind, text;
    ASSERT_TRUE(split_event(payload, &id, &kind, &text)) << payload;
    if (kind == "start") {
      EXPECT_EQ(state.count(id), 0u) << payload;
      state[id] = "started";
      ++running;
      EXPECT_LE(running, 4) << payload;
    } else if (kind == "done") {
      EXPECT_EQ(state[id], "started") << payload;
      state[id] = "done";
      --running;
    } else {
      EXPECT_EQ(state[id], "started") << payload;  // progress and errors only while running
    }
  }
}

// A conversion input that holds its conversion: a FIFO, on which the tool's first open blocks.
// Releasing it puts the real image under the name and feeds the same bytes through the FIFO.
// An image the tools cannot open until it is released: this process holds a write lease on it,
// so every other open waits (up to the system's lease-break time, 45 s by default). The lease
// holder is told of a waiting open by SIGIO, which is ignored here.
struct Gate {
  std::string path;  // the image the request names
  int lease = -1;    // the descriptor holding the lease
};

Gate make_gate(const TempDir& dir, int number) {
  Gate gate{dir.file("gate" + std::to_string(number) + ".jpg")};
  write_panorama(gate.path);
  signal(SIGIO, SIG_IGN);
  gate.lease = open(gate.path.c_str(), O_RDWR);
  EXPECT_GE(gate.lease, 0);
  EXPECT_EQ(fcntl(gate.lease, F_SETLEASE, F_WRLCK), 0) << strerror(errno);
  return gate;
}

void release_gate(const Gate& gate) {
  EXPECT_EQ(fcntl(gate.lease, F_SETLEASE, F_UNLCK), 0);
  close(gate.lease);
}

std::string conversion_request(const std::string& id, const std::string& input,
                               const std::string& output) {
  return "cmda:" + id + ":command:spheretocube cube '" + input + "' '" + output + "'";
}

// ---- text protocol ----

TEST(TextChannel, AnswersEveryFormOfRequest) {
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText);
  const std::string sentinel_answer = "ret:s:done:ERROR: Unknown command: nothing";
  const std::string long_id(100, 'i');
  const std::string long_payload(100000, 'x');
  const struct {
    std::string payload;
    std::string answer;  // empty: none
  } rows[] = {
      {"cmds:1:connect:0", "ret:1:done:" + kConnectAnswer},
      {"cmds:2:connect", ""},
      {"cmda:2:pingimage", ""},
      {"cmds:3:connect:", "ret:3:done:" + kConnectAnswer},
      {"cmds:" + long_id + ":connect:", "ret:" + long_id + ":done:" + kConnectAnswer},
      {"hello", "unknown command:hello"},
      {"exit!", "unknown command:exit!"},
      {long_payload, "unknown command:" + long_payload},  // written in two pieces
      {"cmds:4:command:transform cube a.jpg b.jpg", "ret:4:done:false"},
      {"cmds:5:encrypt:tour.xml", "ret:5:done:ERROR: cannot read file: tour.xml"},
      {"cmds:6:pingimage:/nonexistent/x.jpg", "ret:6:done:"},
      {"cmds:7:makepano:x.jpg", "ret:7:done:"},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(send_text(&front_end, row.payload));
    ASSERT_TRUE(send_text(&front_end, "cmds:s:nothing:"));
    if (!row.answer.empty()) {
      EXPECT_EQ(next_text(&front_end), row.answer) << row.payload;
    }
    EXPECT_EQ(next_text(&front_end), sentinel_answer) << row.payload;
  }
  ASSERT_TRUE(send_text(&front_end, "exit"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
  EXPECT_TRUE(qv_test::read_all_messages(&front_end).empty());
}

// A named pipe in place of an image would hold a blocking open for good; every request that
// reads an image refuses it at once, and the channel still honours "exit".
TEST(TextChannel, NamedPipesAreRefusedWithoutBlocking) {
  TempDir dir;
  const std::string pipe = dir.file("pipe.jpg");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText, dir.path);
  const struct {
    std::string request;
    std::string answer;
  } rows[] = {
      {"cmds:p:pingimage:" + pipe, "ret:p:done:"},
      {"cmds:t:makethumb:" + pipe, "ret:t:done:"},
      {"cmds:c:command:spheretocube cube '" + pipe + "' '" + dir.file("out.jpg") + "'",
       "ret:c:done:false"},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(send_text(&front_end, row.request));
    // A blocked channel answers nothing; a few seconds tell that apart from a prompt answer.
    std::vector<std::string> seen;
    ChannelMessage message;
    while (qv_test::read_message(&front_end, &message, 5000)) {
      seen.push_back(message.payload);
      if (message.payload.compare(0, 4, "ret:") == 0 &&
          message.payload.find(":done:") != std::string::npos) {
        break;
      }
    }
    ASSERT_FALSE(seen.empty()) << row.request;
    EXPECT_EQ(seen.back(), row.answer) << row.request;
  }
  ASSERT_TRUE(send_text(&front_end, "exit"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end, 5000), 0);
}

TEST(TextChannel, MalformedFramesAreSkipped) {
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText);
  const std::string bad_headers[] = {le32(0), le32(0x10000000), le32(0xFFFFFFFF)};
  int number = 0;
  for (const std::string& header : bad_headers) {
    const std::string id = std::to_string(++number);
    ASSERT_TRUE(send_bytes(&front_end, header + qv_test::text_frame("cmds:" + id + ":connect:")));
    EXPECT_EQ(next_text(&front_end), "ret:" + id + ":done:" + kConnectAnswer) << number;
  }
  // A frame cut short by the end of input is dropped; the channel ends normally.
  ASSERT_TRUE(send_bytes(&front_end, le32(100) + "cmds:9:connect:"));
  qv_test::close_input(&front_end);
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
  EXPECT_TRUE(qv_test::read_all_messages(&front_end).empty());
}

TEST(TextChannel, FiveQueuedConversionsFourAtOnce) {
  TempDir dir;
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText, dir.path);
  std::vector<Gate> gates;
  std::string requests;
  for (int i = 1; i <= 5; ++i) {
    gates.push_back(make_gate(dir, i));
    requests += qv_test::text_frame(conversion_request(
        std::to_string(i), gates.back().path, dir.file("out" + std::to_string(i) + ".jpg")));
  }
  ASSERT_TRUE(send_bytes(&front_end, requests));  // all five together

  // Every worker takes a request and blocks on its gate: four starts, nothing else yet.
  std::vector<std::string> log;
  std::vector<std::string> started;
  while (started.size() < 4) {
    ChannelMessage message;
    ASSERT_TRUE(qv_test::read_message(&front_end, &message));
    log.push_back(message.payload);
    std::string id, kind, text;
    ASSERT_TRUE(split_event(message.payload, &id, &kind, &text)) << message.payload;
    ASSERT_EQ(kind, "start") << message.payload;
    started.push_back(id);
  }
  std::sort(started.begin(), started.end());
  EXPECT_EQ(started, (std::vector<std::string>{"1", "2", "3", "4"}));

  // One finishes; only then does the fifth start, alone in the queue.
  {
    Helper first([&] { release_gate(gates[0]); });
    ASSERT_TRUE(read_until_done(&front_end, {"1"}, &log));
  }
  {
    Helper rest([&] {
      for (size_t i = 1; i < 5; ++i) release_gate(gates[i]);
    });
    ASSERT_TRUE(read_until_done(&front_end, {"2", "3", "4", "5"}, &log));
  }

  expect_ordered_events(log);
  const auto done_1 = std::find(log.begin(), log.end(), "ret:1:done:true");
  const auto start_5 = std::find(log.begin(), log.end(), "ret:5:start:1");
  EXPECT_NE(done_1, log.end());
  EXPECT_NE(start_5, log.end());
  EXPECT_LT(done_1, start_5);
  for (int i = 1; i <= 5; ++i) {
    const std::string id = std::to_string(i);
    EXPECT_NE(std::find(log.begin(), log.end(), "ret:" + id + ":done:true"), log.end()) << id;
    EXPECT_TRUE(qv_test::file_exists(dir.file("out" + id + "_f.jpg"))) << id;
  }
  const size_t progress = std::count_if(log.begin(), log.end(), [](const std::string& payload) {
    return payload.compare(0, 6, "ret:3:") == 0 &&
           payload.find(":progress:progress=") != std::string::npos;
  });
  EXPECT_GT(progress, 0u);

  ASSERT_TRUE(send_text(&front_end, "exit"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
}

TEST(TextChannel, CorruptImagesFailOnlyTheirRequests) {
  TempDir dir;
  write_panorama(dir.file("good.jpg"));
  const std::string good = qv_test::read_file(dir.file("good.jpg"));
  ASSERT_TRUE(qv_test::write_file(dir.file("junk.jpg"), "\xFF\xD8\xFF\xE0 not a jpeg at all"));
  ASSERT_TRUE(qv_test::write_file(dir.file("cut.jpg"), good.substr(0, 40)));
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText, dir.path, dir.file("stderr.txt"));
  const std::string requests[] = {
      conversion_request("junk", dir.file("junk.jpg"), dir.file("junk_out.jpg")),
      conversion_request("good", dir.file("good.jpg"), dir.file("good_out.jpg")),
      conversion_request("cut", dir.file("cut.jpg"), dir.file("cut_out.jpg")),
      "cmda:thumb:makethumb:" + dir.file("junk.jpg"),
      "cmda:ping:pingimage:" + dir.file("cut.jpg"),
      "cmds:now:command:spheretocube cube '" + dir.file("junk.jpg") + "' x.jpg",
  };
  for (const std::string& request : requests) ASSERT_TRUE(send_text(&front_end, request));
  qv_test::close_input(&front_end);  // the channel finishes what is queued, then ends
  std::vector<std::string> log;
  for (const ChannelMessage& message : qv_test::read_all_messages(&front_end)) {
    log.push_back(message.payload);
  }
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);

  auto has = [&log](const std::string& payload) {
    return std::find(log.begin(), log.end(), payload) != log.end();
  };
  auto has_error = [&log](const std::string& id) {
    return std::any_of(log.begin(), log.end(), [&id](const std::string& payload) {
      return payload.compare(0, 4 + id.size() + 7, "ret:" + id + ":error:") == 0;
    });
  };
  EXPECT_TRUE(has("ret:junk:done:false"));
  EXPECT_TRUE(has("ret:cut:done:false"));
  EXPECT_TRUE(has("ret:good:done:true"));
  EXPECT_TRUE(has("ret:thumb:done:"));
  EXPECT_TRUE(has("ret:now:done:false"));
  EXPECT_TRUE(has_error("junk"));
  EXPECT_TRUE(has_error(""));  // the immediate request's error carries no id
  EXPECT_TRUE(qv_test::file_exists(dir.file("good_out_f.jpg")));
  EXPECT_FALSE(qv_test::file_exists(dir.file("junk_out_f.jpg")));
  // The decoder's own complaint reached the front end as a message of its request.
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& payload) {
    return payload.compare(0, 4, "ret:") == 0 && payload.find(":libjpeg - ") != std::string::npos;
  }));
  EXPECT_EQ(qv_test::read_file(dir.file("stderr.txt")).find("libjpeg - "), std::string::npos);
  // The probe of a cut file may still find its size; it answers with JSON or nothing.
  const auto ping = std::find_if(log.begin(), log.end(), [](const std::string& payload) {
    return payload.compare(0, 14, "ret:ping:done:") == 0;
  });
  ASSERT_NE(ping, log.end());
  EXPECT_TRUE(ping->size() == 14 || ping->compare(14, 5, "{\"w\":") == 0) << *ping;
}

TEST(TextChannel, EventsCarryTheIdCutToItsRoom) {
  const std::string id(100, 'i');
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText);
  ASSERT_TRUE(send_text(&front_end, "cmda:" + id + ":command:spheretocube cube missing.jpg x.jpg"));
  EXPECT_EQ(next_text(&front_end), "ret:" + id + ":start:1");
  const std::string error = next_text(&front_end);
  EXPECT_EQ(error.compare(0, 4 + 67 + 7, "ret:" + id.substr(0, 67) + ":error:"), 0) << error;
  EXPECT_EQ(next_text(&front_end), "ret:" + id + ":done:false");
  ASSERT_TRUE(send_text(&front_end, "exit"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
}

TEST(TextChannel, ExitEndsTheChannelWhileAConversionRuns) {
  TempDir dir;
  Gate gate = make_gate(dir, 1);
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText, dir.path);
  ASSERT_TRUE(send_text(&front_end, conversion_request("1", gate.path, dir.file("out.jpg"))));
  EXPECT_EQ(next_text(&front_end), "ret:1:start:1");  // and it waits at its gate
  ASSERT_TRUE(send_text(&front_end, "exit"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
  EXPECT_FALSE(qv_test::file_exists(dir.file("out_f.jpg")));
  for (const std::string& name : qv_test::list_files(dir.path)) {
    EXPECT_NE(name.rfind("qvmem_", 0), 0u) << name;
  }
}

TEST(TextChannel, FrontEndProcessThatEndsEndsTheChannel) {
  for (const bool reaped : {true, false}) {
    FrontEnd front_end;
    pid_t stand_in = -1;
    ASSERT_TRUE(qv_test::start_channel_under_stand_in(&front_end, kProtocolText, &stand_in));
    std::string greeting;
    ASSERT_TRUE(qv_test::read_raw(&front_end, 4, &greeting));
    ASSERT_TRUE(send_text(&front_end, "cmds:c:connect:" + std::to_string(stand_in)));
    EXPECT_EQ(next_text(&front_end), "ret:c:done:" + kConnectAnswer);
    // While its parent lives, the end of input does not end the channel; the parent's end does.
    qv_test::close_input(&front_end);
    pollfd output = {front_end.from_channel, POLLIN, 0};
    EXPECT_EQ(poll(&output, 1, 500), 0) << "ended before its parent";
    kill(stand_in, SIGKILL);
    if (reaped) {
      waitpid(stand_in, nullptr, 0);
    } else {
      siginfo_t info = {};
      waitid(P_PID, static_cast<id_t>(stand_in), &info, WEXITED | WNOWAIT);
    }
    EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0) << reaped;
    if (!reaped) waitpid(stand_in, nullptr, 0);
  }
}

TEST(TextChannel, AWatchedProcessThatIsNotTheParentIsNotWaitedForAtTheEndOfInput) {
  // A wrong identifier (init, or any other living process) must not keep the channel alive
  // once its input has ended.
  const pid_t stand_in = start_stand_in();
  for (const pid_t watched : {pid_t{1}, stand_in}) {
    FrontEnd front_end;
    start_and_greet(&front_end, kProtocolText);
    ASSERT_TRUE(send_text(&front_end, "cmds:c:connect:" + std::to_string(watched)));
    EXPECT_EQ(next_text(&front_end), "ret:c:done:" + kConnectAnswer);
    qv_test::close_input(&front_end);
    EXPECT_EQ(qv_test::wait_for_exit(&front_end, 20000), 0) << watched;
  }
  kill(stand_in, SIGKILL);
  waitpid(stand_in, nullptr, 0);
}

TEST(TextChannel, FrontEndGoneWhileTheInputStaysOpen) {
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText);
  const pid_t stand_in = start_stand_in();
  ASSERT_TRUE(send_text(&front_end, "cmds:c:connect:" + std::to_string(stand_in)));
  EXPECT_EQ(next_text(&front_end), "ret:c:done:" + kConnectAnswer);
  kill(stand_in, SIGKILL);
  waitpid(stand_in, nullptr, 0);
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);  // the idle loop notices
}

TEST(TextChannel, AnOutputThatCannotBeWrittenEndsTheProcess) {
  TempDir dir;
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolText, "", dir.file("stderr.txt"));
  qv_test::close_output(&front_end);
  ASSERT_TRUE(send_text(&front_end, "cmds:1:connect:"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 1);
  const std::string answer = "ret:1:done:" + kConnectAnswer;
  EXPECT_EQ(qv_test::read_file(dir.file("stderr.txt")),
            "writing failed - writecheck=0 datalen=" + std::to_string(answer.size()) + " ");
}

// ---- JSON protocol ----

TEST(JsonChannel, RequestsImmediateQueuedAndIgnored) {
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolJson);
  ChannelMessage message;
  const std::string connect = "{\"cmd\":\"connect\",\"args\":{\"pid\":0}}";

  ASSERT_TRUE(send_json(&front_end, 7, 0, connect));
  ASSERT_TRUE(qv_test::read_message(&front_end, &message));
  EXPECT_EQ(message.identifier, 7u);
  EXPECT_EQ(message.flags, 1);
  EXPECT_EQ(message.payload, kJsonConnectAnswer);

  // Identifier 0 is no request (not even "exit"); a bad size drops its header only.
  ASSERT_TRUE(send_json(&front_end, 0, 0, "exit"));
  ASSERT_TRUE(send_json(&front_end, 0, 1, connect));
  ASSERT_TRUE(send_bytes(&front_end, le32(0) + std::string("\x05\0\0\0", 4)));
  ASSERT_TRUE(send_json(&front_end, 0xABCDEF, 1, connect));  // queued
  ASSERT_TRUE(qv_test::read_message(&front_end, &message));
  EXPECT_EQ(message.identifier, 0xABCDEFu);
  EXPECT_EQ(message.flags, 1);
  EXPECT_EQ(message.payload, kJsonConnectAnswer);

  const struct {
    uint8_t flags;
    std::string payload;
    std::string answer;
  } rows[] = {
      {2, "{\"cmd\":\"connect\"}", "invalid json"},
      {1, "{\"cmd\":\"connect\"}", "invalid json"},
      {0, "{\"cmd\":\"unknown\",\"args\":{}}", "null"},
      {1, "[", "invalid json"},
      {0, std::string(300000, '{'), "invalid json"},
  };
  uint32_t identifier = 100;
  for (const auto& row : rows) {
    ASSERT_TRUE(send_json(&front_end, ++identifier, row.flags, row.payload));
    ASSERT_TRUE(qv_test::read_message(&front_end, &message));
    EXPECT_EQ(message.identifier, identifier);
    EXPECT_EQ(message.payload, row.answer) << row.payload.substr(0, 40);
  }
  ASSERT_TRUE(send_json(&front_end, 9, 0, "exit"));
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
  EXPECT_TRUE(qv_test::read_all_messages(&front_end).empty());
}

TEST(JsonChannel, FrontEndProcessThatEndsEndsTheChannel) {
  FrontEnd front_end;
  start_and_greet(&front_end, kProtocolJson);
  const pid_t stand_in = start_stand_in();
  ASSERT_TRUE(
      send_json(&front_end, 1, 0,
                "{\"cmd\":\"connect\",\"args\":{\"pid\":" + std::to_string(stand_in) + "}}"));
  ChannelMessage message;
  ASSERT_TRUE(qv_test::read_message(&front_end, &message));
  EXPECT_EQ(message.payload, kJsonConnectAnswer);
  kill(stand_in, SIGKILL);
  waitpid(stand_in, nullptr, 0);
  EXPECT_EQ(qv_test::wait_for_exit(&front_end), 0);
}

}  // namespace
