#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "linalg/linalg.h"

namespace {

using cd = std::complex<double>;

// Column-major dcomplex storage of an Eigen matrix.
std::vector<dcomplex> to_dcomplex(const Eigen::MatrixXcd& m) {
  std::vector<dcomplex> v(m.size());
  for (int j = 0; j < m.cols(); ++j)
    for (int i = 0; i < m.rows(); ++i) v[j * m.rows() + i] = {m(i, j).real(), m(i, j).imag()};
  return v;
}

Eigen::MatrixXcd random_hpd(int n, std::mt19937& rng) {
  std::normal_distribution<double> g;
  Eigen::MatrixXcd b(n, n);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) b(i, j) = cd(g(rng), g(rng));
  Eigen::MatrixXcd a = b.adjoint() * b;
  a.diagonal().array() += double(n);
  return a;
}

bool same_bits(const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(dcomplex)) == 0;
}

// Diagonal system whose eigenvalues spread from 1 to 1e4, so CG needs many more than 21 passes.
struct SlowSystem {
  int n = 60;
  std::vector<dcomplex> a, b;
  SlowSystem() : a(n * n, {0, 0}), b(n) {
    for (int i = 0; i < n; ++i) {
      a[i * n + i] = {std::pow(1e4, double(i) / (n - 1)), 0};
      b[i] = {1.0 + 0.01 * i, 0.5};
    }
  }
  std::vector<dcomplex> solve(int max_iter, double tol) const {
    std::vector<dcomplex> x(n, {0, 0});
    complex_cg_solve(a.data(), n, b.data(), x.data(), max_iter, tol);
    return x;
  }
};

class CgRandomHpd : public testing::TestWithParam<int> {};

TEST_P(CgRandomHpd, MatchesDirectSolve) {
  const int n = GetParam();
  std::mt19937 rng(n);
  const Eigen::MatrixXcd ea = random_hpd(n, rng);
  Eigen::VectorXcd eb(n), ex0(n);
  std::normal_distribution<double> g;
  for (int i = 0; i < n; ++i) eb(i) = cd(g(rng), g(rng)), ex0(i) = cd(g(rng), g(rng));
  const Eigen::VectorXcd direct = ea.ldlt().solve(eb);

  const auto a = to_dcomplex(ea), b = to_dcomplex(eb);
  auto x = to_dcomplex(ex0);  // a non-zero starting guess
  const double tol = 1e-10;
  complex_cg_solve(a.data(), n, b.data(), x.data(), 4 * n, tol);

  // |x - x*| <= |r| / lambda_min, and the solver stops once |r| < tol (the true residual may
  // drift from the recursive one by a few ulps of |A||x|): allow 10x on the bound.
  const double lambda_min = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXcd>(ea).eigenvalues()(0);
  const double bound = 10 * tol / lambda_min + 1e-13 * direct.norm();
  for (int i = 0; i < n; ++i) {
    EXPECT_NEAR(x[i].re, direct(i).real(), bound) << "i=" << i;
    EXPECT_NEAR(x[i].im, direct(i).imag(), bound) << "i=" << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, CgRandomHpd, testing::Values(1, 2, 5, 17, 40));

TEST(Cg, IdentityFirstPassGivesRightHandSideExactlyAndSecondPassStops) {
  const int n = 6;
  std::vector<dcomplex> a(n * n, {0, 0}), b(n);
  for (int i = 0; i < n; ++i) a[i * n + i] = {1, 0}, b[i] = {0.1 * (i + 1), -0.3 * i + 0.7};
  for (int max_iter : {1, 2, 5}) {
    // A second update would divide 0 by p^H A p = 0 and turn x into NaN.
    std::vector<dcomplex> x(n, {0, 0});
    complex_cg_solve(a.data(), n, b.data(), x.data(), max_iter, 1e-300);
    EXPECT_TRUE(same_bits(x, b)) << "max_iter=" << max_iter;
  }
}

TEST(Cg, ZeroRightHandSideFromZeroStartStopsAtOnce) {
  const int n = 4;
  std::mt19937 rng(3);
  const auto a = to_dcomplex(random_hpd(n, rng));
  const std::vector<dcomplex> b(n, {0, 0});
  std::vector<dcomplex> x(n, {0, 0});
  complex_cg_solve(a.data(), n, b.data(), x.data(), 40, 1e-9);
  EXPECT_TRUE(same_bits(x, b));
}

TEST(Cg, ZeroMaxIterMeansTwentyPasses) {
  const SlowSystem s;
  const auto x0 = s.solve(0, 1e-300), x20 = s.solve(20, 1e-300), x21 = s.solve(21, 1e-300);
  EXPECT_TRUE(same_bits(x0, x20));
  EXPECT_FALSE(same_bits(x0, x21));
}

TEST(Cg, NegativeMaxIterLeavesStartUnchanged) {
  const SlowSystem s;
  std::vector<dcomplex> x(s.n, {0.25, -1});
  const auto start = x;
  complex_cg_solve(s.a.data(), s.n, s.b.data(), x.data(), -1, 1e-9);
  EXPECT_TRUE(same_bits(x, start));
}

TEST(Cg, ZeroTolMeansOneNanoAbsolute) {
  const SlowSystem s;
  const auto x0 = s.solve(500, 0.0), x9 = s.solve(500, 1e-9), x13 = s.solve(500, 1e-13);
  EXPECT_TRUE(same_bits(x0, x9));
  EXPECT_FALSE(same_bits(x0, x13));
  // It did reach the stop: the residual is below 1e-9 up to the drift of the recursion.
  double r2 = 0;
  for (int i = 0; i < s.n; ++i) {
    const double ar = s.a[i * s.n + i].re;
    r2 += std::pow(s.b[i].re - ar * x0[i].re, 2) + std::pow(s.b[i].im - ar * x0[i].im, 2);
  }
  EXPECT_LT(std::sqrt(r2), 1e-8);
}

TEST(Cg, StopTestIsStrict) {
  // One unknown, A = 1, b = 3+4i: the starting residual norm is exactly 5.
  const dcomplex a = {1, 0}, b = {3, 4};
  dcomplex x = {0, 0};
  complex_cg_solve(&a, 1, &b, &x, 1, 5.0);  // nu == tol: goes on
  EXPECT_EQ(x.re, 3);
  EXPECT_EQ(x.im, 4);
  x = {0, 0};
  complex_cg_solve(&a, 1, &b, &x, 1, std::nextafter(5.0, 6.0));  // tol > nu: stops
  EXPECT_EQ(x.re, 0);
  EXPECT_EQ(x.im, 0);
}

struct NormCase {
  dcomplex rho;
  bool warns;
};

class CgResidualNorm : public testing::TestWithParam<NormCase> {};

TEST_P(CgResidualNorm, WarnsOnlyOnSignificantPositiveImaginaryPart) {
  testing::internal::CaptureStderr();
  const double nu = tarvo::cg_residual_norm(GetParam().rho);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(nu, 2.0);
  EXPECT_EQ(
      err, GetParam().warns ? "WARNING: ignoring significant complex value in square root.\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, CgResidualNorm,
                         testing::Values(NormCase{{4, 2e-6}, true}, NormCase{{4, 1e-6}, false},
                                         NormCase{{4, -1.0}, false}, NormCase{{4, 0}, false}),
                         [](const auto& info) {
                           return "Im" + std::to_string(info.index) +
                                  (info.param.warns ? "Warns" : "Silent");
                         });

class CgAllocFailure : public testing::TestWithParam<int> {};

TEST_P(CgAllocFailure, ReportsAndLeavesXUnchanged) {
  const SlowSystem s;
  std::vector<dcomplex> x(s.n, {0.5, 0.5});
  const auto start = x;
  tarvo::alloc_fail_at(GetParam());
  testing::internal::CaptureStderr();
  complex_cg_solve(s.a.data(), s.n, s.b.data(), x.data(), 40, 1e-9);
  const std::string err = testing::internal::GetCapturedStderr();
  tarvo::alloc_fail_at(0);
  EXPECT_EQ(err, "complex_cg_solve: could not alloc work vectors\n");
  EXPECT_TRUE(same_bits(x, start));
}

INSTANTIATE_TEST_SUITE_P(EachWorkVector, CgAllocFailure, testing::Values(1, 2, 3, 4));

}  // namespace
