#include "base/text.h"

#include <array>
#include <cwchar>

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoding table: 0-63 for alphabet characters, 64 for "=", 255 for everything else.
const std::array<uint8_t, 256>& base64_table() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<uint8_t, 256> t;
    t.fill(255);
    for (int i = 0; i < 64; ++i)
      t[static_cast<uint8_t>(kBase64Alphabet[i])] = static_cast<uint8_t>(i);
    t['='] = 64;
    return t;
  }();
  return table;
}

}  // namespace

char lowered_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void lower_ascii(std::string* text) {
  for (char& c : *text) c = lowered_ascii(c);
}

std::string lowered_ascii(std::string text) {
  lower_ascii(&text);
  return text;
}

std::wstring utf8_to_wide(const std::string& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    uint32_t code = 0;
    int extra = 0;
    if (c < 0x80) {
      code = c;
    } else if ((c & 0xE0) == 0xC0) {
      code = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      code = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      code = c & 0x07;
      extra = 3;
    } else {
      return std::wstring();
    }
    if (i + static_cast<size_t>(extra) >= text.size() && extra > 0) return std::wstring();
    for (int k = 1; k <= extra; ++k) {
      uint8_t next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::wstring();
      code = (code << 6) | (next & 0x3F);
    }
    out.push_back(static_cast<wchar_t>(code));
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string wide_to_utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    uint32_t code = static_cast<uint32_t>(wc);
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x110000) {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      return std::string();
    }
  }
  return out;
}

std::string utf8_to_console(const std::string& text) {
  return text;
}

std::string quote_for_command_line(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\'')
      out += "\\'";
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

std::string base64_encode(const uint8_t* data, size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < size) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < size) group |= data[i + 2];
    out.push_back(kBase64Alphabet[(group >> 18) & 63]);
    out.push_back(kBase64Alphabet[(group >> 12) & 63]);
    out.push_back(i + 1 < size ? kBase64Alphabet[(group >> 6) & 63] : '=');
    out.push_back(i + 2 < size ? kBase64Alphabet[group & 63] : '=');
  }
  return out;
}

std::vector<uint8_t> base64_decode(const char* text) {
  const std::array<uint8_t, 256>& table = base64_table();
  std::vector<uint8_t> out;
  uint32_t group = 0;
  int filled = 0;
  int padding = 0;
  for (const char* p = text; p && *p; ++p) {
    uint8_t value = table[static_cast<uint8_t>(*p)];
    if (value == 255) continue;
    if (value == 64) {
      ++padding;
      value = 0;
    }
    group = (group << 6) | value;
    if (++filled == 4) {
      out.push_back(static_cast<uint8_t>(group >> 16));
      out.push_back(static_cast<uint8_t>(group >> 8));
      out.push_back(static_cast<uint8_t>(group));
      group = 0;
      filled = 0;
    }
  }
  if (filled > 1) {  // an unpadded tail still carries whole bytes
    group <<= 6 * (4 - filled);
    out.push_back(static_cast<uint8_t>(group >> 16));
    if (filled > 2) out.push_back(static_cast<uint8_t>(group >> 8));
  }
  size_t drop = static_cast<size_t>(padding > 2 ? 2 : padding);
  out.resize(out.size() >= drop ? out.size() - drop : 0);
  return out;
}

void base64_init() {
  base64_table();
}
