// tarvo_apply on the test host: each frame of a series against a whole tarvo call on that
// frame, its errors (identifier, message, nothing assigned, nothing left behind), a failure of
// every allocation of a series call, and two calls at once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
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
    const Call calibration(3, {even_, odd_});
    ASSERT_EQ(calibration.console, "");
    K_ = keep(duplicate(calibration.out[2]));
  }
  // Frame t of the series as an M x N x Z x L array.
  mxArray* frame(int t) {
    const size_t count = size_t{M} * N * Z * L;
    return keep(complex_array({M, N, Z, L}, [&](size_t i) {
      return dcomplex{mxGetPr(series_)[t * count + i], mxGetPi(series_)[t * count + i]};
    }));
  }
  // A copy of K with field `name` of element z replaced by `value`.
  mxArray* damaged(int z, const char* name, mxArray* value) {
    mxArray* k = keep(duplicate(K_));
    const int f = mxGetFieldNumber(k, name);
    mxDestroyArray(mxGetFieldByNumber_700(k, z, f));
    mxSetFieldByNumber_700(k, z, f, value);
    return k;
  }
  static mxArray* duplicate(const mxArray* a);

  mxArray *even_ = nullptr, *odd_ = nullptr, *series_ = nullptr, *K_ = nullptr;
};

// A deep copy of a struct, double or char array (what K holds).
mxArray* TarvoApply::duplicate(const mxArray* a) {
  if (!a) return nullptr;
  if (mxGetClassID(a) == mxCHAR_CLASS) {
    char* text = mxArrayToString(a);
    mxArray* copy = mxCreateString(text);
    mxFree(text);
    return copy;
  }
  const std::vector<int> dims = tarvo_test::extents(a);
  if (mxGetClassID(a) == mxSTRUCT_CLASS) {
    std::vector<const char*> names;
    for (int f = 0; f < mxGetNumberOfFields(a); ++f) names.push_back(mxGetFieldNameByNumber(a, f));
    mxArray* copy =
        mxCreateStructMatrix_700(dims[0], dims[1], static_cast<int>(names.size()), names.data());
    for (size_t i = 0; i < mxGetNumberOfElements(a); ++i)
      for (int f = 0; f < static_cast<int>(names.size()); ++f)
        mxSetFieldByNumber_700(copy, static_cast<int>(i), f,
                               duplicate(mxGetFieldByNumber_700(a, static_cast<int>(i), f)));
    return copy;
  }
  mxArray* copy = mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(),
                                           mxGetClassID(a), mxIsComplex(a) ? mxCOMPLEX : mxREAL);
  const size_t n = mxGetNumberOfElements(a);
  std::memcpy(mxGetPr(copy), mxGetPr(a), n * sizeof(double));
  if (mxIsComplex(a)) std::memcpy(mxGetPi(copy), mxGetPi(a), n * sizeof(double));
  return copy;
}

TEST_F(TarvoApply, EachFrameIsTheWholeCallsOutputOnEveryThreadCount) {
  for (const char* threads : {"1", "2", "3"}) {
    setenv("TARVO_NUM_THREADS", threads, 1);
    const Apply series(1, {K_, series_});
    ASSERT_FALSE(series.raised) << series.message;
    EXPECT_EQ(tarvo_test::extents(series.out[0]), (std::vector<int>{M, N, Z, L, T}));
    const size_t count = size_t{M} * N * Z * L;
    for (int t = 0; t < T; ++t) {
      const Call whole(1, {even_, odd_, frame(t)});
      ASSERT_EQ(whole.console, "");
      EXPECT_EQ(std::memcmp(mxGetPr(whole.out[0]), mxGetPr(series.out[0]) + t * count,
                            count * sizeof(double)),
                0)
          << threads << " threads, frame " << t;
      EXPECT_EQ(std::memcmp(mxGetPi(whole.out[0]), mxGetPi(series.out[0]) + t * count,
                            count * sizeof(double)),
                0)
          << threads << " threads, frame " << t;
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
    int nlhs;
    const char* id;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {{K_},
       1,
       "tarvo:apply:nargin",
       "tarvo_apply takes 2 inputs and options, E = tarvo_apply(K, target, 'Lines', lines); it "
       "was given 1."},
      {{K_, series_},
       2,
       "tarvo:apply:nargout",
       "tarvo_apply returns 1 output, E; 2 were requested."},
      {{series_, series_},
       1,
       "tarvo:apply:notStruct",
       "K must be the kernels' struct array that tarvo (output 3) or tarvo_calibrate returns "
       "(fields dk, pattern, coef); it is a complex double array."},
      {{no_coef, series_},
       1,
       "tarvo:apply:missingField",
       "K has no field 'coef': it must be the kernels' struct array that tarvo (output 3) or "
       "tarvo_calibrate returns (fields dk, pattern, coef)."},
      {{K_, real_series},
       1,
       "tarvo:apply:target",
       "The target must be complex double k-space, M x N x Z x L [x T ...]; it is a real double "
       "array (complex(x) makes a real array complex)."},
      {{K_, single},
       1,
       "tarvo:apply:target",
       "The target must be complex double k-space, M x N x Z x L [x T ...]; it is a complex "
       "single array (complex(x) makes a real array complex)."},
      {{K_, empty},
       1,
       "tarvo:apply:target",
       "The target's frames are empty (12 x 0 x 2 x 3); each must hold M x N x Z x L samples "
       "with every extent at least 1."},
      {{K_, three_slices},
       1,
       "tarvo:apply:slices",
       "The kernels are for 2 slices but the volume has 3 (its third extent); the kernels must "
       "come from a call on the same slices."},
      {{K_, two_coils},
       1,
       "tarvo:apply:coef",
       "Kernel 1 has a 30 x 3 coef matrix; for a target of 2 coils it must be 20 x 2 (10 L x L)."},
      {{damaged(1, "coef", short_coef), series_},
       1,
       "tarvo:apply:coef",
       "Kernel 2 has a 29 x 3 coef matrix; for a target of 3 coils it must be 30 x 3 (10 L x L)."},
      {{damaged(0, "coef", wide_coef), series_},
       1,
       "tarvo:apply:coef",
       "Kernel 1 has a 30 x 4 coef matrix; for a target of 3 coils it must be 30 x 3 (10 L x L)."},
      {{damaged(0, "coef", mxCreateString("w")), series_},
       1,
       "tarvo:apply:coef",
       "K(1).coef must be a complex double matrix of 30 x 3 values for a target of 3 coils; it "
       "is char."},
      {{damaged(1, "dk", dk3), series_},
       1,
       "tarvo:apply:dk",
       "Kernel 2 has line spacing dk = 3; this module's kernels have dk = 2."},
      {{damaged(0, "dk", mxCreateString("2")), series_},
       1,
       "tarvo:apply:dk",
       "K(1).dk must be a real double scalar (the kernel's line spacing)."},
      {{damaged(0, "pattern", mxCreateString("*xx*")), series_},
       1,
       "tarvo:apply:pattern",
       "Kernel 1 has pattern '*xx*'; this module's kernels have pattern '*x*'."},
      {{damaged(1, "pattern", mxCreateDoubleMatrix_700(1, 1, mxREAL)), series_},
       1,
       "tarvo:apply:pattern",
       "K(2).pattern must be char (the kernel's pattern text)."},
  };
  for (const Bad& b : bad) {
    const long before = tarvo_mxhost_live_arrays();
    const Apply call(b.nlhs, b.in);
    EXPECT_TRUE(call.raised) << b.id;
    EXPECT_EQ(call.id, b.id);
    EXPECT_EQ(call.message, b.message);
    EXPECT_TRUE(!call.out[0] && !call.out[1]) << b.id;
    EXPECT_EQ(tarvo_mxhost_live_arrays(), before) << b.id;
  }
}

TEST_F(TarvoApply, EveryFailingAllocationOfASeriesRaisesTheMemoryErrorAfterReleasingAll) {
  const Apply reference(1, {K_, series_});
  ASSERT_FALSE(reference.raised);
  tarvo::alloc_fail_at(1L << 40);  // armed far away: the call runs as it would in the sweep
  const long before = tarvo::alloc_count();
  { const Apply counted(1, {K_, series_}); }
  const long total = tarvo::alloc_count() - before;
  tarvo::alloc_fail_at(0);
  ASSERT_GT(total, 10);
  for (long k = 1; k <= total + 1; ++k) {
    testing::internal::CaptureStderr();
    {
      tarvo::alloc_fail_at(k);
      const Apply call(1, {K_, series_});
      tarvo::alloc_fail_at(0);
      if (k <= total) {
        EXPECT_TRUE(call.raised) << "allocation " << k;
        EXPECT_EQ(call.id, "tarvo:apply:memory") << "allocation " << k << ": " << call.message;
        EXPECT_FALSE(call.out[0]);
      } else {
        EXPECT_TRUE(same_bits(call.out[0], reference.out[0]));
      }
    }
    testing::internal::GetCapturedStderr();
    if (HasFailure()) break;
  }
  tarvo_mxhost_fail_create_at(1);
  const Apply no_output(1, {K_, series_});
  EXPECT_EQ(no_output.id, "tarvo:apply:memory");
  EXPECT_EQ(no_output.message, "Out of memory: the output array of 3 frames could not be created.");
}

TEST_F(TarvoApply, TwoCallsAtOnceGiveTheSerialResults) {
  const Apply reference(1, {K_, series_});
  ASSERT_FALSE(reference.raised);
  bool same[2] = {false, false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      const Apply call(1, {K_, series_});
      same[i] = !call.raised && same_bits(call.out[0], reference.out[0]);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(same[0] && same[1]);
}

}  // namespace
