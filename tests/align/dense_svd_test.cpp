// Small dense SVD and least-squares solve against Eigen and closed-form cases.
#include <Eigen/Dense>
#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "align/align.h"
#include "gtest/gtest.h"

namespace {

// Row-pointer matrix owned for the length of a test.
struct DMatrix {
  double** p;
  DMatrix(int rows, int cols) : p(alloc_dmatrix(rows, cols)) {}
  ~DMatrix() { free_matrix2d(p); }
  double* operator[](int i) const { return p[i]; }
};

struct Shape {
  int m;
  int n;
};

class DenseSvdRandom : public testing::TestWithParam<Shape> {};

TEST_P(DenseSvdRandom, MatchesEigenAndReconstructs) {
  const auto [m, n] = GetParam();
  std::mt19937 rng(100 * m + n);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  Eigen::MatrixXd A(m, n);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) A(i, j) = dist(rng);
  DMatrix a(m, n), v(n, n);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = A(i, j);
  std::vector<double> w(n);
  ASSERT_EQ(dense_svd(a.p, m, n, w.data(), v.p), 0);

  Eigen::MatrixXd U(m, n), V(n, n);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j) U(i, j) = a[i][j];
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) V(i, j) = v[i][j];
  Eigen::JacobiSVD<Eigen::MatrixXd> ref(A);
  // A superdiagonal entry counts as zero once below 1e-7 * anorm (anorm <= 2 ||A||), so values
  // and the reconstruction are exact to about that much; the rotations stay orthogonal to eps.
  const double tol = 2e-7 * ref.singularValues()(0);
  std::vector<double> sorted = w;
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  for (int j = 0; j < n; ++j) {
    EXPECT_GE(w[j], 0.0);
    EXPECT_NEAR(sorted[j], ref.singularValues()(j), tol) << "singular value " << j;
  }
  EXPECT_LT((U.transpose() * U - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff(),
            1e-14 * (m + n));
  EXPECT_LT((V.transpose() * V - Eigen::MatrixXd::Identity(n, n)).cwiseAbs().maxCoeff(),
            1e-14 * (m + n));
  Eigen::VectorXd wv = Eigen::Map<Eigen::VectorXd>(w.data(), n);
  EXPECT_LT((U * wv.asDiagonal() * V.transpose() - A).cwiseAbs().maxCoeff(), tol);
}

INSTANTIATE_TEST_SUITE_P(Shapes, DenseSvdRandom,
                         testing::Values(Shape{2, 2}, Shape{3, 2}, Shape{5, 5}, Shape{7, 7},
                                         Shape{8, 5}),
                         [](const testing::TestParamInfo<Shape>& info) {
                           return std::to_string(info.param.m) + "x" + std::to_string(info.param.n);
                         });

TEST(DenseSvd, ZeroMatrixConvergesToZeroAndSolvesToZero) {
  DMatrix a(2, 2), v(2, 2);
  a[0][0] = a[0][1] = a[1][0] = a[1][1] = 0.0;
  double w[2] = {7.0, 7.0};
  ASSERT_EQ(dense_svd(a.p, 2, 2, w, v.p), 0);
  EXPECT_EQ(w[0], 0.0);
  EXPECT_EQ(w[1], 0.0);
  const double b[2] = {1.0, 2.0};
  double x[2] = {9.0, 9.0};
  ASSERT_EQ(svd_solve(a.p, w, v.p, 2, 2, b, x), 0);
  EXPECT_EQ(x[0], 0.0);
  EXPECT_EQ(x[1], 0.0);
}

TEST(SvdSolve, NormalEquationsGiveOrdinaryLeastSquaresLine) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 0.2);
  const int npts = 25;
  Eigen::MatrixXd design(npts, 2);
  Eigen::VectorXd y(npts);
  double n = 0, st = 0, st2 = 0, sy = 0, sty = 0;
  for (int k = 0; k < npts; ++k) {
    const double t = k + 1;
    design(k, 0) = 1.0;
    design(k, 1) = t;
    y(k) = 0.7 - 0.35 * t + noise(rng);
    n += 1;
    st += t;
    st2 += t * t;
    sy += y(k);
    sty += t * y(k);
  }
  DMatrix a(2, 2), v(2, 2);
  a[0][0] = n;
  a[0][1] = st;
  a[1][0] = st;
  a[1][1] = st2;
  double w[2], x[2];
  const double b[2] = {sy, sty};
  ASSERT_EQ(dense_svd(a.p, 2, 2, w, v.p), 0);
  ASSERT_EQ(svd_solve(a.p, w, v.p, 2, 2, b, x), 0);
  const Eigen::VectorXd ref = design.colPivHouseholderQr().solve(y);
  // The normal matrix has condition ~ 4e3 here; the solve loses that much relative accuracy.
  EXPECT_NEAR(x[0], ref(0), 1e-11);
  EXPECT_NEAR(x[1], ref(1), 1e-12);
}

}  // namespace
