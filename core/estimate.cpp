// Coefficient estimation: one kernel set per slice of the calibration k-space.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "core/internal.h"
#include "core/tarvo.h"
#include "linalg/parallel.h"
#include "linalg/report.h"
#include "linalg/simd.h"

namespace {

// The training window of every fit: the central quarter of the readout.
constexpr float kTrainingFraction = 0.25f;
// Equations per unknown (on the whole readout) below which a both-polarity pattern of more than
// 2 source lines is left out.
constexpr int kMinEquationsPerUnknownToFit = 2;

}  // namespace

int release_kernel_set(SliceKernelSet* set) {
  if (set->patterns) {
    for (int j = 0; j < set->spacing_count; ++j) {
      KernelPattern* patterns = set->patterns[j];
      if (!patterns) continue;
      const int P = pattern_count(set->spacings ? set->spacings[j] : 0, set->source_lines);
      for (int p = 0; p < P; ++p) {
        tarvo::free_bytes(patterns[p].text);
        tarvo::free_bytes(patterns[p].calib_lines);
        tarvo::free_bytes(patterns[p].coefficients);
      }
      tarvo::free_bytes(patterns);
    }
  }
  for (int p = 0; set->polarity && p < set->polarity_count; ++p) {
    tarvo::free_bytes(set->polarity[p].text);
    tarvo::free_bytes(set->polarity[p].calib_lines);
    tarvo::free_bytes(set->polarity[p].coefficients);
  }
  tarvo::free_bytes(set->polarity);
  set->polarity = nullptr;
  set->polarity_count = 0;
  tarvo::free_bytes(set->patterns);
  tarvo::free_bytes(set->spacings);
  set->patterns = nullptr;
  set->spacings = nullptr;
  return 0;
}

int core_detail::fit_slice_kernels_with(const dcomplex* slice, const int* acquired,
                                        const SliceShape& shape, SliceKernelSet* set,
                                        float fraction, CalibrationBlocks* blocks) {
  const int M = shape.M;
  const int acquired_count = shape.acquired;
  const int N = shape.N;
  const int n_ro = (fraction > 0.0f && fraction <= 1.0f)
                       ? static_cast<int>(static_cast<float>(M) * fraction)
                       : M / 4;
  const int S = set->source_lines;
  const int w = set->readout_width;

  tarvo::buffer<int> q(tarvo::alloc_array<int>(w));
  tarvo::buffer<int> offsets(tarvo::alloc_array<int>(S, true));
  if (!q || !offsets) {
    tarvo::report(" could not alloc kernel offsets array\n");
    return -1;
  }
  core_detail::centred_offsets(w, q.get());

  if (!set->patterns) {
    set->patterns = tarvo::alloc_array<KernelPattern*>(set->spacing_count, true);
    if (!set->patterns) {
      tarvo::report(" could not alloc patterns array\n");
      return -1;
    }
  }
  for (int j = 0; j < set->spacing_count; ++j) {
    const int dk = set->spacings[j];
    const int P = pattern_count(dk, S);
    if (!set->patterns[j]) {
      set->patterns[j] = tarvo::alloc_array<KernelPattern>(P, true);
      if (!set->patterns[j]) {
        tarvo::report(" could not alloc patterns array\n");
        return -1;
      }
    }
    if (build_patterns(set->patterns[j], dk, S) != 0) {
      tarvo::report(" could not alloc pattern text array\n");
      return -1;
    }
  }

  tarvo::buffer<int> mask(tarvo::alloc_array<int>(N, true));
  if (!mask) {
    tarvo::report(" could not alloc mask array\n");
    return -1;
  }
  for (int i = 0; i < acquired_count; ++i)
    if (acquired[i] >= 0 && acquired[i] < N) mask[acquired[i]] = kLineAcquired;
  const bool bounded = set->bounded == 1;
  if (select_all_calibration_lines(set->patterns, set->spacing_count, set->spacings, S, N,
                                   mask.get(), bounded) != 0)
    return -1;

  for (int j = 0; j < set->spacing_count; ++j) {
    const int dk = set->spacings[j];
    const int P = pattern_count(dk, S);
    for (int p = 0; p < P; ++p) {
      KernelPattern& pattern = set->patterns[j][p];
      parse_pattern(pattern.text, offsets.get(), S, dk);
      const KernelGeometry kernel{
          .S = S, .line_offsets = offsets.get(), .w = w, .readout_offsets = q.get()};
      TrainingSet training{.C = pattern.calib_count, .lines = pattern.calib_lines, .n_ro = n_ro};
      // A calibration block too small for its unknowns: every readout sample.
      const std::int64_t unknowns = kernel.rows(shape.L);
      const bool small =
          bounded && std::int64_t{training.C} * n_ro < tarvo::kMinEquationsPerUnknown * unknowns;
      if (small) training.n_ro = M;
      pattern.whole_readout = small ? 1 : 0;
      pattern.equations = std::int64_t{training.C} * training.n_ro;
      if (calibrate_kernel_with(shape, slice, kernel, training, &pattern.coefficients, blocks,
                                bounded ? tarvo::kRidge : 0.0, &pattern.ridge) != 0)
        return -1;
    }
  }
  return 0;
}

int estimate_coefficients(ComplexVolume* D, CorrectionContext* context) {
  const int M = D->dims[0];
  const int N = D->dims[1];
  const int Z = D->dims[2];
  const int L = D->dims[3];
  if (D->ndims != 4 || !D->data || M < 0 || N < 0 || Z < 0 || L < 0 ||
      (context->slices && Z > context->slice_count) || !context->odd_slice ||
      static_cast<std::int64_t>(M) * N * L > context->slice_elements) {
    tarvo::report(
        "estimate_coefficients: the calibration volume does not fit the correction "
        "context.  Estimation failed.\n");
    return -1;
  }
  const std::int64_t MN = static_cast<std::int64_t>(M) * N;
  const int threads = tarvo::thread_count();
  // One slice of L coils at a time, in the context's slice scratch.
  dcomplex* slice = context->odd_slice;
  tarvo::buffer<int> acquired(tarvo::alloc_array<int>(N));
  if (!acquired) {
    tarvo::report(" could not alloc slice array\n");
    return -1;
  }
  if (!context->slices) {
    context->slices = tarvo::alloc_array<SliceKernelSet*>(Z, true);
    if (!context->slices) {
      tarvo::report(" could not alloc slices array\n");
      return -1;
    }
    context->slice_count = Z;
  }

  const dcomplex* d = static_cast<const dcomplex*>(D->data);
  const SliceShape shape{.M = M, .acquired = N, .L = L, .N = N};
  for (int l = 0; l < N; ++l) acquired[l] = l;
  core_detail::CalibrationBlocks blocks;

  for (int z = 0; z < Z; ++z) {
    SliceKernelSet*& set = context->slices[z];
    if (!set) {
      set = tarvo::alloc_array<SliceKernelSet>(1, true);
      if (!set) {
        tarvo::report(" could not alloc kernel set array\n");
        return -1;
      }
    }
    set->readout_width = tarvo::kKernelReadoutWidth;
    set->source_lines = tarvo::kKernelSourceLines;
    set->spacing_count = context->spacing_count;
    set->bounded = context->bounded == 1 ? 1 : 0;
    if (!set->spacings) {
      set->spacings = tarvo::alloc_array<std::int32_t>(set->spacing_count);
      if (!set->spacings) {
        tarvo::report(" could not alloc spacings array\n");
        return -1;
      }
    }
    for (int j = 0; j < set->spacing_count; ++j) set->spacings[j] = 2 + j;
    // Line index fastest: each coil's frame M x N -> N x M into the slice scratch.
    tarvo::parallel_for(L, threads, [&](std::int64_t c, int) {
      tarvo::complex_transpose(d + (z + static_cast<std::int64_t>(Z) * c) * MN, M, M, N,
                               slice + c * MN, N);
      return 0;
    });
    if (core_detail::fit_slice_kernels_with(slice, acquired.get(), shape, set, kTrainingFraction,
                                            &blocks) != 0)
      return -1;
  }
  return 0;
}

namespace {

// Sample (m, l, z, c) of a "dblc" or "fltc" volume of M x N x Z x L (else 0).
dcomplex sample_of(const ComplexVolume& v, std::int64_t at) {
  if (std::memcmp(v.tag, "dblc", 5) == 0) return static_cast<const dcomplex*>(v.data)[at];
  const float* f = static_cast<const float*>(v.data);
  return {f[2 * at], f[2 * at + 1]};
}

}  // namespace

int fit_polarity_kernels(const ComplexVolume* even, const ComplexVolume* odd, int R,
                         CorrectionContext* context) {
  const int M = even->dims[0];
  const int Nc = even->dims[1];
  const int Z = even->dims[2];
  const int L = even->dims[3];
  const int P = polarity_patterns(R, nullptr);
  const bool known =
      (std::memcmp(even->tag, "dblc", 5) == 0 || std::memcmp(even->tag, "fltc", 5) == 0) &&
      std::memcmp(even->tag, odd->tag, 5) == 0;
  if (even->ndims != 4 || odd->ndims != 4 || !known || P <= 0) {
    tarvo::report("fit_polarity_kernels: the pair must be two 'dblc' or 'fltc' volumes.\n");
    return -1;
  }
  const int N2 = 2 * Nc;
  const std::int64_t coil = static_cast<std::int64_t>(M) * N2;
  tarvo::buffer<PolarityPattern> patterns(tarvo::alloc_array<PolarityPattern>(P));
  tarvo::buffer<dcomplex> slice(tarvo::alloc_array<dcomplex>(coil * L));
  tarvo::buffer<int> lines(tarvo::alloc_array<int>(Nc));
  tarvo::buffer<int> q(tarvo::alloc_array<int>(tarvo::kKernelReadoutWidth));
  if (!context->slices) {
    context->slices = tarvo::alloc_array<SliceKernelSet*>(Z, true);
    context->slice_count = context->slices ? Z : 0;
  }
  if (!patterns || !slice || !lines || !q || !context->slices) {
    tarvo::report(" could not alloc polarity kernel arrays\n");
    return -1;
  }
  polarity_patterns(R, patterns.get());
  core_detail::centred_offsets(tarvo::kKernelReadoutWidth, q.get());
  const int quarter = static_cast<int>(static_cast<float>(M) * kTrainingFraction);
  const SliceShape shape{.M = M, .acquired = N2, .L = L, .N = N2};
  core_detail::CalibrationBlocks blocks;
  const std::int64_t MN = static_cast<std::int64_t>(M) * Nc;
  for (int z = 0; z < Z; ++z) {
    // The slice's two single-polarity k-spaces interleaved, line-fastest: line 2l the positive
    // one (even's line l when l is even, odd's when odd), 2l + 1 the negative one.
    tarvo::parallel_for(L, tarvo::thread_count(), [&](std::int64_t c, int) {
      const std::int64_t frame = (z + static_cast<std::int64_t>(Z) * c) * MN;
      for (int l = 0; l < Nc; ++l) {
        const ComplexVolume& plus = l % 2 == 0 ? *even : *odd;
        const ComplexVolume& minus = l % 2 == 0 ? *odd : *even;
        for (int m = 0; m < M; ++m) {
          const std::int64_t from = frame + m + static_cast<std::int64_t>(M) * l;
          dcomplex* out = slice.get() + c * coil + static_cast<std::int64_t>(N2) * m + 2 * l;
          out[0] = sample_of(plus, from);
          out[1] = sample_of(minus, from);
        }
      }
      return 0;
    });
    SliceKernelSet*& set = context->slices[z];
    if (!set) set = tarvo::alloc_array<SliceKernelSet>(1, true);
    if (!set || (!set->polarity && !(set->polarity = tarvo::alloc_array<KernelPattern>(P, true)))) {
      tarvo::report(" could not alloc kernel set array\n");
      return -1;
    }
    set->readout_width = tarvo::kKernelReadoutWidth;
    set->source_lines = 0;
    set->spacing_count = 0;
    set->bounded = 1;
    set->polarity_R = R;
    set->polarity_count = P;
    for (int p = 0; p < P; ++p) {
      const PolarityPattern& pattern = patterns[p];
      KernelPattern& record = set->polarity[p];
      if (!record.text && !(record.text = tarvo::alloc_array<char>(24, true))) {
        tarvo::report(" could not alloc pattern text array\n");
        return -1;
      }
      polarity_pattern_text(pattern, record.text);
      int offsets[kMaxPolaritySources];
      for (int s = 0; s < pattern.S; ++s) offsets[s] = pattern.interleaved_offset(s);
      // Training lines: those whose sources all lie within the pair.
      int C = 0;
      for (int l = 0; l < Nc; ++l)
        if (l + pattern.offsets[0] >= 0 && l + pattern.offsets[pattern.S - 1] < Nc)
          lines[C++] = 2 * l + (pattern.half < 0 ? 1 : 0);
      const KernelGeometry kernel{.S = pattern.S,
                                  .line_offsets = offsets,
                                  .w = tarvo::kKernelReadoutWidth,
                                  .readout_offsets = q.get()};
      TrainingSet training{.C = C, .lines = lines.get(), .n_ro = quarter};
      const std::int64_t unknowns = kernel.rows(L);
      const bool small = std::int64_t{C} * quarter < tarvo::kMinEquationsPerUnknown * unknowns;
      if (small) training.n_ro = M;
      record.whole_readout = small ? 1 : 0;
      record.equations = std::int64_t{C} * training.n_ro;
      // Left out: a pattern wider than the pair, and one of more than 2 source lines with fewer
      // than kMinEquationsPerUnknownToFit equations per unknown even on the whole readout (it
      // would fit the few lines it sees and generalise badly; the narrower patterns serve).
      if (C == 0 ||
          (pattern.S > 2 && std::int64_t{C} * M < kMinEquationsPerUnknownToFit * unknowns)) {
        const std::int64_t n = unknowns * L;
        if (!record.coefficients && !(record.coefficients = tarvo::alloc_array<dcomplex>(n))) {
          tarvo::report(" could not alloc N array\n");
          return -1;
        }
        for (std::int64_t i = 0; i < n; ++i) record.coefficients[i] = {0.0, 0.0};
        record.whole_readout = 0;
        record.ridge = 0.0;
        record.equations = 0;
        continue;
      }
      if (core_detail::calibrate_kernel_with(shape, slice.get(), kernel, training,
                                             &record.coefficients, &blocks, tarvo::kRidge,
                                             &record.ridge) != 0)
        return -1;
    }
  }
  return 0;
}
