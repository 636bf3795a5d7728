// The request path resolver as the server runs it on a request target that begins with "/":
// percent-decoding, the control-byte check and the clean-up that keeps a path from climbing
// above the served folder. Whatever comes in, no ".." segment may survive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "server/http_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string target = "/" + std::string(reinterpret_cast<const char*>(data), size);
  std::string path;
  if (!resolve_request_path(target.substr(0, target.find('?')), &path)) return 0;
  for (size_t at = path.find(".."); at != std::string::npos; at = path.find("..", at + 1)) {
    const bool starts = at == 0 || path[at - 1] == '/' || path[at - 1] == '\\';
    const bool ends = at + 2 == path.size() || path[at + 2] == '/' || path[at + 2] == '\\';
    if (starts && ends) abort();  // a parent-folder segment got through
  }
  const std::string encoded = url_encode_path(path);
  const std::string escaped = html_escape(path);
  qv_fuzz::sink = qv_fuzz::touch(encoded.data(), encoded.size()) +
                  qv_fuzz::touch(escaped.data(), escaped.size());
  return 0;
}
