// Four rays at a time with AVX2. Every step is the IEEE operation of the one-ray functions in the
// same order (no fused multiply-adds: this file is built with AVX2 only), except the arc cosine
// and arc tangent, which come from the vector maths library and may differ from the scalar ones
// in the last bits. A position can only change through them when its fixed-point value lies
// within a few units in the last place of a step; lanes that close to one are taken again with
// the scalar functions, so the positions equal those of exact_position.
#include "render/exact_positions_avx2.h"

#include <immintrin.h>

// The four-lane AVX2 forms of acos, atan and atan2 in glibc's vector maths library (libmvec).
extern "C" __m256d _ZGVdN4v_acos(__m256d);
extern "C" __m256d _ZGVdN4v_atan(__m256d);
extern "C" __m256d _ZGVdN4vv_atan2(__m256d, __m256d);

namespace {

// How close to a fixed-point step, relative to the scale of the coordinate, a value must be
// for its lane to be taken again: hundreds of times the error the vector functions may add.
constexpr double kStepMargin = 1e-13;

// Lanes whose value lies within margin of a whole number.
inline int near_step(__m256d value, double margin) {
  const __m256d fraction = _mm256_sub_pd(value, _mm256_floor_pd(value));
  const __m256d low = _mm256_cmp_pd(fraction, _mm256_set1_pd(margin), _CMP_LT_OQ);
  const __m256d high = _mm256_cmp_pd(fraction, _mm256_set1_pd(1.0 - margin), _CMP_GT_OQ);
  return _mm256_movemask_pd(_mm256_or_pd(low, high));
}

// The three sums of one component of the rotated ray: (x · m0 + y · m1) + z · m2, with the y and
// z products the same for the whole row.
inline __m256d rotated(__m256d x, double m0, double y_term, double z_term) {
  return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, _mm256_set1_pd(m0)), _mm256_set1_pd(y_term)),
                       _mm256_set1_pd(z_term));
}

struct RowRays {
  double half_width;  // camera width / 2
  double height;
  double y;  // the camera-space y of the row
  double z;  // the camera-space z (minus the distance)
};

// Truncated fixed-point values within the limits (the lanes' sample_position).
inline __m128i fixed_lanes(__m256d value) {
  const __m256d limited = _mm256_min_pd(_mm256_max_pd(value, _mm256_set1_pd(-kFixedPointLimit)),
                                        _mm256_set1_pd(kFixedPointLimit));
  return _mm_sub_epi32(_mm256_cvttpd_epi32(limited), _mm_set1_epi32(128));
}

// Positions of columns first … first + 3 into x and y lanes (fixed point, half a pixel back);
// returns the lanes that must be taken again one at a time (on the pole, not a number, or near a
// step).
int four_positions(const CameraFrame& camera, const RowRays& rays, bool cylinder, int32_t first,
                   double width_256, double extent_256, __m128i* xs, __m128i* ys) {
  const RotationMatrix& r = camera.rotation;
  const __m256d column = _mm256_setr_pd(first, first + 1.0, first + 2.0, first + 3.0);
  const __m256d cx = _mm256_div_pd(
      _mm256_sub_pd(_mm256_add_pd(column, _mm256_set1_pd(0.5)), _mm256_set1_pd(rays.half_width)),
      _mm256_set1_pd(rays.height));
  const __m256d x = rotated(cx, r.m[0][0], rays.y * r.m[1][0], rays.z * r.m[2][0]);
  const __m256d y = rotated(cx, r.m[0][1], rays.y * r.m[1][1], rays.z * r.m[2][1]);
  const __m256d z = rotated(cx, r.m[0][2], rays.y * r.m[1][2], rays.z * r.m[2][2]);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d horizontal =
      _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(z, z)));
  // On the pole the one-ray function has its own answer; a quotient past ±1 by a rounding step
  // is clamped.
  int again = _mm256_movemask_pd(_mm256_cmp_pd(horizontal, zero, _CMP_EQ_UQ));
  const __m256d cosine = _mm256_max_pd(
      _mm256_min_pd(_mm256_div_pd(z, horizontal), _mm256_set1_pd(1.0)), _mm256_set1_pd(-1.0));
  const __m256d a = _mm256_div_pd(_ZGVdN4v_acos(cosine), _mm256_set1_pd(2.0 * kPi));
  const __m256d left = _mm256_cmp_pd(x, zero, _CMP_LE_OQ);
  const __m256d u = _mm256_blendv_pd(_mm256_sub_pd(_mm256_set1_pd(1.0), a), a, left);
  const __m256d tangent = _mm256_div_pd(y, horizontal);
  const __m256d latitude = cylinder ? tangent : _ZGVdN4v_atan(tangent);
  const __m256d v =
      _mm256_sub_pd(_mm256_set1_pd(0.5), _mm256_div_pd(latitude, _mm256_set1_pd(kPi)));
  const __m256d fixed_x = _mm256_mul_pd(u, _mm256_set1_pd(width_256));
  const __m256d fixed_y = _mm256_mul_pd(v, _mm256_set1_pd(extent_256));
  again |= near_step(fixed_x, kStepMargin * width_256);
  if (!cylinder) again |= near_step(fixed_y, kStepMargin * extent_256);
  // Not a number anywhere fails every comparison above; its lane is taken again too.
  again |= _mm256_movemask_pd(_mm256_cmp_pd(fixed_x, fixed_y, _CMP_UNORD_Q));
  *xs = fixed_lanes(fixed_x);
  *ys = fixed_lanes(fixed_y);
  return again;
}

}  // namespace

void exact_row_positions_avx2(const CameraFrame& camera, bool cylinder, int32_t row, int32_t first,
                              int32_t count, double width_256, double extent_256,
                              SamplePosition* out) {
  const double height = camera.height;
  const RowRays rays = {camera.width / 2.0, height, (height / 2.0 - row - 0.5) / height,
                        -camera.distance};
  int32_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m128i xs;
    __m128i ys;
    const int again =
        four_positions(camera, rays, cylinder, first + i, width_256, extent_256, &xs, &ys);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi32(xs, ys));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 2), _mm_unpackhi_epi32(xs, ys));
    for (int k = 0; k < 4; ++k) {
      if (again & (1 << k)) {
        out[i + k] = exact_position(camera, cylinder, first + i + k, row, width_256, extent_256);
      }
    }
  }
  for (; i < count; ++i) {
    out[i] = exact_position(camera, cylinder, first + i, row, width_256, extent_256);
  }
}

void span_positions_avx2(const TextureCoord* ends, int32_t first, int32_t count, double width_256,
                         double extent_256, SamplePosition* positions) {
  const __m256d width = _mm256_set1_pd(width_256);
  const __m256d extent = _mm256_set1_pd(extent_256);
  for (int32_t group = 0; group < count; group += 4) {
    // Lane k holds span group + k; lanes past the last span run on the last one's values and are
    // not stored.
    const int32_t spans = count - group < 4 ? count - group : 4;
    double u[4], v[4], step_u[4], step_v[4];
    for (int32_t k = 0; k < 4; ++k) {
      const int32_t span = group + (k < spans ? k : spans - 1);
      const SpanSteps steps = span_steps(ends[span], ends[span + 1]);
      u[k] = steps.u;
      v[k] = steps.v;
      step_u[k] = steps.step_u;
      step_v[k] = steps.step_v;
    }
    __m256d us = _mm256_loadu_pd(u);
    __m256d vs = _mm256_loadu_pd(v);
    const __m256d du = _mm256_loadu_pd(step_u);
    const __m256d dv = _mm256_loadu_pd(step_v);
    SamplePosition* out = positions + first + 16 * group;
    for (int32_t i = 0; i < 16; ++i) {
      const __m128i x = fixed_lanes(_mm256_mul_pd(us, width));
      const __m128i y = fixed_lanes(_mm256_mul_pd(vs, extent));
      SamplePosition lanes[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), _mm_unpacklo_epi32(x, y));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 2), _mm_unpackhi_epi32(x, y));
      for (int32_t k = 0; k < spans; ++k) out[16 * k + i] = lanes[k];
      us = _mm256_add_pd(us, du);
      vs = _mm256_add_pd(vs, dv);
    }
  }
}

namespace {

// One component of four turned directions: (d0 · m0 + d1 · m1) + d2 · m2, d1 · m1 the same for the
// whole row.
inline __m256d turned(__m256d d0, __m256d d2, const double (*m)[3], double d1, int j) {
  return _mm256_add_pd(
      _mm256_add_pd(_mm256_mul_pd(d0, _mm256_set1_pd(m[0][j])), _mm256_set1_pd(d1 * m[1][j])),
      _mm256_mul_pd(d2, _mm256_set1_pd(m[2][j])));
}

}  // namespace

void turned_row_positions_avx2(const TurnedRow& t, int32_t count, int32_t* xs, int32_t* ys) {
  const __m256d cosine_latitude = _mm256_set1_pd(t.cosine_latitude);
  const __m128i offset = _mm_set1_epi32(128);
  int32_t x = 0;
  for (; x + 4 <= count; x += 4) {
    const __m256d d0 = _mm256_mul_pd(_mm256_loadu_pd(t.cosines + x), cosine_latitude);
    const __m256d d2 = _mm256_mul_pd(_mm256_loadu_pd(t.sines + x), cosine_latitude);
    const __m256d r0 = turned(d0, d2, t.m, t.sine_latitude, 0);
    const __m256d r1 = turned(d0, d2, t.m, t.sine_latitude, 1);
    const __m256d r2 = turned(d0, d2, t.m, t.sine_latitude, 2);
    const __m256d longitude = _ZGVdN4vv_atan2(r2, r0);
    const __m256d horizontal =
        _mm256_sqrt_pd(_mm256_add_pd(_mm256_mul_pd(r0, r0), _mm256_mul_pd(r2, r2)));
    const __m256d latitude = _ZGVdN4vv_atan2(r1, horizontal);
    const __m256d fixed_x = _mm256_mul_pd(
        _mm256_add_pd(_mm256_div_pd(longitude, _mm256_set1_pd(2.0 * kPi)), _mm256_set1_pd(0.25)),
        _mm256_set1_pd(t.width_scale));
    const __m256d fixed_y = _mm256_mul_pd(
        _mm256_add_pd(_mm256_div_pd(latitude, _mm256_set1_pd(kPi)), _mm256_set1_pd(0.5)),
        _mm256_set1_pd(t.height_scale));
    // On the axis the signs of zeros decide atan2; lanes there, near a step or not a number are
    // taken again one at a time.
    int again = _mm256_movemask_pd(_mm256_cmp_pd(horizontal, _mm256_setzero_pd(), _CMP_EQ_UQ));
    again |= near_step(fixed_x, kStepMargin * t.width_scale);
    again |= near_step(fixed_y, kStepMargin * t.height_scale);
    again |= _mm256_movemask_pd(_mm256_cmp_pd(fixed_x, fixed_y, _CMP_UNORD_Q));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(xs + x),
                     _mm_sub_epi32(_mm256_cvttpd_epi32(fixed_x), offset));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ys + x),
                     _mm_sub_epi32(_mm256_cvttpd_epi32(fixed_y), offset));
    for (int k = 0; k < 4; ++k) {
      if (again & (1 << k)) turned_position(t, x + k, &xs[x + k], &ys[x + k]);
    }
  }
  for (; x < count; ++x) turned_position(t, x, &xs[x], &ys[x]);
}
