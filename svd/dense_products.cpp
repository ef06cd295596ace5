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
      return avx512::mult_a(nr, nc, A->dense_cols, A->col_spans, x, y);
#endif
#if defined(TARVO_DENSE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::mult_a(nr, nc, A->dense_cols, A->col_spans, x, y);
#endif
    default:
      return portable::mult_a(nr, nc, A->dense_cols, A->col_spans, x, y);
  }
}

void svdMultATADense(tarvo::Simd path, const SMat* A, const double* x, double* y, double* scratch) {
  svdMultADense(path, A, x, scratch);
  const int nr = A->rows / 2, nc = A->cols / 2;
  switch (path) {
#if defined(TARVO_DENSE_AVX512)
    case tarvo::Simd::kAvx512:
      return avx512::mult_at(nr, nc, A->dense_rows, A->row_spans, scratch, y);
#endif
#if defined(TARVO_DENSE_AVX2)
    case tarvo::Simd::kAvx2:
      return avx2::mult_at(nr, nc, A->dense_rows, A->row_spans, scratch, y);
#endif
    default:
      return portable::mult_at(nr, nc, A->dense_rows, A->row_spans, scratch, y);
  }
}

void svdFindSpans(SMat* S, int* col_spans, int* row_spans) {
  const int nr = S->rows / 2, nc = S->cols / 2;
  switch (tarvo::simd_best()) {
#if defined(TARVO_DENSE_AVX512)
    case tarvo::Simd::kAvx512:
      avx512::find_spans(nr, nc, S->dense_cols, col_spans, row_spans);
      break;
#endif
#if defined(TARVO_DENSE_AVX2)
    case tarvo::Simd::kAvx2:
      avx2::find_spans(nr, nc, S->dense_cols, col_spans, row_spans);
      break;
#endif
    default:
      portable::find_spans(nr, nc, S->dense_cols, col_spans, row_spans);
  }
  S->col_spans = col_spans;
  S->row_spans = row_spans;
}
