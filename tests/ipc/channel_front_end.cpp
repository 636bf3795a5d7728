#include "channel_front_end.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "support/test_support.h"

namespace qv_test {

namespace {

// Milliseconds left of a wait that began at start; never below 0.
int remaining_ms(std::chrono::steady_clock::time_point start, int timeout_ms) {
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
  return spent >= timeout_ms ? 0 : timeout_ms - static_cast<int>(spent);
}

// Reads what is available within the time left; false at the end of output or time-out.
bool receive_more(FrontEnd* front_end, std::chrono::steady_clock::time_point start,
                  int timeout_ms) {
  if (front_end->from_channel < 0) return false;
  pollfd waiting = {front_end->from_channel, POLLIN, 0};
  int ready;
  do {
    ready = poll(&waiting, 1, remaining_ms(start, timeout_ms));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  uint8_t buffer[65536];
  ssize_t count;
  do {
    count = read(front_end->from_channel, buffer, sizeof buffer);
  } while (count < 0 && errno == EINTR);
  if (count <= 0) return false;
  front_end->received.insert(front_end->received.end(), buffer, buffer + count);
  return true;
}

void close_descriptor(int* descriptor) {
  if (*descriptor >= 0) close(*descriptor);
  *descriptor = -1;
}

}  // namespace

FrontEnd::~FrontEnd() {
  close_descriptor(&to_channel);
  close_descriptor(&from_channel);
  if (pid > 0 && exit_status < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool start_channel(FrontEnd* front_end, ChannelProtocol protocol, const std::string& cwd,
                   const std::string& error_file) {
  signal(SIGPIPE, SIG_IGN);  // writing to a channel that has ended must not end the test
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) return false;
  if (pipe2(output, O_CLOEXEC) != 0) return false;
  const std::string binary = qorveltools_binary();
  const char* word = protocol == kProtocolJson ? "ipc2" : "ipc";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    if (!error_file.empty()) {
      const int error = open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (error < 0) _exit(126);
      dup2(error, 2);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execl(binary.c_str(), binary.c_str(), word, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  front_end->protocol = protocol;
  front_end->pid = pid;
  front_end->to_channel = input[1];
  front_end->from_channel = output[0];
  return pid > 0;
}

bool start_channel_under_stand_in(FrontEnd* front_end, ChannelProtocol protocol,
                                  pid_t* stand_in) {
  signal(SIGPIPE, SIG_IGN);
  // Orphans of the stand-in come to this process, which can then wait for the channel.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return false;
  int input[2];
  int output[2];
  int report[2];
  if (pipe2(input, O_CLOEXEC) != 0) return false;
  if (pipe2(output, O_CLOEXEC) != 0) return false;
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const std::string binary = qorveltools_binary();
  const char* word = protocol == kProtocolJson ? "ipc2" : "ipc";
  const pid_t parent = fork();
  if (parent == 0) {
    const pid_t channel = fork();
    if (channel == 0) {
      dup2(input[0], 0);
      dup2(output[1], 1);
      execl(binary.c_str(), binary.c_str(), word, static_cast<char*>(nullptr));
      _exit(127);
    }
    // The stand-in keeps no end of the channel's pipes: they close when the channel ends.
    for (const int descriptor : {input[0], input[1], output[0], output[1]}) close(descriptor);
    if (write(report[1], &channel, sizeof channel) != sizeof channel) _exit(1);
    for (;;) pause();
  }
  close(input[0]);
  close(output[1]);
  close(report[1]);
  pid_t channel = -1;
  ssize_t got;
  do {
    got = read(report[0], &channel, sizeof channel);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  *stand_in = parent;
  front_end->protocol = protocol;
  front_end->pid = got == sizeof channel ? channel : -1;
  front_end->to_channel = input[1];
  front_end->from_channel = output[0];
  return parent > 0 && front_end->pid > 0;
}

bool send_bytes(FrontEnd* front_end, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = write(front_end->to_channel, bytes.data() + sent, bytes.size() - sent);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

std::string text_frame(const std::string& payload) {
  uint8_t header[kTextHeaderSize];
  encode_frame_header(kProtocolText, static_cast<uint32_t>(payload.size()), 0, header);
  return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

std::string json_frame(uint32_t identifier, uint8_t flags, const std::string& payload) {
  uint8_t header[kJsonHeaderSize];
  encode_frame_header(kProtocolJson, static_cast<uint32_t>(payload.size()), identifier, header);
  header[7] = flags;
  return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

bool send_text(FrontEnd* front_end, const std::string& payload) {
  return send_bytes(front_end, text_frame(payload));
}

bool send_json(FrontEnd* front_end, uint32_t identifier, uint8_t flags,
               const std::string& payload) {
  return send_bytes(front_end, json_frame(identifier, flags, payload));
}

bool read_raw(FrontEnd* front_end, size_t count, std::string* bytes) {
  const auto start = std::chrono::steady_clock::now();
  while (front_end->received.size() < count) {
    if (!receive_more(front_end, start, kChannelTimeoutMs)) return false;
  }
  bytes->assign(front_end->received.begin(), front_end->received.begin() + count);
  front_end->received.erase(front_end->received.begin(), front_end->received.begin() + count);
  return true;
}

bool read_message(FrontEnd* front_end, ChannelMessage* message, int timeout_ms) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const ParsedFrame frame =
        parse_frame(front_end->protocol, front_end->received.data(), front_end->received.size());
    if (frame.status == kFrameInvalid) return false;  // the channel never sends one
    if (frame.status == kFrameComplete) {
      const auto payload = front_end->received.begin() + frame.payload_offset;
      message->identifier = frame.identifier;
      message->flags = frame.flags;
      message->payload.assign(payload, payload + frame.payload_size);
      front_end->received.erase(front_end->received.begin(),
                                front_end->received.begin() + frame.consumed);
      return true;
    }
    if (!receive_more(front_end, start, timeout_ms)) return false;
  }
}

std::string next_text(FrontEnd* front_end) {
  ChannelMessage message;
  return read_message(front_end, &message) ? message.payload : std::string("<none>");
}

void close_input(FrontEnd* front_end) {
  close_descriptor(&front_end->to_channel);
}

void close_output(FrontEnd* front_end) {
  close_descriptor(&front_end->from_channel);
}

int wait_for_exit(FrontEnd* front_end, int timeout_ms) {
  if (front_end->exit_status >= 0) return front_end->exit_status;
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(front_end->pid, &status, WNOHANG);
    if (ended == front_end->pid) break;
    if (ended < 0 || remaining_ms(start, timeout_ms) == 0) {
      kill(front_end->pid, SIGKILL);
      waitpid(front_end->pid, nullptr, 0);
      front_end->exit_status = 999;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  front_end->exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return front_end->exit_status;
}

std::vector<ChannelMessage> read_all_messages(FrontEnd* front_end) {
  std::vector<ChannelMessage> messages;
  ChannelMessage message;
  while (read_message(front_end, &message)) messages.push_back(message);
  return messages;
}

}  // namespace qv_test
