// The matrix product kernel compiled for AVX2 and FMA: tiles of 4 rows (two complex values per
// register) by up to 5 columns of X held in registers over a block of A's columns (10
// accumulators: with 8, each element's chain of dependent fused multiply-adds sets the pace). Only
// called after the run-time check of matmul.cpp.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "linalg/matmul.h"

// Every function defined from here on may use AVX2 and FMA.
#include "linalg/avx2_begin.h"

namespace tarvo::matmul_fma {

namespace {

// Columns of A per pass over a row tile: the tile (4 rows x 256 columns, 16 KiB) stays in the
// first-level cache while every group of X's columns runs over it.
constexpr int kColBlock = 256;

inline double fmadd(double a, double b, double c) {
  return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(a), _mm_set_sd(b), _mm_set_sd(c)));
}

// y += a*x for one element, the two fused multiply-adds per part of the header.
inline void element(const dcomplex& a, const dcomplex& x, dcomplex& y) {
  y.re = fmadd(a.im, -x.im, fmadd(a.re, x.re, y.re));
  y.im = fmadd(a.re, x.im, fmadd(a.im, x.re, y.im));
}

// Four rows (a: element (i, j0) of A) times NC columns of X (x[c]: X_c as doubles, element j
// at x[c] + index(j)) over columns j0..j1-1, added to y[c] (four elements of Y_c). Lane by lane
// the same two fused multiply-adds as element(): the real lane takes a.re*x.re then
// (-a.im)*x.im (the same product as a.im*(-x.im), so the sign is put on A's side once per
// column instead of once per column of X), the imaginary lane a.im*x.re then a.re*x.im. With
// Conj the terms are a*conj(x): the real lane a.re*x.re then a.im*x.im, the imaginary lane
// a.im*x.re then (-a.re)*x.im, again the products element() forms for conj(x).
// The accumulators are named variables rather than an array, which GCC would keep mirrored in
// memory (ten stores a column) for want of registers.
#define TARVO_EACH_COLUMN(F) F(0) F(1) F(2) F(3) F(4)
template <int NC, bool Conj, class Index>
void tile(const double* a, std::int64_t lda, const double* const* x, Index index, int j0, int j1,
          double* const* y) {
  static_assert(NC >= 1 && NC <= 5);
#define TARVO_DECLARE(k)                         \
  [[maybe_unused]] __m256d lo##k, hi##k;         \
  [[maybe_unused]] const double* x##k = nullptr; \
  if constexpr (NC > k) {                        \
    lo##k = _mm256_loadu_pd(y[k]);               \
    hi##k = _mm256_loadu_pd(y[k] + 4);           \
    x##k = x[k];                                 \
  }
  TARVO_EACH_COLUMN(TARVO_DECLARE)
#undef TARVO_DECLARE
  const __m256d sign =
      Conj ? _mm256_set_pd(-0.0, 0.0, -0.0, 0.0) : _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
  // The first multiply-add of every column, then the second: A's two forms are not live at
  // once, which leaves the registers to the accumulators.
  for (int j = j0; j < j1; ++j) {
    const double* aj = a + 2 * lda * j;
    const __m256d a_lo = _mm256_loadu_pd(aj);
    const __m256d a_hi = _mm256_loadu_pd(aj + 4);
    const std::int64_t at = index(j);
#define TARVO_FIRST(k)                                 \
  if constexpr (NC > k) {                              \
    const __m256d xr = _mm256_broadcast_sd(x##k + at); \
    lo##k = _mm256_fmadd_pd(a_lo, xr, lo##k);          \
    hi##k = _mm256_fmadd_pd(a_hi, xr, hi##k);          \
  }
    TARVO_EACH_COLUMN(TARVO_FIRST)
#undef TARVO_FIRST
    // (-im, re, -im, re), or (im, -re, im, -re) with Conj
    const __m256d s_lo = _mm256_xor_pd(_mm256_permute_pd(a_lo, 0x5), sign);
    const __m256d s_hi = _mm256_xor_pd(_mm256_permute_pd(a_hi, 0x5), sign);
#define TARVO_SECOND(k)                                    \
  if constexpr (NC > k) {                                  \
    const __m256d xi = _mm256_broadcast_sd(x##k + at + 1); \
    lo##k = _mm256_fmadd_pd(s_lo, xi, lo##k);              \
    hi##k = _mm256_fmadd_pd(s_hi, xi, hi##k);              \
  }
    TARVO_EACH_COLUMN(TARVO_SECOND)
#undef TARVO_SECOND
  }
#define TARVO_STORE(k)                 \
  if constexpr (NC > k) {              \
    _mm256_storeu_pd(y[k], lo##k);     \
    _mm256_storeu_pd(y[k] + 4, hi##k); \
  }
  TARVO_EACH_COLUMN(TARVO_STORE)
#undef TARVO_STORE
}
#undef TARVO_EACH_COLUMN

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

// Rows i0..i1-1 of Y_c += A X_c for the columns of xs (their conj flag is the template's, and
// `index` places their elements), with element (i, j) of A at A[lda*j + i] and element (i, c) of
// Y at Y[ldy*c + i].
template <bool Conj, class Index>
void rows_of(const dcomplex* A, std::int64_t lda, int cols, const ProductColumns& xs, Index index,
             int i0, int i1, dcomplex* Y, std::int64_t ldy) {
  const dcomplex* X = xs.X;
  const std::int64_t x_col = xs.col_stride;
  const int count = xs.count;
  const unsigned char* active = xs.active;
  const bool wide = matmul_avx512::available();
  int live = 0;
  for (int c = 0; c < count; ++c) live += !active || active[c];
  if (live == 0) return;
  for (int j0 = 0; j0 < cols; j0 += kColBlock) {
    const int j1 = std::min(cols, j0 + kColBlock);
    int i = i0;
    // Runs tile_on(n, a, x, y) on the row tile starting at row i for the active columns in
    // column order, in as few groups of up to `group` as there can be, of sizes that differ by
    // one at most (16 as 4 + 4 + 4 + 4, not 5 + 5 + 5 + 1: a narrow tile reads its rows of A
    // for little work).
    auto by_column_groups = [&](int i, int group, auto&& tile_on) {
      const double* a = reinterpret_cast<const double*>(A + i);
      const double* x[matmul_avx512::kTileColumns];
      double* y[matmul_avx512::kTileColumns];
      const int groups = (live + group - 1) / group;
      int n = 0, g = 0;
      for (int c = 0; c < count; ++c) {
        if (active && !active[c]) continue;
        x[n] = reinterpret_cast<const double*>(X + c * x_col);
        y[n] = reinterpret_cast<double*>(Y + ldy * c + i);
        if (++n == live / groups + (g < live % groups ? 1 : 0)) {
          tile_on(n, a, x, y);
          n = 0;
          ++g;
        }
      }
    };
    for (; wide && i + 8 <= i1; i += 8)
      by_column_groups(i, matmul_avx512::kTileColumns,
                       [&](int n, const double* a, const double* const* x, double* const* y) {
                         matmul_avx512::tile8(n, Conj, a, lda, x, index, j0, j1, y);
                       });
    for (; i + 4 <= i1; i += 4)
      by_column_groups(i, kTileColumns,
                       [&](int n, const double* a, const double* const* x, double* const* y) {
                         tile_n<Conj>(n, a, lda, x, index, j0, j1, y);
                       });
    for (; i < i1; ++i)
      for (int c = 0; c < count; ++c) {
        if (active && !active[c]) continue;
        const dcomplex* xc = X + c * x_col;
        dcomplex& yi = Y[ldy * c + i];
        for (int j = j0; j < j1; ++j) {
          const dcomplex xj = xc[index(j) / 2];
          element(A[lda * j + i], Conj ? dcomplex{xj.re, -xj.im} : xj, yi);
        }
      }
  }
}

}  // namespace

void rows(const dcomplex* A, std::int64_t lda, int cols, const ProductColumns& xs, int i0, int i1,
          dcomplex* Y, std::int64_t ldy) {
  if (xs.at)
    rows_of<false>(A, lda, cols, xs, Listed{xs.at}, i0, i1, Y, ldy);
  else
    rows_of<false>(A, lda, cols, xs, Strided{2 * xs.step}, i0, i1, Y, ldy);
}

void gram_panels(const dcomplex* P, int rows, int cols, int c0, int count, int r0, int r1,
                 dcomplex* Y) {
  const bool wide = matmul_avx512::available();
  const int height = wide ? 8 : 4;                                      // rows per tile
  const int group = wide ? matmul_avx512::kTileColumns : kTileColumns;  // columns per tile
  // Row i of A from column j0 on, as doubles: element j 16 further on per column.
  const std::int64_t stride = panel_stride(cols);
  auto row = [&](int i, int j0) {
    return reinterpret_cast<const double*>(P + stride * (i / 8) + 8 * j0 + i % 8);
  };
  // Rows c0 .. whole-1 in whole tiles; the rest (fewer than a tile, within one panel) after.
  const int whole = c0 + (rows - c0) / height * height;
  for (int j0 = 0; j0 < cols; j0 += kColBlock) {
    const int w = std::min(kColBlock, cols - j0);
    // Each group of columns against the tiles from the one holding its first diagonal element
    // down, the group's rows of A staying in the first-level cache and the block's panels in
    // the second-level one.
    for (int g = 0; g < count; g += group) {
      const int n = std::min(group, count - g);
      const double* x[matmul_avx512::kTileColumns];
      double* y[matmul_avx512::kTileColumns];
      for (int c = 0; c < n; ++c) x[c] = row(c0 + g + c, j0);
      for (int i = std::max(c0 + g / height * height, r0); i < std::min(whole, r1); i += height) {
        for (int c = 0; c < n; ++c)
          y[c] = reinterpret_cast<double*>(Y + static_cast<std::int64_t>(rows) * (g + c) + i);
        if (wide)
          matmul_avx512::tile8(n, true, row(i, j0), 8, x, Strided{16}, 0, w, y);
        else
          tile_n<true>(n, row(i, j0), 8, x, Strided{16}, 0, w, y);
      }
    }
  }
  if (whole >= rows || r1 <= whole) return;
  const int i0 = whole / 8 * 8;  // the panel holding the rest
  for (int c = 0; c < count; ++c) {
    const int k = c0 + c;
    if (k >= rows) break;
    const ProductColumns x{P + stride * (k / 8) + k % 8, 0, 8, 1, nullptr, true};
    rows_of<true>(P + stride * (i0 / 8), 8, cols, x, Strided{16}, whole - i0, rows - i0,
                  Y + std::int64_t{rows} * c + i0, rows);
  }
}

dcomplex mult_add(dcomplex y, dcomplex a, dcomplex x) {
  element(a, x, y);
  return y;
}

}  // namespace tarvo::matmul_fma

#include "linalg/avx2_end.h"
