// One mexFunction call on the test host, for the reliability tests: the console text, the
// outputs it assigned (destroyed with the Call) and the allocations it made.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "linalg/linalg.h"
#include "linalg/memory.h"
#include "tests/testhost/mxhost.h"

namespace tarvo_test {

inline std::vector<int> extents(const mxArray* a) {
  const int* d = mxGetDimensions_700(a);
  return std::vector<int>(d, d + mxGetNumberOfDimensions_700(a));
}

// A complex double host array of the given extents; element i is value(i).
template <class Value>
mxArray* complex_array(const std::vector<int>& dims, Value value) {
  mxArray* a = mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(), mxDOUBLE_CLASS,
                                        mxCOMPLEX);
  for (size_t i = 0; a && i < mxGetNumberOfElements(a); ++i) {
    const dcomplex v = value(i);
    mxGetPr(a)[i] = v.re;
    mxGetPi(a)[i] = v.im;
  }
  return a;
}

// One call of mexFunction; the outputs it assigned are destroyed with the Call, and slots
// beyond nlhs stay null unless the call wrote them.
struct Call {
  std::string console;
  mxArray* out[4] = {nullptr, nullptr, nullptr, nullptr};
  long allocations = 0;  // tarvo::alloc_bytes calls made by the call

  Call(int nlhs, std::vector<const mxArray*> in) {
    tarvo_mxhost_clear_console();
    const long before = tarvo::alloc_count();
    mexFunction(nlhs, out, static_cast<int>(in.size()), in.data());
    allocations = tarvo::alloc_count() - before;
    console = tarvo_mxhost_console();
  }
  ~Call() {
    for (mxArray* a : out) mxDestroyArray(a);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  bool no_outputs() const { return !out[0] && !out[1] && !out[2] && !out[3]; }
};

// One call of a MEX entry that raises MATLAB-style errors: the outputs it assigned (destroyed
// with the Raised), whether it raised an error, and the error's identifier and message.
struct Raised {
  mxArray* out[4] = {nullptr, nullptr, nullptr, nullptr};
  bool raised = false;
  std::string id, message;
  Raised(tarvo_mxhost_entry entry, int nlhs, std::vector<const mxArray*> in) {
    raised = tarvo_mxhost_call(entry, nlhs, out, static_cast<int>(in.size()), in.data()) != 0;
    id = tarvo_mxhost_error_id();
    message = tarvo_mxhost_error_message();
  }
  ~Raised() {
    for (mxArray* a : out) mxDestroyArray(a);
  }
  Raised(const Raised&) = delete;
  Raised& operator=(const Raised&) = delete;
};

// Fails allocation k = 1, 2, ... of an entry's call, then host array k = 1, 2, ..., until the
// call succeeds: each failure must raise `id` with nothing assigned and no host array left
// behind (a failure made and not raised would be a failure reported as success), and the call
// that succeeds must give `reference`'s outputs bit for bit.
inline bool same_bits(const mxArray* a, const mxArray* b);
inline void sweep_failures(tarvo_mxhost_entry entry, int nlhs,
                           const std::vector<const mxArray*>& in, const char* id,
                           const Raised& reference) {
  ASSERT_FALSE(reference.raised) << reference.message;
  for (const bool host : {false, true}) {
    long k = 1;
    for (;; ++k) {
      testing::internal::CaptureStderr();
      const long before = tarvo_mxhost_live_arrays();
      host ? tarvo_mxhost_fail_create_at(k) : tarvo::alloc_fail_at(k);
      const Raised call(entry, nlhs, in);
      const bool swallowed = !host && !tarvo::alloc_fail_armed();
      tarvo::alloc_fail_at(0);
      tarvo_mxhost_fail_create_at(0);
      testing::internal::GetCapturedStderr();
      if (!call.raised) {
        EXPECT_FALSE(swallowed) << "allocation " << k;
        for (int o = 0; o < nlhs; ++o)
          EXPECT_TRUE(same_bits(call.out[o], reference.out[o])) << "output " << o + 1;
        break;
      }
      EXPECT_EQ(call.id, id) << (host ? "host array " : "allocation ") << k << ": " << call.message;
      EXPECT_TRUE(!call.out[0] && !call.out[1]);
      EXPECT_EQ(tarvo_mxhost_live_arrays(), before) << k;
      if (testing::Test::HasFailure() || k > 100000) return;
    }
    EXPECT_GT(k, host ? 1 : 10) << "the call made too few " << (host ? "arrays" : "allocations");
  }
}

// A test whose input arrays it owns (keep): after each test, with no failure injected any more,
// every host array the module created must be gone.
class HostArrays : public testing::Test {
 protected:
  void SetUp() override { live_ = tarvo_mxhost_live_arrays(); }
  void TearDown() override {
    tarvo::alloc_fail_at(0);
    tarvo_mxhost_fail_create_at(0);
    for (mxArray* a : owned_) mxDestroyArray(a);
    EXPECT_EQ(tarvo_mxhost_live_arrays(), live_) << "host arrays leaked";
  }
  mxArray* keep(mxArray* a) {
    owned_.push_back(a);
    return a;
  }
  long live_ = 0;
  std::vector<mxArray*> owned_;
};

// Same class, extents and bits (for struct arrays: field by field, recursively).
inline bool same_bits(const mxArray* a, const mxArray* b) {
  if (!a || !b) return a == b;
  if (mxGetClassID(a) != mxGetClassID(b) || extents(a) != extents(b) ||
      mxIsComplex(a) != mxIsComplex(b))
    return false;
  const size_t n = mxGetNumberOfElements(a);
  switch (mxGetClassID(a)) {
    case mxDOUBLE_CLASS:
      return std::memcmp(mxGetPr(a), mxGetPr(b), n * sizeof(double)) == 0 &&
             (!mxIsComplex(a) || std::memcmp(mxGetPi(a), mxGetPi(b), n * sizeof(double)) == 0);
    case mxCHAR_CLASS: {
      char* s = mxArrayToString(a);
      char* t = mxArrayToString(b);
      const bool same = s && t && std::strcmp(s, t) == 0;
      mxFree(s);
      mxFree(t);
      return same;
    }
    case mxSTRUCT_CLASS: {
      const int fields = mxGetNumberOfFields(a);
      if (fields != mxGetNumberOfFields(b)) return false;
      for (int f = 0; f < fields; ++f) {
        if (std::strcmp(mxGetFieldNameByNumber(a, f), mxGetFieldNameByNumber(b, f)) != 0)
          return false;
        for (size_t i = 0; i < n; ++i)
          if (!same_bits(mxGetFieldByNumber_700(a, static_cast<int>(i), f),
                         mxGetFieldByNumber_700(b, static_cast<int>(i), f)))
            return false;
      }
      return true;
    }
    default:
      return false;
  }
}

}  // namespace tarvo_test
