// Thumbnails: the input is opened with a load hint (JPEG decodes at 1/2, 1/4 or 1/8 of its
// size, the row formats skip rows), resized with the point filter while it is read, and encoded
// into memory; only the finished bytes are handed back.
#include "render/thumbnail.h"

#include <string>
#include <vector>

#include "imageio/image_file.h"
#include "imageio/image_options.h"
#include "imageio/jpeg_codec.h"
#include "render/engine_messages.h"
#include "render/resize.h"

namespace {

const char kUnsupportedFormat[] =
    "ERROR: unsupported color format! (only 8bit GRAY, RGB or RGBA)\n";

int32_t rounded(double value) {
  return static_cast<int32_t>(value + 0.5);
}

// Streams the input rows through the resizer into the writer; false on a read or write error.
bool resize_rows(ImageFile* reader, ImageFile* writer, PixelFormat output_format) {
  ResizerPtr resizer = resizer_create(writer->width, writer->height, reader->width, reader->height,
                                      output_format, kFilterPoint, false);
  RowConverter convert = image_row_converter(output_format, reader->format);
  if (!resizer || !convert) return false;
  const int64_t converted_bytes = pixel_format_row_bytes(output_format, reader->width);
  const int64_t output_bytes = pixel_format_row_bytes(output_format, writer->width);
  int64_t input_bytes = reader->bytes_per_row;
  if (input_bytes < converted_bytes) input_bytes = converted_bytes;
  std::vector<uint8_t> input(static_cast<size_t>(input_bytes));
  std::vector<uint8_t> converted(static_cast<size_t>(converted_bytes));
  std::vector<uint8_t> output(
      static_cast<size_t>(converted_bytes > output_bytes ? converted_bytes : output_bytes));
  int32_t rows_read = 0;
  while (writer->row < writer->height) {
    int ready = 0;
    if (rows_read < reader->height) {
      if (!image_read_row(reader, input.data())) return false;
      ++rows_read;
      const void* row = convert(input.data(), converted.data(), reader->width);
      ready = resizer_push_row(row, resizer.get(), output.data());
    } else {
      ready = resizer_push_row(nullptr, resizer.get(), output.data());
      if (!ready) return false;  // the resizer wants rows the input no longer has
    }
    while (ready && writer->row < writer->height) {
      if (!image_write_row(writer, output.data())) return false;
      if (writer->row == writer->height) break;
      ready = resizer_push_row(nullptr, resizer.get(), output.data());
    }
  }
  return true;
}

}  // namespace

void thumbnail_size(int32_t full_width, int32_t full_height, int32_t max_width, int32_t max_height,
                    int32_t* width, int32_t* height) {
  const double full_w = full_width == 0 ? 1 : full_width;
  int32_t w = max_width;
  int32_t h = rounded(double(max_width) * full_height / full_w);
  if (h > max_height) {
    w = rounded(double(max_width) * max_height / h);
    h = max_height;
  }
  *width = w < 1 ? 1 : w;
  *height = h < 1 ? 1 : h;
}

bool make_thumbnail(const std::string& input, int32_t max_width, int32_t max_height,
                    ConsoleOps* messages, std::vector<uint8_t>* jpeg) {
  jpeg->clear();
  LoadHint hint;
  hint.enabled = true;
  hint.max_width = max_width;
  hint.max_height = max_height;
  ImageProps input_props;
  input_props.load_hint = &hint;
  ImageFilePtr reader = image_open_read(input, &input_props);
  if (!reader) {
    engine_report_open_failure(messages, input);
    return false;
  }
  engine_log(messages, "inputimage:  %s - %dx%d - ", input.c_str(), reader->width, reader->height);
  const char* name = pixel_format_display_name(reader->format);
  if (!name) {
    engine_log(messages, "?\n");
    engine_error(messages, kUnsupportedFormat);
    return false;
  }
  engine_log(messages, "%s\n", name);
  int32_t width = 0;
  int32_t height = 0;
  thumbnail_size(input_props.width, input_props.height, max_width, max_height, &width, &height);
  engine_log(messages, "outputsize:  %dx%d\n", width, height);
  const PixelFormat output_format = reader->format == kPixelGray8 ? kPixelGray8 : kPixelRgb8;
  // Quality 80, no chroma subsampling, plain Huffman tables.
  const ImageProps props = writer_props({80, 444, false, false, 2, 0});
  std::vector<uint8_t> encoded;
  ImageFilePtr writer = jpeg_create_memory_writer(width, height, output_format, props, &encoded);
  if (!writer) return false;
  bool ok = resize_rows(reader.get(), writer.get(), output_format);
  ok = image_close(std::move(writer)) && ok;
  image_close(std::move(reader));
  if (!ok || encoded.empty()) return false;
  *jpeg = std::move(encoded);
  return true;
}
