// Element types of the FFT engines on the x86-64 baseline (SSE2): one double-precision
// complex value per register, with the few operations the engines need. Internal to fft/.
#pragma once

#include <emmintrin.h>

#include <cstddef>

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

namespace tarvo::fftk {

// A pointer whose offsets count doubles of one transform while W transforms are interleaved:
// p + o addresses p + o W.
template <int W>
struct sptr {
  double* p;
  sptr operator+(std::ptrdiff_t o) const { return {p + o * W}; }
  sptr operator-(std::ptrdiff_t o) const { return {p - o * W}; }
};

inline cvec load(sptr<1> a) {
  return load(a.p);
}
inline void store(sptr<1> a, cvec x) {
  store(a.p, x);
}

// One transform: an element is one complex value.
struct k_sse2_1 {
  using ptr = sptr<1>;
  using v = cvec;
  using tw = twiddle;
  static twiddle make_twiddle(double c, double s) { return fftk::make_twiddle(c, s); }
};

// Four interleaved transforms: an element is four complex values, one per transform.
struct cvec4 {
  __m128d v[4];
};
inline cvec4 load(sptr<4> a) {
  return {{_mm_loadu_pd(a.p), _mm_loadu_pd(a.p + 2), _mm_loadu_pd(a.p + 4), _mm_loadu_pd(a.p + 6)}};
}
inline void store(sptr<4> a, cvec4 x) {
  for (int c = 0; c < 4; ++c) _mm_storeu_pd(a.p + 2 * c, x.v[c]);
}
// Applies the single-value operation f to each of the four values.
template <class F>
inline cvec4 each(cvec4 a, F f) {
  for (int c = 0; c < 4; ++c) a.v[c] = f(cvec{a.v[c]}).v;
  return a;
}
template <class F>
inline cvec4 each(cvec4 a, cvec4 b, F f) {
  for (int c = 0; c < 4; ++c) a.v[c] = f(cvec{a.v[c]}, cvec{b.v[c]}).v;
  return a;
}
inline cvec4 operator+(cvec4 a, cvec4 b) {
  return each(a, b, [](cvec x, cvec y) { return x + y; });
}
inline cvec4 operator-(cvec4 a, cvec4 b) {
  return each(a, b, [](cvec x, cvec y) { return x - y; });
}
inline cvec4 scale(cvec4 a, double s) {
  return each(a, [s](cvec x) { return scale(x, s); });
}
// The baseline has no fused multiply-add: every product stands alone.
inline cvec scale_unfused(cvec a, double s) {
  return scale(a, s);
}
inline cvec4 scale_unfused(cvec4 a, double s) {
  return scale(a, s);
}
inline cvec4 conj(cvec4 a) {
  return each(a, [](cvec x) { return conj(x); });
}
inline cvec4 mul_i(cvec4 a) {
  return each(a, [](cvec x) { return mul_i(x); });
}
inline cvec4 mul_neg_i(cvec4 a) {
  return each(a, [](cvec x) { return mul_neg_i(x); });
}
inline cvec4 mul(cvec4 a, twiddle t) {
  return each(a, [t](cvec x) { return mul(x, t); });
}

struct k_sse2_4 {
  using ptr = sptr<4>;
  using v = cvec4;
  using tw = twiddle;
  static twiddle make_twiddle(double c, double s) { return fftk::make_twiddle(c, s); }
};

}  // namespace tarvo::fftk
