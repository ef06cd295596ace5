// tarvo_prepare on the test host: the core's bits, every error identifier and message with no
// output assigned, and failures of every allocation and host array.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "prepare/prepare.h"
#include "prepare/trajectory.h"
#include "reliability/call.h"
#include "tests/testhost/mxhost.h"

extern "C" void tarvo_prepare_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

// Host arrays of one test, destroyed with the fixture.
class PrepareEntry : public tarvo_test::HostArrays {
 protected:
  mxArray* numeric(const std::vector<int>& dims, mxClassID id, mxComplexity c) {
    return keep(mxCreateNumericArray_700(int(dims.size()), dims.data(), id, c));
  }
  // R x N x ... complex raw lines with arbitrary values.
  mxArray* raw(const std::vector<int>& dims) {
    mxArray* a = numeric(dims, mxDOUBLE_CLASS, mxCOMPLEX);
    for (std::size_t i = 0; i < mxGetNumberOfElements(a); ++i)
      mxGetPr(a)[i] = std::sin(0.37 * i), mxGetPi(a)[i] = std::cos(1.3 * i) - 0.2;
    return a;
  }
  mxArray* real(const std::vector<double>& v) {
    mxArray* a = numeric({1, int(v.size())}, mxDOUBLE_CLASS, mxREAL);
    for (std::size_t i = 0; i < v.size(); ++i) mxGetPr(a)[i] = v[i];
    return a;
  }
  mxArray* logical(const std::vector<unsigned char>& v) {
    mxArray* a = numeric({int(v.size()), 1}, mxLOGICAL_CLASS, mxREAL);
    std::memcpy(mxGetData(a), v.data(), v.size());
    return a;
  }
  mxArray* text(const std::string& s) { return keep(mxCreateString(s.c_str())); }
  int call(std::vector<const mxArray*> in, int nlhs = 1) {  // 0, or 1 when raised
    out_ = nullptr;
    const int status =
        tarvo_mxhost_call(tarvo_prepare_entry, nlhs, &out_, int(in.size()), in.data());
    if (out_) keep(out_);
    return status;
  }

  mxArray* out_ = nullptr;
};

// R x N x Z x L raw lines, reversed by a logical vector and by a parity name: the extents and
// bits of the core's preparation.
TEST_F(PrepareEntry, GivesTheCoreResultWithTheExtentsOfRaw) {
  const int M = 16, R = 27, N = 6, Z = 2, L = 3;
  const std::vector<double> kx = tarvo_test::trapezoid_kx(R, M, 0.4);
  const mxArray* lines = raw({R, N, Z, L});
  std::vector<dcomplex> in(std::size_t(R) * N * Z * L), expected(std::size_t(M) * N * Z * L);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = {mxGetPr(lines)[i], mxGetPi(lines)[i]};
  tarvo::ReadoutGrid grid;
  tarvo::Error e;
  ASSERT_EQ(grid.build(kx.data(), R, M, &e), 0);
  for (const auto& [reversed, flags] :
       {std::pair{logical({0, 1, 1, 0, 0, 1}), std::vector<unsigned char>{0, 1, 1, 0, 0, 1}},
        std::pair{text("odd"), std::vector<unsigned char>{0, 1, 0, 1, 0, 1}}}) {
    ASSERT_EQ(
        tarvo::prepare_lines(grid, in.data(), {R, N, Z * L}, flags.data(), expected.data(), &e), 0);
    ASSERT_EQ(call({lines, real(kx), reversed, real({double(M)})}), 0);
    ASSERT_EQ(mxGetNumberOfDimensions_700(out_), 4);
    const int* d = mxGetDimensions_700(out_);
    EXPECT_EQ(std::vector<int>(d, d + 4), (std::vector<int>{M, N, Z, L}));
    for (std::size_t i = 0; i < expected.size(); ++i)
      ASSERT_TRUE(mxGetPr(out_)[i] == expected[i].re && mxGetPi(out_)[i] == expected[i].im) << i;
  }
}

TEST_F(PrepareEntry, EveryBadCallRaisesItsIdentifierAndMessage) {
  const int R = 12, N = 4;
  const std::vector<double> kx = tarvo_test::trapezoid_kx(R, 8, 0.4);
  const mxArray *a = raw({R, N}), *k = real(kx), *odd = text("odd"), *m = real({8});
  std::vector<double> nan = kx, inf = kx, down = {-6, -5, -5, -3, -2, -1, 0, 1, 2, 3, 4, 5};
  nan[4] = std::nan(""), inf[11] = -INFINITY;
  const int huge[2] = {65536, 65536};
  std::vector<int> dims33(33, 1);
  dims33[32] = 2;
  const mxArray* unbacked = keep(tarvo_mxhost_create_unbacked(2, huge, mxDOUBLE_CLASS, mxCOMPLEX));
  const std::string parity =
      "reversed must be a logical vector with one value per line or 'even' or 'odd'";
  struct Case {
    std::vector<const mxArray*> in;
    std::string error;  // identifier suffix, then the message
    int nlhs = 1;
  };
  const std::vector<Case> cases = {
      {{a, k, odd},
       "arguments: tarvo_prepare takes 4 inputs (raw, kx, reversed, M); it was given 3."},
      {{a, k, odd, m}, "arguments: tarvo_prepare has 1 output; 2 were requested.", 2},
      {{real({1, 2}), k, odd, m},
       "raw: raw must be a complex double array, R samples x N lines x ... (complex(x) makes a "
       "real array complex)."},
      {{numeric(dims33, mxDOUBLE_CLASS, mxCOMPLEX), k, odd, m},
       "raw: raw has 33 dimensions; at most 32 are supported."},
      {{unbacked, k, odd, m}, "raw: raw has 4294967296 elements; at most 2^31 - 1 are supported."},
      {{raw({R, 0}), k, odd, m}, "raw: raw must not be empty (it is 12 x 0 x 1 after folding)"},
      {{a, a, odd, m},
       "kx: kx must be a real double vector with one position per sample of a line."},
      {{a, real({-4, -3, 0, 1}), odd, m},
       "kx: kx has 4 values but raw has 12 samples per line; kx needs one value per sample"},
      {{raw({0, N}), real({}), odd, m}, "kx: kx must hold one position per sample (it is empty)"},
      {{raw({17, 1}), real(std::vector<double>(17, 0.0)), odd, real({2})},
       "kx: kx has 17 positions; at most 16 (8 times M = 2) are supported"},
      {{a, real(nan), odd, m}, "kx: kx must hold finite values (value 5 of 12 is NaN)"},
      {{a, real(inf), odd, m}, "kx: kx must hold finite values (value 12 of 12 is Inf)"},
      {{a, real(down), odd, m},
       "kx: kx must be strictly increasing (value 3, -5, is not above value 2, -5)"},
      {{raw({4, 1}), real({-3, -1, 0.5, 3}), odd, real({4})},
       "kx: only 2 of the 4 kx positions lie within -M/2 .. M/2 (M = 4); at least M are needed"},
      // -2 and +2 are one image component for M = 4: three distinct positions for four pixels.
      {{raw({4, 1}), real({-2, -1, 0, 2}), odd, real({4})},
       "kx: the kx positions do not determine 4 uniform samples (the least-squares fit is "
       "singular: too few distinct positions or too wide gaps)"},
      // 95 % of the samples on the ramps leave the centre of k-space undersampled.
      {{raw({218, 1}), real(tarvo_test::trapezoid_kx(218, 128, 0.95)), odd, real({128})},
       "kx: the kx positions sample k-space too sparsely for M = 128: resampling would amplify "
       "noise 40.3-fold (at most 10 is accepted; neighbouring positions more than 1 apart are the "
       "usual cause)"},
      {{a, k, real({0, 1, 0, 1}), m}, "reversed: " + parity + "."},
      {{a, k, logical({0, 1, 0}), m},
       "reversed: reversed has 3 values but raw has 4 lines; it needs one value per line"},
      {{a, k, text("Even"), m}, "reversed: " + parity + " (got 'Even')"},
      {{a, k, text(std::string(50, 'x')), m},
       "reversed: " + parity + " (got '" + std::string(40, 'x') + "'...)"},
      {{a, k, odd, real({8.5})},
       "M: M must be a real double scalar holding a whole number (the output line length)."},
      {{a, k, odd, real({2000})}, "M: M must be a whole number from 1 to 1024 (got 2000)"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(call(c.in, c.nlhs) == 1 && out_ == nullptr) << c.error;
    EXPECT_EQ(tarvo_mxhost_error_id() + std::string(": ") + tarvo_mxhost_error_message(),
              "tarvo:prepare:" + c.error);
  }
}

// Every allocation of the module, then every host array, failing in turn: the call raises
// tarvo:prepare:memory, assigns nothing and leaves no host array behind (the sanitizer build
// checks the module's own blocks).
TEST_F(PrepareEntry, EveryAllocationFailureRaisesMemoryAndAssignsNothing) {
  const int M = 8, R = 13, N = 4;
  const std::vector<const mxArray*> in = {raw({R, N}), real(tarvo_test::trapezoid_kx(R, M, 0.4)),
                                          text("odd"), real({double(M)})};
  std::set<std::string> messages;
  for (long k = 1;; ++k) {
    tarvo::alloc_fail_at(k);
    const int status = call(in);
    const bool failed_here = !tarvo::alloc_fail_armed();
    tarvo::alloc_fail_at(0);
    if (!failed_here) {
      EXPECT_EQ(status, 0);
      break;
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out_, nullptr);
    EXPECT_EQ(std::string(tarvo_mxhost_error_id()), "tarvo:prepare:memory") << k;
    messages.insert(tarvo_mxhost_error_message());
  }
  EXPECT_EQ(messages, (std::set<std::string>{"Out of memory for the line flags.",
                                             "not enough memory for the 8 x 13 resampling matrix",
                                             "Out of memory for the lines."}));
  tarvo_mxhost_fail_create_at(1);
  EXPECT_TRUE(call(in) == 1 && out_ == nullptr);
  tarvo_mxhost_fail_create_at(0);
  EXPECT_EQ(std::string(tarvo_mxhost_error_message()), "Out of memory for the output.");
}

}  // namespace
