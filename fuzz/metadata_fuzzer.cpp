// The metadata scanner (EXIF, XMP, ICC, GPS, pose, thumbnails of JPEG, TIFF and PSD files) over
// an in-memory stream, with every found text and thumbnail byte touched.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz/fuzz_support.h"
#include "imageio/image_file.h"
#include "imageio/metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!stream) return 0;
  ImageInfo info;
  scan_metadata(stream, &info);
  fclose(stream);
  uint64_t sum = qv_fuzz::touch(info.thumbnail.data(), info.thumbnail.size());
  sum += qv_fuzz::touch(info.comment.data(), info.comment.size());
  sum += qv_fuzz::touch(info.icc_description.data(), info.icc_description.size());
  sum += qv_fuzz::touch(info.icc.data(), info.icc.size());
  qv_fuzz::sink = sum;
  return 0;
}
