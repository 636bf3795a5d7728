#include "server/http_parse.h"

#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "base/text.h"
#include "server/md5.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim_spaces(std::string_view text) {
  while (!text.empty() && (is_space(text.front()) || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (is_space(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Splits off the next line (without its LF and CR); false when no text is left.
bool next_line(std::string_view* rest, std::string_view* line) {
  if (rest->empty()) return false;
  size_t end = rest->find('\n');
  if (end == std::string_view::npos) end = rest->size();
  *line = rest->substr(0, end);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  rest->remove_prefix(end < rest->size() ? end + 1 : end);
  return true;
}

// Splits off the next word up to a space; runs of spaces between words count as one.
std::string_view next_word(std::string_view* rest) {
  size_t end = rest->find(' ');
  if (end == std::string_view::npos) end = rest->size();
  std::string_view word = rest->substr(0, end);
  rest->remove_prefix(end);
  while (!rest->empty() && rest->front() == ' ') rest->remove_prefix(1);
  return word;
}

bool is_request_method(std::string_view word) {
  static const char* const kMethods[] = {"GET", "POST",   "HEAD",    "CONNECT",
                                         "PUT", "DELETE", "OPTIONS", "PROPFIND"};
  for (const char* method : kMethods) {
    if (word == method) return true;
  }
  return false;
}

int month_number(const char* name) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    if (strcmp(name, kMonths[i]) == 0) return i;
  }
  return -1;
}

// Reads a non-negative decimal number; false on no digits or overflow.
bool parse_decimal(std::string_view* text, int64_t* value) {
  int64_t result = 0;
  size_t digits = 0;
  while (digits < text->size() && (*text)[digits] >= '0' && (*text)[digits] <= '9') {
    int digit = (*text)[digits] - '0';
    if (result > (INT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
    ++digits;
  }
  if (digits == 0) return false;
  text->remove_prefix(digits);
  *value = result;
  return true;
}

// Reads an optionally signed decimal number the way "%lld" would, refusing overflow.
bool parse_signed(std::string_view* text, int64_t* value) {
  while (!text->empty() && is_space(text->front())) text->remove_prefix(1);
  bool negative = false;
  if (!text->empty() && (text->front() == '-' || text->front() == '+')) {
    negative = text->front() == '-';
    text->remove_prefix(1);
  }
  if (!parse_decimal(text, value)) return false;
  if (negative) *value = -*value;
  return true;
}

bool keeps_in_name(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != 0 && strchr("._-$,;~()", c) != nullptr);
}

std::string url_encode(std::string_view text, bool keep_slash) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (keeps_in_name(byte) || (keep_slash && byte == '/')) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

}  // namespace

size_t request_head_length(const char* buffer, size_t size) {
  size_t start = 0;
  while (start < size && (buffer[start] == ' ' || buffer[start] == '\t' || buffer[start] == '\r' ||
                          buffer[start] == '\n')) {
    ++start;
  }
  for (size_t i = start; i < size; ++i) {
    if (buffer[i] != '\n') continue;
    if (i + 1 < size && buffer[i + 1] == '\n') return i + 2;
    if (i + 2 < size && buffer[i + 1] == '\r' && buffer[i + 2] == '\n') return i + 3;
  }
  return 0;
}

bool parse_request(const char* buffer, size_t length, HttpRequest* request) {
  *request = HttpRequest();
  std::string_view rest(buffer, length);
  while (!rest.empty() &&
         (is_space(rest.front()) || rest.front() == '\r' || rest.front() == '\n')) {
    rest.remove_prefix(1);
  }
  std::string_view line;
  if (!next_line(&rest, &line)) return false;
  request->method = next_word(&line);
  request->uri = next_word(&line);
  std::string_view version = line;
  while (!version.empty() && is_space(version.back())) version.remove_suffix(1);
  if (request->method.empty() || request->uri.empty()) return false;
  if (is_request_method(request->method)) {
    if (version.substr(0, 5) != "HTTP/") return false;
    request->http_version = version.substr(5);
  } else if (request->method.substr(0, 5) == "HTTP/") {
    request->http_version = request->method.substr(5);
  } else {
    return false;
  }
  while (next_line(&rest, &line)) {
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    if (request->header_count == kMaxRequestHeaders) continue;
    HttpHeader& header = request->headers[request->header_count++];
    header.name = trim_spaces(line.substr(0, colon));
    header.value = trim_spaces(line.substr(colon + 1));
  }
  return true;
}

bool find_header(const HttpRequest& request, std::string_view name, std::string_view* value) {
  for (int i = 0; i < request.header_count; ++i) {
    if (equal_ignoring_case(request.headers[i].name, name)) {
      *value = request.headers[i].value;
      return true;
    }
  }
  return false;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowered_ascii(a[i]) != lowered_ascii(b[i])) return false;
  }
  return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

std::string decode_percent_escapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
        hex_value(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

void remove_double_dots_and_slashes(std::string* path) {
  std::string& s = *path;
  size_t out = 0;
  size_t in = 0;
  while (in < s.size()) {
    char c = s[in++];
    s[out++] = c;
    if (c != '/' && c != '\\') continue;
    while (in < s.size()) {
      if (s[in] == '/' || s[in] == '\\') {
        ++in;
      } else if (s[in] == '.' && in + 1 < s.size() && s[in + 1] == '.') {
        in += 2;
      } else {
        break;
      }
    }
  }
  s.resize(out);
}

bool resolve_request_path(std::string_view target, std::string* path) {
  *path = decode_percent_escapes(target);
  for (char c : *path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      path->clear();
      return false;
    }
  }
  remove_double_dots_and_slashes(path);
  return true;
}

namespace {

// One alternative of a pattern against a text, from pattern position i and text position j.
// Results are remembered per (i, j), so runs of stars cost polynomial, not exponential, time.
struct PatternMatch {
  std::string_view pattern;
  std::string_view text;
  std::unordered_map<size_t, int> memo;  // i × (text size + 1) + j → length matched, or -1
};

int match_from(PatternMatch* m, size_t i, size_t j) {
  const size_t at = i * (m->text.size() + 1) + j;
  const auto known = m->memo.find(at);
  if (known != m->memo.end()) return known->second;
  const std::string_view pattern = m->pattern;
  const std::string_view text = m->text;
  const size_t start = j;
  int result = -1;
  for (;; ++i, ++j) {
    if (i == pattern.size()) {
      result = static_cast<int>(j - start);
      break;
    }
    if (pattern[i] == '?' && j < text.size()) continue;
    if (pattern[i] == '$') {
      result = j == text.size() ? static_cast<int>(j - start) : -1;
      break;
    }
    if (pattern[i] == '*') {
      ++i;
      size_t length;
      if (i < pattern.size() && pattern[i] == '*') {
        ++i;
        length = text.size() - j;
      } else {
        const size_t slash = text.find('/', j);
        length = (slash == std::string_view::npos ? text.size() : slash) - j;
      }
      if (i == pattern.size()) {
        result = static_cast<int>(j + length - start);
        break;
      }
      // Longest run first, shrinking until the rest of the pattern matches.
      for (size_t take = length + 1; take-- > 0;) {
        const int rest = match_from(m, i, j + take);
        if (rest >= 0) {
          result = static_cast<int>(j + take - start) + rest;
          break;
        }
      }
      break;
    }
    if (j >= text.size() || lowered_ascii(pattern[i]) != lowered_ascii(text[j])) break;
  }
  m->memo[at] = result;
  return result;
}

}  // namespace

int match_pattern(std::string_view pattern, std::string_view text) {
  const size_t bar = pattern.find('|');
  if (bar != std::string_view::npos) {
    const int first = match_pattern(pattern.substr(0, bar), text);
    return first > 0 ? first : match_pattern(pattern.substr(bar + 1), text);
  }
  PatternMatch m{pattern, text, {}};
  return match_from(&m, 0, 0);
}

bool parse_content_length(std::string_view text, int64_t* length) {
  text = trim_spaces(text);
  int64_t value = 0;
  if (!parse_decimal(&text, &value) || !text.empty()) return false;
  *length = value;
  return true;
}

int parse_byte_range(std::string_view text, int64_t* first, int64_t* last) {
  if (text.substr(0, 6) != "bytes=") return 0;
  text.remove_prefix(6);
  if (!parse_signed(&text, first)) return 0;
  if (text.empty() || text.front() != '-') return 1;
  text.remove_prefix(1);
  std::string_view second = text;
  if (parse_signed(&second, last)) return 2;
  // A second number that overflows makes the whole header unreadable; a missing one is fine.
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  if (!text.empty() && text.front() >= '0' && text.front() <= '9') return 0;
  return 1;
}

namespace {

// Digits of a range position; true with the value (saturated at INT64_MAX) when at least one
// digit is there.
bool parse_position(std::string_view* text, int64_t* value) {
  size_t digits = 0;
  int64_t result = 0;
  while (digits < text->size() && (*text)[digits] >= '0' && (*text)[digits] <= '9') {
    int digit = (*text)[digits] - '0';
    result = result > (INT64_MAX - digit) / 10 ? INT64_MAX : result * 10 + digit;
    ++digits;
  }
  if (digits == 0) return false;
  text->remove_prefix(digits);
  *value = result;
  return true;
}

std::string_view trim_optional_space(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

ByteRange resolve_byte_range(std::string_view text, int64_t size) {
  ByteRange whole;
  ByteRange refused;
  refused.answer = RangeAnswer::kUnsatisfiable;
  text = trim_optional_space(text);
  size_t equals = text.find('=');
  if (equals == std::string_view::npos) return refused;
  if (!equal_ignoring_case(text.substr(0, equals), "bytes")) {
    // Another unit is not understood here: the header is ignored. A unit that is not even a
    // token makes the header malformed.
    for (char c : text.substr(0, equals)) {
      if (c <= ' ' || c >= 127 || c == ',' || c == '"' || c == ';') return refused;
    }
    return equals == 0 ? refused : whole;
  }
  std::string_view set = text.substr(equals + 1);
  int ranges = 0;
  ByteRange first_part;
  bool any_satisfiable = false;
  for (;;) {
    size_t comma = set.find(',');
    std::string_view range_text = trim_optional_space(set.substr(0, comma));
    set.remove_prefix(comma == std::string_view::npos ? set.size() : comma + 1);
    if (!range_text.empty()) {  // empty list elements are allowed and skipped
      ++ranges;
      int64_t first = 0, last = INT64_MAX;
      ByteRange part;
      part.answer = RangeAnswer::kPart;
      if (range_text.front() == '-') {
        range_text.remove_prefix(1);
        int64_t count = 0;
        if (!parse_position(&range_text, &count) || !range_text.empty()) return refused;
        if (count > 0 && size > 0) {
          part.length = count < size ? count : size;
          part.first = size - part.length;
          any_satisfiable = true;
        } else {
          part.answer = RangeAnswer::kUnsatisfiable;
        }
      } else {
        if (!parse_position(&range_text, &first) || range_text.empty() || range_text.front() != '-') return refused;
        range_text.remove_prefix(1);
        if (!range_text.empty() && (!parse_position(&range_text, &last) || !range_text.empty())) return refused;
        if (last < first) return refused;
        if (first < size) {
          part.first = first;
          part.length = (last < size - 1 ? last : size - 1) - first + 1;
          any_satisfiable = true;
        } else {
          part.answer = RangeAnswer::kUnsatisfiable;
        }
      }
      if (ranges == 1) first_part = part;
    }
    if (comma == std::string_view::npos) break;
  }
  if (ranges == 0 || !any_satisfiable) return refused;
  return ranges == 1 ? first_part : whole;
}

BodyFraming request_body_framing(const HttpRequest& request, int64_t* length) {
  bool have_length = false;
  int64_t declared = 0;
  for (int i = 0; i < request.header_count; ++i) {
    const HttpHeader& header = request.headers[i];
    if (equal_ignoring_case(header.name, "Transfer-Encoding")) return BodyFraming::kRefused;
  }
  for (int i = 0; i < request.header_count; ++i) {
    const HttpHeader& header = request.headers[i];
    if (!equal_ignoring_case(header.name, "Content-Length")) continue;
    // A list ("5, 5") is read element by element; all must agree.
    std::string_view rest = header.value;
    do {
      size_t comma = rest.find(',');
      int64_t value = 0;
      if (!parse_content_length(rest.substr(0, comma), &value)) return BodyFraming::kMalformed;
      if (have_length && value != declared) return BodyFraming::kMalformed;
      have_length = true;
      declared = value;
      rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
    } while (!rest.empty());
  }
  if (!have_length) return BodyFraming::kNone;
  *length = declared;
  return BodyFraming::kLength;
}

bool parse_http_date(std::string_view text, time_t* result) {
  char copy[64];
  if (text.size() >= sizeof(copy)) return false;
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  char month_name[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  bool read =
      sscanf(copy, "%d/%3s/%d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) == 6 ||
      sscanf(copy, "%d %3s %d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) == 6 ||
      sscanf(copy, "%*3s, %d %3s %d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) ==
          6 ||
      sscanf(copy, "%d-%3s-%d %d:%d:%d", &day, month_name, &year, &hour, &minute, &second) == 6;
  int month = month_number(month_name);
  if (!read || month < 0 || year < 1970 || year > 9999 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return false;
  }
  struct tm fields = {};
  fields.tm_year = year - 1900;
  fields.tm_mon = month;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  *result = timegm(&fields);
  return true;
}

std::string format_http_date(time_t time) {
  // Answers name the same few seconds over and over (the present one, a file's date): each
  // thread keeps its last two texts.
  struct Formatted {
    bool known = false;
    time_t time = 0;
    char text[64] = {};
  };
  thread_local Formatted kept[2];
  thread_local int next = 0;
  for (const Formatted& entry : kept) {
    if (entry.known && entry.time == time) return entry.text;
  }
  struct tm fields;
  gmtime_r(&time, &fields);
  Formatted& entry = kept[next];
  next ^= 1;
  if (strftime(entry.text, sizeof(entry.text), "%a, %d %b %Y %H:%M:%S GMT", &fields) == 0) {
    entry.text[0] = '\0';
  }
  entry.time = time;
  entry.known = true;
  return entry.text;
}

bool parse_digest_credentials(std::string_view header, DigestCredentials* credentials) {
  *credentials = DigestCredentials();
  if (!starts_with_ignoring_case(header, "Digest ")) return false;
  std::string_view rest = header.substr(7);
  while (!rest.empty()) {
    while (!rest.empty() && (is_space(rest.front()) || rest.front() == ',')) rest.remove_prefix(1);
    size_t equals = rest.find('=');
    if (equals == std::string_view::npos) break;
    std::string_view name = trim_spaces(rest.substr(0, equals));
    rest.remove_prefix(equals + 1);
    while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
    std::string_view value;
    if (!rest.empty() && rest.front() == '"') {
      size_t close = rest.find('"', 1);
      if (close == std::string_view::npos) close = rest.size();
      value = rest.substr(1, close - 1);
      rest.remove_prefix(close < rest.size() ? close + 1 : close);
    } else {
      size_t end = rest.find_first_of(", \t");
      if (end == std::string_view::npos) end = rest.size();
      value = rest.substr(0, end);
      rest.remove_prefix(end);
    }
    std::string* target = nullptr;
    if (name == "username") target = &credentials->user;
    if (name == "cnonce") target = &credentials->cnonce;
    if (name == "response") target = &credentials->response;
    if (name == "uri") target = &credentials->uri;
    if (name == "qop") target = &credentials->qop;
    if (name == "nc") target = &credentials->nc;
    if (name == "nonce") target = &credentials->nonce;
    if (target) target->assign(value.data(), value.size());
  }
  return true;
}

std::string digest_response(const std::string& ha1, const std::string& method,
                            const DigestCredentials& credentials) {
  std::string ha2 = md5_hex(method + ":" + credentials.uri);
  return md5_hex(ha1 + ":" + credentials.nonce + ":" + credentials.nc + ":" + credentials.cnonce +
                 ":" + credentials.qop + ":" + ha2);
}

bool parse_subnet(std::string_view text, uint32_t* network, uint32_t* mask) {
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    int64_t value = 0;
    if (!parse_decimal(&text, &value) || value > 255) return false;
    address = address << 8 | static_cast<uint32_t>(value);
  }
  int64_t bits = 32;
  if (!text.empty() && text.front() == '/') {
    text.remove_prefix(1);
    if (!parse_decimal(&text, &bits) || bits > 32) return false;
  }
  if (!text.empty()) return false;
  *mask = bits == 0 ? 0 : 0xffffffffu << (32 - bits);
  *network = address & *mask;
  return true;
}

bool parse_access_list(std::string_view text, std::vector<AccessRule>* rules) {
  rules->clear();
  while (!text.empty()) {
    size_t comma = text.find(',');
    std::string_view entry = trim_spaces(text.substr(0, comma));
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    if (entry.empty() || (entry.front() != '+' && entry.front() != '-')) return false;
    AccessRule rule;
    rule.allow = entry.front() == '+';
    if (!parse_subnet(entry.substr(1), &rule.network, &rule.mask)) return false;
    rules->push_back(rule);
  }
  return true;
}

bool access_allowed(const std::vector<AccessRule>& rules, uint32_t address) {
  if (rules.empty()) return true;
  bool allowed = false;
  for (const AccessRule& rule : rules) {
    if ((address & rule.mask) == rule.network) allowed = rule.allow;
  }
  return allowed;
}

std::string url_encode_name(std::string_view name) {
  return url_encode(name, false);
}

std::string url_encode_path(std::string_view path) {
  return url_encode(path, true);
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

void apply_sort_request(char order[9], std::string_view key) {
  char letter;
  if (key.substr(0, 4) == "name") {
    letter = 'n';
  } else if (key.substr(0, 4) == "type") {
    letter = 't';
  } else if (key.substr(0, 4) == "size") {
    letter = 's';
  } else if (key.substr(0, 4) == "date") {
    letter = 'd';
  } else {
    return;
  }
  if (order[0] == letter) {
    order[1] = order[1] == 'd' ? 'u' : 'd';
    return;
  }
  char reordered[9] = {letter, 'd'};
  int out = 2;
  for (int pair = 0; pair < 4; ++pair) {
    if (order[pair * 2] == letter) continue;
    if (out >= 8) break;
    reordered[out++] = order[pair * 2];
    reordered[out++] = order[pair * 2 + 1];
  }
  if (out != 8) return;  // an order without this key is left alone
  memcpy(order, reordered, 8);
}
