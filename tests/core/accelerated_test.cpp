// Accelerated frames: the kernels of every spacing, the bounded fit of a calibration block, and
// the layouts apply takes or refuses.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/phantom.h"
#include "core/tarvo.h"
#include "core/test_util.h"

namespace {

using namespace tarvo_test;
using cd = std::complex<double>;

// A frame acquired on `lines` with the readout polarity alternating from one acquired line to
// the next (taken from the even or odd frame of the phantom, whichever had that polarity), the
// other lines zero.
std::vector<dcomplex> zero_filled(const Phantom& ph, const std::vector<int>& lines) {
  std::vector<dcomplex> t(ph.even.size(), dcomplex{0, 0});
  const std::size_t M = ph.M, N = ph.N;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int l = lines[i];
    const auto& from = ((l % 2 == 0) == (i % 2 == 0)) ? ph.even : ph.odd;
    for (std::size_t f = 0; f < std::size_t(ph.Z) * ph.L; ++f)
      std::memcpy(&t[(f * N + l) * M], &from[(f * N + l) * M], M * sizeof(dcomplex));
  }
  return t;
}

std::vector<int> every(int R, int N, int first = 0) {
  std::vector<int> v;
  for (int l = first; l < N; l += R) v.push_back(l);
  return v;
}

Phantom small_phantom(int N = 32, int L = 3) {
  PhantomOptions o;
  o.M = 32, o.N = N, o.Z = 2, o.L = L, o.d = 0.3, o.e = 0.01, o.seed = 3;
  return make_phantom(o);
}

bool same_bits(const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(dcomplex)) == 0;
}

// With every line acquired, detected or given, apply is the whole call bit for bit; kernels
// handed back (P x Z of them) give the calibration's E again, also as a series with a
// partial-Fourier frame and on more lines than the pair has.
TEST(Accelerated, EveryLineIsTheWholeCallAndKernelsRebuildTheCorrection) {
  const Phantom ph = small_phantom();
  Volume even(ph.M, ph.N, ph.Z, ph.L, ph.even), odd(ph.M, ph.N, ph.Z, ph.L, ph.odd);
  Volume whole(ph.M, ph.N, ph.Z, ph.L), given(ph.M, ph.N, ph.Z, ph.L);
  tarvo::Calibration cal;
  tarvo::Status status;
  ASSERT_EQ(tarvo::correct(even.record, odd.record, nullptr, &whole.record, nullptr, &cal, &status),
            0);
  const std::vector<int> all = every(1, ph.N);
  ASSERT_EQ(tarvo::apply(&cal, odd.record, &given.record, &status, {all.data(), ph.N}), 0);
  EXPECT_TRUE(same_bits(whole.data, given.data));

  tarvo::Calibration accelerated;
  ASSERT_EQ(tarvo::calibrate(even.record, odd.record, {.R = 2}, &accelerated, &status), 0);
  ASSERT_EQ(accelerated.kernel_count(), 6 * ph.Z);
  std::vector<tarvo::KernelView> views;
  for (int k = 0; k < accelerated.kernel_count(); ++k) views.push_back(accelerated.kernel(k));
  EXPECT_EQ(views[1].dk, 3);
  EXPECT_STREQ(views[5].pattern, "*oox*");
  std::vector<int> partial = every(2, ph.N, 8);
  const std::vector<dcomplex> frames[2] = {zero_filled(ph, every(2, ph.N)),
                                           zero_filled(ph, partial)};
  std::vector<dcomplex> series;
  for (const auto& f : frames) series.insert(series.end(), f.begin(), f.end());
  const tarvo::VolumeShape shape{ph.M, ph.N, ph.Z, ph.L};
  tarvo::Calibration rebuilt;
  ASSERT_EQ(tarvo::calibration_from_kernels(views.data(), accelerated.kernel_count(), shape,
                                            &rebuilt, &status),
            0)
      << status.message;
  std::vector<dcomplex> out(series.size());
  ASSERT_EQ(tarvo::apply_frames(
                &rebuilt, shape, 2,
                [&](std::int64_t t, dcomplex* in) {
                  std::memcpy(in, &series[t * shape.elements()], shape.elements() * 16);
                  return 0;
                },
                [&](std::int64_t t, const dcomplex* o) {
                  std::memcpy(&out[t * shape.elements()], o, shape.elements() * 16);
                  return 0;
                },
                &status),
            0)
      << status.message;
  for (int t = 0; t < 2; ++t) {
    Volume target(ph.M, ph.N, ph.Z, ph.L, frames[t]), E(ph.M, ph.N, ph.Z, ph.L);
    ASSERT_EQ(tarvo::apply(&accelerated, target.record, &E.record, &status), 0) << status.message;
    EXPECT_TRUE(same_bits(E.data, std::vector<dcomplex>(out.begin() + t * shape.elements(),
                                                        out.begin() + (t + 1) * shape.elements())))
        << "frame " << t;
  }
}

// Each kernel of a bounded set is the regularised least-squares fit over the training positions
// whose sources all lie inside the block (none reaching across its first or last line), against
// a dense solve; a block too small for a kernel's unknowns trains on the whole readout.
TEST(Accelerated, BlockKernelsAreTheBoundedLeastSquaresFits) {
  const int M = 40, N = 12, L = 3;  // spacing 4 trains on the whole readout
  const std::vector<dcomplex> slice = random_values(std::size_t(M) * N * L, 9);
  std::vector<int> acquired = every(1, N);
  SliceKernelSet set{};
  set.source_lines = 2;
  set.readout_width = 5;
  set.bounded = 1;
  set.spacing_count = 3;
  set.spacings = tarvo::alloc_array<std::int32_t>(3);
  for (int j = 0; j < 3; ++j) set.spacings[j] = 2 + j;
  const SliceShape shape{.M = M, .acquired = N, .L = L, .N = N};
  ASSERT_EQ(fit_slice_kernels(slice.data(), acquired.data(), shape, &set, 0.25f), 0);
  const int K = 5 * 2 * L;
  for (int j = 0; j < 3; ++j)
    for (int p = 0; p < set.spacings[j] - 1; ++p) {
      const KernelPattern& pattern = set.patterns[j][p];
      int o[2];
      parse_pattern(pattern.text, o, 2, set.spacings[j]);
      std::vector<int> lines;
      for (int l = 0; l < N; ++l)
        if (l + o[0] >= 0 && l + o[1] < N) lines.push_back(l);
      ASSERT_EQ(pattern.calib_count, static_cast<int>(lines.size())) << pattern.text;
      const int n_ro = lines.size() * 10 < 3 * std::size_t(K) ? M : 10;
      EXPECT_EQ(pattern.whole_readout != 0, n_ro == M) << pattern.text;
      const int start = (M - n_ro) / 2;
      Eigen::MatrixXcd A(lines.size() * n_ro, K), B(lines.size() * n_ro, L);
      auto at = [&](int l, int m, int c) {
        const dcomplex v = slice[l + N * (wrap_index(m, M) + std::size_t(M) * c)];
        return cd(v.re, v.im);
      };
      for (std::size_t i = 0; i < lines.size(); ++i)
        for (int r = 0; r < n_ro; ++r) {
          const int row = r + n_ro * i, m = start + r;
          for (int c = 0; c < L; ++c) {
            B(row, c) = at(lines[i], m, c);
            for (int q = 0; q < 5; ++q)
              for (int s = 0; s < 2; ++s)
                A(row, s + 2 * (c + L * q)) = at(lines[i] + o[s], m + q - 2, c);
          }
        }
      // The regularised normal equations (the shift a fraction of the mean diagonal, which
      // makes the weights independent of the data's scale).
      const Eigen::MatrixXcd G = A.adjoint() * A;
      const double shift = tarvo::kRidge * G.trace().real() / K;
      const Eigen::MatrixXcd W =
          (G + shift * Eigen::MatrixXcd::Identity(K, K)).ldlt().solve(A.adjoint() * B);
      double worst = 0;
      for (int k = 0; k < K * L; ++k)
        worst = std::max(
            worst,
            std::abs(cd(pattern.coefficients[k].re, pattern.coefficients[k].im) - W.data()[k]));
      EXPECT_LT(worst / W.norm(), 1e-9) << pattern.text;
    }
  release_kernel_set(&set);
}

// Options and layouts the kernels cannot serve, each refused with its reason.
TEST(Accelerated, RefusesWhatTheKernelsCannotServe) {
  const Phantom ph = small_phantom();
  Volume even(ph.M, ph.N, ph.Z, ph.L, ph.even), odd(ph.M, ph.N, ph.Z, ph.L, ph.odd);
  tarvo::Calibration cal;
  tarvo::Status status;
  EXPECT_EQ(tarvo::calibrate(even.record, odd.record, {.R = 5}, &cal, &status), -1);
  EXPECT_STREQ(status.what, "R");
  EXPECT_STREQ(status.message, "R must be a whole number from 1 to 4; it is 5.");
  Volume block_even(ph.M, 4, ph.Z, ph.L), block_odd(ph.M, 4, ph.Z, ph.L);
  EXPECT_EQ(tarvo::calibrate(block_even.record, block_odd.record, {.R = 2}, &cal, &status), -1);
  EXPECT_STREQ(status.message,
               "The calibration pair has 4 lines; the kernels for R = 2 span 5 lines, so it needs "
               "at least 5.");

  ASSERT_EQ(tarvo::calibrate(even.record, odd.record, {.R = 2}, &cal, &status), 0);
  Volume E(ph.M, ph.N, ph.Z, ph.L);
  Volume third(ph.M, ph.N, ph.Z, ph.L, zero_filled(ph, every(3, ph.N)));
  EXPECT_EQ(tarvo::apply(&cal, third.record, &E.record, &status), -1);
  EXPECT_STREQ(status.what, "lines");
  EXPECT_STREQ(status.message,
               "The frame's acquired lines are up to 3 apart; the kernels serve lines at most 2 "
               "apart (R = 2). Calibrate for R = 3.");
  Volume one(ph.M, ph.N, ph.Z, ph.L, zero_filled(ph, {5}));
  EXPECT_EQ(tarvo::apply(&cal, one.record, &E.record, &status), -1);
  EXPECT_STREQ(status.message, "The frame has 1 acquired line; at least 2 are needed.");
  const int backwards[] = {4, 2};
  EXPECT_EQ(tarvo::apply(&cal, odd.record, &E.record, &status, {backwards, 2}), -1);
  EXPECT_STREQ(status.message,
               "The acquired lines must be ascending line numbers of the frame's 32 lines, each "
               "once.");

  std::vector<tarvo::KernelView> views;
  for (int k = 0; k < cal.kernel_count(); ++k) views.push_back(cal.kernel(k));
  views[7].dk = 2;
  EXPECT_EQ(tarvo::check_kernels(views.data(), cal.kernel_count(), 2, ph.L, &status), -1);
  EXPECT_STREQ(status.message,
               "Kernel 8 has line spacing dk = 2; kernel 2 of a slice's 6 for R = 2 has dk = 3.");
}

}  // namespace
