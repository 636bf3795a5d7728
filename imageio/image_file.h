// The image file facade: every tool reads and writes images through these records and
// functions, one row per call, top to bottom. Readers are chosen by the file's signature,
// writers by the file name's extension; each format is one ImageCodec record of functions.
//
// Failures are return values: open and create give a null handle (and may leave a last-error
// detail), row calls and close give false. A codec that hits a decoder or encoder error prints
// its own one-line message, marks the handle failed and every later row call on it fails; the
// tool then ends with status 1. Nothing here ends the process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/whole_files.h"

// Pixel layouts of rows, packed without padding; samples R, G, B, A; 16-bit samples in the
// machine's (little-endian) order. Code 4 is unused: there is no 16-bit gray.
enum PixelFormat : int32_t {
  kPixelUnsupported = 0,  // reported by a reader for data it cannot deliver
  kPixelGray8 = 1,        // 1 byte per pixel
  kPixelRgb8 = 2,         // 3 bytes per pixel
  kPixelRgba8 = 3,        // 4 bytes per pixel
  kPixelRgb16 = 5,        // 6 bytes per pixel
  kPixelRgba16 = 6,       // 8 bytes per pixel
};

// Codec kinds.
enum ImageKind : int32_t {
  kImageNone = 0,
  kImageJpeg = 1,
  kImageTiff = 2,
  kImageBigTiff = 3,
  kImagePsd = 4,
  kImagePsb = 5,
  kImageKro = 6,
  kImagePng = 7,  // read only
};

// Direction of an open handle.
enum ImageAccess : int32_t {
  kImageRead = 1,
  kImageWrite = 2,
};

// Reduce-on-load request: readers may deliver a smaller image (JPEG by decoder scaling, the
// row-addressed formats by delivering only max_height rows, row n being source row
// n × full height ÷ max_height).
struct LoadHint {
  bool enabled = false;
  int32_t max_width = 0;
  int32_t max_height = 0;
};

// Properties of a file: readers fill it at open (optional), writers read it at create
// (required; image_default_props gives the defaults). A new record is zeroed.
struct ImageProps {
  int32_t width = 0;  // filled by readers: the full image size, also when reduced
  int32_t height = 0;
  int32_t dpi_x = 0;  // dots per inch; writers accept 1 … 10000, else 72 × 72
  int32_t dpi_y = 0;
  int32_t tiff_compression = 0;  // 1 none, 2 LZW, 3 Deflate, 4 JPEG, 5 Deflate for 16 bit else LZW
  int32_t deflate_level = 0;     // 1 … 9, TIFF Deflate
  int32_t jpeg_quality = 0;      // 1 … 100, 0 means 85; also for JPEG-compressed TIFF
  int32_t jpeg_sampling_h = 0;   // luminance sampling factors (2 × 2 = 4:2:0, 1 × 1 = none)
  int32_t jpeg_sampling_v = 0;
  bool optimize = false;                // JPEG Huffman optimisation
  bool progressive = false;             // progressive JPEG (implies optimisation)
  bool embed_icc = false;               // writers embed icc_data
  int32_t icc_size = 0;                 // bytes at icc_data
  const uint8_t* icc_data = nullptr;    // the profile, owned by the caller
  std::string comment;                  // stored by writers only when it begins with "qorvel"
  const LoadHint* load_hint = nullptr;  // optional, owned by the caller
  // Read request, kept at open like load_hint: decode at 1/scale_denominator of the size
  // (2, 4 or 8) where the format does so cheaply (JPEG, by DCT scaling); other formats and
  // other values read the full size. The handle tells what was delivered. A load hint wins.
  int32_t scale_denominator = 0;
};

// Fills props with the defaults: 72 × 72 dpi, LZW, Deflate 9, quality 85, 2 × 2 sampling,
// optimised, not progressive, no profile, no comment, no load hint.
void image_default_props(ImageProps* props);

struct ImageFile;
struct ImageCodec;
struct ImageInfo;

// Stream callbacks of codecs whose data flows through a stdio stream: the open-file table may
// close that stream between row calls and later hand the codec a reopened one.
using ImageGetStreamFn = FILE* (*)(ImageFile* file);
using ImageSetStreamFn = void (*)(ImageFile* file, FILE* stream);

// An open image, read or written row by row.
struct ImageFile {
  int32_t width = 0;  // delivered (reader) or written (writer) size in pixels
  int32_t height = 0;
  PixelFormat format = kPixelUnsupported;
  int32_t channels = 0;
  int32_t bits_per_pixel = 0;
  int32_t bytes_per_row = 0;
  ImageKind kind = kImageNone;
  bool reduce_to_8bit = false;  // write row replaces each 16-bit sample by its high byte first
  ImageAccess mode = kImageRead;
  int32_t row = 0;                        // rows read or written so far
  std::shared_ptr<void> state;            // the codec's own state; released with the handle
  int32_t slot = -1;                      // entry in the open-file table, -1 when none
  ImageGetStreamFn get_stream = nullptr;  // set only by stream-based codecs
  ImageSetStreamFn set_stream = nullptr;
  const ImageCodec* codec = nullptr;  // the functions of this handle's kind
  bool failed = false;                // a codec error happened; later row calls fail
  // Reader: the image is delivered at 1/scale_denominator of its full size by decoder scaling,
  // each dimension rounded up (the last column and row then cover less); 1 when not scaled.
  int32_t scale_denominator = 1;
  // Writer: the file is written under partial.partial_path and renamed to its final name by
  // image_close once every row is in; any other end deletes it.
  PartialFile partial;
  int system_error = 0;  // writer: errno of the first failed row or close, 0 when none known
};

// A format's functions. The facade maps a file's signature (reading) or its extension
// (writing) to a kind, and the kind to its codec through its reader and writer tables; a null
// function means the direction is not supported.
struct ImageCodec {
  ImageKind kind;
  const char* name;
  // Opens a reader; fills props (already zeroed, load hint kept) when given. Null on failure.
  std::unique_ptr<ImageFile> (*open_reader)(const std::string& path, ImageProps* props);
  // Creates a writer of the given kind (a codec may serve two kinds, e.g. TIFF and BigTIFF).
  std::unique_ptr<ImageFile> (*create_writer)(const std::string& path, int32_t width,
                                              int32_t height, PixelFormat format,
                                              const ImageProps& props, ImageKind kind);
  bool (*read_row)(ImageFile* file, void* row);         // fills bytes_per_row bytes
  bool (*write_row)(ImageFile* file, const void* row);  // takes bytes_per_row bytes
  bool (*close)(ImageFile* file);  // finishes a writer, releases the stream; false on error
  // Reads the size (and what else the header holds, e.g. a KRO profile) from an open stream
  // positioned anywhere; false when the header is not this format's or is not usable.
  bool (*probe_header)(FILE* stream, ImageInfo* info);
};

// Owner of an open handle: closing through the deleter ignores the result, so writers should
// be finished with image_close to learn whether the file is complete.
struct ImageFileCloser {
  void operator()(ImageFile* file) const;
};
using ImageFilePtr = std::unique_ptr<ImageFile, ImageFileCloser>;

// Creates the open-file table with its lock (the image-file lock) and raises the process's
// open-file limit so that the table's 2032 streams can be open (or lowers the table's limit to
// what the system allows). Called at start-up; repeated calls are harmless, and opening a file
// calls it too.
void image_file_init();

// Opens a file for reading, choosing the reader by signature. When props is given it is zeroed
// (keeping its load_hint) and filled by the reader. Null when unreadable or unknown.
ImageFilePtr image_open_read(const std::string& path, ImageProps* props);
// Creates a file for writing, choosing the writer by extension (case-insensitive): .jpg .jpeg,
// .tif .tiff, .bigtiff .btf .tf8, .kro, .psd, .psb. The file appears under its name only when
// image_close finishes it with every row written; until then it has a partial name beside it.
// JPEG takes 16-bit formats as 8 bit (the
// reduce flag); it cannot take RGBA. Null when the extension or format is not writable.
ImageFilePtr image_create_write(PixelFormat format, const std::string& path, int32_t width,
                                int32_t height, const ImageProps& props);
// The decoder reduction to request (ImageProps::scale_denominator) for an image of full size
// that is to be reduced to width × height: the largest of 8, 4 and 2 that leaves at least the
// working size in both dimensions (full ≥ denominator × working); 1 when none does.
int32_t image_scale_denominator(int32_t full_width, int32_t full_height, int32_t width,
                                int32_t height);

// Reads the next row into row (bytes_per_row bytes); false on a codec error or past the end.
bool image_read_row(ImageFile* file, void* row);
// Writes the next row; with the reduce flag set the row is first reduced to 8 bit in place.
// False for a kind that cannot be written or on a codec error.
bool image_write_row(ImageFile* file, void* row);
// Finishes and releases a handle; false when a writer could not complete its file (then no
// file is left, and errno tells the system's reason where there is one).
bool image_close(ImageFilePtr file);

// The system's error number (errno) of this thread's last writer that could not be created or
// completed (no space left, read-only file system …); 0 when that failure had no system
// reason. Kept per thread like image_last_error.
int image_last_write_error();

// Writer kind for a file name by its extension; kImageNone when not writable.
ImageKind image_kind_for_extension(const std::string& path);
// Kind of a file by its first bytes (up to 16): JPEG, TIFF (also for BigTIFF), KRO, PSD (also
// for PSB) or PNG; kImageNone when unknown.
ImageKind image_kind_for_signature(const uint8_t* head, size_t head_size);
// The codec that reads or writes a kind; null while that kind has none.
const ImageCodec* image_reader_for_kind(ImageKind kind);
const ImageCodec* image_writer_for_kind(ImageKind kind);

// Row conversion from one pixel format to another, chosen once per pair. The function returns
// the converted row: the source row itself (converted in place) or output.
using RowConverter = void* (*)(void* source_row, void* output, int32_t width);
// The converter for source → target; null for a pair that is not supported (prints nothing).
RowConverter image_row_converter(PixelFormat target, PixelFormat source);
// Converts one row of source's format to target's format; output must hold a row of the
// larger format. Prints "TODO" and returns null for an unsupported pair.
void* image_convert_row(const ImageFile* target, const ImageFile* source, void* source_row,
                        void* output);
// Bytes per pixel of a format (0 for kPixelUnsupported).
int32_t pixel_format_bytes(PixelFormat format);
// Row bytes of a format and width in 64 bits.
int64_t pixel_format_row_bytes(PixelFormat format, int64_t width);

// The detail a reader left when it rejected a file ("only flatten psd/psb files are supported"),
// empty when none. Kept per thread, so tools running side by side do not see each other's.
// Opening a file clears it first. Tools print it under their own message ("       - %s!").
const std::string& image_last_error();
void image_set_last_error(const std::string& detail);
void image_clear_last_error();

// For readers: leaves detail as the last error and gives the null handle of a refused file.
std::unique_ptr<ImageFile> image_refuse(const std::string& detail);

// The details readers leave when they refuse a file: one line each, saying why. The README
// lists them with what is accepted.
extern const char kDetailUnknownFormat[];    // "not a jpeg, tiff, psd/psb, kro or png file"
extern const char kDetailGray16[];           // "16-bit gray files are not supported"
extern const char kDetailTiffFloat[];        // "floating-point tiff files are not supported"
extern const char kDetailTiffPalette[];      // "palette tiff files are not supported"
extern const char kDetailTiffCmyk[];         // "cmyk tiff files are not supported"
extern const char kDetailTiffBits[];         // "%d-bit tiff files are not supported"
extern const char kDetailTiffColorSpace[];   // "only gray, rgb and rgba tiff files are supported"
extern const char kDetailTiffTiledPlanar[];  // "tiled planar tiff files are not supported"
extern const char kDetailTiffHugeBlocks[];  // "tiff strips or tiles above 256 MB are not supported"
extern const char kDetailTiffDamaged[];     // "damaged or truncated tiff file"
extern const char kDetailPsdCmyk[];         // "cmyk psd/psb files are not supported"
extern const char kDetailPsdIndexed[];      // "indexed psd/psb files are not supported"
extern const char kDetailPsdBitmap[];       // "1-bit psd/psb files are not supported"
extern const char kDetailPsd32Bit[];        // "32-bit psd/psb files are not supported"
extern const char kDetailPsdColorSpace[];   // "only gray, rgb and rgba psd/psb files are supported"
extern const char kDetailPsdDamaged[];      // "damaged or truncated psd/psb file"
extern const char kDetailPngDamaged[];      // "damaged or truncated png file"
extern const char kDetailKroLayout[];   // "only 8- and 16-bit rgb and rgba kro files are supported"
extern const char kDetailKroDamaged[];  // "damaged or truncated kro file"

// What the probe found in a file without decoding pixels.
struct ImageInfo {
  int32_t width = 0;  // 0 when no size was found
  int32_t height = 0;
  bool gps_present = false;
  double latitude = 0;             // degrees, negative south
  double longitude = 0;            // degrees, negative west
  double altitude = 0;             // never filled
  double direction = 0;            // image direction, degrees
  std::vector<uint8_t> thumbnail;  // an embedded JPEG thumbnail, empty when none
  bool pose_present = false;
  double heading = 0;  // camera pose, degrees
  double pitch = 0;
  double roll = 0;
  bool comment_present = false;
  std::string comment;
  std::string icc_description;  // empty when the profile has no readable description
  std::vector<uint8_t> icc;     // the embedded ICC profile, empty when none
};

// Reads a file's header and metadata: null when the file cannot be opened or has no known
// signature; otherwise the record, also when no size was found.
std::unique_ptr<ImageInfo> image_probe(const std::string& path);

// Number of streams the open-file table holds open now, and its limit (2032).
int image_open_stream_count();
constexpr int kImageStreamLimit = 2032;
// The limit in force: kImageStreamLimit, or fewer streams when the process's hard limit of
// open files does not leave room for them and 256 more descriptors.
int image_stream_limit();
