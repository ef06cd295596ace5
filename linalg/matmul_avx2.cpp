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
  for (int j0 = 0; j0 < cols; j0 += kColBlock) {
    const int j1 = std::min(cols, j0 + kColBlock);
    int i = i0;
    // Runs tile_on(n, a, x, y) on the row tile starting at row i for every group of up to
    // `group` active columns, in column order.
    auto by_column_groups = [&](int i, int group, auto&& tile_on) {
      const double* a = reinterpret_cast<const double*>(A + i);
      const double* x[matmul_avx512::kTileColumns];
      double* y[matmul_avx512::kTileColumns];
      int n = 0;
      for (int c = 0; c < count; ++c) {
        if (active && !active[c]) continue;
        x[n] = reinterpret_cast<const double*>(X + c * x_col);
        y[n] = reinterpret_cast<double*>(Y + ldy * c + i);
        if (++n == group) {
          tile_on(group, a, x, y);
          n = 0;
        }
      }
      if (n > 0) tile_on(n, a, x, y);
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

// A block of rows r0 .. r1-1 of A, for blocks of `width` of its columns, packed in panels of 8
// rows into scratch (the last panel filled up with zeros): element (r0 + i, j0 + j) at
// scratch[8*(w*(i/8) + j) + i%8], so that a tile reads it front to back. False when scratch does
// not hold 8 columns.
class Packing {
  static constexpr int kAhead = 8;

 public:
  Packing(int rows, int cols, dcomplex* scratch, std::int64_t scratch_count)
      : scratch_(scratch), packed_((rows + 7) / 8 * 8) {
    width = static_cast<int>(std::min<std::int64_t>(
        {kColBlock, cols, scratch && rows > 0 ? scratch_count / packed_ / 8 * 8 : 0}));
  }
  explicit operator bool() const { return width >= 8; }

  // Packs columns j0 .. of rows r0 .. r1-1 of A (lda rows); returns how many (w).
  int pack(const dcomplex* A, std::int64_t lda, int r0, int r1, int j0, int cols) {
    w_ = std::min(width, cols - j0);
    // Each column of A read front to back.
    for (int j = 0; j < w_; ++j) {
      const dcomplex* column = A + lda * (j0 + j) + r0;
      if (j + kAhead < w_)
        for (int i = 0; i < r1 - r0; i += 4) __builtin_prefetch(column + lda * kAhead + i);
      for (int i = 0; i < packed_; ++i)
        scratch_[8 * (static_cast<std::int64_t>(w_) * (i / 8) + j) + i % 8] =
            r0 + i < r1 ? column[i] : dcomplex{0.0, 0.0};
    }
    return w_;
  }
  // Row r0 + i of the block, as doubles (element j 16 further on per column).
  const double* row(int i) const {
    return reinterpret_cast<const double*>(scratch_ + 8 * static_cast<std::int64_t>(w_) * (i / 8) +
                                           i % 8);
  }
  // The tile of `height` rows at a (a row()) by n <= group columns x, over the block's w columns.
  template <bool Conj>
  void tile(int n, const double* a, const double* const* x, Strided index, int w,
            double* const* y) const {
    if (wide)
      matmul_avx512::tile8(n, Conj, a, 8, x, index, 0, w, y);
    else
      tile_n<Conj>(n, a, 8, x, index, 0, w, y);
  }

  const bool wide = matmul_avx512::available();
  const int height = wide ? 8 : 4;                                      // rows per tile
  const int group = wide ? matmul_avx512::kTileColumns : kTileColumns;  // columns per tile
  int width = 0;

 private:
  dcomplex* scratch_;
  int packed_, w_ = 0;
};

}  // namespace

void rows(const dcomplex* A, std::int64_t lda, int cols, const ProductColumns& xs, int i0, int i1,
          dcomplex* Y, std::int64_t ldy) {
  if (xs.at)
    rows_of<false>(A, lda, cols, xs, Listed{xs.at}, i0, i1, Y, ldy);
  else
    rows_of<false>(A, lda, cols, xs, Strided{2 * xs.step}, i0, i1, Y, ldy);
}

void rows_packed(const dcomplex* A, std::int64_t lda, int cols, const ProductColumns& xs, int i0,
                 int i1, dcomplex* Y, std::int64_t ldy, dcomplex* scratch,
                 std::int64_t scratch_count) {
  Packing packing(i1 - i0, cols, scratch, scratch_count);
  if (!packing || xs.at || xs.active || xs.conj) {
    rows(A, lda, cols, xs, i0, i1, Y, ldy);
    return;
  }
  const int whole = i0 + (i1 - i0) / packing.height * packing.height;
  for (int j0 = 0; j0 < cols; j0 += packing.width) {
    const int w = packing.pack(A, lda, i0, i1, j0, cols);
    // Each row tile against every group of columns, as rows() runs them; X_c from element j0 on.
    for (int i = i0; i < whole; i += packing.height)
      for (int g = 0; g < xs.count; g += packing.group) {
        const int n = std::min(packing.group, xs.count - g);
        const double* x[matmul_avx512::kTileColumns];
        double* y[matmul_avx512::kTileColumns];
        for (int c = 0; c < n; ++c) {
          x[c] = reinterpret_cast<const double*>(xs.X + xs.col_stride * (g + c) + xs.step * j0);
          y[c] = reinterpret_cast<double*>(Y + ldy * (g + c) + i);
        }
        packing.tile<false>(n, packing.row(i - i0), x, Strided{2 * xs.step}, w, y);
      }
  }
  if (whole < i1) rows(A, lda, cols, xs, whole, i1, Y, ldy);
}

void gram_columns(const dcomplex* A, int rows, int cols, int c0, int count, dcomplex* Y,
                  dcomplex* scratch, std::int64_t scratch_count) {
  // X_c is row c0 + c of A, read in place (element j at A[c0 + c + rows*j]) or from the panels.
  const ProductColumns in_place{A + c0, 1, rows, count, nullptr, true};
  Packing packing(rows - c0, cols, scratch, scratch_count);
  if (!packing) {
    rows_of<true>(A, rows, cols, in_place, Strided{2 * rows}, c0, rows, Y, rows);
    return;
  }
  // Rows c0 .. whole-1 in whole tiles from the panels; the rest from A in place.
  const int whole = c0 + (rows - c0) / packing.height * packing.height;
  for (int j0 = 0; j0 < cols; j0 += packing.width) {
    const int w = packing.pack(A, rows, c0, rows, j0, cols);
    // Each group of columns against the tiles from the one holding its first diagonal element
    // down, the group's rows of X staying in the first-level cache.
    for (int g = 0; g < count; g += packing.group) {
      const int n = std::min(packing.group, count - g);
      const double* x[matmul_avx512::kTileColumns];
      double* y[matmul_avx512::kTileColumns];
      for (int c = 0; c < n; ++c) x[c] = packing.row(g + c);
      for (int i = c0 + g / packing.height * packing.height; i < whole; i += packing.height) {
        for (int c = 0; c < n; ++c)
          y[c] = reinterpret_cast<double*>(Y + static_cast<std::int64_t>(rows) * (g + c) + i);
        packing.tile<true>(n, packing.row(i - c0), x, Strided{16}, w, y);
      }
    }
  }
  if (whole < rows) rows_of<true>(A, rows, cols, in_place, Strided{2 * rows}, whole, rows, Y, rows);
}

dcomplex mult_add(dcomplex y, dcomplex a, dcomplex x) {
  element(a, x, y);
  return y;
}

}  // namespace tarvo::matmul_fma

#include "linalg/avx2_end.h"
