#include "render/exact_positions.h"

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

void exact_row_positions(const CameraFrame& camera, bool cylinder, int32_t row, int32_t first,
                         int32_t count, double width_256, double extent_256, SamplePosition* out) {
  static const ExactRowFn run = choose_exact_row();
  run(camera, cylinder, row, first, count, width_256, extent_256, out);
}
