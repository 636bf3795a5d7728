// The cube to sphere renderer. Per row the latitude's sine and cosine are computed once, per
// column the longitude's come from a table; each pixel then costs at most six plane tests and
// one fixed-point interpolation with the render core's kernels, through one face sampler per
// face (32-pixel tiles, both coordinates clamped to the face).
#include "render/cube_to_sphere.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/console.h"
#include "render/engine_messages.h"
#include "render/render_core_kernels.h"

namespace {

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

// Samples a run of positions on one face: 8-bit runs through the render core's vector loops.
template <bool kSixteen, bool kBicubic>
inline void sample_face_run(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                            uint8_t* out) {
  if (kSixteen) {
    sample_run<true, kBicubic>(sampler, positions, count, out);
  } else {
    sample_run_8bit(sampler, positions, count, kBicubic, out);
  }
}

// A row is done in chunks: the face and source position of every pixel first, then the runs of
// pixels on the same face are sampled together (a ray that meets no face gives black).
template <bool kSixteen, bool kBicubic>
void render_row_variant(SphereRendering* rendering, int32_t row, uint8_t* out) {
  constexpr int32_t kChunk = 256;
  constexpr int32_t kNoFace = -1;
  const int32_t width = rendering->width;
  const double rows = rendering->height > 1 ? rendering->height - 1 : 1;
  const double latitude = kPi / 2.0 - kPi * row / rows;
  const double sine_latitude = std::sin(latitude);
  const double cosine_latitude = std::cos(latitude);
  const double scale = static_cast<double>(rendering->face_size) * 256.0;
  const FacePlane* planes = rendering->source->planes;
  PanoSampler* samplers = rendering->samplers;
  const double* sines = rendering->column_sine.data();
  const double* cosines = rendering->column_cosine.data();
  const int32_t pixel_bytes = kSixteen ? 6 : 3;
  SamplePosition positions[kChunk];
  int32_t faces[kChunk];
  for (int32_t first = 0; first < width; first += kChunk) {
    const int32_t count = std::min(kChunk, width - first);
    for (int32_t i = 0; i < count; ++i) {
      const int32_t column = first + i;
      const Direction d = {cosine_latitude * sines[column], sine_latitude,
                           -cosine_latitude * cosines[column]};
      double s = 0.0;
      double t = 0.0;
      if (!hit_face(planes, d, &faces[i], &s, &t)) {
        faces[i] = kNoFace;
        continue;
      }
      positions[i] = {static_cast<int32_t>(s * scale) - 128, static_cast<int32_t>(t * scale) - 128};
    }
    uint8_t* chunk_out = out + static_cast<size_t>(first) * pixel_bytes;
    for (int32_t begin = 0; begin < count;) {
      int32_t end = begin + 1;
      while (end < count && faces[end] == faces[begin]) ++end;
      uint8_t* run_out = chunk_out + static_cast<size_t>(begin) * pixel_bytes;
      if (faces[begin] == kNoFace) {
        std::memset(run_out, 0, static_cast<size_t>(end - begin) * pixel_bytes);
      } else {
        sample_face_run<kSixteen, kBicubic>(&samplers[faces[begin]], positions + begin, end - begin,
                                            run_out);
      }
      begin = end;
    }
  }
}

// [sixteen bit][bicubic]
constexpr SphereRowFn kRowVariants[2][2] = {
    {render_row_variant<false, false>, render_row_variant<false, true>},
    {render_row_variant<true, false>, render_row_variant<true, true>},
};

// "error creating file" through the error callback, which ends the line once more.
void report_not_created(const SphereJob& job) {
  ConsoleOps* console = job.console;
  if (!console) return;
  const std::string text = engine_create_failure_text(job.output_name);
  console->error(console, text.c_str());
}

void render_sphere_rows(void* rendering, int32_t row, uint8_t* out) {
  render_sphere_row(static_cast<SphereRendering*>(rendering), row, out);
}

// Per worker a copy of the rendering whose face samplers read through tile caches of its own.
struct WorkerRenderings {
  std::vector<TileViewPtr> views;
  std::vector<SphereRendering> renderings;
};

void spread_sphere_rows(RenderedRows* rows, const SphereRendering& rendering, WorkerPool* pool,
                        WorkerRenderings* workers) {
  if (!pool) return;
  const size_t count = static_cast<size_t>(pool_workers(pool));
  workers->renderings.assign(count, rendering);
  std::vector<void*> states(count);
  for (size_t w = 0; w < count; ++w) {
    SphereRendering& copy = workers->renderings[w];
    for (int32_t f = 0; f < 6; ++f) {
      if (!rendering.source->faces[f]) continue;
      workers->views.push_back(create_tile_view(rendering.source->faces[f]));
      copy.samplers[f].view = workers->views.back().get();
    }
    states[w] = &copy;
  }
  spread_rendered_rows(rows, pool, std::move(states));
}

}  // namespace

void build_face_planes(CubeSource* source) {
  for (int32_t f = 0; f < 6; ++f) {
    const CubeFace face = oriented_cube_face(f, source->orientations[f]);
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
  for (int32_t f = 0; f < 6; ++f) {
    if (source->faces[f]) {
      rendering->samplers[f] = make_face_sampler(source->faces[f], source->views[f]);
    }
  }
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

void render_sphere_row(SphereRendering* rendering, int32_t row, uint8_t* out) {
  rendering->render_row(rendering, row, out);
}

bool render_sphere(const SphereJob& job, CubeSource* source) {
  ConsoleOps* console = job.console;
  const int64_t start = timer_ticks();
  // RGB of the faces' depth, the faces' profile embedded as it is.
  const PixelFormat format = rendered_pixel_format(source->sixteen_bit);
  RenderWriterSettings writer;
  writer.options = job.writer_options;
  writer.profile_mode = kProfileCopy;
  writer.source_icc = &job.icc;
  RenderOutput output;
  if (!open_render_output(&output, job.output_name, format, job.width, job.height, writer)) {
    report_not_created(job);
    return false;
  }
  const SpherePlan plan = plan_sphere_rendering(job);
  SphereRendering rendering;
  init_sphere_rendering(&rendering, source, plan.render_width, plan.render_height, job.fast);
  WorkerRenderings workers;  // before rows: a band rendered ahead reads through them
  RenderedRows rows;
  bool success =
      init_rendered_rows(&rows, render_sphere_rows, &rendering, format, plan.render_width,
                         plan.render_height, job.width, job.height, plan.oversample);
  if (success) {
    spread_sphere_rows(&rows, rendering, job.pool, &workers);
    success =
        write_rendered_rows(&rows, &output, job.width, job.height, job.progress, job.progress_user);
  }
  // A file that could not be completed or given its name is not there: say so.
  success = finish_render_output(&output, success);
  if (!success) report_not_created(job);
  if (job.progress) job.progress(job.progress_user, 1, 1);
  if (job.verbose) {
    engine_log(console, "convert time: %.2f sec\n", ticks_to_seconds(timer_ticks() - start));
  }
  return success;
}
