// Two-dimensional power-of-two FFT over row pointers: every row, then every column (columns
// gathered four at a time into a contiguous work area).
#include <cstdio>

#include "fft/cvec.h"
#include "fft/fft.h"

using tarvo::fftk::load;
using tarvo::fftk::store;

namespace {

// Doubles of work area the column pass needs.
int64_t work_doubles(int32_t nrows, int32_t rowlen) {
  if (rowlen > 4) return 8 * static_cast<int64_t>(nrows);
  if (rowlen == 4) return 4 * static_cast<int64_t>(nrows);
  return 2 * static_cast<int64_t>(nrows);
}

}  // namespace

void cfft_pow2_2d_columns(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t,
                          int32_t* ip, double* w) {
  const int64_t col = 2 * static_cast<int64_t>(nrows);  // one gathered column, in doubles
  const int group = rowlen > 4 ? 4 : (rowlen == 4 ? 2 : (rowlen == 2 ? 1 : 0));
  if (group == 0) return;
  for (int j = 0; j < rowlen; j += 2 * group) {
    for (int i = 0; i < nrows; ++i) {
      const double* r = a[i] + j;
      for (int g = 0; g < group; ++g) store(t + g * col + 2 * i, load(r + 2 * g));
    }
    for (int g = 0; g < group; ++g) cfft_pow2(2 * nrows, isgn, t + g * col, ip, w);
    for (int i = 0; i < nrows; ++i) {
      double* r = a[i] + j;
      for (int g = 0; g < group; ++g) store(r + 2 * g, load(t + g * col + 2 * i));
    }
  }
}

int cfft_pow2_2d(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t, int32_t* ip,
                 double* w) {
  const int32_t n = 2 * nrows > rowlen ? 2 * nrows : rowlen;
  if (n > 4 * ip[0]) cfft_pow2_make_tables(n / 4, ip, w);
  // Allocated before any row is touched: on failure the image is left as it was.
  tarvo::buffer<double> own;
  if (t == nullptr) {
    own.reset(tarvo::alloc_array<double>(work_doubles(nrows, rowlen)));
    if (!own) {
      std::fprintf(stderr, "fft2d memory allocation error\n");
      return -1;
    }
    t = own.get();
  }
  for (int i = 0; i < nrows; ++i) cfft_pow2(rowlen, isgn, a[i], ip, w);
  cfft_pow2_2d_columns(nrows, rowlen, isgn, a, t, ip, w);
  return 0;
}
