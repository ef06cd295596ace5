// One double-precision complex value in an SSE2 register (baseline on x86-64), with the few
// operations the power-of-two engine needs. Internal to fft/.
#pragma once

#include <emmintrin.h>

namespace tarvo::fftk {

struct cvec {
  __m128d v;  // (re, im)
};

inline cvec load(const double* p) {
  return {_mm_loadu_pd(p)};
}
inline void store(double* p, cvec a) {
  _mm_storeu_pd(p, a.v);
}
inline cvec operator+(cvec a, cvec b) {
  return {_mm_add_pd(a.v, b.v)};
}
inline cvec operator-(cvec a, cvec b) {
  return {_mm_sub_pd(a.v, b.v)};
}
// s * a, s real
inline cvec scale(cvec a, double s) {
  return {_mm_mul_pd(a.v, _mm_set1_pd(s))};
}
// conj(a)
inline cvec conj(cvec a) {
  return {_mm_xor_pd(a.v, _mm_set_pd(-0.0, 0.0))};
}
// i * a = (-im, re)
inline cvec mul_i(cvec a) {
  return {_mm_xor_pd(_mm_shuffle_pd(a.v, a.v, 1), _mm_set_pd(0.0, -0.0))};
}
// -i * a = (im, -re)
inline cvec mul_neg_i(cvec a) {
  return {_mm_xor_pd(_mm_shuffle_pd(a.v, a.v, 1), _mm_set_pd(-0.0, 0.0))};
}
}  // namespace tarvo::fftk

namespace tarvo::fftk {

// A twiddle c + i s prepared for repeated use: r = (c, c), i = (-s, s).
struct twiddle {
  __m128d r, i;
};
inline twiddle make_twiddle(double c, double s) {
  return {_mm_set1_pd(c), _mm_set_pd(s, -s)};
}
// a * (c + i s)
inline cvec mul(cvec a, twiddle t) {
  return {_mm_add_pd(_mm_mul_pd(a.v, t.r), _mm_mul_pd(_mm_shuffle_pd(a.v, a.v, 1), t.i))};
}

}  // namespace tarvo::fftk
