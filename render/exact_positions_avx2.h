// The exact row positions built for AVX2 (exact_positions_avx2.cpp); only called when the
// processor has it.
#pragma once

#include "render/exact_positions.h"

void exact_row_positions_avx2(const CameraFrame& camera, bool cylinder, int32_t row, int32_t first,
                              int32_t count, double width_256, double extent_256,
                              SamplePosition* out);

void span_positions_avx2(const TextureCoord* ends, int32_t first, int32_t count, double width_256,
                         double extent_256, SamplePosition* positions);

void turned_row_positions_avx2(const TurnedRow& row, int32_t count, int32_t* xs, int32_t* ys);
