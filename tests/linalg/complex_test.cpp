// The vector operations of the solver, on values whose results are exact.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "linalg/linalg.h"
#include "linalg/simd.h"

namespace {

TEST(ComplexVector, DotcConjugatesFirstAndAxpbyAllowsAliasing) {
  const dcomplex x[2] = {{1, 2}, {0, 1}}, y[2] = {{3, 1}, {2, 0}};
  const dcomplex d = complex_dotc(x, y, 2);  // conj(1+2i)(3+i) + conj(i) 2 = 5 - 7i
  EXPECT_TRUE(d.re == 5 && d.im == -7);
  dcomplex z[2] = {{1, 2}, {0, 1}};
  complex_axpby({2, 0}, z, {0, 1}, z, 2);  // z = (2 + i) z elementwise
  EXPECT_TRUE(z[0].re == 0 && z[0].im == 5 && z[1].re == -1 && z[1].im == 2);
  for (int n : {0, -3}) {  // n <= 0: nothing changes, the sum is zero
    complex_axpby({9, 9}, z, {9, 9}, x, n);
    const dcomplex e = complex_dotc(x, y, n);
    EXPECT_TRUE(z[0].im == 5 && e.re == 0 && e.im == 0);
  }
}

// Every vector width averages, with or without turning the two inputs first, with the scalar
// form's bits: lengths off the widths, signed zeros, NaN, infinities, subnormal values, divisors
// that do not divide exactly and powers of two (taken as products with their reciprocals).
TEST(SimdKernels, AverageGivesTheScalarFormsBitsOnEveryWidth) {
  const dcomplex ca = {0.6, -0.8}, cb = {-1.0 / 3.0, 0.25};
  for (const int n : {1, 3, 8, 21}) {
    std::vector<dcomplex> a(n), b(n);
    for (int i = 0; i < n; ++i) {
      a[i] = {std::sin(1.0 + i) * 1e3, -std::cos(2.0 * i)};
      b[i] = {std::cos(0.5 * i), std::sin(3.0 * i) * 1e-3};
    }
    const dcomplex special[] = {{-0.0, 0.0}, {NAN, INFINITY}, {5e-324, -5e-324}};
    for (int k = 0; k < 3 && 2 * k < n; ++k) a[2 * k] = b[2 * k] = special[k];
    for (const auto& [d1, d2] : {std::pair{96.0, 7.0}, std::pair{128.0, 1.0}, {0.25, 3.0}}) {
      std::vector<dcomplex> plain(n), turned(n);
      auto average = [&](double s) { return s / d1 / d2 * 0.5; };
      for (int i = 0; i < n; ++i) {
        plain[i] = {average(a[i].re + b[i].re), average(a[i].im + b[i].im)};
        const dcomplex ta = complex_mult(a[i], ca), tb = complex_mult(b[i], cb);
        turned[i] = {average(ta.re + tb.re), average(ta.im + tb.im)};
      }
      for (const tarvo::Simd path :
           {tarvo::Simd::kPortable, tarvo::Simd::kAvx2, tarvo::Simd::kAvx512}) {
        if (path > tarvo::simd_best()) continue;
        std::vector<dcomplex> out(n);
        tarvo::average_scaled(path, a.data(), b.data(), n, d1, d2, out.data());
        EXPECT_EQ(std::memcmp(out.data(), plain.data(), n * sizeof(dcomplex)), 0)
            << n << " path " << static_cast<int>(path) << " divisor " << d1;
        tarvo::turned_average_scaled(path, a.data(), ca, b.data(), cb, n, d1, d2, out.data());
        EXPECT_EQ(std::memcmp(out.data(), turned.data(), n * sizeof(dcomplex)), 0)
            << n << " path " << static_cast<int>(path) << " divisor " << d1 << " turned";
      }
    }
  }
}

// The solver's y = alpha y + beta x on every width: the scalar form's bits on lengths off the
// widths, with x apart and with x == y.
TEST(SimdKernels, AxpbyGivesTheScalarFormsBitsOnEveryWidth) {
  const dcomplex alpha = {0.75, -1.0 / 3.0}, beta = {-2.5e-3, 7.0 / 9.0};
  for (const int n : {1, 3, 8, 21}) {
    std::vector<dcomplex> x(n), y(n);
    for (int i = 0; i < n; ++i) {
      x[i] = {std::sin(1.0 + i) * 1e3, -std::cos(2.0 * i)};
      y[i] = {std::cos(0.5 * i), i == 1 ? -0.0 : std::sin(3.0 * i) * 1e-3};
    }
    for (const bool alias : {false, true}) {
      const std::vector<dcomplex>& in = alias ? y : x;
      std::vector<dcomplex> scalar(n);
      for (int i = 0; i < n; ++i) {
        const dcomplex a = complex_mult(alpha, y[i]), b = complex_mult(beta, in[i]);
        scalar[i] = {a.re + b.re, a.im + b.im};
      }
      for (const tarvo::Simd path :
           {tarvo::Simd::kPortable, tarvo::Simd::kAvx2, tarvo::Simd::kAvx512}) {
        if (path > tarvo::simd_best()) continue;
        std::vector<dcomplex> out = y, other = x;
        tarvo::complex_axpby(path, alpha, out.data(), beta, alias ? out.data() : other.data(), n);
        EXPECT_EQ(std::memcmp(out.data(), scalar.data(), n * sizeof(dcomplex)), 0)
            << n << " path " << static_cast<int>(path) << (alias ? " aliased" : "");
      }
    }
  }
}

// Transposes on every width: blocks off the tiles and the 16 x 16 blocks, strided in and out,
// plain and split into halves by column (1, 2, and neither), against the element-by-element move.
TEST(SimdKernels, TransposesMoveEveryValueOnEveryWidth) {
  for (const auto& [rows, cols] : {std::pair{1, 1}, {5, 3}, {19, 37}, {32, 48}}) {
    const int is = rows + 3, os = cols + 2;
    std::vector<dcomplex> in(static_cast<std::size_t>(is) * cols);
    for (std::size_t e = 0; e < in.size(); ++e) in[e] = {1.0 + e, -0.5 - e};
    std::vector<unsigned char> half(cols);
    for (int j = 0; j < cols; ++j) half[j] = static_cast<unsigned char>(j * 7 % 5 % 4);
    const dcomplex unset = {-7.0, -7.0}, zero = {0.0, 0.0};
    std::vector<dcomplex> plain(static_cast<std::size_t>(os) * rows, unset);
    std::vector<dcomplex> first = plain, second = plain;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const dcomplex v = in[i + static_cast<std::size_t>(is) * j];
        const std::size_t at = j + static_cast<std::size_t>(os) * i;
        plain[at] = v;
        first[at] = half[j] == 1 ? v : zero;
        second[at] = half[j] == 2 ? v : zero;
      }
    for (const tarvo::Simd path :
         {tarvo::Simd::kPortable, tarvo::Simd::kAvx2, tarvo::Simd::kAvx512}) {
      if (path > tarvo::simd_best()) continue;
      std::vector<dcomplex> p(plain.size(), unset), a = p, b = p;
      tarvo::complex_transpose(path, in.data(), is, rows, cols, p.data(), os);
      tarvo::complex_transpose_halves(path, in.data(), is, rows, cols, half.data(), a.data(),
                                      b.data(), os);
      const std::size_t bytes = plain.size() * sizeof(dcomplex);
      EXPECT_EQ(std::memcmp(p.data(), plain.data(), bytes), 0) << rows << "x" << cols;
      EXPECT_EQ(std::memcmp(a.data(), first.data(), bytes), 0) << rows << "x" << cols;
      EXPECT_EQ(std::memcmp(b.data(), second.data(), bytes), 0) << rows << "x" << cols;
    }
  }
}

}  // namespace

// The Cholesky update on every width: the scalar form's bits (each element less its products in
// column order), with row ranges off the tiles, a block narrower than a tile of columns and one
// wider, and rows on the diagonal part of the block left alone.
TEST(SimdKernels, CholeskyUpdateGivesTheScalarFormsBitsOnEveryWidth) {
  const int n = 37;
  std::vector<dcomplex> g(n * n);
  for (int k = 0; k < n * n; ++k) g[k] = {std::sin(0.7 * k) * 1e2, std::cos(1.3 * k) * 1e-2};
  for (const auto& [j0, count, r0, r1] :
       std::vector<std::array<int, 4>>{{5, 3, 8, 37}, {11, 6, 17, 30}, {0, 4, 4, 9}}) {
    std::vector<dcomplex> scalar = g;
    for (int j = j0; j < j0 + count; ++j)
      for (int k = 0; k < j0; ++k) {
        const double cr = g[j + n * k].re, ci = -g[j + n * k].im;
        for (int i = r0; i < r1; ++i) {
          dcomplex& y = scalar[i + n * j];
          const dcomplex a = g[i + n * k];
          y.re -= a.re * cr - a.im * ci;
          y.im -= a.re * ci + a.im * cr;
        }
      }
    for (const tarvo::Simd path :
         {tarvo::Simd::kPortable, tarvo::Simd::kAvx2, tarvo::Simd::kAvx512}) {
      if (path > tarvo::simd_best()) continue;
      std::vector<dcomplex> out = g;
      tarvo::cholesky_subtract_products(path, out.data(), n, j0, count, r0, r1);
      EXPECT_EQ(std::memcmp(out.data(), scalar.data(), g.size() * sizeof(dcomplex)), 0)
          << j0 << " path " << static_cast<int>(path);
    }
  }
}
