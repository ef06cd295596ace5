// The matrix product kernel's row tiles for AVX-512: 8 rows (four complex values per register)
// by up to 8 columns of X, lane by lane the very fused multiply-adds of the AVX2 tiles
// (matmul_avx2.cpp), so an element gets the same bits from either. Only called after the
// run-time check below; not built into the Windows module (its compiler does not keep the
// 64-byte stack alignment that spilled 512-bit registers need).
#include "linalg/matmul.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#include <immintrin.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tarvo::matmul_avx512 {

namespace {

bool detect() {
  __builtin_cpu_init();
  // The test also requires the operating system to save the 512-bit registers.
  if (!__builtin_cpu_supports("avx512f")) return false;
  const char* text = std::getenv("TARVO_NO_AVX512");
  return !(text && std::strcmp(text, "1") == 0);
}

// Every function from here to the closing pragma may use AVX-512F.
#include "linalg/avx512_begin.h"

inline __m512d flip(__m512d v, __m512i sign) {
  return _mm512_castsi512_pd(_mm512_xor_epi64(_mm512_castpd_si512(v), sign));
}

template <int NC, bool Conj, class Index>
void tile(const double* a, std::int64_t lda, const double* const* x, Index index, int j0, int j1,
          double* const* y) {
  __m512d lo[NC], hi[NC];
  for (int c = 0; c < NC; ++c) {
    lo[c] = _mm512_loadu_pd(y[c]);
    hi[c] = _mm512_loadu_pd(y[c] + 8);
  }
  // The sign bit on the real lanes (-im, re, ...), or on the imaginary lanes with Conj.
  const __m512i sign =
      Conj ? _mm512_set_epi64(INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0)
           : _mm512_set_epi64(0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN);
  for (int j = j0; j < j1; ++j) {
    const double* aj = a + 2 * lda * j;
    const __m512d a_lo = _mm512_loadu_pd(aj);
    const __m512d a_hi = _mm512_loadu_pd(aj + 8);
    const __m512d s_lo = flip(_mm512_shuffle_pd(a_lo, a_lo, 0x55), sign);
    const __m512d s_hi = flip(_mm512_shuffle_pd(a_hi, a_hi, 0x55), sign);
    const std::int64_t at = index(j);
    for (int c = 0; c < NC; ++c) {
      const __m512d xr = _mm512_set1_pd(x[c][at]);
      const __m512d xi = _mm512_set1_pd(x[c][at + 1]);
      lo[c] = _mm512_fmadd_pd(a_lo, xr, lo[c]);
      hi[c] = _mm512_fmadd_pd(a_hi, xr, hi[c]);
      lo[c] = _mm512_fmadd_pd(s_lo, xi, lo[c]);
      hi[c] = _mm512_fmadd_pd(s_hi, xi, hi[c]);
    }
  }
  for (int c = 0; c < NC; ++c) {
    _mm512_storeu_pd(y[c], lo[c]);
    _mm512_storeu_pd(y[c] + 8, hi[c]);
  }
}

// The transposed arrangement: NB tiles of 8 rows, each of its own matrix (a[b], element (i, j0),
// lda rows), times the one vector x (element j at x + xstep*j) over columns j0..j1-1, stored to
// y[b]; lane by lane the multiply-adds of tile() from cleared sums, so the bits of a one-column
// product.
template <int NB>
void blocks_tile(const double* const* a, std::int64_t lda, const double* x, std::int64_t xstep,
                 int j0, int j1, double* const* y) {
  // The sums start at +0.0 in the registers: a tile this short would wait on the clearing
  // stores if it loaded them.
  __m512d lo[NB], hi[NB];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b) lo[b] = hi[b] = _mm512_setzero_pd();
  const __m512i sign = _mm512_set_epi64(0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN, 0, INT64_MIN);
  for (int j = j0; j < j1; ++j) {
    const __m512d xr = _mm512_set1_pd(x[xstep * j]);
    const __m512d xi = _mm512_set1_pd(x[xstep * j + 1]);
    for (int b = 0; b < NB; ++b) {
      const double* aj = a[b] + 2 * lda * j;
      const __m512d a_lo = _mm512_loadu_pd(aj);
      const __m512d a_hi = _mm512_loadu_pd(aj + 8);
      lo[b] = _mm512_fmadd_pd(a_lo, xr, lo[b]);
      hi[b] = _mm512_fmadd_pd(a_hi, xr, hi[b]);
      lo[b] = _mm512_fmadd_pd(flip(_mm512_shuffle_pd(a_lo, a_lo, 0x55), sign), xi, lo[b]);
      hi[b] = _mm512_fmadd_pd(flip(_mm512_shuffle_pd(a_hi, a_hi, 0x55), sign), xi, hi[b]);
    }
  }
  for (int b = 0; b < NB; ++b) {
    _mm512_storeu_pd(y[b], lo[b]);
    _mm512_storeu_pd(y[b] + 8, hi[b]);
  }
}

// The tiles of 1 .. kTileColumns columns, by column count.
template <bool Conj, class Index, int... C>
constexpr auto tiles_of(std::integer_sequence<int, C...>) {
  return std::array{&tile<C + 1, Conj, Index>...};
}

template <bool Conj, class Index>
void tile_n(int n, const double* a, std::int64_t lda, const double* const* x, Index index, int j0,
            int j1, double* const* y) {
  static constexpr auto tiles =
      tiles_of<Conj, Index>(std::make_integer_sequence<int, kTileColumns>());
  if (n >= 1 && n <= kTileColumns) tiles[n - 1](a, lda, x, index, j0, j1, y);
}

template <class Index>
void tile_either(int n, bool conj, const double* a, std::int64_t lda, const double* const* x,
                 Index index, int j0, int j1, double* const* y) {
  if (conj)
    tile_n<true>(n, a, lda, x, index, j0, j1, y);
  else
    tile_n<false>(n, a, lda, x, index, j0, j1, y);
}

#include "linalg/avx512_end.h"

}  // namespace

void blocks_tile8(const double* const* a, std::int64_t lda, const double* x, std::int64_t xstep,
                  int j0, int j1, double* const* y) {
  blocks_tile<kTileColumns>(a, lda, x, xstep, j0, j1, y);
}

bool available() {
  static const bool yes = detect();
  return yes;
}

void tile8(int n, bool conj, const double* a, std::int64_t lda, const double* const* x,
           Strided index, int j0, int j1, double* const* y) {
  tile_either(n, conj, a, lda, x, index, j0, j1, y);
}

void tile8(int n, bool conj, const double* a, std::int64_t lda, const double* const* x,
           Listed index, int j0, int j1, double* const* y) {
  tile_either(n, conj, a, lda, x, index, j0, j1, y);
}

}  // namespace tarvo::matmul_avx512

#else

namespace tarvo::matmul_avx512 {

bool available() {
  return false;
}

void tile8(int, bool, const double*, std::int64_t, const double* const*, Strided, int, int,
           double* const*) {}

void tile8(int, bool, const double*, std::int64_t, const double* const*, Listed, int, int,
           double* const*) {}

void blocks_tile8(const double* const*, std::int64_t, const double*, std::int64_t, int, int,
                  double* const*) {}

}  // namespace tarvo::matmul_avx512

#endif
