// The sphere/cylinder to perspective renderer. A row is done in two steps: first the source
// position of every pixel in fixed point (exactly for views and near the middle of face rows,
// by 16-pixel spans elsewhere), then the interpolation. The 4 × 4 (or 2 × 2) neighbourhood of a
// sample nearly always lies inside one 128-pixel tile; it is then read through one cache lookup
// and a row stride, and only samples that straddle a tile edge, the seam or the image border go
// through the sampler pixel by pixel.
#include "render/sphere_to_cube.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "base/files.h"
#include "base/paths.h"
#include "render/pixel_lanes.h"

const char kErrorCreatingFile[] = "error creating file \"%s\"!\n\n";

namespace {

// The kSize × kSize pixels whose top-left is (column, row) in sphere rows, as row pointers
// with a pixel step: one tile lookup and a stride when the block lies inside one tile (nearly
// always), else one sampler fetch per pixel.
template <int kSize>
struct Neighbourhood {
  const uint8_t* pixels[kSize][kSize];  // [row][column], used when not contiguous
  const uint8_t* base;                  // contiguous: the top-left pixel
  size_t stride;                        // contiguous: bytes from one row to the next
  bool contiguous;
};

// Slow path: one sampler fetch per pixel (tile edges, the seam, rows outside the image).
template <int kSize>
__attribute__((noinline)) bool gather_pixel_by_pixel(PanoSampler* sampler, int32_t column,
                                                     int32_t row, Neighbourhood<kSize>* out) {
  out->contiguous = false;
  for (int r = 0; r < kSize; ++r) {
    for (int c = 0; c < kSize; ++c) {
      out->pixels[r][c] = pano_sampler_fetch(sampler, column + c, row + r);
      if (!out->pixels[r][c]) return false;
    }
  }
  return true;
}

template <int kSize>
__attribute__((always_inline)) inline bool gather_neighbourhood(PanoSampler* sampler,
                                                                int32_t column, int32_t row,
                                                                Neighbourhood<kSize>* out) {
  const int32_t shift = sampler->tile_shift;
  const int32_t image_row = row - sampler->offset;
  const int32_t last_column = column + kSize - 1;
  const int32_t last_row = image_row + kSize - 1;
  if (column >= 0 && last_column < sampler->width && image_row >= 0 && last_row < sampler->height &&
      (column >> shift) == (last_column >> shift) && (image_row >> shift) == (last_row >> shift)) {
    out->base = tile_view_pixel(sampler->view, column, image_row);
    if (!out->base) return false;
    const int32_t tile_left = (column >> shift) << shift;
    const int32_t tile_width = std::min(1 << shift, sampler->width - tile_left);
    out->stride = static_cast<size_t>(tile_width) * sampler->element_size;
    out->contiguous = true;
    return true;
  }
  return gather_pixel_by_pixel<kSize>(sampler, column, row, out);
}

template <bool kSixteen, int kSize>
inline Lanes neighbour(const Neighbourhood<kSize>& n, int r, int c) {
  const uint8_t* pixel =
      n.contiguous ? n.base + r * n.stride + c * (kSixteen ? 8 : 4) : n.pixels[r][c];
  return load_lanes<kSixteen>(pixel);
}

template <bool kSixteen>
__attribute__((always_inline)) inline void sample_bicubic(PanoSampler* sampler,
                                                          SamplePosition position, uint8_t* out) {
  Neighbourhood<4> n;
  const int32_t fx = position.x & 255;
  const int32_t fy = position.y & 255;
  if (!gather_neighbourhood<4>(sampler, (position.x >> 8) - 1, (position.y >> 8) - 1, &n)) {
    std::memset(out, 0, kSixteen ? 6 : 3);
    return;
  }
  // 8-bit values are taken to the 16-bit range first (× 257) and brought back with rounding.
  const int32_t scale = kSixteen ? 1 : 257;
  Lanes rows[4];
  for (int r = 0; r < 4; ++r) {
    rows[r] =
        catmull_rom(scale * neighbour<kSixteen>(n, r, 0), scale * neighbour<kSixteen>(n, r, 1),
                    scale * neighbour<kSixteen>(n, r, 2), scale * neighbour<kSixteen>(n, r, 3), fx);
  }
  Lanes value = catmull_rom(rows[0], rows[1], rows[2], rows[3], fy);
  if (!kSixteen) value = lanes_from_16bit_range(value);
  store_rgb<kSixteen>(clamp_lanes(value, kSixteen ? 65535 : 255), out);
}

template <bool kSixteen>
__attribute__((always_inline)) inline void sample_bilinear(PanoSampler* sampler,
                                                           SamplePosition position, uint8_t* out) {
  Neighbourhood<2> n;
  const int32_t fx = position.x & 255;
  const int32_t fy = position.y & 255;
  if (!gather_neighbourhood<2>(sampler, position.x >> 8, position.y >> 8, &n)) {
    std::memset(out, 0, kSixteen ? 6 : 3);
    return;
  }
  const Lanes top = linear(neighbour<kSixteen>(n, 0, 0), neighbour<kSixteen>(n, 0, 1), fx);
  const Lanes bottom = linear(neighbour<kSixteen>(n, 1, 0), neighbour<kSixteen>(n, 1, 1), fx);
  store_rgb<kSixteen>(linear(top, bottom, fy), out);
}

// Fixed-point source position of texture coordinates (truncation toward zero, then half a pixel
// back from the pixel edge to its centre).
inline SamplePosition sample_position(double u, double v, double width_256, double extent_256) {
  return {static_cast<int32_t>(u * width_256) - 128, static_cast<int32_t>(v * extent_256) - 128};
}

template <bool kCylinder>
inline TextureCoord pixel_texture(const RenderContext& context, int32_t column, int32_t row) {
  return direction_to_equirect(camera_frame_ray(context.camera, column, row), kCylinder);
}

// Source positions of every pixel of a row, exact or by spans as the face rule says.
template <bool kCylinder>
void row_positions(const RenderContext& context, int32_t row, SamplePosition* positions) {
  const int32_t width = context.width;
  const double width_256 = context.sampler->width * 256.0;
  const double extent_256 = context.sampler->extent * 256.0;
  int32_t spans = 0;
  if (context.face >= 0) {
    const int32_t middle = (context.face == 4 || context.face == 5) ? width / 4 : 0;
    spans = ((width - middle) / 2) / 16;
  }
  const int32_t exact_begin = 16 * spans;
  const int32_t exact_end = width - 16 * spans;
  // Spans of 16 pixels from `start` on, `count` of them: exact coordinates at each span start,
  // linear steps in between; du crosses the 360° seam the short way.
  const auto fill_spans = [&](int32_t start, int32_t count) {
    TextureCoord begin = pixel_texture<kCylinder>(context, start, row);
    for (int32_t span = 0; span < count; ++span) {
      const int32_t first = start + 16 * span;
      const TextureCoord end = pixel_texture<kCylinder>(context, first + 16, row);
      double du = end.u - begin.u;
      if (du < -0.5) {
        du += 1.0;
      } else if (du > 0.5) {
        du -= 1.0;
      }
      const double step_u = du / 16.0;
      const double step_v = (end.v - begin.v) / 16.0;
      double u = begin.u;
      double v = begin.v;
      for (int32_t i = 0; i < 16; ++i) {
        positions[first + i] = sample_position(u, v, width_256, extent_256);
        u += step_u;
        v += step_v;
      }
      begin = end;
    }
  };
  if (spans > 0) fill_spans(0, spans);
  for (int32_t column = exact_begin; column < exact_end; ++column) {
    const TextureCoord texture = pixel_texture<kCylinder>(context, column, row);
    positions[column] = sample_position(texture.u, texture.v, width_256, extent_256);
  }
  if (spans > 0) fill_spans(exact_end, spans);
}

template <bool kSixteen, bool kCylinder, bool kBicubic>
__attribute__((target_clones("avx2", "default"))) void render_row_variant(RenderContext* context,
                                                                          int32_t row) {
  context->positions.resize(static_cast<size_t>(context->width));
  const SamplePosition* positions = context->positions.data();
  row_positions<kCylinder>(*context, row, context->positions.data());
  const int32_t pixel_bytes = kSixteen ? 6 : 3;
  uint8_t* out = context->row.data();
  PanoSampler* sampler = context->sampler;
  for (int32_t column = 0; column < context->width; ++column) {
    if (kBicubic) {
      sample_bicubic<kSixteen>(sampler, positions[column], out + column * pixel_bytes);
    } else {
      sample_bilinear<kSixteen>(sampler, positions[column], out + column * pixel_bytes);
    }
  }
}

}  // namespace

void pano_sample(PanoSampler* sampler, SamplePosition position, bool bicubic, uint8_t* out) {
  const bool sixteen = sampler->element_size == 8;
  if (bicubic) {
    sixteen ? sample_bicubic<true>(sampler, position, out)
            : sample_bicubic<false>(sampler, position, out);
  } else {
    sixteen ? sample_bilinear<true>(sampler, position, out)
            : sample_bilinear<false>(sampler, position, out);
  }
}

namespace {

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

}  // namespace

std::string partial_face_name(const std::string& name) {
  std::string extension;
  const std::string file = file_name_part(name);
  const std::string folder = name.substr(0, name.size() - file.size());
  std::string stem = file;
  if (file_extension(file, &extension)) stem = file.substr(0, file.size() - extension.size() - 1);
  return folder + "." + stem + ".partial" + (extension.empty() ? "" : "." + extension);
}

PanoSampler make_pano_sampler(TiledImage* image, TileView* view) {
  PanoSampler sampler;
  sampler.view = view;
  sampler.width = image->width;
  sampler.height = image->height;
  const SphereLayout layout = sphere_layout(image->width, image->height);
  sampler.extent = layout.extent;
  sampler.offset = layout.offset;
  sampler.clamp = layout.full_sphere;
  sampler.element_size = image->element_size;
  sampler.tile_shift = image->tile_shift;
  return sampler;
}

const uint8_t* pano_sampler_fetch(PanoSampler* sampler, int32_t column, int32_t row) {
  if (column < 0) {
    column += sampler->width;
  } else if (column >= sampler->width) {
    column -= sampler->width;
  }
  row -= sampler->offset;
  if (row < 0 || row >= sampler->height) {
    if (!sampler->clamp) return reinterpret_cast<const uint8_t*>(&sampler->black);
    row = row < 0 ? 0 : sampler->height - 1;
  }
  return tile_view_pixel(sampler->view, column, row);
}

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
  context->row.assign(static_cast<size_t>(width) * (context->sixteen_bit ? 6 : 3), 0);
  select_row_renderer(context, settings);
}

TextureCoord render_pixel_texture(const RenderContext& context, int32_t column, int32_t row) {
  return direction_to_equirect(camera_frame_ray(context.camera, column, row), context.cylinder);
}

bool init_face_row_stream(FaceRowStream* stream, int32_t output_width, int32_t output_height,
                          bool reduce) {
  stream->rendered_rows = 0;
  stream->pull_pending = false;
  stream->resizer.reset();
  const RenderContext& context = stream->context;
  if (!reduce && context.width == output_width && context.height == output_height) return true;
  const int32_t format = context.sixteen_bit ? kPixelRgb16 : kPixelRgb8;
  stream->resizer = resizer_create(output_width, output_height, context.width, context.height,
                                   format, kFilterLanczos, false);
  if (!stream->resizer) return false;
  const int32_t pixel_bytes = context.sixteen_bit ? 6 : 3;
  stream->reduced.assign(static_cast<size_t>(std::max(output_width, context.width)) * pixel_bytes,
                         0);
  return true;
}

void rewind_face_row_stream(FaceRowStream* stream) {
  stream->rendered_rows = 0;
  stream->pull_pending = false;
  if (stream->resizer) resizer_reset(stream->resizer.get());
}

uint8_t* next_face_row(FaceRowStream* stream) {
  RenderContext* context = &stream->context;
  if (!stream->resizer) {
    if (stream->rendered_rows >= context->height) return nullptr;
    context->render_row(context, stream->rendered_rows++);
    return context->row.data();
  }
  if (stream->pull_pending) {
    stream->pull_pending = false;
    if (resizer_push_row(nullptr, stream->resizer.get(), stream->reduced.data()) == 1) {
      stream->pull_pending = true;
      return stream->reduced.data();
    }
  }
  while (stream->rendered_rows < context->height) {
    context->render_row(context, stream->rendered_rows++);
    if (resizer_push_row(context->row.data(), stream->resizer.get(), stream->reduced.data()) == 1) {
      stream->pull_pending = true;
      return stream->reduced.data();
    }
  }
  return nullptr;
}

bool open_render_output(RenderOutput* output, const RenderSettings& settings,
                        const ImageProps& writer_options, const std::string& name, int32_t width,
                        int32_t height) {
  const PixelFormat format = settings.sampler->element_size == 8 ? kPixelRgb16 : kPixelRgb8;
  output->final_name = name;
  output->temporary_name = partial_face_name(name);
  output->props = writer_options;
  static const std::vector<uint8_t> kNoProfile;
  const std::vector<uint8_t>& icc = settings.source_icc ? *settings.source_icc : kNoProfile;
  if (settings.profile_mode != kProfileSkip && !icc.empty()) {
    output->conversion = color_conversion_setup(settings.profile_mode, icc, format, &output->props);
  } else {
    output->props.embed_icc = false;
    output->props.icc_data = nullptr;
    output->props.icc_size = 0;
  }
  if (image_kind_for_extension(name) == kImageNone) return false;
  output->writer = image_create_write(format, output->temporary_name, width, height, output->props);
  if (!output->writer) {
    delete_file(output->temporary_name);
    return false;
  }
  return true;
}

bool write_render_row(RenderOutput* output, void* row, int32_t width) {
  color_convert_row(output->conversion, row, width);
  return image_write_row(output->writer.get(), row);
}

bool finish_render_output(RenderOutput* output, bool success) {
  if (output->writer) success = image_close(std::move(output->writer)) && success;
  if (success) success = rename_file(output->temporary_name, output->final_name);
  if (!success) delete_file(output->temporary_name);
  return success;
}

bool render_image(RenderSettings* settings, ConsoleOps* console, const ImageProps& writer_options,
                  int32_t width, int32_t height, int32_t face, const RotationMatrix* extra,
                  double vertical_angle, double heading, double roll, double fov,
                  const std::string& output_name) {
  RenderOutput output;
  if (!open_render_output(&output, *settings, writer_options, output_name, width, height)) {
    console->log(console, kErrorCreatingFile, output_name.c_str());
    return false;
  }
  const OversamplePlan plan =
      plan_oversampling(*settings, settings->sampler->width, width, height, fov);
  if (plan.switch_to_fast) settings->fast = true;
  FaceRowStream stream;
  init_render_context(&stream.context, *settings, plan.render_width, plan.render_height, face,
                      extra, vertical_angle, heading, roll, fov);
  bool success = init_face_row_stream(&stream, width, height, plan.oversample);
  for (int32_t written = 0; success && written < height; ++written) {
    uint8_t* row = next_face_row(&stream);
    success = row && write_render_row(&output, row, width);
    // Direct rendering reports the row index, oversampled rendering the rows written.
    const int32_t done = plan.oversample ? written + 1 : written;
    if (settings->progress) settings->progress(settings->progress_user, done, height);
  }
  // A file that could not be completed or given its name is not there: say so.
  success = finish_render_output(&output, success);
  if (!success) console->log(console, kErrorCreatingFile, output_name.c_str());
  if (settings->progress) settings->progress(settings->progress_user, 1, 1);
  return success;
}
