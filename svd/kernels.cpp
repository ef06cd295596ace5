// Strided vector kernels and the two sparse products of the Lanczos SVD.
//
// Element k (k = 0 .. n-1) of a vector with stride inc is at k*inc for inc > 0 and at
// (n-1-k)*|inc| for inc < 0, so a copy from stride 1 to stride -1 reverses. Sums are taken in
// the order of the walk. A zero stride or n <= 0 makes every kernel a no-op.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "svd/internal.h"

namespace {

// Offset of element 0 of a walk of n elements with stride inc.
inline std::int64_t start_of(int n, int inc) {
  return inc < 0 ? static_cast<std::int64_t>(1 - n) * inc : 0;
}

}  // namespace

void svdCopy(int n, const double* x, int incx, double* y, int incy) {
  if (n <= 0 || incx == 0 || incy == 0) return;
  if (incx == 1 && incy == 1) {
    for (int k = 0; k < n; k++) y[k] = x[k];
    return;
  }
  std::int64_t ix = start_of(n, incx), iy = start_of(n, incy);
  for (int k = 0; k < n; k++, ix += incx, iy += incy) y[iy] = x[ix];
}

void svdScale(int n, double a, double* x, int incx) {
  if (n <= 0 || incx == 0) return;
  std::int64_t ix = start_of(n, incx);
  for (int k = 0; k < n; k++, ix += incx) x[ix] *= a;
}

void svdScaledCopy(int n, double a, const double* x, int incx, double* y, int incy) {
  if (n <= 0 || incx == 0 || incy == 0 || a == 0.0) return;
  std::int64_t ix = start_of(n, incx), iy = start_of(n, incy);
  for (int k = 0; k < n; k++, ix += incx, iy += incy) y[iy] = a * x[ix];
}

void svdAxpy(int n, double a, const double* x, int incx, double* y, int incy) {
  if (n <= 0 || incx == 0 || incy == 0 || a == 0.0) return;
  if (incx == 1 && incy == 1) {
    for (int k = 0; k < n; k++) y[k] += a * x[k];
    return;
  }
  std::int64_t ix = start_of(n, incx), iy = start_of(n, incy);
  for (int k = 0; k < n; k++, ix += incx, iy += incy) y[iy] += a * x[ix];
}

double svdDot(int n, const double* x, int incx, const double* y, int incy) {
  if (n <= 0 || incx == 0 || incy == 0) return 0.0;
  double sum = 0.0;
  if (incx == 1 && incy == 1) {
    for (int k = 0; k < n; k++) sum += x[k] * y[k];
    return sum;
  }
  std::int64_t ix = start_of(n, incx), iy = start_of(n, incy);
  for (int k = 0; k < n; k++, ix += incx, iy += incy) sum += x[ix] * y[iy];
  return sum;
}

void svdSwap(int n, double* x, int incx, double* y, int incy) {
  if (n <= 0 || incx == 0 || incy == 0) return;
  std::int64_t ix = start_of(n, incx), iy = start_of(n, incy);
  for (int k = 0; k < n; k++, ix += incx, iy += incy) {
    const double t = x[ix];
    x[ix] = y[iy];
    y[iy] = t;
  }
}

int svdIndexAbsMax(int n, const double* x, int incx) {
  if (n < 1 || incx == 0) return -1;
  if (n == 1) return 0;
  std::int64_t ix = start_of(n, incx);
  std::int64_t best = ix;
  double dmax = std::fabs(x[ix]);
  ix += incx;
  for (int k = 1; k < n; k++, ix += incx) {
    const double v = std::fabs(x[ix]);
    if (v > dmax) {
      dmax = v;
      best = ix;
    }
  }
  return static_cast<int>(best);
}

double svdSign(double a, double b) {
  if ((a >= 0.0 && b >= 0.0) || (a < 0.0 && b < 0.0)) return a;
  return -a;
}

void svdMultA(const SMat* A, const double* x, double* y) {
  if (A->dense_cols) return svdMultADense(tarvo::simd_best(), A, x, y);
  const int* __restrict pointr = A->pointr;
  const int* __restrict rowind = A->rowind;
  const double* __restrict value = A->value;
  for (int i = 0; i < A->rows; i++) y[i] = 0.0;
  for (int j = 0; j < A->cols; j++) {
    const double xj = x[j];
    const int end = pointr[j + 1];
    for (int k = pointr[j]; k < end; k++) y[rowind[k]] += value[k] * xj;
  }
}

void svdMultATA(const SMat* A, const double* x, double* y, double* scratch) {
  if (A->dense_cols) return svdMultATADense(tarvo::simd_best(), A, x, y, scratch);
  const int* __restrict pointr = A->pointr;
  const int* __restrict rowind = A->rowind;
  const double* __restrict value = A->value;
  double* __restrict ax = scratch;
  // ax = A x, accumulated column by column.
  for (int i = 0; i < A->rows; i++) ax[i] = 0.0;
  for (int j = 0; j < A->cols; j++) {
    const double xj = x[j];
    const int end = pointr[j + 1];
    for (int k = pointr[j]; k < end; k++) ax[rowind[k]] += value[k] * xj;
  }
  // y = A^T ax; y[j] summed from 0.0 over the stored values of column j in order. Four
  // columns at a time, each sum its own chain of additions (one chain would wait on every
  // addition); every y[j] gets the same additions in the same order either way.
  auto column_sum = [&](int j) {
    double sum = 0.0;
    for (int k = pointr[j]; k < pointr[j + 1]; k++) sum += ax[rowind[k]] * value[k];
    return sum;
  };
  int j = 0;
  for (; j + 4 <= A->cols; j += 4) {
    const int* p = pointr + j;
    const int n = std::min(std::min(p[1] - p[0], p[2] - p[1]), std::min(p[3] - p[2], p[4] - p[3]));
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    for (int t = 0; t < n; t++) {
      s0 += ax[rowind[p[0] + t]] * value[p[0] + t];
      s1 += ax[rowind[p[1] + t]] * value[p[1] + t];
      s2 += ax[rowind[p[2] + t]] * value[p[2] + t];
      s3 += ax[rowind[p[3] + t]] * value[p[3] + t];
    }
    for (int k = p[0] + n; k < p[1]; k++) s0 += ax[rowind[k]] * value[k];
    for (int k = p[1] + n; k < p[2]; k++) s1 += ax[rowind[k]] * value[k];
    for (int k = p[2] + n; k < p[3]; k++) s2 += ax[rowind[k]] * value[k];
    for (int k = p[3] + n; k < p[4]; k++) s3 += ax[rowind[k]] * value[k];
    y[j] = s0;
    y[j + 1] = s1;
    y[j + 2] = s2;
    y[j + 3] = s3;
  }
  for (; j < A->cols; j++) y[j] = column_sum(j);
}
