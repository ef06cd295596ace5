// Frame utilities: alternate-line copies, quadrant exchange, in-place transpose.
#include <algorithm>
#include <cstring>
#include <utility>

#include "core/core.h"
#include "core/internal.h"
#include "linalg/simd.h"

int copy_alternate_lines(int ndims, const int* dims, const dcomplex* source, int source_first,
                         dcomplex* destination, int destination_first) {
  const std::int64_t M = dims[0];
  const int N = dims[1];
  const std::int64_t frames = core_detail::frame_count(ndims, dims);
  for (std::int64_t f = 0; f < frames; ++f) {
    const dcomplex* src = source + f * M * N;
    dcomplex* dst = destination + f * M * N;
    for (int j = 0; j < N - source_first; j += 2) {
      const int s = source_first + j;
      const int d = destination_first + j;
      if (s < 0 || s >= N || d < 0 || d >= N) continue;
      std::memcpy(dst + d * M, src + s * M, static_cast<std::size_t>(M) * sizeof(dcomplex));
    }
  }
  return 0;
}

void swap_quadrants(dcomplex* frame, int rows, int cols) {
  const std::int64_t R = rows;
  const int hr = rows / 2;
  const int hc = cols / 2;
  if (rows <= 0 || cols <= 0 || (hr == 0 && hc == 0)) return;  // an empty frame: nothing to move
  if (hr == 0) {  // a single row: shift along the columns only
    for (int c = 0; c < hc; ++c) std::swap(frame[c * R], frame[(c + hc) * R]);
    return;
  }
  if (hc == 0) {  // a single column: shift along the rows only
    for (int r = 0; r < hr; ++r) std::swap(frame[r], frame[r + hr]);
    return;
  }
  for (int c = 0; c < hc; ++c) {
    dcomplex* left = frame + c * R;
    dcomplex* right = frame + (c + hc) * R;
    for (int r = 0; r < hr; ++r) {
      std::swap(left[r], right[r + hr]);
      std::swap(left[r + hr], right[r]);
    }
  }
}

namespace core_detail {

namespace {

// The quadrant swap as runs of indices along one extent of n: destination index `to` takes
// source index `from` for `count` indices. A half extent of 0 turns nothing; the last index of an
// odd extent stays where it is (and so does its whole row or column, see below).
struct Run {
  std::int64_t to, from, count;
};

int turned_runs(int n, Run* runs) {
  const std::int64_t h = n / 2;
  if (h == 0) {
    runs[0] = {0, 0, n};
    return 1;
  }
  runs[0] = {0, h, h};
  runs[1] = {h, 0, h};
  return 2;
}

// For each pair of turned row and column runs, and for the last row and last column of an odd
// extent (which swap_quadrants leaves in place, across the whole frame): move(row run, column run).
template <class Move>
void by_quadrant_runs(int rows, int cols, Move move) {
  Run r[2], c[2];
  const int nr = turned_runs(rows, r), nc = turned_runs(cols, c);
  for (int a = 0; a < nr; ++a)
    for (int b = 0; b < nc; ++b) move(r[a], c[b]);
  const bool last_row = rows % 2 == 1 && rows > 1, last_col = cols % 2 == 1 && cols > 1;
  if (last_row) move(Run{rows - 1, rows - 1, 1}, Run{0, 0, cols});
  if (last_col) move(Run{0, 0, rows - (last_row ? 1 : 0)}, Run{cols - 1, cols - 1, 1});
}

}  // namespace

void swap_quadrants_to(const dcomplex* in, int rows, int cols, dcomplex* out) {
  const std::int64_t R = rows;
  by_quadrant_runs(rows, cols, [&](const Run& r, const Run& c) {
    for (std::int64_t j = 0; j < c.count; ++j)
      std::memcpy(out + r.to + R * (c.to + j), in + r.from + R * (c.from + j),
                  static_cast<std::size_t>(r.count) * sizeof(dcomplex));
  });
}

void swapped_transpose(const dcomplex* in, int rows, int cols, dcomplex* out) {
  const std::int64_t R = rows;
  const std::int64_t C = cols;
  by_quadrant_runs(rows, cols, [&](const Run& r, const Run& c) {
    tarvo::complex_transpose(in + r.from + R * c.from, R, static_cast<int>(r.count),
                             static_cast<int>(c.count), out + c.to + C * r.to, C);
  });
}

void transposed_halves(const dcomplex* source, int rows, int cols, const unsigned char* half_of,
                       dcomplex* first, dcomplex* second) {
  tarvo::complex_transpose_halves(source, rows, rows, cols, half_of, first, second, cols);
}

}  // namespace core_detail
