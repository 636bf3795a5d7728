// The front-end channel: a graphical front end starts "qorveltools ipc" (text protocol) or
// "qorveltools ipc2" (JSON protocol) and exchanges frames with it over standard input and
// output. The reading thread runs immediate requests itself and queues the others for four
// worker threads; every frame goes out whole under the write lock.
//
// The channel ends on the exit request, when the watched front end process is gone, or at the
// end of standard input. On exit or a lost front end, queued requests are dropped and runs still
// going end with the process. At the end of input the channel waits for a watched front end
// only when it is the channel's parent; otherwise the queued requests are finished first. A frame that cannot be written ends the process with status 1.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "base/console.h"
#include "ipc/framing.h"
#include "ipc/process_watch.h"
#include "ipc/work_queue.h"

constexpr int kChannelWorkers = 4;
constexpr size_t kWritePieceSize = 65535;  // largest piece of a frame written at once
constexpr int kWatchIntervalMs = 100;      // idle reading loop: parent check interval

struct Channel {
  ChannelProtocol protocol = kProtocolText;
  int input = -1;         // descriptor the requests are read from
  int output = -1;        // descriptor the frames are written to
  std::mutex write_lock;  // held while one frame is written
  ProcessWatch watch;     // the front end's process, once connect named it
  WorkQueue queue;
  // Console records of the text protocol, the reading thread's first, then one per worker: copies
  // of the process record whose log, print and error send progress and error messages that
  // carry context_tag as the id.
  ConsoleOps consoles[1 + kChannelWorkers];
};

// Writes one text-protocol frame. A payload longer than a frame may hold is not sent (false).
bool channel_write_text(Channel* channel, const std::string& payload);

// Writes one JSON-protocol response frame with the request's identifier.
bool channel_write_json(Channel* channel, uint32_t identifier, const std::string& payload);

// Runs the channel on the given descriptors until it ends; 0 then.
int run_channel(ChannelProtocol protocol, int input, int output);

// Tool entries of "ipc" and "ipc2": standard input and output become the channel; the process's
// own standard output then goes to standard error, and standard input reads nothing, so a stray
// print or read by a tool can never break a frame.
int ipc_main();
int ipc2_main();
