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

TEST(SvdRecords, NewDMatIsOneZeroedRowMajorBlock) {
  DMat* D = svdNewDMat(3, 4);
  ASSERT_NE(D, nullptr);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 4; j++) EXPECT_EQ(D->value[i][j], 0.0);
  EXPECT_EQ(D->value[2] + 4, D->value[0] + 12);
  svdFreeDMat(D);
  EXPECT_EQ(svdNewDMat(0, 4), nullptr);
}

TEST(SvdRecords, ConvertDtoSStoresNaNButNotMinusZero) {
  MatrixXd M = MatrixXd::Zero(3, 2);
  M(1, 0) = -0.0;
  M(2, 0) = std::numeric_limits<double>::quiet_NaN();
  M(0, 1) = 5.0;
  M(2, 1) = -1.0;
  SMatPtr S = svdtest::to_smat(M);
  ASSERT_EQ(S->vals, 3);
  EXPECT_EQ(std::vector<int>(S->pointr, S->pointr + 3), (std::vector<int>{0, 1, 3}));
  EXPECT_EQ(std::vector<int>(S->rowind, S->rowind + 3), (std::vector<int>{2, 0, 2}));
  EXPECT_TRUE(std::isnan(S->value[0]));
  EXPECT_EQ(S->value[1], 5.0);

  SMatPtr Z = svdtest::to_smat(MatrixXd::Zero(4, 3));
  EXPECT_EQ(Z->vals, 0);
  for (int c = 0; c <= 3; c++) EXPECT_EQ(Z->pointr[c], 0);
}

bool same_smat(const SMat* a, const SMat* b) {
  return a->rows == b->rows && a->cols == b->cols && a->vals == b->vals &&
         std::memcmp(a->pointr, b->pointr, (a->cols + 1) * sizeof(int)) == 0 &&
         std::memcmp(a->rowind, b->rowind, a->vals * sizeof(int)) == 0 &&
         std::memcmp(a->value, b->value, a->vals * sizeof(double)) == 0;
}

TEST(SvdRecords, TransposeIsTheTransposeAndTwiceGivesTheInput) {
  for (const MatrixXd& M :
       {svdtest::random_sparse(7, 5, 0.4, 31), svdtest::random_sparse(1, 6, 0.7, 32)}) {
    SMatPtr S = svdtest::to_smat(M);
    SMatPtr T(svdTransposeS(S.get()));
    SMatPtr expected = svdtest::to_smat(M.transpose());
    EXPECT_TRUE(same_smat(T.get(), expected.get()));
    SMatPtr TT(svdTransposeS(T.get()));
    EXPECT_TRUE(same_smat(TT.get(), S.get()));
  }
}

TEST(SvdKernels, NegativeStrideWalksFromTheFarEnd) {
  const double x[3] = {1, 2, 3};
  double y[3] = {0, 0, 0};
  svdCopy(3, x, 1, y, -1);
  EXPECT_EQ(std::vector<double>(y, y + 3), (std::vector<double>{3, 2, 1}));
  EXPECT_EQ(svdDot(3, x, 1, y, -1), 1 * 1 + 2 * 2 + 3 * 3);
  const double m[3] = {-3, 3, 1};
  EXPECT_EQ(svdIndexAbsMax(3, m, 1), 0);  // first of equal magnitudes
  EXPECT_EQ(svdIndexAbsMax(0, m, 1), -1);
  EXPECT_EQ(svdIndexAbsMax(3, m, 0), -1);
  EXPECT_EQ(svdIndexAbsMax(1, m, 1), 0);
}

TEST(SvdKernels, DegenerateCountsStridesAndZeroFactorChangeNothing) {
  const double x[2] = {1, 2};
  const std::vector<double> before = {7, 8};
  auto y = before;
  svdCopy(0, x, 1, y.data(), 1);
  svdCopy(2, x, 0, y.data(), 1);
  svdAxpy(2, 0.0, x, 1, y.data(), 1);
  svdAxpy(-1, 1.0, x, 1, y.data(), 1);
  svdScaledCopy(2, 0.0, x, 1, y.data(), 1);  // a = 0 leaves y as it was
  svdScale(2, 3.0, y.data(), 0);
  svdSwap(2, const_cast<double*>(x), 1, y.data(), 0);
  EXPECT_EQ(y, before);
  EXPECT_EQ(svdDot(0, x, 1, x, 1), 0.0);
  EXPECT_EQ(svdDot(2, x, 0, x, 1), 0.0);
  svdScale(2, 0.0, y.data(), 1);
  EXPECT_EQ(y, (std::vector<double>{0, 0}));
  EXPECT_EQ(svdSign(2.0, -0.5), -2.0);
  EXPECT_EQ(svdSign(-2.0, -0.5), -2.0);
}

// (Products with stored values are checked end to end against the dense SVD.)
TEST(SvdKernels, ProductWithNoStoredValuesIsZero) {
  SMatPtr E = svdtest::to_smat(MatrixXd::Zero(9, 6));
  VectorXd x = VectorXd::Ones(6), z = VectorXd::Constant(6, 5.0), scratch(9);
  svdMultATA(E.get(), x.data(), z.data(), scratch.data());
  EXPECT_EQ(z.norm(), 0.0);
}

TEST(SvdTridiagonal, PythagIsSafe) {
  EXPECT_NEAR(svdPythag(3, 4), 5.0, 4 * std::numeric_limits<double>::epsilon());
  EXPECT_EQ(svdPythag(0, 0), 0.0);
  const double big = std::numeric_limits<double>::max() / 2;
  EXPECT_NEAR(svdPythag(big, big) / big, std::sqrt(2.0), 1e-15);
  // Non-finite arguments return instead of iterating forever.
  EXPECT_TRUE(std::isnan(svdPythag(std::nan(""), 1.0)));
  EXPECT_TRUE(std::isinf(svdPythag(INFINITY, INFINITY)));
}

TEST(SvdTridiagonal, SmallCases) {
  double d1[1] = {4}, e1[1] = {9}, b1[1] = {-7};
  imtqlb(1, d1, e1, b1);
  EXPECT_EQ(d1[0], 4);
  EXPECT_EQ(b1[0], -7);
  double d2[2] = {5, 2}, e2[2] = {0, 0}, b2[2];
  imtqlb(2, d2, e2, b2);
  EXPECT_EQ(std::vector<double>(d2, d2 + 2), (std::vector<double>{2, 5}));
  EXPECT_EQ(std::vector<double>(b2, b2 + 2), (std::vector<double>{0, 1}));
  double d3[3] = {3, 1, 2}, e3[3] = {0, 0, 0}, z[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  imtql2(3, 3, d3, e3, z);
  EXPECT_EQ(std::vector<double>(d3, d3 + 3), (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(std::vector<double>(z, z + 9), (std::vector<double>{0, 0, 1, 1, 0, 0, 0, 1, 0}));
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

TEST(SvdState, PrecisionProbeGivesTwoToTheMinus52) {
  EXPECT_EQ(probeMachinePrecision(), std::ldexp(1.0, -52));
}

}  // namespace
