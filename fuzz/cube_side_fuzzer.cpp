// Cube-side recognition from file names and the name a left face gives its outputs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "render/cube_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const CubeSideMatch match = detect_cube_side(name);
  const std::string base = cube_face_output_base(name);
  qv_fuzz::sink = static_cast<uint64_t>(match.side) +
                  qv_fuzz::touch(match.base.data(), match.base.size()) +
                  qv_fuzz::touch(base.data(), base.size());
  return 0;
}
