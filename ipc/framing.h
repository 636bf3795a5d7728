// Frames of the front-end channel and the requests they carry, as plain functions over a
// buffer: nothing here reads or writes a stream, so the parsers can be tested and fuzzed alone.
//
// Text protocol ("ipc", greeting "QIPC"): 4-byte little-endian payload length, then the payload.
// JSON protocol ("ipc2", greeting "IPC2"): 4-byte little-endian payload size, 3-byte
// little-endian request identifier, one flags byte, then the payload. A length or size outside
// 1 … kFrameLengthLimit makes the frame invalid: its header is dropped and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum ChannelProtocol : int32_t {
  kProtocolText = 1,  // "ipc": text requests, start/progress/error/done messages
  kProtocolJson = 2,  // "ipc2": JSON requests and responses
};

constexpr uint32_t kFrameLengthLimit = 0x0FFFFFFF;  // largest payload length either side accepts
constexpr size_t kTextHeaderSize = 4;
constexpr size_t kJsonHeaderSize = 8;
constexpr uint32_t kJsonIdentifierLimit = 0xFFFFFF;  // identifiers are 24 bits
constexpr uint8_t kJsonFlagQueued = 1;               // request: run on a worker; every response

// The 4 unframed bytes the channel writes first.
const char* channel_greeting(ChannelProtocol protocol);
size_t frame_header_size(ChannelProtocol protocol);

enum FrameStatus : int32_t {
  kFrameIncomplete = 0,  // more bytes are needed; nothing consumed
  kFrameInvalid = 1,     // bad length: drop the header (consumed) and go on
  kFrameComplete = 2,    // header and payload are in the buffer
};

// The first frame found at the start of a buffer.
struct ParsedFrame {
  FrameStatus status = kFrameIncomplete;
  size_t consumed = 0;        // bytes the frame takes from the buffer (header only when invalid)
  size_t payload_offset = 0;  // where the payload starts in the buffer
  size_t payload_size = 0;    // payload bytes (the header's length or size)
  uint32_t identifier = 0;    // JSON protocol: request identifier (0 … kJsonIdentifierLimit)
  uint8_t flags = 0;          // JSON protocol: the flags byte as received
};

ParsedFrame parse_frame(ChannelProtocol protocol, const uint8_t* data, size_t size);

// The header of an outgoing frame: the text protocol's length, or the JSON protocol's size,
// identifier (low 24 bits) and flags 1. header must hold frame_header_size bytes.
void encode_frame_header(ChannelProtocol protocol, uint32_t payload_size, uint32_t identifier,
                         uint8_t* header);

// What a text-protocol request payload asks for.
enum TextRequestKind : int32_t {
  kRequestImmediate = 0,  // "cmds:ID:NAME:ARGUMENTS": run on the reading thread
  kRequestQueued = 1,     // "cmda:ID:NAME:ARGUMENTS": run on a worker thread
  kRequestExit = 2,       // "exit": end the channel
  kRequestIgnored = 3,    // "cmds:"/"cmda:" without both colons: no answer
  kRequestUnknown = 4,    // anything else: answered with "unknown command:" and the payload
};

struct TextRequest {
  TextRequestKind kind = kRequestUnknown;
  std::string id;         // text up to the first colon after the prefix
  std::string name;       // text up to the next colon
  std::string arguments;  // the whole rest, colons included
};

TextRequest parse_text_request(const std::string& payload);

// "ret:" id ":" kind ":" text, the text protocol's answer and event messages; kind is one of
// "start", "progress", "error", "done".
std::string text_event(const std::string& id, const char* kind, const std::string& text);
// "unknown command:" and the payload.
std::string unknown_request_answer(const std::string& payload);
