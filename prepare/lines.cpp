// Applying a readout grid to the lines of a raw volume, the reversed-line flags, and the error
// record.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "linalg/parallel.h"
#include "prepare/internal.h"
#include "prepare/prepare.h"

namespace tarvo {

namespace prepare_detail {

int fail(Error* error, const char* what, const char* format, ...) {
  char message[sizeof error->message];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  const ErrorKind kind = std::strcmp(what, "memory") == 0 ? ErrorKind::kMemory : ErrorKind::kValue;
  return set_error(error, kind, what, "%s", message);
}

void clear_error(Error* error) {
  *error = {};
}

}  // namespace prepare_detail

using prepare_detail::clear_error;
using prepare_detail::fail;

namespace {

// Lines per job of the product: a block of raw lines (R x 64) and its output stay in cache
// while both maps stream over them.
constexpr int kLinesPerJob = 64;

}  // namespace

int reversed_by_parity(const char* parity, int N, unsigned char* flags, Error* error) {
  clear_error(error);
  if (!parity) parity = "";
  int first;
  if (std::strcmp(parity, "even") == 0)
    first = 0;
  else if (std::strcmp(parity, "odd") == 0)
    first = 1;
  else
    return fail(error, "reversed",
                "reversed must be a logical vector with one value per line or 'even' or 'odd' "
                "(got '%.40s'%s)",
                parity, std::strlen(parity) > 40 ? "..." : "");
  for (int l = 0; l < N; ++l) flags[l] = (l % 2) == first ? 1 : 0;
  return 0;
}

int check_reversed_count(std::int64_t count, int N, Error* error) {
  clear_error(error);
  if (count != N)
    return fail(error, "reversed",
                "reversed has %lld values but raw has %d lines; it needs one value per line",
                static_cast<long long>(count), N);
  return 0;
}

int check_kx_count(std::int64_t kx_count, int R, Error* error) {
  clear_error(error);
  if (kx_count != R)
    return fail(error, "kx",
                "kx has %lld values but raw has %d samples per line; kx needs one value per "
                "sample",
                static_cast<long long>(kx_count), R);
  return 0;
}

int prepare_lines(const ReadoutGrid& grid, const dcomplex* raw, const LineExtents& extents,
                  const unsigned char* reversed, dcomplex* out, Error* error) {
  clear_error(error);
  const int R = extents.samples, N = extents.lines, M = grid.length();
  if (grid.samples() < 1) return fail(error, "kx", "the readout grid has not been built");
  if (R < 1 || N < 1 || extents.frames < 1)
    return fail(error, "raw", "raw must not be empty (it is %d x %d x %lld after folding)", R, N,
                static_cast<long long>(extents.frames));
  if (check_kx_count(grid.samples(), R, error) != 0) return -1;
  const std::int64_t lines = static_cast<std::int64_t>(N) * extents.frames;

  if (grid.pass_through()) {
    for (std::int64_t c = 0; c < lines; ++c) {
      const dcomplex* in = raw + c * R;
      dcomplex* o = out + c * M;
      if (reversed[c % N])
        for (int j = 0; j < R; ++j) o[j] = in[R - 1 - j];
      else
        std::memcpy(o, in, sizeof(dcomplex) * R);
    }
    return 0;
  }

  // out(:, c) = P x(:, c) with P the forward or backward map by the line's flag; each job covers
  // kLinesPerJob lines and writes only its own columns.
  const std::int64_t jobs = (lines + kLinesPerJob - 1) / kLinesPerJob;
  try {
    parallel_for(jobs, thread_count(), [&](std::int64_t job, int) {
      const std::int64_t c0 = job * kLinesPerJob;
      const int count = static_cast<int>(lines - c0 < kLinesPerJob ? lines - c0 : kLinesPerJob);
      unsigned char forward[kLinesPerJob], backward[kLinesPerJob];
      bool any_forward = false, any_backward = false;
      for (int i = 0; i < count; ++i) {
        const bool back = reversed[(c0 + i) % N] != 0;
        backward[i] = back ? 1 : 0;
        forward[i] = back ? 0 : 1;
        any_forward = any_forward || !back;
        any_backward = any_backward || back;
      }
      const dcomplex* x = raw + c0 * R;
      dcomplex* y = out + c0 * M;
      if (any_forward) complex_matmat_rows(grid.forward(), M, R, x, count, forward, 0, M, y);
      if (any_backward) complex_matmat_rows(grid.backward(), M, R, x, count, backward, 0, M, y);
      return 0;
    });
  } catch (const std::bad_alloc&) {
    return fail(error, "memory", "not enough memory to start the call's threads");
  }
  return 0;
}

}  // namespace tarvo
