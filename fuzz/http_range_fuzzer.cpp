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
  // The file size comes from the first byte, the header from the rest.
  const int64_t file_size = size > 0 ? static_cast<int64_t>(data[0]) * 37 : 0;
  const ByteRange range = resolve_byte_range(text.substr(size > 0 ? 1 : 0), file_size);
  if (range.answer == RangeAnswer::kPart &&
      (range.first < 0 || range.length <= 0 || range.first > file_size - range.length)) {
    __builtin_trap();
  }
  time_t when = 0;
  parse_http_date(text, &when);
  std::vector<AccessRule> rules;
  if (parse_access_list(text, &rules)) access_allowed(rules, 0x7f000001u);
  const size_t bar = text.find('\n');
  if (bar != std::string_view::npos) match_pattern(text.substr(0, bar), text.substr(bar + 1));
  qv_fuzz::sink = static_cast<uint64_t>(range.first + range.length + when);
  return 0;
}
