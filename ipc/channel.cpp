// The channel's transport: greeting, the reading loop over poll(), the frame writer, the console
// records of the text protocol and the end of the channel.
//
// Tools may copy the console record they are given, so the callbacks find the channel through
// the process-wide active channel (one per process: it owns standard input and output) and take
// only the id and the scratch buffer from the record itself.
#include "ipc/channel.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/commands.h"
#include "ipc/json_protocol.h"
#include "memory/qvmem.h"

namespace {

constexpr size_t kReadChunk = 65536;
constexpr size_t kKeptBufferSize = 4 << 20;  // input buffer kept between frames
constexpr size_t kContextTagLength = sizeof(ConsoleOps::context_tag) - 1;  // 67 characters

std::atomic<Channel*> active_channel{nullptr};

// ---- writing ----

// Writes every byte; the count written so far is added to *written. False when a write fails
// or writes nothing.
bool write_all(int output, const uint8_t* data, size_t size, size_t* written) {
  while (size > 0) {
    const size_t piece = size < kWritePieceSize ? size : kWritePieceSize;
    const ssize_t count = write(output, data, piece);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    size -= static_cast<size_t>(count);
    *written += static_cast<size_t>(count);
  }
  return true;
}

// Ends the process when a frame could not be written whole: the front end sees the pipe close.
[[noreturn]] void write_failed(ChannelProtocol protocol, size_t written, size_t payload_size) {
  fprintf(stderr,
          protocol == kProtocolJson ? "writing failed - writecheck=%d datasize=%d "
                                    : "writing failed - writecheck=%d datalen=%d ",
          static_cast<int>(written), static_cast<int>(payload_size));
  qvmem_exit_now(1);
}

bool write_frame(Channel* channel, uint32_t identifier, const std::string& payload) {
  if (payload.empty() || payload.size() > kFrameLengthLimit) {
    fprintf(stderr, "channel: a message of %zu bytes cannot be framed and was not sent\n",
            payload.size());
    return false;
  }
  uint8_t header[kJsonHeaderSize];
  const size_t header_size = frame_header_size(channel->protocol);
  encode_frame_header(channel->protocol, static_cast<uint32_t>(payload.size()), identifier, header);
  std::lock_guard<std::mutex> guard(channel->write_lock);
  size_t written = 0;
  if (!write_all(channel->output, header, header_size, &written) ||
      !write_all(channel->output, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                 &written)) {
    write_failed(channel->protocol, written, payload.size());
  }
  return true;
}

void write_greeting(Channel* channel) {
  std::lock_guard<std::mutex> guard(channel->write_lock);
  size_t written = 0;
  const char* greeting = channel_greeting(channel->protocol);
  if (!write_all(channel->output, reinterpret_cast<const uint8_t*>(greeting), 4, &written)) {
    write_failed(channel->protocol, written, 0);
  }
}

// The done message; a result too large for a frame is replaced by an empty one, so the front end
// still learns that the request ended.
void send_done(Channel* channel, const std::string& id, const std::string& result) {
  std::string message = text_event(id, "done", result);
  if (message.size() > kFrameLengthLimit) message = text_event(id, "done", std::string());
  channel_write_text(channel, message);
}

// ---- console records of the text protocol ----

void send_event(ConsoleOps* ops, const char* kind, const char* text, size_t length) {
  Channel* channel = active_channel.load();
  if (!channel) return;
  channel_write_text(channel, text_event(ops->context_tag, kind, std::string(text, length)));
}

void channel_log(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = console_format_into_scratch(ops, format, args);
  va_end(args);
  if (length >= 0) send_event(ops, "progress", ops->scratch, static_cast<size_t>(length));
}

// Lines a tool writes to standard error in console mode are error messages of the request.
void channel_log_error(ConsoleOps* ops, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = console_format_into_scratch(ops, format, args);
  va_end(args);
  if (length >= 0) send_event(ops, "error", ops->scratch, static_cast<size_t>(length));
}

void channel_print(ConsoleOps* ops, const char* text) {
  send_event(ops, "progress", text, strlen(text));
}

void channel_error(ConsoleOps* ops, const char* text) {
  send_event(ops, "error", text, strlen(text));
}

void init_console(ConsoleOps* ops) {
  *ops = *console_ops();
  ops->scratch = nullptr;  // each record grows its own buffer
  ops->scratch_capacity = 0;
  ops->last_progress = 0;
  ops->last_report_time = 0;
  ops->log = channel_log;
  ops->print = channel_print;
  ops->error = channel_error;
  ops->log_error = channel_log_error;
  ops->context_tag[0] = '\0';
}

// A new request on a thread: its id (cut to the tag's room) and a fresh progress throttle.
void begin_request(ConsoleOps* ops, const std::string& id) {
  snprintf(ops->context_tag, sizeof ops->context_tag, "%.*s", static_cast<int>(kContextTagLength),
           id.c_str());
  ops->last_progress = 0;
  ops->last_report_time = 0;
}

// ---- running requests ----

void run_queued_text(Channel* channel, int worker, const QueuedRequest& request, size_t queued) {
  channel_write_text(channel, text_event(request.id, "start", std::to_string(queued)));
  ConsoleOps* ops = &channel->consoles[1 + worker];
  begin_request(ops, request.id);
  set_thread_console(ops);  // codec and memory lines of the request go to its caller too
  const std::string result =
      run_text_command(request.name, request.arguments, ops, &channel->watch);
  set_thread_console(nullptr);
  send_done(channel, request.id, result);
}

void run_queued_json(Channel* channel, const QueuedRequest& request) {
  channel_write_json(
      channel, request.identifier,
      run_json_request(request.payload.data(), request.payload.size(), &channel->watch));
}

void run_queued(void* user, int worker, const QueuedRequest& request, size_t queued) {
  Channel* channel = static_cast<Channel*>(user);
  if (channel->protocol == kProtocolJson) {
    run_queued_json(channel, request);
  } else {
    run_queued_text(channel, worker, request, queued);
  }
}

// What one received frame means for the reading loop.
enum FrameOutcome {
  kFrameHandled = 0,  // a request was run, queued or answered
  kFrameEmpty = 1,    // no message: the parent-process rule applies
  kFrameExit = 2,     // the exit request
};

FrameOutcome handle_text_payload(Channel* channel, const std::string& payload) {
  TextRequest request = parse_text_request(payload);
  switch (request.kind) {
    case kRequestImmediate: {
      // Events of an immediate request carry the reading thread's empty id.
      set_thread_console(&channel->consoles[0]);
      const std::string result =
          run_text_command(request.name, request.arguments, &channel->consoles[0], &channel->watch);
      set_thread_console(nullptr);
      send_done(channel, request.id, result);
      return kFrameHandled;
    }
    case kRequestQueued: {
      QueuedRequest entry;
      entry.id = std::move(request.id);
      entry.name = std::move(request.name);
      entry.arguments = std::move(request.arguments);
      work_queue_push(&channel->queue, std::move(entry));
      return kFrameHandled;
    }
    case kRequestExit:
      return kFrameExit;
    case kRequestIgnored:
      return kFrameHandled;
    case kRequestUnknown:
      channel_write_text(channel, unknown_request_answer(payload));
      return kFrameHandled;
  }
  return kFrameHandled;
}

FrameOutcome handle_json_payload(Channel* channel, const ParsedFrame& frame, std::string payload) {
  if (frame.identifier == 0) return kFrameEmpty;
  if (payload == "exit") return kFrameExit;
  if (frame.flags == kJsonFlagQueued) {
    QueuedRequest entry;
    entry.identifier = frame.identifier;
    entry.payload = std::move(payload);
    work_queue_push(&channel->queue, std::move(entry));
    return kFrameHandled;
  }
  channel_write_json(channel, frame.identifier,
                     run_json_request(payload.data(), payload.size(), &channel->watch));
  return kFrameHandled;
}

FrameOutcome handle_frame(Channel* channel, const ParsedFrame& frame, const uint8_t* data) {
  if (frame.status != kFrameComplete) return kFrameEmpty;
  std::string payload(reinterpret_cast<const char*>(data) + frame.payload_offset,
                      frame.payload_size);
  if (channel->protocol == kProtocolJson) {
    return handle_json_payload(channel, frame, std::move(payload));
  }
  return handle_text_payload(channel, payload);
}

// ---- reading ----

// Bytes received and not yet taken by a frame.
struct FrameReader {
  int input = -1;
  std::vector<uint8_t> data;
  size_t start = 0;    // first byte not yet consumed
  bool ended = false;  // the input has ended (or failed)
};

enum ReadResult { kReadData, kReadIdle, kReadEnded };

// Waits up to timeout_ms for input and appends what arrived.
ReadResult read_more(FrameReader* reader, int timeout_ms) {
  if (reader->start > 0) {
    reader->data.erase(reader->data.begin(),
                       reader->data.begin() + static_cast<std::ptrdiff_t>(reader->start));
    reader->start = 0;
  }
  // A large frame's buffer is given back once it has been taken.
  if (reader->data.empty() && reader->data.capacity() > kKeptBufferSize) {
    std::vector<uint8_t>().swap(reader->data);
  }
  pollfd waiting = {reader->input, POLLIN, 0};
  const int ready = poll(&waiting, 1, timeout_ms);
  if (ready < 0 && errno == EINTR) return kReadIdle;
  if (ready == 0) return kReadIdle;
  const size_t old_size = reader->data.size();
  reader->data.resize(old_size + kReadChunk);
  ssize_t count;
  do {
    count = read(reader->input, reader->data.data() + old_size, kReadChunk);
  } while (count < 0 && errno == EINTR);
  reader->data.resize(old_size + (count > 0 ? static_cast<size_t>(count) : 0));
  if (count > 0) return kReadData;
  reader->ended = true;
  return kReadEnded;
}

enum ChannelEnding {
  kEndNow = 0,           // exit request or lost front end: drop the queue
  kEndWhenFinished = 1,  // end of input, nobody watched: finish the queued requests first
};

// The end of input: with the front end watched, wait until it is gone (nothing more can
// arrive, but its requests keep running meanwhile). Only the channel's own parent holds the
// other end of the pipes; a watched process that is not the parent (a wrong identifier) is no
// longer waited for, so that the channel cannot outlive its front end.
ChannelEnding after_input_end(Channel* channel) {
  const int watched = channel->watch.pid.load();
  if (watched <= 0 || watched != static_cast<int>(getppid())) return kEndWhenFinished;
  // When the parent ends, the channel is handed to another parent at once.
  while (!watched_process_gone(&channel->watch) && static_cast<int>(getppid()) == watched) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWatchIntervalMs));
  }
  return kEndNow;
}

ChannelEnding read_requests(Channel* channel) {
  FrameReader reader;
  reader.input = channel->input;
  for (;;) {
    const uint8_t* data = reader.data.data() + reader.start;
    const ParsedFrame frame =
        parse_frame(channel->protocol, data, reader.data.size() - reader.start);
    if (frame.status != kFrameIncomplete) {
      reader.start += frame.consumed;
      const FrameOutcome outcome = handle_frame(channel, frame, data);
      if (outcome == kFrameExit) return kEndNow;
      if (outcome == kFrameEmpty && watched_process_gone(&channel->watch)) return kEndNow;
      continue;
    }
    // A frame cut short by the end of input is dropped with it.
    if (reader.ended) return after_input_end(channel);
    if (read_more(&reader, kWatchIntervalMs) == kReadIdle &&
        watched_process_gone(&channel->watch)) {
      return kEndNow;
    }
  }
}

// Stops the workers. Runs that are still going cannot be interrupted, so when the queue is
// dropped while some run, the process ends here (swap files deleted) instead of returning into
// the exit-time clean-up under their feet.
int end_channel(Channel* channel, ChannelEnding ending) {
  if (ending == kEndNow) {
    if (work_queue_stop(&channel->queue) > 0) {
      work_queue_detach(&channel->queue);
      qvmem_exit_now(0);
    }
    work_queue_join(&channel->queue);
  } else {
    work_queue_finish(&channel->queue);
  }
  active_channel.store(nullptr);
  for (ConsoleOps& ops : channel->consoles) console_release_scratch(&ops);
  return 0;
}

// Moves standard input and output to private descriptors; standard input then reads from
// /dev/null and standard output writes to standard error. False when they cannot be moved.
bool take_standard_streams(int* input, int* output) {
  fflush(stdout);
  const int private_input = fcntl(0, F_DUPFD_CLOEXEC, 3);
  const int private_output = fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (private_input < 0 || private_output < 0) {
    if (private_input >= 0) close(private_input);
    if (private_output >= 0) close(private_output);
    return false;
  }
  *input = private_input;
  *output = private_output;
  const int null_input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_input >= 0) {
    dup2(null_input, 0);
    close(null_input);
  }
  dup2(2, 1);
  return true;
}

int channel_main(ChannelProtocol protocol) {
  // A front end that goes away must not kill the process on the next write: the write fails
  // and the process ends with status 1 after deleting its swap files.
  signal(SIGPIPE, SIG_IGN);
  int input = 0;
  int output = 1;
  if (!take_standard_streams(&input, &output)) {
    input = 0;
    output = 1;
  }
  return run_channel(protocol, input, output);
}

}  // namespace

bool channel_write_text(Channel* channel, const std::string& payload) {
  return write_frame(channel, 0, payload);
}

bool channel_write_json(Channel* channel, uint32_t identifier, const std::string& payload) {
  return write_frame(channel, identifier, payload);
}

int run_channel(ChannelProtocol protocol, int input, int output) {
  Channel channel;
  channel.protocol = protocol;
  channel.input = input;
  channel.output = output;
  for (ConsoleOps& ops : channel.consoles) init_console(&ops);
  // Tools run side by side from here on.
  qvmem_init(nullptr, 0);
  qvmem_set_thread_safe(true);
  active_channel.store(&channel);
  write_greeting(&channel);
  work_queue_start(&channel.queue, kChannelWorkers, run_queued, &channel);
  return end_channel(&channel, read_requests(&channel));
}

int ipc_main() {
  return channel_main(kProtocolText);
}

int ipc2_main() {
  return channel_main(kProtocolJson);
}
