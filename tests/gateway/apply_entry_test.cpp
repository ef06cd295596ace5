// tarvo_apply on the test host: each frame of a series against a whole tarvo call on that
// frame, its errors (identifier, message, nothing assigned, nothing left behind), and a failure
// of every allocation and host array of a series call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/phantom.h"
#include "linalg/memory.h"
#include "reliability/call.h"
#include "tests/testhost/mxhost.h"

void tarvo_apply_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

using tarvo_test::Call;
using tarvo_test::complex_array;
using tarvo_test::same_bits;

// One tarvo_apply call: the output, or the error it raised.
struct Apply : tarvo_test::Raised {
  Apply(int nlhs, std::vector<const mxArray*> in) : Raised(tarvo_apply_mex, nlhs, std::move(in)) {}
};

class TarvoApply : public tarvo_test::HostArrays {
 protected:
  static constexpr int M = 12, N = 10, Z = 2, L = 3, T = 3;
  void SetUp() override {
    HostArrays::SetUp();
    tarvo_test::PhantomOptions o;
    o.M = M, o.N = N, o.Z = Z, o.L = L, o.seed = 21;
    const tarvo_test::Phantom ph = tarvo_test::make_phantom(o);
    even_ = keep(complex_array({M, N, Z, L}, [&](size_t i) { return ph.even[i]; }));
    odd_ = keep(complex_array({M, N, Z, L}, [&](size_t i) { return ph.odd[i]; }));
    // Frame t: the odd frame with a phase error that drifts with t.
    const size_t frame = size_t{M} * N * Z * L;
    series_ = keep(complex_array({M, N, Z, L, T}, [&](size_t i) {
      const double t = static_cast<double>(i / frame), c = std::cos(0.3 * t), s = std::sin(0.3 * t);
      const dcomplex v = ph.odd[i % frame];
      return dcomplex{v.re * c - v.im * s, v.re * s + v.im * c};
    }));
    K_ = kernels();
  }
  // Output 3 of a whole call on even_ and odd_, owned by the test.
  mxArray* kernels() {
    Call calibration(3, {even_, odd_});
    EXPECT_EQ(calibration.console, "");
    mxArray* K = keep(calibration.out[2]);
    calibration.out[2] = nullptr;
    return K;
  }
  // Frame t of a series (by default the input series) as an M x N x Z x L array.
  mxArray* frame(int t, const mxArray* series = nullptr) {
    const size_t count = size_t{M} * N * Z * L;
    const mxArray* s = series ? series : series_;
    return keep(complex_array({M, N, Z, L}, [&](size_t i) {
      return dcomplex{mxGetPr(s)[t * count + i], mxGetPi(s)[t * count + i]};
    }));
  }
  // Kernels with field `name` of element z replaced by `value`.
  mxArray* damaged(int z, const char* name, mxArray* value) {
    mxArray* k = kernels();
    const int f = mxGetFieldNumber(k, name);
    mxDestroyArray(mxGetFieldByNumber_700(k, z, f));
    mxSetFieldByNumber_700(k, z, f, value);
    return k;
  }
  mxArray *even_ = nullptr, *odd_ = nullptr, *series_ = nullptr, *K_ = nullptr;
};

TEST_F(TarvoApply, EachFrameIsTheWholeCallsOutputOnEveryThreadCount) {
  for (const char* threads : {"1", "2", "3"}) {
    setenv("TARVO_NUM_THREADS", threads, 1);
    const Apply series(1, {K_, series_});
    ASSERT_FALSE(series.raised) << series.message;
    EXPECT_EQ(tarvo_test::extents(series.out[0]), (std::vector<int>{M, N, Z, L, T}));
    for (int t = 0; t < T; ++t) {
      const Call whole(1, {even_, odd_, frame(t)});
      ASSERT_EQ(whole.console, "");
      EXPECT_TRUE(same_bits(whole.out[0], frame(t, series.out[0]))) << threads << " threads, " << t;
    }
    // One frame, as a 4-D target.
    const Apply one(0, {K_, frame(1)});
    const Call whole(1, {even_, odd_, frame(1)});
    EXPECT_TRUE(same_bits(one.out[0], whole.out[0])) << threads;
  }
  unsetenv("TARVO_NUM_THREADS");
}

TEST_F(TarvoApply, EveryErrorHasItsIdentifierAndMessageAndAssignsNothing) {
  mxArray* real_series = keep(
      mxCreateNumericArray_700(5, tarvo_test::extents(series_).data(), mxDOUBLE_CLASS, mxREAL));
  mxArray* single = keep(
      mxCreateNumericArray_700(4, tarvo_test::extents(frame(0)).data(), mxSINGLE_CLASS, mxCOMPLEX));
  mxArray* three_slices = keep(complex_array({M, N, 3, L}, [](size_t) { return dcomplex{1, 0}; }));
  mxArray* two_coils = keep(complex_array({M, N, Z, 2}, [](size_t) { return dcomplex{1, 0}; }));
  mxArray* empty = keep(complex_array({M, 0, Z, L}, [](size_t) { return dcomplex{1, 0}; }));
  const char* no_coef_names[2] = {"dk", "pattern"};
  mxArray* no_coef = keep(mxCreateStructMatrix_700(1, Z, 2, no_coef_names));
  mxArray* dk3 = mxCreateDoubleMatrix_700(1, 1, mxREAL);
  mxGetPr(dk3)[0] = 3;
  mxArray* short_coef = mxCreateDoubleMatrix_700(10 * L - 1, L, mxCOMPLEX);
  mxArray* wide_coef = mxCreateDoubleMatrix_700(10 * L, L + 1, mxCOMPLEX);
  struct Bad {
    std::vector<const mxArray*> in;
    std::string error;  // identifier suffix, then the message
    int nlhs = 1;
  };
  const std::vector<Bad> bad = {
      {{K_},
       "nargin: tarvo_apply takes 2 inputs and options, E = tarvo_apply(K, target, 'Lines', "
       "lines); it was given 1."},
      {{K_, series_}, "nargout: tarvo_apply returns 1 output, E; 2 were requested.", 2},
      {{series_, series_},
       "notStruct: K must be the kernels' struct array that tarvo (output 3) or tarvo_calibrate "
       "returns (fields dk, pattern, coef); it is a complex double array."},
      {{no_coef, series_},
       "missingField: K has no field 'coef': it must be the kernels' struct array that tarvo "
       "(output 3) or tarvo_calibrate returns (fields dk, pattern, coef)."},
      {{K_, real_series},
       "target: The target must be complex double k-space, M x N x Z x L [x T ...]; it is a real "
       "double array (complex(x) makes a real array complex)."},
      {{K_, single},
       "target: The target must be complex double k-space, M x N x Z x L [x T ...]; it is a "
       "complex single array (complex(x) makes a real array complex)."},
      {{K_, empty},
       "target: The target's frames are empty (12 x 0 x 2 x 3); each must hold M x N x Z x L "
       "samples with every extent at least 1."},
      {{K_, three_slices},
       "slices: The kernels are for 2 slices but the volume has 3 (its third extent); the kernels "
       "must come from a call on the same slices."},
      {{K_, two_coils},
       "coef: Kernel 1 has a 30 x 3 coef matrix; for a target of 2 coils it must be 20 x 2 (10 L x "
       "L)."},
      {{damaged(1, "coef", short_coef), series_},
       "coef: Kernel 2 has a 29 x 3 coef matrix; for a target of 3 coils it must be 30 x 3 (10 L x "
       "L)."},
      {{damaged(0, "coef", wide_coef), series_},
       "coef: Kernel 1 has a 30 x 4 coef matrix; for a target of 3 coils it must be 30 x 3 (10 L x "
       "L)."},
      {{damaged(0, "coef", mxCreateString("w")), series_},
       "coef: K(1).coef must be a complex double matrix of 30 x 3 values for a target of 3 coils; "
       "it is char."},
      {{damaged(1, "dk", dk3), series_},
       "dk: Kernel 2 has line spacing dk = 3; this module's kernels have dk = 2."},
      {{damaged(0, "dk", mxCreateString("2")), series_},
       "dk: K(1).dk must be a real double scalar (the kernel's line spacing)."},
      {{damaged(0, "pattern", mxCreateString("*xx*")), series_},
       "pattern: Kernel 1 has pattern '*xx*'; this module's kernels have pattern '*x*'."},
      {{damaged(1, "pattern", mxCreateDoubleMatrix_700(1, 1, mxREAL)), series_},
       "pattern: K(2).pattern must be char (the kernel's pattern text)."},
  };
  for (const Bad& b : bad) {
    const long before = tarvo_mxhost_live_arrays();
    const Apply call(b.nlhs, b.in);
    EXPECT_TRUE(call.raised) << b.error;
    EXPECT_EQ(call.id + ": " + call.message, "tarvo:apply:" + b.error);
    EXPECT_TRUE(!call.out[0] && !call.out[1]) << b.error;
    EXPECT_EQ(tarvo_mxhost_live_arrays(), before) << b.error;
  }
}

TEST_F(TarvoApply, EveryFailureOfASeriesRaisesTheMemoryErrorAfterReleasingAll) {
  const Apply reference(1, {K_, series_});
  tarvo_test::sweep_failures(tarvo_apply_mex, 1, {K_, series_}, "tarvo:apply:memory", reference);
  tarvo_mxhost_fail_create_at(1);
  const Apply no_output(1, {K_, series_});
  EXPECT_EQ(no_output.id, "tarvo:apply:memory");
  EXPECT_EQ(no_output.message, "Out of memory: the output array of 3 frames could not be created.");
}

}  // namespace
