// Helpers shared by the files of the core; not part of the public interface.
#pragma once

#include <cstdint>
#include <vector>

#include "core/core.h"
#include "linalg/memory.h"

namespace core_detail {

// Product of the first ndims extents in 64 bits (1 when none); -1 when an extent is negative.
inline std::int64_t element_count(int ndims, const int* dims) {
  std::int64_t count = 1;
  for (int i = 0; i < ndims; ++i) {
    if (dims[i] < 0) return -1;
    count *= dims[i];
  }
  return count;
}

// Number of frames of a volume: the product of the extents after the second.
inline std::int64_t frame_count(int ndims, const int* dims) {
  return element_count(ndims - 2, dims + 2);
}

// True when the context holds scratch volumes of at least `count` elements.
inline bool context_holds(const CorrectionContext& context, std::int64_t count) {
  return context.initialized == 1 && context.dims && count >= 0 &&
         count <= element_count(context.ndims, context.dims);
}

// (index + offset) brought into 0 .. n-1: n is added once when negative, then the remainder
// modulo n is taken.
inline int wrap(int index, int offset, int n) {
  int v = index + offset;
  if (v < 0) v += n;
  return v % n;
}

// True when every source line (l + offsets[s]) mod N of line l has a mask value that `accept`
// takes; the source lines are written to lines[0 .. S-1] (as far as they were looked at) when
// lines is not null.
template <class Accept>
bool sources_accepted(const int* mask, int l, const KernelGeometry& kernel, int N, Accept accept,
                      int* lines = nullptr) {
  for (int s = 0; s < kernel.S; ++s) {
    const int line = wrap(l, kernel.line_offsets[s], N);
    if (lines) lines[s] = line;
    if (!accept(mask[line])) return false;
  }
  return true;
}

// The readout offsets of a kernel of width w: -(w-1)/2 .. -(w-1)/2 + w-1.
inline void centred_offsets(int w, int* q) {
  for (int j = 0; j < w; ++j) q[j] = -((w - 1) / 2) + j;
}

// out <- the frame that swap_quadrants would make of the rows x cols frame in (out != in).
void swap_quadrants_to(const dcomplex* in, int rows, int cols, dcomplex* out);
// out (cols x rows) <- the transpose of that frame, in one pass.
void swapped_transpose(const dcomplex* in, int rows, int cols, dcomplex* out);

// first and second (cols x rows) <- the transpose of the rows x cols frame source, line index
// fastest, keeping in first the columns j of half_of[j] == 1 and in second those of
// half_of[j] == 2 (the others cleared), in one pass over source.
void transposed_halves(const dcomplex* source, int rows, int cols, const unsigned char* half_of,
                       dcomplex* first, dcomplex* second);

// Centred 2-D transform of one rows x cols frame: swap_quadrants, fft_2d, swap_quadrants.
// Returns the status of fft_2d (the frame is untouched on failure).
int centred_fft(FftManager* manager, dcomplex* frame, int rows, int cols, char direction);

// FFT managers of the workers of one loop over frames: worker 0 uses the context's manager, the
// others their own (a manager's slots hold per-call scratch, so one manager serves one thread).
// The extra managers are made on the calling thread and destroyed with this object; when one
// cannot be made, fewer workers are used.
class WorkerFfts {
 public:
  WorkerFfts(FftManager* first, int workers);
  ~WorkerFfts();
  WorkerFfts(const WorkerFfts&) = delete;
  WorkerFfts& operator=(const WorkerFfts&) = delete;
  int workers() const { return 1 + static_cast<int>(own_.size()); }
  FftManager* get(int worker) { return worker == 0 ? first_ : &own_[worker - 1]; }

 private:
  FftManager* first_;
  std::vector<FftManager> own_;
};

// X (K x K) <- AH * AH^H for AH K x R held as panels (tarvo::complex_pack_panels' layout), i.e.
// A^H A for A = AH^H: the lower triangle formed by blocks of columns (spread over `threads`
// workers), each entry accumulated in increasing r with the bits of tarvo::complex_matmat_rows,
// and the upper triangle its exact conjugate. Every entry of X is written.
void gram_matrix(const dcomplex* AH, int K, std::int64_t R, dcomplex* X, int threads);

// The same X for the AH that fill_conjugate_rows forms from data (slice, kernel, training) and
// normalise_rows divides by scale, when the kernel's readout offsets are consecutive: the columns
// of the first offset directly, and every other block of offsets from the one before it on the
// diagonal, less the products of the sample before the training window and plus those of the
// sample past it (about a third of the products for 5 offsets). The entries differ from
// gram_matrix's by rounding only; the same on any number of threads. Returns 1; 0 (X untouched)
// when the offsets are not consecutive or fewer than 2; -1 after the message " could not alloc
// Gram edge array" when the edge blocks cannot be allocated.
int shifted_gram(const SliceShape& slice, const dcomplex* data, const KernelGeometry& kernel,
                 const TrainingSet& training, const dcomplex* AH, double scale, dcomplex* X,
                 int threads);

// X as a fit forms it: from the readout shifts (shifted_gram) where it can, for a regularised
// fit and in the fused kernel form; by the direct sums (gram_matrix) otherwise, so that the
// baseline form gives an unregularised fit the bits of those sums. 0, or -1 after
// shifted_gram's message.
int fit_gram(const SliceShape& slice, const dcomplex* data, const KernelGeometry& kernel,
             const TrainingSet& training, const dcomplex* AH, double scale, bool regularised,
             dcomplex* X, int threads);

// The large blocks of kernel calibration (A^H and the normal matrix), kept from one
// calibration to the next so that a run of them (every pattern of every slice) takes its memory
// once instead of fresh pages each time. Grown when a calibration needs more; every element a
// calibration reads it has written first.
struct CalibrationBlocks {
  tarvo::buffer<dcomplex> AH, X;
  std::int64_t a_count = 0, x_count = 0;
};

// The least-squares fit of one pattern's K x L coefficients (see the top of core/calibrate.cpp),
// and every pattern of a slice's set fitted on one line-fastest slice, with the caller's blocks.
// With ridge > 0 the fit solves (X + shift I) W = A^H B, shift = ridge * trace(X) / K, by a
// Cholesky factorisation (by conjugate gradients on X when that is not positive definite);
// *ridge_value (when not null) receives the shift (0 without).
int calibrate_kernel_with(const SliceShape& slice, const dcomplex* data,
                          const KernelGeometry& kernel, const TrainingSet& training,
                          dcomplex** coefficients, CalibrationBlocks* blocks, double ridge = 0.0,
                          double* ridge_value = nullptr);
int fit_slice_kernels_with(const dcomplex* slice, const int* acquired, const SliceShape& shape,
                           SliceKernelSet* set, float fraction, CalibrationBlocks* blocks);

// Completes one line-fastest slice on `threads` threads: every pattern of the set (those with
// coefficients) fills the missing lines it can reach from the shape.acquired lines of the list
// `acquired`. The new-line list (occupied lines, counted from 1) is handed back through the
// given pointers (freed here when list_out is null). Returns 0, or -1 after " could not alloc
// NewPhaseLines array\n" or another allocation message.
int synthesize_missing_lines_on(dcomplex* data, const int* acquired, const SliceShape& shape,
                                int* count_out, int** list_out, float fraction,
                                const SliceKernelSet* set, int threads);

}  // namespace core_detail
