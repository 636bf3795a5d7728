// The sphere/cylinder to perspective renderer. A row is done in two steps: first the source
// position of every pixel in fixed point (exactly for views and near the middle of face rows,
// by 16-pixel spans elsewhere), then the interpolation with the render core's kernels.
#include "render/sphere_to_cube.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "render/engine_messages.h"
#include "render/exact_positions.h"
#include "render/render_core_kernels.h"

namespace {

template <bool kCylinder>
inline TextureCoord pixel_texture(const RenderContext& context, int32_t column, int32_t row) {
  return direction_to_equirect(camera_frame_ray(context.camera, column, row), kCylinder);
}

// Source positions of every pixel of a row, exact or by spans as the face rule says.
template <bool kCylinder>
void row_positions(RenderContext* context, int32_t row, SamplePosition* positions) {
  const int32_t width = context->width;
  const double width_256 = context->sampler->width * 256.0;
  const double extent_256 = context->sampler->extent * 256.0;
  int32_t spans = 0;
  if (context->face >= 0) {
    const int32_t middle = (context->face == 4 || context->face == 5) ? width / 4 : 0;
    spans = ((width - middle) / 2) / 16;
  }
  const int32_t exact_begin = 16 * spans;
  const int32_t exact_end = width - 16 * spans;
  exact_row_positions(context->camera, kCylinder, row, exact_begin, exact_end - exact_begin,
                      width_256, extent_256, positions + exact_begin);
  if (spans == 0) return;
  // The ends of the left spans, then those of the right ones.
  std::vector<TextureCoord>& ends = context->span_ends;
  ends.resize(2 * static_cast<size_t>(spans) + 2);
  for (int32_t k = 0; k <= spans; ++k) {
    ends[k] = pixel_texture<kCylinder>(*context, 16 * k, row);
    ends[spans + 1 + k] = pixel_texture<kCylinder>(*context, exact_end + 16 * k, row);
  }
  span_positions(ends.data(), 0, spans, width_256, extent_256, positions);
  span_positions(ends.data() + spans + 1, exact_end, spans, width_256, extent_256, positions);
}

// g++ builds an AVX2 clone of each row variant, chosen at run time. Clang cannot clone
// templates, so its builds (the fuzz targets) keep the portable code only, and so do thread
// sanitizer builds: the clone resolver runs before the thread sanitizer has started.
#if defined(__clang__) || defined(__SANITIZE_THREAD__)
#define QV_ROW_CLONES
#else
#define QV_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// Waits until the source rows a row's positions reach (with the kernel's reach below them) are
// there, for a source that is still being filled; false when they never will be.
// A streamed source also checks that the highest row is still there.
__attribute__((noinline)) bool wait_for_row_sources(RenderContext* context) {
  const PanoSampler* sampler = context->sampler;
  int32_t lowest = INT32_MIN;
  int32_t highest = INT32_MAX;
  for (const SamplePosition& position : context->positions) {
    lowest = std::max(lowest, position.y);
    highest = std::min(highest, position.y);
  }
  const int32_t last = std::clamp((lowest >> 8) + 2 - sampler->offset, 0, sampler->height - 1);
  const int32_t first = std::clamp((highest >> 8) - 1 - sampler->offset, 0, sampler->height - 1);
  return wait_for_tile_band(sampler->view->image, first, last + 1);
}

template <bool kSixteen, bool kCylinder, bool kBicubic>
QV_ROW_CLONES void render_row_variant(RenderContext* context, int32_t row, uint8_t* out) {
  context->positions.resize(static_cast<size_t>(context->width));
  row_positions<kCylinder>(context, row, context->positions.data());
  if (!tile_rows_complete(context->sampler->view->image) && !wait_for_row_sources(context)) {
    // The source will not be complete: the image is dropped, its rows need no pixels.
    std::fill_n(out, static_cast<size_t>(context->width) * (kSixteen ? 6 : 3), 0);
    return;
  }
  if (kSixteen) {
    sample_run<true, kBicubic>(context->sampler, context->positions.data(), context->width, out);
  } else {
    sample_run_8bit(context->sampler, context->positions.data(), context->width, kBicubic, out);
  }
}

// The eight variants: [16-bit][cylinder][bicubic].
const RowRenderFn kRowRenderers[2][2][2] = {
    {{render_row_variant<false, false, false>, render_row_variant<false, false, true>},
     {render_row_variant<false, true, false>, render_row_variant<false, true, true>}},
    {{render_row_variant<true, false, false>, render_row_variant<true, false, true>},
     {render_row_variant<true, true, false>, render_row_variant<true, true, true>}},
};

// Camera space to face directions: x along the face's s edge, y against its t edge, the view
// direction -z onto the face centre.
RotationMatrix face_frame(const CubeFace& face) {
  RotationMatrix frame = identity_rotation();
  const Direction rows[3] = {face.s_direction,
                             {-face.t_direction.x, -face.t_direction.y, -face.t_direction.z},
                             {-face.normal.x, -face.normal.y, -face.normal.z}};
  for (int i = 0; i < 3; ++i) {
    frame.m[i][0] = rows[i].x;
    frame.m[i][1] = rows[i].y;
    frame.m[i][2] = rows[i].z;
  }
  return frame;
}

// The rows of a face stream come from its context.
void render_face_row(void* context, int32_t row, uint8_t* out) {
  RenderContext* face = static_cast<RenderContext*>(context);
  face->render_row(face, row, out);
}

}  // namespace

int32_t natural_face_size(int32_t source_width) {
  return static_cast<int32_t>(source_width / kPi + 0.5);
}

OversamplePlan plan_oversampling(const RenderSettings& settings, int32_t source_width,
                                 int32_t width, int32_t height, double fov) {
  OversamplePlan plan;
  plan.render_width = width;
  plan.render_height = height;
  const int32_t natural = natural_face_size(source_width);
  const double half_tangent = std::tan(fov * kDegreesToRadians / 2.0);
  int32_t focal = static_cast<int32_t>(std::max(width, height) / half_tangent);
  if (focal < 1) focal = 1;
  const bool automatic = focal < natural && !settings.no_oversampling;
  if (!automatic && !(settings.oversample > 0.0f)) return plan;
  double k = static_cast<double>(natural) / focal;
  if (settings.oversample > 0.0f) {
    k *= settings.oversample;
  } else if (k > 2.0) {
    plan.switch_to_fast = true;
  }
  k = std::min(k, 4.0);
  plan.oversample = true;
  plan.factor = k;
  plan.render_width = std::max(1, static_cast<int32_t>(width * k + 0.5));
  plan.render_height = std::max(1, static_cast<int32_t>(height * k + 0.5));
  return plan;
}

void select_row_renderer(RenderContext* context, const RenderSettings& settings) {
  context->render_row = kRowRenderers[context->sixteen_bit][context->cylinder][!settings.fast];
}

void init_render_context(RenderContext* context, const RenderSettings& settings, int32_t width,
                         int32_t height, int32_t face, const RotationMatrix* extra,
                         double vertical_angle, double heading, double roll, double fov) {
  context->sampler = settings.sampler;
  context->width = width;
  context->height = height;
  context->face = face;
  context->fov = fov;
  context->cylinder = settings.cylinder;
  context->sixteen_bit = settings.sampler->element_size == 8;
  if (face >= 0) {
    // The camera of a face is its heading and vertical angle with a 90° field of view; its
    // frame is taken from the face square itself, so the axes are exact (no cos 90° residue)
    // and the rays meet the face plane at exact face coordinates.
    context->fov = 90.0;
    context->camera = make_camera(width, height, 90.0, 0.0, 0.0, 0.0, nullptr);
    context->camera.rotation = face_frame(cube_face(face));
    if (extra) context->camera.rotation = then_rotate(context->camera.rotation, *extra);
  } else {
    context->camera = make_camera(width, height, fov, heading, vertical_angle, roll, extra);
  }
  select_row_renderer(context, settings);
}

TextureCoord render_pixel_texture(const RenderContext& context, int32_t column, int32_t row) {
  return direction_to_equirect(camera_frame_ray(context.camera, column, row), context.cylinder);
}

namespace {

double texture_v(const RenderContext& context, double column, double row) {
  return direction_to_equirect(camera_frame_ray(context.camera, column, row), context.cylinder).v;
}

constexpr int32_t kReachStep = 8;  // pixels between two samples of the outline

}  // namespace

void init_source_reach(SourceReach* reach, const RenderContext& context) {
  const int32_t width = context.width;
  const int32_t height = context.height;
  const double rows_per_v = context.sampler->extent;
  reach->column_top.assign(static_cast<size_t>(height), 1e300);
  double above = 1e300;
  double last_left = 0.0, last_right = 0.0;
  reach->step_rows = 0.0;
  for (int32_t row = height - 1; row >= 0; --row) {
    // Every row of the edge columns: they are where a face's rows reach highest.
    const double left = texture_v(context, 0, row);
    const double right = texture_v(context, width - 1, row);
    if (row < height - 1) {
      reach->step_rows = std::max(reach->step_rows, std::abs(left - last_left) * rows_per_v);
      reach->step_rows = std::max(reach->step_rows, std::abs(right - last_right) * rows_per_v);
    }
    last_left = left;
    last_right = right;
    above = std::min(above, std::min(left, right));
    reach->column_top[static_cast<size_t>(row)] = above;
  }
  double bottom = texture_v(context, width - 1, height - 1);
  double last = texture_v(context, 0, height - 1);
  for (int32_t column = 0; column < width; column += kReachStep) {
    const double v = texture_v(context, column, height - 1);
    reach->step_rows = std::max(reach->step_rows, std::abs(v - last) * rows_per_v);
    last = v;
    bottom = std::min(bottom, v);
  }
  reach->bottom_top = bottom;
  // The north pole seen through the camera: camera space is the transpose of the rotation.
  const RotationMatrix& m = context.camera.rotation;
  const double x = m.m[0][1], y = m.m[1][1], z = m.m[2][1];
  reach->pole_row = 1e300;
  if (z < 0.0) {
    const double scale = -context.camera.distance / z;
    reach->pole_column = x * scale * height + width / 2.0 - 0.5;
    reach->pole_row = height / 2.0 - y * scale * height - 0.5;
  }
}

int32_t first_source_row_from(const SourceReach& reach, const RenderContext& context,
                              int32_t row) {
  const int32_t width = context.width;
  const int32_t height = context.height;
  if (row >= height) return INT32_MAX;
  row = std::max(row, 0);
  if (reach.pole_row >= row - 2.0 && reach.pole_row <= height + 1.0 &&
      reach.pole_column >= -2.0 && reach.pole_column <= width + 1.0) {
    return 0;
  }
  double top = std::min(reach.column_top[static_cast<size_t>(row)], reach.bottom_top);
  double step = reach.step_rows;
  double last = texture_v(context, 0, row);
  for (int32_t column = kReachStep; column < width + kReachStep; column += kReachStep) {
    const double v = texture_v(context, std::min(column, width - 1), row);
    step = std::max(step, std::abs(v - last) * context.sampler->extent);
    last = v;
    top = std::min(top, v);
  }
  // The rows the kernel reaches above, the outline between its samples, and the spans' rounding.
  const double y = top * context.sampler->extent - 0.5 - context.sampler->offset;
  const double first = std::floor(y) - 2.0 - 2.0 * step - 8.0;
  return first <= 0.0 ? 0 : static_cast<int32_t>(first);
}

bool init_face_row_stream(FaceRowStream* stream, int32_t output_width, int32_t output_height,
                          bool reduce) {
  RenderContext* context = &stream->context;
  return init_rendered_rows(&stream->rows, render_face_row, context,
                            rendered_pixel_format(context->sixteen_bit), context->width,
                            context->height, output_width, output_height, reduce);
}

void spread_face_row_stream(FaceRowStream* stream, WorkerPool* pool) {
  if (!pool) return;
  const size_t workers = static_cast<size_t>(pool_workers(pool));
  const PanoSampler& shared = *stream->context.sampler;
  if (stream->worker_views.size() != workers) {
    stream->worker_views.clear();
    stream->worker_samplers.assign(workers, shared);
    for (size_t w = 0; w < workers; ++w) {
      stream->worker_views.push_back(create_tile_view(shared.view->image));
      stream->worker_samplers[w].view = stream->worker_views.back().get();
    }
  }
  stream->worker_contexts.assign(workers, stream->context);
  std::vector<void*> states(workers);
  for (size_t w = 0; w < workers; ++w) {
    stream->worker_contexts[w].sampler = &stream->worker_samplers[w];
    states[w] = &stream->worker_contexts[w];
  }
  spread_rendered_rows(&stream->rows, pool, std::move(states));
}

void rewind_face_row_stream(FaceRowStream* stream) {
  rewind_rendered_rows(&stream->rows);
}

uint8_t* next_face_row(FaceRowStream* stream) {
  return next_rendered_row(&stream->rows);
}

bool open_face_output(RenderOutput* output, const RenderSettings& settings,
                      const ImageProps& writer_options, const std::string& name, int32_t width,
                      int32_t height) {
  RenderWriterSettings writer;
  writer.options = writer_options;
  writer.profile_mode = settings.profile_mode;
  writer.source_icc = settings.source_icc;
  return open_render_output(output, name,
                            rendered_pixel_format(settings.sampler->element_size == 8), width,
                            height, writer);
}

bool render_image(RenderSettings* settings, ConsoleOps* console, const ImageProps& writer_options,
                  int32_t width, int32_t height, int32_t face, const RotationMatrix* extra,
                  double vertical_angle, double heading, double roll, double fov,
                  const std::string& output_name) {
  RenderOutput output;
  if (!open_face_output(&output, *settings, writer_options, output_name, width, height)) {
    engine_log(console, "%s", engine_create_failure_text(output_name).c_str());
    return false;
  }
  const OversamplePlan plan =
      plan_oversampling(*settings, settings->sampler->width, width, height, fov);
  if (plan.switch_to_fast) settings->fast = true;
  FaceRowStream stream;
  init_render_context(&stream.context, *settings, plan.render_width, plan.render_height, face,
                      extra, vertical_angle, heading, roll, fov);
  bool success = init_face_row_stream(&stream, width, height, plan.oversample);
  if (success) {
    spread_face_row_stream(&stream, settings->pool);
    success = write_rendered_rows(&stream.rows, &output, width, height, settings->progress,
                                  settings->progress_user);
  }
  // A source still being read: the image gets its name only once the whole source is there.
  TiledImage* source = settings->sampler->view->image;
  if (!wait_for_tile_rows(source, source->height)) success = false;
  return finish_face_output(&output, success, *settings, console);
}

bool finish_face_output(RenderOutput* output, bool success, const RenderSettings& settings,
                        ConsoleOps* console) {
  // A file that could not be completed or given its name is not there: say so.
  success = finish_render_output(output, success);
  if (!success) engine_log(console, "%s", engine_create_failure_text(output->final_name).c_str());
  if (settings.progress) settings.progress(settings.progress_user, 1, 1);
  return success;
}
