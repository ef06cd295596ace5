// Dominant singular triplet of a weighted complex map through the Lanczos SVD of its real
// representation.
#include <cstdint>
#include <cstdio>
#include <limits>

#include "align/align.h"
#include "linalg/report.h"
#include "svd/svd.h"

int dominant_singular_pair(const dcomplex* data, const float* weights, int nrows, int ncols,
                           double* sigma_out, dcomplex* u_out, dcomplex* v_out) {
  if (sigma_out) *sigma_out = 0.0;
  if (u_out)
    for (int k = 0; k < nrows; ++k) u_out[k] = {0.0, 0.0};
  if (v_out)
    for (int k = 0; k < ncols; ++k) v_out[k] = {0.0, 0.0};
  if (nrows <= 0 || ncols <= 0) return 0;

  // S = [Re X, Im X; -Im X, Re X] with X = W o C, the real form of conj(W o C):
  // S [x; y] = [Re(conj(W o C) z); Im(conj(W o C) z)] for z = x + i y. Its nonzero values are
  // stored column by column in increasing row order (NaN counts as nonzero, -0.0 does not), as
  // svdConvertDtoS stores those of the dense form: column j < ncols holds W Re C of column j
  // (rows i), then -W Im C (rows nrows + i); column ncols + j holds W Im C, then W Re C.
  constexpr int kHalfMax = std::numeric_limits<int>::max() / 2;
  auto weight = [&](std::int64_t idx) { return weights ? static_cast<double>(weights[idx]) : 1.0; };
  std::int64_t count = 0;
  const std::int64_t elements = static_cast<std::int64_t>(nrows) * ncols;
  for (std::int64_t idx = 0; nrows <= kHalfMax && ncols <= kHalfMax && idx < elements; ++idx) {
    const double w = weight(idx);
    count += 2 * ((w * data[idx].re != 0.0) + (w * data[idx].im != 0.0));
  }
  SMat* S = nrows <= kHalfMax && ncols <= kHalfMax && count <= std::numeric_limits<int>::max()
                ? svdNewSMat(2 * nrows, 2 * ncols, static_cast<int>(count))
                : nullptr;
  if (!S) {
    tarvo::report("dominant_singular_pair: could not alloc SVD matrix\n");
    return -1;
  }
  int p = 0;
  auto store = [&](int row, double v) {
    if (v != 0.0) {
      S->rowind[p] = row;
      S->value[p++] = v;
    }
  };
  for (int part = 0; part < 2; ++part)
    for (int j = 0; j < ncols; ++j) {
      S->pointr[part * ncols + j] = p;
      const std::int64_t column = static_cast<std::int64_t>(j) * nrows;
      for (int i = 0; i < nrows; ++i) {
        const double w = weight(column + i);
        const dcomplex c = data[column + i];
        store(i, part == 0 ? w * c.re : w * c.im);
      }
      for (int i = 0; i < nrows; ++i) {
        const double w = weight(column + i);
        const dcomplex c = data[column + i];
        store(nrows + i, part == 0 ? -w * c.im : w * c.re);
      }
    }
  S->pointr[2 * ncols] = p;
  SVDRec* R = svdLAS2A(S, 1);
  svdFreeSMat(S);
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
