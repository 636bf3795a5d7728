// The ICC profile description reader (desc and mluc records) over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "imageio/metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = icc_profile_description(data, size);
  qv_fuzz::sink = qv_fuzz::touch(text.data(), text.size());
  return 0;
}
