// Helpers shared by the fuzz targets: a scratch file per process for readers that open paths,
// and a sink that touches every output byte so the sanitizers see each read.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qv_fuzz {

// Writes data to a file in the shared-memory folder named after this process and extension;
// returns its path ("" when it cannot be written). The file is overwritten by the next input.
inline std::string scratch_file(const uint8_t* data, size_t size, const char* extension) {
  const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string path =
      std::string(folder) + "/qvfuzz_" + std::to_string(getpid()) + "." + extension;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file) return "";
  const bool written = fwrite(data, 1, size, file) == size;
  return fclose(file) == 0 && written ? path : "";
}

// Folds bytes into a value the optimiser cannot drop; reading them lets the sanitizers check
// that every byte handed out is initialised and inside its buffer.
inline uint64_t touch(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint64_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum = sum * 31 + bytes[i];
  return sum;
}

extern volatile uint64_t sink;

}  // namespace qv_fuzz
