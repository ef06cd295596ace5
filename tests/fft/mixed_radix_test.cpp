// The mixed-radix engine against direct long-double DFTs.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "fft/dft_reference.h"
#include "fft/fft.h"

using namespace fft_test;

namespace {

struct PlanBlock {
  void operator()(void* p) const { tarvo::free_bytes(p); }
};
using OwnedPlan = std::unique_ptr<MixedRadixPlan, PlanBlock>;

struct Scratch {
  Scratch() { fft_scratch_init(&s); }
  ~Scratch() { fft_scratch_free(&s); }
  FftScratch s;
};

// Every length 1..128 and the protocol sizes, both directions, out of place and in place.
class MrfftLength : public ::testing::TestWithParam<int> {};

TEST_P(MrfftLength, MatchesDirectDftInBothDirections) {
  const int n = GetParam();
  Scratch scratch;
  for (int backward : {0, 1}) {
    OwnedPlan plan(mrfft_alloc(n, backward, nullptr, nullptr));
    ASSERT_TRUE(plan);
    const std::vector<double> in = random_signal(n, 11 + n);
    auto want = widen(in);
    dft_axis(want, n, 1, backward ? 1 : -1);
    std::vector<double> out(2 * n);
    ASSERT_EQ(mrfft_stride(plan.get(), reinterpret_cast<const dcomplex*>(in.data()),
                           reinterpret_cast<dcomplex*>(out.data()), 1, &scratch.s),
              0);
    EXPECT_LE(relative_error(out, want), error_bound(n)) << "n=" << n;
    std::vector<double> same = in;
    auto* p = reinterpret_cast<dcomplex*>(same.data());
    ASSERT_EQ(mrfft_stride(plan.get(), p, p, 1, &scratch.s), 0);
    EXPECT_EQ(same, out) << "in place must equal out of place, n=" << n;
  }
}

std::vector<int> mrfft_lengths() {
  std::vector<int> v;
  for (int n = 1; n <= 128; ++n) v.push_back(n);
  for (int n : {97, 121, 143, 169, 208, 260, 1000}) v.push_back(n);
  return v;
}
INSTANTIATE_TEST_SUITE_P(Mrfft, MrfftLength, ::testing::ValuesIn(mrfft_lengths()));

TEST(MrfftStride, ReadsStridedInput) {
  const int n = 30, stride = 3;
  Scratch scratch;
  OwnedPlan plan(mrfft_alloc(n, 0, nullptr, nullptr));
  const std::vector<double> in = random_signal(n * stride, 5);
  std::vector<lcomplex> want(n);
  for (int j = 0; j < n; ++j) want[j] = {in[2 * j * stride], in[2 * j * stride + 1]};
  dft_axis(want, n, 1, -1);
  std::vector<double> out(2 * n);
  ASSERT_EQ(mrfft_stride(plan.get(), reinterpret_cast<const dcomplex*>(in.data()),
                         reinterpret_cast<dcomplex*>(out.data()), stride, &scratch.s),
            0);
  EXPECT_LE(relative_error(out, want), error_bound(n));
}

// mrfftnd itself (2-D, in place) is checked through fft_2d on mixed-radix sizes.
TEST(MrfftNdAlloc, RefusesAnEmptyOrOverflowingTotal) {
  const int32_t huge[2] = {65535, 65535};  // total exceeds the int32 range
  EXPECT_EQ(mrfftnd_alloc(huge, 2, 0, nullptr, nullptr), nullptr);
  const int32_t zero[2] = {4, 0};
  EXPECT_EQ(mrfftnd_alloc(zero, 2, 0, nullptr, nullptr), nullptr);
}

}  // namespace
