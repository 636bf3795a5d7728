// The "[Section]" key=value reader of the converters' config files, over a saved input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/config_section.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = qv_fuzz::scratch_file(data, size, "config");
  if (path.empty()) return 0;
  std::vector<ConfigEntry> entries;
  uint64_t sum = 0;
  for (const char* section : {"[Convert SPHERE to CUBE]", "[Convert CUBE to SPHERE]"}) {
    if (!read_config_section(path, section, &entries)) continue;
    for (const ConfigEntry& entry : entries) {
      sum += qv_fuzz::touch(entry.key.data(), entry.key.size());
      sum += qv_fuzz::touch(entry.value.data(), entry.value.size());
    }
  }
  qv_fuzz::sink = sum;
  return 0;
}
