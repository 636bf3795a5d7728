// The small value parsers of the server: byte ranges, dates, access lists, subnets and the
// listing's hide patterns.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/http_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  int64_t first = 0;
  int64_t last = 0;
  const int numbers = parse_byte_range(text, &first, &last);
  time_t when = 0;
  parse_http_date(text, &when);
  std::vector<AccessRule> rules;
  if (parse_access_list(text, &rules)) access_allowed(rules, 0x7f000001u);
  const size_t bar = text.find('\n');
  if (bar != std::string_view::npos) match_pattern(text.substr(0, bar), text.substr(bar + 1));
  qv_fuzz::sink = static_cast<uint64_t>(numbers + first + last + when);
  return 0;
}
