// The power-of-two engine against direct long-double DFTs and closed forms.
#include <gtest/gtest.h>

#include <vector>

#include "fft/dft_reference.h"
#include "fft/fft.h"

using namespace fft_test;

namespace {

struct Pow2Tables {
  explicit Pow2Tables(int max_doubles)
      : ip(static_cast<size_t>(2 + max_doubles), 0), w(static_cast<size_t>(max_doubles / 4 + 1)) {}
  std::vector<int32_t> ip;
  std::vector<double> w;
};

// Every power-of-two length N = 1 .. 2^16 in both directions. Up to 2^10 the whole output is
// checked against the direct DFT; above that 48 bins spread over the spectrum are, each
// against ||x||_2 (the rms size of one bin's error is eps log2(N) ||x||_2).
class Pow2Length : public ::testing::TestWithParam<int> {};

TEST_P(Pow2Length, MatchesDirectDftInBothDirections) {
  const int N = GetParam();
  const int n = 2 * N;
  Pow2Tables t(n);
  for (int isgn : {1, -1}) {
    std::vector<double> a = random_signal(N, 7 + N);
    const auto x = widen(a);
    cfft_pow2(n, isgn, a.data(), t.ip.data(), t.w.data());
    if (N <= 1024) {
      auto want = x;
      dft_axis(want, N, 1, isgn >= 0 ? 1 : -1);
      EXPECT_LE(relative_error(a, want), error_bound(N)) << "N=" << N << " isgn=" << isgn;
    } else {
      long double norm = 0;
      for (const auto& v : x) norm += std::norm(v);
      const double bound = error_bound(N) * static_cast<double>(std::sqrt(norm));
      const auto roots = roots_of_unity(N, isgn >= 0 ? 1 : -1);
      for (int s = 0; s < 48; ++s) {
        const int64_t k = (static_cast<int64_t>(s) * 7919 * 131) % N;
        const lcomplex want = dft_bin(x, roots, k);
        const double err = static_cast<double>(std::abs(lcomplex(a[2 * k], a[2 * k + 1]) - want));
        EXPECT_LE(err, bound) << "N=" << N << " k=" << k << " isgn=" << isgn;
      }
    }
  }
}

std::vector<int> pow2_lengths() {
  std::vector<int> v;
  for (int N = 1; N <= 65536; N *= 2) v.push_back(N);
  return v;
}
INSTANTIATE_TEST_SUITE_P(Cfft, Pow2Length, ::testing::ValuesIn(pow2_lengths()));

}  // namespace
