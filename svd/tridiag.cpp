// Symmetric tridiagonal eigensolvers (implicit QL with Wilkinson-type shifts), Ritz value
// bounds, and the assembly of the singular triplets from the stored Lanczos vectors.
//
// A tridiagonal matrix of order n is a diagonal d[0..n-1] and an off-diagonal e[1..n-1], e[i]
// coupling rows i-1 and i (e[0] ignored); both arrays are overwritten.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "linalg/memory.h"
#include "svd/internal.h"

namespace {

constexpr int kMaxQlIterations = 30;

// First m >= l with m = n-1 or e[m] negligible against d[m] and d[m+1].
int split_point(int l, int n, const double* d, const double* e) {
  int m = l;
  for (; m < n - 1; m++) {
    const double test = std::fabs(d[m]) + std::fabs(d[m + 1]);
    if (test + std::fabs(e[m]) == test) break;
  }
  return m;
}

// Shift e down to e[0..n-2] (e[i] couples rows i and i+1), e[n-1] = 0.
void shift_off_diagonal(int n, double* e) {
  for (int i = 1; i < n; i++) e[i - 1] = e[i];
  e[n - 1] = 0.0;
}

// One implicit QL sweep on rows l..m. rotate(i, s, c) applies the plane rotation of columns
// i and i+1 to whatever accompanies the eigenvalues.
template <class Rotate>
void ql_sweep(int l, int m, double* d, double* e, Rotate rotate) {
  double p = d[l];
  double g = (d[l + 1] - p) / (2.0 * e[l]);
  double r = svdPythag(g, 1.0);
  g = d[m] - p + e[l] / (g + svdSign(r, g));
  double s = 1.0, c = 1.0;
  p = 0.0;
  int i = m - 1;
  for (; i >= l; i--) {
    const double f = s * e[i];
    const double b = c * e[i];
    r = svdPythag(f, g);
    e[i + 1] = r;
    if (r == 0.0) break;  // underflow: stop the sweep early
    s = f / r;
    c = g / r;
    g = d[i + 1] - p;
    r = (d[i] - g) * s + 2.0 * c * b;
    p = s * r;
    d[i + 1] = g + p;
    g = c * r - b;
    rotate(i, s, c);
  }
  if (i >= l) {  // early stop at i
    d[i + 1] -= p;
    e[m] = 0.0;
  } else {
    d[l] -= p;
    e[l] = g;
    e[m] = 0.0;
  }
}

}  // namespace

double svdPythag(double a, double b) {
  a = std::fabs(a);
  b = std::fabs(b);
  // Non-finite arguments would keep the iteration below from ever settling.
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
  if (std::isinf(a) || std::isinf(b)) return std::numeric_limits<double>::infinity();
  double p = std::max(a, b);
  if (p == 0.0) return 0.0;
  double r = std::min(a, b) / p;
  r *= r;
  for (;;) {
    const double t = 4.0 + r;
    if (t == 4.0) break;
    const double s = r / t;
    const double u = 1.0 + 2.0 * s;
    p *= u;
    const double su = s / u;
    r *= su * su;
  }
  return p;
}

void imtqlb(int n, double* d, double* e, double* bnd) {
  if (n == 1) return;
  svdErrorFlag = 0;
  bnd[0] = 1.0;
  for (int i = 1; i < n; i++) bnd[i] = 0.0;
  shift_off_diagonal(n, e);
  for (int l = 0; l < n; l++) {
    int iteration = 0;
    for (;;) {
      const int m = split_point(l, n, d, e);
      if (m == l) {
        // d[l] converged: insert it with its bound into the sorted d[0..l-1].
        const double p = d[l], f = bnd[l];
        int i = l;
        for (; i > 0 && p < d[i - 1]; i--) {
          d[i] = d[i - 1];
          bnd[i] = bnd[i - 1];
        }
        d[i] = p;
        bnd[i] = f;
        break;
      }
      if (iteration == kMaxQlIterations) {
        svdErrorFlag = l + 1;
        return;
      }
      iteration++;
      ql_sweep(l, m, d, e, [bnd](int i, double s, double c) {
        const double f = bnd[i + 1];
        bnd[i + 1] = s * bnd[i] + c * f;
        bnd[i] = c * bnd[i] - s * f;
      });
    }
  }
}

void imtql2(int nm, int n, double* d, double* e, double* z) {
  if (n == 1) return;
  svdErrorFlag = 0;
  shift_off_diagonal(n, e);
  for (int l = 0; l < n; l++) {
    for (int iteration = 0;; iteration++) {
      const int m = split_point(l, n, d, e);
      if (m == l) break;
      if (iteration == kMaxQlIterations) {
        svdErrorFlag = l + 1;
        return;
      }
      ql_sweep(l, m, d, e, [=](int i, double s, double c) {
        for (int r = 0; r < nm; r++) {
          double* row = z + static_cast<std::int64_t>(r) * n;
          const double f = row[i + 1];
          row[i + 1] = s * row[i] + c * f;
          row[i] = c * row[i] - s * f;
        }
      });
    }
  }
  // Selection sort: ascending eigenvalues, eigenvector columns alike.
  for (int l = 1; l < n; l++) {
    const int i = l - 1;
    int k = i;
    double p = d[i];
    for (int j = l; j < n; j++) {
      if (d[j] < p) {
        k = j;
        p = d[j];
      }
    }
    if (k != i) {
      d[k] = d[i];
      d[i] = p;
      for (int r = 0; r < nm; r++) {
        double* row = z + static_cast<std::int64_t>(r) * n;
        std::swap(row[i], row[k]);
      }
    }
  }
}

void svdSort2(int gap, int n, double* keys, double* companions) {
  while (gap > 0) {
    for (int i = gap; i < n; i++) {
      for (int j = i - gap; j >= 0 && keys[j] > keys[j + gap]; j -= gap) {
        std::swap(keys[j], keys[j + gap]);
        std::swap(companions[j], companions[j + gap]);
      }
    }
    gap /= 2;
  }
}

int ritzBounds(bool* enough, double endl, double endr, double* ritz, double* bnd, int step,
               double tol) {
  const int mid = svdIndexAbsMax(step + 1, bnd, 1);
  // Merge the bounds of clustered Ritz values, walking towards the largest bound.
  for (int i = step; i > mid; i--) {
    if (std::fabs(ritz[i - 1] - ritz[i]) < svdEps34 * std::fabs(ritz[i]) && bnd[i] > tol &&
        bnd[i - 1] > tol) {
      bnd[i - 1] = std::sqrt(bnd[i] * bnd[i] + bnd[i - 1] * bnd[i - 1]);
      bnd[i] = 0.0;
    }
  }
  for (int i = 1; i < mid; i++) {
    if (std::fabs(ritz[i + 1] - ritz[i]) < svdEps34 * std::fabs(ritz[i]) && bnd[i] > tol &&
        bnd[i + 1] > tol) {
      bnd[i + 1] = std::sqrt(bnd[i] * bnd[i] + bnd[i + 1] * bnd[i + 1]);
      bnd[i] = 0.0;
    }
  }
  // Refine with the gaps to the neighbouring Ritz values and count the converged ones.
  int neig = 0;
  double gapl = ritz[step] - ritz[0];
  for (int i = 0; i <= step; i++) {
    double gap = gapl;
    if (i < step) gapl = ritz[i + 1] - ritz[i];
    gap = std::min(gap, gapl);
    if (gap > bnd[i]) bnd[i] = (bnd[i] / gap) * bnd[i];
    if (bnd[i] <= std::fabs(ritz[i]) * (16.0 * svdEps)) {
      neig++;
      if (!*enough) *enough = endl < ritz[i] && ritz[i] < endr;
    }
  }
  return neig;
}

void rotateRows(double* a, std::int64_t size, std::int64_t shift) {
  if (size <= 0) return;
  shift %= size;
  if (shift < 0) shift += size;
  std::rotate(a, a + shift, a + size);
}

int ritvec(int n, const SMat* A, SVDRec* R, double kappa, const double* ritz, const double* bnd,
           const double* alf, const double* bet, double* w2, int steps, int neig,
           LanczosStore* store) {
  const int js = steps + 1;
  tarvo::buffer<double> s(svdDoubleArray(static_cast<std::int64_t>(js) * js, true, "ritvec: s"));
  if (!s) return -1;
  tarvo::buffer<double> xv2(svdDoubleArray(n, false, "ritvec: xv2"));
  if (!xv2) return -1;
  for (int i = 0; i < js; i++) s[static_cast<std::int64_t>(i) * js + i] = 1.0;

  DMat* Vt = R->Vt;
  // Row 0 of Vt serves as the diagonal scratch; T is reversed as in the block analysis.
  double* w1 = Vt->value[0];
  svdCopy(js, alf, 1, w1, -1);
  svdCopy(steps, &bet[1], 1, &w2[1], -1);
  imtql2(js, js, w1, w2, s.get());
  if (svdErrorFlag) {
    // No eigenvectors (or no start vector): no triplet, and no scratch left in the record.
    std::memset(w1, 0, static_cast<std::size_t>(n) * sizeof(double));
    R->d = 0;
    return 0;
  }

  // Accepted Ritz values (bound within kappa, among the neig largest) go to rows d-1, d-2, ...
  // in increasing order, wrapping to d-1 below row 0; the largest ends in row x.
  int x = 0, nsig = 0;
  for (int k = 0; k < js; k++) {
    if (!(bnd[k] <= kappa * std::fabs(ritz[k]) && k > js - neig - 1)) continue;
    if (--x < 0) x = R->d - 1;
    double* row = Vt->value[x];
    std::memset(row, 0, static_cast<std::size_t>(n) * sizeof(double));
    // Ritz vector k = sum_i s(js-1-i, k) q(i)
    for (int i = 0; i < js; i++) {
      RETRQ(n, i, w2, store);
      svdAxpy(n, s[static_cast<std::int64_t>(js - 1 - i) * js + k], w2, 1, row, 1);
    }
    nsig++;
  }
  s.reset();
  const std::int64_t cols = Vt->cols;
  rotateRows(Vt->value[0], static_cast<std::int64_t>(Vt->rows) * cols, x * cols);
  R->d = std::min(R->d, nsig);
  // Rows without a triplet hold no vector (row d may hold the rotated diagonal scratch).
  for (int row = R->d; row < Vt->rows; row++)
    std::memset(Vt->value[row], 0, static_cast<std::size_t>(cols) * sizeof(double));

  for (x = 0; x < R->d; x++) {
    const double* v = Vt->value[x];
    svdMultATA(A, v, xv2.get(), store->scratch);
    double t0 = svdDot(n, v, 1, xv2.get(), 1);  // Ritz value v^T A^T A v
    svdAxpy(n, -t0, v, 1, xv2.get(), 1);
    // v^T A^T A v >= 0 in exact arithmetic; rounding must not turn sigma into NaN.
    t0 = std::sqrt(std::max(t0, 0.0));
    double* u = R->Ut->value[x];
    svdMultA(A, v, u);
    // u = A v / sigma; a zero sigma leaves u = A v (zero to rounding) instead of dividing by 0.
    if (t0 > 0.0) svdScale(A->rows, 1.0 / t0, u, 1);
    R->s[x] = t0;
  }
  return nsig;
}
