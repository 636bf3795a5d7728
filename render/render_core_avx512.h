// The render core's bicubic kernel for four pixels at a time, built for AVX-512 (F and BW:
// render_core_avx512.cpp); only called when the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "render/render_core.h"

// The 4 × 4 BGRA blocks of four samples (rows of bases[k], strides[k] bytes apart) at the
// fractions of their positions into four RGB pixels (12 bytes) at out, with the bytes of the
// portable kernel.
void bicubic_quad_avx512(const uint8_t* const bases[4], const size_t strides[4],
                         const SamplePosition at[4], uint8_t* out);
