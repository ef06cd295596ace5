// mexFunction on the test host: argument messages, output shapes, the kernel struct, the third
// input, and failures of every allocation and every host array of a call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/phantom.h"
#include "core/tarvo.h"
#include "gateway/gateway.h"
#include "reliability/call.h"
#include "tests/testhost/mxhost.h"

namespace {

using tarvo_test::Phantom;

const std::string kTooFew =
    "At least 3 input arguments are required. (k:measured k-space, Y: associated list of "
    "acquired phase encode lines, sz: size of output coil maps)";
const std::string kFirst =
    "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array for the input "
    "data.\n";
const std::string kSecond =
    "error with 2nd input: Need to declare a complex M-by-N-by-...-by-L array for the input "
    "data.\n";
const std::string kThird =
    "error with 3nd input: Need to declare a complex M-by-N-by-Z-by-L array for the input "
    "data.\n";

std::string extent_line(int a, int b, int c, int d) {
  return "\t (in:[ " + std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " +
         std::to_string(d) + " ]) \n";
}

std::vector<dcomplex> values(const mxArray* a) {
  std::vector<dcomplex> v(mxGetNumberOfElements(a));
  for (size_t i = 0; i < v.size(); ++i) v[i] = {mxGetPr(a)[i], mxGetPi(a)[i]};
  return v;
}

Phantom phantom(int M, int N, int Z, int L) {
  tarvo_test::PhantomOptions o;
  o.M = M, o.N = N, o.Z = Z, o.L = L, o.seed = 5;
  return tarvo_test::make_phantom(o);
}

using tarvo_test::Call;  // one mexFunction call: console text, assigned outputs, allocations
using tarvo_test::extents;
using tarvo_test::same_bits;

// Inputs owned by the test; every array the module creates must be gone after each call.
class Gateway : public tarvo_test::HostArrays {
 protected:
  mxArray* kspace(const std::vector<int>& dims, const std::vector<dcomplex>& data) {
    return keep(tarvo_test::complex_array(dims, [&](size_t i) { return data[i]; }));
  }
  mxArray* numeric(const std::vector<int>& dims, mxClassID cls, mxComplexity c) {
    return keep(mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(), cls, c));
  }
};

TEST_F(Gateway, ArgumentCountsPrintTheirTextWithoutNewline) {
  const Phantom ph = phantom(8, 8, 1, 2);
  mxArray* even = kspace({8, 8, 1, 2}, ph.even);
  const Call one(5, {even});
  EXPECT_EQ(one.console, kTooFew);
  EXPECT_TRUE(one.no_outputs());
  const Call four(4, {even, even});
  EXPECT_EQ(four.console, "Too many output arguments.");
  EXPECT_TRUE(four.no_outputs());
  EXPECT_EQ(four.allocations, 0);
}

// Each bad input gets its message pair with the first four extents (1 for missing ones);
// nothing is assigned, and a bad first input is reported before anything is allocated (every
// message with its inputs is read in a real host by tarvo_soak).
TEST_F(Gateway, BadFirstOrSecondInputPrintsItsMessagePair) {
  const Phantom ph = phantom(8, 6, 1, 2);
  mxArray* good = kspace({8, 6, 2}, ph.even);
  struct Bad {
    mxArray* array;
    std::string extents;
  };
  const std::vector<Bad> bad = {
      {numeric({8, 6, 2}, mxDOUBLE_CLASS, mxREAL), extent_line(8, 6, 2, 1)},
      {numeric({8, 6}, mxDOUBLE_CLASS, mxCOMPLEX), extent_line(8, 6, 1, 1)},
      {numeric({2, 3, 4, 5, 6}, mxINT16_CLASS, mxREAL), extent_line(2, 3, 4, 5)},
  };
  for (const Bad& b : bad) {
    const Call first(3, {b.array, good});
    EXPECT_EQ(first.console, kFirst + b.extents);
    EXPECT_TRUE(first.no_outputs());
    EXPECT_EQ(first.allocations, 0);
    const Call second(3, {good, b.array});
    EXPECT_EQ(second.console, kSecond + b.extents);
    EXPECT_TRUE(second.no_outputs());
    const Call both(3, {b.array, b.array});  // the first input is examined first
    EXPECT_EQ(both.console, kFirst + b.extents);
  }
}

// An element count beyond 2^31 - 1 is refused with the input's pair before its data is read
// or anything is allocated (the host arrays back one element only).
TEST_F(Gateway, InputTooLargeForInt32IsRefusedWithItsMessagePair) {
  const Phantom ph = phantom(8, 6, 1, 2);
  mxArray* good = kspace({8, 6, 1, 2}, ph.even);
  const std::vector<int> huge = {65536, 32768, 1, 2};  // 2^32 elements, extents fit
  mxArray* big = keep(tarvo_mxhost_create_unbacked(4, huge.data(), mxDOUBLE_CLASS, mxCOMPLEX));
  const std::vector<int> slices = {1, 1, 65536, 65536, 0};  // empty, but Z = 2^32
  mxArray* folded = keep(tarvo_mxhost_create_unbacked(5, slices.data(), mxDOUBLE_CLASS, mxCOMPLEX));

  const Call first(1, {big, good});
  EXPECT_EQ(first.console, kFirst + extent_line(65536, 32768, 1, 2));
  EXPECT_EQ(first.allocations, 0);
  const Call empty(1, {folded, good});
  EXPECT_EQ(empty.console, kFirst + extent_line(1, 1, 65536, 65536));
  EXPECT_EQ(empty.allocations, 0);
  const Call second(1, {good, big});
  EXPECT_EQ(second.console, kSecond + extent_line(65536, 32768, 1, 2));
  EXPECT_EQ(second.allocations, 1);  // only the first input's copy
  const Call third(1, {good, good, big});
  EXPECT_EQ(third.console, kThird + extent_line(65536, 32768, 1, 2));
  for (const Call* c : {&first, &empty, &second, &third}) EXPECT_TRUE(c->no_outputs());
}

// 8 x 6 x 2 x 3 x 1 x 3 folds like 8 x 6 x 6 x 3, so the two inputs are the same slices (the
// message for inputs that differ is read by tarvo_soak).
TEST_F(Gateway, FirstAndSecondInputsAreComparedFolded) {
  const Phantom p = phantom(8, 6, 6, 3);
  const Call folded(1, {kspace({8, 6, 6, 3}, p.even), kspace({8, 6, 2, 3, 1, 3}, p.odd)});
  EXPECT_EQ(folded.console, "");
  ASSERT_NE(folded.out[0], nullptr);
  EXPECT_EQ(extents(folded.out[0]), (std::vector<int>{8, 6, 6, 3}));
}

// A third input that is not complex double of exactly four dimensions, or whose extents
// differ from the first input's, is refused after the whole calibration has run: the call
// makes exactly the allocations of a calibration-only call (nlhs = 0: silent, no outputs,
// fewer allocations than a call with one output) before it prints.
TEST_F(Gateway, ThirdInputIsExaminedAfterTheCalibration) {
  const Phantom ph = phantom(8, 6, 2, 2);
  mxArray* even = kspace({8, 6, 2, 2}, ph.even);
  mxArray* odd = kspace({8, 6, 2, 2}, ph.odd);
  const Call only(0, {even, odd});
  EXPECT_EQ(only.console, "");
  EXPECT_TRUE(only.no_outputs());
  const long calibration = only.allocations;
  ASSERT_GT(calibration, 10);
  EXPECT_LT(calibration, Call(1, {even, odd}).allocations);
  struct Bad {
    mxArray* array;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {kspace({8, 6, 1, 2, 2}, ph.even), kThird + extent_line(8, 6, 1, 2)},
      {numeric({8, 6, 2, 2}, mxDOUBLE_CLASS, mxREAL), kThird + extent_line(8, 6, 2, 2)},
      {kspace({6, 8, 2, 2}, ph.even),
       "Error: input matrix size mismatch - A: [ 1st input: 8 ... ] vs B: [ 3rd input: 6 ... ]\n"},
  };
  for (const Bad& b : bad) {
    for (int nlhs : {0, 1, 3}) {
      const Call c(nlhs, {even, odd, b.array});
      EXPECT_EQ(c.console, b.message) << nlhs;
      EXPECT_EQ(c.allocations, calibration) << nlhs;
      EXPECT_TRUE(c.no_outputs());
    }
  }
}

// Outputs 1 and 2 are M x N x Z x L (the host drops trailing 1s); output 3 is a 1 x Z struct
// with "dk", "pattern", "coef" in this order (their values are pinned by the reference test).
TEST_F(Gateway, OutputsHaveTheFoldedShapeAndOneKernelPerSlice) {
  struct {
    std::vector<int> in, out;  // host extents of both inputs, of outputs 1 and 2
    int Z, L;
  } cases[] = {{{8, 6, 3}, {8, 6, 1, 3}, 1, 3}, {{6, 10, 1, 2, 2}, {6, 10, 2, 2}, 2, 2}};
  for (const auto& s : cases) {
    const Phantom ph = phantom(s.in[0], s.in[1], s.Z, s.L);
    const Call c(3, {kspace(s.in, ph.even), kspace(s.in, ph.odd)});
    EXPECT_EQ(c.console, "");
    ASSERT_TRUE(c.out[0] && c.out[1] && c.out[2]);
    EXPECT_EQ(extents(c.out[0]), s.out);
    EXPECT_EQ(extents(c.out[1]), s.out);
    const mxArray* K = c.out[2];
    EXPECT_EQ(extents(K), (std::vector<int>{1, s.Z}));
    ASSERT_EQ(mxGetNumberOfFields(K), 3);
    const char* names[3] = {"dk", "pattern", "coef"};
    for (int f = 0; f < 3; ++f) EXPECT_STREQ(mxGetFieldNameByNumber(K, f), names[f]);
    EXPECT_EQ(extents(mxGetFieldByNumber_700(K, s.Z - 1, 2)), (std::vector<int>{10 * s.L, s.L}));
  }
}

// Output 3's coef is the fitted kernel of its slice: element (r, c) of the 10 L x L matrix is
// coefficient (r, c) of tarvo::Calibration::kernel(z) of a calibration on the same data, the
// real part in the real array and the imaginary part in the imaginary one, bit for bit.
TEST_F(Gateway, OutputThreeCoefIsTheFittedKernel) {
  const int M = 8, N = 6, Z = 3, L = 2;
  const Phantom ph = phantom(M, N, Z, L);
  const Call c(3, {kspace({M, N, Z, L}, ph.even), kspace({M, N, Z, L}, ph.odd)});
  ASSERT_EQ(c.console, "");
  std::vector<dcomplex> even = ph.even, odd = ph.odd;
  auto record = [&](std::vector<dcomplex>& v) {
    return ComplexVolume{4, {M, N, Z, L}, "dblc", v.data()};
  };
  tarvo::Calibration calibration;
  tarvo::Status status;
  ASSERT_EQ(tarvo::calibrate(record(even), record(odd), &calibration, &status), 0);
  for (int z = 0; z < Z; ++z) {
    const mxArray* coef = mxGetFieldByNumber_700(c.out[2], z, 2);
    const tarvo::KernelView k = calibration.kernel(z);
    ASSERT_EQ(mxGetNumberOfElements(coef), static_cast<size_t>(k.rows * k.cols));
    for (std::int64_t i = 0; i < k.rows * k.cols; ++i) {
      ASSERT_EQ(std::memcmp(&mxGetPr(coef)[i], &k.re[i * k.step], sizeof(double)), 0) << z << i;
      ASSERT_EQ(std::memcmp(&mxGetPi(coef)[i], &k.im[i * k.step], sizeof(double)), 0) << z << i;
    }
  }
}

// Output 1 corrects the third input; the second input only calibrates. With the odd frame
// as target the result is that of the two-input call bit for bit; with the even frame as
// target it differs, and both are the error-free coil images within the accuracy of the
// correction (5% of the peak, as for the core's own pipeline).
TEST_F(Gateway, ThirdInputIsTheTargetOfOutputOne) {
  const Phantom ph = phantom(32, 32, 1, 4);
  mxArray* even = kspace({32, 32, 1, 4}, ph.even);
  mxArray* odd = kspace({32, 32, 1, 4}, ph.odd);
  const Call two(3, {even, odd});
  const Call same(3, {even, odd, odd});
  const Call other(1, {even, odd, even});
  ASSERT_TRUE(two.out[0] && same.out[0] && other.out[0]);
  for (int k : {0, 1}) EXPECT_TRUE(same_bits(two.out[k], same.out[k])) << k;
  EXPECT_FALSE(same_bits(two.out[0], other.out[0]));
  double peak = 0, err_odd = 0, err_even = 0;
  const std::vector<dcomplex> a = values(two.out[0]), b = values(other.out[0]);
  for (size_t i = 0; i < a.size(); ++i) {
    const dcomplex t = ph.coil_images[i];
    peak = std::max(peak, std::hypot(t.re, t.im));
    err_odd = std::max(err_odd, std::hypot(a[i].re - t.re, a[i].im - t.im));
    err_even = std::max(err_even, std::hypot(b[i].re - t.re, b[i].im - t.im));
  }
  EXPECT_LT(err_odd, 0.05 * peak);
  EXPECT_LT(err_even, 0.05 * peak);
}

// Output 1 is taken before the final alignment; output 2 carries the alignment's turn, so
// with nlhs = 1 and nlhs = 2 output 1 is the same, and output 2 is F aligned against it.
// The even frame is turned by a constant phase of 1 rad so that there is a turn to see.
TEST_F(Gateway, OutputOneIsTakenBeforeTheFinalAlignment) {
  const Phantom ph = phantom(16, 16, 2, 3);
  std::vector<dcomplex> turned = ph.even;
  for (dcomplex& v : turned)
    v = {v.re * std::cos(1.0) - v.im * std::sin(1.0), v.re * std::sin(1.0) + v.im * std::cos(1.0)};
  mxArray* even = kspace({16, 16, 2, 3}, turned);
  mxArray* odd = kspace({16, 16, 2, 3}, ph.odd);
  const Call one(1, {even, odd});
  const Call two(2, {even, odd});
  ASSERT_TRUE(one.out[0] && two.out[0] && two.out[1]);
  EXPECT_EQ(one.out[1], nullptr);
  EXPECT_TRUE(same_bits(one.out[0], two.out[0]));
  // The corrected even frame taken as target (output 1 of another call) differs from
  // output 2 only by the alignment's turn: a per-frame phase, so the magnitudes agree.
  const Call even_target(1, {even, odd, even});
  const std::vector<dcomplex> f = values(two.out[1]), g = values(even_target.out[0]);
  double peak = 0, phase_free = 0, raw = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    peak = std::max(peak, std::hypot(g[i].re, g[i].im));
    phase_free = std::max(phase_free,
                          std::fabs(std::hypot(f[i].re, f[i].im) - std::hypot(g[i].re, g[i].im)));
    raw = std::max(raw, std::hypot(f[i].re - g[i].re, f[i].im - g[i].im));
  }
  EXPECT_LT(phase_free, 1e-9 * peak);  // a phase turn changes magnitudes only by rounding
  EXPECT_GT(raw, 0.1 * peak);          // and output 2 did turn
}

}  // namespace
