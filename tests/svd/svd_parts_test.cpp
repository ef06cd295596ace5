// The pieces of the Lanczos SVD: records, vector kernels, eigensolvers, precision probe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "svd/internal.h"
#include "svd_test_util.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using svdtest::SMatPtr;

TEST(SvdTridiagonal, PythagIsSafe) {
  EXPECT_NEAR(svdPythag(3, 4), 5.0, 4 * std::numeric_limits<double>::epsilon());
  EXPECT_EQ(svdPythag(0, 0), 0.0);
  const double big = std::numeric_limits<double>::max() / 2;
  EXPECT_NEAR(svdPythag(big, big) / big, std::sqrt(2.0), 1e-15);
  // Non-finite arguments return instead of iterating forever.
  EXPECT_TRUE(std::isnan(svdPythag(std::nan(""), 1.0)));
  EXPECT_TRUE(std::isinf(svdPythag(INFINITY, INFINITY)));
}

// Eigenvalues (and first components / eigenvectors) of a random tridiagonal matrix against
// Eigen's self-adjoint solver; errors of a backward-stable solver scale with ||T|| eps.
TEST(SvdTridiagonal, EigensolversMatchDense) {
  const int n = 12;
  const MatrixXd r = svdtest::random_sparse(n, 2, 1.0, 51);
  MatrixXd T = MatrixXd::Zero(n, n);
  for (int i = 0; i < n; i++) T(i, i) = r(i, 0);
  for (int i = 1; i < n; i++) T(i, i - 1) = T(i - 1, i) = r(i, 1);
  Eigen::SelfAdjointEigenSolver<MatrixXd> ref(T);
  const double tol = 1e-13 * n;

  VectorXd d = T.diagonal(), e = r.col(1), bnd(n);
  imtqlb(n, d.data(), e.data(), bnd.data());
  EXPECT_EQ(svdErrorFlag, 0);
  EXPECT_LT((d - ref.eigenvalues()).norm(), tol);
  EXPECT_LT((bnd.cwiseAbs() - ref.eigenvectors().row(0).transpose().cwiseAbs()).norm(), 1e-10);

  d = T.diagonal();
  e = r.col(1);
  MatrixXd z = MatrixXd::Identity(n, n);  // symmetric, so storage order does not matter here
  imtql2(n, n, d.data(), e.data(), z.data());
  z.transposeInPlace();  // row-major storage -> Eigen's column-major view
  EXPECT_LT((d - ref.eigenvalues()).norm(), tol);
  EXPECT_LT((T * z - z * d.asDiagonal()).norm(), tol);
}

}  // namespace
