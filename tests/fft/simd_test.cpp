// Every instruction-set path of the engines against direct long-double DFTs: the baseline
// (SSE2) kernels and, where the processor has them, the AVX2/FMA and AVX-512 kernels, forced
// in turn; and the AVX-512 kernels against the AVX2 kernels bit for bit.
#include "fft/simd.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fft/dft_reference.h"
#include "fft/fft.h"

using namespace fft_test;
using tarvo::fftk::isa;

namespace {

std::string isa_name(isa set) {
  return set == isa::avx512 ? "avx512" : set == isa::avx2 ? "avx2" : "sse2";
}

// Forces `set` for the life of the object; skips the test when the processor lacks it.
class IsaScope {
 public:
  explicit IsaScope(isa set) : before_(tarvo::fftk::active_isa()) {
    supported_ = tarvo::fftk::use_isa(set);
  }
  ~IsaScope() { tarvo::fftk::use_isa(before_); }
  bool supported() const { return supported_; }

 private:
  isa before_;
  bool supported_ = false;
};

#define FORCE_ISA_OR_SKIP(set) \
  IsaScope scope(set);         \
  if (!scope.supported()) GTEST_SKIP() << "processor lacks " << isa_name(set)

// Four interleaved transforms of every power-of-two length up to 2^12 (every driver: fixed
// kernels, small, leaf and recursive), each against its own direct DFT.
class Batch4Length : public ::testing::TestWithParam<std::tuple<isa, int>> {};

TEST_P(Batch4Length, EachInterleavedTransformMatchesDirectDft) {
  const auto [set, N] = GetParam();
  FORCE_ISA_OR_SKIP(set);
  std::vector<int32_t> ip(2 + 2 * N, 0);
  std::vector<double> w(N / 2 + 1);
  cfft_pow2_make_tables(N / 2 > 0 ? N / 2 : 1, ip.data(), w.data());
  for (bool minus : {false, true}) {
    std::vector<double> a = random_signal(4 * static_cast<int64_t>(N), N + minus);
    std::vector<std::vector<lcomplex>> want(4, std::vector<lcomplex>(N));
    for (int c = 0; c < 4; ++c) {
      for (int j = 0; j < N; ++j) want[c][j] = {a[8 * j + 2 * c], a[8 * j + 2 * c + 1]};
      dft_axis(want[c], N, 1, minus ? -1 : 1);
    }
    tarvo::fftk::pow2_batch4(a.data(), 2 * N, minus, ip.data(), w.data());
    for (int c = 0; c < 4; ++c) {
      std::vector<double> got(2 * N);
      for (int j = 0; j < N; ++j) {
        got[2 * j] = a[8 * j + 2 * c];
        got[2 * j + 1] = a[8 * j + 2 * c + 1];
      }
      EXPECT_LE(relative_error(got, want[c]), error_bound(N))
          << isa_name(set) << " N=" << N << " transform " << c << " minus=" << minus;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Batch4Length,
                         ::testing::Combine(::testing::Values(isa::sse2, isa::avx2, isa::avx512),
                                            ::testing::Values(1, 2, 4, 8, 16, 32, 64, 128, 256, 512,
                                                              1024)));

// fft_2d under each path; the sizes cover every column sweep width (4, 8 and 16 columns),
// rows interleaved four at a time and one by one, and both engines.
class Fft2dPath : public ::testing::TestWithParam<std::tuple<isa, std::pair<int, int>>> {};

TEST_P(Fft2dPath, MatchesDirectDftInBothDirections) {
  const auto [set, size] = GetParam();
  const auto [nx, ny] = size;
  FORCE_ISA_OR_SKIP(set);
  FftManager m{};
  ASSERT_EQ(fft_manager_init(&m), 0);
  for (char dir : {'f', 'b'}) {
    std::vector<double> img = random_signal(static_cast<int64_t>(nx) * ny, nx * 7 + ny);
    const auto want = dft_2d(img, nx, ny, dir == 'f' ? -1 : 1);
    ASSERT_EQ(fft_2d(&m, nx, ny, img.data(), dir), 0);
    EXPECT_LE(relative_error(img, want), error_bound(static_cast<int64_t>(nx) * ny))
        << isa_name(set) << " " << nx << " x " << ny << " " << dir;
  }
  fft_manager_destroy(&m);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Fft2dPath,
    ::testing::Combine(::testing::Values(isa::sse2, isa::avx2, isa::avx512),
                       ::testing::Values(std::pair{4, 8}, std::pair{8, 4}, std::pair{16, 2},
                                         std::pair{128, 64}, std::pair{90, 104}, std::pair{176, 88},
                                         std::pair{13, 7}, std::pair{1, 37}, std::pair{37, 1},
                                         std::pair{2, 512})));

// A caller's work area is only the documented 8 nrows doubles: the column pass must keep to it
// (narrow sweeps, rows one by one) and still give the transform.
TEST(CfftPow2TwoD, CallerWorkAreaOfDocumentedSizeSuffices) {
  for (isa set : {isa::sse2, isa::avx2, isa::avx512}) {
    IsaScope scope(set);
    if (!scope.supported()) continue;
    const int nrows = 8, rowlen = 128;  // 64 complex columns: the widest sweep would need 256
    std::vector<int32_t> ip(2 + rowlen, 0);
    std::vector<double> w(rowlen / 4);
    std::vector<double> img = random_signal(nrows * rowlen / 2, 3);
    const auto want = dft_2d(img, rowlen / 2, nrows, 1);
    // Guard doubles after the work area catch a write beyond it.
    std::vector<double> t(8 * nrows + 16, 7.0);
    std::vector<double*> rows(nrows);
    for (int i = 0; i < nrows; ++i) rows[i] = img.data() + i * rowlen;
    ASSERT_EQ(cfft_pow2_2d(nrows, rowlen, 1, rows.data(), t.data(), ip.data(), w.data()), 0);
    EXPECT_LE(relative_error(img, want), error_bound(nrows * rowlen / 2)) << isa_name(set);
    for (int k = 8 * nrows; k < 8 * nrows + 16; ++k) EXPECT_EQ(t[k], 7.0) << isa_name(set);
  }
}

// The AVX-512 kernels do lane by lane what the AVX2 kernels do, products fused into sums at the
// same places: the same bits, power-of-two lengths through every fixed kernel and mixed radices,
// rows batched and one by one.
TEST(Avx512Kernels, GiveTheAvx2KernelsBits) {
  for (auto [nx, ny] : {std::pair{128, 64}, std::pair{90, 104}, std::pair{13, 7}, std::pair{2, 512},
                        std::pair{176, 88}, std::pair{256, 256}}) {
    std::vector<std::vector<double>> got;
    for (isa set : {isa::avx2, isa::avx512}) {
      IsaScope scope(set);
      if (!scope.supported()) GTEST_SKIP() << "processor lacks " << isa_name(set);
      FftManager m{};
      ASSERT_EQ(fft_manager_init(&m), 0);
      std::vector<double> img = random_signal(static_cast<int64_t>(nx) * ny, nx + ny);
      ASSERT_EQ(fft_2d(&m, nx, ny, img.data(), 'f'), 0);
      ASSERT_EQ(fft_2d(&m, nx, ny, img.data(), 'b'), 0);
      fft_manager_destroy(&m);
      got.push_back(std::move(img));
    }
    EXPECT_EQ(got[0], got[1]) << nx << " x " << ny;
  }
}

}  // namespace
