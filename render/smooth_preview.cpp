// The smooth preview renderer. Images are small here (the working sphere is at most a few
// megapixels), so every step takes a whole RGBA image and returns a new one; only the loader
// streams, reducing the source row by row while it is read.
#include "render/smooth_preview.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

#include "base/files.h"
#include "base/threads.h"
#include "imageio/color_profile.h"
#include "imageio/image_file.h"
#include "imageio/image_options.h"
#include "memory/qvmem.h"
#include "render/engine_messages.h"
#include "render/exact_positions.h"
#include "render/panorama_geometry.h"
#include "render/render_core.h"
#include "render/resize.h"

namespace {

constexpr char kUnableToOpen[] = "ERROR: unable to open inputimage %s\n";
constexpr char kUnsupportedFormat[] = "ERROR: unsupported color format! (only 8bit RGB or RGBA)\n";
constexpr char kUnableToCreate[] = "ERROR: unable to create file %s\n";
constexpr char kTooLarge[] = "ERROR: not enough memory for a preview of %dx%d pixels\n";

constexpr int32_t kStageCount = 11;

// Up to six working images of the sphere's size exist at once (the sphere, the small and the
// plain blur, the turned sphere, its blur and the turned-back poles); a size they cannot fit in
// is refused before the first allocation.
bool fits_in_memory(PreviewJob* job, int64_t width, int64_t height) {
  const QvmemMemoryStatus status = qvmem_query_memory_status();
  const double limit =
      status.available_physical > 0 ? static_cast<double>(status.available_physical) : 1e18;
  const double needed = 6.0 * 4.0 * static_cast<double>(width) * static_cast<double>(height);
  if (width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX && needed <= limit) {
    return true;
  }
  engine_error(job->console, kTooLarge, static_cast<int>(width), static_cast<int>(height));
  return false;
}

void next_stage(PreviewJob* job) {
  if (job->stage) job->stage(job->user, 0);
}

void report(PreviewJob* job, int64_t done, int64_t total) {
  if (job->progress) job->progress(job->user, done, total);
}

size_t image_bytes(int64_t width, int64_t height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
}

// The resizer works on the source's own 8-bit layout (gray, RGB or RGBA), so 8-bit rows go in
// as they are read; 16-bit rows are first cut to their high bytes. Channels are resized
// independently, so widening the small output rows afterwards gives the same pixels as widening
// every source row first, at a fraction of the cost.
PixelFormat resize_format_for(PixelFormat format) {
  switch (format) {
    case kPixelGray8:
      return kPixelGray8;
    case kPixelRgb8:
    case kPixelRgb16:
      return kPixelRgb8;
    default:
      return kPixelRgba8;
  }
}

// 16-bit samples to their high bytes, in place (the row shrinks to half its bytes).
void high_bytes_in_place(uint8_t* row, size_t samples) {
  for (size_t i = 0; i < samples; ++i) {
    uint16_t sample;
    std::memcpy(&sample, row + 2 * i, sizeof(sample));
    row[i] = static_cast<uint8_t>(sample >> 8);
  }
}

// One resized row of the resizer's layout as RGBA (alpha 0 where the source has none).
void widen_row(const uint8_t* row, PixelFormat format, int32_t width, uint8_t* out) {
  for (int32_t x = 0; x < width; ++x, out += 4) {
    if (format == kPixelGray8) {
      out[0] = out[1] = out[2] = row[x];
      out[3] = 0;
    } else if (format == kPixelRgb8) {
      out[0] = row[3 * x];
      out[1] = row[3 * x + 1];
      out[2] = row[3 * x + 2];
      out[3] = 0;
    } else {
      std::memcpy(out, row + 4 * x, 4);
    }
  }
}

// Resizes a whole RGBA image; empty when the resizer cannot be made.
std::vector<uint8_t> resize_image(const std::vector<uint8_t>& source, int32_t source_width,
                                  int32_t source_height, int32_t width, int32_t height,
                                  int32_t filter, bool wrap, PreviewJob* job) {
  ResizerPtr resizer =
      resizer_create(width, height, source_width, source_height, kPixelRgba8, filter, wrap);
  if (!resizer) return {};
  std::vector<uint8_t> result(image_bytes(width, height));
  std::vector<uint8_t> row(static_cast<size_t>(std::max(width, source_width)) * 4);
  const size_t source_line = static_cast<size_t>(source_width) * 4;
  const size_t line = static_cast<size_t>(width) * 4;
  int32_t produced = 0;
  const auto take = [&]() {
    std::memcpy(result.data() + produced * line, row.data(), line);
    report(job, ++produced, height);
  };
  for (int32_t y = 0; y < source_height && produced < height; ++y) {
    if (resizer_push_row(source.data() + y * source_line, resizer.get(), row.data()) != 1) continue;
    take();
    while (produced < height && resizer_push_row(nullptr, resizer.get(), row.data()) == 1) take();
  }
  while (produced < height && resizer_push_row(nullptr, resizer.get(), row.data()) == 1) take();
  if (produced < height) return {};
  return result;
}

// Blur through a small image of small_width × small_height and back, CUBIC both ways.
std::vector<uint8_t> blur_image(const std::vector<uint8_t>& image, int32_t width, int32_t height,
                                int32_t small_width, int32_t small_height, bool wrap,
                                PreviewJob* job) {
  next_stage(job);
  const std::vector<uint8_t> small =
      resize_image(image, width, height, small_width, small_height, kFilterCubic, wrap, job);
  if (small.empty()) return {};
  next_stage(job);
  return resize_image(small, small_width, small_height, width, height, kFilterCubic, wrap, job);
}

// s(h) = 0.25 · sign(h) · |4h|^2.5, the easing of the rotation's column table.
double ease(double h) {
  const double magnitude = 0.25 * std::pow(std::fabs(4.0 * h), 2.5);
  return h < 0 ? -magnitude : magnitude;
}

// The longitude of every column of a rotated sphere (radians).
std::vector<double> rotation_column_table(int32_t width) {
  std::vector<double> longitudes(width);
  const double quarter = std::floor(3.0 * width / 4.0);
  for (int32_t x = 0; x < width; ++x) {
    double f = 4.0 * x / width - 0.5;
    if (f < 0) f += 4.0;
    double g;
    if (f < 1.0) {
      g = 0.25 + ease((0.5 - f) / 2.0);
    } else if (f < 2.0) {
      g = ease((1.5 - f) / 2.0);
    } else if (f < 2.5) {
      g = ease((2.5 - f) / 2.0) - 0.25;
    } else if (f < 3.0) {
      g = ease((2.5 - f) / 2.0) + 0.75;
    } else {
      g = ease((3.5 - f) / 2.0) + 0.5;
    }
    longitudes[x] = 2.0 * kPi * (x + quarter + g) / width;
  }
  return longitudes;
}

// The eased bilinear weight of a fraction (0 … 255), 0 … 256.
inline int32_t eased_weight(int32_t fraction, int32_t low_round) {
  if (fraction < 128) return (fraction * fraction + low_round) >> 7;
  const int32_t rest = 256 - fraction;
  return 256 - ((rest * rest + 64) >> 7);
}

inline int32_t wrap_column(int32_t column, int32_t width) {
  if (column < 0) return column + width;
  if (column >= width) return column - width;
  return column;
}

inline int32_t clamp_index(int32_t value, int32_t size) {
  return value < 0 ? 0 : (value >= size ? size - 1 : value);
}

// Plain bilinear sample (weights = the low 8 bits) of an RGBA image at fixed-point (x, y):
// columns wrap once or clamp, rows clamp. Writes R, G, B and A.
void sample_plain_bilinear(const uint8_t* image, int32_t width, int32_t height, int32_t x,
                           int32_t y, bool wrap, uint8_t* out) {
  const int32_t fx = x & 255;
  const int32_t fy = y & 255;
  int32_t x0 = x >> 8;
  int32_t x1 = x0 + 1;
  if (wrap) {
    x0 = clamp_index(wrap_column(x0, width), width);
    x1 = clamp_index(wrap_column(x1, width), width);
  } else {
    x0 = clamp_index(x0, width);
    x1 = clamp_index(x1, width);
  }
  const int32_t y0 = clamp_index(y >> 8, height);
  const int32_t y1 = clamp_index((y >> 8) + 1, height);
  const uint8_t* p00 = image + (static_cast<size_t>(y0) * width + x0) * 4;
  const uint8_t* p01 = image + (static_cast<size_t>(y0) * width + x1) * 4;
  const uint8_t* p10 = image + (static_cast<size_t>(y1) * width + x0) * 4;
  const uint8_t* p11 = image + (static_cast<size_t>(y1) * width + x1) * 4;
  for (int c = 0; c < 4; ++c) {
    const int32_t top = p00[c] * (256 - fx) + p01[c] * fx;
    const int32_t bottom = p10[c] * (256 - fx) + p11[c] * fx;
    out[c] = static_cast<uint8_t>((top * (256 - fy) + bottom * fy) >> 16);
  }
}

// A 3 × 3 rotation of row vectors (v' = v · m).
struct Matrix3 {
  double m[3][3];
};

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
  Matrix3 r = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
  return r;
}

Matrix3 rotation_x(double degrees) {
  const double c = std::cos(degrees * kDegreesToRadians);
  const double s = std::sin(degrees * kDegreesToRadians);
  return {{{1, 0, 0}, {0, c, s}, {0, -s, c}}};
}

Matrix3 rotation_y(double degrees) {
  const double c = std::cos(degrees * kDegreesToRadians);
  const double s = std::sin(degrees * kDegreesToRadians);
  return {{{c, 0, -s}, {0, 1, 0}, {s, 0, c}}};
}

// The face plane of the preview's cube model (x right, y down, z back).
struct PreviewFace {
  double origin[3];
  double u[3];  // image right
  double v[3];  // image down
};

constexpr PreviewFace kPreviewFaces[6] = {
    {{-0.5, -0.5, 0.5}, {0, 0, -1}, {0, 1, 0}},  // left
    {{-0.5, -0.5, -0.5}, {1, 0, 0}, {0, 1, 0}},  // front
    {{0.5, -0.5, -0.5}, {0, 0, 1}, {0, 1, 0}},   // right
    {{0.5, -0.5, 0.5}, {-1, 0, 0}, {0, 1, 0}},   // back
    {{-0.5, -0.5, 0.5}, {1, 0, 0}, {0, 0, -1}},  // up
    {{-0.5, 0.5, -0.5}, {1, 0, 0}, {0, 0, 1}},   // down
};

inline double dot3(const double* a, const double* b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The first face (left … down) whose square holds the hit of direction d, with its
// coordinates; -1 when none does.
int32_t preview_face_hit(const double* d, double* u, double* v) {
  for (int32_t f = 0; f < 6; ++f) {
    const PreviewFace& face = kPreviewFaces[f];
    const double normal[3] = {face.u[1] * face.v[2] - face.u[2] * face.v[1],
                              face.u[2] * face.v[0] - face.u[0] * face.v[2],
                              face.u[0] * face.v[1] - face.u[1] * face.v[0]};
    const double facing = dot3(normal, d);
    if (facing == 0.0) continue;
    const double distance = dot3(normal, face.origin) / facing;
    if (!(distance > 0.0)) continue;
    const double q[3] = {distance * d[0] - face.origin[0], distance * d[1] - face.origin[1],
                         distance * d[2] - face.origin[2]};
    const double s = dot3(q, face.u);
    const double t = dot3(q, face.v);
    if (s >= 0.0 && s <= 1.0 && t >= 0.0 && t <= 1.0) {
      *u = s;
      *v = t;
      return f;
    }
  }
  return -1;
}

bool write_preview(PreviewJob* job, const std::vector<uint8_t>& image, int32_t width,
                   int32_t height) {
  // Previews are always written with optimised Huffman tables.
  WriterSettings options;
  options.jpeg_quality = static_cast<int32_t>(job->jpeg_quality);
  options.jpeg_subsampling = static_cast<int32_t>(job->jpeg_subsampling);
  options.jpeg_optimize = true;
  options.tiff_compression = static_cast<int32_t>(job->tiff_compression);
  // The render core's writer side: 8-bit RGB, profile handled by mode, the file written under a
  // temporary name and renamed when complete.
  RenderWriterSettings writer;
  writer.options = writer_props(options);
  writer.profile_mode = job->profile_mode;
  writer.source_icc = &job->in_profile;
  create_directories_for(job->out_path);
  RenderOutput output;
  if (!open_render_output(&output, job->out_path, kPixelRgb8, width, height, writer)) {
    engine_report_output_failure(job->console, kUnableToCreate, job->out_path,
                                 image_last_write_error());
    return false;
  }
  job->transform = output.conversion.active();
  job->embed = output.props.embed_icc;
  if (job->embed && output.props.icc_data) {
    job->out_profile.assign(output.props.icc_data, output.props.icc_data + output.props.icc_size);
    job->out_profile_size = static_cast<uint32_t>(job->out_profile.size());
  }
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  bool success = true;
  for (int32_t y = 0; success && y < height; ++y) {
    const uint8_t* pixel = image.data() + image_bytes(width, y);
    for (int32_t x = 0; x < width; ++x, pixel += 4) {
      row[x * 3] = pixel[0];
      row[x * 3 + 1] = pixel[1];
      row[x * 3 + 2] = pixel[2];
    }
    success = write_render_row(&output, row.data(), width);
    report(job, y, height);
  }
  success = finish_render_output(&output, success);
  if (!success) {
    engine_report_output_failure(job->console, kUnableToCreate, job->out_path,
                                 image_last_write_error());
  }
  return success;
}

// The resizer from the delivered image to width × height. A source decoded at 1/n spans
// full ÷ n of its pixels (its last column and row cover less), so every working row and
// column keeps the angle it has in the full image.
ResizerPtr preview_source_resizer(const ImageFile& file, const ImageProps& props, int32_t width,
                                  int32_t height, PixelFormat format, bool wrap) {
  double extent_x = file.width;
  double extent_y = file.height;
  if (file.scale_denominator > 1) {
    extent_x = static_cast<double>(props.width) / file.scale_denominator;
    extent_y = static_cast<double>(props.height) / file.scale_denominator;
  }
  return resizer_create_spanning(width, height, file.width, file.height, extent_x, extent_y, format,
                                 kFilterHanning, wrap);
}

}  // namespace

void init_preview_job(PreviewJob* job) {
  *job = PreviewJob();
}

void clear_preview_job(PreviewJob* job) {
  job->out_path.clear();
  job->out_path.shrink_to_fit();
}

std::vector<uint8_t> load_preview_source(int32_t width, PreviewJob* job, const std::string& path,
                                         int32_t height, bool wrap) {
  // The header gives the full size first: a JPEG at least twice the working size is decoded
  // at 1/2, 1/4 or 1/8 before the HANNING reduction.
  std::unique_ptr<ImageInfo> info = image_probe(path);
  ImageProps props;
  if (info)
    props.scale_denominator = image_scale_denominator(info->width, info->height, width, height);
  ImageFilePtr file = image_open_read(path, &props);
  if (!file) {
    engine_report_open_failure(job->console, path);
    return {};
  }
  const PixelFormat format = file->format;
  if (format != kPixelGray8 && format != kPixelRgb8 && format != kPixelRgba8 &&
      format != kPixelRgb16 && format != kPixelRgba16) {
    engine_error(job->console, kUnsupportedFormat);
    return {};
  }
  if (!fits_in_memory(job, width, height)) return {};
  const int32_t source_width = file->width;
  const int32_t source_height = file->height;
  const PixelFormat resize_format = resize_format_for(format);
  const bool sixteen = format == kPixelRgb16 || format == kPixelRgba16;
  ResizerPtr resizer = preview_source_resizer(*file, props, width, height, resize_format, wrap);
  if (width < 1 || height < 1 || !resizer) {
    engine_error(job->console, kUnableToOpen, path.c_str());
    return {};
  }
  const size_t pixel_bytes = static_cast<size_t>(pixel_format_bytes(resize_format));
  std::vector<uint8_t> image(image_bytes(width, height));
  std::vector<uint8_t> raw(static_cast<size_t>(file->bytes_per_row));
  std::vector<uint8_t> row(static_cast<size_t>(std::max(width, source_width)) * pixel_bytes);
  const size_t line = static_cast<size_t>(width) * 4;
  int32_t produced = 0;
  const auto take = [&]() {
    widen_row(row.data(), resize_format, width, image.data() + produced * line);
    report(job, ++produced, height);
  };
  for (int32_t y = 0; y < source_height && produced < height; ++y) {
    if (!image_read_row(file.get(), raw.data())) {
      engine_error(job->console, kUnableToOpen, path.c_str());
      return {};
    }
    if (sixteen) high_bytes_in_place(raw.data(), static_cast<size_t>(source_width) * pixel_bytes);
    if (resizer_push_row(raw.data(), resizer.get(), row.data()) != 1) continue;
    take();
    while (produced < height && resizer_push_row(nullptr, resizer.get(), row.data()) == 1) take();
  }
  while (produced < height && resizer_push_row(nullptr, resizer.get(), row.data()) == 1) take();
  file.reset();
  if (info && !info->icc.empty()) {
    job->in_profile = info->icc;
    job->in_profile_size = static_cast<uint32_t>(info->icc.size());
  }
  return image;
}

void plan_preview_progress(int64_t a, PreviewJob* job, bool with_load_stage, int64_t b,
                           bool use_size) {
  if (!with_load_stage && job->sphere.empty()) {
    job->sphere_width = use_size ? static_cast<uint32_t>(a) : 4 * job->face_size;
    job->sphere_height = use_size ? static_cast<uint32_t>(b) : 2 * job->face_size;
  }
  const double sphere = static_cast<double>(job->sphere_width) * job->sphere_height;
  int64_t q =
      (100 - static_cast<int64_t>(std::min<uint32_t>(job->smooth, 100))) * job->sphere_height / 100;
  if (q <= 8) q = 9;
  const double small = 2.0 * static_cast<double>(q) * static_cast<double>(q);
  const double output = static_cast<double>(job->out_width) * job->out_height;
  const double weights[kStageCount] = {
      with_load_stage ? (static_cast<double>(a) * b + sphere) / 2.0 : 0.0,
      job->sphere.empty() ? sphere : 0.0,
      small,
      sphere,
      1.5 * sphere,
      small,
      sphere,
      1.5 * sphere,
      sphere,
      job->cubestrip ? 6.0 * output : 0.0,
      4.0 * output * (job->cubestrip ? 6.0 : 1.0),
  };
  if (job->stages) job->stages(job->user, kStageCount, weights);
  if (job->stage) job->stage(job->user, 1);
}

// Computes rows 0 … height - 1 with row(i) on the run's threads, in bands, and reports the
// progress of each row in order once its band is done, as one thread would.
template <typename RowFn>
void rows_in_bands(PreviewJob* job, int32_t height, RowFn&& row) {
  constexpr int32_t kBand = 32;
  WorkerPoolPtr pool = thread_count() > 1 ? create_worker_pool(thread_count()) : nullptr;
  for (int32_t first = 0; first < height; first += kBand) {
    const int32_t count = std::min(kBand, height - first);
    parallel_for_each(pool.get(), count,
                      [&](int64_t k, int32_t) { row(first + static_cast<int32_t>(k)); });
    for (int32_t k = 0; k < count; ++k) report(job, first + k + 1, height);
  }
}

std::vector<uint8_t> rotate_sphere_image(const std::vector<uint8_t>& sphere, int32_t width,
                                         int32_t height, double degrees, PreviewJob* job) {
  std::vector<uint8_t> result(image_bytes(width, height), 0);
  const std::vector<double> longitudes = rotation_column_table(width);
  std::vector<double> cosines(width);
  std::vector<double> sines(width);
  for (int32_t x = 0; x < width; ++x) {
    cosines[x] = std::cos(longitudes[x]);
    sines[x] = std::sin(longitudes[x]);
  }
  const Matrix3 m = rotation_x(-degrees);
  const int32_t half = height / 2;
  const double width_scale = (width + 1) * 256.0;
  const double height_scale = (height + 1) * 256.0;
  rows_in_bands(job, height, [&](int32_t i) {
    double y;
    if (i < half) {
      y = i + 0.5 * (1.0 - static_cast<double>(i) / half);
    } else {
      y = i - 0.5 * (i - half) / static_cast<double>(half > 0 ? half : 1);
    }
    const double latitude = (y / height - 0.5) * kPi;
    const TurnedRow turned = {cosines.data(),     sines.data(), std::cos(latitude),
                              std::sin(latitude), m.m,          width_scale,
                              height_scale};
    uint8_t* out = result.data() + image_bytes(width, i);
    // Positions a chunk of columns at a time (rows run on several threads).
    constexpr int32_t kChunk = 256;
    int32_t xs[kChunk];
    int32_t ys[kChunk];
    for (int32_t x = 0; x < width; ++x, out += 4) {
      if (x % kChunk == 0) {
        TurnedRow chunk = turned;
        chunk.cosines += x;
        chunk.sines += x;
        turned_row_positions(chunk, std::min(kChunk, width - x), xs, ys);
      }
      const int32_t sx = xs[x % kChunk];
      const int32_t sy = ys[x % kChunk];
      const int32_t wx = eased_weight(sx & 255, 64);
      const int32_t wy = eased_weight(sy & 255, 127);
      const int32_t x0 = clamp_index(wrap_column(sx >> 8, width), width);
      const int32_t x1 = clamp_index(wrap_column((sx >> 8) + 1, width), width);
      const int32_t y0 = clamp_index(sy >> 8, height);
      const int32_t y1 = clamp_index((sy >> 8) + 1, height);
      const uint8_t* p00 = sphere.data() + (static_cast<size_t>(y0) * width + x0) * 4;
      const uint8_t* p01 = sphere.data() + (static_cast<size_t>(y0) * width + x1) * 4;
      const uint8_t* p10 = sphere.data() + (static_cast<size_t>(y1) * width + x0) * 4;
      const uint8_t* p11 = sphere.data() + (static_cast<size_t>(y1) * width + x1) * 4;
      for (int c = 0; c < 3; ++c) {
        const int32_t top = p00[c] + (p01[c] - p00[c]) * wx / 256;
        const int32_t bottom = p10[c] + (p11[c] - p10[c]) * wx / 256;
        out[c] = static_cast<uint8_t>(top + (bottom - top) * wy / 256);
      }
    }
  });
  return result;
}

std::vector<uint8_t> cube_faces_to_sphere(PreviewJob* job, int32_t width, int32_t height) {
  std::vector<uint8_t> sphere(image_bytes(width, height), 0);
  const int32_t face_size = static_cast<int32_t>(job->face_size);
  const double scale = face_size * 256.0;
  const double rows = height > 1 ? height - 1 : 1;
  const double columns = width > 1 ? width - 1 : 1;
  rows_in_bands(job, height, [&](int32_t i) {
    const double latitude = (i / rows - 0.5) * kPi;
    uint8_t* out = sphere.data() + image_bytes(width, i);
    for (int32_t j = 0; j < width; ++j, out += 4) {
      const double longitude = (j / columns - 0.5) * 2.0 * kPi - kPi / 2.0;
      const double d[3] = {std::cos(longitude) * std::cos(latitude), std::sin(latitude),
                           std::sin(longitude) * std::cos(latitude)};
      double u = 0;
      double v = 0;
      const int32_t face = preview_face_hit(d, &u, &v);
      if (face < 0 || job->faces[face].size() < image_bytes(face_size, face_size)) continue;
      sample_plain_bilinear(job->faces[face].data(), face_size, face_size,
                            static_cast<int32_t>(u * scale) - 128,
                            static_cast<int32_t>(v * scale) - 128, false, out);
    }
  });
  return sphere;
}

std::vector<uint8_t> sphere_to_cube_strip(PreviewJob* job, int32_t face_size) {
  const int32_t width = static_cast<int32_t>(job->sphere_width);
  const int32_t height = static_cast<int32_t>(job->sphere_height);
  std::vector<uint8_t> strip(image_bytes(face_size, 6 * static_cast<int64_t>(face_size)), 0);
  static const double kAngles[6][2] = {{0, -90}, {0, 0}, {0, 90}, {0, 180}, {-90, 0}, {90, 0}};
  for (int32_t k = 0; k < 6; ++k) {
    const Matrix3 m = multiply(
        multiply(multiply(rotation_x(-kAngles[k][0]), rotation_y(kAngles[k][1])), rotation_y(90)),
        rotation_x(90));
    for (int32_t i = 0; i < face_size; ++i) {
      const double v = 0.5 - (i + 0.5) / face_size;
      uint8_t* out = strip.data() + image_bytes(face_size, static_cast<int64_t>(k) * face_size + i);
      for (int32_t j = 0; j < face_size; ++j, out += 4) {
        const double u = 0.5 - (j + 0.5) / face_size;
        double d[3];
        for (int c = 0; c < 3; ++c) d[c] = u * m.m[0][c] + v * m.m[1][c] - 0.5 * m.m[2][c];
        const double t = std::sqrt(d[0] * d[0] + d[1] * d[1]);
        double longitude;
        double latitude;
        if (t == 0.0) {
          longitude = d[1] >= 0 ? 0.25 : 0.75;
          latitude = d[2] >= 0 ? 0.0 : 1.0;
        } else {
          longitude = std::acos(std::max(-1.0, std::min(1.0, d[0] / t))) / (2.0 * kPi);
          if (d[1] < 0) longitude = 1.0 - longitude;
          latitude = 0.5 - std::atan(d[2] / t) / kPi;
        }
        const int32_t x = static_cast<int32_t>(std::floor(longitude * width * 256.0)) - 128;
        const int32_t y = static_cast<int32_t>(std::floor(latitude * height * 256.0)) - 128;
        sample_plain_bilinear(job->sphere.data(), width, height, x, y, true, out);
      }
      report(job, static_cast<int64_t>(k) * face_size + i, 6 * static_cast<int64_t>(face_size));
    }
  }
  return strip;
}

bool smooth_preview_sphere(PreviewJob* job) {
  const int32_t width = static_cast<int32_t>(job->sphere_width);
  const int32_t height = static_cast<int32_t>(job->sphere_height);
  const int32_t keep = 100 - static_cast<int32_t>(std::min<uint32_t>(job->smooth, 100));
  const int32_t small_height = std::max(keep * height / 100, 9);
  const int32_t small_width = job->simple_blur ? std::max(keep * width / 100, 9) : 2 * small_height;
  std::vector<uint8_t> plain =
      blur_image(job->sphere, width, height, small_width, small_height, job->wrap, job);
  if (plain.empty()) return false;
  if (job->simple_blur) {
    job->sphere.swap(plain);
    return true;
  }
  next_stage(job);
  const std::vector<uint8_t> turned = rotate_sphere_image(job->sphere, width, height, 90.0, job);
  const std::vector<uint8_t> turned_blur =
      blur_image(turned, width, height, small_width, small_height, true, job);
  if (turned_blur.empty()) return false;
  next_stage(job);
  const std::vector<uint8_t> poles = rotate_sphere_image(turned_blur, width, height, -90.0, job);
  next_stage(job);
  const size_t line = static_cast<size_t>(width) * 4;
  for (int32_t i = 0; i < height; ++i) {
    const int32_t k = std::abs(height - 2 * i) * 256 / height;
    uint8_t* a = plain.data() + i * line;
    const uint8_t* b = poles.data() + i * line;
    for (size_t n = 0; n < line; ++n)
      a[n] = static_cast<uint8_t>((b[n] * k + a[n] * (256 - k) + 128) >> 8);
    report(job, i + 1, height);
  }
  job->sphere.swap(plain);
  return true;
}

bool compose_preview(PreviewJob* job) {
  next_stage(job);
  if (job->sphere.empty()) {
    if (job->sphere_width == 0 || job->sphere_height == 0) {
      job->sphere_width = 4 * job->face_size;
      job->sphere_height = 2 * job->face_size;
    }
    if (!fits_in_memory(job, job->sphere_width, job->sphere_height)) return false;
    job->sphere = cube_faces_to_sphere(job, static_cast<int32_t>(job->sphere_width),
                                       static_cast<int32_t>(job->sphere_height));
  }
  if (job->sphere.empty() ||
      job->sphere.size() < image_bytes(job->sphere_width, job->sphere_height)) {
    engine_error(job->console, kUnableToCreate, job->out_path.c_str());
    return false;
  }
  if (job->smooth > 0 && !smooth_preview_sphere(job)) {
    engine_error(job->console, kUnableToCreate, job->out_path.c_str());
    return false;
  }
  if (job->gray) {
    uint8_t* pixel = job->sphere.data();
    const size_t count = static_cast<size_t>(job->sphere_width) * job->sphere_height;
    for (size_t n = 0; n < count; ++n, pixel += 4) {
      const uint8_t value =
          static_cast<uint8_t>((77 * pixel[0] + 150 * pixel[1] + 29 * pixel[2]) >> 8);
      pixel[0] = pixel[1] = pixel[2] = value;
    }
  }
  next_stage(job);
  int32_t width = static_cast<int32_t>(job->sphere_width);
  int32_t height = static_cast<int32_t>(job->sphere_height);
  std::vector<uint8_t> output;
  if (job->cubestrip) {
    const int32_t face_size =
        job->out_width > 0 ? job->out_width : static_cast<int32_t>(job->face_size);
    output = sphere_to_cube_strip(job, face_size);
    width = face_size;
    height = 6 * face_size;
  } else {
    output.swap(job->sphere);
  }
  next_stage(job);
  job->composed.swap(output);
  job->composed_width = width;
  job->composed_height = height;
  job->sphere.clear();
  job->sphere.shrink_to_fit();
  for (std::vector<uint8_t>& face : job->faces) {
    face.clear();
    face.shrink_to_fit();
  }
  return true;
}

bool write_composed_preview(PreviewJob* job) {
  const bool written = write_preview(job, job->composed, job->composed_width, job->composed_height);
  job->composed.clear();
  job->composed.shrink_to_fit();
  if (!written) return false;
  report(job, 100, 100);
  return true;
}

bool render_preview(PreviewJob* job) {
  return compose_preview(job) && write_composed_preview(job);
}
