// Accelerated frames: the both-polarity kernels, their bounded fit on a calibration block, and
// the layouts apply takes or refuses.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/core_steps.h"
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
  ASSERT_EQ(accelerated.kernel_count(), 28 * ph.Z);
  std::vector<tarvo::KernelView> views;
  for (int k = 0; k < accelerated.kernel_count(); ++k) views.push_back(accelerated.kernel(k));
  EXPECT_EQ(views[0].dk, 2);
  EXPECT_STREQ(views[0].pattern, "+:-+*+-");
  EXPECT_EQ(views[0].rows, 25 * ph.L);
  EXPECT_EQ(views[2].dk, 4);
  EXPECT_STREQ(views[2].pattern, "+:-o+x-o+");
  EXPECT_STREQ(views[14].pattern, "-:+-*-+");
  EXPECT_EQ(views[27].rows, 10 * ph.L);
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

// The largest difference of `image` (M x N per coil, readout-fastest) from the centred
// backward 2-D DFT of the line-fastest k-space X summed in long double, relative to the DFT's
// largest magnitude.
double centred_dft_error(const std::vector<dcomplex>& X, const std::vector<dcomplex>& image, int M,
                         int N, int L) {
  const long double pi = std::acos(-1.0L);
  double worst = 0, largest = 0;
  for (int c = 0; c < L; ++c)
    for (int l = 0; l < N; ++l)
      for (int m = 0; m < M; ++m) {
        std::complex<long double> sum = 0;
        for (int b = 0; b < N; ++b)
          for (int a = 0; a < M; ++a) {
            const dcomplex x = X[(b + N / 2) % N + N * ((a + M / 2) % M + std::size_t(M) * c)];
            const long double angle =
                2 * pi *
                ((long double)a * ((m + M / 2) % M) / M + (long double)b * ((l + N / 2) % N) / N);
            sum += std::complex<long double>(x.re, x.im) * std::polar(1.0L, angle);
          }
        const dcomplex y = image[m + M * (l + std::size_t(N) * c)];
        worst = std::max(worst, (double)std::abs(sum - std::complex<long double>(y.re, y.im)));
        largest = std::max(largest, (double)std::abs(sum));
      }
  return worst / largest;
}

// Completed column by column after the readout transform (even sizes), both k-spaces give the
// images of their completion in k-space: complete_polarities, then the centred 2-D DFT summed in
// long double; every line, partial Fourier and a central block, each R.
TEST(Accelerated, ColumnCompletionGivesTheImagesOfTheKSpaceCompletion) {
  struct Case {
    int M, N, L, R;
  };
  for (const Case k : {Case{12, 16, 1, 2}, Case{20, 24, 3, 3}, Case{16, 30, 2, 4}}) {
    const int M = k.M, N = k.N, L = k.L;
    const std::size_t MN = std::size_t(M) * N;
    Volume even(M, N, 1, L, random_values(MN * L, 21)), odd(M, N, 1, L, random_values(MN * L, 22));
    CorrectionContext context{};
    ASSERT_EQ(context_create(&context, &even.record), 0);
    ASSERT_EQ(fit_polarity_kernels(&even.record, &odd.record, k.R, &context), 0);
    std::vector<int> block = every(k.R, N);
    for (int l = N / 2 - 3; l < N / 2 + 3; ++l)
      if (l % k.R != 0) block.push_back(l);
    std::sort(block.begin(), block.end());
    for (const std::vector<int>& acquired : {every(k.R, N), every(k.R, N, 5), block}) {
      const std::vector<dcomplex> frame = random_values(MN * L, 23);
      std::vector<dcomplex> source(MN * L, dcomplex{0, 0});
      std::vector<unsigned char> plus(N, 0), minus(N, 0);
      // line-fastest single-polarity k-spaces for complete_polarities
      std::vector<dcomplex> kplus(MN * L, dcomplex{0, 0}), kminus(MN * L, dcomplex{0, 0});
      for (std::size_t i = 0; i < acquired.size(); ++i) {
        const int l = acquired[i];
        (i % 2 == 0 ? plus : minus)[l] = 1;
        for (int c = 0; c < L; ++c)
          for (int m = 0; m < M; ++m) {
            const std::size_t at = m + M * (l + std::size_t(N) * c);
            source[at] = frame[at];
            (i % 2 == 0 ? kplus : kminus)[l + N * (m + std::size_t(M) * c)] = frame[at];
          }
      }
      std::vector<dcomplex> P(MN * L), Q(MN * L);
      ASSERT_EQ(polarity_images(source.data(), MN, plus.data(), minus.data(), M, N, L,
                                context.slices[0], 2, P.data(), Q.data()),
                0);
      ASSERT_EQ(complete_polarities(kplus.data(), kminus.data(), plus.data(), minus.data(), M, N, L,
                                    context.slices[0], 2),
                0);
      EXPECT_LT(centred_dft_error(kplus, P, M, N, L), 1e-12) << M << "x" << N << " R " << k.R;
      EXPECT_LT(centred_dft_error(kminus, Q, M, N, L), 1e-12) << M << "x" << N << " R " << k.R;
    }
    context_destroy(&context);
  }
}

// The parity halves completed in the same way give the images of their completion in k-space
// (synthesize_missing_lines on each half, then the centred 2-D DFT in long double): two spacings,
// one of their patterns without coefficients (not applied), on alternate lines and on every
// fourth line, a line listed in both halves filled only in its own (the even one). Odd extents
// and kernels of too many source lines are refused.
TEST(Accelerated, ParityHalvesCompletedByColumnGiveTheImagesOfTheKSpaceCompletion) {
  struct Case {
    int M, N, L, R;
  };
  for (const Case k : {Case{12, 16, 1, 1}, Case{20, 24, 3, 2}, Case{16, 30, 2, 2}}) {
    const int M = k.M, N = k.N, L = k.L, K = kW * kS * L;
    const std::size_t MN = std::size_t(M) * N;
    const std::vector<dcomplex> W = random_values(std::size_t(K) * L, 31, 0.3);
    SliceKernelSet* set = one_pattern_set(&W);
    // A second spacing (4) beside the first (2): its patterns' coefficients random, the last none.
    std::int32_t* spacings = tarvo::alloc_array<std::int32_t>(2);
    spacings[0] = 2, spacings[1] = 4;
    tarvo::free_bytes(set->spacings);
    set->spacings = spacings;
    KernelPattern** patterns = tarvo::alloc_array<KernelPattern*>(2, true);
    patterns[0] = set->patterns[0];
    const int P = pattern_count(4, kS);
    patterns[1] = tarvo::alloc_array<KernelPattern>(P, true);
    build_patterns(patterns[1], 4, kS);
    for (int p = 0; p + 1 < P; ++p) {
      patterns[1][p].coefficients = tarvo::alloc_array<dcomplex>(std::int64_t(K) * L);
      const std::vector<dcomplex> V = random_values(std::size_t(K) * L, 40 + p, 0.3);
      std::copy(V.begin(), V.end(), patterns[1][p].coefficients);
    }
    tarvo::free_bytes(set->patterns);
    set->patterns = patterns;
    set->spacing_count = 2;

    std::vector<int> odd_lines = every(2 * k.R, N, k.R), even_lines = every(2 * k.R, N);
    odd_lines.push_back(2 * k.R);  // also an even line: the odd half holds it cleared
    std::vector<unsigned char> half_of(N, 0);
    for (int l : odd_lines) half_of[l] = 1;
    for (int l : even_lines) half_of[l] = 2;
    const std::vector<dcomplex> source = random_values(MN * L, 33);
    std::vector<dcomplex> P_image(MN * L), Q_image(MN * L);
    ASSERT_EQ(parity_images(source.data(), MN, odd_lines.data(), int(odd_lines.size()),
                            even_lines.data(), int(even_lines.size()), half_of.data(), M, N, L, set,
                            2, P_image.data(), Q_image.data()),
              0);
    for (int h = 1; h <= 2; ++h) {
      const std::vector<int>& lines = h == 1 ? odd_lines : even_lines;
      std::vector<dcomplex> X(MN * L, dcomplex{0, 0});  // line-fastest
      for (int l = 0; l < N; ++l)
        for (int c = 0; c < L && half_of[l] == h; ++c)
          for (int m = 0; m < M; ++m)
            X[l + N * (m + std::size_t(M) * c)] = source[m + M * (l + std::size_t(N) * c)];
      const SliceShape shape{M, int(lines.size()), L, N};
      ASSERT_EQ(
          synthesize_missing_lines(X.data(), lines.data(), shape, nullptr, nullptr, 1.0f, set), 0);
      EXPECT_LT(centred_dft_error(X, h == 1 ? P_image : Q_image, M, N, L), 1e-12)
          << M << "x" << N << " R " << k.R << " half " << h;
    }
    for (const auto& [m, s] : {std::pair{M + 1, kS}, std::pair{M, kMaxPolaritySources + 1}}) {
      set->source_lines = s;
      testing::internal::CaptureStderr();
      EXPECT_EQ(parity_images(source.data(), MN, odd_lines.data(), int(odd_lines.size()),
                              even_lines.data(), int(even_lines.size()), half_of.data(), m, N, L,
                              set, 2, P_image.data(), Q_image.data()),
                -1);
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                "Error: parity_images called with invalid arguments\n");
    }
    set->source_lines = kS;
    free_set(set);
  }
}

// Each both-polarity kernel is the regularised least-squares fit, against a dense solve, over
// the lines of the pair whose sources all lie inside it (none reaching across its first or last
// line), each source read from the k-space of its polarity (even's line l when its polarity is
// that of l's parity in even, else odd's) and the target from the k-space of the kernel's half;
// a pair too small for a kernel's unknowns trains on the whole readout, and one that gives a
// kernel of more than 2 lines fewer than 2 equations per unknown leaves it out (zero).
TEST(Accelerated, PolarityKernelsAreTheBoundedLeastSquaresFits) {
  const int M = 40, N = 10, L = 2, R = 2;
  Volume even(M, N, 1, L, random_values(std::size_t(M) * N * L, 9));
  Volume odd(M, N, 1, L, random_values(std::size_t(M) * N * L, 10));
  tarvo::Calibration cal;
  tarvo::Status status;
  ASSERT_EQ(tarvo::calibrate(even.record, odd.record, {.R = R}, &cal, &status), 0);
  std::vector<PolarityPattern> patterns(polarity_patterns(R, nullptr));
  polarity_patterns(R, patterns.data());
  ASSERT_EQ(static_cast<int>(patterns.size()), cal.kernel_count());
  // Sample m (circular) of line l of the k-space of polarity p, coil c.
  auto at = [&](int p, int l, int m, int c) {
    const bool from_even = (l % 2 == 0) == (p > 0);
    const dcomplex v =
        (from_even ? even : odd).data[wrap_index(m, M) + M * (l + std::size_t(N) * c)];
    return cd(v.re, v.im);
  };
  bool whole = false, quarter = false, left_out = false;
  for (std::size_t k = 0; k < patterns.size(); ++k) {
    const PolarityPattern& g = patterns[k];
    const int K = 5 * g.S * L;
    std::vector<int> lines;
    for (int l = 0; l < N; ++l)
      if (l + g.offsets[0] >= 0 && l + g.offsets[g.S - 1] < N) lines.push_back(l);
    const int n_ro = lines.size() * 10 < 3 * std::size_t(K) ? M : 10;
    const tarvo::FitRecord fit = cal.fit(static_cast<int>(k));
    const tarvo::KernelView view = cal.kernel(static_cast<int>(k));
    ASSERT_EQ(view.rows, K);
    if (lines.empty() || (g.S > 2 && lines.size() * M < 2 * std::size_t(K))) {
      left_out = true;
      EXPECT_EQ(fit.equations, 0) << view.pattern;
      for (int i = 0; i < K * L; ++i) EXPECT_EQ(view.coefficient(i).re + view.coefficient(i).im, 0);
      continue;
    }
    EXPECT_EQ(fit.whole_readout, n_ro == M) << view.pattern;
    EXPECT_EQ(fit.equations, std::int64_t(lines.size()) * n_ro) << view.pattern;
    (n_ro == M ? whole : quarter) = true;
    const int start = (M - n_ro) / 2;
    Eigen::MatrixXcd A(lines.size() * n_ro, K), B(lines.size() * n_ro, L);
    for (std::size_t i = 0; i < lines.size(); ++i)
      for (int r = 0; r < n_ro; ++r) {
        const int row = r + n_ro * i, m = start + r;
        for (int c = 0; c < L; ++c) {
          B(row, c) = at(g.half, lines[i], m, c);
          for (int q = 0; q < 5; ++q)
            for (int s = 0; s < g.S; ++s)
              A(row, s + g.S * (c + L * q)) =
                  at(g.polarity[s], lines[i] + g.offsets[s], m + q - 2, c);
        }
      }
    // The regularised normal equations (the shift a fraction of the mean diagonal).
    const Eigen::MatrixXcd G = A.adjoint() * A;
    const double shift = tarvo::kRidge * G.trace().real() / K;
    const Eigen::MatrixXcd W =
        (G + shift * Eigen::MatrixXcd::Identity(K, K)).ldlt().solve(A.adjoint() * B);
    double worst = 0;
    for (int i = 0; i < K * L; ++i)
      worst = std::max(worst,
                       std::abs(cd(view.coefficient(i).re, view.coefficient(i).im) - W.data()[i]));
    EXPECT_LT(worst / W.norm(), 1e-9) << view.pattern;
  }
  EXPECT_TRUE(whole && quarter && left_out);
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
  Volume sixth(ph.M, ph.N, ph.Z, ph.L, zero_filled(ph, every(6, ph.N)));
  EXPECT_EQ(tarvo::apply(&cal, sixth.record, &E.record, &status), -1);
  EXPECT_STREQ(status.message,
               "The frame's acquired lines are up to 6 apart; the kernels serve lines at most 2 "
               "apart (R = 2), and no calibration serves more than 4.");
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
  tarvo::Calibration other;
  EXPECT_EQ(tarvo::calibration_from_kernels(views.data(), cal.kernel_count(), {ph.M, ph.N, 1, ph.L},
                                            &other, &status),
            -1);
  EXPECT_STREQ(status.message,
               "The kernels are for 2 slices (28 each, for R = 2) but the volume has 1 (its third "
               "extent); the kernels must come from a call on the same slices.");
  views[35].dk = 2;
  EXPECT_EQ(tarvo::check_kernels(views.data(), cal.kernel_count(), 2, ph.L, &status), -1);
  EXPECT_STREQ(status.message,
               "Kernel 36 has line spacing dk = 2; kernel 8 of a slice's 28 for R = 2 has dk = 4.");
  views[35].dk = 4;
  views[29].pattern = "+:-+*+-";
  EXPECT_EQ(tarvo::check_kernels(views.data(), cal.kernel_count(), 2, ph.L, &status), -1);
  EXPECT_STREQ(status.message,
               "Kernel 30 has pattern '+:-+*+-'; kernel 2 of a slice's 28 for R = 2 has pattern "
               "'+:-o+o*o+o-'.");
  views[29] = cal.kernel(29);
  views[0].rows = 10 * ph.L;
  EXPECT_EQ(tarvo::check_kernels(views.data(), cal.kernel_count(), 2, ph.L, &status), -1);
  EXPECT_STREQ(status.what, "coef");
  EXPECT_STREQ(status.message,
               "Kernel 1 has a 30 x 3 coef matrix; for a target of 3 coils it must be 75 x 3 (5 L "
               "rows per source line of its pattern '+:-+*+-').");
}

}  // namespace
