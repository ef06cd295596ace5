// Element types of the FFT engines for processors with AVX-512F: four double-precision complex
// values per 512-bit register. Lane by lane every operation is the one of the AVX2 types
// (fft/cvec_avx2.h), so a transform gives the same bits on either. Internal to fft/; included
// only by the translation units compiled for that instruction set (after their target pragma).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "fft/fft.h"

namespace tarvo::fftk::avx512 {

// Pointer whose offsets count doubles of one transform while W transforms are interleaved.
template <int W>
struct wptr {
  double* p;
  wptr operator+(std::ptrdiff_t o) const { return {p + o * W}; }
  wptr operator-(std::ptrdiff_t o) const { return {p - o * W}; }
};

// Four complex values (re0, im0, re1, im1, re2, im2, re3, im3).
struct cvec4 {
  __m512d v;
};

// A twiddle c + i s broadcast to every value: r = (c, c, ...), s = (s, s, ...).
struct twiddle {
  __m512d r, s;
};

inline __m512d flip(__m512d a, __m512i sign) {
  return _mm512_castsi512_pd(_mm512_xor_epi64(_mm512_castpd_si512(a), sign));
}
// The sign bit on the imaginary lanes, and on the real lanes.
inline __m512i imag_sign() {
  return _mm512_set_epi64(INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0);
}
inline __m512i real_sign() {
  return _mm512_set_epi64(0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN);
}
// (re, im) -> (im, re) in every value
inline __m512d swap(__m512d a) {
  return _mm512_shuffle_pd(a, a, 0x55);
}

inline cvec4 load(wptr<4> a) {
  return {_mm512_loadu_pd(a.p)};
}
inline void store(wptr<4> a, cvec4 x) {
  _mm512_storeu_pd(a.p, x.v);
}
inline cvec4 operator+(cvec4 a, cvec4 b) {
  return {_mm512_add_pd(a.v, b.v)};
}
inline cvec4 operator-(cvec4 a, cvec4 b) {
  return {_mm512_sub_pd(a.v, b.v)};
}
inline cvec4 scale(cvec4 a, double s) {
  return {_mm512_mul_pd(a.v, _mm512_set1_pd(s))};
}
// s a by an instruction with its own rounding control, which the compiler does not fuse.
inline cvec4 scale_unfused(cvec4 a, double s) {
  return {_mm512_mask_mul_round_pd(a.v, 0xFF, a.v, _mm512_set1_pd(s),
                                   _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC)};
}
inline cvec4 operator*(double s, cvec4 a) {
  return scale(a, s);
}
// (re, im) -> (re, -im)
inline cvec4 conj(cvec4 a) {
  return {flip(a.v, imag_sign())};
}
// (re, im) -> (-im, re)
inline cvec4 mul_i(cvec4 a) {
  return {flip(swap(a.v), real_sign())};
}
// (re, im) -> (im, -re)
inline cvec4 mul_neg_i(cvec4 a) {
  return {flip(swap(a.v), imag_sign())};
}
// a (c + i s) = (re c - im s, im c + re s)
inline cvec4 mul(cvec4 a, const twiddle& t) {
  return {_mm512_fmaddsub_pd(a.v, t.r, _mm512_mul_pd(swap(a.v), t.s))};
}
// a r for one root r
inline cvec4 mul(cvec4 a, dcomplex r) {
  return mul(a, twiddle{_mm512_set1_pd(r.re), _mm512_set1_pd(r.im)});
}

// Four interleaved transforms of the power-of-two network.
struct k_avx512_4 {
  using ptr = wptr<4>;
  using v = cvec4;
  using tw = twiddle;
  static twiddle make_twiddle(double c, double s) { return {_mm512_set1_pd(c), _mm512_set1_pd(s)}; }
};

// Four transforms side by side in the mixed-radix recursion.
struct e_avx512_4 {
  using v = cvec4;
  static constexpr int W = 4;
  static cvec4 load(const dcomplex* p) {
    return {_mm512_loadu_pd(reinterpret_cast<const double*>(p))};
  }
  static void store(dcomplex* p, cvec4 x) { _mm512_storeu_pd(reinterpret_cast<double*>(p), x.v); }
};

}  // namespace tarvo::fftk::avx512
