// Hermitian positive-definite solves by the Cholesky factorisation A + shift I = G G^H.
//
// Left-looking: column j of G is column j of A less the products of the columns before it, each
// element taking those products in column order, one subtraction each. The columns are formed in
// blocks: the products of the columns before a block are taken for all of its columns in one pass
// over those columns (each read once per block rather than once per column: the factor of an 800
// x 800 system is 10 MiB, so a pass per column runs at the speed of memory), by chunks of rows
// that are independent jobs, on vectors held in registers over all those columns. Every element
// still gets the same subtractions in the same order, so the factor's bits do not depend on the
// blocking, the vector width or the thread count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "linalg/linalg.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"
#include "linalg/simd.h"

namespace tarvo {

namespace {

constexpr int kBlockColumns = 16;  // columns formed together
constexpr int kChunkRows = 64;     // rows per job

// col[i] -= g[i] conj(gj) for rows i0 .. i1-1: one product of column j's sum.
inline void subtract_product(dcomplex* col, const dcomplex* g, dcomplex gj, int i0, int i1) {
  const double cr = gj.re, ci = -gj.im;
  for (int i = i0; i < i1; ++i) {
    col[i].re -= g[i].re * cr - g[i].im * ci;
    col[i].im -= g[i].re * ci + g[i].im * cr;
  }
}

// Columns j0 .. j1-1 of G (the rows on and below each one's diagonal) less the products of the
// columns 0 .. j0-1, by chunks of rows on the threads.
void subtract_earlier_columns(dcomplex* G, int n, int j0, int j1) {
  const std::int64_t N = n;
  const int chunks = (n - j0 + kChunkRows - 1) / kChunkRows;
  parallel_for(chunks, thread_count(), [&](std::int64_t c, int) {
    const int r0 = j0 + static_cast<int>(c) * kChunkRows;
    const int r1 = std::min(n, r0 + kChunkRows);
    // The rows of the block's own diagonal part one column at a time, the rows below it on
    // vectors (the same operations).
    for (int k = 0; k < j0 && r0 < j1; ++k) {
      const dcomplex* g = G + N * k;
      for (int j = j0; j < j1; ++j)
        subtract_product(G + N * j, g, g[j], std::max(r0, j), std::min(r1, j1));
    }
    cholesky_subtract_products(simd_best(), G, n, j0, j1 - j0, std::max(r0, j1), r1);
    return 0;
  });
}

// Column j of G from its sums so far: the products of the columns j0 .. j-1 of its block, then the
// pivot. False when the pivot is not positive (or not finite).
bool finish_column(dcomplex* G, int n, int j0, int j, double shift) {
  const std::int64_t N = n;
  dcomplex* col = G + N * j;
  for (int k = j0; k < j; ++k) subtract_product(col, G + N * k, G[N * k + j], j, n);
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
  for (int j0 = 0; j0 < n; j0 += kBlockColumns) {
    const int j1 = std::min(n, j0 + kBlockColumns);
    subtract_earlier_columns(G.get(), n, j0, j1);
    for (int j = j0; j < j1; ++j)
      if (!finish_column(G.get(), n, j0, j, shift)) return 1;
  }
  // The right-hand sides in groups, one per thread: G y = b forward, then G^H x = y backward,
  // each column of G read once for the whole group (each system's steps are its own, in the same
  // order whatever the group).
  const int groups = worker_count(count, thread_count());
  parallel_for(groups, groups, [&](std::int64_t group, int) {
    const int c0 = static_cast<int>(group * count / groups);
    const int c1 = static_cast<int>((group + 1) * count / groups);
    for (int c = c0; c < c1; ++c)
      std::memcpy(X + N * c, B + N * c, static_cast<std::size_t>(n) * sizeof(dcomplex));
    for (int j = 0; j < n; ++j) {
      const dcomplex* g = G.get() + N * j;
      for (int c = c0; c < c1; ++c) {
        dcomplex* x = X + N * c;
        const dcomplex y = {x[j].re / g[j].re, x[j].im / g[j].re};
        x[j] = y;
        for (int i = j + 1; i < n; ++i) {
          x[i].re -= g[i].re * y.re - g[i].im * y.im;
          x[i].im -= g[i].re * y.im + g[i].im * y.re;
        }
      }
    }
    // Four systems side by side: each sum is a chain of subtractions in row order, and four
    // chains overlap where one would wait on each subtraction before the next.
    for (int j = n - 1; j >= 0; --j) {
      const dcomplex* g = G.get() + N * j;
      for (int c = c0; c < c1; c += 4) {
        const int m = std::min(4, c1 - c);
        dcomplex* x[4];
        double re[4], im[4];
        for (int q = 0; q < 4; ++q) {
          x[q] = X + N * (c + std::min(q, m - 1));
          re[q] = x[q][j].re, im[q] = x[q][j].im;
        }
        for (int i = j + 1; i < n; ++i)  // conj(G(i, j)) * x[i]
          for (int q = 0; q < 4; ++q) {
            re[q] -= g[i].re * x[q][i].re + g[i].im * x[q][i].im;
            im[q] -= g[i].re * x[q][i].im - g[i].im * x[q][i].re;
          }
        for (int q = 0; q < m; ++q) x[q][j] = {re[q] / g[j].re, im[q] / g[j].re};
      }
    }
    return 0;
  });
  return 0;
}

}  // namespace tarvo
