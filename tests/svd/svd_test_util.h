// Helpers shared by the Lanczos SVD tests: matrices built through the public records, the real
// representation of complex maps, and owners that release results.
#pragma once

#include <Eigen/Dense>
#include <complex>
#include <memory>
#include <random>

#include "svd/svd.h"

namespace svdtest {

struct SMatFree {
  void operator()(SMat* S) const { svdFreeSMat(S); }
};
struct RecFree {
  void operator()(SVDRec* R) const { svdFreeSVDRec(R); }
};
using SMatPtr = std::unique_ptr<SMat, SMatFree>;
using RecPtr = std::unique_ptr<SVDRec, RecFree>;

// The sparse form of a dense matrix, through DMat and svdConvertDtoS.
inline SMatPtr to_smat(const Eigen::MatrixXd& M) {
  DMat* D = svdNewDMat(static_cast<int>(M.rows()), static_cast<int>(M.cols()));
  for (int i = 0; i < M.rows(); i++)
    for (int j = 0; j < M.cols(); j++) D->value[i][j] = M(i, j);
  SMatPtr S(svdConvertDtoS(D));
  svdFreeDMat(D);
  return S;
}

// The dense form (svdNewDenseSMat) of the real form of C, both copies of C filled.
inline SMatPtr to_dense_smat(const Eigen::MatrixXcd& C) {
  const auto m = C.rows(), n = C.cols();
  SMatPtr S(svdNewDenseSMat(static_cast<int>(2 * m), static_cast<int>(2 * n)));
  for (Eigen::Index i = 0; i < m; i++)
    for (Eigen::Index j = 0; j < n; j++) {
      double* by_col = S->dense_cols + 2 * (i + j * m);
      double* by_row = S->dense_rows + 2 * (i * n + j);
      by_col[0] = by_row[0] = C(i, j).real();
      by_col[1] = by_row[1] = C(i, j).imag();
    }
  return S;
}

// Random matrix with about `density` of its entries nonzero, uniform in [-1, 1].
inline Eigen::MatrixXd random_sparse(int rows, int cols, double density, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> value(-1.0, 1.0), pick(0.0, 1.0);
  Eigen::MatrixXd M = Eigen::MatrixXd::Zero(rows, cols);
  for (int j = 0; j < cols; j++)
    for (int i = 0; i < rows; i++)
      if (pick(gen) < density) M(i, j) = value(gen);
  return M;
}

// Real 2m x 2n representation of conj(C): [[Re C, Im C], [-Im C, Re C]].
inline Eigen::MatrixXd real_representation(const Eigen::MatrixXcd& C) {
  const auto m = C.rows(), n = C.cols();
  Eigen::MatrixXd D(2 * m, 2 * n);
  D << C.real(), C.imag(), -C.imag(), C.real();
  return D;
}

// A masked phase-difference-like map: phasors with a linear phase along the rows plus noise;
// about `keep` of the entries survive the mask.
inline Eigen::MatrixXcd masked_phase_map(int m, int n, double keep, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> noise(0.0, 0.05);
  std::uniform_real_distribution<double> mag(0.0, 1.0);
  Eigen::MatrixXcd P(m, n);
  for (int j = 0; j < n; j++)
    for (int i = 0; i < m; i++) {
      const double a = mag(gen);
      P(i, j) = a < keep ? std::polar(1.0 + a, 0.07 * i + 0.3 + noise(gen))
                         : std::complex<double>(0.0, 0.0);
    }
  return P;
}

}  // namespace svdtest
