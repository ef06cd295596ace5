// tarvo_calibrate and an accelerated tarvo_apply on the test host, where every allocation and
// every host array of a call can be made to fail (Octave cannot): each failure raises the
// memory error with nothing assigned and nothing left behind, and once nothing fails the
// outputs are those of an undisturbed call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/phantom.h"
#include "linalg/memory.h"
#include "reliability/call.h"
#include "tests/testhost/mxhost.h"

void tarvo_apply_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void tarvo_calibrate_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

using tarvo_test::complex_array;
using tarvo_test::same_bits;

using Outcome = tarvo_test::Raised;

class AcceleratedCalls : public tarvo_test::HostArrays {
 protected:
  static constexpr int M = 12, N = 12, Z = 2, L = 2;
  void SetUp() override {
    HostArrays::SetUp();
    tarvo_test::PhantomOptions o;
    o.M = M, o.N = N, o.Z = Z, o.L = L, o.seed = 5;
    const tarvo_test::Phantom ph = tarvo_test::make_phantom(o);
    even_ = keep(complex_array({M, N, Z, L}, [&](size_t i) { return ph.even[i]; }));
    odd_ = keep(complex_array({M, N, Z, L}, [&](size_t i) { return ph.odd[i]; }));
    // The odd frame with its lines 0, 2, 4, ... (0-based) kept and the others zero.
    target_ = keep(complex_array({M, N, Z, L}, [&](size_t i) {
      return (i / M) % N % 2 == 0 ? ph.odd[i] : dcomplex{0, 0};
    }));
    r_name_ = keep(mxCreateString("R"));
    r_ = keep(mxCreateDoubleMatrix_700(1, 1, mxREAL));
    *mxGetPr(r_) = 2;
    lines_name_ = keep(mxCreateString("Lines"));
    lines_ = keep(mxCreateDoubleMatrix_700(1, N / 2, mxREAL));
    for (int k = 0; k < N / 2; ++k) mxGetPr(lines_)[k] = 2 * k + 1;
  }

  mxArray *even_ = nullptr, *odd_ = nullptr, *target_ = nullptr;
  mxArray *r_name_ = nullptr, *r_ = nullptr, *lines_name_ = nullptr, *lines_ = nullptr;
};

TEST_F(AcceleratedCalls, CalibrateRaisesTheMemoryErrorForEveryFailureAndReleasesAll) {
  const std::vector<const mxArray*> in{even_, odd_, r_name_, r_};
  const Outcome reference(tarvo_calibrate_mex, 2, in);
  tarvo_test::sweep_failures(tarvo_calibrate_mex, 2, in, "tarvo:calibrate:memory", reference);
}

TEST_F(AcceleratedCalls, ApplyOfAcceleratedKernelsRaisesTheMemoryErrorForEveryFailure) {
  const Outcome kernels(tarvo_calibrate_mex, 1, {even_, odd_, r_name_, r_});
  ASSERT_FALSE(kernels.raised) << kernels.message;
  const std::vector<const mxArray*> in{kernels.out[0], target_, lines_name_, lines_};
  const Outcome reference(tarvo_apply_mex, 1, in);
  tarvo_test::sweep_failures(tarvo_apply_mex, 1, in, "tarvo:apply:memory", reference);
}

}  // namespace
