// The run-time choice of vector width, and the sample-wise kernels of this library for each.
// Built without contracting a multiply and an add into one fused operation.
#include "linalg/simd.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

#define TARVO_SIMD_WIDTH 2
#include "linalg/simd_kernels.inc"

#if defined(__GNUC__) && defined(__x86_64__)
#define TARVO_SIMD_AVX2 1
#define TARVO_SIMD_WIDTH 4
#include "linalg/simd_kernels.inc"
#endif

// Not in the Windows module: its compiler does not keep the 64-byte stack alignment that spilled
// 512-bit registers need.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define TARVO_SIMD_AVX512 1
#define TARVO_SIMD_WIDTH 8
#include "linalg/simd_kernels.inc"
#endif

tarvo::Simd detect() {
#if defined(TARVO_SIMD_AVX2)
  __builtin_cpu_init();
#if defined(TARVO_SIMD_AVX512)
  const char* text = std::getenv("TARVO_NO_AVX512");
  if (__builtin_cpu_supports("avx512f") && !(text && std::strcmp(text, "1") == 0))
    return tarvo::Simd::kAvx512;
#endif
  if (__builtin_cpu_supports("avx2")) return tarvo::Simd::kAvx2;
#endif
  return tarvo::Simd::kPortable;
}

}  // namespace

namespace tarvo {

Simd simd_best() {
  static const Simd best = detect();
  return best;
}

namespace {

// Whether x / d == x * (1 / d) for every x: d a power of two whose reciprocal is a double (both
// forms are then the exact quotient rounded once; NaN operands give the same NaN).
bool exact_reciprocal(double d) {
  int e = 0;
  return std::isfinite(d) && std::fabs(std::frexp(d, &e)) == 0.5 && std::isfinite(1.0 / d);
}

}  // namespace

void average_scaled(Simd path, const dcomplex* a, const dcomplex* b, std::int64_t n, double d1,
                    double d2, dcomplex* out) {
  const auto* x = reinterpret_cast<const double*>(a);
  const auto* y = reinterpret_cast<const double*>(b);
  auto* o = reinterpret_cast<double*>(out);
  const bool e1 = exact_reciprocal(d1), e2 = exact_reciprocal(d2);
  switch (path) {
#if defined(TARVO_SIMD_AVX512)
    case Simd::kAvx512:
      return avx512::average_scaled(x, y, 2 * n, d1, d2, e1, e2, o);
#endif
#if defined(TARVO_SIMD_AVX2)
    case Simd::kAvx2:
      return avx2::average_scaled(x, y, 2 * n, d1, d2, e1, e2, o);
#endif
    default:
      return portable::average_scaled(x, y, 2 * n, d1, d2, e1, e2, o);
  }
}

void turned_average_scaled(Simd path, const dcomplex* a, dcomplex ca, const dcomplex* b,
                           dcomplex cb, std::int64_t n, double d1, double d2, dcomplex* out) {
  const auto* x = reinterpret_cast<const double*>(a);
  const auto* y = reinterpret_cast<const double*>(b);
  auto* o = reinterpret_cast<double*>(out);
  const bool e1 = exact_reciprocal(d1), e2 = exact_reciprocal(d2);
  switch (path) {
#if defined(TARVO_SIMD_AVX512)
    case Simd::kAvx512:
      return avx512::turned_average_scaled(x, ca.re, ca.im, y, cb.re, cb.im, n, d1, d2, e1, e2, o);
#endif
#if defined(TARVO_SIMD_AVX2)
    case Simd::kAvx2:
      return avx2::turned_average_scaled(x, ca.re, ca.im, y, cb.re, cb.im, n, d1, d2, e1, e2, o);
#endif
    default:
      return portable::turned_average_scaled(x, ca.re, ca.im, y, cb.re, cb.im, n, d1, d2, e1, e2,
                                             o);
  }
}

void cholesky_subtract_products(Simd path, dcomplex* g, int n, int j0, int count, int r0, int r1) {
  if (count <= 0 || r1 <= r0) return;
  auto* d = reinterpret_cast<double*>(g);
  switch (path) {
#if defined(TARVO_SIMD_AVX512)
    case Simd::kAvx512:
      return avx512::subtract_products(d, n, j0, count, r0, r1);
#endif
#if defined(TARVO_SIMD_AVX2)
    case Simd::kAvx2:
      return avx2::subtract_products(d, n, j0, count, r0, r1);
#endif
    default:
      return portable::subtract_products(d, n, j0, count, r0, r1);
  }
}

void complex_axpby(Simd path, dcomplex alpha, dcomplex* y, dcomplex beta, const dcomplex* x,
                   int n) {
  if (n <= 0) return;
  auto* o = reinterpret_cast<double*>(y);
  const auto* in = reinterpret_cast<const double*>(x);
  switch (path) {
#if defined(TARVO_SIMD_AVX512)
    case Simd::kAvx512:
      return avx512::axpby(alpha.re, alpha.im, o, beta.re, beta.im, in, n);
#endif
#if defined(TARVO_SIMD_AVX2)
    case Simd::kAvx2:
      return avx2::axpby(alpha.re, alpha.im, o, beta.re, beta.im, in, n);
#endif
    default:
      return portable::axpby(alpha.re, alpha.im, o, beta.re, beta.im, in, n);
  }
}

}  // namespace tarvo

void complex_axpby(dcomplex alpha, dcomplex* y, dcomplex beta, const dcomplex* x, int n) {
  tarvo::complex_axpby(tarvo::simd_best(), alpha, y, beta, x, n);
}
