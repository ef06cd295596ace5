// Slice data for kernel tests, in the line-fastest layout: element (l, m, c) at l + N*(m + M*c).
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "linalg/linalg.h"

namespace tarvo_test {

inline int wrap_index(int i, int n) {
  return ((i % n) + n) % n;
}

inline std::vector<dcomplex> random_values(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<dcomplex> v(n);
  for (dcomplex& x : v) x = {rng() / 2147483648.0 - 1.0, rng() / 2147483648.0 - 1.0};
  return v;
}

// The kernel "*x*" (source offsets -1, +1) of readout width 5 (offsets -2 .. 2).
constexpr int kS = 2;
constexpr int kW = 5;
inline const int kLineOffsets[kS] = {-1, 1};
inline const int kReadoutOffsets[kW] = {-2, -1, 0, 1, 2};

// Random slice (N even) whose odd lines, at the samples m_lo <= m < m_hi, are exactly
//   data(l, m, c) = sum_{j, c', s} W(s + S*(c' + L*j), c) * data(l + o[s], m + q[j], c')
// with circular indices. The sources of an odd line are even lines, which stay random.
inline std::vector<dcomplex> exact_kernel_slice(int M, int N, int L, const std::vector<dcomplex>& W,
                                                int m_lo, int m_hi, std::uint32_t seed) {
  std::vector<dcomplex> d = random_values(static_cast<std::size_t>(M) * N * L, seed);
  const int K = kW * kS * L;
  auto at = [&](int l, int m, int c) -> dcomplex& {
    return d[wrap_index(l, N) + static_cast<std::size_t>(N) * (wrap_index(m, M) + M * c)];
  };
  for (int c = 0; c < L; ++c)
    for (int l = 1; l < N; l += 2)
      for (int m = m_lo; m < m_hi; ++m) {
        long double re = 0, im = 0;
        for (int cs = 0; cs < L; ++cs)
          for (int j = 0; j < kW; ++j)
            for (int s = 0; s < kS; ++s) {
              const dcomplex v = at(l + kLineOffsets[s], m + kReadoutOffsets[j], cs);
              const dcomplex w = W[s + kS * (cs + L * j) + static_cast<std::size_t>(K) * c];
              re += (long double)v.re * w.re - (long double)v.im * w.im;
              im += (long double)v.re * w.im + (long double)v.im * w.re;
            }
        at(l, m, c) = {double(re), double(im)};
      }
  return d;
}

}  // namespace tarvo_test
