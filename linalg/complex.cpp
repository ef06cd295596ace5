#include "linalg/linalg.h"

// a/b = a conj(b) / |b|^2, with no scaling against overflow and no test of |b|^2.
dcomplex complex_div(dcomplex a, dcomplex b) {
  const double d = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}

// sum_i conj(x[i]) y[i], accumulated from i = 0 upwards.
dcomplex complex_dotc(const dcomplex* x, const dcomplex* y, int n) {
  dcomplex s = {0.0, 0.0};
  for (int i = 0; i < n; ++i) {
    s.re += x[i].re * y[i].re + x[i].im * y[i].im;
    s.im += x[i].re * y[i].im - x[i].im * y[i].re;
  }
  return s;
}

// y = A x with A column-major (element (i, j) at j*rows + i): the product kernel on one column.
void complex_matvec(const dcomplex* A, const dcomplex* x, int rows, int cols, dcomplex* y) {
  tarvo::complex_matmat_rows(A, rows, cols, x, 1, nullptr, 0, rows, y);
}
