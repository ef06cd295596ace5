// The mixed-radix recursion compiled for AVX2 and FMA: four transforms side by side, two
// complex values per register. Only called after the run-time check of simd.cpp.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fft/fft.h"
#include "fft/simd.h"

// Every function defined from here on may use AVX2 and FMA; the kernels' header follows.
// clang-format off
#include "linalg/avx2_begin.h"
#include "fft/cvec_avx2.h"
// clang-format on

namespace tarvo::fftk::avx2 {

inline cvec4 operator*(double s, cvec4 a) {
  return scale(a, s);
}
// a r for one root r: r = (c, s) broadcast
inline cvec4 mul(cvec4 a, dcomplex r) {
  return mul(a, twiddle{_mm256_set1_pd(r.re), _mm256_set1_pd(r.im)});
}
struct e_avx2_4 {
  using v = cvec4;
  static constexpr int W = 4;
  static cvec4 load(const dcomplex* p) {
    const double* d = reinterpret_cast<const double*>(p);
    return {_mm256_loadu_pd(d), _mm256_loadu_pd(d + 4)};
  }
  static void store(dcomplex* p, cvec4 x) {
    double* d = reinterpret_cast<double*>(p);
    _mm256_storeu_pd(d, x.lo);
    _mm256_storeu_pd(d + 4, x.hi);
  }
};

}  // namespace tarvo::fftk::avx2

#define TARVO_FFT_ISA avx2
#include "fft/mixed_radix_network.h"
#undef TARVO_FFT_ISA

namespace tarvo::fftk::avx2 {

void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride,
                  dcomplex* out) {
  mr::work<e_avx2_4>(out, in, 1, in_stride, plan->stages, plan, nullptr);
}

}  // namespace tarvo::fftk::avx2

#include "linalg/avx2_end.h"
