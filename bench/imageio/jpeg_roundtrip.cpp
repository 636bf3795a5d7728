// Decodes a JPEG or encodes a binary PPM row by row through the image file facade, for timing
// against djpeg and cjpeg (see jpeg_roundtrip.sh).
//   bench_jpeg_roundtrip decode IN.jpg
//   bench_jpeg_roundtrip encode IN.ppm OUT.jpg [QUALITY] [optimize]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"
#include "imageio/image_file.h"

namespace {

int decode(const std::string& path) {
  ImageFilePtr file = image_open_read(path, nullptr);
  if (!file) {
    printf("ERROR: unable to open inputimage %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> row(static_cast<size_t>(file->bytes_per_row));
  unsigned checksum = 0;
  for (int y = 0; y < file->height; ++y) {
    if (!image_read_row(file.get(), row.data())) return 1;
    checksum = checksum * 31u + row[static_cast<size_t>(y) % row.size()];
  }
  printf("%dx%d checksum %08x\n", file->width, file->height, checksum);
  return image_close(std::move(file)) ? 0 : 1;
}

// Reads a binary PPM header ("P6 W H 255" and one whitespace byte).
bool read_ppm_header(FILE* file, int* width, int* height) {
  int maximum = 0;
  if (fscanf(file, "P6 %d %d %d", width, height, &maximum) != 3 || maximum != 255) return false;
  fgetc(file);
  return *width > 0 && *height > 0;
}

int encode(const std::string& input, const std::string& output, int quality, bool optimize) {
  FilePtr ppm = open_file(input, "rb");
  int width = 0, height = 0;
  if (!ppm || !read_ppm_header(ppm.get(), &width, &height)) {
    printf("ERROR: unable to open inputimage %s\n", input.c_str());
    return 1;
  }
  ImageProps props;
  image_default_props(&props);
  props.jpeg_quality = quality;
  props.optimize = optimize;
  ImageFilePtr file = image_create_write(kPixelRgb8, output, width, height, props);
  if (!file) {
    printf("ERROR: unable to create outputimage %s\n", output.c_str());
    return 1;
  }
  std::vector<uint8_t> row(static_cast<size_t>(3) * width);
  for (int y = 0; y < height; ++y) {
    if (fread(row.data(), 1, row.size(), ppm.get()) != row.size()) return 1;
    if (!image_write_row(file.get(), row.data())) return 1;
  }
  return image_close(std::move(file)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  image_file_init();
  if (argc >= 3 && strcmp(argv[1], "decode") == 0) return decode(argv[2]);
  if (argc >= 4 && strcmp(argv[1], "encode") == 0) {
    int quality = argc >= 5 ? atoi(argv[4]) : 85;
    bool optimize = argc >= 6 && strcmp(argv[5], "optimize") == 0;
    return encode(argv[2], argv[3], quality, optimize);
  }
  fprintf(stderr, "usage: %s decode IN.jpg | encode IN.ppm OUT.jpg [QUALITY] [optimize]\n",
          argv[0]);
  return 1;
}
