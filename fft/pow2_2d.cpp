// Two-dimensional power-of-two FFT over row pointers: every row, then every column.
//
// Both passes run the one-dimensional network of cfft_pow2 on four transforms side by side
// (fftk::pow2_batch4), which is how the 256-bit kernels get two values per register:
//   - columns are gathered into a contiguous work area, four interleaved columns per block,
//     several blocks per sweep so that every row is read and written in whole cache lines
//     (a single four-column sweep touches one line per row at the row stride, and rows a power
//     of two apart evict each other from the cache);
//   - rows are interleaved four at a time when the 256-bit kernels are in use (with 128-bit
//     kernels the interleaving costs more than it saves, and each row goes through cfft_pow2).
// The arithmetic per transform is that of cfft_pow2, so the results do not depend on the
// grouping.
#include <cstdio>

#include "fft/cvec.h"
#include "fft/fft.h"
#include "fft/simd.h"
#include "linalg/report.h"

using tarvo::fftk::load;
using tarvo::fftk::store;

namespace {

constexpr int kMaxSweepColumns = 16;  // complex columns gathered per sweep: 256 bytes per row

// Doubles of the work area that cfft_pow2_2d_columns is documented to need.
int64_t column_work_doubles(int32_t nrows, int32_t rowlen) {
  if (rowlen > 4) return 8 * static_cast<int64_t>(nrows);
  if (rowlen == 4) return 4 * static_cast<int64_t>(nrows);
  return 2 * static_cast<int64_t>(nrows);
}

bool batch_rows(int32_t nrows, int32_t rowlen) {
  return tarvo::fftk::active_isa() != tarvo::fftk::isa::sse2 && nrows >= 4 && rowlen >= 8;
}

// Doubles of work area the fastest passes use: the widest column sweep and four rows.
int64_t fast_work_doubles(int32_t nrows, int32_t rowlen) {
  int64_t need = column_work_doubles(nrows, rowlen);
  if (rowlen > 4) {
    const int sweep = rowlen / 2 < kMaxSweepColumns ? rowlen / 2 : kMaxSweepColumns;
    const int64_t cols = 2 * static_cast<int64_t>(sweep) * nrows;
    if (cols > need) need = cols;
  }
  if (batch_rows(nrows, rowlen) && 4 * static_cast<int64_t>(rowlen) > need)
    need = 4 * static_cast<int64_t>(rowlen);
  return need;
}

// Rows a[i], i < nrows, each transformed in place; t holds t_doubles doubles.
void rows_pass(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t,
               int64_t t_doubles, int32_t* ip, double* w) {
  int i = 0;
  if (batch_rows(nrows, rowlen) && t_doubles >= 4 * static_cast<int64_t>(rowlen)) {
    // t[8 k + 2 r ...] = value k of row i + r
    for (; i + 4 <= nrows; i += 4) tarvo::fftk::avx2::pow2_rows4(a + i, rowlen, isgn < 0, ip, w, t);
  }
  for (; i < nrows; ++i) cfft_pow2(rowlen, isgn, a[i], ip, w);
}

// The column pass with a work area of t_doubles (at least column_work_doubles) doubles.
void columns_pass(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t,
                  int64_t t_doubles, int32_t* ip, double* w) {
  const int64_t col = 2 * static_cast<int64_t>(nrows);  // one gathered column, in doubles
  if (col > 4 * static_cast<int64_t>(ip[0])) cfft_pow2_make_tables(nrows / 2, ip, w);
  if (rowlen > 4) {
    // Sweeps of `sweep` columns (a multiple of 4: rowlen is a power of two >= 8); block b of
    // 4 col doubles holds columns 4 b .. 4 b + 3 of the sweep interleaved:
    // t[4 col b + 8 i + 2 c ...] = column j/2 + 4 b + c of row i.
    int sweep = rowlen / 2 < kMaxSweepColumns ? rowlen / 2 : kMaxSweepColumns;
    while (sweep > 4 && 2 * static_cast<int64_t>(sweep) * nrows > t_doubles) sweep /= 2;
    const int blocks = sweep / 4;
    const bool wide = tarvo::fftk::active_isa() != tarvo::fftk::isa::sse2;
    for (int j = 0; j < rowlen; j += 2 * sweep) {
      if (wide) {
        tarvo::fftk::avx2::gather_columns4(a, nrows, j, blocks, col, t);
      } else {
        for (int i = 0; i < nrows; ++i) {
          const double* r = a[i] + j;
          for (int b = 0; b < blocks; ++b)
            for (int c = 0; c < 4; ++c)
              store(t + 4 * col * b + 8 * i + 2 * c, load(r + 8 * b + 2 * c));
        }
      }
      for (int b = 0; b < blocks; ++b)
        tarvo::fftk::pow2_batch4(t + 4 * col * b, static_cast<int32_t>(col), isgn < 0, ip, w);
      if (wide) {
        tarvo::fftk::avx2::scatter_columns4(a, nrows, j, blocks, col, t);
      } else {
        for (int i = 0; i < nrows; ++i) {
          double* r = a[i] + j;
          for (int b = 0; b < blocks; ++b)
            for (int c = 0; c < 4; ++c)
              store(r + 8 * b + 2 * c, load(t + 4 * col * b + 8 * i + 2 * c));
        }
      }
    }
    return;
  }
  // One or two complex columns: each gathered into its own block of col doubles.
  const int group = rowlen == 4 ? 2 : (rowlen == 2 ? 1 : 0);
  for (int j = 0; j < rowlen && group > 0; j += 2 * group) {
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

}  // namespace

void cfft_pow2_2d_columns(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t,
                          int32_t* ip, double* w) {
  columns_pass(nrows, rowlen, isgn, a, t, column_work_doubles(nrows, rowlen), ip, w);
}

int cfft_pow2_2d(int32_t nrows, int32_t rowlen, int32_t isgn, double** a, double* t, int32_t* ip,
                 double* w) {
  const int32_t n = 2 * nrows > rowlen ? 2 * nrows : rowlen;
  if (n > 4 * ip[0]) cfft_pow2_make_tables(n / 4, ip, w);
  // Allocated before any row is touched: on failure the image is left as it was. A caller's
  // work area is only known to hold the documented column_work_doubles.
  int64_t t_doubles = column_work_doubles(nrows, rowlen);
  tarvo::buffer<double> own;
  if (t == nullptr) {
    t_doubles = fast_work_doubles(nrows, rowlen);
    own.reset(tarvo::alloc_array<double>(t_doubles));
    if (!own) {
      tarvo::report("fft2d memory allocation error\n");
      return -1;
    }
    t = own.get();
  }
  rows_pass(nrows, rowlen, isgn, a, t, t_doubles, ip, w);
  columns_pass(nrows, rowlen, isgn, a, t, t_doubles, ip, w);
  return 0;
}
