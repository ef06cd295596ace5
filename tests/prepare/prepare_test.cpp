// Line preparation against independent answers: analytic transforms of Gaussian lines, long-
// double DFTs of pixel objects, bit-exact copies, and a ramp-sampled dual-polarity acquisition
// corrected after preparation against the same acquisition sampled on the Cartesian grid.
#include "prepare/prepare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/phantom.h"
#include "core/tarvo.h"
#include "core/test_util.h"
#include "prepare/trajectory.h"

namespace {

using cplx = std::complex<double>;
using lcplx = std::complex<long double>;
const long double kPi = 3.141592653589793238462643383279L;

std::vector<dcomplex> prepare(const std::vector<double>& kx, int M,
                              const std::vector<dcomplex>& raw, int N,
                              const std::vector<unsigned char>& reversed) {
  tarvo::ReadoutGrid grid;
  tarvo::Error error;
  const int R = static_cast<int>(kx.size());
  EXPECT_EQ(grid.build(kx.data(), R, M, &error), 0) << error.message;
  const std::int64_t frames = static_cast<std::int64_t>(raw.size()) / (std::int64_t{R} * N);
  std::vector<dcomplex> out(std::size_t(M) * N * frames);
  EXPECT_EQ(
      tarvo::prepare_lines(grid, raw.data(), {R, N, frames}, reversed.data(), out.data(), &error),
      0)
      << error.message;
  return out;
}

// max |a - b| / max |b|.
double relative_error(const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
  double err = 0, peak = 0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    err = std::max(err, std::hypot(a[i].re - b[i].re, a[i].im - b[i].im));
    peak = std::max(peak, std::hypot(b[i].re, b[i].im));
  }
  return err / peak;
}

// The transform at k (cycles per field of view of M pixels) of a line holding three Gaussians
// (amplitude a, centre c and width s in pixels from pixel M/2):
//   S(k) = sum a s sqrt(2 pi) exp(-2 pi^2 s^2 k^2 / M^2) exp(-2 pi i k c / M).
dcomplex gaussians(double k, int M) {
  const struct {
    cplx a;
    double c, s;
  } object[] = {{{1.0, 0.3}, -20, 2.5}, {{-0.4, 0.7}, 5, 4}, {{0.6, 0.0}, 18, 5}};
  lcplx sum = 0;
  for (const auto& [a, c, s] : object) {
    const long double nu = k / M;
    sum += lcplx(a.real(), a.imag()) *
           std::polar(s * std::sqrt(2 * kPi) * std::exp(-2 * kPi * kPi * s * s * nu * nu),
                      -2 * kPi * nu * c);
  }
  return {static_cast<double>(sum.real()), static_cast<double>(sum.imag())};
}

// Gaussians well inside the field of view, whose spectrum beyond +-M/2 is below 3e-9 of its
// peak, sampled on a trapezoid readout (R = 1.7 M): the prepared line matches the analytic
// Cartesian samples to that tail (1e-6 leaves room for the fit's rounding). The sweep prints
// error and noise gain against the fraction of samples on the ramps: the flat-top spacing
// M / (R (1 - ramp/2)) passes 1 cycle at ramp 0.82, beyond which the centre of k-space is
// undersampled and the noise gain grows until the grid is refused.
TEST(PrepareAccuracy, RampSampledGaussiansMatchTheirAnalyticCartesianSamples) {
  const int M = 128, R = 218;
  std::vector<dcomplex> exact;
  for (int m = 0; m < M; ++m) exact.push_back(gaussians(m - M / 2, M));
  for (double ramp : {0.0, 0.34, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95}) {
    const std::vector<double> kx = tarvo_test::trapezoid_kx(R, M, ramp);
    tarvo::ReadoutGrid grid;
    tarvo::Error error;
    if (grid.build(kx.data(), R, M, &error) != 0) {
      std::printf("[ accuracy ] M %d, R %d, ramp fraction %.2f: refused (%s)\n", M, R, ramp,
                  error.message);
      EXPECT_GT(ramp, 0.9);
      continue;
    }
    std::vector<dcomplex> line;
    for (double k : kx) line.push_back(gaussians(k, M));
    const double err = relative_error(prepare(kx, M, line, 1, {0}), exact);
    std::printf(
        "[ accuracy ] M %d, R %d, ramp fraction %.2f: max error %.2e of the peak, noise "
        "gain %.2f\n",
        M, R, ramp, err, grid.noise_gain());
    EXPECT_LT(err, 1e-6) << ramp;
    if (ramp <= 0.8) {
      EXPECT_LT(grid.noise_gain(), 1.0) << ramp;  // more samples than outputs average noise down
    }
  }
}

// A line of M pixels is exactly its image's DFT wherever it is sampled: jittered positions for
// an odd M check the centring (x_p = p - floor(M/2)) and signs; huge values at positions beyond
// +-M/2 must take no part.
TEST(PrepareAccuracy, PixelLineIsRecoveredExactlyAndSamplesBeyondTheWindowAreIgnored) {
  const int M = 63;
  std::mt19937 rng(M);
  std::uniform_real_distribution<double> u(-1, 1);
  std::vector<lcplx> f(M);
  for (auto& v : f) v = {u(rng), u(rng)};
  auto line = [&](double k) {
    lcplx s = 0;
    for (int p = 0; p < M; ++p) s += f[p] * std::polar(1.0L, -2 * kPi * k * (p - M / 2) / M);
    return dcomplex{static_cast<double>(s.real()), static_cast<double>(s.imag())};
  };
  std::vector<double> kx = {-34.5, -33.5, -32.5};
  for (int j = 0; j < 2 * M; ++j) kx.push_back(-M / 2.0 + (j + 0.5 + 0.45 * u(rng)) / 2);
  for (double k : {32.5, 33.5, 34.5}) kx.push_back(k);
  std::vector<dcomplex> raw;
  for (double k : kx) raw.push_back(std::fabs(k) > M / 2.0 ? dcomplex{1e6, -1e6} : line(k));
  std::vector<dcomplex> exact;
  for (int m = 0; m < M; ++m) exact.push_back(line(m - M / 2));
  EXPECT_LT(relative_error(prepare(kx, M, raw, 1, {0}), exact), 1e-11);
}

// Reversed lines by parity name (the copies and flips themselves are checked through
// tarvo.prepare and tarvo_prepare), and the one failure the bindings cannot reach: a grid that
// was never built.
TEST(PrepareLines, ParityNamesAndAnUnbuiltGrid) {
  tarvo::Error error;
  for (const char* parity : {"even", "odd"}) {
    std::vector<unsigned char> flags(5);
    ASSERT_EQ(tarvo::reversed_by_parity(parity, 5, flags.data(), &error), 0);
    EXPECT_EQ(flags,
              (std::vector<unsigned char>{parity[0] == 'e', parity[0] == 'o', parity[0] == 'e',
                                          parity[0] == 'o', parity[0] == 'e'}));
  }
  tarvo::ReadoutGrid unbuilt;
  std::vector<dcomplex> raw(4), out(4);
  unsigned char flags[1] = {0};
  EXPECT_EQ(tarvo::prepare_lines(unbuilt, raw.data(), {4, 1, 1}, flags, out.data(), &error), -1);
  EXPECT_EQ(std::string(error.what) + ": " + error.message,
            "kx: the readout grid has not been built");
}

// The raw lines (R x N x Z x L, in acquisition order) of a Cartesian volume read at the
// positions kx, reversed lines backwards: each line's image is the centred inverse DFT of its M
// samples, and its sample at k is sum_p f_p exp(-2 pi i k x_p / M) (one R x M map, long double).
std::vector<dcomplex> acquire(const std::vector<dcomplex>& kspace, int M,
                              const std::vector<double>& kx, int N, int reversed_parity) {
  const int R = static_cast<int>(kx.size()), h = M / 2;
  std::vector<cplx> T(std::size_t(R) * M);
  for (int r = 0; r < R; ++r)
    for (int m = 0; m < M; ++m) {
      lcplx s = 0;
      for (int p = 0; p < M; ++p)
        s += std::polar(1.0L, 2 * kPi * ((m - h) * (long double)(p - h) - kx[r] * (p - h)) / M);
      T[r + std::size_t(R) * m] = {double(s.real() / M), double(s.imag() / M)};
    }
  std::vector<dcomplex> raw(kspace.size() / M * R);
  for (std::size_t c = 0; c < kspace.size() / M; ++c)
    for (int r = 0; r < R; ++r) {
      cplx s = 0;
      for (int m = 0; m < M; ++m)
        s += T[r + std::size_t(R) * m] * cplx(kspace[c * M + m].re, kspace[c * M + m].im);
      raw[c * R + (int(c % N) % 2 == reversed_parity ? R - 1 - r : r)] = {s.real(), s.imag()};
    }
  return raw;
}

// Ghost-to-signal ratio of the odd frame's images after the correction (negative on failure).
double ghost_after_correction(std::vector<dcomplex> even, std::vector<dcomplex> odd,
                              const tarvo_test::Phantom& ph) {
  tarvo_test::Volume A(ph.M, ph.N, ph.Z, ph.L, std::move(even));
  tarvo_test::Volume B(ph.M, ph.N, ph.Z, ph.L, std::move(odd)), E(ph.M, ph.N, ph.Z, ph.L);
  tarvo::Calibration calibration;
  tarvo::Status status;
  if (tarvo::correct(A.record, B.record, nullptr, &E.record, nullptr, &calibration, &status))
    return -1;
  return tarvo_test::ghost_to_signal(E.data.data(), ph.object, ph.M, ph.N, ph.Z, ph.L);
}

// The even frame reads its odd lines backwards, the odd frame (polarity reversed) its even
// lines. Prepared with the matching flags, the ghost left after the correction is that of the
// Cartesian acquisition; with the flags swapped it is not removed (the test can tell).
TEST(PrepareEndToEnd, RampSampledDualPolarityPairIsCorrectedAsWellAsTheCartesianOne) {
  tarvo_test::PhantomOptions o;
  o.M = 64, o.N = 64, o.Z = 2, o.L = 8, o.seed = 17;
  const tarvo_test::Phantom ph = tarvo_test::make_phantom(o);
  const int M = o.M, N = o.N;
  const std::vector<double> kx = tarvo_test::trapezoid_kx(109, M, 0.4);
  const std::vector<dcomplex> raw_even = acquire(ph.even, M, kx, N, 1);
  const std::vector<dcomplex> raw_odd = acquire(ph.odd, M, kx, N, 0);
  std::vector<unsigned char> odd_lines(N), even_lines(N);
  for (int l = 0; l < N; ++l) odd_lines[l] = l % 2, even_lines[l] = 1 - l % 2;

  const double cartesian = ghost_after_correction(ph.even, ph.odd, ph);
  const double ramp = ghost_after_correction(prepare(kx, M, raw_even, N, odd_lines),
                                             prepare(kx, M, raw_odd, N, even_lines), ph);
  const double swapped = ghost_after_correction(prepare(kx, M, raw_even, N, even_lines),
                                                prepare(kx, M, raw_odd, N, odd_lines), ph);
  std::printf(
      "[ ghost    ] ghost-to-signal after correction: Cartesian %.3e, ramp-sampled and "
      "prepared %.3e (ratio %.4f), prepared with the parities swapped %.3e\n",
      cartesian, ramp, ramp / cartesian, swapped);
  ASSERT_GT(cartesian, 0);
  EXPECT_NEAR(ramp / cartesian, 1.0, 0.1);
  EXPECT_GT(swapped, 10 * cartesian);
}

}  // namespace
