// The alignment's sample-wise kernels for SSE2 (any x86-64), AVX2 and AVX-512, the widest the
// processor has chosen at run time. Built without contracting a multiply and an add into one
// fused operation, so that every path gives the same bits.
#include <immintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "align/align.h"

namespace {

namespace portable {
typedef double V __attribute__((vector_size(16), aligned(8)));
typedef long long I __attribute__((vector_size(16)));
constexpr int kW = 2;
constexpr I kEven = {0, 2}, kOdd = {1, 3}, kLow = {0, 2}, kHigh = {1, 3};
inline V vsqrt(V v) {
  return _mm_sqrt_pd(v);
}
#include "align/elementwise.inc"
}  // namespace portable

#if defined(__GNUC__) && defined(__x86_64__)
#define TARVO_ELEMENTWISE_AVX2 1
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
typedef double V __attribute__((vector_size(32), aligned(8)));
typedef long long I __attribute__((vector_size(32)));
constexpr int kW = 4;
constexpr I kEven = {0, 2, 4, 6}, kOdd = {1, 3, 5, 7}, kLow = {0, 4, 1, 5}, kHigh = {2, 6, 3, 7};
inline V vsqrt(V v) {
  return _mm256_sqrt_pd(v);
}
#include "align/elementwise.inc"
}  // namespace avx2
#pragma GCC pop_options
#endif

// Not in the Windows module: its compiler does not keep the 64-byte stack alignment that spilled
// 512-bit registers need.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define TARVO_ELEMENTWISE_AVX512 1
#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512 {
typedef double V __attribute__((vector_size(64), aligned(8)));
typedef long long I __attribute__((vector_size(64)));
constexpr int kW = 8;
constexpr I kEven = {0, 2, 4, 6, 8, 10, 12, 14}, kOdd = {1, 3, 5, 7, 9, 11, 13, 15},
            kLow = {0, 8, 1, 9, 2, 10, 3, 11}, kHigh = {4, 12, 5, 13, 6, 14, 7, 15};
inline V vsqrt(V v) {
  return _mm512_maskz_sqrt_pd(0xFF, v);  // every lane (the unmasked form warns in GCC 12)
}
#include "align/elementwise.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif

AlignKernels detect() {
#if defined(TARVO_ELEMENTWISE_AVX2)
  __builtin_cpu_init();
#if defined(TARVO_ELEMENTWISE_AVX512)
  const char* text = std::getenv("TARVO_NO_AVX512");
  if (__builtin_cpu_supports("avx512f") && !(text && std::strcmp(text, "1") == 0))
    return AlignKernels::kAvx512;
#endif
  if (__builtin_cpu_supports("avx2")) return AlignKernels::kAvx2;
#endif
  return AlignKernels::kPortable;
}

}  // namespace

AlignKernels align_kernels_best() {
  static const AlignKernels best = detect();
  return best;
}

void phase_difference_with(AlignKernels path, const dcomplex* z, const dcomplex* w, std::int64_t n,
                           dcomplex* out) {
  switch (path) {
#if defined(TARVO_ELEMENTWISE_AVX512)
    case AlignKernels::kAvx512:
      return avx512::phase_difference(z, w, n, out);
#endif
#if defined(TARVO_ELEMENTWISE_AVX2)
    case AlignKernels::kAvx2:
      return avx2::phase_difference(z, w, n, out);
#endif
    default:
      return portable::phase_difference(z, w, n, out);
  }
}
