// The FFT engines compiled for AVX-512F: four interleaved transforms in one register. Only
// called after the run-time check of simd.cpp; not built into the Windows module (its compiler
// does not keep the 64-byte stack alignment that spilled 512-bit registers need).
#include "fft/simd.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// Every function defined from here on may use AVX-512F; the kernels' header follows.
// clang-format off
#include "linalg/avx512_begin.h"
#include "fft/cvec_avx512.h"
// clang-format on

#define TARVO_FFT_ISA avx512
#include "fft/mixed_radix_network.h"
#include "fft/pow2_network.h"
#undef TARVO_FFT_ISA

namespace tarvo::fftk::avx512 {

void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w) {
  net::transform<k_avx512_4>(wptr<4>{a}, n, minus, ip, w);
}

void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride,
                  dcomplex* out) {
  mr::work<e_avx512_4>(out, in, 1, in_stride, plan->stages, plan, nullptr);
}

}  // namespace tarvo::fftk::avx512

#include "linalg/avx512_end.h"

#else

namespace tarvo::fftk::avx512 {

void pow2_batch4(double*, int32_t, bool, const int32_t*, const double*) {}
void mrfft_batch4(const MixedRadixPlan*, const dcomplex*, int32_t, dcomplex*) {}

}  // namespace tarvo::fftk::avx512

#endif
