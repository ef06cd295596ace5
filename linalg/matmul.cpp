// The complex matrix product kernel behind complex_matvec, complex_matmat, the solver's passes
// and the Gram matrix, with its run-time choice between the x86-64 baseline and AVX2 + FMA.
#include "linalg/matmul.h"

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
// i0..i1-1 of A (rows x cols) and Y.
void rows_baseline(const dcomplex* __restrict A, int rows, int cols, const ProductColumns& x,
                   int i0, int i1, dcomplex* __restrict Y) {
  for (int j = 0; j < cols; ++j) {
    const dcomplex* col = A + static_cast<std::int64_t>(j) * rows;
    for (int c = 0; c < x.count; ++c) {
      if (x.active && !x.active[c]) continue;
      dcomplex xj = x.X[c * x.col_stride + x.step * j];
      if (x.conj) xj.im = -xj.im;
      dcomplex* y = Y + static_cast<std::int64_t>(c) * rows;
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

dcomplex complex_mult_add(dcomplex y, dcomplex a, dcomplex x) {
  if (fma_in_use()) return matmul_fma::mult_add(y, a, x);
  return {y.re + (a.re * x.re - a.im * x.im), y.im + (a.re * x.im + a.im * x.re)};
}

void complex_matmat_rows(const dcomplex* A, int rows, int cols, const dcomplex* X, int count,
                         const unsigned char* active, int i0, int i1, dcomplex* Y) {
  if (i1 <= i0 || count <= 0) return;
  for (int c = 0; c < count; ++c)
    if (!active || active[c])
      for (int i = i0; i < i1; ++i) Y[static_cast<std::int64_t>(c) * rows + i] = {0.0, 0.0};
  if (fma_in_use())
    matmul_fma::rows(A, rows, cols, X, count, active, i0, i1, Y);
  else
    rows_baseline(A, rows, cols, {X, cols, 1, count, active, false}, i0, i1, Y);
}

void complex_matmat_conj_rows(const dcomplex* A, int rows, int cols, int c0, int count, int i0,
                              int i1, dcomplex* Y) {
  if (i1 <= i0 || count <= 0) return;
  for (int c = 0; c < count; ++c)
    for (int i = i0; i < i1; ++i) Y[static_cast<std::int64_t>(c) * rows + i] = {0.0, 0.0};
  if (fma_in_use())
    matmul_fma::conj_rows(A, rows, cols, c0, count, i0, i1, Y);
  else
    rows_baseline(A, rows, cols, {A + c0, 1, rows, count, nullptr, true}, i0, i1, Y);
}

}  // namespace tarvo
