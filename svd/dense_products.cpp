// The products of the Lanczos SVD on a matrix held in dense form, for SSE2 (any x86-64), AVX2
// and AVX-512, the widest the processor has chosen at run time. Built without contracting a
// multiply and an add into one fused operation, so every path gives the compressed form's bits.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "svd/internal.h"

namespace {

namespace portable {
typedef double V __attribute__((vector_size(16), aligned(8)));
constexpr int kW = 2;
#include "svd/dense_kernels.inc"
}  // namespace portable

#if defined(__GNUC__) && defined(__x86_64__)
#define TARVO_DENSE_AVX2 1
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
typedef double V __attribute__((vector_size(32), aligned(8)));
constexpr int kW = 4;
#include "svd/dense_kernels.inc"
}  // namespace avx2
#pragma GCC pop_options
#endif

// Not in the Windows module: its compiler does not keep the 64-byte stack alignment that spilled
// 512-bit registers need.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define TARVO_DENSE_AVX512 1
#pragma GCC push_options
#pragma GCC target("avx512f")
namespace avx512 {
typedef double V __attribute__((vector_size(64), aligned(8)));
constexpr int kW = 8;
#include "svd/dense_kernels.inc"
}  // namespace avx512
#pragma GCC pop_options
#endif

SvdDenseProducts detect() {
#if defined(TARVO_DENSE_AVX2)
  __builtin_cpu_init();
#if defined(TARVO_DENSE_AVX512)
  const char* text = std::getenv("TARVO_NO_AVX512");
  if (__builtin_cpu_supports("avx512f") && !(text && std::strcmp(text, "1") == 0))
    return SvdDenseProducts::kAvx512;
#endif
  if (__builtin_cpu_supports("avx2")) return SvdDenseProducts::kAvx2;
#endif
  return SvdDenseProducts::kPortable;
}

}  // namespace

SvdDenseProducts svdDenseProductsBest() {
  static const SvdDenseProducts best = detect();
  return best;
}

bool svdDenseProductsAvailable(SvdDenseProducts path) {
  return static_cast<int>(path) <= static_cast<int>(svdDenseProductsBest());
}

void svdMultADense(SvdDenseProducts path, const SMat* A, const double* x, double* y) {
  switch (path) {
#if defined(TARVO_DENSE_AVX512)
    case SvdDenseProducts::kAvx512:
      return avx512::mult_a(A->rows, A->cols, A->dense_cols, x, y);
#endif
#if defined(TARVO_DENSE_AVX2)
    case SvdDenseProducts::kAvx2:
      return avx2::mult_a(A->rows, A->cols, A->dense_cols, x, y);
#endif
    default:
      return portable::mult_a(A->rows, A->cols, A->dense_cols, x, y);
  }
}

void svdMultATADense(SvdDenseProducts path, const SMat* A, const double* x, double* y,
                     double* scratch) {
  svdMultADense(path, A, x, scratch);
  switch (path) {
#if defined(TARVO_DENSE_AVX512)
    case SvdDenseProducts::kAvx512:
      return avx512::mult_at(A->rows, A->cols, A->dense_cols, A->dense_rows, scratch, y);
#endif
#if defined(TARVO_DENSE_AVX2)
    case SvdDenseProducts::kAvx2:
      return avx2::mult_at(A->rows, A->cols, A->dense_cols, A->dense_rows, scratch, y);
#endif
    default:
      return portable::mult_at(A->rows, A->cols, A->dense_cols, A->dense_rows, scratch, y);
  }
}
