#include <algorithm>
#include <cmath>
#include <cstdio>

#include "linalg/linalg.h"
#include "linalg/parallel.h"
#include "linalg/report.h"

namespace {

constexpr int kDefaultPasses = 20;          // used when max_iter == 0
constexpr double kDefaultTolerance = 1e-9;  // used when tol == 0.0
constexpr double kImaginaryWarnLimit = 1e-6;

}  // namespace

namespace tarvo {

double cg_residual_norm(dcomplex rho) {
  if (rho.im > kImaginaryWarnLimit)
    tarvo::report("WARNING: ignoring significant complex value in square root.\n");
  return std::sqrt(rho.re);
}

}  // namespace tarvo

namespace tarvo {

namespace {

constexpr int kRowBlock = 32;

void matmat(const dcomplex* A, int rows, int cols, const dcomplex* X, int count,
            const unsigned char* active, dcomplex* Y) {
  const int blocks = (rows + kRowBlock - 1) / kRowBlock;
  parallel_for(blocks, thread_count(), [&](std::int64_t b, int) {
    const int i0 = static_cast<int>(b) * kRowBlock;
    complex_matmat_rows(A, rows, cols, X, count, active, i0,
                        i0 + kRowBlock < rows ? i0 + kRowBlock : rows, Y);
    return 0;
  });
}

// out[c] = complex_dotc(x_c, y_c, n) for the active columns c0..c1-1 of X and Y (n x count),
// four at a time: each sum takes its terms in index order as complex_dotc does, while the four
// chains of additions overlap.
void dotc_columns(const dcomplex* X, const dcomplex* Y, int n, int c0, int c1,
                  const unsigned char* active, dcomplex* out) {
  int cols[4];
  int k = 0;
  auto run = [&]() {
    dcomplex s[4] = {};
    const dcomplex* x[4];
    const dcomplex* y[4];
    for (int m = 0; m < 4; ++m) {
      const int c = cols[m < k ? m : 0];
      x[m] = X + std::int64_t{c} * n;
      y[m] = Y + std::int64_t{c} * n;
    }
    for (int i = 0; i < n; ++i)
      for (int m = 0; m < 4; ++m) {
        s[m].re += x[m][i].re * y[m][i].re + x[m][i].im * y[m][i].im;
        s[m].im += x[m][i].re * y[m][i].im - x[m][i].im * y[m][i].re;
      }
    for (int m = 0; m < k; ++m) out[cols[m]] = s[m];
    k = 0;
  };
  for (int c = c0; c < c1; ++c) {
    if (!active[c]) continue;
    cols[k++] = c;
    if (k == 4) run();
  }
  if (k > 0) run();
}

}  // namespace

void complex_matmat(const dcomplex* A, int rows, int cols, const dcomplex* X, int count,
                    dcomplex* Y) {
  if (rows <= 0 || count <= 0) return;
  matmat(A, rows, cols, X, count, nullptr, Y);
}

// Conjugate gradients for Hermitian positive definite A, for each system c:
//   r = b - A x, then per pass: rho = r^H r, nu = sqrt(Re rho); stop when tol > nu;
//   p = r + beta p with beta = (nu / nu_prev)^2 (Fletcher-Reeves, 0 on the first pass);
//   q = A p; alpha = nu^2 / (p^H q); x += alpha p; r -= alpha q.
// nu^2 is taken as Re rho itself rather than sqrt(Re rho) squared, so that with A = I the
// first pass has alpha = 1 exactly and lands on x = b without rounding.
int complex_cg_solve_many(const dcomplex* A, int n, int count, const dcomplex* B, dcomplex* X,
                          int max_iter, double tol, dcomplex* panels) {
  const int passes = max_iter == 0 ? kDefaultPasses : max_iter;
  const double eps = tol == 0.0 ? kDefaultTolerance : tol;
  if (n <= 0 || count <= 0) return 0;
  const std::int64_t total = static_cast<std::int64_t>(n) * count;
  buffer<dcomplex> r(alloc_array<dcomplex>(total));
  buffer<dcomplex> p(alloc_array<dcomplex>(total, true));
  buffer<dcomplex> q(alloc_array<dcomplex>(total));
  buffer<dcomplex> t(alloc_array<dcomplex>(total, true));
  buffer<unsigned char> active(alloc_array<unsigned char>(count));
  buffer<double> nu_prev(alloc_array<double>(count, true));
  buffer<dcomplex> rho(alloc_array<dcomplex>(count));
  buffer<dcomplex> pq(alloc_array<dcomplex>(count));
  // A by panels: every pass reads it front to back (its columns are a page apart or more).
  buffer<dcomplex> own;
  if (!panels) {
    own.reset(alloc_array<dcomplex>(panels_size(n, n)));
    panels = own.get();
  }
  if (!r || !p || !q || !t || !active || !nu_prev || !rho || !pq || !panels) {
    tarvo::report("complex_cg_solve: could not alloc work vectors\n");
    return -1;
  }
  const dcomplex one = {1.0, 0.0};
  const dcomplex minus_one = {-1.0, 0.0};
  for (int c = 0; c < count; ++c) active[c] = 1;
  for (std::int64_t i = 0; i < total; ++i) r[i] = B[i];
  complex_pack_panels(A, n, n, panels);
  const int panel_total = static_cast<int>(panel_count(n));

  // Systems c0..c1-1 from start to end. Each system's steps touch its own columns only, and a
  // product gives an element the same bits whatever columns it is formed with, so the systems
  // may be solved in groups.
  auto solve = [&](int c0, int c1, bool rows_on_threads) {
    const std::int64_t o0 = std::int64_t{c0} * n;
    auto product = [&](const dcomplex* in, dcomplex* out) {  // out_c = A in_c, active c
      if (rows_on_threads)
        complex_matmat_panels_on(panels, n, n, in + o0, c1 - c0, active.get() + c0, out + o0,
                                 thread_count());
      else
        complex_matmat_panels(panels, n, n, in + o0, c1 - c0, active.get() + c0, 0, panel_total,
                              out + o0);
    };
    product(X, t.get());
    for (int c = c0; c < c1; ++c)
      complex_axpby(one, r.get() + std::int64_t{c} * n, minus_one, t.get() + std::int64_t{c} * n,
                    n);
    for (int k = 0; k < passes; ++k) {
      dotc_columns(r.get(), r.get(), n, c0, c1, active.get(), rho.get());
      int running = 0;
      for (int c = c0; c < c1; ++c) {
        if (!active[c]) continue;
        dcomplex* rc = r.get() + std::int64_t{c} * n;
        dcomplex* pc = p.get() + std::int64_t{c} * n;
        const double nu = cg_residual_norm(rho[c]);
        if (eps > nu) {
          active[c] = 0;
          continue;
        }
        const double beta = k == 0 ? 0.0 : (nu / nu_prev[c]) * (nu / nu_prev[c]);
        complex_axpby({beta, 0.0}, pc, one, rc, n);
        nu_prev[c] = nu;
        ++running;
      }
      if (running == 0) break;
      product(p.get(), q.get());  // q_c = A p_c, one pass over A for the group
      dotc_columns(p.get(), q.get(), n, c0, c1, active.get(), pq.get());
      for (int c = c0; c < c1; ++c) {
        if (!active[c]) continue;
        const std::int64_t o = std::int64_t{c} * n;
        const dcomplex alpha = complex_div({rho[c].re, 0.0}, pq[c]);
        complex_axpby(one, X + o, alpha, p.get() + o, n);
        complex_axpby(one, r.get() + o, {-alpha.re, -alpha.im}, q.get() + o, n);
      }
    }
  };
  // One group of systems per thread (one parallel loop per solve, not one per pass); a single
  // system spreads the rows of its products instead.
  const int groups = worker_count(count, thread_count());
  if (groups <= 1) {
    solve(0, count, true);
  } else {
    parallel_for(groups, groups, [&](std::int64_t g, int) {
      solve(static_cast<int>(g * count / groups), static_cast<int>((g + 1) * count / groups),
            false);
      return 0;
    });
  }
  return 0;
}

}  // namespace tarvo

int complex_cg_solve(const dcomplex* A, int n, const dcomplex* b, dcomplex* x, int max_iter,
                     double tol) {
  return tarvo::complex_cg_solve_many(A, n, 1, b, x, max_iter, tol);
}
