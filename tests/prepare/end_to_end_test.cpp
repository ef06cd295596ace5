// A ramp-sampled dual-polarity acquisition made from the simulated phantom, prepared and then
// corrected, against the correction of the same acquisition sampled on the Cartesian grid.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <vector>

#include "core/core.h"
#include "core/phantom.h"
#include "core/test_util.h"
#include "prepare/prepare.h"
#include "prepare/trajectory.h"

namespace {

using namespace tarvo_test;

// The ghost-corrected coil images of the odd frame (context, interleave, estimation,
// synthesis, as the gateway runs them); empty on failure.
std::vector<dcomplex> corrected_images(const std::vector<dcomplex>& even_k,
                                       const std::vector<dcomplex>& odd_k, int M, int N, int Z,
                                       int L) {
  Volume even(M, N, Z, L, even_k), odd(M, N, Z, L, odd_k);
  Volume D(M, N, Z, L), E(M, N, Z, L);
  CorrectionContext context;
  int status = context_create(&context, &even.record);
  if (!status) status = tarvo_interleave_frames(&even.record, &odd.record, &D.record, 0, &context);
  if (!status) status = estimate_coefficients(&D.record, &context);
  if (!status) status = synthesize_volume(&odd.record, &E.record, &context, 0);
  context_destroy(&context);
  return status ? std::vector<dcomplex>() : E.data;
}

// The raw lines (R x N x Z x L, each in acquisition order) of a Cartesian k-space volume whose
// lines are read at the positions kx, reversed ones backwards. Each line's readout image is
// the centred inverse DFT of its M samples, and a sample at k is sum_p f_p exp(-2 pi i k x_p/M):
// one R x M map, formed in long double.
std::vector<dcomplex> acquire(const std::vector<dcomplex>& kspace, int M,
                              const std::vector<double>& kx,
                              const std::vector<unsigned char>& reversed) {
  const int R = static_cast<int>(kx.size()), N = static_cast<int>(reversed.size()), h = M / 2;
  const long double pi = 3.141592653589793238462643383279L;
  std::vector<std::complex<double>> T(std::size_t(R) * M);
  for (int r = 0; r < R; ++r)
    for (int m = 0; m < M; ++m) {
      std::complex<long double> s = 0;
      for (int p = 0; p < M; ++p)
        s += std::polar(1.0L, 2 * pi * ((m - h) * (long double)(p - h) - kx[r] * (p - h)) / M);
      T[r + std::size_t(R) * m] = {double(s.real() / M), double(s.imag() / M)};
    }
  const std::size_t lines = kspace.size() / M;
  std::vector<dcomplex> raw(lines * R);
  for (std::size_t c = 0; c < lines; ++c)
    for (int r = 0; r < R; ++r) {
      std::complex<double> s = 0;
      for (int m = 0; m < M; ++m)
        s += T[r + std::size_t(R) * m] *
             std::complex<double>(kspace[c * M + m].re, kspace[c * M + m].im);
      raw[c * R + (reversed[c % N] ? R - 1 - r : r)] = {s.real(), s.imag()};
    }
  return raw;
}

std::vector<dcomplex> prepared(const std::vector<dcomplex>& raw, const std::vector<double>& kx,
                               int M, int N, const char* parity) {
  tarvo::ReadoutGrid grid;
  tarvo::PrepareError error;
  std::vector<unsigned char> flags(N);
  const int R = static_cast<int>(kx.size());
  EXPECT_EQ(tarvo::reversed_by_parity(parity, N, flags.data(), &error), 0);
  EXPECT_EQ(grid.build(kx.data(), R, M, &error), 0) << error.message;
  const std::int64_t frames = static_cast<std::int64_t>(raw.size()) / (std::int64_t{R} * N);
  std::vector<dcomplex> out(std::size_t(M) * N * frames);
  EXPECT_EQ(tarvo::prepare_lines(grid, raw.data(), {R, N, frames}, flags.data(), out.data(),
                                 &error),
            0)
      << error.message;
  return out;
}

// The even frame reads its odd lines backwards, the odd frame (polarity reversed) its even
// lines. Prepared with the matching flags, the ghost left after the correction is that of the
// Cartesian acquisition; with the flags swapped the lines are misread and the ghost is not
// removed (the check that the test can tell a wrong preparation).
TEST(PrepareEndToEnd, RampSampledDualPolarityPairIsCorrectedAsWellAsTheCartesianOne) {
  const int M = 64, N = 64, Z = 2, L = 8, R = 109;
  PhantomOptions o;
  o.M = M, o.N = N, o.Z = Z, o.L = L, o.seed = 17;
  const Phantom ph = make_phantom(o);
  const std::vector<double> kx = trapezoid_kx(R, M, 0.4);
  std::vector<unsigned char> odd_lines(N), even_lines(N);
  for (int l = 0; l < N; ++l) odd_lines[l] = l % 2, even_lines[l] = 1 - l % 2;
  const std::vector<dcomplex> raw_even = acquire(ph.even, M, kx, odd_lines);
  const std::vector<dcomplex> raw_odd = acquire(ph.odd, M, kx, even_lines);

  const std::vector<dcomplex> cartesian = corrected_images(ph.even, ph.odd, M, N, Z, L);
  const std::vector<dcomplex> ramp = corrected_images(
      prepared(raw_even, kx, M, N, "odd"), prepared(raw_odd, kx, M, N, "even"), M, N, Z, L);
  const std::vector<dcomplex> swapped = corrected_images(
      prepared(raw_even, kx, M, N, "even"), prepared(raw_odd, kx, M, N, "odd"), M, N, Z, L);
  ASSERT_FALSE(cartesian.empty());
  ASSERT_FALSE(ramp.empty());
  ASSERT_FALSE(swapped.empty());
  const double g_cartesian = ghost_to_signal(cartesian.data(), ph.object, M, N, Z, L);
  const double g_ramp = ghost_to_signal(ramp.data(), ph.object, M, N, Z, L);
  const double g_swapped = ghost_to_signal(swapped.data(), ph.object, M, N, Z, L);
  std::printf("[ ghost    ] ghost-to-signal after correction: Cartesian %.3e, ramp-sampled and "
              "prepared %.3e (ratio %.4f), prepared with the parities swapped %.3e\n",
              g_cartesian, g_ramp, g_ramp / g_cartesian, g_swapped);
  EXPECT_NEAR(g_ramp / g_cartesian, 1.0, 0.1);
  EXPECT_GT(g_swapped, 10 * g_cartesian);
}

}  // namespace
