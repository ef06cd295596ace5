// Complex transposes by tiles of T x T values in T registers (T = 4 with AVX-512, 2 with AVX2, 1
// portable): T columns loaded, their lanes exchanged, T rows stored. Values are moved, never
// computed, so every path gives the same result.
#include <algorithm>

#include "linalg/simd.h"

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarvo {

namespace {

// One transpose: element (i, j) of in at in[i + is*j] to element (j, i) of first, at
// first[j + os*i]; or with half_of, to first when half_of[j] is 1 and to second when it is 2,
// zero in its place in the other output (in both when it is neither).
struct Move {
  const dcomplex* in;
  std::int64_t is;
  const unsigned char* half_of;
  dcomplex* first;
  dcomplex* second;
  std::int64_t os;

  void one(std::int64_t i, std::int64_t j) const {
    const std::int64_t at = j + os * i;
    const dcomplex v = in[i + is * j], zero = {0.0, 0.0};
    if (!half_of) {
      first[at] = v;
      return;
    }
    first[at] = half_of[j] == 1 ? v : zero;
    second[at] = half_of[j] == 2 ? v : zero;
  }
};

// The T x T tiles of rows i0 .. i1-1 and columns j0 .. j1-1 (whole tiles), each of T columns of
// in to T rows of the outputs.
template <int T>
struct Tiles;

template <>
struct Tiles<1> {
  static void block(const Move& m, std::int64_t i0, std::int64_t i1, std::int64_t j0,
                    std::int64_t j1) {
    for (std::int64_t j = j0; j < j1; ++j)
      for (std::int64_t i = i0; i < i1; ++i) m.one(i, j);
  }
};

#if defined(__GNUC__) && defined(__x86_64__)
#include "linalg/avx2_begin.h"

// All ones on the values of columns j, j + 1 that belong to `half`.
inline __m256d lanes2(const unsigned char* half_of, std::int64_t j, int half) {
  const long long a = -(half_of[j] == half), b = -(half_of[j + 1] == half);
  return _mm256_castsi256_pd(_mm256_set_epi64x(b, b, a, a));
}

// Rows r[0], r[1] to rows i, i + 1 of out from column j on, the lanes outside keep cleared.
inline void store2(const __m256d* r, __m256d keep, std::int64_t i, std::int64_t j, dcomplex* out,
                   std::int64_t os) {
  for (int k = 0; k < 2; ++k)
    _mm256_storeu_pd(reinterpret_cast<double*>(out + j + os * (i + k)), _mm256_and_pd(r[k], keep));
}

inline void tile2(const Move& m, std::int64_t i, std::int64_t j) {
  const double* a = reinterpret_cast<const double*>(m.in + i + m.is * j);
  const __m256d c0 = _mm256_loadu_pd(a), c1 = _mm256_loadu_pd(a + 2 * m.is);
  const __m256d r[2] = {_mm256_permute2f128_pd(c0, c1, 0x20), _mm256_permute2f128_pd(c0, c1, 0x31)};
  if (!m.half_of) {
    store2(r, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), i, j, m.first, m.os);
    return;
  }
  store2(r, lanes2(m.half_of, j, 1), i, j, m.first, m.os);
  store2(r, lanes2(m.half_of, j, 2), i, j, m.second, m.os);
}

template <>
struct Tiles<2> {
  static void block(const Move& m, std::int64_t i0, std::int64_t i1, std::int64_t j0,
                    std::int64_t j1) {
    for (std::int64_t j = j0; j < j1; j += 2)
      for (std::int64_t i = i0; i < i1; i += 2) tile2(m, i, j);
  }
};

#include "linalg/avx2_end.h"
#endif

// Not in the Windows module: its compiler does not keep the 64-byte stack alignment that spilled
// 512-bit registers need.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#include "linalg/avx512_begin.h"

// Lanes of a and b picked by imm (GCC 12 warns of the plain form's undefined source).
template <int imm>
inline __m512d lanes_of(__m512d a, __m512d b) {
  return _mm512_maskz_shuffle_f64x2(0xff, a, b, imm);
}

// Both bits of every value of the columns j .. j + 3 that belong to `half`.
inline __mmask8 lanes4(const unsigned char* half_of, std::int64_t j, int half) {
  unsigned m = 0;
  for (int k = 0; k < 4; ++k) m |= (half_of[j + k] == half ? 3u : 0u) << (2 * k);
  return static_cast<__mmask8>(m);
}

// Rows r[0..3] to rows i .. i + 3 of out from column j on, the lanes outside keep cleared.
inline void store4(const __m512d* r, __mmask8 keep, std::int64_t i, std::int64_t j, dcomplex* out,
                   std::int64_t os) {
  for (int k = 0; k < 4; ++k)
    _mm512_storeu_pd(reinterpret_cast<double*>(out + j + os * (i + k)),
                     _mm512_maskz_mov_pd(keep, r[k]));
}

inline void tile4(const Move& m, std::int64_t i, std::int64_t j) {
  const double* a = reinterpret_cast<const double*>(m.in + i + m.is * j);
  const __m512d c0 = _mm512_loadu_pd(a), c1 = _mm512_loadu_pd(a + 2 * m.is);
  const __m512d c2 = _mm512_loadu_pd(a + 4 * m.is), c3 = _mm512_loadu_pd(a + 6 * m.is);
  // Lanes (0, 2) and (1, 3) of pairs of columns, then of pairs of those: row k holds lane k of
  // every column.
  constexpr int kEven = _MM_SHUFFLE(2, 0, 2, 0), kOdd = _MM_SHUFFLE(3, 1, 3, 1);
  const __m512d t0 = lanes_of<kEven>(c0, c1), t1 = lanes_of<kOdd>(c0, c1);
  const __m512d t2 = lanes_of<kEven>(c2, c3), t3 = lanes_of<kOdd>(c2, c3);
  const __m512d r[4] = {lanes_of<kEven>(t0, t2), lanes_of<kEven>(t1, t3), lanes_of<kOdd>(t0, t2),
                        lanes_of<kOdd>(t1, t3)};
  if (!m.half_of) {
    store4(r, 0xff, i, j, m.first, m.os);
    return;
  }
  store4(r, lanes4(m.half_of, j, 1), i, j, m.first, m.os);
  store4(r, lanes4(m.half_of, j, 2), i, j, m.second, m.os);
}

template <>
struct Tiles<4> {
  static void block(const Move& m, std::int64_t i0, std::int64_t i1, std::int64_t j0,
                    std::int64_t j1) {
    for (std::int64_t j = j0; j < j1; j += 4)
      for (std::int64_t i = i0; i < i1; i += 4) tile4(m, i, j);
  }
};

#include "linalg/avx512_end.h"
#endif

// By blocks of 16 x 16 (the reads of a column and the writes of its transpose both stay within
// cache lines; with 32 x 32, the 32 lines a block writes at a 2 KiB stride fall on a few
// first-level cache sets and evict each other), in T x T tiles, the edges value by value.
template <int T>
void transpose_by(const Move& m, int rows, int cols) {
  constexpr std::int64_t B = 16;
  for (std::int64_t j0 = 0; j0 < cols; j0 += B)
    for (std::int64_t i0 = 0; i0 < rows; i0 += B) {
      const std::int64_t j1 = std::min<std::int64_t>(j0 + B, cols);
      const std::int64_t i1 = std::min<std::int64_t>(i0 + B, rows);
      const std::int64_t jt = j0 + (j1 - j0) / T * T, it = i0 + (i1 - i0) / T * T;
      Tiles<T>::block(m, i0, it, j0, jt);
      for (std::int64_t j = j0; j < j1; ++j)
        for (std::int64_t i = j < jt ? it : i0; i < i1; ++i) m.one(i, j);
    }
}

void transpose_on(Simd path, const Move& m, int rows, int cols) {
  switch (path) {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
    case Simd::kAvx512:
      return transpose_by<4>(m, rows, cols);
#endif
#if defined(__GNUC__) && defined(__x86_64__)
    case Simd::kAvx2:
      return transpose_by<2>(m, rows, cols);
#endif
    default:
      return transpose_by<1>(m, rows, cols);
  }
}

}  // namespace

void complex_transpose(Simd path, const dcomplex* in, std::int64_t in_stride, int rows, int cols,
                       dcomplex* out, std::int64_t out_stride) {
  transpose_on(path, {in, in_stride, nullptr, out, nullptr, out_stride}, rows, cols);
}

void complex_transpose_halves(Simd path, const dcomplex* in, std::int64_t in_stride, int rows,
                              int cols, const unsigned char* half_of, dcomplex* first,
                              dcomplex* second, std::int64_t out_stride) {
  transpose_on(path, {in, in_stride, half_of, first, second, out_stride}, rows, cols);
}

}  // namespace tarvo
