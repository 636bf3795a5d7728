// One image reader through the image file facade: the input is saved under the extension the
// target was built for, opened, and every row is read and touched. Images above about one
// megapixel are left unread (the probe reads the size from the header before any decoder sets
// up its buffers), so the fuzzer spends its time on the parsers, not on big pixels.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "imageio/image_file.h"
#include "imageio/metadata.h"

#ifndef QV_FUZZ_EXTENSION
#error "QV_FUZZ_EXTENSION names the file extension the reader is chosen by"
#endif

namespace {

constexpr int64_t kMaxPixels = 1 << 20;

bool initialised = [] {
  image_file_init();
  return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = qv_fuzz::scratch_file(data, size, QV_FUZZ_EXTENSION);
  if (path.empty()) return 0;
  std::unique_ptr<ImageInfo> info = image_probe(path);
  image_clear_last_error();
  if (info && int64_t(info->width) * info->height > kMaxPixels) return 0;
  ImageProps props;
  ImageFilePtr file = image_open_read(path, &props);
  image_clear_last_error();
  if (!file) return 0;
  if (file->width <= 0 || file->height <= 0 || int64_t(file->width) * file->height > kMaxPixels) {
    image_close(std::move(file));
    return 0;
  }
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row) + 16);
  uint64_t sum = 0;
  for (int32_t y = 0; y < file->height; ++y) {
    if (!image_read_row(file.get(), row.data())) break;
    sum += qv_fuzz::touch(row.data(), static_cast<size_t>(file->bytes_per_row));
  }
  qv_fuzz::sink = sum;
  image_close(std::move(file));
  image_clear_last_error();
  return 0;
}
