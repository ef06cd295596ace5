#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "prepare/prepare.h"
#include "prepare/trajectory.h"

namespace {

using tarvo::LineExtents;
using tarvo::PrepareError;
using tarvo::ReadoutGrid;
using tarvo_test::Gaussian;
using tarvo_test::gaussian_line;
using tarvo_test::trapezoid_kx;

// Prepares lines (R x N x frames) with the given flags; fails the test on an error.
std::vector<dcomplex> prepare(const std::vector<double>& kx, int M, const std::vector<dcomplex>& raw,
                              int N, const std::vector<unsigned char>& reversed) {
  ReadoutGrid grid;
  PrepareError error;
  const int R = static_cast<int>(kx.size());
  EXPECT_EQ(grid.build(kx.data(), R, M, &error), 0) << error.message;
  const std::int64_t frames = static_cast<std::int64_t>(raw.size()) / (std::int64_t{R} * N);
  std::vector<dcomplex> out(static_cast<std::size_t>(M) * N * frames, dcomplex{-1, -1});
  EXPECT_EQ(tarvo::prepare_lines(grid, raw.data(), {R, N, frames}, reversed.data(), out.data(),
                                 &error),
            0)
      << error.message;
  return out;
}

// Largest |a - b| over the largest |b|.
double relative_error(const std::vector<dcomplex>& a, const std::vector<std::complex<double>>& b) {
  double err = 0, peak = 0;
  for (std::size_t i = 0; i < b.size(); ++i) {
    err = std::max(err, std::abs(std::complex<double>(a[i].re, a[i].im) - b[i]));
    peak = std::max(peak, std::abs(b[i]));
  }
  return err / peak;
}

const std::vector<Gaussian> kObject = {
    {{1.0, 0.3}, -20.0, 2.5}, {{-0.4, 0.7}, 5.0, 4.0}, {{0.6, 0.0}, 18.0, 5.0}};

// Analytic samples of kObject at kx (one line), and at the output grid of M samples.
std::vector<dcomplex> sampled(const std::vector<double>& kx, int M) {
  std::vector<dcomplex> s;
  for (double k : kx) {
    const std::complex<double> v = gaussian_line(kObject, k, M);
    s.push_back({v.real(), v.imag()});
  }
  return s;
}
std::vector<std::complex<double>> cartesian(int M) {
  std::vector<std::complex<double>> s;
  for (int m = 0; m < M; ++m) s.push_back(gaussian_line(kObject, m - M / 2, M));
  return s;
}

// A band-limited object (Gaussians, spectrum below 3e-9 of its peak beyond +-M/2, negligible
// outside the field of view) sampled on a trapezoid readout with 40 % of the samples on the
// ramps, R = 1.7 M: the prepared line matches the analytic Cartesian samples. The sweep prints
// the error and the noise gain against the ramp fraction: the flat-top spacing
// M / (R (1 - ramp/2)) passes 1 cycle at ramp 0.82, beyond which the centre of k-space is
// undersampled and the gain grows until the grid is refused.
TEST(PrepareAccuracy, RampSampledGaussiansMatchTheirAnalyticCartesianSamples) {
  const int M = 128, R = 218;
  for (double ramp : {0.0, 0.34, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95}) {
    const std::vector<double> kx = trapezoid_kx(R, M, ramp);
    ReadoutGrid grid;
    PrepareError error;
    if (grid.build(kx.data(), R, M, &error) != 0) {
      std::printf("[ accuracy ] M %d, R %d, ramp fraction %.2f: refused (%s)\n", M, R, ramp,
                  error.message);
      EXPECT_GT(ramp, 0.9);
      continue;
    }
    const double err = relative_error(prepare(kx, M, sampled(kx, M), 1, {0}), cartesian(M));
    std::printf("[ accuracy ] M %d, R %d, ramp fraction %.2f: max error %.2e of the peak, noise "
                "gain %.2f\n",
                M, R, ramp, err, grid.noise_gain());
    EXPECT_LT(err, 1e-6) << ramp;
    if (ramp <= 0.8) {
      EXPECT_LT(grid.noise_gain(), 1.0) << ramp;  // more samples than outputs average noise down
    }
  }
}

// A line made of M pixels, sampled anywhere in the window, is exactly its image's uniform DFT:
// independent check of the centring (x_p = p - floor(M/2)) and signs, for even and odd M.
TEST(PrepareAccuracy, PixelObjectsAreRecoveredExactlyFromAnyPositions) {
  for (int M : {16, 63}) {
    std::mt19937 rng(M);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<std::complex<long double>> f(M);
    for (auto& v : f) v = {u(rng), u(rng)};
    const long double pi = 3.141592653589793238462643383279L;
    auto line = [&](double k) {
      std::complex<long double> s = 0;
      for (int p = 0; p < M; ++p) s += f[p] * std::polar(1.0L, -2 * pi * k * (p - M / 2) / M);
      return std::complex<double>(static_cast<double>(s.real()), static_cast<double>(s.imag()));
    };
    std::vector<double> kx;
    for (int j = 0; j < 2 * M; ++j) kx.push_back(-M / 2.0 + M * (j + u(rng) * 0.45 + 0.5) / (2 * M));
    std::vector<dcomplex> raw;
    for (double k : kx) raw.push_back({line(k).real(), line(k).imag()});
    std::vector<std::complex<double>> expected;
    for (int m = 0; m < M; ++m) expected.push_back(line(m - M / 2));
    EXPECT_LT(relative_error(prepare(kx, M, raw, 1, {0}), expected), 1e-11) << M;
  }
}

// Samples beyond +-M/2 take no part: however large, the output is that of the grid without them.
TEST(PrepareAccuracy, SamplesBeyondTheWindowAreIgnored) {
  const int M = 32;
  const std::vector<double> wide = trapezoid_kx(70, M, 0.4, 1.5);
  std::vector<double> inner;
  std::vector<dcomplex> raw_wide = sampled(wide, M), raw_inner;
  for (std::size_t j = 0; j < wide.size(); ++j) {
    if (std::fabs(wide[j]) <= M / 2.0) {
      inner.push_back(wide[j]);
      raw_inner.push_back(raw_wide[j]);
    } else {
      raw_wide[j] = {1e6, -1e6};
    }
  }
  ASSERT_LT(inner.size(), wide.size());
  const std::vector<dcomplex> a = prepare(wide, M, raw_wide, 1, {0});
  const std::vector<dcomplex> b = prepare(inner, M, raw_inner, 1, {0});
  std::vector<std::complex<double>> bc;
  for (const dcomplex& v : b) bc.push_back({v.re, v.im});
  EXPECT_LT(relative_error(a, bc), 1e-12);
}

// On the uniform grid lines are copied, reversed ones flipped, bit for bit (odd M included).
// On a ramp grid a reversed line is read as the forward line's samples in reverse order, for
// either parity: every output line equals the forward preparation of the same object.
TEST(PrepareLines, ReversedLinesOfEitherParityAreReadBackwards) {
  for (const char* parity : {"even", "odd"}) {
    const int N = 5, frames = 3;
    std::vector<unsigned char> flags(N);
    PrepareError error;
    ASSERT_EQ(tarvo::reversed_by_parity(parity, N, flags.data(), &error), 0);
    EXPECT_EQ(flags[0], parity[0] == 'e' ? 1 : 0);
    EXPECT_EQ(flags[1], parity[0] == 'e' ? 0 : 1);

    for (int M : {8, 7}) {  // pass-through
      std::vector<double> kx;
      for (int j = 0; j < M; ++j) kx.push_back(j - M / 2);
      std::vector<dcomplex> raw(std::size_t(M) * N * frames);
      for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = {0.1 * i + 1e-17, -1.0 / (i + 3)};
      const std::vector<dcomplex> out = prepare(kx, M, raw, N, flags);
      for (std::size_t c = 0; c < raw.size() / M; ++c)
        for (int j = 0; j < M; ++j) {
          const dcomplex want = raw[c * M + (flags[c % N] ? M - 1 - j : j)];
          const dcomplex got = out[c * M + j];
          ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << parity << " M " << M;
        }
    }

    const int M = 32, R = 55;  // resampled
    const std::vector<double> kx = trapezoid_kx(R, M, 0.4);
    const std::vector<dcomplex> line = sampled(kx, M);
    std::vector<dcomplex> raw;
    for (int c = 0; c < N * frames; ++c)
      for (int j = 0; j < R; ++j) raw.push_back(line[flags[c % N] ? R - 1 - j : j]);
    const std::vector<dcomplex> out = prepare(kx, M, raw, N, flags);
    const std::vector<dcomplex> one = prepare(kx, M, line, 1, {0});
    std::vector<std::complex<double>> expected;
    for (int c = 0; c < N * frames; ++c)
      for (const dcomplex& v : one) expected.push_back({v.re, v.im});
    EXPECT_LT(relative_error(out, expected), 1e-13) << parity;
  }
}

// Every refusal, with its identifier and exact message.
TEST(PrepareErrors, EveryBadInputIsRefusedWithItsMessage) {
  struct Case {
    std::vector<double> kx;
    int M;
    std::string id, message;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {{-1, 0}, 0, "M", "M must be a whole number from 1 to 1024 (got 0)"},
      {{-1, 0}, 1025, "M", "M must be a whole number from 1 to 1024 (got 1025)"},
      {{}, 2, "kx", "kx must hold one position per sample (it is empty)"},
      {std::vector<double>(17, 0.0), 2, "kx",
       "kx has 17 positions; at most 16 (8 times M = 2) are supported"},
      {{-1, nan, 1}, 2, "kx", "kx must hold finite values (value 2 of 3 is NaN)"},
      {{-1, 0, -inf}, 2, "kx", "kx must hold finite values (value 3 of 3 is Inf)"},
      {{-1, 0, 0}, 2, "kx",
       "kx must be strictly increasing (value 3, 0, is not above value 2, 0)"},
      {{-1, 0.5, 0.25}, 2, "kx",
       "kx must be strictly increasing (value 3, 0.25, is not above value 2, 0.5)"},
      {{-3, -1, 0.5, 3}, 4, "kx",
       "only 2 of the 4 kx positions lie within -M/2 .. M/2 (M = 4); at least M are needed"},
      // -2 and +2 are the same image component for M = 4: three distinct positions for four.
      {{-2, -1, 0, 2}, 4, "kx",
       "the kx positions do not determine 4 uniform samples (the least-squares fit is singular: "
       "too few distinct positions or too wide gaps)"},
  };
  // Too sparse: 16 samples on a ramp readout for 16 outputs leave the centre undersampled.
  {
    const std::vector<double> kx = trapezoid_kx(16, 16, 0.7);
    ReadoutGrid grid;
    PrepareError error;
    EXPECT_EQ(grid.build(kx.data(), 16, 16, &error), -1);
    const std::string message = error.message;
    const std::string head =
        "the kx positions sample k-space too sparsely for M = 16: resampling would amplify noise ";
    const std::string tail =
        "-fold (at most 10 is accepted; neighbouring positions more than 1 apart are the usual "
        "cause)";
    EXPECT_EQ(std::string(error.id), "kx");
    EXPECT_EQ(message.substr(0, head.size()), head);
    ASSERT_GT(message.size(), head.size() + tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
    EXPECT_GT(std::stod(message.substr(head.size())), 10.0);
  }
  for (const Case& c : cases) {
    ReadoutGrid grid;
    PrepareError error;
    EXPECT_EQ(grid.build(c.kx.data(), static_cast<int>(c.kx.size()), c.M, &error), -1);
    EXPECT_EQ(std::string(error.id), c.id);
    EXPECT_EQ(std::string(error.message), c.message);
    EXPECT_EQ(grid.samples(), 0);
  }

  unsigned char flags[3] = {7, 7, 7};
  PrepareError error;
  EXPECT_EQ(tarvo::reversed_by_parity("Even", 3, flags, &error), -1);
  EXPECT_EQ(std::string(error.id), "reversed");
  EXPECT_EQ(std::string(error.message),
            "reversed must be a logical vector with one value per line or 'even' or 'odd' (got "
            "'Even')");
  EXPECT_EQ(flags[0], 7);
  EXPECT_EQ(tarvo::reversed_by_parity(std::string(50, 'x').c_str(), 3, flags, &error), -1);
  EXPECT_EQ(std::string(error.message),
            "reversed must be a logical vector with one value per line or 'even' or 'odd' (got '" +
                std::string(40, 'x') + "'...)");
  EXPECT_EQ(tarvo::check_reversed_count(4, 3, &error), -1);
  EXPECT_EQ(std::string(error.message),
            "reversed has 4 values but raw has 3 lines; it needs one value per line");
  EXPECT_EQ(tarvo::check_reversed_count(3, 3, &error), 0);

  const std::vector<double> kx = trapezoid_kx(12, 8, 0.4);
  ReadoutGrid grid;
  std::vector<dcomplex> raw(12 * 3), out(8 * 3, dcomplex{5, 5});
  EXPECT_EQ(tarvo::prepare_lines(grid, raw.data(), {12, 3, 1}, flags, out.data(), &error), -1);
  EXPECT_EQ(std::string(error.message), "the readout grid has not been built");
  ASSERT_EQ(grid.build(kx.data(), 12, 8, &error), 0);
  EXPECT_EQ(tarvo::prepare_lines(grid, raw.data(), {11, 3, 1}, flags, out.data(), &error), -1);
  EXPECT_EQ(std::string(error.id), "kx");
  EXPECT_EQ(std::string(error.message),
            "kx has 12 values but raw has 11 samples per line; kx needs one value per sample");
  EXPECT_EQ(tarvo::prepare_lines(grid, raw.data(), {12, 3, 0}, flags, out.data(), &error), -1);
  EXPECT_EQ(std::string(error.id), "raw");
  EXPECT_EQ(std::string(error.message), "raw must not be empty (it is 12 x 3 x 0 after folding)");
  for (const dcomplex& v : out) EXPECT_EQ(v.re, 5.0);
}

// Each allocation of a grid failing in turn: the build reports it and leaves the grid empty
// (the sanitizer build checks that nothing leaks).
TEST(PrepareErrors, EveryAllocationFailureOfTheGridIsReported) {
  const std::vector<double> kx = trapezoid_kx(40, 24, 0.4);
  for (long k = 1;; ++k) {
    ReadoutGrid grid;
    PrepareError error;
    tarvo::alloc_fail_at(k);
    const int status = grid.build(kx.data(), 40, 24, &error);
    const bool failed_here = !tarvo::alloc_fail_armed();
    tarvo::alloc_fail_at(0);
    if (!failed_here) {
      EXPECT_EQ(status, 0);
      EXPECT_GT(k, 3);
      break;
    }
    EXPECT_EQ(status, -1);
    EXPECT_EQ(std::string(error.id), "memory");
    EXPECT_EQ(std::string(error.message), "not enough memory for the 24 x 40 resampling matrix");
    EXPECT_EQ(grid.samples(), 0);
  }
}

}  // namespace
