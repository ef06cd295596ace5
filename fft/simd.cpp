// Run-time choice of the instruction set of the FFT kernels.
#include "fft/simd.h"

#include "linalg/matmul.h"

namespace tarvo::fftk {

namespace {

isa detect() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();
  // Both tests also require the operating system to save the 256-bit registers.
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
    return tarvo::matmul_avx512::available() ? isa::avx512 : isa::avx2;
#endif
  return isa::sse2;
}

isa& current() {
  static isa set = best_isa();
  return set;
}

}  // namespace

isa best_isa() {
  static const isa best = detect();
  return best;
}

isa active_isa() {
  return current();
}

bool use_isa(isa set) {
  if (set > best_isa()) return false;
  current() = set;
  return true;
}

void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w) {
  if (active_isa() == isa::avx512)
    avx512::pow2_batch4(a, n, minus, ip, w);
  else if (active_isa() == isa::avx2)
    avx2::pow2_batch4(a, n, minus, ip, w);
  else
    sse2::pow2_batch4(a, n, minus, ip, w);
}

void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride,
                  dcomplex* out) {
  if (active_isa() == isa::avx512)
    avx512::mrfft_batch4(plan, in, in_stride, out);
  else if (active_isa() == isa::avx2)
    avx2::mrfft_batch4(plan, in, in_stride, out);
  else
    sse2::mrfft_batch4(plan, in, in_stride, out);
}

}  // namespace tarvo::fftk
