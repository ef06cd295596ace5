// Per-frame phase alignment and its building blocks: the phase-difference map, the mask and
// its support, the phase ramp and the rank-1 estimate.
#include <cmath>
#include <complex>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "align/align.h"
#include "gtest/gtest.h"

namespace {

using cd = std::complex<double>;

cd to_std(dcomplex z) {
  return {z.re, z.im};
}
dcomplex from_std(cd z) {
  return {z.real(), z.imag()};
}

// Random frames with magnitude in [1, 2] (strong signal everywhere) and any phase.
std::vector<dcomplex> random_stack(std::int64_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> mag(1.0, 2.0), ph(-3.1, 3.1);
  std::vector<dcomplex> s(n);
  for (auto& z : s) z = from_std(std::polar(mag(rng), ph(rng)));
  return s;
}

// ---------------------------------------------------------------------------------------------

class MagnitudeMaskFraction : public testing::TestWithParam<float> {};

TEST_P(MagnitudeMaskFraction, OutOfRangeFractionBehavesAsQuarter) {
  // Magnitudes 0, 1, ..., 11 (max 11): above 0.25 * 11 = 2.75 are 3 .. 11.
  std::vector<dcomplex> data(12);
  for (int i = 0; i < 12; ++i) data[i] = from_std(std::polar(double(i), 0.3 * i));
  std::vector<float> mask(12, 7.0f);
  ASSERT_EQ(magnitude_mask(data.data(), mask.data(), 4, 3, GetParam(), nullptr), 0);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(mask[i], i >= 3 ? 1.0f : 0.0f) << i;
}

INSTANTIATE_TEST_SUITE_P(Fractions, MagnitudeMaskFraction,
                         testing::Values(0.25f, -0.1f, 1.0f, 3.0f));

TEST(MagnitudeMask, ZeroFrameGivesEmptyMaskAndScratchFailureIsReported) {
  std::vector<dcomplex> data(6, dcomplex{0.0, 0.0});
  std::vector<float> mask(6, 1.0f);
  ASSERT_EQ(magnitude_mask(data.data(), mask.data(), 3, 2, 0.2f, nullptr), 0);
  for (float m : mask) EXPECT_EQ(m, 0.0f);
  testing::internal::CaptureStderr();
  tarvo::alloc_fail_at(1);
  EXPECT_EQ(magnitude_mask(data.data(), mask.data(), 3, 2, 0.2f, nullptr), -1);
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

TEST(ApplyPhaseRamp, TurnsEachFrameByTheSeparableRampAboutTheCentre) {
  const short len1 = 7, len2 = 4, cnt1 = 2;
  const unsigned short cnt2 = 3;
  const float s1 = 0.37f, s2 = -0.81f;
  const int frame = len1 * len2;
  auto data = random_stack(frame * cnt1 * cnt2, 3);
  const auto before = data;
  ASSERT_EQ(apply_phase_ramp(data.data(), len1, len2, cnt1, cnt2, s1, s2), 0);
  for (int f = 0; f < cnt1 * cnt2; ++f)
    for (int l = 0; l < len2; ++l)
      for (int k = 0; k < len1; ++k) {
        const int idx = f * frame + l * len1 + k;
        const double phase = M_PI * (s1 * (k - len1 / 2) + s2 * (l - len2 / 2));
        const cd expect = to_std(before[idx]) * std::polar(1.0, phase);
        // Each phase is formed in single precision: 1e-7 relative of at most ~4 rad.
        EXPECT_NEAR(std::abs(to_std(data[idx]) - expect), 0.0, 1e-6) << f << "," << k << "," << l;
      }
}

TEST(ApplyPhaseRamp, TableFailureIsReportedAndLeavesData) {
  auto data = random_stack(12, 4);
  const auto before = data;
  testing::internal::CaptureStderr();
  tarvo::alloc_fail_at(2);
  EXPECT_EQ(apply_phase_ramp(data.data(), 4, 3, 1, 1, 0.5f, 0.0f), -1);
  EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
  for (int i = 0; i < 12; ++i) EXPECT_EQ(data[i].re, before[i].re);
}

// ---------------------------------------------------------------------------------------------

struct Rank1Shape {
  int nrows;
  int ncols;
};

class DominantSingularPair : public testing::TestWithParam<Rank1Shape> {};

TEST_P(DominantSingularPair, RankOneMapGivesNormsAndConjugateLeftVector) {
  const auto [nrows, ncols] = GetParam();
  const auto p = random_stack(nrows, 11);
  const auto q = random_stack(ncols, 12);
  std::vector<dcomplex> c(nrows * ncols);
  double np = 0, nq = 0;
  for (int i = 0; i < nrows; ++i) np += std::norm(to_std(p[i]));
  for (int j = 0; j < ncols; ++j) nq += std::norm(to_std(q[j]));
  np = std::sqrt(np);
  nq = std::sqrt(nq);
  for (int j = 0; j < ncols; ++j)
    for (int i = 0; i < nrows; ++i) c[j * nrows + i] = from_std(to_std(p[i]) * to_std(q[j]));

  for (bool weighted : {false, true}) {
    const std::vector<float> ones(nrows * ncols, 1.0f);
    double sigma = 0;
    std::vector<dcomplex> u(nrows), v(ncols);
    ASSERT_EQ(dominant_singular_pair(c.data(), weighted ? ones.data() : nullptr, nrows, ncols,
                                     &sigma, u.data(), v.data()),
              0);
    // Lanczos with kappa 1e-6 on a rank-1 operator: values and vectors to near rounding.
    EXPECT_NEAR(sigma, np * nq, 1e-10 * np * nq);
    // u = conj(p)/|p| * e, v = q/|q| * e for one unit factor e.
    const cd e = to_std(u[0]) / (std::conj(to_std(p[0])) / np);
    EXPECT_NEAR(std::abs(e), 1.0, 1e-9);
    for (int i = 0; i < nrows; ++i)
      EXPECT_NEAR(std::abs(to_std(u[i]) - std::conj(to_std(p[i])) / np * e), 0.0, 1e-9) << i;
    for (int j = 0; j < ncols; ++j)
      EXPECT_NEAR(std::abs(to_std(v[j]) - to_std(q[j]) / nq * e), 0.0, 1e-9) << j;
  }
}

// 9 x 5: tall real form; 5 x 9 and 4 x 12: wide real forms that the SVD transposes.
INSTANTIATE_TEST_SUITE_P(Shapes, DominantSingularPair,
                         testing::Values(Rank1Shape{9, 5}, Rank1Shape{5, 9}, Rank1Shape{4, 12},
                                         Rank1Shape{16, 16}),
                         [](const testing::TestParamInfo<Rank1Shape>& info) {
                           return std::to_string(info.param.nrows) + "x" +
                                  std::to_string(info.param.ncols);
                         });

TEST(DominantSingularPair, FullyMaskedMapGivesZeroVectorsAndValue) {
  const auto c = random_stack(6 * 5, 13);
  const std::vector<float> none(6 * 5, 0.0f);
  double sigma = 5.0;
  std::vector<dcomplex> u(6, dcomplex{3, 3}), v(5, dcomplex{3, 3});
  ASSERT_EQ(dominant_singular_pair(c.data(), none.data(), 6, 5, &sigma, u.data(), v.data()), 0);
  EXPECT_EQ(sigma, 0.0);
  for (const auto& z : u) EXPECT_EQ(std::abs(to_std(z)), 0.0);
  for (const auto& z : v) EXPECT_EQ(std::abs(to_std(z)), 0.0);
}

// ---------------------------------------------------------------------------------------------

// B = A with row r turned by -(alpha + beta r); alpha + beta * nrows/2 stays inside (-pi, pi)
// for nrows <= 64 so that the constant phase is not wrapped.
struct Turn {
  double alpha;
  double beta;
};
const Turn kTurns[6] = {{0.3, 0.05},  {-1.0, 0.1},  {0.5, -0.1},
                        {2.0, -0.06}, {-2.5, 0.15}, {0.0, 0.0}};

struct Layout {
  std::vector<int> dims;
};
void PrintTo(const Layout& l, std::ostream* os) {
  for (std::size_t d = 0; d < l.dims.size(); ++d) *os << (d ? "x" : "") << l.dims[d];
}

class AlignPhaseLayout : public testing::TestWithParam<Layout> {};

TEST_P(AlignPhaseLayout, RemovesLinearAndConstantDifferenceSplitEvenly) {
  const std::vector<int> dims = GetParam().dims;
  const int nrows = dims[0], ncols = dims[1];
  const int frame = nrows * ncols;
  int nframes = 1;
  for (std::size_t d = 2; d < dims.size(); ++d) nframes *= dims[d];
  auto a = random_stack(std::int64_t{frame} * nframes, 21);
  std::vector<dcomplex> b(a.size());
  auto theta = [&](int f, int r) { return kTurns[f % 6].alpha + kTurns[f % 6].beta * r; };
  for (int f = 0; f < nframes; ++f)
    for (int j = 0; j < ncols; ++j)
      for (int r = 0; r < nrows; ++r) {
        const int idx = f * frame + j * nrows + r;
        b[idx] = from_std(to_std(a[idx]) * std::polar(1.0, -theta(f, r)));
      }
  const auto a0 = a, b0 = b;
  float* slopes = nullptr;
  dcomplex* coefs = nullptr;
  ASSERT_EQ(align_phase(a.data(), b.data(), int(dims.size()), dims.data(), &slopes, &coefs), 0);
  ASSERT_NE(slopes, nullptr);
  ASSERT_NE(coefs, nullptr);

  for (int f = 0; f < nframes; ++f) {
    EXPECT_NEAR(slopes[2 * f], -kTurns[f % 6].beta, 1e-6) << "frame " << f;
    EXPECT_EQ(slopes[2 * f + 1], 0.0f);
    const double phi0 = theta(f, nrows / 2);
    EXPECT_NEAR(std::abs(to_std(coefs[f]) - std::polar(1.0, phi0 / 2)), 0.0, 1e-6);
    for (int j = 0; j < ncols; ++j)
      for (int r = 0; r < nrows; ++r) {
        const int idx = f * frame + j * nrows + r;
        const cd A = to_std(a[idx]), B = to_std(b[idx]);
        // Singular vector and single-precision ramp: phases to well below 1e-5 rad.
        EXPECT_NEAR(std::arg(A * std::conj(B)), 0.0, 1e-5) << f << ":" << r << "," << j;
        // turned by exactly -theta/2 and +theta/2 (compared modulo 2 pi)
        EXPECT_NEAR(std::arg(A / (to_std(a0[idx]) * std::polar(1.0, -theta(f, r) / 2))), 0.0, 1e-5);
        EXPECT_NEAR(std::arg(B / (to_std(b0[idx]) * std::polar(1.0, theta(f, r) / 2))), 0.0, 1e-5);
        EXPECT_NEAR(std::abs(A), std::abs(to_std(a0[idx])), 1e-12);
      }
  }
  tarvo::free_bytes(slopes);
  tarvo::free_bytes(coefs);
}

INSTANTIATE_TEST_SUITE_P(Dims, AlignPhaseLayout,
                         testing::Values(Layout{{32, 24}}, Layout{{20, 33, 3}},
                                         Layout{{64, 16, 2, 3}}),
                         [](const testing::TestParamInfo<Layout>& info) {
                           return "ndims" + std::to_string(info.param.dims.size());
                         });

TEST(AlignPhase, ZeroFramesGiveEmptyOutputsAndTouchNothing) {
  const int dims[4] = {8, 8, 0, 4};
  dcomplex a[1] = {{1, 2}}, b[1] = {{3, 4}};
  float* slopes = nullptr;
  dcomplex* coefs = nullptr;
  ASSERT_EQ(align_phase(a, b, 4, dims, &slopes, &coefs), 0);
  EXPECT_NE(slopes, nullptr);  // empty arrays, still the caller's to free
  EXPECT_NE(coefs, nullptr);
  EXPECT_EQ(a[0].re, 1.0);
  EXPECT_EQ(b[0].im, 4.0);
  tarvo::free_bytes(slopes);
  tarvo::free_bytes(coefs);
}

// Regression: an empty mask gave k = 0 and turned the frame by the phase of 0/0.
TEST(AlignPhase, AllZeroBLeavesBothStacksAndReportsNoCorrection) {
  const int dims[2] = {16, 12};
  auto a = random_stack(16 * 12, 41);
  std::vector<dcomplex> b(16 * 12, dcomplex{0.0, 0.0});
  const auto a0 = a;
  float* slopes = nullptr;
  dcomplex* coefs = nullptr;
  ASSERT_EQ(align_phase(a.data(), b.data(), 2, dims, &slopes, &coefs), 0);
  EXPECT_EQ(slopes[0], 0.0f);
  EXPECT_EQ(coefs[0].re, 1.0);
  EXPECT_EQ(coefs[0].im, 0.0);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].re, a0[i].re);
    EXPECT_EQ(a[i].im, a0[i].im);
    EXPECT_EQ(std::abs(to_std(b[i])), 0.0);
  }
  tarvo::free_bytes(slopes);
  tarvo::free_bytes(coefs);
}

// ---------------------------------------------------------------------------------------------

TEST(AlignPhase, RefusesBadArgumentsWithoutTouchingAnything) {
  dcomplex a[4] = {{1, 0}, {1, 0}, {1, 0}, {1, 0}}, b[4] = {{0, 1}, {0, 1}, {0, 1}, {0, 1}};
  float* slopes = nullptr;
  struct Case {
    std::vector<int> dims;
    std::string message;
  };
  const std::string bad = "Error: align_phase called with invalid arguments\n";
  for (const Case& c :
       {Case{{4}, bad}, Case{{2, -2}, bad}, Case{{2, 2, -1}, bad},
        Case{{32768, 1},
             "Error: align_phase frame extents 32768 x 1 are above 32767, which is not "
             "supported\n"},
        Case{{1, 40000},
             "Error: align_phase frame extents 1 x 40000 are above 32767, which is not "
             "supported\n"}}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(align_phase(a, b, int(c.dims.size()), c.dims.data(), &slopes, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(slopes, nullptr);
    EXPECT_EQ(b[0].im, 1.0);
  }
  const int dims[2] = {2, 2};
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase(nullptr, b, 2, dims, nullptr, nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), bad);
}

TEST(AlignPhaseFrame, RefusesARecordThatDoesNotFitItsWorkspace) {
  AlignWorkspace ws = {};
  ASSERT_EQ(align_workspace_create(4, 4, 1, &ws, "test"), 0);
  auto a = random_stack(16, 71), b = random_stack(16, 72);
  const std::string msg =
      "Error: align_phase_frame called with a record that does not fit its workspace\n";
  for (int variant = 0; variant < 3; ++variant) {
    AlignFrameRecord r = {a.data(), b.data(), 4, 4, &ws, 0, 0.0f, 0.0f, {0, 0}};
    if (variant == 0) r.slot = 1;
    if (variant == 1) r.nrows = 5;
    if (variant == 2) r.workspace = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(align_phase_frame(&r), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), msg) << variant;
  }
  align_workspace_release(&ws);
}

// Every allocation of a call, made to fail in turn, fails the call cleanly: -1, no outputs,
// everything released, nothing leaked (checked by the sanitizer build); frames
// before the failing step may already be aligned.
TEST(AlignPhase, AllocationFailureFailsTheCallCleanly) {
  const int dims[3] = {12, 10, 2};
  const auto a_in = random_stack(240, 81);
  auto b_in = a_in;
  for (int i = 0; i < 240; ++i)
    b_in[i] = from_std(to_std(b_in[i]) * std::polar(1.0, -0.1 * (i % 12)));
  for (long k = 1;; ++k) {
    auto a = a_in, b = b_in;
    float* slopes = nullptr;
    dcomplex* coefs = nullptr;
    testing::internal::CaptureStderr();
    tarvo::alloc_fail_at(k);
    const int rc = align_phase(a.data(), b.data(), 3, dims, &slopes, &coefs);
    tarvo::alloc_fail_at(0);
    const std::string err = testing::internal::GetCapturedStderr();
    if (rc == 0) {
      EXPECT_TRUE(err.empty()) << err;
      EXPECT_NEAR(slopes[0], -0.1f, 1e-6);
      tarvo::free_bytes(slopes);
      tarvo::free_bytes(coefs);
      EXPECT_GT(k, 20);
      break;
    }
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(err.empty()) << "allocation " << k << " failed silently";
    EXPECT_EQ(slopes, nullptr);
    EXPECT_EQ(coefs, nullptr);
    ASSERT_LT(k, 2000);
  }
}

}  // namespace
