#include <cmath>
#include <cstdio>

#include "linalg/linalg.h"

namespace {

constexpr int kDefaultPasses = 20;          // used when max_iter == 0
constexpr double kDefaultTolerance = 1e-9;  // used when tol == 0.0
constexpr double kImaginaryWarnLimit = 1e-6;

}  // namespace

namespace tarvo {

double cg_residual_norm(dcomplex rho) {
  if (rho.im > kImaginaryWarnLimit)
    std::fprintf(stderr, "WARNING: ignoring significant complex value in square root.\n");
  return std::sqrt(rho.re);
}

}  // namespace tarvo

// Conjugate gradients for Hermitian positive definite A:
//   r = b - A x, then per pass: rho = r^H r, nu = sqrt(Re rho); stop when tol > nu;
//   p = r + beta p with beta = (nu / nu_prev)^2 (Fletcher-Reeves, 0 on the first pass);
//   q = A p; alpha = nu^2 / (p^H q); x += alpha p; r -= alpha q.
// nu^2 is taken as Re rho itself rather than sqrt(Re rho) squared, so that with A = I the
// first pass has alpha = 1 exactly and lands on x = b without rounding.
int complex_cg_solve(const dcomplex* A, int n, const dcomplex* b, dcomplex* x, int max_iter,
                     double tol) {
  const int passes = max_iter == 0 ? kDefaultPasses : max_iter;
  const double eps = tol == 0.0 ? kDefaultTolerance : tol;

  tarvo::buffer<dcomplex> r(tarvo::alloc_array<dcomplex>(n));
  tarvo::buffer<dcomplex> p(tarvo::alloc_array<dcomplex>(n, true));
  tarvo::buffer<dcomplex> q(tarvo::alloc_array<dcomplex>(n));
  tarvo::buffer<dcomplex> t(tarvo::alloc_array<dcomplex>(n, true));
  if (!r || !p || !q || !t) {
    std::fprintf(stderr, "complex_cg_solve: could not alloc work vectors\n");
    return -1;
  }

  const dcomplex one = {1.0, 0.0};
  const dcomplex minus_one = {-1.0, 0.0};
  for (int i = 0; i < n; ++i) r[i] = b[i];
  complex_matvec(A, x, n, n, t.get());
  complex_axpby(one, r.get(), minus_one, t.get(), n);  // r = b - A x

  double nu_prev = 0.0;
  for (int k = 0; k < passes; ++k) {
    const dcomplex rho = complex_dotc(r.get(), r.get(), n);
    const double nu = tarvo::cg_residual_norm(rho);
    if (eps > nu) break;

    const double beta = k == 0 ? 0.0 : (nu / nu_prev) * (nu / nu_prev);
    complex_axpby({beta, 0.0}, p.get(), one, r.get(), n);  // p = r + beta p
    complex_matvec(A, p.get(), n, n, q.get());             // q = A p
    const dcomplex alpha = complex_div({rho.re, 0.0}, complex_dotc(p.get(), q.get(), n));
    complex_axpby(one, x, alpha, p.get(), n);  // x = x + alpha p
    nu_prev = nu;
    complex_axpby(one, r.get(), {-alpha.re, -alpha.im}, q.get(), n);  // r = r - alpha q
  }
  return 0;
}
