// Frame utilities: alternate-line copies, quadrant exchange, in-place transpose.
#include <algorithm>
#include <cstring>
#include <utility>

#include "core/core.h"
#include "core/internal.h"

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

// strip(j, i0, i1) for the elements i0 .. i1-1 of each column j of a rows x cols frame, by blocks
// of 16 x 16 so that the reads of a column and the writes of its transpose both stay within
// cache lines. With 32 x 32, the 32 lines a block writes at a 2 KiB stride (128 columns) fall on
// a few first-level cache sets and evict each other before their next values come: four times
// the time.
template <class Strip>
void by_transpose_blocks(int rows, int cols, Strip strip) {
  const std::int64_t R = rows;
  const std::int64_t C = cols;
  constexpr std::int64_t B = 16;
  for (std::int64_t j0 = 0; j0 < C; j0 += B)
    for (std::int64_t i0 = 0; i0 < R; i0 += B)
      for (std::int64_t j = j0; j < j0 + B && j < C; ++j) strip(j, i0, std::min(i0 + B, R));
}

// out (cols x rows) <- value(i, j) for each element (i, j) of a rows x cols frame.
template <class Value>
void blocked_transpose(int rows, int cols, dcomplex* out, std::int64_t out_stride, Value value,
                       std::int64_t out_at = 0) {
  dcomplex* o = out + out_at;
  by_transpose_blocks(rows, cols, [&](std::int64_t j, std::int64_t i0, std::int64_t i1) {
    for (std::int64_t i = i0; i < i1; ++i) o[j + out_stride * i] = value(i, j);
  });
}

template <class Value>
void blocked_transpose(int rows, int cols, dcomplex* out, Value value) {
  blocked_transpose(rows, cols, out, cols, value);
}

}  // namespace

void transpose_with(dcomplex* data, int rows, int cols, dcomplex* temp) {
  const std::int64_t R = rows;
  // Into temp (cols x rows), then back.
  blocked_transpose(rows, cols, temp,
                    [&](std::int64_t i, std::int64_t j) { return data[i + R * j]; });
  std::memcpy(data, temp, static_cast<std::size_t>(R * cols) * sizeof(dcomplex));
}

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
    blocked_transpose(
        static_cast<int>(r.count), static_cast<int>(c.count), out, C,
        [&](std::int64_t i, std::int64_t j) { return in[r.from + i + R * (c.from + j)]; },
        c.to + C * r.to);
  });
}

void transposed_halves(const dcomplex* source, int rows, int cols, const unsigned char* half_of,
                       dcomplex* first, dcomplex* second) {
  const std::int64_t R = rows;
  const std::int64_t C = cols;
  const dcomplex zero = {0.0, 0.0};
  // A column's values go to the half it belongs to, zeros to the other (both, to neither).
  by_transpose_blocks(rows, cols, [&](std::int64_t j, std::int64_t i0, std::int64_t i1) {
    const dcomplex* in = source + R * j;
    dcomplex* to = (half_of[j] == 1 ? first : second) + j;
    dcomplex* other = (half_of[j] == 1 ? second : first) + j;
    if (half_of[j] == 1 || half_of[j] == 2) {
      for (std::int64_t i = i0; i < i1; ++i) to[C * i] = in[i], other[C * i] = zero;
    } else {
      for (std::int64_t i = i0; i < i1; ++i) to[C * i] = zero, other[C * i] = zero;
    }
  });
}

}  // namespace core_detail
