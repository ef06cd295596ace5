// Parameter errors, the slot table, the zero matrix and every failure of a run: exact messages on
// the standard error stream, a null result, nothing left allocated, and the next run working.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "svd/internal.h"
#include "svd_test_util.h"

namespace {

using Eigen::MatrixXd;
using svdtest::RecPtr;
using svdtest::SMatPtr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const double kEnd[2] = {-1.0e-30, 1.0e-30};

std::string nomem(const std::string& label) {
  return label + ": " + std::strerror(ENOMEM) + "\n";
}

TEST(SvdErrors, ParameterErrorsReturnNull) {
  SMatPtr empty(svdNewSMat(0, 3, 0));
  SMatPtr A = svdtest::to_smat(svdtest::random_sparse(6, 5, 0.6, 61));
  const double reversed[2] = {1.0, -1.0};
  const std::string dims = "ONE OF YOUR DIMENSIONS IS LESS THAN OR EQUAL TO ZERO";
  struct {
    std::function<SVDRec*()> call;
    std::string text;
  } cases[] = {
      {[&] { return svdLAS2A(nullptr, 1, 0); }, "\aERROR: svdLAS2A called with NULL array\n\n"},
      {[&] { return svdLAS2A(nullptr, 1); }, "\aERROR: svdLAS2A called with NULL array\n\n"},
      {[&] { return svdLAS2(A.get(), 1, 0, nullptr, 1e-6); },
       "\aERROR: svdLAS2 parameter error: MATRIX OR INTERVAL IS NULL\n\n"},
      {[&] { return svdLAS2A(empty.get(), 1, 0); },
       "\aERROR: svdLAS2 parameter error: " + dims + "\n\n"},
      {[&] { return svdLAS2(A.get(), 1, 0, reversed, 1e-6, 0); },
       "\aERROR: svdLAS2 parameter error: ENDL MUST BE LESS THAN ENDR\n\n"},
      // A slot outside the table is refused (without a table, a negative one).
      {[&] { return svdLAS2A(A.get(), 1, -1); },
       "\aERROR: svdLAS2 parameter error: SLOT IS NOT ONE OF THE SLOTS CREATED BY "
       "svdLAS2_init\n\n"},
  };
  for (auto& c : cases) {
    CaptureStderr();
    EXPECT_EQ(c.call(), nullptr);
    EXPECT_EQ(GetCapturedStderr(), c.text);
  }
  EXPECT_EQ(svdSlotCount, -1);
}

TEST(SvdLas2, ClampsDimensionsAndIterations) {
  // diag(4, 3, 2, 1) plus a zero row: min(rows, cols) = 4; four steps give all four triplets.
  MatrixXd M = MatrixXd::Zero(5, 4);
  for (int i = 0; i < 4; i++) M(i, i) = 4 - i;
  SMatPtr A = svdtest::to_smat(M);
  svdLAS2_init(1);
  for (int dims : {0, -2, 9}) {
    for (int iterations : {0, 1, 99}) {  // 1 < dimensions becomes dimensions
      RecPtr R(svdLAS2(A.get(), dims, iterations, kEnd, 1e-6, 0));
      ASSERT_NE(R, nullptr);
      EXPECT_EQ(R->Ut->rows, 4);
      ASSERT_EQ(R->d, 4) << dims << " " << iterations;
      for (int k = 0; k < 4; k++) EXPECT_NEAR(R->s[k], 4 - k, 1e-13);
    }
  }
  svdLAS2_post();
}

TEST(SvdLas2, ZeroMatrixHasNoStartVectorAndNoTriplet) {
  SMatPtr A = svdtest::to_smat(MatrixXd::Zero(6, 5));
  CaptureStderr();
  RecPtr R(svdLAS2A(A.get(), 1, 0));
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_NE(R, nullptr);
  EXPECT_EQ(svdErrorFlag, kNoStartVector);
  EXPECT_EQ(R->d, 0);
  EXPECT_EQ(R->s[0], 0.0);
  for (int j = 0; j < 5; j++) EXPECT_EQ(R->Vt->value[0][j], 0.0);  // no eigenvalue scratch
  for (int i = 0; i < 6; i++) EXPECT_EQ(R->Ut->value[0][i], 0.0);

  // The iteration itself stores nothing.
  const int n = 5, iterations = 5;
  std::vector<std::vector<double>> w(10, std::vector<double>(n + 1, 0.0));
  double* wptr[10];
  for (int i = 0; i < 10; i++) wptr[i] = w[i].data();
  std::vector<double*> store(iterations + 2, nullptr);
  std::vector<double> opb(6), ritz(iterations + 1), bnd(iterations + 1);
  LanczosStore run = {store.data(), iterations + 2, opb.data()};
  svdErrorFlag = 0;
  int neig = -1;
  LanczosState state{.A = A.get(), .n = n, .wptr = wptr, .store = &run};
  EXPECT_EQ(
      lanczosRun({.iterations = iterations, .dimensions = 1, .endl = kEnd[0], .endr = kEnd[1]},
                 state, ritz.data(), bnd.data(), &neig),
      0);
  EXPECT_EQ(neig, 0);
  EXPECT_EQ(svdErrorFlag, kNoStartVector);
  for (double* p : store) EXPECT_EQ(p, nullptr);
}

TEST(SvdLas2, NonFiniteMatrixEndsTheRun) {
  for (double bad : {std::nan(""), HUGE_VAL}) {
    MatrixXd M = svdtest::random_sparse(8, 7, 0.6, 63);
    M(3, 2) = bad;
    SMatPtr A = svdtest::to_smat(M);
    CaptureStderr();  // an infinite entry makes imtqlb report its failure; the run goes on
    RecPtr R(svdLAS2A(A.get(), 1, 0));  // returns: no hang, no crash
    GetCapturedStderr();
    if (R) {
      EXPECT_EQ(R->d, 0) << bad;
    }
  }
}

TEST(SvdRecords, ConversionReportsItsAllocationFailure) {
  DMat* D = svdNewDMat(2, 2);
  D->value[1][1] = 1.0;
  CaptureStderr();
  tarvo::alloc_fail_at(1);
  EXPECT_EQ(svdConvertDtoS(D), nullptr);
  EXPECT_EQ(GetCapturedStderr(),
            nomem("svdNewSMat") + "\aERROR: svdConvertDtoS: failed to allocate S\n");
  svdFreeDMat(D);
}

// Every allocation of a run made to fail in turn (tall matrix, and wide: the transposed path).
// Each failure gives null and a message; the sanitizer build checks that nothing leaks; the run
// after the failure gives the reference result and writes nothing.
class AllocationSweep : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(AllocationSweep, EveryFailureEndsTheRunCleanly) {
  const MatrixXd M = svdtest::random_sparse(GetParam().first, GetParam().second, 0.5, 64);
  SMatPtr A = svdtest::to_smat(M);
  RecPtr ref(svdLAS2A(A.get(), 2, 0));
  ASSERT_NE(ref, nullptr);
  std::set<std::string> seen;
  for (long k = 1;; k++) {
    CaptureStderr();
    tarvo::alloc_fail_at(k);
    RecPtr R(svdLAS2A(A.get(), 2, 0));
    tarvo::alloc_fail_at(0);
    const std::string err = GetCapturedStderr();
    if (R) break;  // k is past the last allocation of a run
    EXPECT_FALSE(err.empty()) << k;
    EXPECT_EQ(svdSlotCount, -1);
    seen.insert(err);
  }
  const std::string fatal = "\aERROR: svdLAS2: fatal error, aborting\n";
  const std::string no_r = "\aERROR: svdLAS2: allocation of R failed\n";
  std::vector<std::string> expected = {
      nomem("las2: wptr[0]") + fatal,
      nomem("las2: wptr[9]") + fatal,
      nomem("las2: bnd") + fatal,
      nomem("las2: LanStore") + fatal,
      nomem("las2: OPBTemp") + fatal,
      nomem("LanStore[j]") + "\aERROR: svdLAS2: failed to allocate LanStore[2]\a\n",
      nomem("svdNewSVDRec") + no_r,
      nomem("svdNewDMat") + no_r,
      nomem("las2: R->s") + no_r,
      nomem("ritvec: s") + fatal,
      nomem("ritvec: xv2") + fatal};
  if (GetParam().second >= 1.2 * GetParam().first) expected.push_back(nomem("svdNewSMat") + fatal);
  for (const std::string& e : expected) EXPECT_EQ(seen.count(e), 1u) << e;
  CaptureStderr();
  testing::internal::CaptureStdout();
  RecPtr again(svdLAS2A(A.get(), 2, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(std::memcmp(again->s, ref->s, 2 * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(SvdLas2A, AllocationSweep,
                         testing::Values(std::make_pair(12, 9), std::make_pair(9, 12)));

}  // namespace
