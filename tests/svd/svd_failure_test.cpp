// Parameter errors, the slot table, the zero matrix and every failure of a run: exact messages on
// the standard error stream, a null result, nothing left allocated, and the next run working.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
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

// Every allocation of a run made to fail in turn (tall matrix, and wide: the transposed path).
// Each failure gives null and a message; the sanitizer build checks that nothing leaks; the run
// after the failure gives the reference result and writes nothing.
class AllocationSweep : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(AllocationSweep, EveryFailureEndsTheRunCleanly) {
  const MatrixXd M = svdtest::random_sparse(GetParam().first, GetParam().second, 0.5, 64);
  SMatPtr A = svdtest::to_smat(M);
  RecPtr ref(svdLAS2A(A.get(), 2, 0));
  ASSERT_NE(ref, nullptr);
  for (long k = 1;; k++) {
    CaptureStderr();
    tarvo::alloc_fail_at(k);
    RecPtr R(svdLAS2A(A.get(), 2, 0));
    tarvo::alloc_fail_at(0);
    const std::string err = GetCapturedStderr();
    if (R) break;  // k is past the last allocation of a run
    EXPECT_FALSE(err.empty()) << k;
    EXPECT_EQ(svdSlotCount, -1);
  }
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
