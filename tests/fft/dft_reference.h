// Slow direct DFTs in long double: the independent answer the FFT tests compare against.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

namespace fft_test {

using lcomplex = std::complex<long double>;

// exp(sign 2 pi i k / n) for k < n, angles reduced exactly (k < n).
inline std::vector<lcomplex> roots_of_unity(int64_t n, int sign) {
  const long double two_pi = 6.283185307179586476925286766559L;
  std::vector<lcomplex> r(n);
  for (int64_t k = 0; k < n; ++k) {
    const long double phi = sign * two_pi * static_cast<long double>(k) / n;
    r[k] = {std::cos(phi), std::sin(phi)};
  }
  return r;
}

// Out-of-place DFT along one axis of a row-major array: `count` transforms of length n whose
// elements are `stride` apart, transform t starting at (t / stride) * n * stride + t % stride.
inline void dft_axis(std::vector<lcomplex>& x, int64_t n, int64_t stride, int sign) {
  const auto r = roots_of_unity(n, sign);
  const int64_t count = static_cast<int64_t>(x.size()) / n;
  std::vector<lcomplex> in(n), out(n);
  for (int64_t t = 0; t < count; ++t) {
    const int64_t base = (t / stride) * n * stride + t % stride;
    for (int64_t j = 0; j < n; ++j) in[j] = x[base + j * stride];
    for (int64_t k = 0; k < n; ++k) {
      lcomplex acc = 0;
      int64_t idx = 0;  // j k mod n
      for (int64_t j = 0; j < n; ++j) {
        acc += in[j] * r[idx];
        idx += k;
        if (idx >= n) idx -= n;
      }
      out[k] = acc;
    }
    for (int64_t k = 0; k < n; ++k) x[base + k * stride] = out[k];
  }
}

// One output bin of the 1-D DFT of x: sum_j x[j] r[(j k) mod n], r = roots_of_unity(n, sign).
inline lcomplex dft_bin(const std::vector<lcomplex>& x, const std::vector<lcomplex>& r, int64_t k) {
  const int64_t n = static_cast<int64_t>(x.size());
  lcomplex acc = 0;
  int64_t idx = 0;
  for (int64_t j = 0; j < n; ++j) {
    acc += x[j] * r[idx];
    idx += k;
    if (idx >= n) idx -= n;
  }
  return acc;
}

// n complex values with parts uniform in [-1, 1], interleaved.
inline std::vector<double> random_signal(int64_t n, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> d(2 * n);
  for (auto& v : d) v = u(gen);
  return d;
}

inline std::vector<lcomplex> widen(const std::vector<double>& d) {
  std::vector<lcomplex> x(d.size() / 2);
  for (size_t k = 0; k < x.size(); ++k) x[k] = {d[2 * k], d[2 * k + 1]};
  return x;
}

// 2-D reference: element (x, y) at y nx + x; transform along x (stride 1) and y (stride nx).
inline std::vector<lcomplex> dft_2d(const std::vector<double>& img, int nx, int ny, int sign) {
  auto x = widen(img);
  dft_axis(x, nx, 1, sign);
  dft_axis(x, ny, nx, sign);
  return x;
}

// ||got - want||_2 / ||want||_2 (or the absolute norm when want is zero).
inline double relative_error(const std::vector<double>& got, const std::vector<lcomplex>& want) {
  long double err = 0, ref = 0;
  for (size_t k = 0; k < want.size(); ++k) {
    err += std::norm(lcomplex(got[2 * k], got[2 * k + 1]) - want[k]);
    ref += std::norm(want[k]);
  }
  return static_cast<double>(ref > 0 ? std::sqrt(err / ref) : std::sqrt(err));
}

// Error bound for a transform of `points` values. A radix-2/4 FFT adds O(eps) relative rounding
// per stage, log2(points) stages, with twiddles accurate to a few eps, so the normwise
// relative error grows like eps * log2(points) (rms growth is even slower). The constant 8
// leaves room for the twiddles derived through secants and for the prime-radix butterflies
// (7, 11, 13 and generic) whose sums run over p terms.
inline double error_bound(int64_t points) {
  const double eps = 2.220446049250313e-16;
  return 8.0 * eps * std::max(1.0, std::log2(static_cast<double>(points)));
}

}  // namespace fft_test
