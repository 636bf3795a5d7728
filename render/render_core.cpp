#include "render/render_core.h"

#include <algorithm>
#include <utility>

#include "base/files.h"
#include "base/paths.h"
#include "render/panorama_geometry.h"
#include "render/render_core_avx2.h"
#include "render/render_core_kernels.h"

const char kErrorCreatingFile[] = "error creating file \"%s\"!\n\n";

namespace {

PanoSampler sampler_over(TiledImage* image, TileView* view) {
  PanoSampler sampler;
  sampler.view = view;
  sampler.width = image->width;
  sampler.height = image->height;
  sampler.element_size = image->element_size;
  sampler.tile_shift = image->tile_shift;
  return sampler;
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

// ---- sampler ---------------------------------------------------------------------------------

PanoSampler make_pano_sampler(TiledImage* image, TileView* view) {
  PanoSampler sampler = sampler_over(image, view);
  const SphereLayout layout = sphere_layout(image->width, image->height);
  sampler.extent = layout.extent;
  sampler.offset = layout.offset;
  sampler.clamp = layout.full_sphere;
  sampler.wrap_columns = true;
  return sampler;
}

PanoSampler make_face_sampler(TiledImage* image, TileView* view) {
  PanoSampler sampler = sampler_over(image, view);
  sampler.extent = image->height;
  sampler.offset = 0;
  sampler.clamp = true;
  sampler.wrap_columns = false;
  return sampler;
}

const uint8_t* pano_sampler_fetch(PanoSampler* sampler, int32_t column, int32_t row) {
  // The view clamps what is left: the columns of a face, the rows of a full sphere.
  const int32_t image_row = sampler_row(sampler, row);
  if (image_row < 0) return reinterpret_cast<const uint8_t*>(&sampler->black);
  return tile_view_pixel(sampler->view, sampler_column(sampler, column), image_row);
}

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

void sample_run_8bit_portable(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                              bool bicubic, uint8_t* out) {
  if (bicubic) {
    sample_run<false, true>(sampler, positions, count, out);
  } else {
    sample_run<false, false>(sampler, positions, count, out);
  }
}

}  // namespace

std::vector<SampleRun8bitFn> sample_run_8bit_loops() {
  std::vector<SampleRun8bitFn> loops = {sample_run_8bit_portable};
#if defined(QV_HAVE_AVX2_LOOPS)
  if (__builtin_cpu_supports("avx2")) loops.push_back(sample_run_8bit_avx2);
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
      __builtin_cpu_supports("avx512bw"))
    loops.push_back(sample_run_8bit_avx512);
#endif
  return loops;
}

void sample_run_8bit(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                     bool bicubic, uint8_t* out) {
  static const SampleRun8bitFn run = sample_run_8bit_loops().back();
  run(sampler, positions, count, bicubic, out);
}

PixelFormat rendered_pixel_format(bool sixteen_bit) {
  return sixteen_bit ? kPixelRgb16 : kPixelRgb8;
}

// ---- rendered rows ---------------------------------------------------------------------------

bool init_rendered_rows(RenderedRows* rows, RenderRowFn render, void* state, PixelFormat format,
                        int32_t render_width, int32_t render_height, int32_t output_width,
                        int32_t output_height, bool reduce) {
  const size_t pixel_bytes = static_cast<size_t>(pixel_format_bytes(format));
  rows->render = render;
  rows->state = state;
  rows->render_width = render_width;
  rows->render_height = render_height;
  rows->rendered.assign(static_cast<size_t>(render_width) * pixel_bytes, 0);
  rows->rendered_rows = 0;
  rows->pull_pending = false;
  rows->resizer.reset();
  if (!reduce && render_width == output_width && render_height == output_height) return true;
  rows->resizer = resizer_create(output_width, output_height, render_width, render_height, format,
                                 kFilterLanczos, false);
  if (!rows->resizer) return false;
  rows->reduced.assign(static_cast<size_t>(std::max(output_width, render_width)) * pixel_bytes, 0);
  return true;
}

RenderedRows::~RenderedRows() {
  settle_rendered_rows(this);
}

void settle_rendered_rows(RenderedRows* rows) {
  if (!rows->next_pending) return;
  finish_parallel(rows->pool);
  rows->next_pending = false;
  rows->next_count = 0;
}

void spread_rendered_rows(RenderedRows* rows, WorkerPool* pool, std::vector<void*> worker_states) {
  settle_rendered_rows(rows);
  rows->band_count = 0;
  if (!pool) return;
  rows->pool = pool;
  rows->worker_states = std::move(worker_states);
  // A band of about a MiB (the two fit one huge page), and rows enough for every worker to take
  // several.
  constexpr size_t kBandBytes = 1 << 20;
  const size_t row_bytes = std::max<size_t>(1, rows->rendered.size());
  const int32_t workers = pool_workers(pool);
  rows->band_rows = static_cast<int32_t>(
      std::clamp<size_t>(kBandBytes / row_bytes, static_cast<size_t>(4 * workers), 256));
  const size_t band_bytes = static_cast<size_t>(rows->band_rows) * row_bytes;
  if (rows->band_memory.size != 2 * band_bytes) rows->band_memory = BigBuffer(2 * band_bytes);
  if (!rows->band_memory.data) {
    rows->pool = nullptr;  // no room for bands: row by row on the calling thread
    return;
  }
  rows->band = rows->band_memory.data;
  rows->next_band = rows->band + band_bytes;
}

void rewind_rendered_rows(RenderedRows* rows) {
  settle_rendered_rows(rows);
  rows->rendered_rows = 0;
  rows->pull_pending = false;
  rows->band_count = 0;
  if (rows->resizer) resizer_reset(rows->resizer.get());
}

namespace {

// One row of the band rendered ahead, on a helper of the pool.
void render_ahead_unit(void* user, int64_t index, int32_t worker) {
  RenderedRows* rows = static_cast<RenderedRows*>(user);
  rows->render(rows->worker_states[static_cast<size_t>(worker)],
               rows->next_first + static_cast<int32_t>(index),
               rows->next_band + static_cast<size_t>(index) * rows->rendered.size());
}

// Makes the band that starts at rendering row `first` the current one: the band rendered ahead
// when it is that one, else rendered now on the pool. Then starts rendering the band after it.
void render_band(RenderedRows* rows, int32_t first) {
  if (rows->next_pending && rows->next_first == first) {
    finish_parallel(rows->pool);
    rows->next_pending = false;
    std::swap(rows->band, rows->next_band);
    rows->band_first = first;
    rows->band_count = rows->next_count;
  } else {
    settle_rendered_rows(rows);
    rows->band_first = first;
    rows->band_count = std::min(rows->band_rows, rows->render_height - first);
    const size_t row_bytes = rows->rendered.size();
    parallel_for_each(rows->pool, rows->band_count, [&](int64_t index, int32_t worker) {
      rows->render(rows->worker_states[static_cast<size_t>(worker)],
                   first + static_cast<int32_t>(index),
                   rows->band + static_cast<size_t>(index) * row_bytes);
    });
  }
  const int32_t next = rows->band_first + rows->band_count;
  if (next >= rows->render_height) return;
  rows->next_first = next;
  rows->next_count = std::min(rows->band_rows, rows->render_height - next);
  rows->next_pending = true;
  start_parallel(rows->pool, rows->next_count, render_ahead_unit, rows);
}

// Renders (or takes from the band) the next rendering row.
uint8_t* render_next_row(RenderedRows* rows) {
  const int32_t row = rows->rendered_rows++;
  if (!rows->pool) {
    rows->render(rows->state, row, rows->rendered.data());
    return rows->rendered.data();
  }
  if (rows->band_count == 0 || row >= rows->band_first + rows->band_count) render_band(rows, row);
  return rows->band + static_cast<size_t>(row - rows->band_first) * rows->rendered.size();
}

}  // namespace

uint8_t* next_rendered_row(RenderedRows* rows) {
  if (!rows->resizer) {
    if (rows->rendered_rows >= rows->render_height) return nullptr;
    return render_next_row(rows);
  }
  if (rows->pull_pending) {
    rows->pull_pending = false;
    if (resizer_push_row(nullptr, rows->resizer.get(), rows->reduced.data()) == 1) {
      rows->pull_pending = true;
      return rows->reduced.data();
    }
  }
  while (rows->rendered_rows < rows->render_height) {
    const uint8_t* rendered = render_next_row(rows);
    if (resizer_push_row(rendered, rows->resizer.get(), rows->reduced.data()) == 1) {
      rows->pull_pending = true;
      return rows->reduced.data();
    }
  }
  return nullptr;
}

// ---- row output ------------------------------------------------------------------------------

bool open_render_output(RenderOutput* output, const std::string& name, PixelFormat format,
                        int32_t width, int32_t height, const RenderWriterSettings& settings) {
  output->final_name = name;
  // The image writer itself writes under a partial name and renames it into place.
  output->temporary_name = name;
  output->props = settings.options;
  const std::vector<uint8_t>* icc = settings.source_icc;
  if (settings.profile_mode != kProfileSkip && icc && !icc->empty()) {
    output->conversion =
        color_conversion_setup(settings.profile_mode, *icc, format, &output->props);
  } else {
    output->props.embed_icc = false;
    output->props.icc_data = nullptr;
    output->props.icc_size = 0;
  }
  output->writer = image_create_write(format, output->temporary_name, width, height, output->props);
  return output->writer != nullptr;
}

bool write_render_row(RenderOutput* output, void* row, int32_t width) {
  color_convert_row(output->conversion, row, width);
  return image_write_row(output->writer.get(), row);
}

bool write_next_rendered_row(RenderedRows* rows, RenderOutput* output, int32_t width,
                             int32_t height, int32_t written, RenderProgressFn progress,
                             void* progress_user) {
  uint8_t* row = next_rendered_row(rows);
  if (!row) return false;
  const bool stored = write_render_row(output, row, width);
  // Direct rendering reports the row index, resized rendering the rows written.
  if (progress) progress(progress_user, rows->resizer ? written + 1 : written, height);
  return stored;
}

bool write_rendered_rows(RenderedRows* rows, RenderOutput* output, int32_t width, int32_t height,
                         RenderProgressFn progress, void* progress_user) {
  for (int32_t written = 0; written < height; ++written) {
    if (!write_next_rendered_row(rows, output, width, height, written, progress, progress_user)) {
      return false;
    }
  }
  return true;
}

bool finish_render_output(RenderOutput* output, bool success) {
  // A failed rendering never gets its name, even when every row was written.
  if (output->writer && !success) output->writer->failed = true;
  if (output->writer) success = image_close(std::move(output->writer)) && success;
  return success;
}
