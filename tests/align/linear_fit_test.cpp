// Phase unwrapping and the weighted straight-line fit of the phase of a vector.
#include <cmath>
#include <complex>
#include <vector>

#include "align/align.h"
#include "gtest/gtest.h"

namespace {

const double kPi = std::acos(-1.0);

dcomplex polar(double phase, double mag = 1.0) {
  return {mag * std::cos(phase), mag * std::sin(phase)};
}

struct Jump {
  double step;
  double expect;  // sample 1 afterwards
};

class UnwrapPhaseJump : public testing::TestWithParam<Jump> {};

TEST_P(UnwrapPhaseJump, OnlyStepsAbovePiAreCorrected) {
  double phase[2] = {0.0, GetParam().step};
  ASSERT_EQ(unwrap_phase(phase, nullptr, 2), 0);
  EXPECT_EQ(phase[0], 0.0);
  EXPECT_DOUBLE_EQ(phase[1], GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(Steps, UnwrapPhaseJump,
                         testing::Values(Jump{3.141592654, 3.141592654},  // exactly pi: kept
                                         Jump{3.2, 3.2 - 6.283185308},    // above pi: one turn down
                                         Jump{-3.2, -3.2 + 6.283185308},  // below -pi: one turn up
                                         Jump{9.5, 9.5 - 2 * 6.283185308}));  // two turns

class FitLinearPhaseSlope : public testing::TestWithParam<double> {};

TEST_P(FitLinearPhaseSlope, RecoversSlopeOfUnitRamp) {
  const double b = GetParam();
  for (int n : {8, 64, 256, 1024}) {
    std::vector<dcomplex> u(n);
    std::vector<float> weights(n, 1.0f);
    for (int k = 0; k < n; ++k) u[k] = polar(-0.8 + b * k);
    float slope = 99.0f;
    ASSERT_EQ(fit_linear_phase(u.data(), weights.data(), n, &slope), 0);
    // float result: 1e-6 relative, plus the unwrapping's 8.2e-10 per turn spread over n.
    EXPECT_NEAR(slope, b, 2e-6 * std::fabs(b) + 1e-7) << "n = " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Slopes, FitLinearPhaseSlope,
                         testing::Values(-3.0, -1.1, -0.02, 0.0, 0.3, 2.2, 3.1));

TEST(FitLinearPhase, NoSupportedSampleGivesZeroSlope) {
  dcomplex u[6];
  for (int k = 0; k < 6; ++k) u[k] = polar(0.5 * k);
  const float weights[6] = {0, 0, 0, 0, 0, 0};
  float slope = 99.0f;
  ASSERT_EQ(fit_linear_phase(u, weights, 6, &slope), 0);
  EXPECT_EQ(slope, 0.0f);
}

// Regression: with one supported row the normal matrix is singular, and rounding in the SVD
// turned its zero singular value into noise. The minimum-norm solution has slope
// t phi / (1 + t^2).
TEST(FitLinearPhase, OneSupportedRowGivesMinimumNormSlope) {
  dcomplex u[8];
  for (int k = 0; k < 8; ++k) u[k] = polar(1.7 * k);
  float weights[8] = {0, 0, 0, 0, 0, 1, 0, 0};
  float slope = 99.0f;
  ASSERT_EQ(fit_linear_phase(u, weights, 8, &slope), 0);
  // Sample 5 is the first supported one, compared with sample 4: its phase is unwrapped from
  // wrap(8.5) = 8.5 - 2 pi against wrap(6.8) = 6.8 - 2 pi, so it stays 8.5 - 2 pi.
  const double phi = 8.5 - 2 * kPi;
  EXPECT_FLOAT_EQ(slope, static_cast<float>(6.0 * phi / (1.0 + 36.0)));
}

// Regression: with sample 0 supported and sample 1 not, sample 0 was never related to the
// others, so the slope depended on the arbitrary unit factor of the singular vector.
TEST(FitLinearPhase, SlopeIgnoresUnitFactorWhenSampleOneIsUnsupported) {
  const int n = 10;
  const double b = 1.3;
  float weights[n];
  for (float& w : weights) w = 1.0f;
  weights[1] = 0.0f;
  for (double factor : {0.0, 0.6, 1.5, 2.4, 3.0, -1.0, -2.2, -2.9}) {
    dcomplex u[n];
    for (int k = 0; k < n; ++k) u[k] = polar(factor + b * k);
    u[1] = polar(factor + 2.9);  // unrelated value in the unsupported sample
    float slope = 99.0f;
    ASSERT_EQ(fit_linear_phase(u, weights, n, &slope), 0);
    EXPECT_NEAR(slope, b, 2e-6) << "unit factor angle " << factor;
  }
}

}  // namespace
