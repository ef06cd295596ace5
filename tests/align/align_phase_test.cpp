// Per-frame phase alignment: the turns it removes, degenerate stacks and refusals.
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

// A frame aligned with its constant turns left to the caller, then turned by them, has the bits
// of the frame aligned in full (odd extents: whole vectors and a remainder).
TEST(AlignFramePair, ConstantTurnsLeftToTheCallerGiveTheSameBits) {
  const int nrows = 21, ncols = 13;
  const auto a = random_stack(nrows * ncols, 31);
  std::vector<dcomplex> b(a.size());
  for (int j = 0; j < ncols; ++j)
    for (int r = 0; r < nrows; ++r)
      b[j * nrows + r] = from_std(to_std(a[j * nrows + r]) * std::polar(1.0, -(0.7 + 0.08 * r)));
  AlignWorkspace ws = {};
  ASSERT_EQ(align_workspace_create(nrows, ncols, 1, &ws, "test"), 0);
  const AlignWorkspaceRelease release{&ws};
  auto whole_a = a, whole_b = b, left_a = a, left_b = b;
  ASSERT_EQ(align_frame_pair(whole_a.data(), whole_b.data(), nrows, ncols, &ws, 0), 0);
  dcomplex turns[2] = {};
  ASSERT_EQ(align_frame_pair(left_a.data(), left_b.data(), nrows, ncols, &ws, 0, turns), 0);
  EXPECT_NE(std::memcmp(left_b.data(), whole_b.data(), b.size() * sizeof(dcomplex)), 0);
  turn_with(tarvo::simd_best(), left_a.data(), nrows * ncols, turns[0]);
  turn_with(tarvo::simd_best(), left_b.data(), nrows * ncols, turns[1]);
  EXPECT_EQ(std::memcmp(left_a.data(), whole_a.data(), a.size() * sizeof(dcomplex)), 0);
  EXPECT_EQ(std::memcmp(left_b.data(), whole_b.data(), b.size() * sizeof(dcomplex)), 0);
  // B's factor turns it by half the constant phase at the centre row.
  EXPECT_NEAR(std::arg(to_std(turns[1])), (0.7 + 0.08 * (nrows / 2)) / 2, 1e-5);
}

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
    AlignFrameRecord r = {a.data(), b.data(), 4, 4, &ws, 0, 0.0f, 0.0f, {0, 0}, nullptr};
    if (variant == 0) r.slot = 1;
    if (variant == 1) r.nrows = 5;
    if (variant == 2) r.workspace = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(align_phase_frame(&r), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), msg) << variant;
  }
  align_workspace_release(&ws);
}

}  // namespace

// Every vector path of the sample-wise kernels (phase difference, ramp, constant turn) gives the
// scalar form's bits: lengths off the vector widths, |z| = 0 (out kept), signed zeros, NaN,
// infinities and subnormal values.
TEST(AlignKernels, EveryPathGivesTheScalarFormsBits) {
  std::mt19937 gen(5);
  std::normal_distribution<double> value(0.0, 1.0);
  for (const int n : {1, 7, 37, 100}) {
    std::vector<dcomplex> z(n), w(n), before(n);
    for (int i = 0; i < n; ++i) {
      z[i] = {value(gen), value(gen)};
      w[i] = {value(gen), value(gen)};
      before[i] = {value(gen), value(gen)};
    }
    const dcomplex special[] = {
        {0.0, -0.0}, {-0.0, 0.0}, {NAN, 1.0}, {INFINITY, 2.0}, {4e-320, 0.0}};
    for (int k = 0; k < 5 && 3 * k < n; ++k) z[3 * k] = special[k];
    if (n > 4) w[4] = {NAN, -INFINITY};
    // The direct forms, as complex_mult and a division give them.
    std::vector<dcomplex> scalar = before, ramped = z, turned = z;
    std::vector<double> magnitude(n);
    double largest = 0.0;
    const dcomplex u = {0.3, -0.0}, c = {-0.8, 0.6};
    for (int i = 0; i < n; ++i) {
      magnitude[i] = std::sqrt(z[i].re * z[i].re + z[i].im * z[i].im);
      if (magnitude[i] > largest) largest = magnitude[i];
      ramped[i] = complex_mult(complex_mult(w[i], z[i]), u);
      turned[i] = complex_mult(z[i], c);
      const double mag = std::sqrt(z[i].re * z[i].re + z[i].im * z[i].im);
      if (mag == 0.0) continue;
      const dcomplex p = complex_mult(z[i], {w[i].re, -w[i].im});
      scalar[i] = {p.re / mag, p.im / mag};
    }
    auto same = [n](const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
      return std::memcmp(a.data(), b.data(), n * sizeof(dcomplex)) == 0;
    };
    for (const tarvo::Simd path :
         {tarvo::Simd::kPortable, tarvo::Simd::kAvx2, tarvo::Simd::kAvx512}) {
      if (path > tarvo::simd_best()) continue;
      SCOPED_TRACE(testing::Message() << "n " << n << " path " << static_cast<int>(path));
      std::vector<dcomplex> out = before, ramp = z, turn = z;
      phase_difference_with(path, z.data(), w.data(), n, out.data());
      ramp_with(path, ramp.data(), w.data(), n, u);
      turn_with(path, turn.data(), n, c);
      EXPECT_TRUE(same(out, scalar));
      EXPECT_TRUE(same(ramp, ramped));
      EXPECT_TRUE(same(turn, turned));
      std::vector<double> mags(n);
      EXPECT_EQ(magnitudes_with(path, z.data(), n, mags.data()), largest);
      EXPECT_EQ(std::memcmp(mags.data(), magnitude.data(), n * sizeof(double)), 0);
    }
  }
}
