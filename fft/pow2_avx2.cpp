// The power-of-two network compiled for AVX2 and FMA: four interleaved transforms, two
// complex values per register. Only called after the run-time check of simd.cpp.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fft/simd.h"

// Every function defined from here on may use AVX2 and FMA; the kernels' header follows.
// clang-format off
#include "linalg/avx2_begin.h"
#include "fft/cvec_avx2.h"
// clang-format on

#define TARVO_FFT_ISA avx2
#include "fft/pow2_network.h"
#undef TARVO_FFT_ISA

namespace tarvo::fftk::avx2 {

void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w) {
  net::transform<k_avx2_4>(wptr<4>{a}, n, minus, ip, w);
}

void pow2_rows4(double* const* rows, int32_t rowlen, bool minus, const int32_t* ip, const double* w,
                double* t) {
  // Two values of each row per step: rows (a0 a1), (b0 b1), (c0 c1), (d0 d1) become the
  // elements (a0 b0 c0 d0) and (a1 b1 c1 d1).
  for (int k = 0; k < rowlen; k += 4) {
    const __m256d r0 = _mm256_loadu_pd(rows[0] + k), r1 = _mm256_loadu_pd(rows[1] + k);
    const __m256d r2 = _mm256_loadu_pd(rows[2] + k), r3 = _mm256_loadu_pd(rows[3] + k);
    double* e = t + 4 * k;
    _mm256_storeu_pd(e, _mm256_permute2f128_pd(r0, r1, 0x20));
    _mm256_storeu_pd(e + 4, _mm256_permute2f128_pd(r2, r3, 0x20));
    _mm256_storeu_pd(e + 8, _mm256_permute2f128_pd(r0, r1, 0x31));
    _mm256_storeu_pd(e + 12, _mm256_permute2f128_pd(r2, r3, 0x31));
  }
  tarvo::fftk::pow2_batch4(t, rowlen, minus, ip, w);
  for (int k = 0; k < rowlen; k += 4) {
    const double* e = t + 4 * k;
    const __m256d e0lo = _mm256_loadu_pd(e), e0hi = _mm256_loadu_pd(e + 4);
    const __m256d e1lo = _mm256_loadu_pd(e + 8), e1hi = _mm256_loadu_pd(e + 12);
    _mm256_storeu_pd(rows[0] + k, _mm256_permute2f128_pd(e0lo, e1lo, 0x20));
    _mm256_storeu_pd(rows[1] + k, _mm256_permute2f128_pd(e0lo, e1lo, 0x31));
    _mm256_storeu_pd(rows[2] + k, _mm256_permute2f128_pd(e0hi, e1hi, 0x20));
    _mm256_storeu_pd(rows[3] + k, _mm256_permute2f128_pd(e0hi, e1hi, 0x31));
  }
}

void gather_columns4(double* const* a, int32_t nrows, int32_t j, int32_t blocks, int64_t col,
                     double* t) {
  for (int i = 0; i < nrows; ++i) {
    const double* r = a[i] + j;
    for (int b = 0; b < blocks; ++b) {
      double* e = t + 4 * col * b + 8 * i;
      _mm256_storeu_pd(e, _mm256_loadu_pd(r + 8 * b));
      _mm256_storeu_pd(e + 4, _mm256_loadu_pd(r + 8 * b + 4));
    }
  }
}

void scatter_columns4(double* const* a, int32_t nrows, int32_t j, int32_t blocks, int64_t col,
                      const double* t) {
  for (int i = 0; i < nrows; ++i) {
    double* r = a[i] + j;
    for (int b = 0; b < blocks; ++b) {
      const double* e = t + 4 * col * b + 8 * i;
      _mm256_storeu_pd(r + 8 * b, _mm256_loadu_pd(e));
      _mm256_storeu_pd(r + 8 * b + 4, _mm256_loadu_pd(e + 4));
    }
  }
}

}  // namespace tarvo::fftk::avx2

#include "linalg/avx2_end.h"
