// Socket-free parsers and formatters of the HTTP server: request heads, paths, patterns,
// ranges, dates, Digest credentials, access lists and listing texts. They work on buffers
// only, so each is tested without a network.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

constexpr int kMaxRequestHeaders = 64;

// One request header; both views point into the request buffer.
struct HttpHeader {
  std::string_view name;
  std::string_view value;
};

// A parsed request head; every view points into the buffer it was parsed from.
struct HttpRequest {
  std::string_view method;        // "GET", "HEAD", … as sent (case-sensitive)
  std::string_view uri;           // the request target as sent, query string included
  std::string_view http_version;  // the text after "HTTP/", e.g. "1.1"
  int header_count = 0;           // headers kept, at most kMaxRequestHeaders
  HttpHeader headers[kMaxRequestHeaders];
};

// Length of the request head at the start of buffer, up to and including the first empty line
// (CR LF CR LF or LF LF); 0 while no empty line has arrived. Leading white space is counted.
size_t request_head_length(const char* buffer, size_t size);

// Reads a complete head (as measured by request_head_length); false when it is malformed.
bool parse_request(const char* buffer, size_t length, HttpRequest* request);

// The value of the first header with this name (case-insensitive); false when absent.
bool find_header(const HttpRequest& request, std::string_view name, std::string_view* value);

// Case-insensitive comparison of ASCII texts.
bool equal_ignoring_case(std::string_view a, std::string_view b);
bool starts_with_ignoring_case(std::string_view text, std::string_view prefix);

// Decodes "%XX" escapes (two hexadecimal digits); other bytes, "+" included, stay as they are.
std::string decode_percent_escapes(std::string_view text);

// After every slash or backslash, drops the following run of slashes, backslashes and ".."
// pairs, so that the path can never climb above its first folder.
void remove_double_dots_and_slashes(std::string* path);

// The path a request target (without its query string) names: percent-decoded, then cleaned
// as above. False, with an empty path, when the decoded path holds a control byte (NUL, CR,
// LF …): such bytes have no place in a file name and would end up in headers.
bool resolve_request_path(std::string_view target, std::string* path);

// Matches text against a pattern of "|"-separated alternatives where "**" matches anything,
// "*" anything but "/", "?" one byte and a final "$" anchors at the end (letters compare
// case-insensitively). Returns the length of text matched from its start, or -1.
int match_pattern(std::string_view pattern, std::string_view text);

// A decimal Content-Length; false for anything but digits or a value beyond int64.
bool parse_content_length(std::string_view text, int64_t* length);

// "bytes=FIRST-LAST" or "bytes=FIRST-" (the offset form an upload's Content-Range uses here):
// the count of numbers read (0, 1 or 2). Numbers keep their sign; a value beyond int64 reads
// as 0 numbers.
int parse_byte_range(std::string_view text, int64_t* first, int64_t* last);

// What a Range header asks of a representation of a given size.
enum class RangeAnswer {
  kWhole,          // no range to apply: another unit, or several ranges; send the whole file
  kPart,           // one satisfiable range: send bytes [first, first + length)
  kUnsatisfiable,  // a malformed byte range set, or none of its ranges meets the file: 416
};
struct ByteRange {
  RangeAnswer answer = RangeAnswer::kWhole;
  int64_t first = 0;
  int64_t length = 0;
};

// Reads a Range header value against a size: "bytes=" (unit in any letter case) and a
// comma-separated set of "FIRST-LAST", "FIRST-" and suffix "-COUNT" ranges. A last position
// beyond the end stops at the end; a suffix longer than the file takes all of it; numbers too
// large for int64 count as infinitely large. A set of more than one range is answered whole
// (never a mix of parts), a malformed set or one that no range satisfies is unsatisfiable.
ByteRange resolve_byte_range(std::string_view text, int64_t size);

// How a request declares its body.
enum class BodyFraming {
  kNone,        // no Content-Length and no Transfer-Encoding
  kLength,      // one Content-Length (repeats with the same value allowed)
  kRefused,     // Transfer-Encoding of any kind (chunked bodies are not read)
  kMalformed,   // an unreadable Content-Length, or several that disagree
};

// Reads the body framing of a parsed request; *length is set for kLength.
BodyFraming request_body_framing(const HttpRequest& request, int64_t* length);

// An HTTP date in one of the forms "DD/Mon/YYYY hh:mm:ss", "DD Mon YYYY hh:mm:ss",
// "Wkd, DD Mon YYYY hh:mm:ss" and "DD-Mon-YYYY hh:mm:ss" (UTC); false when unreadable.
bool parse_http_date(std::string_view text, time_t* result);

// "%a, %d %b %Y %H:%M:%S GMT" of a UTC time.
std::string format_http_date(time_t time);

// The parameters of a "Digest …" Authorization header.
struct DigestCredentials {
  std::string user, cnonce, response, uri, qop, nc, nonce;
};

// Reads an Authorization header; false unless it begins with "Digest " (any case).
bool parse_digest_credentials(std::string_view header, DigestCredentials* credentials);

// The expected Digest response (RFC 2617, qop "auth") for a password-file ha1.
std::string digest_response(const std::string& ha1, const std::string& method,
                            const DigestCredentials& credentials);

// One rule of an access list: allow or deny the addresses of a subnet (host byte order).
struct AccessRule {
  bool allow = false;
  uint32_t network = 0;
  uint32_t mask = 0;
};

// Reads "[+|-]a.b.c.d[/bits]" rules separated by commas; false on the first malformed one.
bool parse_access_list(std::string_view text, std::vector<AccessRule>* rules);

// Whether an IPv4 address (host byte order) may connect: without rules every address may;
// otherwise the last matching rule decides and an address matching none is refused.
bool access_allowed(const std::vector<AccessRule>& rules, uint32_t address);

// A dotted IPv4 address with an optional "/bits" (host byte order); false when malformed.
bool parse_subnet(std::string_view text, uint32_t* network, uint32_t* mask);

// A listing entry name for an href: letters, digits and "._-$,;~()" stay, every other byte
// becomes "%xx" in lower-case hexadecimal.
std::string url_encode_name(std::string_view name);

// A path for an href or a Location header: as url_encode_name, but "/" stays as well.
std::string url_encode_path(std::string_view path);

// Text safe inside HTML or XML content and quoted attributes (& < > " ' escaped).
std::string html_escape(std::string_view text);

// The listing order: four pairs of key (n name, t type, d date, s size) and direction (d
// ascending, u descending), most significant first.
constexpr char kDefaultListingOrder[] = "ndtdddsd";

// Applies a "sort=" request to an order: the chosen key's direction flips when it is already
// first, else it moves to the front ascending with the others behind it in their order.
// Keys other than "name", "type", "size" and "date" leave the order unchanged.
void apply_sort_request(char order[9], std::string_view key);
