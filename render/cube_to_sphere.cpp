// The cube to sphere renderer. Per row the latitude's sine and cosine are computed once, per
// column the longitude's come from a table; each pixel then costs at most six plane tests and
// one fixed-point interpolation. A sample's 4 × 4 (or 2 × 2) neighbourhood usually lies inside
// one 32-pixel tile and is then read through one cache lookup and a stride; only samples that
// straddle a tile or face edge fetch pixel by pixel (the view clamps them to the face).
#include "render/cube_to_sphere.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/console.h"
#include "render/pixel_lanes.h"

namespace {

// The kSize × kSize face pixels whose top-left is (column, row), clamped to the face: a base
// pointer and a stride when the block lies inside one tile, else one pointer per pixel.
template <int kSize>
struct FaceBlock {
  const uint8_t* pixels[kSize][kSize];
  const uint8_t* base;
  size_t stride;
  bool contiguous;
};

template <int kSize>
bool gather_block(TileView* view, int32_t column, int32_t row, FaceBlock<kSize>* out) {
  const TiledImage* image = view->image;
  const int32_t shift = image->tile_shift;
  const int32_t last_column = column + kSize - 1;
  const int32_t last_row = row + kSize - 1;
  if (column >= 0 && row >= 0 && last_column < image->width && last_row < image->height &&
      (column >> shift) == (last_column >> shift) && (row >> shift) == (last_row >> shift)) {
    out->base = tile_view_pixel(view, column, row);
    if (!out->base) return false;
    const int32_t tile_left = (column >> shift) << shift;
    const int32_t tile_width = std::min(image->tile_size, image->width - tile_left);
    out->stride = static_cast<size_t>(tile_width) * image->element_size;
    out->contiguous = true;
    return true;
  }
  out->contiguous = false;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      out->pixels[r][c] = tile_view_pixel(view, column + c, row + r);
      if (!out->pixels[r][c]) return false;
    }
  }
  return true;
}

template <bool kSixteen, int kSize>
inline Lanes block_pixel(const FaceBlock<kSize>& block, int r, int c) {
  const uint8_t* pixel = block.contiguous ? block.base + r * block.stride + c * (kSixteen ? 8 : 4)
                                          : block.pixels[r][c];
  return load_lanes<kSixteen>(pixel);
}

template <bool kSixteen>
void sample_bicubic(TileView* view, int32_t x, int32_t y, uint8_t* out) {
  FaceBlock<4> block;
  if (!gather_block<4>(view, (x >> 8) - 1, (y >> 8) - 1, &block)) {
    std::memset(out, 0, kSixteen ? 6 : 3);
    return;
  }
  const int32_t fx = x & 255;
  const int32_t fy = y & 255;
  // 8-bit values are taken to the 16-bit range first (× 257) and brought back with rounding.
  const int32_t scale = kSixteen ? 1 : 257;
  Lanes rows[4];
  for (int r = 0; r < 4; ++r) {
    rows[r] = catmull_rom(
        scale * block_pixel<kSixteen>(block, r, 0), scale * block_pixel<kSixteen>(block, r, 1),
        scale * block_pixel<kSixteen>(block, r, 2), scale * block_pixel<kSixteen>(block, r, 3), fx);
  }
  Lanes value = catmull_rom(rows[0], rows[1], rows[2], rows[3], fy);
  if (!kSixteen) value = lanes_from_16bit_range(value);
  store_rgb<kSixteen>(clamp_lanes(value, kSixteen ? 65535 : 255), out);
}

template <bool kSixteen>
void sample_bilinear(TileView* view, int32_t x, int32_t y, uint8_t* out) {
  FaceBlock<2> block;
  if (!gather_block<2>(view, x >> 8, y >> 8, &block)) {
    std::memset(out, 0, kSixteen ? 6 : 3);
    return;
  }
  const int32_t fx = x & 255;
  const int32_t fy = y & 255;
  const Lanes top =
      linear(block_pixel<kSixteen>(block, 0, 0), block_pixel<kSixteen>(block, 0, 1), fx);
  const Lanes bottom =
      linear(block_pixel<kSixteen>(block, 1, 0), block_pixel<kSixteen>(block, 1, 1), fx);
  store_rgb<kSixteen>(linear(top, bottom, fy), out);
}

inline double dot(const Direction& a, const Direction& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The first face (in side order) whose square holds the ray's hit, bounds included; false when
// the ray meets none.
inline bool hit_face(const FacePlane* planes, const Direction& d, int32_t* face, double* s,
                     double* t) {
  for (int32_t f = 0; f < 6; ++f) {
    const FacePlane& plane = planes[f];
    const double facing = dot(plane.normal, d);
    if (!(facing > 0.0)) continue;
    const double distance = plane.constant / facing;
    const Direction q = {distance * d.x - plane.corner.x, distance * d.y - plane.corner.y,
                         distance * d.z - plane.corner.z};
    const double u = dot(q, plane.s_direction);
    const double v = dot(q, plane.t_direction);
    if (u >= 0.0 && u <= 1.0 && v >= 0.0 && v <= 1.0) {
      *face = f;
      *s = u;
      *t = v;
      return true;
    }
  }
  return false;
}

template <bool kSixteen, bool kBicubic>
void render_row_variant(const SphereRendering* rendering, int32_t row, uint8_t* out) {
  const int32_t width = rendering->width;
  const double rows = rendering->height > 1 ? rendering->height - 1 : 1;
  const double latitude = kPi / 2.0 - kPi * row / rows;
  const double sine_latitude = std::sin(latitude);
  const double cosine_latitude = std::cos(latitude);
  const double scale = static_cast<double>(rendering->face_size) * 256.0;
  const FacePlane* planes = rendering->source->planes;
  TileView* const* views = rendering->source->views;
  const double* sines = rendering->column_sine.data();
  const double* cosines = rendering->column_cosine.data();
  const int32_t pixel_bytes = kSixteen ? 6 : 3;
  for (int32_t column = 0; column < width; ++column, out += pixel_bytes) {
    const Direction d = {cosine_latitude * sines[column], sine_latitude,
                         -cosine_latitude * cosines[column]};
    int32_t face = 0;
    double s = 0.0;
    double t = 0.0;
    if (!hit_face(planes, d, &face, &s, &t)) {
      std::memset(out, 0, pixel_bytes);
      continue;
    }
    const int32_t x = static_cast<int32_t>(s * scale) - 128;
    const int32_t y = static_cast<int32_t>(t * scale) - 128;
    if (kBicubic) {
      sample_bicubic<kSixteen>(views[face], x, y, out);
    } else {
      sample_bilinear<kSixteen>(views[face], x, y, out);
    }
  }
}

// [sixteen bit][bicubic]
constexpr SphereRowFn kRowVariants[2][2] = {
    {render_row_variant<false, false>, render_row_variant<false, true>},
    {render_row_variant<true, false>, render_row_variant<true, true>},
};

void report(const SphereJob& job, int64_t done, int64_t total) {
  if (job.progress) job.progress(job.progress_user, done, total);
}

void report_not_created(const SphereJob& job) {
  ConsoleOps* console = job.console;
  if (!console) return;
  const std::string text = console->format(console, kErrorCreatingFile, job.output_name.c_str());
  console->error(console, text.c_str());
}

}  // namespace

void build_face_planes(CubeSource* source) {
  for (int32_t f = 0; f < 6; ++f) {
    const CubeFace& face = cube_face(f);
    FacePlane& plane = source->planes[f];
    plane.corner = face.corner;
    plane.s_direction = face.s_direction;
    plane.t_direction = face.t_direction;
    plane.normal = face.normal;
    plane.constant = dot(face.normal, face.corner);
  }
}

SpherePlan plan_sphere_rendering(const SphereJob& job) {
  SpherePlan plan;
  plan.render_width = job.width;
  plan.render_height = job.height;
  const bool automatic = job.width < job.natural_width && !job.no_oversampling;
  if (!automatic && !(job.oversample > 0.0f)) return plan;
  double k = static_cast<double>(job.natural_width) / job.width;
  if (job.oversample > 0.0f) k *= job.oversample;
  k = std::min(k, 4.0);
  const int32_t width = static_cast<int32_t>(job.width * k + 0.5);
  const int32_t height = static_cast<int32_t>(job.height * k + 0.5);
  // A factor that changes nothing (or shrinks to nothing) renders directly.
  if (width < 1 || height < 1 || (width == job.width && height == job.height)) return plan;
  plan.oversample = true;
  plan.factor = k;
  plan.render_width = width;
  plan.render_height = height;
  return plan;
}

void init_sphere_rendering(SphereRendering* rendering, CubeSource* source, int32_t width,
                           int32_t height, bool fast) {
  build_face_planes(source);
  rendering->source = source;
  rendering->width = width;
  rendering->height = height;
  rendering->face_size = source->faces[0] ? source->faces[0]->width : 0;
  rendering->column_sine.resize(width);
  rendering->column_cosine.resize(width);
  const double columns = width > 1 ? width - 1 : 1;
  for (int32_t c = 0; c < width; ++c) {
    const double longitude = 2.0 * kPi * c / columns - kPi;
    rendering->column_sine[c] = std::sin(longitude);
    rendering->column_cosine[c] = std::cos(longitude);
  }
  rendering->render_row = kRowVariants[source->sixteen_bit][!fast];
}

void render_sphere_row(const SphereRendering* rendering, int32_t row, uint8_t* out) {
  rendering->render_row(rendering, row, out);
}

bool render_sphere(const SphereJob& job, CubeSource* source) {
  ConsoleOps* console = job.console;
  const int64_t start = timer_ticks();
  // The writer side of the face renderer: RGB of the faces' depth, the profile copied as is.
  PanoSampler depth;
  depth.element_size = source->sixteen_bit ? 8 : 4;
  RenderSettings settings;
  settings.sampler = &depth;
  settings.profile_mode = kProfileCopy;
  settings.source_icc = &job.icc;
  RenderOutput output;
  if (!open_render_output(&output, settings, job.writer_options, job.output_name, job.width,
                          job.height)) {
    report_not_created(job);
    return false;
  }
  const SpherePlan plan = plan_sphere_rendering(job);
  SphereRendering rendering;
  init_sphere_rendering(&rendering, source, plan.render_width, plan.render_height, job.fast);
  const size_t pixel_bytes = source->sixteen_bit ? 6 : 3;
  bool success = true;
  if (!plan.oversample) {
    std::vector<uint8_t> row(static_cast<size_t>(job.width) * pixel_bytes);
    for (int32_t r = 0; success && r < job.height; ++r) {
      render_sphere_row(&rendering, r, row.data());
      success = write_render_row(&output, row.data(), job.width);
      report(job, r, job.height);
    }
  } else {
    const PixelFormat format = source->sixteen_bit ? kPixelRgb16 : kPixelRgb8;
    ResizerPtr resizer = resizer_create(job.width, job.height, plan.render_width,
                                        plan.render_height, format, kFilterLanczos, false);
    success = resizer != nullptr;
    std::vector<uint8_t> rendered(static_cast<size_t>(plan.render_width) * pixel_bytes);
    std::vector<uint8_t> reduced(static_cast<size_t>(std::max(plan.render_width, job.width)) *
                                 pixel_bytes);
    int32_t written = 0;
    for (int32_t r = 0; success && r < plan.render_height; ++r) {
      render_sphere_row(&rendering, r, rendered.data());
      int got = resizer_push_row(rendered.data(), resizer.get(), reduced.data());
      while (success && got == 1 && written < job.height) {
        success = write_render_row(&output, reduced.data(), job.width);
        report(job, ++written, job.height);
        got = resizer_push_row(nullptr, resizer.get(), reduced.data());
      }
    }
    // An enlarging resizer may still owe rows after the last rendered one.
    while (success && written < job.height) {
      if (resizer_push_row(nullptr, resizer.get(), reduced.data()) != 1) {
        success = false;
        break;
      }
      success = write_render_row(&output, reduced.data(), job.width);
      report(job, ++written, job.height);
    }
  }
  // A file that could not be completed or given its name is not there: say so.
  success = finish_render_output(&output, success);
  if (!success) report_not_created(job);
  report(job, 1, 1);
  if (job.verbose && console) {
    console->log(console, "convert time: %.2f sec\n", ticks_to_seconds(timer_ticks() - start));
  }
  return success;
}
