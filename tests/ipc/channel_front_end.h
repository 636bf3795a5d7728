// A test front end: starts "qorveltools ipc" or "ipc2" with pipes on its standard input and
// output, sends requests and reads the messages it answers with, with generous time-outs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/framing.h"

namespace qv_test {

constexpr int kChannelTimeoutMs = 240000;  // any single wait; only a hung channel reaches it

// One received frame.
struct ChannelMessage {
  uint32_t identifier = 0;  // JSON protocol only
  uint8_t flags = 0;        // JSON protocol only
  std::string payload;
};

// The running channel process and its pipes; ended (killed if need be) when destroyed.
struct FrontEnd {
  ChannelProtocol protocol = kProtocolText;
  pid_t pid = -1;
  int to_channel = -1;            // the channel's standard input
  int from_channel = -1;          // the channel's standard output
  std::vector<uint8_t> received;  // bytes read and not yet taken as a message
  int exit_status = -1;           // once the process has ended

  FrontEnd() = default;
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;
  ~FrontEnd();
};

// Starts qorveltools with the tool word "ipc" or "ipc2" in folder cwd (empty: the current one),
// its standard error going to error_file (empty: inherited). False when it cannot be started.
bool start_channel(FrontEnd* front_end, ChannelProtocol protocol, const std::string& cwd = "",
                   const std::string& error_file = "");

// As start_channel, but the channel's parent is a stand-in process that only waits to be killed
// (a front end process of its own); its id goes to *stand_in. This process becomes the
// channel's next parent when the stand-in ends, so that wait_for_exit still works.
bool start_channel_under_stand_in(FrontEnd* front_end, ChannelProtocol protocol, pid_t* stand_in);

// Raw bytes, a text-protocol frame, a JSON-protocol frame. False when the pipe is closed.
bool send_bytes(FrontEnd* front_end, const std::string& bytes);
std::string text_frame(const std::string& payload);
std::string json_frame(uint32_t identifier, uint8_t flags, const std::string& payload);
bool send_text(FrontEnd* front_end, const std::string& payload);
bool send_json(FrontEnd* front_end, uint32_t identifier, uint8_t flags, const std::string& payload);

// Reads exactly count unframed bytes (the greeting).
bool read_raw(FrontEnd* front_end, size_t count, std::string* bytes);

// Reads the next frame; false when the output ends or the time-out passes first.
bool read_message(FrontEnd* front_end, ChannelMessage* message, int timeout_ms = kChannelTimeoutMs);

// The next text-protocol payload, or "<none>" when none arrives.
std::string next_text(FrontEnd* front_end);

// Closes the channel's standard input (the end of input) or stops reading its output.
void close_input(FrontEnd* front_end);
void close_output(FrontEnd* front_end);

// Waits for the process to end: its exit status, 128 + signal, or -1 after the time-out (the
// process is then killed).
int wait_for_exit(FrontEnd* front_end, int timeout_ms = kChannelTimeoutMs);

// Every message until the output ends (the process ending, for instance).
std::vector<ChannelMessage> read_all_messages(FrontEnd* front_end);

}  // namespace qv_test
