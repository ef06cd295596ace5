// The alignment's sample-wise kernels for each vector width. Built without contracting a
// multiply and an add into one fused operation, so that every path gives the same bits.
#include <immintrin.h>

#include <cstdint>

#include "align/align.h"

namespace {

#define TARVO_SIMD_WIDTH 2
#include "align/elementwise.inc"

#if defined(__GNUC__) && defined(__x86_64__)
#define TARVO_ELEMENTWISE_AVX2 1
#define TARVO_SIMD_WIDTH 4
#include "align/elementwise.inc"
#endif

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define TARVO_ELEMENTWISE_AVX512 1
#define TARVO_SIMD_WIDTH 8
#include "align/elementwise.inc"
#endif

}  // namespace

void phase_difference_with(tarvo::Simd path, const dcomplex* z, const dcomplex* w, std::int64_t n,
                           dcomplex* out) {
  switch (path) {
#if defined(TARVO_ELEMENTWISE_AVX512)
    case tarvo::Simd::kAvx512:
      return avx512::phase_difference(z, w, n, out);
#endif
#if defined(TARVO_ELEMENTWISE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::phase_difference(z, w, n, out);
#endif
    default:
      return portable::phase_difference(z, w, n, out);
  }
}

void ramp_with(tarvo::Simd path, dcomplex* col, const dcomplex* t, std::int64_t n, dcomplex u) {
  switch (path) {
#if defined(TARVO_ELEMENTWISE_AVX512)
    case tarvo::Simd::kAvx512:
      return avx512::ramp(col, t, n, u);
#endif
#if defined(TARVO_ELEMENTWISE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::ramp(col, t, n, u);
#endif
    default:
      return portable::ramp(col, t, n, u);
  }
}

void turn_with(tarvo::Simd path, dcomplex* x, std::int64_t n, dcomplex c) {
  switch (path) {
#if defined(TARVO_ELEMENTWISE_AVX512)
    case tarvo::Simd::kAvx512:
      return avx512::turn(x, n, c);
#endif
#if defined(TARVO_ELEMENTWISE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::turn(x, n, c);
#endif
    default:
      return portable::turn(x, n, c);
  }
}
