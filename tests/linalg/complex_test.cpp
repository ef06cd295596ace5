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

TEST(ComplexVector, DotcConjugatesFirstAndAxpbyAllowsAliasing) {
  const dcomplex x[2] = {{1, 2}, {0, 1}}, y[2] = {{3, 1}, {2, 0}};
  const dcomplex d = complex_dotc(x, y, 2);  // conj(1+2i)(3+i) + conj(i) 2 = 5 - 7i
  EXPECT_TRUE(d.re == 5 && d.im == -7);
  dcomplex z[2] = {{1, 2}, {0, 1}};
  complex_axpby({2, 0}, z, {0, 1}, z, 2);  // z = (2 + i) z elementwise
  EXPECT_TRUE(z[0].re == 0 && z[0].im == 5 && z[1].re == -1 && z[1].im == 2);
  for (int n : {0, -3}) {  // n <= 0: nothing changes, the sum is zero
    complex_axpby({9, 9}, z, {9, 9}, x, n);
    const dcomplex e = complex_dotc(x, y, n);
    EXPECT_TRUE(z[0].im == 5 && e.re == 0 && e.im == 0);
  }
}

class Matvec : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Matvec, MatchesEigenProductAndClearsStaleOutput) {
  const auto [rows, cols] = GetParam();
  std::mt19937 rng(rows * 31 + cols);
  auto a = random_vector(rows * cols, rng), x = random_vector(cols, rng);
  std::vector<dcomplex> y(rows + 1, {99, 99});  // y[rows] is past the output: untouched
  complex_matvec(a.data(), x.data(), rows, cols, y.data());
  Eigen::MatrixXcd ea(rows, cols);
  Eigen::VectorXcd ex(cols);
  for (int j = 0; j < cols; ++j) {
    ex(j) = cd(x[j].re, x[j].im);
    for (int i = 0; i < rows; ++i) ea(i, j) = cd(a[j * rows + i].re, a[j * rows + i].im);
  }
  const Eigen::VectorXcd ey = ea * ex;
  // Each entry sums cols products of O(1) values: the error grows like cols * eps.
  const double tol = 1e-14 * (cols + 1);
  for (int i = 0; i < rows; ++i) {
    EXPECT_NEAR(y[i].re, ey(i).real(), tol);
    EXPECT_NEAR(y[i].im, ey(i).imag(), tol);
  }
  EXPECT_TRUE(y[rows].re == 99 && y[rows].im == 99);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Matvec,
                         testing::Values(std::pair{1, 1}, std::pair{3, 5}, std::pair{10, 10},
                                         std::pair{4, 0}, std::pair{0, 3}));

}  // namespace
