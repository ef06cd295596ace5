// Frame utilities: alternate-line copies, quadrant exchange, in-place transpose.
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

// out (cols x rows) <- value(i, j) for each element (i, j) of a rows x cols frame, by blocks of
// 32 x 32 so that reads and writes both stay within cache lines.
template <class Value>
void blocked_transpose(int rows, int cols, dcomplex* out, Value value) {
  const std::int64_t R = rows;
  const std::int64_t C = cols;
  constexpr std::int64_t B = 32;
  for (std::int64_t j0 = 0; j0 < C; j0 += B)
    for (std::int64_t i0 = 0; i0 < R; i0 += B)
      for (std::int64_t j = j0; j < j0 + B && j < C; ++j)
        for (std::int64_t i = i0; i < i0 + B && i < R; ++i) out[j + C * i] = value(i, j);
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

// Where swap_quadrants takes element (i, j) of a rows x cols frame from: (i +- rows/2,
// j +- cols/2) within the first 2 (rows/2) rows and 2 (cols/2) columns (a half extent of 0 turns
// nothing along that extent); the last row and column of an odd extent stay where they are.
struct QuadrantSource {
  std::int64_t R, hr, hc;
  QuadrantSource(int rows, int cols) : R(rows), hr(rows / 2), hc(cols / 2) {}
  std::int64_t operator()(std::int64_t i, std::int64_t j) const {
    auto swapped = [](std::int64_t k, std::int64_t h) { return k < h ? k + h : k - h; };
    if ((i >= 2 * hr && hr > 0) || (j >= 2 * hc && hc > 0)) return i + R * j;
    return (hr == 0 ? i : swapped(i, hr)) + R * (hc == 0 ? j : swapped(j, hc));
  }
};

}  // namespace

void swap_quadrants_to(const dcomplex* in, int rows, int cols, dcomplex* out) {
  const QuadrantSource from(rows, cols);
  const std::int64_t R = rows;
  for (std::int64_t j = 0; j < cols; ++j)
    for (std::int64_t i = 0; i < R; ++i) out[i + R * j] = in[from(i, j)];
}

void swapped_transpose(const dcomplex* in, int rows, int cols, dcomplex* out) {
  const QuadrantSource from(rows, cols);
  blocked_transpose(rows, cols, out,
                    [&](std::int64_t i, std::int64_t j) { return in[from(i, j)]; });
}

void transposed_lines(const dcomplex* source, int rows, int cols, const unsigned char* half_of,
                      unsigned char half, dcomplex* out) {
  const std::int64_t R = rows;
  blocked_transpose(rows, cols, out, [&](std::int64_t i, std::int64_t j) {
    return half_of[j] == half ? source[i + R * j] : dcomplex{0.0, 0.0};
  });
}

}  // namespace core_detail
