#include "ipc/framing.h"

namespace {

const char kImmediatePrefix[] = "cmds:";
const char kQueuedPrefix[] = "cmda:";
const char kExitPayload[] = "exit";
const size_t kPrefixLength = 5;

uint32_t read_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void write_le32(uint32_t value, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool valid_length(uint32_t length) {
  return length >= 1 && length <= kFrameLengthLimit;
}

// Splits "ID:NAME:ARGUMENTS" (the text after the prefix); false without both colons.
bool split_command(const std::string& payload, TextRequest* request) {
  const size_t id_end = payload.find(':', kPrefixLength);
  if (id_end == std::string::npos) return false;
  const size_t name_end = payload.find(':', id_end + 1);
  if (name_end == std::string::npos) return false;
  request->id = payload.substr(kPrefixLength, id_end - kPrefixLength);
  request->name = payload.substr(id_end + 1, name_end - id_end - 1);
  request->arguments = payload.substr(name_end + 1);
  return true;
}

}  // namespace

const char* channel_greeting(ChannelProtocol protocol) {
  return protocol == kProtocolJson ? "IPC2" : "QIPC";
}

size_t frame_header_size(ChannelProtocol protocol) {
  return protocol == kProtocolJson ? kJsonHeaderSize : kTextHeaderSize;
}

ParsedFrame parse_frame(ChannelProtocol protocol, const uint8_t* data, size_t size) {
  ParsedFrame frame;
  const size_t header_size = frame_header_size(protocol);
  if (size < header_size) return frame;
  const uint32_t length = read_le32(data);
  if (!valid_length(length)) {
    frame.status = kFrameInvalid;
    frame.consumed = header_size;
    return frame;
  }
  if (protocol == kProtocolJson) {
    frame.identifier = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8 |
                       static_cast<uint32_t>(data[6]) << 16;
    frame.flags = data[7];
  }
  frame.payload_offset = header_size;
  frame.payload_size = length;
  // The length is at most 2^28, so the sum cannot overflow.
  if (size - header_size < length) return frame;
  frame.status = kFrameComplete;
  frame.consumed = header_size + length;
  return frame;
}

void encode_frame_header(ChannelProtocol protocol, uint32_t payload_size, uint32_t identifier,
                         uint8_t* header) {
  write_le32(payload_size, header);
  if (protocol != kProtocolJson) return;
  header[4] = static_cast<uint8_t>(identifier);
  header[5] = static_cast<uint8_t>(identifier >> 8);
  header[6] = static_cast<uint8_t>(identifier >> 16);
  header[7] = kJsonFlagQueued;
}

TextRequest parse_text_request(const std::string& payload) {
  TextRequest request;
  const bool immediate = payload.compare(0, kPrefixLength, kImmediatePrefix) == 0;
  const bool queued = !immediate && payload.compare(0, kPrefixLength, kQueuedPrefix) == 0;
  if (immediate || queued) {
    request.kind = !split_command(payload, &request) ? kRequestIgnored
                   : immediate                       ? kRequestImmediate
                                                     : kRequestQueued;
    return request;
  }
  request.kind = payload == kExitPayload ? kRequestExit : kRequestUnknown;
  return request;
}

std::string text_event(const std::string& id, const char* kind, const std::string& text) {
  std::string message;
  message.reserve(id.size() + text.size() + 16);
  message += "ret:";
  message += id;
  message += ':';
  message += kind;
  message += ':';
  message += text;
  return message;
}

std::string unknown_request_answer(const std::string& payload) {
  return "unknown command:" + payload;
}
