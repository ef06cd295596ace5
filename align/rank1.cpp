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

  constexpr int kHalfMax = std::numeric_limits<int>::max() / 2;
  DMat* D = nrows <= kHalfMax && ncols <= kHalfMax ? svdNewDMat(2 * nrows, 2 * ncols) : nullptr;
  if (!D) {
    tarvo::report("dominant_singular_pair: could not alloc SVD matrix\n");
    return -1;
  }
  // D = [Re X, Im X; -Im X, Re X] with X = W o C, the real form of conj(W o C):
  // D [x; y] = [Re(conj(W o C) z); Im(conj(W o C) z)] for z = x + i y.
  // Row by row, so that the four rows written stay contiguous.
  for (int i = 0; i < nrows; ++i) {
    double* top = D->value[i];
    double* bottom = D->value[nrows + i];
    for (int j = 0; j < ncols; ++j) {
      const std::int64_t idx = static_cast<std::int64_t>(j) * nrows + i;
      const dcomplex c = data[idx];
      const double w = weights ? static_cast<double>(weights[idx]) : 1.0;
      top[j] = w * c.re;
      top[ncols + j] = w * c.im;
      bottom[j] = -w * c.im;
      bottom[ncols + j] = w * c.re;
    }
  }
  SMat* S = svdConvertDtoS(D);
  svdFreeDMat(D);
  if (!S) {
    tarvo::report("dominant_singular_pair: could not alloc SVD matrix\n");
    return -1;
  }
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
