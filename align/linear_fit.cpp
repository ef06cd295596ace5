// Phase unwrapping with a support mask and the weighted straight-line fit of an unwrapped phase.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "align/align.h"
#include "linalg/report.h"

namespace {

// pi and 2 pi of the unwrapping, exactly these decimal values.
constexpr double kPi = 3.141592654;
constexpr double kTwoPi = 6.283185308;

}  // namespace

int unwrap_phase(double* phase, const float* weights, int n) {
  if (n <= 0) return 0;
  tarvo::buffer<double> corr(tarvo::alloc_array<double>(n, true));
  if (!corr) {
    tarvo::report("Error allocation dcorr memory.\n");
    return -1;
  }
  // The first supported sample is compared with sample 0 when that one is supported (it enters
  // the fit), else with the sample just before it.
  int prev = -1;
  for (int k = 1; k < n; ++k) {
    if (weights && !(weights[k] > 0.0f)) continue;
    if (prev < 0) prev = (!weights || weights[0] > 0.0f) ? 0 : k - 1;
    const double d = phase[k] - phase[prev];
    // d wrapped into [-pi, pi), with -pi turned into pi for a positive d.
    const double q = (d + kPi) / kTwoPi;
    double wrapped = (q - std::floor(q)) * kTwoPi - kPi;
    if (wrapped == -kPi && d > 0.0) wrapped = kPi;
    corr[k] = std::fabs(d) > kPi ? wrapped - d : 0.0;
    prev = k;
  }
  // Every sample after a jump, supported or not, takes the accumulated correction.
  double s = 0.0;
  for (int k = 1; k < n; ++k) {
    s += corr[k];
    phase[k] += s;
  }
  return 0;
}

int fit_linear_phase(const dcomplex* u, const float* weights, int n, float* slope_out) {
  *slope_out = 0.0f;
  if (n <= 0) return 0;
  tarvo::buffer<double> phi(tarvo::alloc_array<double>(n));
  if (!phi) {
    tarvo::report("fit_linear_phase: could not alloc phase array\n");
    return -1;
  }
  for (int k = 0; k < n; ++k) phi[k] = std::atan2(u[k].im, u[k].re);
  if (unwrap_phase(phi.get(), weights, n) != 0) return -1;

  // Sums over the supported samples at 1-based positions t.
  int count = 0;
  double st = 0.0, st2 = 0.0, sp = 0.0, stp = 0.0;
  for (int k = 0; k < n; ++k) {
    if (!(weights[k] > 0.0f)) continue;
    const std::int64_t t = k + 1;
    ++count;
    st += static_cast<double>(t);
    st2 += static_cast<double>(t * t);
    sp += phi[k];
    stp += static_cast<double>(t) * phi[k];
  }
  if (count == 0) return 0;  // zero normal matrix: slope 0
  if (count == 1) {
    // [[1, t], [t, t^2]] x = phi (1, t) is singular; its minimum-norm solution is
    // phi (1, t) / (1 + t^2), of slope t phi / (1 + t^2). Rounding in the SVD would turn the
    // zero singular value into noise.
    *slope_out = static_cast<float>(stp / (1.0 + st2));
    return 0;
  }

  // Normal equations [[N, St], [St, St2]] (c, slope) = (Sp, Stp), solved through the SVD.
  double** a = alloc_dmatrix(2, 2);
  double** v = alloc_dmatrix(2, 2);
  double w[2], x[2];
  const double rhs[2] = {sp, stp};
  int status = -1;
  if (a && v) {
    a[0][0] = count;
    a[0][1] = st;
    a[1][0] = st;
    a[1][1] = st2;
    // A status of 1 (no convergence) leaves usable partial results and is not a failure here.
    if (dense_svd(a, 2, 2, w, v) >= 0 && svd_solve(a, w, v, 2, 2, rhs, x) == 0) {
      *slope_out = static_cast<float>(x[1]);
      status = 0;
    }
  } else {
    tarvo::report("fit_linear_phase: could not alloc normal matrix\n");
  }
  free_matrix2d(a);
  free_matrix2d(v);
  return status;
}
