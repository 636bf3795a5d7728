// The HTTP request head parser as the server uses it: measure the head, parse it, then read
// the headers a request handler asks for.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "server/http_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const size_t head = request_head_length(text, size);
  if (head == 0 || head > size) return 0;
  HttpRequest request;
  if (!parse_request(text, head, &request)) return 0;
  uint64_t sum = qv_fuzz::touch(request.method.data(), request.method.size());
  sum += qv_fuzz::touch(request.uri.data(), request.uri.size());
  for (int i = 0; i < request.header_count; ++i) {
    sum += qv_fuzz::touch(request.headers[i].value.data(), request.headers[i].value.size());
  }
  std::string_view value;
  int64_t length = 0;
  if (find_header(request, "Content-Length", &value)) parse_content_length(value, &length);
  int64_t body = 0;
  const BodyFraming framing = request_body_framing(request, &body);
  if (find_header(request, "Range", &value)) {
    const ByteRange range = resolve_byte_range(value, length);
    // A part always lies inside the file.
    if (range.answer == RangeAnswer::kPart &&
        (range.first < 0 || range.length <= 0 || range.first > length - range.length)) {
      __builtin_trap();
    }
  }
  DigestCredentials credentials;
  if (find_header(request, "Authorization", &value)) parse_digest_credentials(value, &credentials);
  time_t when = 0;
  if (find_header(request, "If-Modified-Since", &value)) parse_http_date(value, &when);
  qv_fuzz::sink = sum + static_cast<uint64_t>(length) + static_cast<uint64_t>(body) +
                  static_cast<uint64_t>(framing) + static_cast<uint64_t>(when);
  return 0;
}
