// The complex matrix product kernel behind complex_matvec, complex_matmat, the solver's passes
// and the Gram matrix, with its run-time choice between the x86-64 baseline and AVX2 + FMA.
#include "linalg/matmul.h"

#include <algorithm>

#include "linalg/parallel.h"

namespace tarvo {

namespace {

bool detect_fma() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  // Both tests also require the operating system to save the 256-bit registers.
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

bool fma_in_use() {
  return kernel_form() != KernelForm::kBaseline && fma_kernels_available();
}

// y = y + a*x per element, the product formed first and rounded: the baseline kernel, on rows
// i0..i1-1 of A (element (i, j) at A[lda*j + i]) and Y (element (i, c) at Y[ldy*c + i]).
void rows_baseline(const dcomplex* __restrict A, std::int64_t lda, int cols,
                   const ProductColumns& x, int i0, int i1, dcomplex* __restrict Y,
                   std::int64_t ldy) {
  for (int j = 0; j < cols; ++j) {
    const dcomplex* col = A + lda * j;
    for (int c = 0; c < x.count; ++c) {
      if (x.active && !x.active[c]) continue;
      dcomplex xj = x.X[c * x.col_stride + (x.at ? x.at[j] : x.step * j)];
      if (x.conj) xj.im = -xj.im;
      dcomplex* y = Y + ldy * c;
      for (int i = i0; i < i1; ++i) {
        y[i].re = y[i].re + (col[i].re * xj.re - col[i].im * xj.im);
        y[i].im = y[i].im + (col[i].re * xj.im + col[i].im * xj.re);
      }
    }
  }
}

}  // namespace

bool fma_kernels_available() {
  static const bool available = detect_fma();
  return available;
}

bool fma_kernels_in_use() {
  return fma_in_use();
}

int complex_product_columns() {
  if (!fma_in_use()) return 1;
  return matmul_avx512::available() ? matmul_avx512::kTileColumns : matmul_fma::kTileColumns;
}

dcomplex complex_mult_add(dcomplex y, dcomplex a, dcomplex x) {
  if (fma_in_use()) return matmul_fma::mult_add(y, a, x);
  return {y.re + (a.re * x.re - a.im * x.im), y.im + (a.re * x.im + a.im * x.re)};
}

namespace {

// Rows i0..i1-1 of Y_c <- A X_c for the columns of xs (not conjugated), cleared first, with
// element (i, j) of A at A[lda*j + i] and element (i, c) of Y at Y[ldy*c + i]: the body of
// complex_matmat_rows, complex_matmat_panels and complex_matmat_gather.
void product_rows(const dcomplex* A, std::int64_t lda, int cols, const ProductColumns& xs, int i0,
                  int i1, dcomplex* Y, std::int64_t ldy) {
  if (i1 <= i0 || xs.count <= 0) return;
  for (int c = 0; c < xs.count; ++c)
    if (!xs.active || xs.active[c])
      for (int i = i0; i < i1; ++i) Y[ldy * c + i] = {0.0, 0.0};
  if (fma_in_use())
    matmul_fma::rows(A, lda, cols, xs, i0, i1, Y, ldy);
  else
    rows_baseline(A, lda, cols, xs, i0, i1, Y, ldy);
}

void product_rows(const dcomplex* A, std::int64_t lda, int cols, const dcomplex* X, int count,
                  const unsigned char* active, int i0, int i1, dcomplex* Y, std::int64_t ldy) {
  product_rows(A, lda, cols, {X, cols, 1, count, active, false}, i0, i1, Y, ldy);
}

}  // namespace

void complex_matmat_rows(const dcomplex* A, int rows, int cols, const dcomplex* X, int count,
                         const unsigned char* active, int i0, int i1, dcomplex* Y) {
  product_rows(A, rows, cols, X, count, active, i0, i1, Y, rows);
}

void complex_matmat_gather(const dcomplex* A, int rows, int cols, const dcomplex* X,
                           std::int64_t col_stride, const std::int64_t* at, int count,
                           dcomplex* Y) {
  product_rows(A, rows, cols, {X, col_stride, 1, count, nullptr, false, at}, 0, rows, Y, rows);
}

void complex_pack_panels(const dcomplex* A, int rows, int cols, dcomplex* P) {
  const std::int64_t panels = panel_count(rows);
  // Four panels at a time, column by column: 32 rows of a column are read at once.
  for (std::int64_t p0 = 0; p0 < panels; p0 += 4) {
    const std::int64_t p1 = p0 + 4 < panels ? p0 + 4 : panels;
    for (int j = 0; j < cols; ++j) {
      const dcomplex* col = A + static_cast<std::int64_t>(rows) * j;
      for (std::int64_t p = p0; p < p1; ++p) {
        dcomplex* to = P + panel_stride(cols) * p + kPanelRows * j;
        for (int i = 0; i < kPanelRows; ++i)
          to[i] = kPanelRows * p + i < rows ? col[kPanelRows * p + i] : dcomplex{0.0, 0.0};
      }
    }
  }
}

void complex_matmat_panels(const dcomplex* P, int rows, int cols, const dcomplex* X, int count,
                           const unsigned char* active, int p0, int p1, dcomplex* Y) {
  for (int p = p0; p < p1 && p * kPanelRows < rows; ++p) {
    const int i0 = p * kPanelRows;
    const int height = rows - i0 < kPanelRows ? rows - i0 : kPanelRows;
    product_rows(P + panel_stride(cols) * p, kPanelRows, cols, X, count, active, 0, height, Y + i0,
                 rows);
  }
}

void complex_matmat_panels_on(const dcomplex* P, int rows, int cols, const dcomplex* X, int count,
                              const unsigned char* active, dcomplex* Y, int threads) {
  constexpr int kBlock = 4;
  const int panels = static_cast<int>(panel_count(rows));
  parallel_for((panels + kBlock - 1) / kBlock, threads, [&](std::int64_t b, int) {
    const int p0 = static_cast<int>(b) * kBlock;
    complex_matmat_panels(P, rows, cols, X, count, active, p0, std::min(p0 + kBlock, panels), Y);
    return 0;
  });
}

void complex_matmat_blocks(const dcomplex* A, int rows, int cols, int blocks, const dcomplex* X,
                           int count, dcomplex* Y) {
  if (rows <= 0 || blocks <= 0 || count <= 0) return;
  const std::int64_t size = std::int64_t{rows} * cols, result = std::int64_t{rows} * blocks;
  // Rows 0 .. tiled-1 of kTileColumns blocks at a time in AVX-512 tiles, one vector after the
  // other while the blocks' rows are at hand; the rest as products of all the vectors.
  constexpr int kGroup = matmul_avx512::kTileColumns;
  const bool wide = fma_in_use() && matmul_avx512::available() && cols > 0;
  const int grouped = wide ? blocks / kGroup * kGroup : 0;
  const int tiled = rows / 8 * 8;
  for (int b0 = 0; b0 < grouped; b0 += kGroup)
    for (int i = 0; i < tiled; i += 8) {
      const double* a[kGroup];
      for (int b = 0; b < kGroup; ++b)
        a[b] = reinterpret_cast<const double*>(A + size * (b0 + b) + i);
      for (int v = 0; v < count; ++v) {
        double* y[kGroup];
        for (int b = 0; b < kGroup; ++b)
          y[b] = reinterpret_cast<double*>(Y + result * v + std::int64_t{rows} * (b0 + b) + i);
        matmul_avx512::blocks_tile8(a, rows, reinterpret_cast<const double*>(X + cols * v), 2, 0,
                                    cols, y);
      }
    }
  for (int b = 0; b < blocks; ++b)
    product_rows(A + size * b, rows, cols, X, count, nullptr, b < grouped ? tiled : 0, rows,
                 Y + std::int64_t{rows} * b, result);
}

void complex_gram_panels(const dcomplex* P, int rows, int cols, int c0, int count, dcomplex* Y) {
  complex_gram_panels(P, rows, cols, c0, count, 0, rows, Y);
}

void complex_gram_panels(const dcomplex* P, int rows, int cols, int c0, int count, int r0, int r1,
                         dcomplex* Y) {
  r0 = std::max(r0, c0);
  r1 = std::min(r1, rows);
  if (count <= 0 || r0 >= r1) return;
  for (int c = 0; c < count; ++c)
    for (int i = r0; i < r1; ++i) Y[static_cast<std::int64_t>(c) * rows + i] = {0.0, 0.0};
  if (fma_in_use()) {
    matmul_fma::gram_panels(P, rows, cols, c0, count, r0, r1, Y);
    return;
  }
  // Column by column, panel by panel from the one holding the diagonal element: row k = c0 + c
  // of A has its element j kPanelRows further on than element j - 1.
  for (int c = 0; c < count; ++c) {
    const int k = c0 + c;
    const dcomplex* row = P + panel_stride(cols) * (k / kPanelRows) + k % kPanelRows;
    const ProductColumns x{row, 0, kPanelRows, 1, nullptr, true};
    for (int i0 = std::max(k / kPanelRows * kPanelRows, r0); i0 < r1; i0 += kPanelRows)
      rows_baseline(P + panel_stride(cols) * (i0 / kPanelRows), kPanelRows, cols, x, 0,
                    std::min(kPanelRows, r1 - i0), Y + std::int64_t{rows} * c + i0, rows);
  }
}

}  // namespace tarvo
