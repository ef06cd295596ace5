// The power-of-two network compiled for AVX2 and FMA: four interleaved transforms, two
// complex values per register. Only called after the run-time check of simd.cpp.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fft/simd.h"

// Every function defined from here on may use AVX2 and FMA.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

#include "fft/cvec_avx2.h"

#define TARVO_FFT_ISA avx2
#include "fft/pow2_network.h"
#undef TARVO_FFT_ISA

namespace tarvo::fftk::avx2 {

void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w) {
  net::transform<k_avx2_4>(wptr<4>{a}, n, minus, ip, w);
}

}  // namespace tarvo::fftk::avx2

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
