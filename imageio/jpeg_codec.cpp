// JPEG reader and writer on libjpeg-turbo with its own stdio source and destination managers,
// so that the open-file table can close and reopen the stream between rows, and a memory
// destination that doubles its buffer.
//
// Library errors print "libjpeg - <text>" and unwind with longjmp to the guarded call that
// entered the library. Every setjmp lives in a small function of this file whose frame holds
// no object with a destructor; between it and the longjmp lie only library frames and this
// file's callbacks, which hold none either and never let an exception escape.
// The failed call returns false, so the error travels up to the tool as a return value.
#include "imageio/jpeg_codec.h"

#include <sys/sysinfo.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "base/console.h"
#include "base/files.h"
#include "imageio/color_profile.h"

extern "C" {
#include <jpeglib.h>
// jerror.h after jpeglib.h: the message codes and the ERREXIT/WARNMS macros.
#include <jerror.h>
}

namespace {

constexpr size_t kStreamBufferSize = 8192;
constexpr size_t kMemoryStartSize = 65536;

struct JpegErrorManager {
  jpeg_error_mgr library;  // first member: the library sees this record as its error manager
  jmp_buf jump;            // where a fatal error resumes
  bool quiet;              // no messages (the probe: a bad header only means "no size")
  const char* path;        // the file, for warnings; null for memory data
  bool data_ended;         // the stream ended before its end-of-image marker
};

struct JpegState;

struct JpegSource {
  jpeg_source_mgr library;  // first member
  JpegState* owner;
  bool started;         // some data was read
  bool multiple_scans;  // the header announced more than one scan (progressive and the like)
  JOCTET buffer[kStreamBufferSize];
};

struct JpegDestination {
  jpeg_destination_mgr library;  // first member
  JpegState* owner;
  std::vector<uint8_t>* memory;  // memory destination, or null for the stream
  JOCTET buffer[kStreamBufferSize];
};

// Codec state of one handle. Its address is stable (owned through the handle's shared state)
// because the library keeps pointers into it.
struct JpegState {
  FILE* stream = nullptr;  // owned; null for a memory writer or while the table closed it
  JpegErrorManager error{};
  jpeg_decompress_struct decompress{};
  jpeg_compress_struct compress{};
  bool decompress_created = false;
  bool compress_created = false;
  JpegSource source{};
  JpegDestination destination{};
  // CMYK and YCCK files: the decoder delivers inverted CMYK into cmyk_row, which the
  // conversion turns into the RGB row the caller gets.
  std::string path;  // the file read, for warnings
  bool cmyk = false;
  std::vector<uint8_t> cmyk_row;
  ColorConversion cmyk_conversion;

  JpegState() = default;
  JpegState(const JpegState&) = delete;
  JpegState& operator=(const JpegState&) = delete;
  ~JpegState() {
    if (decompress_created) jpeg_destroy_decompress(&decompress);
    if (compress_created) jpeg_destroy_compress(&compress);
    if (stream) fclose(stream);
  }
};

JpegState* state_of(ImageFile* file) {
  return static_cast<JpegState*>(file->state.get());
}

// ---- error manager ----

constexpr char kLibraryMessage[] = "libjpeg - %s\n";
constexpr char kDamagedDataWarning[] = "WARNING: %s - libjpeg - %s\n";

void print_library_message(j_common_ptr info) {
  char text[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, text);
  ConsoleOps* ops = thread_console();
  ops->log(ops, kLibraryMessage, text);
}

// True the first time a file is named here: damaged data is reported once per file and run,
// however often the file is read.
bool first_warning_for(const char* path) {
  static std::mutex lock;
  static std::set<std::string> warned;
  std::lock_guard<std::mutex> guard(lock);
  return warned.insert(path).second;
}

void error_exit(j_common_ptr info) {
  JpegErrorManager* error = reinterpret_cast<JpegErrorManager*>(info->err);
  if (!error->quiet) print_library_message(info);
  longjmp(error->jump, 1);
}

// Warnings are damaged data the decoder worked around. Data that stopped before its end is
// missing, not damaged: the decoder's "premature end of data segment" after the end of the file
// refuses the image instead of filling it with grey.
void emit_message(j_common_ptr info, int level) {
  JpegErrorManager* error = reinterpret_cast<JpegErrorManager*>(info->err);
  if (level < 0) {
    if (error->data_ended && info->err->msg_code == JWRN_HIT_MARKER) {
      info->err->msg_code = JERR_INPUT_EOF;
      error_exit(info);
    }
    if (error->quiet || !error->path || !first_warning_for(error->path)) return;
    char text[JMSG_LENGTH_MAX];
    (*info->err->format_message)(info, text);
    ConsoleOps* ops = thread_console();
    ops->log(ops, kDamagedDataWarning, error->path, text);
    return;
  }
  if (level == 0 && !error->quiet) print_library_message(info);
}

void install_error_manager(JpegErrorManager* error) {
  jpeg_std_error(&error->library);
  error->library.error_exit = error_exit;
  error->library.emit_message = emit_message;
}

// ---- stdio source ----

void source_init(j_decompress_ptr) {}

boolean source_fill(j_decompress_ptr info) {
  JpegSource* source = reinterpret_cast<JpegSource*>(info->src);
  FILE* stream = source->owner->stream;
  size_t count = stream ? fread(source->buffer, 1, kStreamBufferSize, stream) : 0;
  if (count == 0) {
    if (!source->started) ERREXIT(info, JERR_INPUT_EMPTY);
    // A file with several scans that ends early lacks whole scans; no warning would tell.
    if (source->multiple_scans) ERREXIT(info, JERR_INPUT_EOF);
    // A fake end-of-image marker ends the data: when the decoder still needed some, it says
    // so (see emit_message) and the file is refused; a file that lacks only its marker is read.
    reinterpret_cast<JpegErrorManager*>(info->err)->data_ended = true;
    source->buffer[0] = 0xFF;
    source->buffer[1] = JPEG_EOI;
    count = 2;
  }
  source->started = true;
  source->library.next_input_byte = source->buffer;
  source->library.bytes_in_buffer = count;
  return TRUE;
}

void source_skip(j_decompress_ptr info, long count) {
  if (count <= 0) return;
  jpeg_source_mgr* source = info->src;
  while (count > static_cast<long>(source->bytes_in_buffer)) {
    count -= static_cast<long>(source->bytes_in_buffer);
    source_fill(info);
  }
  source->next_input_byte += count;
  source->bytes_in_buffer -= static_cast<size_t>(count);
}

void source_term(j_decompress_ptr) {}

void install_source(JpegState* state) {
  JpegSource& source = state->source;
  source.owner = state;
  source.started = false;
  source.multiple_scans = false;
  source.library.init_source = source_init;
  source.library.fill_input_buffer = source_fill;
  source.library.skip_input_data = source_skip;
  source.library.resync_to_restart = jpeg_resync_to_restart;
  source.library.term_source = source_term;
  source.library.bytes_in_buffer = 0;
  source.library.next_input_byte = nullptr;
  state->decompress.src = &source.library;
}

// ---- stdio and memory destinations ----

// Resizes the memory destination; false when memory runs out (no exception reaches the library).
bool resize_memory(std::vector<uint8_t>* memory, size_t size) noexcept {
  try {
    memory->resize(size);
    return true;
  } catch (...) {  // std::bad_alloc or std::length_error
    return false;
  }
}

void destination_init(j_compress_ptr info) {
  JpegDestination* destination = reinterpret_cast<JpegDestination*>(info->dest);
  if (destination->memory) {
    destination->memory->clear();
    if (!resize_memory(destination->memory, kMemoryStartSize)) {
      ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
    }
    destination->library.next_output_byte = destination->memory->data();
    destination->library.free_in_buffer = destination->memory->size();
  } else {
    destination->library.next_output_byte = destination->buffer;
    destination->library.free_in_buffer = kStreamBufferSize;
  }
}

void write_to_stream(j_compress_ptr info, const JOCTET* data, size_t size) {
  FILE* stream = reinterpret_cast<JpegDestination*>(info->dest)->owner->stream;
  if (!stream || fwrite(data, 1, size, stream) != size) ERREXIT(info, JERR_FILE_WRITE);
}

boolean destination_empty(j_compress_ptr info) {
  JpegDestination* destination = reinterpret_cast<JpegDestination*>(info->dest);
  if (destination->memory) {
    std::vector<uint8_t>* memory = destination->memory;
    size_t used = memory->size();
    if (!resize_memory(memory, used * 2)) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
    destination->library.next_output_byte = memory->data() + used;
    destination->library.free_in_buffer = memory->size() - used;
  } else {
    write_to_stream(info, destination->buffer, kStreamBufferSize);
    destination->library.next_output_byte = destination->buffer;
    destination->library.free_in_buffer = kStreamBufferSize;
  }
  return TRUE;
}

void destination_term(j_compress_ptr info) {
  JpegDestination* destination = reinterpret_cast<JpegDestination*>(info->dest);
  if (destination->memory) {
    destination->memory->resize(destination->memory->size() - destination->library.free_in_buffer);
    return;
  }
  size_t remaining = kStreamBufferSize - destination->library.free_in_buffer;
  if (remaining > 0) write_to_stream(info, destination->buffer, remaining);
  FILE* stream = destination->owner->stream;
  if (fflush(stream) != 0 || ferror(stream)) ERREXIT(info, JERR_FILE_WRITE);
}

void install_destination(JpegState* state, std::vector<uint8_t>* memory) {
  JpegDestination& destination = state->destination;
  destination.owner = state;
  destination.memory = memory;
  destination.library.init_destination = destination_init;
  destination.library.empty_output_buffer = destination_empty;
  destination.library.term_destination = destination_term;
  state->compress.dest = &destination.library;
}

// ---- guarded library calls (no destructors in these frames) ----

// Memory the decoder may use for whole-image buffers (progressive and multi-scan files): half
// the physical memory, so that a corrupt header cannot make it allocate without bound.
long decoder_memory_limit() {
  struct sysinfo status {};
  if (sysinfo(&status) != 0) return 1L << 30;
  unsigned long long total = static_cast<unsigned long long>(status.totalram) * status.mem_unit;
  unsigned long long limit = total / 2;
  if (limit < (256ULL << 20)) limit = 256ULL << 20;
  return static_cast<long>(limit);
}

// keep_icc: the ICC segments are kept, for reading the profile of a CMYK file.
bool guarded_read_header(JpegState* state, bool keep_icc) {
  if (setjmp(state->error.jump)) return false;
  state->decompress.err = &state->error.library;
  jpeg_create_decompress(&state->decompress);
  state->decompress_created = true;
  state->decompress.mem->max_memory_to_use = decoder_memory_limit();
  install_source(state);
  if (keep_icc) jpeg_save_markers(&state->decompress, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&state->decompress, TRUE);
  state->source.multiple_scans = jpeg_has_multiple_scans(&state->decompress);
  return true;
}

// Reads the ICC profile of a file whose header was read with keep_icc (all its chunks
// joined); *data (from malloc) is null when there is none.
bool guarded_read_icc(JpegState* state, JOCTET** data, unsigned int* size) {
  if (setjmp(state->error.jump)) return false;
  return jpeg_read_icc_profile(&state->decompress, data, size);
}

// How the decoder delivers the image: at 1/denominator of its size; a load hint also asks for
// the fast settings (integer DCT, plain upsampling, no block smoothing).
struct DecodeScale {
  int denominator = 1;
  bool fast = false;
};

bool guarded_start_decompress(JpegState* state, const DecodeScale& scale) {
  if (setjmp(state->error.jump)) return false;
  jpeg_decompress_struct& info = state->decompress;
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned int>(scale.denominator);
  if (scale.fast) {
    info.do_fancy_upsampling = FALSE;
    info.do_block_smoothing = FALSE;
    info.dct_method = JDCT_IFAST;
  }
  jpeg_start_decompress(&info);
  return true;
}

bool guarded_read_scanline(JpegState* state, JSAMPROW row) {
  if (setjmp(state->error.jump)) return false;
  return jpeg_read_scanlines(&state->decompress, &row, 1) == 1;
}

bool guarded_write_scanline(JpegState* state, JSAMPROW row) {
  if (setjmp(state->error.jump)) return false;
  return jpeg_write_scanlines(&state->compress, &row, 1) == 1;
}

bool guarded_finish_compress(JpegState* state) {
  if (setjmp(state->error.jump)) return false;
  jpeg_finish_compress(&state->compress);
  return true;
}

// Everything the writer does before the first row, up to and including the markers.
struct WriterSetup {
  int32_t width;
  int32_t height;
  PixelFormat format;
  const ImageProps* props;
  const JOCTET* comment;  // with its terminating zero, or null
  unsigned int comment_size;
  const JOCTET* icc_marker;  // "ICC_PROFILE\0", 1, 1, profile; or null
  unsigned int icc_marker_size;
};

void set_writer_parameters(jpeg_compress_struct* info, const WriterSetup& setup) {
  const ImageProps& props = *setup.props;
  info->image_width = static_cast<JDIMENSION>(setup.width);
  info->image_height = static_cast<JDIMENSION>(setup.height);
  info->data_precision = 8;
  info->input_components = setup.format == kPixelGray8 ? 1 : 3;
  info->in_color_space = setup.format == kPixelGray8 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(info);
  bool dpi_ok =
      props.dpi_x >= 1 && props.dpi_x <= 10000 && props.dpi_y >= 1 && props.dpi_y <= 10000;
  info->density_unit = 1;
  info->X_density = static_cast<UINT16>(dpi_ok ? props.dpi_x : 72);
  info->Y_density = static_cast<UINT16>(dpi_ok ? props.dpi_y : 72);
  for (int c = 0; c < info->num_components; ++c) {
    info->comp_info[c].h_samp_factor = 1;
    info->comp_info[c].v_samp_factor = 1;
  }
  int h = props.jpeg_sampling_h;
  int v = props.jpeg_sampling_v;
  if (h == 0 || v == 0) h = v = 2;
  info->comp_info[0].h_samp_factor = h;
  info->comp_info[0].v_samp_factor = v;
  info->optimize_coding = props.optimize ? TRUE : FALSE;
  jpeg_set_quality(info, props.jpeg_quality == 0 ? 85 : props.jpeg_quality, TRUE);
  if (props.progressive) {
    info->optimize_coding = TRUE;
    jpeg_simple_progression(info);
  }
}

bool guarded_start_compress(JpegState* state, const WriterSetup& setup,
                            std::vector<uint8_t>* memory) {
  if (setjmp(state->error.jump)) return false;
  state->compress.err = &state->error.library;
  jpeg_create_compress(&state->compress);
  state->compress_created = true;
  install_destination(state, memory);
  set_writer_parameters(&state->compress, setup);
  jpeg_start_compress(&state->compress, TRUE);
  if (setup.comment) {
    jpeg_write_marker(&state->compress, JPEG_COM, setup.comment, setup.comment_size);
  }
  if (setup.icc_marker) {
    jpeg_write_marker(&state->compress, JPEG_APP0 + 2, setup.icc_marker, setup.icc_marker_size);
  }
  return true;
}

bool guarded_probe_header(JpegState* state, int32_t* width, int32_t* height) {
  if (!guarded_read_header(state, false)) return false;
  *width = static_cast<int32_t>(state->decompress.image_width);
  *height = static_cast<int32_t>(state->decompress.image_height);
  return true;
}

// The size in the first frame header (SOF0 … SOF15), found by walking the marker segments
// from the start of the stream; false when the walk ends before one (or it holds a zero size).
bool frame_header_size(FILE* stream, int32_t* width, int32_t* height) {
  if (fseeko(stream, 2, SEEK_SET) != 0) return false;
  for (;;) {
    int byte = fgetc(stream);
    if (byte != 0xFF) return false;
    while (byte == 0xFF) byte = fgetc(stream);  // fill bytes
    if (byte == EOF) return false;
    uint8_t length_bytes[2];
    if (fread(length_bytes, 1, 2, stream) != 2) return false;
    const int length = length_bytes[0] << 8 | length_bytes[1];
    if (length < 2) return false;
    // SOF markers are C0 … CF except C4 (Huffman tables), C8 (reserved) and CC (arithmetic).
    if (byte >= 0xC0 && byte <= 0xCF && byte != 0xC4 && byte != 0xC8 && byte != 0xCC) {
      uint8_t frame[5];  // precision, height, width
      if (length < 7 || fread(frame, 1, 5, stream) != 5) return false;
      *height = frame[1] << 8 | frame[2];
      *width = frame[3] << 8 | frame[4];
      return *width > 0 && *height > 0;
    }
    if (byte == 0xD9 || byte == 0xDA) return false;  // end of image, or scan data
    if (fseeko(stream, length - 2, SEEK_CUR) != 0) return false;
  }
}

// ---- codec functions ----

FILE* get_stream(ImageFile* file) {
  return state_of(file)->stream;
}
void set_stream(ImageFile* file, FILE* stream) {
  state_of(file)->stream = stream;
}

int32_t rounded(double value) {
  return static_cast<int32_t>(value + 0.5);
}

void report_header(const jpeg_decompress_struct& info, ImageProps* props) {
  if (info.saw_JFIF_marker && !(info.X_density == 1 && info.Y_density == 1)) {
    if (info.density_unit == 1) {
      props->dpi_x = info.X_density;
      props->dpi_y = info.Y_density;
    } else if (info.density_unit == 2) {
      props->dpi_x = rounded(info.X_density * 2.54);
      props->dpi_y = rounded(info.Y_density * 2.54);
    }
  }
  props->jpeg_sampling_h = info.comp_info[0].h_samp_factor;
  props->jpeg_sampling_v = info.comp_info[0].v_samp_factor;
  props->width = static_cast<int32_t>(info.image_width);
  props->height = static_cast<int32_t>(info.image_height);
}

// CMYK and YCCK files are decoded as CMYK (the library turns YCCK into CMYK) and converted
// to RGB row by row, through the file's CMYK profile when it has one.
void prepare_cmyk(JpegState* state) {
  jpeg_decompress_struct& info = state->decompress;
  if (info.jpeg_color_space != JCS_CMYK && info.jpeg_color_space != JCS_YCCK) return;
  info.out_color_space = JCS_CMYK;
  state->cmyk = true;
  JOCTET* data = nullptr;
  unsigned int size = 0;
  guarded_read_icc(state, &data, &size);
  std::unique_ptr<JOCTET, decltype(&free)> owner(data, free);
  std::vector<uint8_t> icc;
  if (data) icc.assign(data, data + size);
  state->cmyk_conversion = cmyk_conversion_setup(icc);
}

// A load hint decodes as small as its size allows, with the fast settings; a requested
// denominator of 2, 4 or 8 decodes at that scale with the library's accurate defaults.
DecodeScale decode_scale(const jpeg_decompress_struct& info, const ImageProps* props) {
  DecodeScale scale;
  if (!props) return scale;
  if (props->load_hint && props->load_hint->enabled) {
    scale.denominator =
        jpeg_scale_denominator(static_cast<int32_t>(info.image_width),
                               static_cast<int32_t>(info.image_height), *props->load_hint);
    scale.fast = true;
  } else if (props->scale_denominator == 2 || props->scale_denominator == 4 ||
             props->scale_denominator == 8) {
    scale.denominator = props->scale_denominator;
  }
  return scale;
}

std::unique_ptr<ImageFile> open_reader(const std::string& path, ImageProps* props) {
  FilePtr stream = open_file(path, "rb");
  if (!stream) return nullptr;
  auto file = std::make_unique<ImageFile>();
  auto state = std::make_shared<JpegState>();
  install_error_manager(&state->error);
  state->path = path;
  state->error.path = state->path.c_str();
  state->stream = stream.release();
  if (!guarded_read_header(state.get(), true)) return nullptr;
  prepare_cmyk(state.get());
  const jpeg_decompress_struct& info = state->decompress;
  if (props) report_header(info, props);
  const DecodeScale scale = decode_scale(info, props);
  if (!guarded_start_decompress(state.get(), scale)) return nullptr;
  int components = info.output_components;
  file->kind = kImageJpeg;
  file->width = static_cast<int32_t>(info.output_width);
  file->height = static_cast<int32_t>(info.output_height);
  file->scale_denominator = scale.denominator;
  if (state->cmyk && components == 4) {
    state->cmyk_row.resize(static_cast<size_t>(info.output_width) * 4);
    components = 3;
    file->format = kPixelRgb8;
  } else if (info.out_color_space == JCS_GRAYSCALE && components == 1) {
    file->format = kPixelGray8;
  } else if (info.out_color_space == JCS_RGB && components == 3) {
    file->format = kPixelRgb8;
  } else {
    file->format = kPixelUnsupported;
  }
  file->channels = components;
  file->bits_per_pixel = 8 * components;
  file->bytes_per_row = components * file->width;
  file->get_stream = get_stream;
  file->set_stream = set_stream;
  file->state = state;
  return file;
}

// Builds the writer's marker payloads, then starts the library. memory: null for a file.
std::unique_ptr<ImageFile> start_writer(FILE* stream, int32_t width, int32_t height,
                                        PixelFormat format, const ImageProps& props,
                                        std::vector<uint8_t>* memory) {
  auto state = std::make_shared<JpegState>();
  install_error_manager(&state->error);
  state->stream = stream;
  WriterSetup setup{width, height, format, &props, nullptr, 0, nullptr, 0};
  bool has_comment = props.comment.compare(0, 6, "qorvel") == 0;
  if (has_comment) {
    setup.comment = reinterpret_cast<const JOCTET*>(props.comment.c_str());
    setup.comment_size = static_cast<unsigned int>(props.comment.size() + 1);
  }
  std::vector<JOCTET> icc_marker;
  if (props.embed_icc && props.icc_data && props.icc_size > 0) {
    static const char kIccTag[] = "ICC_PROFILE";
    icc_marker.assign(kIccTag, kIccTag + sizeof(kIccTag));
    icc_marker.push_back(1);  // chunk number
    icc_marker.push_back(1);  // chunk count
    icc_marker.insert(icc_marker.end(), props.icc_data, props.icc_data + props.icc_size);
    setup.icc_marker = icc_marker.data();
    setup.icc_marker_size = static_cast<unsigned int>(icc_marker.size());
  }
  if (!guarded_start_compress(state.get(), setup, memory)) return nullptr;
  auto file = std::make_unique<ImageFile>();
  file->kind = kImageJpeg;
  file->width = width;
  file->height = height;
  file->format = format;
  file->channels = format == kPixelGray8 ? 1 : 3;
  file->bits_per_pixel = 8 * file->channels;
  file->bytes_per_row = file->channels * width;
  if (!memory) {
    file->get_stream = get_stream;
    file->set_stream = set_stream;
  }
  file->state = state;
  return file;
}

bool writable_size(int32_t width, int32_t height) {
  return width > 0 && height > 0 && width <= JPEG_MAX_DIMENSION && height <= JPEG_MAX_DIMENSION;
}

std::unique_ptr<ImageFile> create_writer(const std::string& path, int32_t width, int32_t height,
                                         PixelFormat format, const ImageProps& props, ImageKind) {
  if (format != kPixelGray8 && format != kPixelRgb8) return nullptr;
  if (!writable_size(width, height)) return nullptr;
  FilePtr stream = open_file(path, "wb");
  if (!stream) return nullptr;
  return start_writer(stream.release(), width, height, format, props, nullptr);
}

bool read_row(ImageFile* file, void* row) {
  JpegState* state = state_of(file);
  if (!state->cmyk) return guarded_read_scanline(state, static_cast<JSAMPROW>(row));
  if (!guarded_read_scanline(state, state->cmyk_row.data())) return false;
  cmyk_convert_row(state->cmyk_conversion, state->cmyk_row.data(), static_cast<uint8_t*>(row),
                   file->width);
  return true;
}

bool write_row(ImageFile* file, const void* row) {
  // The library only reads the row; its interface lacks the const.
  return guarded_write_scanline(state_of(file), static_cast<JSAMPROW>(const_cast<void*>(row)));
}

bool close_file(ImageFile* file) {
  JpegState* state = state_of(file);
  bool ok = true;
  if (file->mode == kImageWrite) {
    // A writer that did not get every row cannot be completed; the library would refuse.
    if (file->row == file->height && !file->failed) {
      ok = guarded_finish_compress(state);
    } else {
      jpeg_abort_compress(&state->compress);
      ok = false;
    }
    if (state->stream) {
      ok = fclose(state->stream) == 0 && ok;
      state->stream = nullptr;
    }
  } else if (state->decompress_created) {
    // Aborting rather than finishing: rows left unread are not an error for a reader.
    jpeg_abort_decompress(&state->decompress);
  }
  return ok;
}

bool probe_header(FILE* stream, ImageInfo* info) {
  return jpeg_probe_size(stream, &info->width, &info->height);
}

}  // namespace

const ImageCodec kJpegCodec = {
    kImageJpeg, "JPEG", open_reader, create_writer, read_row, write_row, close_file, probe_header,
};

ImageFilePtr jpeg_create_memory_writer(int32_t width, int32_t height, PixelFormat format,
                                       const ImageProps& props, std::vector<uint8_t>* output) {
  if (format != kPixelGray8 && format != kPixelRgb8) return nullptr;
  if (!output || !writable_size(width, height)) return nullptr;
  std::unique_ptr<ImageFile> file = start_writer(nullptr, width, height, format, props, output);
  if (!file) return nullptr;
  file->codec = &kJpegCodec;
  file->mode = kImageWrite;
  return ImageFilePtr(file.release());
}

int jpeg_scale_denominator(int32_t full_width, int32_t full_height, const LoadHint& hint) {
  if (full_width <= 0 || full_height <= 0 || hint.max_width <= 0 || hint.max_height <= 0) {
    return 1;
  }
  // The fitted size, as the thumbnail command computes it.
  double max_width = hint.max_width;
  double max_height = hint.max_height;
  int32_t target_width = hint.max_width;
  int32_t target_height = rounded(max_width * full_height / full_width);
  if (target_height < 1) target_height = 1;
  if (target_height > hint.max_height) {
    target_width = rounded(max_width * max_height / target_height);
    if (target_width < 1) target_width = 1;
    target_height = hint.max_height;
  }
  int32_t ratio = full_width / target_width;
  if (full_height / target_height < ratio) ratio = full_height / target_height;
  int denominator = 1;
  while (denominator < 8 && denominator * 2 <= ratio) denominator *= 2;
  return denominator;
}

bool jpeg_probe_size(FILE* stream, int32_t* width, int32_t* height) {
  uint8_t head[3];
  if (fseeko(stream, 0, SEEK_SET) != 0 || fread(head, 1, 3, stream) != 3) return false;
  if (head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF) return false;
  if (fseeko(stream, 0, SEEK_SET) != 0) return false;
  // A temporary decoder that borrows the stream.
  auto state = std::make_unique<JpegState>();
  install_error_manager(&state->error);
  state->error.quiet = true;
  state->stream = stream;
  bool ok = guarded_probe_header(state.get(), width, height);
  state->stream = nullptr;
  // A file cut after its frame header (inside a later table, say) still has its size there.
  return ok || frame_header_size(stream, width, height);
}
