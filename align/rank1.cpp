// Dominant singular triplet of a weighted complex map through the Lanczos SVD of its real
// representation.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "align/align.h"
#include "linalg/memory.h"
#include "linalg/report.h"
#include "linalg/simd.h"
#include "svd/svd.h"

namespace {

// Fills S (2 nrows x 2 ncols, dense, held in complex form) with X = W o C, whose real form
// S = [Re X, Im X; -Im X, Re X] gives S [x; y] = [Re(conj(X) z); Im(conj(X) z)] for z = x + i y:
// X column by column as C is, and row by row, with the spans of its values (spans: 2 (nrows +
// ncols) ints). The SVD counts a zero (-0.0 too) as no value, NaN as one.
void fill_complex_form(const dcomplex* data, const float* weights, int nrows, int ncols, SMat* S,
                       int* spans) {
  const std::int64_t n = static_cast<std::int64_t>(nrows) * ncols;
  auto* __restrict by_cols = reinterpret_cast<dcomplex*>(S->dense_cols);
  for (std::int64_t k = 0; k < n; ++k) {
    const double w = weights ? static_cast<double>(weights[k]) : 1.0;
    by_cols[k] = {w * data[k].re, w * data[k].im};
  }
  // The row-major copy: the transpose of the column-major one.
  tarvo::complex_transpose(by_cols, nrows, nrows, ncols, reinterpret_cast<dcomplex*>(S->dense_rows),
                           ncols);
  svdFindSpans(S, spans, spans + 2 * ncols);
}

// The triplet of the filled S into the outputs (zeroed by the caller).
int run_svd(const SMat* S, double* sigma_out, dcomplex* u_out, dcomplex* v_out) {
  const int nrows = S->rows / 2;
  const int ncols = S->cols / 2;
  SVDRec* R = svdLAS2A(S, 1);
  if (!R) {
    // Only a failed run (memory) yields no record: a slope of 0 would be a silent wrong result.
    tarvo::report("dominant_singular_pair: the SVD of the phase map failed\n");
    return -1;
  }

  // No triplet (an all-zero or fully masked map): the outputs stay zero.
  if (R->d >= 1 && R->s && R->Ut && R->Vt) {
    if (sigma_out) *sigma_out = R->s[0];
    // A complex singular value occurs twice in the real form; the first triplet is taken.
    if (u_out) {
      const int h = R->Ut->cols / 2;
      for (int k = 0; k < h && k < nrows; ++k)
        u_out[k] = {R->Ut->value[0][k], R->Ut->value[0][h + k]};
    }
    if (v_out) {
      const int h = R->Vt->cols / 2;
      for (int k = 0; k < h && k < ncols; ++k)
        v_out[k] = {R->Vt->value[0][k], R->Vt->value[0][h + k]};
    }
  }
  svdFreeSVDRec(R);
  return 0;
}

void clear_outputs(int nrows, int ncols, double* sigma_out, dcomplex* u_out, dcomplex* v_out) {
  if (sigma_out) *sigma_out = 0.0;
  if (u_out)
    for (int k = 0; k < nrows; ++k) u_out[k] = {0.0, 0.0};
  if (v_out)
    for (int k = 0; k < ncols; ++k) v_out[k] = {0.0, 0.0};
}

constexpr int kHalfMax = std::numeric_limits<int>::max() / 2;

}  // namespace

int dominant_singular_pair(const dcomplex* data, const float* weights, int nrows, int ncols,
                           double* sigma_out, dcomplex* u_out, dcomplex* v_out) {
  clear_outputs(nrows, ncols, sigma_out, u_out, v_out);
  if (nrows <= 0 || ncols <= 0) return 0;
  SMat* S =
      nrows <= kHalfMax && ncols <= kHalfMax ? svdNewDenseSMat(2 * nrows, 2 * ncols) : nullptr;
  tarvo::buffer<int> spans(S ? tarvo::alloc_array<int>(2 * (std::int64_t{nrows} + ncols))
                             : nullptr);
  if (!S || !spans) {
    svdFreeSMat(S);
    tarvo::report("dominant_singular_pair: could not alloc SVD matrix\n");
    return -1;
  }
  fill_complex_form(data, weights, nrows, ncols, S, spans.get());
  const int status = run_svd(S, sigma_out, u_out, v_out);
  svdFreeSMat(S);
  return status;
}

int dominant_singular_pair(const dcomplex* data, const float* weights, int nrows, int ncols,
                           double* room, double* sigma_out, dcomplex* u_out, dcomplex* v_out) {
  clear_outputs(nrows, ncols, sigma_out, u_out, v_out);
  if (nrows <= 0 || ncols <= 0) return 0;
  const std::int64_t size = std::int64_t{2} * nrows * ncols;  // doubles of each copy
  SMat S = {};
  S.rows = 2 * nrows;
  S.cols = 2 * ncols;
  S.dense_cols = room;
  S.dense_rows = room + size;
  fill_complex_form(data, weights, nrows, ncols, &S, reinterpret_cast<int*>(room + 2 * size));
  return run_svd(&S, sigma_out, u_out, v_out);
}
