// Command-line splitting (quotes, backslashes) in both of its forms, which must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/args.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // stops at a NUL
  const std::vector<std::string> words = split_command_line(text.c_str());
  int count = 0;
  char** array = split_command_line_array(text.c_str(), &count);
  if (count != static_cast<int>(words.size())) abort();
  for (int i = 0; i < count; ++i) {
    if (words[static_cast<size_t>(i)] != array[i]) abort();
  }
  free_string_array(array);
  for (const std::string& word : words) {
    const ParsedArgument argument = parse_argument(word.c_str());
    qv_fuzz::sink = qv_fuzz::touch(argument.name.data(), argument.name.size());
  }
  return 0;
}
