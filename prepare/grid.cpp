// The resampling map of a readout trajectory: P = F (G + lambda I)^-1 A^H (see prepare.h).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "linalg/parallel.h"
#include "prepare/internal.h"
#include "prepare/prepare.h"

namespace tarvo {

using prepare_detail::clear_error;
using prepare_detail::fail;

namespace {

constexpr long double kTwoPi = 6.283185307179586476925286766559L;

// exp(i 2 pi t) with t reduced to its fractional part first, so that large k*x products keep
// their accuracy.
dcomplex unit(long double t) {
  const long double a = kTwoPi * (t - std::rint(t));
  return {static_cast<double>(std::cos(a)), static_cast<double>(std::sin(a))};
}

// Steps between exactly computed phases in phase_run. Between them a phase is the previous one
// times the step, in long double: each product adds about 1e-19 of relative error, so a run
// of kPhaseRun steps stays far below the rounding of the double result.
constexpr int kPhaseRun = 32;

// sink(n, re, im) for n = 0 .. count-1 with re + i im = exp(2 pi i nu (n0 + n)), in long double:
// one cosine and sine per kPhaseRun phases instead of one per phase.
template <class Sink>
void phase_run(long double nu, int n0, int count, Sink&& sink) {
  const long double a = kTwoPi * (nu - std::rint(nu));
  const long double sr = std::cos(a), si = std::sin(a);
  for (int start = 0; start < count; start += kPhaseRun) {
    const long double t = nu * (n0 + start);
    const long double b = kTwoPi * (t - std::rint(t));
    long double re = std::cos(b), im = std::sin(b);
    const int end = std::min(count, start + kPhaseRun);
    for (int n = start; n < end; ++n) {
      sink(n, re, im);
      const long double r = re * sr - im * si;
      im = re * si + im * sr;
      re = r;
    }
  }
}

// Cholesky factor of the Hermitian n x n matrix held in G (column-major, lower triangle read):
// G = C C^H with C lower triangular, written over the lower triangle. Sums in long double.
// Returns false when a squared pivot is not above `floor`. Every squared pivot is at least the
// smallest eigenvalue of G, so a tiny one means G is (numerically) singular.
bool cholesky(dcomplex* G, int n, double floor) {
  const std::int64_t ld = n;
  for (int j = 0; j < n; ++j) {
    long double d = G[j + ld * j].re;
    for (int k = 0; k < j; ++k) {
      const dcomplex c = G[j + ld * k];
      d -= static_cast<long double>(c.re) * c.re + static_cast<long double>(c.im) * c.im;
    }
    if (!(d > floor) || !std::isfinite(static_cast<double>(d))) return false;
    const long double pivot = std::sqrt(d);
    G[j + ld * j] = {static_cast<double>(pivot), 0.0};
    for (int i = j + 1; i < n; ++i) {
      // C(i, j) = (G(i, j) - sum_k C(i, k) conj(C(j, k))) / C(j, j)
      long double re = G[i + ld * j].re, im = G[i + ld * j].im;
      for (int k = 0; k < j; ++k) {
        const dcomplex a = G[i + ld * k], b = G[j + ld * k];
        re -= static_cast<long double>(a.re) * b.re + static_cast<long double>(a.im) * b.im;
        im -= static_cast<long double>(a.im) * b.re - static_cast<long double>(a.re) * b.im;
      }
      G[i + ld * j] = {static_cast<double>(re / pivot), static_cast<double>(im / pivot)};
    }
  }
  return true;
}

// y <- (C C^H)^-1 y for the factor C of cholesky(): C z = y, then C^H y = z (double sums; the
// factor carries the long-double accuracy).
void cholesky_solve(const dcomplex* C, int n, dcomplex* y) {
  const std::int64_t ld = n;
  for (int k = 0; k < n; ++k) {  // forward substitution by columns of C
    const double d = C[k + ld * k].re;
    const dcomplex yk = {y[k].re / d, y[k].im / d};
    y[k] = yk;
    const dcomplex* c = C + ld * k;
    for (int i = k + 1; i < n; ++i) {
      y[i].re -= c[i].re * yk.re - c[i].im * yk.im;
      y[i].im -= c[i].re * yk.im + c[i].im * yk.re;
    }
  }
  for (int i = n - 1; i >= 0; --i) {  // back substitution by rows of C^H = columns of C
    const dcomplex* c = C + ld * i;
    double re = y[i].re, im = y[i].im;
    for (int k = i + 1; k < n; ++k) {  // conj(C(k, i)) y(k)
      re -= c[k].re * y[k].re + c[k].im * y[k].im;
      im -= c[k].re * y[k].im - c[k].im * y[k].re;
    }
    const double d = c[i].re;
    y[i] = {re / d, im / d};
  }
}

}  // namespace

namespace {

// 0 when the R positions kx can map onto M samples (*inside: how many lie within -M/2 .. M/2),
// else -1 with *error set.
int check_positions(const double* kx, int R, int M, int* inside, Error* error) {
  if (M < 1 || M > kMaxPreparedLength)
    return fail(error, "M", "M must be a whole number from 1 to %d (got %d)", kMaxPreparedLength,
                M);
  if (R < 1) return fail(error, "kx", "kx must hold one position per sample (it is empty)");
  if (R > kMaxSamplesPerOutput * M)
    return fail(error, "kx", "kx has %d positions; at most %d (%d times M = %d) are supported", R,
                kMaxSamplesPerOutput * M, kMaxSamplesPerOutput, M);
  for (int j = 0; j < R; ++j)
    if (!std::isfinite(kx[j]))
      return fail(error, "kx", "kx must hold finite values (value %d of %d is %s)", j + 1, R,
                  std::isnan(kx[j]) ? "NaN" : "Inf");
  for (int j = 1; j < R; ++j)
    if (!(kx[j] > kx[j - 1]))
      return fail(error, "kx",
                  "kx must be strictly increasing (value %d, %.17g, is not above value %d, %.17g)",
                  j + 1, kx[j], j, kx[j - 1]);
  const double half = 0.5 * M;
  *inside = 0;
  for (int j = 0; j < R; ++j) *inside += std::fabs(kx[j]) <= half ? 1 : 0;
  if (*inside < M)
    return fail(error, "kx",
                "only %d of the %d kx positions lie within -M/2 .. M/2 (M = %d); at least M are "
                "needed",
                *inside, R, M);
  return 0;
}

// G(p, q) = sum_r exp(2 pi i kx_r (p - q) / M) + lambda [p == q] over the `inside` samples
// within the window (M x M, lower triangle): Toeplitz, from g(d) = sum_r exp(2 pi i kx_r d / M),
// d = 0 .. M-1, summed in long double. lambda = 1e-12 trace(G) / M, the mean eigenvalue.
buffer<dcomplex> regularised_gram(const double* kx, int R, int M, int inside) {
  buffer<dcomplex> G = make_buffer<dcomplex>(static_cast<std::int64_t>(M) * M);
  buffer<long double> g = make_buffer<long double>(2 * static_cast<std::int64_t>(M), true);
  long double* g_re = g.get();
  long double* g_im = g.get() + M;
  const double half = 0.5 * M;
  for (int j = 0; j < R; ++j) {
    if (std::fabs(kx[j]) > half) continue;
    phase_run(static_cast<long double>(kx[j]) / M, 0, M,
              [&](int d, long double re, long double im) {
                g_re[d] += re;
                g_im[d] += im;
              });
  }
  const double lambda = 1e-12 * inside;
  for (int q = 0; q < M; ++q)
    for (int p = q; p < M; ++p)
      G[p + static_cast<std::int64_t>(M) * q] = {static_cast<double>(g_re[p - q]),
                                                 static_cast<double>(g_im[p - q])};
  for (int p = 0; p < M; ++p) G[p + static_cast<std::int64_t>(M) * p].re += lambda;
  return G;
}

// Z = (G^-1 F^H)^H written over G (its Cholesky factor C on entry; G is Hermitian): M solves.
// Column m of F^H is exp(2 pi i (m - h)(p - h) / M) over p, h = M/2, the product reduced modulo
// M in integers so that every entry is accurate to rounding.
void inverse_times_dft(dcomplex* G, int M) {
  const int h = M / 2;
  buffer<dcomplex> roots = make_buffer<dcomplex>(M);  // exp(2 pi i t / M), t = 0 .. M-1
  for (int t = 0; t < M; ++t) roots[t] = unit(static_cast<long double>(t) / M);
  buffer<dcomplex> W = make_buffer<dcomplex>(static_cast<std::int64_t>(M) * M);
  parallel_for(M, thread_count(), [&](std::int64_t m, int) {
    dcomplex* w = W.get() + m * M;
    for (int p = 0; p < M; ++p) {
      std::int64_t t = ((m - h) * static_cast<std::int64_t>(p - h)) % M;
      if (t < 0) t += M;
      w[p] = roots[t];
    }
    cholesky_solve(G, M, w);
    return 0;
  });
  // Z(m, p) = conj(W(p, m)).
  for (int p = 0; p < M; ++p)
    for (int m = 0; m < M; ++m) {
      const dcomplex w = W[p + static_cast<std::int64_t>(M) * m];
      G[m + static_cast<std::int64_t>(M) * p] = {w.re, -w.im};
    }
}

// A^H (M x R): column r is exp(2 pi i kx_r x_p / M), x_p = p - M/2; zero outside the window.
buffer<dcomplex> sample_phases(const double* kx, int R, int M) {
  buffer<dcomplex> AH = make_buffer<dcomplex>(static_cast<std::int64_t>(M) * R);
  const double half = 0.5 * M;
  parallel_for(R, thread_count(), [&](std::int64_t r, int) {
    dcomplex* a = AH.get() + r * M;
    if (std::fabs(kx[r]) > half) {
      for (int p = 0; p < M; ++p) a[p] = {0.0, 0.0};
      return 0;
    }
    phase_run(static_cast<long double>(kx[r]) / M, -(M / 2), M,
              [&](int p, long double re, long double im) {
                a[p] = {static_cast<double>(re), static_cast<double>(im)};
              });
    return 0;
  });
  return AH;
}

// max_m ||P(m, :)||_2 of the M x R map P: white noise of unit variance on the samples comes
// out of output sample m with variance ||P(m, :)||^2.
double noise_gain_of(const dcomplex* P, int M, int R) {
  double gain = 0.0;
  for (int m = 0; m < M; ++m) {
    double sum = 0.0;
    for (int r = 0; r < R; ++r) {
      const dcomplex v = P[m + static_cast<std::int64_t>(M) * r];
      sum += v.re * v.re + v.im * v.im;
    }
    gain = std::max(gain, std::sqrt(sum));
  }
  return gain;
}

}  // namespace

int ReadoutGrid::build(const double* kx, int R, int M, Error* error) {
  *this = ReadoutGrid();
  clear_error(error);
  int inside = 0;
  if (check_positions(kx, R, M, &inside, error) != 0) return -1;
  const int h = M / 2;
  bool uniform = R == M;
  for (int j = 0; uniform && j < R; ++j) uniform = kx[j] == static_cast<double>(j - h);
  if (uniform) {
    samples_ = R, length_ = M, pass_through_ = true, noise_gain_ = 1.0;
    return 0;
  }

  try {
    const std::int64_t MR = static_cast<std::int64_t>(M) * R;
    buffer<dcomplex> G = regularised_gram(kx, R, M, inside);
    // A squared pivot near lambda: some image component is not seen by the samples (too few
    // distinct positions modulo M, or wide gaps), and the fit would be made up by the
    // regularisation.
    if (!cholesky(G.get(), M, 1e-9 * inside))
      return fail(error, "kx",
                  "the kx positions do not determine %d uniform samples (the least-squares fit "
                  "is singular: too few distinct positions or too wide gaps)",
                  M);
    // P = F G^-1 A^H = Z A^H.
    inverse_times_dft(G.get(), M);
    buffer<dcomplex> AH = sample_phases(kx, R, M);
    buffer<dcomplex> forward = make_buffer<dcomplex>(MR);
    buffer<dcomplex> backward = make_buffer<dcomplex>(MR);
    complex_matmat(G.get(), M, M, AH.get(), R, forward.get());
    for (int r = 0; r < R; ++r)
      for (int m = 0; m < M; ++m)
        backward[m + static_cast<std::int64_t>(M) * (R - 1 - r)] =
            forward[m + static_cast<std::int64_t>(M) * r];
    // A large gain means the samples do not determine the image stably (the regularisation
    // then decides what the output holds).
    const double gain = noise_gain_of(forward.get(), M, R);
    if (!(gain <= kMaxNoiseGain))
      return fail(error, "kx",
                  "the kx positions sample k-space too sparsely for M = %d: resampling would "
                  "amplify noise %.3g-fold (at most %g is accepted; neighbouring positions more "
                  "than 1 apart are the usual cause)",
                  M, gain, kMaxNoiseGain);
    samples_ = R, length_ = M, noise_gain_ = gain;
    forward_ = std::move(forward);
    backward_ = std::move(backward);
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(error, "memory", "not enough memory for the %d x %d resampling matrix", M, R);
  }
}

}  // namespace tarvo
