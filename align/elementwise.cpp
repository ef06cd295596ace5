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

// One width's kernels.
struct Kernels {
  void (*phase_difference)(const dcomplex*, const dcomplex*, std::int64_t, dcomplex*);
  void (*ramp)(dcomplex*, const dcomplex*, std::int64_t, dcomplex);
  void (*turn)(dcomplex*, std::int64_t, dcomplex);
  double (*magnitudes)(const dcomplex*, std::int64_t, double*);
};

const Kernels& kernels(tarvo::Simd path) {
  static const Kernels widths[] = {
    {portable::phase_difference, portable::ramp, portable::turn, portable::magnitudes},
#if defined(TARVO_ELEMENTWISE_AVX2)
    {avx2::phase_difference, avx2::ramp, avx2::turn, avx2::magnitudes},
#endif
#if defined(TARVO_ELEMENTWISE_AVX512)
    {avx512::phase_difference, avx512::ramp, avx512::turn, avx512::magnitudes},
#endif
  };
  const int widest = static_cast<int>(sizeof widths / sizeof widths[0]) - 1;
  const int k = static_cast<int>(path);
  return widths[k < widest ? k : widest];
}

}  // namespace

void phase_difference_with(tarvo::Simd path, const dcomplex* z, const dcomplex* w, std::int64_t n,
                           dcomplex* out) {
  kernels(path).phase_difference(z, w, n, out);
}

void ramp_with(tarvo::Simd path, dcomplex* col, const dcomplex* t, std::int64_t n, dcomplex u) {
  kernels(path).ramp(col, t, n, u);
}

void turn_with(tarvo::Simd path, dcomplex* x, std::int64_t n, dcomplex c) {
  kernels(path).turn(x, n, c);
}

double magnitudes_with(tarvo::Simd path, const dcomplex* z, std::int64_t n, double* out) {
  return kernels(path).magnitudes(z, n, out);
}
