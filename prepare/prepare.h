// Preparation of raw echo-planar readout lines for the ghost correction: lines read with the
// negative readout gradient are put back in k-space order, and lines sampled at non-uniform
// readout positions (sampling during the gradient ramps) are resampled onto the uniform grid.
//
// Geometry. A raw volume holds R samples per line (contiguous), N lines, then any number of
// frames (slices and coils folded): sample j of line l of frame f is raw[j + R*(l + N*f)].
// The output holds M samples per line in the same order of lines and frames. Output sample m
// lies at kx_m = m - floor(M/2) (m = 0 .. M-1), so kx = 0 is sample floor(M/2).
//
// Sampling. kx[j] is the readout position of sample j of a line read forwards, in cycles per
// field of view, strictly increasing. A line read backwards visits the same positions in
// the opposite order: its sample j lies at kx[R-1-j].
//
// Resampling model. The line's readout image on the M pixels x_p = p - floor(M/2) gives the
// samples s(k) = sum_p f_p exp(-2 pi i k x_p / M). The image f is fitted to the samples with
// |kx| <= M/2 by regularised least squares,
//   f = (A^H A + lambda I)^-1 A^H s,   A(r, p) = exp(-2 pi i kx_r x_p / M),
// lambda = 1e-12 trace(A^H A) / M, and the output is its uniform DFT at kx_m. The whole map is one
// M x R matrix (columns of samples beyond +-M/2 are zero), built once per grid and applied to
// every line as a matrix product. It is exact for lines whose object lies inside the readout
// field of view and whose spectrum vanishes beyond +-M/2; a continuous object is reproduced to
// within its spectrum's tail beyond +-M/2 and its part outside the field of view.
// Samples beyond +-M/2 are not used: the M-pixel model is periodic in kx with period M, so such
// a sample would be taken for one at the other end of the line.
// When R == M and kx[j] == j - floor(M/2) exactly, the resampling is skipped: lines are copied
// (reversed lines flipped), bit for bit.
//
// Cost: building the matrix takes O(M^2 R) operations (M <= 1024 and R <= 8 M are accepted);
// applying it, M R complex multiply-adds per line, on the call's threads.
//
// Errors. Every entry point returns 0, or -1 with *error holding a short identifier ("kx",
// "reversed", "raw", "M", "memory") and a message saying what is wrong and what was expected;
// nothing is printed and nothing ends the process. Every buffer whose size depends on the data
// comes from tarvo::alloc_array (linalg/memory.h).
#pragma once

#include <cstdint>

#include "linalg/error.h"
#include "linalg/linalg.h"

namespace tarvo {

// A failed call is reported in the module's one error record (linalg/error.h): what "kx",
// "reversed", "raw" or "M" (kind kValue), or "memory" (kMemory), and a message saying what is
// wrong and what was expected.

// Extents of a raw volume: samples per line, lines, and the product of the remaining extents.
struct LineExtents {
  int samples;          // R
  int lines;            // N
  std::int64_t frames;  // slices x ... x coils
};

// Largest output line length, largest ratio of samples to it, and largest noise gain of a map.
constexpr int kMaxPreparedLength = 1024;
constexpr int kMaxSamplesPerOutput = 8;
constexpr double kMaxNoiseGain = 10.0;

// The resampling map of one readout trajectory onto M uniform samples.
class ReadoutGrid {
 public:
  ReadoutGrid() = default;
  ReadoutGrid(const ReadoutGrid&) = delete;
  ReadoutGrid& operator=(const ReadoutGrid&) = delete;
  ReadoutGrid(ReadoutGrid&&) = default;
  ReadoutGrid& operator=(ReadoutGrid&&) = default;

  // Builds the map of the R positions kx (finite, strictly increasing, at least M of them
  // within -M/2 .. M/2) onto M samples, 1 <= M <= kMaxPreparedLength, R <= kMaxSamplesPerOutput M.
  // Positions that do not determine the M samples stably are refused: a fit that is singular,
  // or a map whose noise gain (below) is above kMaxNoiseGain. Returns 0, or -1 with *error set
  // and the grid left empty.
  int build(const double* kx, int R, int M, Error* error);

  int samples() const { return samples_; }  // R
  int length() const { return length_; }    // M
  // Largest factor by which the map scales the standard deviation of white sample noise, over
  // the output samples: max_m ||P(m, :)||_2 (1 for a pass-through grid; about sqrt(M / R) for
  // well-spread positions).
  double noise_gain() const { return noise_gain_; }
  // True when kx is the output grid itself (no resampling).
  bool pass_through() const { return pass_through_; }
  // The M x R map for lines read forwards, column-major; null for a pass-through grid.
  const dcomplex* forward() const { return forward_.get(); }
  // The same map with its columns in reverse order: the map of a line read backwards.
  const dcomplex* backward() const { return backward_.get(); }

 private:
  int samples_ = 0;
  int length_ = 0;
  bool pass_through_ = false;
  double noise_gain_ = 0.0;
  buffer<dcomplex> forward_;
  buffer<dcomplex> backward_;
};

// Reversed-line flags from a parity name: "even" flags lines 0, 2, 4, ..., "odd" lines 1, 3, ...
// flags: N entries. Returns 0, or -1 with *error set ("reversed").
int reversed_by_parity(const char* parity, int N, unsigned char* flags, Error* error);

// Checks that kx holds one position per sample of a raw line (kx_count == R). Returns 0, or -1
// with *error set ("kx").
int check_kx_count(std::int64_t kx_count, int R, Error* error);

// Checks a list of `count` reversed-line flags against N lines. Returns 0, or -1 with *error set.
int check_reversed_count(std::int64_t count, int N, Error* error);

// out (M x N x frames) <- the lines of raw (R x N x frames) in k-space order on the grid's
// uniform positions; line l is read backwards when reversed[l] != 0 (N flags). Every extent
// must be >= 1 and extents.samples must equal grid.samples(); out must not overlap raw. A
// non-finite sample makes its whole output line non-finite (each output sample mixes every
// sample of its line), except on a pass-through grid. Returns 0, or -1 with *error set and out
// untouched.
int prepare_lines(const ReadoutGrid& grid, const dcomplex* raw, const LineExtents& extents,
                  const unsigned char* reversed, dcomplex* out, Error* error);

}  // namespace tarvo
