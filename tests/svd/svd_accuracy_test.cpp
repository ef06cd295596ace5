// Lanczos SVD results against Eigen's dense SVD (an independent answer).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "svd/internal.h"
#include "svd/svd.h"
#include "svd_test_util.h"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using svdtest::RecPtr;

struct Case {
  std::string name;
  std::function<MatrixXd()> make;
  bool pairs;  // real representation of a complex map: singular values come in equal pairs
};

// Distance of x (unit vector) from the span of the columns of Q (orthonormal).
double distance_to_span(const VectorXd& x, const MatrixXd& Q) {
  return (x - Q * (Q.transpose() * x)).norm();
}

VectorXd row(const DMat* M, int r) {
  return Eigen::Map<const VectorXd>(M->value[r], M->cols);
}

class LargestTriplet : public testing::TestWithParam<Case> {};

TEST_P(LargestTriplet, MatchesDenseSvd) {
  const MatrixXd M = GetParam().make();
  Eigen::JacobiSVD<MatrixXd> ref(M, Eigen::ComputeThinU | Eigen::ComputeThinV);
  auto S = svdtest::to_smat(M);
  RecPtr R(svdLAS2A(S.get(), 1, 0));
  ASSERT_NE(R, nullptr);
  ASSERT_EQ(R->d, 1);
  ASSERT_EQ(R->Ut->cols, M.rows());  // also after a run on the transpose
  ASSERT_EQ(R->Vt->cols, M.cols());

  const double s1 = ref.singularValues()(0);
  EXPECT_NEAR(R->s[0], s1, 1e-10 * s1);
  const VectorXd u = row(R->Ut, 0), v = row(R->Vt, 0);
  // Vectors are fixed up to sign (or, for a pair, up to a rotation in the pair's plane).
  const int span = GetParam().pairs ? 2 : 1;
  EXPECT_LT(distance_to_span(v, ref.matrixV().leftCols(span)), 1e-8);
  EXPECT_LT(distance_to_span(u, ref.matrixU().leftCols(span)), 1e-8);
  EXPECT_LT((M * v - R->s[0] * u).norm(), 1e-10 * s1);
}

MatrixXd rank_two() {
  const MatrixXd a = svdtest::random_sparse(30, 2, 1.0, 7),
                 b = svdtest::random_sparse(2, 25, 1.0, 8);
  return a * b;
}

MatrixXd complex_rank_one() {
  const MatrixXd x = svdtest::random_sparse(12, 2, 1.0, 11),
                 y = svdtest::random_sparse(2, 9, 1.0, 12);
  const Eigen::VectorXcd a = x.col(0) + std::complex<double>(0, 1) * x.col(1);
  const Eigen::RowVectorXcd b = y.row(0) + std::complex<double>(0, 1) * y.row(1);
  return svdtest::real_representation(a * b);
}

INSTANTIATE_TEST_SUITE_P(
    SvdLas2A, LargestTriplet,
    testing::Values(
        Case{"Random20x15", [] { return svdtest::random_sparse(20, 15, 0.5, 1); }, false},
        Case{"Transposed10x12", [] { return svdtest::random_sparse(10, 12, 0.6, 2); }, false},
        Case{"Sparse200x180", [] { return svdtest::random_sparse(200, 180, 0.3, 4); }, false},
        Case{"RankTwo", rank_two, false}, Case{"ComplexRankOnePairs", complex_rank_one, true},
        Case{"MaskedPhaseMap",
             [] { return svdtest::real_representation(svdtest::masked_phase_map(40, 32, 0.4, 5)); },
             true}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

// Rank-1 operators stop the first stretch at once; the block analysis still covers T(0..0).
TEST(SvdLas2A, RankOneRealMatrixYieldsItsTriplet) {
  const MatrixXd a = svdtest::random_sparse(9, 1, 1.0, 21),
                 b = svdtest::random_sparse(1, 7, 1.0, 22);
  MatrixXd single = MatrixXd::Zero(5, 4);
  single(2, 1) = -3.0;  // exactly rank 1: the first residual is exactly zero
  for (const MatrixXd& M : {MatrixXd(a * b), single, MatrixXd(MatrixXd::Constant(1, 1, 2.5))}) {
    auto S = svdtest::to_smat(M);
    RecPtr R(svdLAS2A(S.get(), 1, 0));
    ASSERT_NE(R, nullptr);
    ASSERT_EQ(R->d, 1);
    const double s1 = Eigen::JacobiSVD<MatrixXd>(M).singularValues()(0);
    EXPECT_NEAR(R->s[0], s1, 1e-12 * s1);
    EXPECT_LT((M * row(R->Vt, 0) - R->s[0] * row(R->Ut, 0)).norm(), 1e-12 * s1);
  }
}

// Results must not depend on anything but the matrix: compare bytes across runs and slots.
TEST(SvdLas2A, BitIdenticalFromRunToRun) {
  const MatrixXd M = svdtest::real_representation(svdtest::masked_phase_map(60, 50, 0.4, 9));
  auto S = svdtest::to_smat(M);
  auto other = svdtest::to_smat(svdtest::random_sparse(30, 20, 0.5, 10));
  RecPtr first(svdLAS2A(S.get(), 1, 0));
  RecPtr between(svdLAS2A(other.get(), 1, 0));
  svdLAS2_init(8);
  RecPtr second(svdLAS2A(S.get(), 1, 5));
  svdLAS2_post();
  ASSERT_TRUE(first && between && second);
  EXPECT_EQ(std::memcmp(first->s, second->s, sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(first->Ut->value[0], second->Ut->value[0], M.rows() * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(first->Vt->value[0], second->Vt->value[0], M.cols() * sizeof(double)), 0);
}

// The dense (complex) form gives the compressed real form's bits: the products on every
// instruction set this processor has (odd extents, row and column counts off the vector blocks,
// -0.0 held in either part, regions that hold nothing, which the spans pass over; finite vectors,
// and NaN and huge values in the matrix with an infinity in the vector), their transposes, and
// whole runs. Every value held lies in its row's and its column's span.
TEST(SvdDenseForm, GivesTheBitsOfTheCompressedForm) {
  // Bit for bit, but a NaN matches any NaN: IEEE 754 leaves the sign of a product's NaN open,
  // and the compiler may move a negation across a product.
  auto same = [](const std::vector<double>& a, const std::vector<double>& b) {
    for (std::size_t k = 0; k < a.size(); k++)
      if (!(std::isnan(a[k]) && std::isnan(b[k])) && std::memcmp(&a[k], &b[k], sizeof(double)))
        return false;
    return true;
  };
  for (const auto& [rows, cols, special] : {std::tuple{1, 1, false},
                                            {7, 5, true},
                                            {37, 70, false},
                                            {37, 70, true},
                                            {64, 41, true},
                                            {101, 83, false}}) {
    MatrixXd re = svdtest::random_sparse(rows, cols, 0.6, 11 + rows);
    MatrixXd im = svdtest::random_sparse(rows, cols, 0.6, 12 + rows);
    re(0, cols - 1) = -0.0;
    im(rows - 1, 0) = -0.0;
    if (special) re(rows / 2, cols / 2) = std::nan(""), im(1, cols - 1) = std::nan("");
    if (special) re(3, 0) = 1e300, im(4, 0) = -1e300;
    // Values only inside an ellipse, as a mask leaves them, and none in its middle row.
    for (int i = 0; i < rows; i++)
      for (int j = 0; j < cols; j++) {
        const double y = (i - rows / 2.0) / (rows / 3.0), x = (j - cols / 2.0) / (cols / 3.0);
        if (rows > 50 && (x * x + y * y > 1.0 || i == rows / 2)) re(i, j) = im(i, j) = 0.0;
      }
    Eigen::MatrixXcd C(rows, cols);
    C.real() = re;
    C.imag() = im;
    for (const bool transpose : {false, true}) {
      auto compressed = svdtest::to_smat(svdtest::real_representation(C));
      auto dense = svdtest::to_dense_smat(C);
      std::vector<int> spans(2 * (rows + cols));
      svdFindSpans(dense.get(), spans.data(), spans.data() + 2 * cols);
      if (const int mid = cols / 2; rows > 50) {
        EXPECT_LE(spans[2 * mid + 1] - spans[2 * mid], rows * 3 / 4);
      }
      for (int i = 0; i < rows; i++)
        for (int j = 0; j < cols; j++)
          if (re(i, j) != 0.0 || im(i, j) != 0.0 || std::isnan(re(i, j)) || std::isnan(im(i, j))) {
            EXPECT_TRUE(spans[2 * j] <= i && i < spans[2 * j + 1]) << i << " " << j;
            EXPECT_TRUE(spans[2 * (cols + i)] <= j && j < spans[2 * (cols + i) + 1])
                << i << " " << j;
          }
      if (transpose) {
        compressed.reset(svdTransposeS(compressed.get()));
        dense.reset(svdTransposeS(dense.get()));
      }
      const int r = compressed->rows, c = compressed->cols;
      std::vector<double> x(c), ax(r), ata(c), scratch(r);
      for (int j = 0; j < c; j++) x[j] = std::sin(1.0 + j) * (j % 3 == 1 ? 1e-200 : 1.0);
      if (special) x[c / 2] = INFINITY;
      svdMultA(compressed.get(), x.data(), ax.data());
      svdMultATA(compressed.get(), x.data(), ata.data(), scratch.data());
      for (const tarvo::Simd path :
           {tarvo::Simd::kPortable, tarvo::Simd::kAvx2, tarvo::Simd::kAvx512}) {
        if (path > tarvo::simd_best()) continue;
        SCOPED_TRACE(testing::Message() << rows << "x" << cols << " path " << int(path)
                                        << (transpose ? " transposed" : ""));
        std::vector<double> ax2(r), ata2(c);
        svdMultADense(path, dense.get(), x.data(), ax2.data());
        svdMultATADense(path, dense.get(), x.data(), ata2.data(), scratch.data());
        EXPECT_TRUE(same(ax, ax2));
        EXPECT_TRUE(same(ata, ata2));
      }
    }
  }
  const Eigen::MatrixXcd map = svdtest::masked_phase_map(60, 50, 0.4, 9);
  const MatrixXd P = svdtest::real_representation(map);
  auto compressed = svdtest::to_smat(P);
  auto dense = svdtest::to_dense_smat(map);
  RecPtr tall(svdLAS2A(compressed.get(), 1)), tall_dense(svdLAS2A(dense.get(), 1));
  ASSERT_TRUE(tall && tall_dense);
  EXPECT_EQ(std::memcmp(tall->s, tall_dense->s, sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(tall->Vt->value[0], tall_dense->Vt->value[0], P.cols() * sizeof(double)),
            0);
  // Wide: the run works on the transpose.
  auto wide = svdtest::to_smat(P.transpose());
  auto wide_dense = svdtest::to_dense_smat(map.adjoint());
  RecPtr a(svdLAS2A(wide.get(), 1)), b(svdLAS2A(wide_dense.get(), 1));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(std::memcmp(a->Ut->value[0], b->Ut->value[0], P.cols() * sizeof(double)), 0);
}

}  // namespace
