// Frame and request parsing over plain buffers: well-formed, cut and malformed frames of both
// protocols, and the forms of text-protocol requests.
#include "ipc/framing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string le32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

ParsedFrame parse(ChannelProtocol protocol, const std::string& bytes) {
  return parse_frame(protocol, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(Framing, TextFramesWholeCutAndMalformed) {
  struct Row {
    const char* what;
    std::string bytes;
    FrameStatus status;
    size_t consumed;
    size_t payload_size;
  };
  const Row rows[] = {
      {"nothing", "", kFrameIncomplete, 0, 0},
      {"three header bytes", std::string("\x05\0\0", 3), kFrameIncomplete, 0, 0},
      {"header only", le32(5), kFrameIncomplete, 0, 5},
      {"payload cut short", le32(5) + "exi", kFrameIncomplete, 0, 5},
      {"whole frame", le32(4) + "exit", kFrameComplete, 8, 4},
      {"frame and more", le32(1) + "x" + le32(7), kFrameComplete, 5, 1},
      {"length 0", le32(0) + "exit", kFrameInvalid, 4, 0},
      {"length above the limit", le32(0x10000000) + "x", kFrameInvalid, 4, 0},
      {"length 0xFFFFFFFF", le32(0xFFFFFFFF), kFrameInvalid, 4, 0},
      {"length at the limit, cut", le32(0x0FFFFFFF) + "abc", kFrameIncomplete, 0, 0x0FFFFFFF},
  };
  for (const Row& row : rows) {
    const ParsedFrame frame = parse(kProtocolText, row.bytes);
    EXPECT_EQ(frame.status, row.status) << row.what;
    EXPECT_EQ(frame.consumed, row.consumed) << row.what;
    EXPECT_EQ(frame.payload_size, row.payload_size) << row.what;
    if (frame.status == kFrameComplete) {
      EXPECT_EQ(frame.payload_offset, kTextHeaderSize);
    }
  }
}

TEST(Framing, JsonFramesCarryIdentifierAndFlags) {
  struct Row {
    const char* what;
    std::string bytes;
    FrameStatus status;
    size_t consumed;
    uint32_t identifier;
    uint8_t flags;
  };
  const std::string id_flags_1 = std::string("\x01\0\0\x01", 4);
  const Row rows[] = {
      {"seven header bytes", le32(2) + std::string("\x01\0\0", 3), kFrameIncomplete, 0, 0, 0},
      {"payload cut short", le32(2) + id_flags_1 + "{", kFrameIncomplete, 0, 1, 1},
      {"queued request", le32(2) + id_flags_1 + "{}", kFrameComplete, 10, 1, 1},
      {"24-bit identifier, flags 7", le32(1) + "\xEF\xCD\xAB\x07" + "x", kFrameComplete, 9,
       0xABCDEF, 7},
      {"identifier 0", le32(4) + std::string("\0\0\0\0", 4) + "exit", kFrameComplete, 12, 0, 0},
      {"size 0", le32(0) + id_flags_1 + "{}", kFrameInvalid, 8, 0, 0},
      {"size above the limit", le32(0x80000000) + id_flags_1, kFrameInvalid, 8, 0, 0},
  };
  for (const Row& row : rows) {
    const ParsedFrame frame = parse(kProtocolJson, row.bytes);
    EXPECT_EQ(frame.status, row.status) << row.what;
    EXPECT_EQ(frame.consumed, row.consumed) << row.what;
    EXPECT_EQ(frame.identifier, row.identifier) << row.what;
    EXPECT_EQ(frame.flags, row.flags) << row.what;
    if (frame.status == kFrameComplete) {
      EXPECT_EQ(frame.payload_offset, kJsonHeaderSize);
    }
  }
}

TEST(Framing, HeadersWrittenAreReadBack) {
  uint8_t header[kJsonHeaderSize];
  encode_frame_header(kProtocolJson, 100000, 0x123456, header);
  std::string bytes(reinterpret_cast<char*>(header), sizeof header);
  bytes += std::string(100000, 'a');
  ParsedFrame frame = parse(kProtocolJson, bytes);
  EXPECT_EQ(frame.status, kFrameComplete);
  EXPECT_EQ(frame.payload_size, 100000u);
  EXPECT_EQ(frame.identifier, 0x123456u);
  EXPECT_EQ(frame.flags, kJsonFlagQueued);  // every response carries flags 1

  encode_frame_header(kProtocolText, 3, 0, header);
  frame = parse(kProtocolText, std::string(reinterpret_cast<char*>(header), 4) + "abc");
  EXPECT_EQ(frame.status, kFrameComplete);
  EXPECT_EQ(frame.payload_size, 3u);
}

TEST(Framing, TextRequestForms) {
  struct Row {
    const char* payload;
    TextRequestKind kind;
    const char* id;
    const char* name;
    const char* arguments;
  };
  const Row rows[] = {
      {"cmds:7:connect:1234", kRequestImmediate, "7", "connect", "1234"},
      {"cmda:x1:command:spheretocube a:b c:d", kRequestQueued, "x1", "command",
       "spheretocube a:b c:d"},
      {"cmds:7:connect:", kRequestImmediate, "7", "connect", ""},
      {"cmds:::", kRequestImmediate, "", "", ""},
      {"cmds:7:connect", kRequestIgnored, "", "", ""},
      {"cmda:7", kRequestIgnored, "", "", ""},
      {"cmds:", kRequestIgnored, "", "", ""},
      {"exit", kRequestExit, "", "", ""},
      {"exit ", kRequestUnknown, "", "", ""},
      {"EXIT", kRequestUnknown, "", "", ""},
      {"cmdx:1:connect:", kRequestUnknown, "", "", ""},
      {"cmd", kRequestUnknown, "", "", ""},
  };
  for (const Row& row : rows) {
    const TextRequest request = parse_text_request(row.payload);
    EXPECT_EQ(request.kind, row.kind) << row.payload;
    EXPECT_EQ(request.id, row.id) << row.payload;
    EXPECT_EQ(request.name, row.name) << row.payload;
    EXPECT_EQ(request.arguments, row.arguments) << row.payload;
  }
  EXPECT_EQ(parse_text_request(std::string("exit\0", 5)).kind, kRequestUnknown);
}

}  // namespace
