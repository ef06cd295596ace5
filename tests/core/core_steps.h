// The single steps of the core that production runs only inside larger ones (core/internal.h),
// as the tests call them: each a thin driver over the production step, or (synthesize_line) the
// kernel model written out plainly.
#pragma once

#include <cstring>

#include "core/core.h"
#include "core/internal.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"
#include "linalg/simd.h"

// Transposes a rows x cols column-major matrix in place: element (j, i) of the cols x rows
// result is element (i, j) of the input. Returns 0, or -1 when the temporary cannot be obtained
// (data unchanged).
inline int transpose_frame(dcomplex* data, int rows, int cols) {
  tarvo::buffer<dcomplex> temp(
      tarvo::alloc_array<dcomplex>(static_cast<std::int64_t>(rows) * cols));
  if (!temp) return -1;
  tarvo::complex_transpose(data, rows, rows, cols, temp.get(), cols);
  std::memcpy(data, temp.get(), static_cast<std::size_t>(rows) * cols * sizeof(dcomplex));
  return 0;
}

// Fits the K x L coefficient array (K = kernel.rows(L)) of one pattern by least squares over
// the training set (its calibration lines and the n_ro central readout samples starting at
// (M - n_ro)/2): (A^H A) W_c = A^H b_c for each target coil c, by conjugate gradients (40
// passes, tolerance 1e-9). The training data are first divided by the RMS magnitude of A's
// entries, so the weights do not depend on the scale of the data. *coefficients is allocated
// when null (reused otherwise) and cleared before the solves. Returns 0, or -1 after
// " could not alloc <AH|X|N|b|Xb> array\n" (buffers released). A itself is held only as its
// conjugate transpose AH.
inline int calibrate_kernel(const SliceShape& slice, const dcomplex* data,
                            const KernelGeometry& kernel, const TrainingSet& training,
                            dcomplex** coefficients) {
  core_detail::CalibrationBlocks blocks;
  return core_detail::calibrate_kernel_with(slice, data, kernel, training, coefficients, &blocks);
}

// Builds the patterns and calibration lines of a set (its spacings given) and fits each pattern's
// coefficients on one line-fastest slice; acquired holds shape.acquired lines. n_ro =
// trunc(M*fraction) for 0 < fraction <= 1, else M/4. Returns 0, or -1 after a message.
inline int fit_slice_kernels(const dcomplex* slice, const int* acquired, const SliceShape& shape,
                             SliceKernelSet* set, float fraction) {
  core_detail::CalibrationBlocks blocks;
  return core_detail::fit_slice_kernels_with(slice, acquired, shape, set, fraction, &blocks);
}

// Completes one line-fastest slice: every pattern of the set (those with coefficients) fills the
// missing lines it can reach from the shape.acquired lines of the list `acquired`. The new-line
// list (occupied lines, counted from 1) is handed back through the given pointers (freed here when
// list_out is null). Returns 0, or -1 after " could not alloc NewPhaseLines array\n" or another
// allocation message.
inline int synthesize_missing_lines(dcomplex* data, const int* acquired, const SliceShape& shape,
                                    int* count_out, int** list_out, float fraction,
                                    const SliceKernelSet* set) {
  return core_detail::synthesize_missing_lines_on(data, acquired, shape, count_out, list_out,
                                                  fraction, set, tarvo::thread_count());
}
