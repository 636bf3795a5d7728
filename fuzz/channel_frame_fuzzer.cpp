// The channel's frame reader over a byte stream, for both protocols: frames are taken from the
// front of the buffer as the reading loop does, and each text request is split into its parts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "ipc/framing.h"

namespace {

void read_frames(ChannelProtocol protocol, const uint8_t* data, size_t size) {
  size_t at = 0;
  uint64_t sum = 0;
  while (at < size) {
    const ParsedFrame frame = parse_frame(protocol, data + at, size - at);
    if (frame.status == kFrameIncomplete || frame.consumed == 0) break;
    if (frame.consumed > size - at) abort();  // a frame may never reach past the buffer
    if (frame.status == kFrameComplete) {
      if (frame.payload_offset + frame.payload_size > frame.consumed) abort();
      const std::string payload(reinterpret_cast<const char*>(data + at + frame.payload_offset),
                                frame.payload_size);
      if (protocol == kProtocolText) {
        const TextRequest request = parse_text_request(payload);
        sum += qv_fuzz::touch(request.id.data(), request.id.size());
        sum += qv_fuzz::touch(request.name.data(), request.name.size());
        sum += qv_fuzz::touch(request.arguments.data(), request.arguments.size());
      } else {
        sum += qv_fuzz::touch(payload.data(), payload.size());
      }
    }
    at += frame.consumed;
  }
  qv_fuzz::sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  read_frames(kProtocolText, data, size);
  read_frames(kProtocolJson, data, size);
  return 0;
}
