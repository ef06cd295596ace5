#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "linalg/linalg.h"

namespace {

using cd = std::complex<double>;

std::vector<dcomplex> random_vector(int n, std::mt19937& rng) {
  std::normal_distribution<double> g;
  std::vector<dcomplex> v(n);
  for (auto& e : v) e = {g(rng), g(rng)};
  return v;
}

TEST(ComplexScalar, MatchesClosedFormOnExactValues) {
  // Small integers keep every product and quotient exact in binary floating point.
  const dcomplex a = {3, -2}, b = {1, 4};
  const dcomplex m = complex_mult(a, b);  // (3-2i)(1+4i) = 11 + 10i
  EXPECT_EQ(m.re, 11);
  EXPECT_EQ(m.im, 10);
  const dcomplex s = complex_add(a, b);
  EXPECT_EQ(s.re, 4);
  EXPECT_EQ(s.im, 2);
  const dcomplex q = complex_div({11, 10}, b);  // (11+10i)/(1+4i) = 3 - 2i
  EXPECT_EQ(q.re, 3);
  EXPECT_EQ(q.im, -2);
}

TEST(ComplexScalar, DivisionByZeroGivesNonFiniteParts) {
  const dcomplex q = complex_div({1, 1}, {0, 0});
  EXPECT_FALSE(std::isfinite(q.re));
  EXPECT_FALSE(std::isfinite(q.im));
}

TEST(ComplexVector, AxpbyMatchesDefinitionAndAllowsAliasing) {
  std::mt19937 rng(1);
  auto x = random_vector(7, rng), y = random_vector(7, rng);
  const dcomplex alpha = {0.5, -1.5}, beta = {2, 0.25};
  auto expect = y;
  for (int i = 0; i < 7; ++i) {
    const cd r =
        cd(alpha.re, alpha.im) * cd(y[i].re, y[i].im) + cd(beta.re, beta.im) * cd(x[i].re, x[i].im);
    expect[i] = {r.real(), r.imag()};
  }
  complex_axpby(alpha, y.data(), beta, x.data(), 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_NEAR(y[i].re, expect[i].re, 1e-14);
    EXPECT_NEAR(y[i].im, expect[i].im, 1e-14);
  }
  // x aliasing y: y = (alpha + beta) y element by element.
  auto z = x;
  complex_axpby(alpha, z.data(), beta, z.data(), 7);
  for (int i = 0; i < 7; ++i) {
    const cd r = (cd(alpha.re, alpha.im) + cd(beta.re, beta.im)) * cd(x[i].re, x[i].im);
    EXPECT_NEAR(z[i].re, r.real(), 1e-14);
    EXPECT_NEAR(z[i].im, r.imag(), 1e-14);
  }
}

TEST(ComplexVector, NonPositiveLengthsTouchNothing) {
  dcomplex y[2] = {{1, 2}, {3, 4}};
  const dcomplex x[2] = {{5, 6}, {7, 8}};
  for (int n : {0, -3}) {
    complex_axpby({2, 0}, y, {1, 0}, x, n);
    EXPECT_EQ(y[0].re, 1);
    EXPECT_EQ(y[1].im, 4);
    const dcomplex d = complex_dotc(x, x, n);
    EXPECT_EQ(d.re, 0);
    EXPECT_EQ(d.im, 0);
  }
}

TEST(ComplexVector, DotcConjugatesTheFirstVector) {
  const dcomplex x[2] = {{1, 2}, {0, 1}}, y[2] = {{3, 1}, {2, 0}};
  // conj(1+2i)(3+i) + conj(i)*2 = (5 - 5i) + (-2i) = 5 - 7i
  const dcomplex d = complex_dotc(x, y, 2);
  EXPECT_EQ(d.re, 5);
  EXPECT_EQ(d.im, -7);
}

class Matvec : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Matvec, MatchesEigenProduct) {
  const auto [rows, cols] = GetParam();
  std::mt19937 rng(rows * 31 + cols);
  auto a = random_vector(rows * cols, rng), x = random_vector(cols, rng);
  std::vector<dcomplex> y(rows, {99, 99});  // stale content must be cleared
  complex_matvec(a.data(), x.data(), rows, cols, y.data());
  Eigen::MatrixXcd ea(rows, cols);
  Eigen::VectorXcd ex(cols);
  for (int j = 0; j < cols; ++j) {
    ex(j) = cd(x[j].re, x[j].im);
    for (int i = 0; i < rows; ++i) ea(i, j) = cd(a[j * rows + i].re, a[j * rows + i].im);
  }
  const Eigen::VectorXcd ey = ea * ex;
  // Each entry is a sum of cols products of O(1) values: error grows like cols * eps.
  const double tol = 1e-15 * (cols + 1) * 10;
  for (int i = 0; i < rows; ++i) {
    EXPECT_NEAR(y[i].re, ey(i).real(), tol);
    EXPECT_NEAR(y[i].im, ey(i).imag(), tol);
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Matvec,
                         testing::Values(std::pair{1, 1}, std::pair{3, 5}, std::pair{8, 2},
                                         std::pair{10, 10}, std::pair{4, 0}));

TEST(ComplexVector, MatvecWithNoRowsTouchesNothing) {
  dcomplex y[1] = {{7, 7}};
  const dcomplex a[1] = {{1, 1}}, x[1] = {{1, 1}};
  complex_matvec(a, x, 0, 1, y);
  EXPECT_EQ(y[0].re, 7);
  EXPECT_EQ(y[0].im, 7);
}

}  // namespace
