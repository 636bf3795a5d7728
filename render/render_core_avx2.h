// The render core's 8-bit sampling loops built for AVX2 (render_core_avx2.cpp); only called
// when the processor has it, the AVX-512 one only when it also has AVX-512 F and BW.
#pragma once

#include <cstdint>

#include "render/render_core.h"

// Samples count positions of an 8-bit source into count RGB pixels at out, bicubic or bilinear,
// with the same bytes as the portable kernels.
void sample_run_8bit_avx2(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                          bool bicubic, uint8_t* out);

// The same with the bicubic kernel four pixels at a time (render_core_avx512.cpp).
void sample_run_8bit_avx512(PanoSampler* sampler, const SamplePosition* positions, int32_t count,
                            bool bicubic, uint8_t* out);
