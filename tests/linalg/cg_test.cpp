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
using cvec = std::vector<dcomplex>;

cvec to_dcomplex(const Eigen::MatrixXcd& m) {  // column-major
  cvec v(m.size());
  for (Eigen::Index k = 0; k < m.size(); ++k) v[k] = {m.data()[k].real(), m.data()[k].imag()};
  return v;
}

bool same_bits(const cvec& a, const cvec& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(dcomplex)) == 0;
}

// Diagonal system with eigenvalues spread from 1 to 1e4: CG needs far more than 21 passes.
struct SlowSystem {
  int n = 60;
  cvec a, b;
  SlowSystem() : a(n * n, {0, 0}), b(n) {
    for (int i = 0; i < n; ++i) a[i * n + i] = {std::pow(1e4, i / (n - 1.0)), 0}, b[i] = {1, 0.5};
  }
  cvec solve(int max_iter, double tol, cvec x = {}, int* status = nullptr) const {
    x.resize(n, {0, 0});
    const int result = complex_cg_solve(a.data(), n, b.data(), x.data(), max_iter, tol);
    if (status) *status = result;
    return x;
  }
};

class CgRandomHpd : public testing::TestWithParam<int> {};

TEST_P(CgRandomHpd, MatchesDirectSolve) {
  const int n = GetParam();
  std::srand(n);
  const Eigen::MatrixXcd b = Eigen::MatrixXcd::Random(n, n);
  Eigen::MatrixXcd ea = b.adjoint() * b;
  ea.diagonal().array() += 0.1;
  const Eigen::VectorXcd eb = Eigen::VectorXcd::Random(n);
  const Eigen::VectorXcd direct = ea.ldlt().solve(eb);
  const auto a = to_dcomplex(ea), rhs = to_dcomplex(eb);
  auto x = to_dcomplex(Eigen::VectorXcd::Random(n));  // a non-zero start
  const double tol = 1e-10;
  complex_cg_solve(a.data(), n, rhs.data(), x.data(), 10 * n, tol);
  // |x - x*| <= |r| / lambda_min with |r| < tol at the stop; the recursive residual drifts
  // from the true one by rounding, hence 10x the bound plus a relative eps term.
  const double lambda_min = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXcd>(ea).eigenvalues()(0);
  const double bound = 10 * tol / lambda_min + 1e-12 * direct.norm();
  for (int i = 0; i < n; ++i) EXPECT_LT(std::abs(cd(x[i].re, x[i].im) - direct(i)), bound) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, CgRandomHpd, testing::Values(1, 2, 5, 17, 40));

TEST(Cg, IdentityFirstPassGivesRightHandSideExactlyAndSecondPassStops) {
  const int n = 6;
  cvec a(n * n, {0, 0}), b(n);
  for (int i = 0; i < n; ++i) a[i * n + i] = {1, 0}, b[i] = {0.1 * (i + 1), 0.7 - 0.3 * i};
  for (int max_iter : {1, 2, 5}) {
    // A second update would divide 0 by p^H A p = 0 and turn x into NaN.
    cvec x(n, {0, 0});
    complex_cg_solve(a.data(), n, b.data(), x.data(), max_iter, 1e-300);
    EXPECT_TRUE(same_bits(x, b)) << "max_iter " << max_iter;
  }
}

TEST(Cg, ZeroRightHandSideFromZeroStartStaysZero) {
  SlowSystem s;
  s.b.assign(s.n, {0, 0});
  EXPECT_TRUE(same_bits(s.solve(40, 1e-9), s.b));  // a pass would compute 0/0
}

TEST(Cg, ZeroTolMeansOneNanoAbsoluteAndTheStopIsStrict) {
  const SlowSystem s;
  EXPECT_TRUE(same_bits(s.solve(500, 0.0), s.solve(500, 1e-9)));
  EXPECT_FALSE(same_bits(s.solve(500, 0.0), s.solve(500, 1e-13)));
  // One unknown, A = 1, b = 3+4i: the starting residual norm is exactly 5.
  const dcomplex a = {1, 0}, b = {3, 4};
  dcomplex x = {0, 0};
  complex_cg_solve(&a, 1, &b, &x, 1, 5.0);  // nu == tol goes on
  EXPECT_TRUE(x.re == 3 && x.im == 4);
  x = {0, 0};
  complex_cg_solve(&a, 1, &b, &x, 1, std::nextafter(5.0, 6.0));  // tol > nu stops
  EXPECT_TRUE(x.re == 0 && x.im == 0);
}

TEST(Cg, ResidualNormWarnsOnlyOnSignificantPositiveImaginaryPart) {
  for (double im : {2e-6, 1e-6, -1.0, 0.0}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(tarvo::cg_residual_norm({4, im}), 2.0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              im > 1e-6 ? "WARNING: ignoring significant complex value in square root.\n" : "")
        << im;
  }
}

// The Cholesky solve against Eigen's on a random Hermitian positive-definite system with a
// spread of eigenvalues and several right-hand sides, with and without a shift; a matrix that is
// not positive definite is refused with X untouched.
TEST(CholeskySolve, MatchesADenseSolveAndRefusesAnIndefiniteMatrix) {
  std::mt19937 rng(5);
  std::normal_distribution<double> g;
  const int n = 37, count = 3;
  Eigen::MatrixXcd Q(n, n), B(n, count);
  for (Eigen::Index k = 0; k < Q.size(); ++k) Q.data()[k] = {g(rng), g(rng)};
  for (Eigen::Index k = 0; k < B.size(); ++k) B.data()[k] = {g(rng), g(rng)};
  Eigen::VectorXd spread(n);
  for (int i = 0; i < n; ++i) spread[i] = std::pow(1e6, i / (n - 1.0));
  const Eigen::MatrixXcd U = Q.householderQr().householderQ();
  const Eigen::MatrixXcd A = U * spread.asDiagonal() * U.adjoint();
  for (double shift : {0.0, 2.5}) {
    const Eigen::MatrixXcd shifted = A + shift * Eigen::MatrixXcd::Identity(n, n);
    const Eigen::MatrixXcd want = shifted.llt().solve(B);
    const cvec a = to_dcomplex(A), b = to_dcomplex(B);
    cvec x(n * count);
    ASSERT_EQ(tarvo::complex_cholesky_solve(a.data(), n, count, b.data(), x.data(), shift), 0);
    double worst = 0;
    for (int c = 0; c < count; ++c)
      for (int i = 0; i < n; ++i)
        worst = std::max(worst, std::abs(cd(x[i + n * c].re, x[i + n * c].im) - want(i, c)) /
                                    want.col(c).norm());
    EXPECT_LT(worst, 1e-9) << "shift " << shift;
  }
  const cvec indefinite = to_dcomplex(A - 2.0 * Eigen::MatrixXcd::Identity(n, n));
  const cvec b = to_dcomplex(B);
  cvec x(n * count, {7, 7});
  EXPECT_EQ(tarvo::complex_cholesky_solve(indefinite.data(), n, count, b.data(), x.data(), 0), 1);
  EXPECT_TRUE(same_bits(x, cvec(n * count, {7, 7})));
}

}  // namespace
