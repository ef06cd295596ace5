// Degenerate but valid inputs: every one ends in finite outputs of the documented shape, in
// outputs whose non-finite values are confined to where non-finite or overflowing input went,
// or in a console message with no output; none hangs or crashes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/core.h"
#include "reliability/call.h"

namespace {

using tarvo_test::Call;

enum class Content {
  kSmooth,     // smooth, nonzero values
  kZeros,      // all zero
  kNanSample,  // smooth, one NaN sample in slice `bad_slice`, coil 0 of the odd frame
  kInfSample,  // the same with +Inf in the even frame
  kDenormal,   // denormal magnitudes only
  kHuge,       // smooth values times 1e300: the least-squares fit overflows
};

enum class Outcome {
  kFinite,          // outputs set, every value finite
  kAllZero,         // outputs set, every value (coefficients too) exactly zero
  kSliceNonFinite,  // the bad slice is entirely non-finite in every output, the others finite
  kAllNonFinite,    // outputs set, every value non-finite
  kMessage,         // console and stderr exactly as given, no outputs
};

struct Degenerate {
  const char* name;
  std::vector<int> dims;  // the host array extents of both inputs
  Content content;
  Outcome outcome;
  int bad_slice = 0;
  const char* console = "";
  const char* stderr_text = "";
};

constexpr const char* kInterleaveFailed =
    "tarvo: tarvo_interleave_frames failed; no outputs were assigned\n";

dcomplex value(Content content, size_t i, double phase, size_t bad_index) {
  const double x = static_cast<double>(i);
  dcomplex v = {std::sin(0.37 * x + phase) + 1.5, std::cos(0.91 * x - phase)};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  switch (content) {
    case Content::kZeros:
      return {0.0, 0.0};
    case Content::kNanSample:
      return i == bad_index && phase > 0 ? dcomplex{nan, 0.0} : v;
    case Content::kInfSample:
      return i == bad_index && phase == 0 ? dcomplex{inf, 1.0} : v;
    case Content::kDenormal:
      return {std::numeric_limits<double>::denorm_min() * static_cast<double>(i % 5), 0.0};
    case Content::kHuge:
      return {1e300 * v.re, 1e300 * v.im};
    default:
      return v;
  }
}

// (M, N, Z, L) of host extents with three or more dimensions (missing extents are 1).
std::vector<int> folded(std::vector<int> e) {
  e.resize(std::max<size_t>(e.size(), 3), 1);
  int z = 1;
  for (size_t i = 2; i + 1 < e.size(); ++i) z *= e[i];
  return {e[0], e[1], z, e.back()};
}

bool finite(const mxArray* a, size_t i) {
  return std::isfinite(mxGetPr(a)[i]) && std::isfinite(mxGetPi(a)[i]);
}

class Degenerates : public testing::TestWithParam<Degenerate> {};

TEST_P(Degenerates, GiveTheirDocumentedResult) {
  const Degenerate& d = GetParam();
  // The bad sample: middle of frame (bad_slice, coil 0).
  const size_t frame_size = static_cast<size_t>(d.dims[0]) * d.dims[1];
  const size_t bad_index = d.bad_slice * frame_size + frame_size / 2;
  mxArray* even = tarvo_test::complex_array(
      d.dims, [&](size_t i) { return value(d.content, i, 0.0, bad_index); });
  mxArray* odd = tarvo_test::complex_array(
      d.dims, [&](size_t i) { return value(d.content, i, 0.4, bad_index); });
  ASSERT_TRUE(even && odd);
  // The extents as the host holds them (trailing 1s dropped), folded.
  const std::vector<int> f = folded(tarvo_test::extents(even));
  const int M = f[0], N = f[1], Z = f[2], L = f[3];
  {
    testing::internal::CaptureStderr();
    const Call c(3, {even, odd});
    const std::string err = testing::internal::GetCapturedStderr();
    if (d.outcome == Outcome::kMessage) {
      EXPECT_EQ(c.console, d.console);
      // Frames run concurrently: each frame that failed before the others stopped prints its
      // line, so the step's one line may come more than once.
      EXPECT_EQ(err.empty(), *d.stderr_text == '\0') << err;
      const size_t line = std::strlen(d.stderr_text);
      for (size_t at = 0; line > 0 && at < err.size(); at += line)
        ASSERT_EQ(err.substr(at, line), d.stderr_text) << err;
      EXPECT_TRUE(c.no_outputs());
    } else {
      EXPECT_EQ(c.console, "");
      EXPECT_EQ(err, "");
      ASSERT_TRUE(c.out[0] && c.out[1] && c.out[2]);
      std::vector<int> shape = {M, N, Z, L};
      while (shape.size() > 2 && shape.back() == 1) shape.pop_back();
      // Every value of `a` finite unless slice(i) is spoilt; all zero for all-zero input.
      auto check = [&](const mxArray* a, const std::vector<int>& extents, auto slice) {
        ASSERT_EQ(tarvo_test::extents(a), extents);
        for (size_t i = 0; i < mxGetNumberOfElements(a); ++i) {
          const bool bad = d.outcome == Outcome::kAllNonFinite ||
                           (d.outcome == Outcome::kSliceNonFinite && slice(i) == d.bad_slice);
          ASSERT_EQ(finite(a, i), !bad) << "element " << i;
          if (d.outcome == Outcome::kAllZero) {
            ASSERT_TRUE(mxGetPr(a)[i] == 0 && mxGetPi(a)[i] == 0) << i;
          }
        }
      };
      const size_t frame = static_cast<size_t>(M) * N;
      for (int k = 0; k < 2; ++k)
        check(c.out[k], shape, [&](size_t i) { return static_cast<int>(i / frame) % Z; });
      ASSERT_EQ(tarvo_test::extents(c.out[2]), (std::vector<int>{1, Z}));
      for (int s = 0; s < Z; ++s)
        check(mxGetFieldByNumber_700(c.out[2], s, 2), {10 * L, L}, [s](size_t) { return s; });
    }
  }
  mxDestroyArray(even);
  mxDestroyArray(odd);
}

// Regression: the quadrant exchange of an empty frame (M x 0 or 0 x N) swapped M/2 (N/2)
// elements of the buffer it was given, past the end of an empty volume.
TEST(EmptyFrames, QuadrantExchangeLeavesThemAlone) {
  std::vector<dcomplex> buffer(64);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = {static_cast<double>(i), 0.0};
  const std::vector<dcomplex> before = buffer;
  swap_quadrants(buffer.data(), 64, 0);
  swap_quadrants(buffer.data(), 0, 64);
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i].re, before[i].re) << i;
}

// Single-coil data cannot be told apart: the host drops trailing extents of 1, so M x N x 1 x 1
// arrives 2-D (refused) and M x N x Z x 1 arrives as Z coils of one slice.
INSTANTIATE_TEST_SUITE_P(
    Inputs, Degenerates,
    testing::Values(
        Degenerate{"AllZero", {8, 8, 2, 2}, Content::kZeros, Outcome::kAllZero},
        Degenerate{"NanSampleSpoilsItsSliceOnly",
                   {8, 8, 3, 2},
                   Content::kNanSample,
                   Outcome::kSliceNonFinite,
                   1},
        Degenerate{"InfSampleSpoilsItsSliceOnly",
                   {8, 6, 2, 3},
                   Content::kInfSample,
                   Outcome::kSliceNonFinite,
                   0},
        Degenerate{"Denormals", {8, 8, 2, 2}, Content::kDenormal, Outcome::kFinite},
        Degenerate{"HugeOverflowsTheFit", {8, 8, 2, 2}, Content::kHuge, Outcome::kAllNonFinite},
        Degenerate{"OneReadoutSample", {1, 8, 2, 2}, Content::kSmooth, Outcome::kFinite},
        Degenerate{"OneLine", {8, 1, 1, 2}, Content::kSmooth, Outcome::kFinite},
        Degenerate{"OddLines", {6, 7, 1, 3}, Content::kSmooth, Outcome::kFinite},
        Degenerate{"PrimeExtents", {13, 11, 3, 5}, Content::kSmooth, Outcome::kFinite},
        Degenerate{"OneSliceThreeD", {8, 8, 4}, Content::kSmooth, Outcome::kFinite},
        Degenerate{
            "TrailingOneCoilReadsAsCoils", {4, 6, 2, 3, 1}, Content::kSmooth, Outcome::kFinite},
        Degenerate{"AlignmentLimitReadout", {32767, 2, 1, 2}, Content::kSmooth, Outcome::kFinite},
        Degenerate{"AlignmentLimitLines", {2, 32767, 1, 2}, Content::kSmooth, Outcome::kFinite},
        // Regression: inputs without elements but with huge other extents ran per-line loops
        // for minutes (0 x 2^30 x 216 frames); an input without elements is now refused.
        Degenerate{"NoElementsHugeLines",
                   {0, 1073741824, 3, 8, 9},
                   Content::kSmooth,
                   Outcome::kMessage,
                   0,
                   "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array "
                   "for the input data.\n\t (in:[ 0 1073741824 3 8 ]) \n"},
        Degenerate{"NoSlices",
                   {8, 8, 0, 2},
                   Content::kSmooth,
                   Outcome::kMessage,
                   0,
                   "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array "
                   "for the input data.\n\t (in:[ 8 8 0 2 ]) \n"},
        Degenerate{"AboveTheAlignmentLimit",
                   {32768, 2, 1, 2},
                   Content::kSmooth,
                   Outcome::kMessage,
                   0,
                   kInterleaveFailed,
                   "Error: align_phase frame extents 32768 x 2 are above 32767, which is not "
                   "supported\n"},
        Degenerate{"AboveTheFftKeyLimit",
                   {2, 65536, 1, 2},
                   Content::kSmooth,
                   Outcome::kMessage,
                   0,
                   kInterleaveFailed,
                   "2dfft: Error: image size 2 x 65536 is outside 1..65535.  Unable to "
                   "proceed.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
