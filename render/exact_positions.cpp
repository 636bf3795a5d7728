#include "render/exact_positions.h"

#include <algorithm>

#if defined(QV_HAVE_AVX2_LOOPS)
#include "render/exact_positions_avx2.h"
#endif

namespace {

void exact_row_positions_portable(const CameraFrame& camera, bool cylinder, int32_t row,
                                  int32_t first, int32_t count, double width_256, double extent_256,
                                  SamplePosition* out) {
  for (int32_t i = 0; i < count; ++i) {
    out[i] = exact_position(camera, cylinder, first + i, row, width_256, extent_256);
  }
}

void span_positions_portable(const TextureCoord* ends, int32_t first, int32_t count,
                             double width_256, double extent_256, SamplePosition* positions) {
  for (int32_t group = 0; group < count; group += 4) {
    const int32_t spans = std::min<int32_t>(4, count - group);
    SpanSteps steps[4];
    for (int32_t k = 0; k < spans; ++k) steps[k] = span_steps(ends[group + k], ends[group + k + 1]);
    for (int32_t i = 0; i < 16; ++i) {
      for (int32_t k = 0; k < spans; ++k) {
        positions[first + 16 * (group + k) + i] =
            sample_position(steps[k].u, steps[k].v, width_256, extent_256);
        steps[k].u += steps[k].step_u;
        steps[k].v += steps[k].step_v;
      }
    }
  }
}

using ExactRowFn = void (*)(const CameraFrame& camera, bool cylinder, int32_t row, int32_t first,
                            int32_t count, double width_256, double extent_256,
                            SamplePosition* out);

ExactRowFn choose_exact_row() {
#if defined(QV_HAVE_AVX2_LOOPS)
  if (__builtin_cpu_supports("avx2")) return exact_row_positions_avx2;
#endif
  return exact_row_positions_portable;
}

}  // namespace

void span_positions(const TextureCoord* ends, int32_t first, int32_t count, double width_256,
                    double extent_256, SamplePosition* positions) {
#if defined(QV_HAVE_AVX2_LOOPS)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    span_positions_avx2(ends, first, count, width_256, extent_256, positions);
    return;
  }
#endif
  span_positions_portable(ends, first, count, width_256, extent_256, positions);
}

void exact_row_positions(const CameraFrame& camera, bool cylinder, int32_t row, int32_t first,
                         int32_t count, double width_256, double extent_256, SamplePosition* out) {
  static const ExactRowFn run = choose_exact_row();
  run(camera, cylinder, row, first, count, width_256, extent_256, out);
}

void turned_row_positions(const TurnedRow& row, int32_t count, int32_t* xs, int32_t* ys) {
#if defined(QV_HAVE_AVX2_LOOPS)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    turned_row_positions_avx2(row, count, xs, ys);
    return;
  }
#endif
  for (int32_t x = 0; x < count; ++x) turned_position(row, x, &xs[x], &ys[x]);
}
