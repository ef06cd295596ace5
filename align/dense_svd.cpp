// Small dense SVD (Golub-Reinsch: Householder bidiagonalisation, then implicit-shift QR on the
// bidiagonal form) and the least-squares back-substitution built on it.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "align/align.h"
#include "linalg/report.h"

namespace {

// Split and cancellation threshold, relative to the largest |w[i]| + |superdiagonal[i]|.
constexpr double kSplitTol = 1e-7;

// sqrt(a^2 + b^2) without destructive overflow or underflow.
double pythag(double a, double b) {
  const double absa = std::fabs(a);
  const double absb = std::fabs(b);
  if (absa > absb) return absa * std::sqrt(1.0 + (absb / absa) * (absb / absa));
  if (absb == 0.0) return 0.0;
  return absb * std::sqrt(1.0 + (absa / absb) * (absa / absb));
}

// |a| with the sign of b (b = 0 counts as positive).
double sign_of(double a, double b) {
  return b >= 0.0 ? std::fabs(a) : -std::fabs(a);
}

}  // namespace

double* alloc_dvector(int n) {
  return tarvo::alloc_array<double>(n);
}

void free_dvector(double* v) {
  tarvo::free_bytes(v);
}

void** alloc_matrix2d(int rows, int cols, int elsize) {
  if (rows < 1 || cols < 0 || elsize < 1) return nullptr;
  void** m = tarvo::alloc_array<void*>(rows);
  if (!m) return nullptr;
  // rows*cols*elsize in 64 bits: three 32-bit factors cannot overflow it.
  const std::int64_t row_bytes = static_cast<std::int64_t>(cols) * elsize;
  auto* block = static_cast<unsigned char*>(
      tarvo::alloc_bytes(tarvo::checked_bytes(static_cast<std::int64_t>(rows) * cols, elsize)));
  if (!block) {
    tarvo::free_bytes(m);
    return nullptr;
  }
  for (int i = 0; i < rows; ++i) m[i] = block + i * row_bytes;
  return m;
}

double** alloc_dmatrix(int rows, int cols) {
  if (rows < 1 || cols < 0) return nullptr;
  double** m = tarvo::alloc_array<double*>(rows);
  if (!m) return nullptr;
  double* block = tarvo::alloc_array<double>(static_cast<std::int64_t>(rows) * cols);
  if (!block) {
    tarvo::free_bytes(m);
    return nullptr;
  }
  for (int i = 0; i < rows; ++i) m[i] = block + static_cast<std::int64_t>(i) * cols;
  return m;
}

namespace {

// 1. Householder reduction of a (m x n) to upper bidiagonal form: the diagonal into w, the
// superdiagonal into rv1 (rv1[0] = 0), the reflectors left in a. Returns the norm estimate
// max_i |w[i]| + |rv1[i]|.
double bidiagonalise(double** a, int m, int n, double* w, double* rv1) {
  double anorm = 0.0, g = 0.0, scale = 0.0, s = 0.0;
  for (int i = 0; i < n; ++i) {
    const int l = i + 1;
    rv1[i] = scale * g;
    g = s = scale = 0.0;
    if (i < m) {
      for (int k = i; k < m; ++k) scale += std::fabs(a[k][i]);
      if (scale != 0.0) {
        for (int k = i; k < m; ++k) {
          a[k][i] /= scale;
          s += a[k][i] * a[k][i];
        }
        double f = a[i][i];
        g = -sign_of(std::sqrt(s), f);
        const double h = f * g - s;
        a[i][i] = f - g;
        for (int j = l; j < n; ++j) {
          s = 0.0;
          for (int k = i; k < m; ++k) s += a[k][i] * a[k][j];
          f = s / h;
          for (int k = i; k < m; ++k) a[k][j] += f * a[k][i];
        }
        for (int k = i; k < m; ++k) a[k][i] *= scale;
      }
    }
    w[i] = scale * g;
    g = s = scale = 0.0;
    if (i < m && i != n - 1) {
      for (int k = l; k < n; ++k) scale += std::fabs(a[i][k]);
      if (scale != 0.0) {
        for (int k = l; k < n; ++k) {
          a[i][k] /= scale;
          s += a[i][k] * a[i][k];
        }
        const double f = a[i][l];
        g = -sign_of(std::sqrt(s), f);
        const double h = f * g - s;
        a[i][l] = f - g;
        for (int k = l; k < n; ++k) rv1[k] = a[i][k] / h;
        for (int j = l; j < m; ++j) {
          s = 0.0;
          for (int k = l; k < n; ++k) s += a[j][k] * a[i][k];
          for (int k = l; k < n; ++k) a[j][k] += s * rv1[k];
        }
        for (int k = l; k < n; ++k) a[i][k] *= scale;
      }
    }
    anorm = std::max(anorm, std::fabs(w[i]) + std::fabs(rv1[i]));
  }
  return anorm;
}

// 2. The right-hand transformations of the reduction accumulated into v (n x n), last row
// first.
void accumulate_right(double* const* a, int n, const double* rv1, double** v) {
  double g = 0.0;
  int l = n;
  for (int i = n - 1; i >= 0; --i) {
    if (i < n - 1) {
      if (g != 0.0) {
        // Two divisions (by a[i][l], then by g) against underflow.
        for (int j = l; j < n; ++j) v[j][i] = (a[i][j] / a[i][l]) / g;
        for (int j = l; j < n; ++j) {
          double s = 0.0;
          for (int k = l; k < n; ++k) s += a[i][k] * v[k][j];
          for (int k = l; k < n; ++k) v[k][j] += s * v[k][i];
        }
      }
      for (int j = l; j < n; ++j) v[i][j] = v[j][i] = 0.0;
    }
    v[i][i] = 1.0;
    g = rv1[i];
    l = i;
  }
}

// 3. The left-hand transformations accumulated into a (U), last column first.
void accumulate_left(double** a, int m, int n, const double* w) {
  for (int i = std::min(m, n) - 1; i >= 0; --i) {
    const int l = i + 1;
    double g = w[i];
    for (int j = l; j < n; ++j) a[i][j] = 0.0;
    if (g != 0.0) {
      g = 1.0 / g;
      for (int j = l; j < n; ++j) {
        double s = 0.0;
        for (int k = l; k < m; ++k) s += a[k][i] * a[k][j];
        const double f = (s / a[i][i]) * g;
        for (int k = i; k < m; ++k) a[k][j] += f * a[k][i];
      }
      for (int j = i; j < m; ++j) a[j][i] *= g;
    } else {
      for (int j = i; j < m; ++j) a[j][i] = 0.0;
    }
    a[i][i] += 1.0;
  }
}

// w[l-1] (column nm = l-1 of U) is negligible: rotate rv1[l..k] away into columns nm and i of
// U, stopping at the first rotation below tol.
void cancel_superdiagonal(double** a, int m, double* w, double* rv1, int l, int k, int nm,
                          double tol) {
  double c = 0.0;
  double s = 1.0;
  for (int i = l; i <= k; ++i) {
    const double f = s * rv1[i];
    rv1[i] = c * rv1[i];
    if (std::fabs(f) <= tol) break;
    const double g = w[i];
    double h = pythag(f, g);
    w[i] = h;
    h = 1.0 / h;
    c = g * h;
    s = -f * h;
    for (int j = 0; j < m; ++j) {
      const double y = a[j][nm];
      const double z = a[j][i];
      a[j][nm] = y * c + z * s;
      a[j][i] = z * c - y * s;
    }
  }
}

// One implicit-shift QR step on the bidiagonal block l..k (w diagonal, rv1 superdiagonal), the
// shift from its trailing 2 x 2 minor, the rotations accumulated into v and a (U).
void qr_step(double** a, int m, int n, double* w, double** v, double* rv1, int l, int k) {
  double z = w[k];
  double x = w[l];
  const int nm = k - 1;
  double y = w[nm];
  double g = rv1[nm];
  double h = rv1[k];
  double f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
  g = pythag(f, 1.0);
  f = ((x - z) * (x + z) + h * ((y / (f + sign_of(g, f))) - h)) / x;
  // Chase of Givens rotations from l to k-1.
  double c = 1.0;
  double s = 1.0;
  for (int j = l; j <= nm; ++j) {
    const int i = j + 1;
    g = rv1[i];
    y = w[i];
    h = s * g;
    g = c * g;
    z = pythag(f, h);
    rv1[j] = z;
    c = f / z;
    s = h / z;
    f = x * c + g * s;
    g = g * c - x * s;
    h = y * s;
    y *= c;
    for (int jj = 0; jj < n; ++jj) {
      x = v[jj][j];
      z = v[jj][i];
      v[jj][j] = x * c + z * s;
      v[jj][i] = z * c - x * s;
    }
    z = pythag(f, h);
    w[j] = z;
    if (z != 0.0) {
      z = 1.0 / z;
      c = f * z;
      s = h * z;
    }
    f = c * g + s * y;
    x = c * y - s * g;
    for (int jj = 0; jj < m; ++jj) {
      y = a[jj][j];
      z = a[jj][i];
      a[jj][j] = y * c + z * s;
      a[jj][i] = z * c - y * s;
    }
  }
  rv1[l] = 0.0;
  rv1[k] = f;
  w[k] = x;
}

// 4. Diagonalisation of the bidiagonal form, singular value k = n-1 .. 0 in turn. Returns 0, or
// 1 when one did not converge in 30 iterations.
int diagonalise(double** a, int m, int n, double* w, double** v, double* rv1, double anorm) {
  const double tol = kSplitTol * anorm;
  for (int k = n - 1; k >= 0; --k) {
    for (int its = 1;; ++its) {
      bool cancel = true;
      int nm = 0;
      int l = k;
      for (; l >= 0; --l) {
        nm = l - 1;
        if (std::fabs(rv1[l]) <= tol) {  // rv1[0] is always 0, so this ends at l = 0
          cancel = false;
          break;
        }
        if (std::fabs(w[nm]) <= tol) break;
      }
      if (cancel) cancel_superdiagonal(a, m, w, rv1, l, k, nm, tol);
      const double z = w[k];
      if (l == k) {  // converged; make the singular value non-negative
        if (z < 0.0) {
          w[k] = -z;
          for (int j = 0; j < n; ++j) v[j][k] = -v[j][k];
        }
        break;
      }
      if (its == 30) return 1;
      qr_step(a, m, n, w, v, rv1, l, k);
    }
  }
  return 0;
}

}  // namespace

int dense_svd(double** a, int m, int n, double* w, double** v) {
  if (n <= 0) return 0;
  double* rv1 = alloc_dvector(n);  // superdiagonal of the bidiagonal form
  if (!rv1) {
    tarvo::report("dense_svd: could not alloc rv1 array\n");
    return -1;
  }
  const double anorm = bidiagonalise(a, m, n, w, rv1);
  accumulate_right(a, n, rv1, v);
  accumulate_left(a, m, n, w);
  const int status = diagonalise(a, m, n, w, v, rv1, anorm);
  free_dvector(rv1);
  return status;
}

int svd_solve(double** u, const double* w, double** v, int n, int m, const double* b, double* x) {
  if (n <= 0) return 0;
  double* t = alloc_dvector(n);
  if (!t) {
    tarvo::report("svd_solve: could not alloc tmp array\n");
    return -1;
  }
  // t = diag(1/w) U^T b, directions with w[j] exactly 0 dropped (NaN is kept).
  for (int j = 0; j < n; ++j) {
    double s = 0.0;
    if (w[j] != 0.0) {
      for (int i = 0; i < m; ++i) s += u[i][j] * b[i];
      s /= w[j];
    }
    t[j] = s;
  }
  // x = V t
  for (int j = 0; j < n; ++j) {
    double s = 0.0;
    for (int jj = 0; jj < n; ++jj) s += v[j][jj] * t[jj];
    x[j] = s;
  }
  free_dvector(t);
  return 0;
}
