// The products of the Lanczos SVD on a matrix held in dense form, for each vector width.
// Built without contracting a multiply and an add into one fused operation, so every path gives
// the compressed form's bits.
#include <cstdint>

#include "svd/internal.h"

namespace {

#define TARVO_SIMD_WIDTH 2
#include "svd/dense_kernels.inc"

#if defined(__GNUC__) && defined(__x86_64__)
#define TARVO_DENSE_AVX2 1
#define TARVO_SIMD_WIDTH 4
#include "svd/dense_kernels.inc"
#endif

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define TARVO_DENSE_AVX512 1
#define TARVO_SIMD_WIDTH 8
#include "svd/dense_kernels.inc"
#endif

}  // namespace

void svdMultADense(tarvo::Simd path, const SMat* A, const double* x, double* y) {
  const int nr = A->rows / 2, nc = A->cols / 2;
  switch (path) {
#if defined(TARVO_DENSE_AVX512)
    case tarvo::Simd::kAvx512:
      return avx512::mult_a(nr, nc, A->dense_cols, x, y);
#endif
#if defined(TARVO_DENSE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::mult_a(nr, nc, A->dense_cols, x, y);
#endif
    default:
      return portable::mult_a(nr, nc, A->dense_cols, x, y);
  }
}

void svdMultATADense(tarvo::Simd path, const SMat* A, const double* x, double* y, double* scratch) {
  svdMultADense(path, A, x, scratch);
  const int nr = A->rows / 2, nc = A->cols / 2;
  switch (path) {
#if defined(TARVO_DENSE_AVX512)
    case tarvo::Simd::kAvx512:
      return avx512::mult_at(nr, nc, A->dense_rows, scratch, y);
#endif
#if defined(TARVO_DENSE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::mult_at(nr, nc, A->dense_rows, scratch, y);
#endif
    default:
      return portable::mult_at(nr, nc, A->dense_rows, scratch, y);
  }
}
