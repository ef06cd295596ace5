// Helpers of the core tests. Slices are line-fastest: element (l, m, c) at l + N*(m + M*c).
#pragma once

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "core/core.h"
#include "core/core_steps.h"

namespace tarvo_test {

inline int wrap_index(int i, int n) {
  return ((i % n) + n) % n;
}

inline std::vector<dcomplex> random_values(std::size_t n, std::uint32_t seed, double scale = 1) {
  std::mt19937 rng(seed);
  std::vector<dcomplex> v(n);
  for (dcomplex& x : v)
    x = {scale * (rng() / 2147483648.0 - 1.0), scale * (rng() / 2147483648.0 - 1.0)};
  return v;
}

inline double max_abs_difference(const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i)
    m = std::max(m, std::hypot(a[i].re - b[i].re, a[i].im - b[i].im));
  return m;
}

inline double max_abs(const std::vector<dcomplex>& v) {
  return max_abs_difference(v, std::vector<dcomplex>(v.size(), dcomplex{0, 0}));
}

// The kernel "*x*" (line offsets -1, +1) of readout width 5 (offsets -2 .. 2).
constexpr int kS = 2, kW = 5;
inline const int kLineOffsets[kS] = {-1, 1};
inline const int kReadoutOffsets[kW] = {-2, -1, 0, 1, 2};
inline const KernelGeometry kKernel{kS, kLineOffsets, kW, kReadoutOffsets};

// The model: sum_{c', j, s} W(s + S*(c' + L*j), c) * data(l + o[s], m + q[j], c'), circular,
// summed in long double.
inline dcomplex kernel_sum(const std::vector<dcomplex>& d, const std::vector<dcomplex>& W, int M,
                           int N, int L, int l, int m, int c) {
  long double re = 0, im = 0;
  for (int cs = 0; cs < L; ++cs)
    for (int j = 0; j < kW; ++j)
      for (int s = 0; s < kS; ++s) {
        const dcomplex v = d[wrap_index(l + kLineOffsets[s], N) +
                             N * (wrap_index(m + kReadoutOffsets[j], M) + std::size_t(M) * cs)];
        const dcomplex w = W[s + kS * (cs + L * j) + std::size_t(kW * kS * L) * c];
        re += (long double)v.re * w.re - (long double)v.im * w.im;
        im += (long double)v.re * w.im + (long double)v.im * w.re;
      }
  return {double(re), double(im)};
}

// Random slice (N even) whose odd lines are exactly the model of their (random, even)
// neighbours with the weights W, at every sample.
inline std::vector<dcomplex> exact_kernel_slice(int M, int N, int L, const std::vector<dcomplex>& W,
                                                std::uint32_t seed) {
  std::vector<dcomplex> d = random_values(std::size_t(M) * N * L, seed);
  for (int c = 0; c < L; ++c)
    for (int l = 1; l < N; l += 2)
      for (int m = 0; m < M; ++m)
        d[l + N * (m + std::size_t(M) * c)] = kernel_sum(d, W, M, N, L, l, m, c);
  return d;
}

// A kernel set with the one pattern "*x*" of spacing 2 and the given K x L coefficients (or
// none), allocated as the estimation would (release_kernel_set and free_bytes release it).
inline SliceKernelSet* one_pattern_set(const std::vector<dcomplex>* coefficients) {
  SliceKernelSet* set = tarvo::alloc_array<SliceKernelSet>(1, true);
  set->spacing_count = 1;
  set->spacings = tarvo::alloc_array<std::int32_t>(1);
  set->spacings[0] = 2;
  set->source_lines = kS;
  set->readout_width = kW;
  set->patterns = tarvo::alloc_array<KernelPattern*>(1, true);
  set->patterns[0] = tarvo::alloc_array<KernelPattern>(1, true);
  build_patterns(set->patterns[0], 2, kS);
  if (coefficients) {
    dcomplex* c = tarvo::alloc_array<dcomplex>(std::int64_t(coefficients->size()));
    std::memcpy(c, coefficients->data(), coefficients->size() * sizeof(dcomplex));
    set->patterns[0][0].coefficients = c;
  }
  return set;
}

inline void free_set(SliceKernelSet* set) {
  release_kernel_set(set);
  tarvo::free_bytes(set);
}

// A "dblc" volume record over a vector the test owns.
struct Volume {
  std::vector<dcomplex> data;
  ComplexVolume record{};
  Volume(int M, int N, int Z, int L, std::vector<dcomplex> values = {})
      : data(values.empty() ? std::vector<dcomplex>(std::size_t(M) * N * Z * L, dcomplex{0, 0})
                            : std::move(values)) {
    record = {4, {M, N, Z, L}, "dblc", data.data()};
  }
  Volume(const Volume&) = delete;
};

}  // namespace tarvo_test
