// Hermitian positive-definite solves by the Cholesky factorisation A + shift I = G G^H.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "linalg/linalg.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"

namespace tarvo {

namespace {

// Column j of G (rows j .. n-1) from column j of A and the columns before it: left-looking, each
// update a contiguous axpy down a column. False when the pivot is not positive (or not finite).
bool factor_column(dcomplex* G, int n, int j, double shift) {
  const std::int64_t N = n;
  dcomplex* col = G + N * j;
  for (int k = 0; k < j; ++k) {
    const dcomplex* gk = G + N * k;
    const double cr = gk[j].re, ci = -gk[j].im;  // conj(G(j, k))
    for (int i = j; i < n; ++i) {
      col[i].re -= gk[i].re * cr - gk[i].im * ci;
      col[i].im -= gk[i].re * ci + gk[i].im * cr;
    }
  }
  const double pivot = col[j].re + shift;
  if (!(pivot > 0.0) || !std::isfinite(pivot)) return false;
  const double root = std::sqrt(pivot);
  col[j] = {root, 0.0};
  for (int i = j + 1; i < n; ++i) col[i] = {col[i].re / root, col[i].im / root};
  return true;
}

}  // namespace

int complex_cholesky_solve(const dcomplex* A, int n, int count, const dcomplex* B, dcomplex* X,
                           double shift) {
  const std::int64_t N = n;
  buffer<dcomplex> G(alloc_array<dcomplex>(N * N));
  if (!G) return -1;
  // The lower triangle of A (the upper one is not read) into G, then factored in place.
  for (int j = 0; j < n; ++j)
    std::memcpy(G.get() + N * j + j, A + N * j + j,
                static_cast<std::size_t>(n - j) * sizeof(dcomplex));
  for (int j = 0; j < n; ++j)
    if (!factor_column(G.get(), n, j, shift)) return 1;
  // Each right-hand side: G y = b forward, then G^H x = y backward (a job per column).
  parallel_for(count, thread_count(), [&](std::int64_t c, int) {
    dcomplex* x = X + N * c;
    const dcomplex* b = B + N * c;
    for (int i = 0; i < n; ++i) x[i] = b[i];
    for (int j = 0; j < n; ++j) {
      const dcomplex* g = G.get() + N * j;
      const dcomplex y = {x[j].re / g[j].re, x[j].im / g[j].re};
      x[j] = y;
      for (int i = j + 1; i < n; ++i) {
        x[i].re -= g[i].re * y.re - g[i].im * y.im;
        x[i].im -= g[i].re * y.im + g[i].im * y.re;
      }
    }
    for (int j = n - 1; j >= 0; --j) {
      const dcomplex* g = G.get() + N * j;
      double re = x[j].re, im = x[j].im;
      for (int i = j + 1; i < n; ++i) {  // conj(G(i, j)) * x[i]
        re -= g[i].re * x[i].re + g[i].im * x[i].im;
        im -= g[i].re * x[i].im - g[i].im * x[i].re;
      }
      x[j] = {re / g[j].re, im / g[j].re};
    }
    return 0;
  });
  return 0;
}

}  // namespace tarvo
