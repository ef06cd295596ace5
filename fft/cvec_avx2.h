// Element types of the FFT engines for processors with AVX2 and FMA: two double-precision
// complex values per 256-bit register. Internal to fft/; included only by the translation unit
// compiled for that instruction set (after its target pragma), so that no function here is
// ever shared with, or chosen for, code that runs on the baseline.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace tarvo::fftk::avx2 {

// Pointer whose offsets count doubles of one transform while W transforms are interleaved.
template <int W>
struct wptr {
  double* p;
  wptr operator+(std::ptrdiff_t o) const { return {p + o * W}; }
  wptr operator-(std::ptrdiff_t o) const { return {p - o * W}; }
};

// Four complex values (re0, im0, re1, im1 | re2, im2, re3, im3).
struct cvec4 {
  __m256d lo, hi;
};

// A twiddle c + i s broadcast to every value: r = (c, c, ...), s = (s, s, ...).
struct twiddle {
  __m256d r, s;
};

inline cvec4 load(wptr<4> a) {
  return {_mm256_loadu_pd(a.p), _mm256_loadu_pd(a.p + 4)};
}
inline void store(wptr<4> a, cvec4 x) {
  _mm256_storeu_pd(a.p, x.lo);
  _mm256_storeu_pd(a.p + 4, x.hi);
}
inline cvec4 operator+(cvec4 a, cvec4 b) {
  return {_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)};
}
inline cvec4 operator-(cvec4 a, cvec4 b) {
  return {_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)};
}
inline cvec4 scale(cvec4 a, double s) {
  const __m256d k = _mm256_set1_pd(s);
  return {_mm256_mul_pd(a.lo, k), _mm256_mul_pd(a.hi, k)};
}
// The products of a loop this build keeps rolled are left unfused by the compiler anyway.
inline cvec4 scale_unfused(cvec4 a, double s) {
  return scale(a, s);
}
// (re, im) -> (re, -im)
inline __m256d conj(__m256d a) {
  return _mm256_xor_pd(a, _mm256_set_pd(-0.0, 0.0, -0.0, 0.0));
}
// (re, im) -> (-im, re)
inline __m256d mul_i(__m256d a) {
  return _mm256_xor_pd(_mm256_permute_pd(a, 5), _mm256_set_pd(0.0, -0.0, 0.0, -0.0));
}
// (re, im) -> (im, -re)
inline __m256d mul_neg_i(__m256d a) {
  return _mm256_xor_pd(_mm256_permute_pd(a, 5), _mm256_set_pd(-0.0, 0.0, -0.0, 0.0));
}
// a (c + i s) = (re c - im s, im c + re s)
inline __m256d mul(__m256d a, const twiddle& t) {
  return _mm256_fmaddsub_pd(a, t.r, _mm256_mul_pd(_mm256_permute_pd(a, 5), t.s));
}
inline cvec4 conj(cvec4 a) {
  return {conj(a.lo), conj(a.hi)};
}
inline cvec4 mul_i(cvec4 a) {
  return {mul_i(a.lo), mul_i(a.hi)};
}
inline cvec4 mul_neg_i(cvec4 a) {
  return {mul_neg_i(a.lo), mul_neg_i(a.hi)};
}
inline cvec4 mul(cvec4 a, const twiddle& t) {
  return {mul(a.lo, t), mul(a.hi, t)};
}

// Four interleaved transforms: an element is four complex values, one per transform.
struct k_avx2_4 {
  using ptr = wptr<4>;
  using v = cvec4;
  using tw = twiddle;
  static twiddle make_twiddle(double c, double s) { return {_mm256_set1_pd(c), _mm256_set1_pd(s)}; }
};

}  // namespace tarvo::fftk::avx2
