// Internal to linalg/: the AVX2 + FMA form of the matrix product kernel (matmul_avx2.cpp), only
// called once the processor is known to have both.
#pragma once

#include <cstdint>

#include "linalg/linalg.h"

namespace tarvo {

// The right-hand sides of a product kernel: `count` columns, column c starting at
// X + c*col_stride with its element j step*j further on (at[j] further on when the table `at` is
// given); only the columns with active[c] (all when active is null); their conjugates when conj.
struct ProductColumns {
  const dcomplex* X = nullptr;
  std::int64_t col_stride = 0;
  std::int64_t step = 1;
  int count = 0;
  const unsigned char* active = nullptr;
  bool conj = false;
  const std::int64_t* at = nullptr;
};

// Where element j of a column of X lies, in doubles from the column's start, for the tiles: j
// steps of a fixed stride, or the j-th entry of a table of element offsets.
struct Strided {
  std::int64_t step;  // in doubles
  std::int64_t operator()(int j) const { return step * j; }
};
struct Listed {
  const std::int64_t* at;  // in complex elements
  std::int64_t operator()(int j) const { return 2 * at[j]; }
};

}  // namespace tarvo

namespace tarvo::matmul_fma {

// Adds rows i0..i1-1 of A X_c to Y_c for the columns c of xs (not conjugated; element (i, j) of A
// at A[lda*j + i], element (i, c) of Y at Y[ldy*c + i]). Every element is accumulated in column
// order, each term by two fused multiply-adds:
//   y.re = fma(-a.im, x.im, fma(a.re, x.re, y.re)),  y.im = fma(a.re, x.im, fma(a.im, x.re, y.im)),
// whichever rows and columns the call covers, so an element's bits do not depend on the
// blocking or on the thread that forms it.
void rows(const dcomplex* A, std::int64_t lda, int cols, const ProductColumns& xs, int i0, int i1,
          dcomplex* Y, std::int64_t ldy);
// Rows i >= c0 + c (at least) of Y_c += A conj(A(c0 + c, :))^T for c < count, A held as panels
// (complex_pack_panels' layout) and c0 a multiple of kPanelRows, each term added exactly as
// rows() adds a*x for x = conj(A(c0 + c, j)), for the rows r0 <= i < r1 only: complex_gram_panels
// after the clearing.
void gram_panels(const dcomplex* P, int rows, int cols, int c0, int count, int r0, int r1,
                 dcomplex* Y);
// y + a*x by the same two fused multiply-adds per part.
dcomplex mult_add(dcomplex y, dcomplex a, dcomplex x);
// Columns of X per tile: 10 accumulators and A's two forms in 16 registers.
constexpr int kTileColumns = 5;

}  // namespace tarvo::matmul_fma

namespace tarvo::matmul_avx512 {

// Whether the processor has AVX-512 (and TARVO_NO_AVX512 is not 1): decided once.
bool available();
// With 16 accumulators (of 32 registers) each element's chain of dependent fused multiply-adds
// is hidden behind the others'; with 8, as in the AVX2 tiles, it is not.
constexpr int kTileColumns = 8;
// The fused kernel's tile of 8 rows by n <= kTileColumns columns (matmul_avx512.cpp): y[c] (8
// elements of Y_c) += rows of A (a: element (i, j0), lda rows) times X_c (x[c], element j at x[c] +
// index(j), as doubles) over columns j0..j1-1, conjugated when conj; element by element the bits of
// the AVX2 tiles.
void tile8(int n, bool conj, const double* a, std::int64_t lda, const double* const* x,
           Strided index, int j0, int j1, double* const* y);
// (index: j times a stride, or an entry of a table of element offsets; see Strided, Listed.)
void tile8(int n, bool conj, const double* a, std::int64_t lda, const double* const* x,
           Listed index, int j0, int j1, double* const* y);
// kTileColumns tiles of 8 rows, each of its own matrix (a[b]: element (i, j0), lda rows), times
// one vector (element j at x + xstep*j, as doubles), stored to y[b]: element by element the bits of
// tile8 on one column from cleared sums.
void blocks_tile8(const double* const* a, std::int64_t lda, const double* x, std::int64_t xstep,
                  int j0, int j1, double* const* y);

}  // namespace tarvo::matmul_avx512
