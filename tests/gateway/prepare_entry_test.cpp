// tarvo_prepare on the test host: the same bits as the core, every error identifier and
// message with no output assigned, and failures of every allocation and host array.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/testhost/mxhost.h"
#include "prepare/prepare.h"
#include "prepare/trajectory.h"

extern "C" void tarvo_prepare_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

// Host arrays of one call, destroyed with the fixture.
class PrepareEntry : public testing::Test {
 protected:
  void SetUp() override { live_ = tarvo_mxhost_live_arrays(); }
  void TearDown() override {
    for (mxArray* a : arrays_) mxDestroyArray(a);
    EXPECT_EQ(tarvo_mxhost_live_arrays(), live_) << "host arrays leaked";
  }
  mxArray* keep(mxArray* a) {
    arrays_.push_back(a);
    return a;
  }
  mxArray* complex_array(const std::vector<int>& dims, const std::vector<dcomplex>& data) {
    mxArray* a = keep(mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(),
                                               mxDOUBLE_CLASS, mxCOMPLEX));
    for (std::size_t i = 0; i < data.size(); ++i) mxGetPr(a)[i] = data[i].re, mxGetPi(a)[i] = data[i].im;
    return a;
  }
  mxArray* real_array(const std::vector<double>& v) {
    mxArray* a = keep(mxCreateDoubleMatrix_700(1, static_cast<int>(v.size()), mxREAL));
    for (std::size_t i = 0; i < v.size(); ++i) mxGetPr(a)[i] = v[i];
    return a;
  }
  mxArray* logical_array(const std::vector<unsigned char>& v) {
    const int dims[2] = {static_cast<int>(v.size()), 1};
    mxArray* a = keep(mxCreateNumericArray_700(2, dims, mxLOGICAL_CLASS, mxREAL));
    std::memcpy(mxGetData(a), v.data(), v.size());
    return a;
  }
  // Runs the entry; returns 0 or 1 (raised) as the host does.
  int call(std::vector<const mxArray*> in, int nlhs = 1) {
    out_ = nullptr;
    const int status = tarvo_mxhost_call(tarvo_prepare_entry, nlhs, &out_, static_cast<int>(in.size()),
                                         in.data());
    if (out_) keep(out_);
    return status;
  }
  void expect_error(std::vector<const mxArray*> in, const std::string& id,
                    const std::string& message, int nlhs = 1) {
    EXPECT_EQ(call(in, nlhs), 1) << id;
    EXPECT_EQ(out_, nullptr) << id;
    EXPECT_EQ(std::string(tarvo_mxhost_error_id()), id);
    EXPECT_EQ(std::string(tarvo_mxhost_error_message()), message);
  }

  long live_ = 0;
  std::vector<mxArray*> arrays_;
  mxArray* out_ = nullptr;
};

std::vector<dcomplex> some_values(std::size_t n) {
  std::vector<dcomplex> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = {std::sin(0.37 * i), std::cos(1.3 * i) - 0.2};
  return v;
}

// R x N x Z x L raw lines, reversed by a logical vector and by a parity name: the extents and
// bits of the core's preparation.
TEST_F(PrepareEntry, GivesTheCoreResultWithTheExtentsOfRaw) {
  const int M = 16, R = 27, N = 6, Z = 2, L = 3;
  const std::vector<double> kx = tarvo_test::trapezoid_kx(R, M, 0.4);
  const std::vector<dcomplex> raw = some_values(std::size_t(R) * N * Z * L);
  const std::vector<unsigned char> flags = {0, 1, 1, 0, 0, 1};
  tarvo::ReadoutGrid grid;
  tarvo::PrepareError e;
  ASSERT_EQ(grid.build(kx.data(), R, M, &e), 0);
  std::vector<dcomplex> expected(std::size_t(M) * N * Z * L);
  ASSERT_EQ(tarvo::prepare_lines(grid, raw.data(), {R, N, Z * L}, flags.data(), expected.data(), &e), 0);

  mxArray* raw_mx = complex_array({R, N, Z, L}, raw);
  ASSERT_EQ(call({raw_mx, real_array(kx), logical_array(flags), real_array({double(M)})}), 0);
  ASSERT_NE(out_, nullptr);
  const int* d = mxGetDimensions_700(out_);
  ASSERT_EQ(mxGetNumberOfDimensions_700(out_), 4);
  EXPECT_EQ(std::vector<int>(d, d + 4), (std::vector<int>{M, N, Z, L}));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(mxGetPr(out_)[i], expected[i].re) << i;
    ASSERT_EQ(mxGetPi(out_)[i], expected[i].im) << i;
  }

  // 'odd' is the logical vector 0 1 0 1 0 1.
  const std::vector<unsigned char> odd = {0, 1, 0, 1, 0, 1};
  ASSERT_EQ(tarvo::prepare_lines(grid, raw.data(), {R, N, Z * L}, odd.data(), expected.data(), &e), 0);
  ASSERT_EQ(call({raw_mx, real_array(kx), keep(mxCreateString("odd")), real_array({double(M)})}), 0);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(mxGetPr(out_)[i], expected[i].re) << i;
    ASSERT_EQ(mxGetPi(out_)[i], expected[i].im) << i;
  }
}

TEST_F(PrepareEntry, EveryBadCallRaisesItsIdentifierAndMessage) {
  const int M = 8, R = 12, N = 4;
  const std::vector<double> kx_values = tarvo_test::trapezoid_kx(R, M, 0.4);
  const mxArray* raw = complex_array({R, N}, some_values(R * N));
  const mxArray* kx = real_array(kx_values);
  const mxArray* odd = keep(mxCreateString("odd"));
  const mxArray* m = real_array({double(M)});
  const mxArray* real_raw = real_array(std::vector<double>(R * N, 1.0));

  expect_error({raw, kx, odd}, "tarvo:prepare:arguments",
               "tarvo_prepare takes 4 inputs (raw, kx, reversed, M); it was given 3.");
  expect_error({raw, kx, odd, m}, "tarvo:prepare:arguments",
               "tarvo_prepare has 1 output; 2 were requested.", 2);
  const std::string raw_class =
      "raw must be a complex double array, R samples x N lines x ... (complex(x) makes a real "
      "array complex).";
  expect_error({real_raw, kx, odd, m}, "tarvo:prepare:raw", raw_class);
  expect_error({odd, kx, odd, m}, "tarvo:prepare:raw", raw_class);
  expect_error({raw, raw, odd, m}, "tarvo:prepare:kx",
               "kx must be a real double vector with one position per sample of a line.");
  expect_error({raw, real_array({-4, -3, 0, 1}), odd, m}, "tarvo:prepare:kx",
               "kx has 4 values but raw has 12 samples per line; kx needs one value per sample");
  std::vector<double> bad = kx_values;
  bad[4] = std::nan("");
  expect_error({raw, real_array(bad), odd, m}, "tarvo:prepare:kx",
               "kx must hold finite values (value 5 of 12 is NaN)");
  const std::string m_class =
      "M must be a real double scalar holding a whole number (the output line length).";
  expect_error({raw, kx, odd, real_array({8.5})}, "tarvo:prepare:M", m_class);
  expect_error({raw, kx, odd, real_array({8, 8})}, "tarvo:prepare:M", m_class);
  expect_error({raw, kx, odd, odd}, "tarvo:prepare:M", m_class);
  expect_error({raw, kx, odd, real_array({2000})}, "tarvo:prepare:M",
               "M must be a whole number from 1 to 1024 (got 2000)");
  expect_error({raw, kx, real_array({0, 1, 0, 1}), m}, "tarvo:prepare:reversed",
               "reversed must be a logical vector with one value per line or 'even' or 'odd'.");
  expect_error({raw, kx, logical_array({0, 1, 0}), m}, "tarvo:prepare:reversed",
               "reversed has 3 values but raw has 4 lines; it needs one value per line");
  expect_error({raw, kx, keep(mxCreateString("both")), m}, "tarvo:prepare:reversed",
               "reversed must be a logical vector with one value per line or 'even' or 'odd' "
               "(got 'both')");
  const int empty_dims[2] = {R, 0};
  const mxArray* empty = keep(mxCreateNumericArray_700(2, empty_dims, mxDOUBLE_CLASS, mxCOMPLEX));
  expect_error({empty, kx, keep(mxCreateString("even")), m}, "tarvo:prepare:raw",
               "raw must not be empty (it is 12 x 0 x 1 after folding)");
}

// Every allocation of the module and every host array failing in turn: the call raises
// tarvo:prepare:memory, assigns nothing and leaves no host array behind (the sanitizer build
// checks the module's own blocks).
TEST_F(PrepareEntry, EveryAllocationFailureRaisesMemoryAndAssignsNothing) {
  const int M = 8, R = 13, N = 4;
  const mxArray* raw = complex_array({R, N}, some_values(R * N));
  const mxArray* kx = real_array(tarvo_test::trapezoid_kx(R, M, 0.4));
  const mxArray* odd = keep(mxCreateString("odd"));
  const mxArray* m = real_array({double(M)});
  int failures = 0;
  for (long k = 1;; ++k) {
    tarvo::alloc_fail_at(k);
    const int status = call({raw, kx, odd, m});
    const bool failed_here = !tarvo::alloc_fail_armed();
    tarvo::alloc_fail_at(0);
    if (!failed_here) {
      EXPECT_EQ(status, 0);
      break;
    }
    ++failures;
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out_, nullptr);
    EXPECT_EQ(std::string(tarvo_mxhost_error_id()), "tarvo:prepare:memory") << k;
  }
  EXPECT_GE(failures, 4);
  tarvo_mxhost_fail_create_at(1);
  expect_error({raw, kx, odd, m}, "tarvo:prepare:memory", "Out of memory for the output.");
  tarvo_mxhost_fail_create_at(0);
}

}  // namespace
