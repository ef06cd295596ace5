// Missing-line synthesis: each parity half of a k-space volume is completed with the slice
// kernels, taken to image space, phase-aligned against the other half and averaged with it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "align/align.h"
#include "core/core.h"
#include "core/internal.h"
#include "fft/fft.h"
#include "linalg/parallel.h"
#include "linalg/report.h"
#include "linalg/simd.h"

namespace {

// Samples of one line synthesised together: 8, or two tiles of the product kernel's where it
// forms 5 columns side by side (AVX2), which would leave a tile of 3 after 5.
int block_samples() {
  return tarvo::complex_product_columns() == 5 ? 10 : 8;
}
// The disagreement of the two completed halves' images (see Synthesis::slice) above which the
// other polarity is tried too: about 1e-2 when the polarity is right on the phantom, 4e-2 and
// more when it is wrong.
constexpr double kPolarityAgreement = 0.02;

// Work space of the synthesis of one pattern on `workers` threads: the weights regrouped (Wt,
// K*L), and per worker the gathered sources, sums and staged columns (values) and the column
// positions and source offsets (index). Sized for the kernel, whatever its width.
struct SynthesisWork {
  std::int64_t K = 0, per_worker = 0, index_per_worker = 0, held_per_worker = 0;
  int workers = 0, N = 0, samples = block_samples();
  tarvo::buffer<dcomplex> Wt, values, held;
  tarvo::buffer<std::int64_t> index;
  tarvo::buffer<int> lines, targets;

  // The room of one target line's sums (samples x L) in `held`, padded by a cache line: the
  // write-out reads a sample's sums line after line, which a power-of-two stride would map to
  // the same few cache sets.
  std::int64_t held_per_line(int L) const { return std::int64_t{samples} * L + 4; }

  // false (after the message) when it cannot be allocated. Room for the weights of `patterns`
  // patterns (those of one spacing).
  bool allocate(const SliceShape& shape, const KernelGeometry& kernel, int worker_count,
                int patterns = 1) {
    const int L = shape.L;
    K = kernel.rows(L);
    workers = worker_count;
    const std::int64_t columns = static_cast<std::int64_t>(samples) * kernel.w;
    per_worker = samples * K + L * columns * kernel.S;
    index_per_worker = 2 * columns + K;
    N = shape.N;
    held_per_worker = held_per_line(L) * N;
    Wt.reset(tarvo::alloc_array<dcomplex>(K * L * std::max(1, patterns)));
    values.reset(tarvo::alloc_array<dcomplex>(per_worker * workers));
    index.reset(tarvo::alloc_array<std::int64_t>(index_per_worker * workers));
    lines.reset(tarvo::alloc_array<int>(static_cast<std::int64_t>(2 * kernel.S) * workers));
    held.reset(tarvo::alloc_array<dcomplex>(held_per_worker * workers));
    targets.reset(tarvo::alloc_array<int>(static_cast<std::int64_t>(N) * workers));
    if (Wt && values && index && lines && held && targets) return true;
    tarvo::report(" could not alloc synthesis work array\n");
    return false;
  }
};

// Wt (K x L, row k contiguous over the target coils) <- the K x L coefficients regrouped: the
// weight of gathered source k for target coil c at k*L + c, gathered sources ordered s fastest,
// then j, then the source coil.
void regroup_weights(const dcomplex* coefficients, int L, const KernelGeometry& kernel,
                     std::int64_t K, dcomplex* __restrict Wt) {
  const int S = kernel.S;
  const int w = kernel.w;
  for (int c = 0; c < L; ++c)
    for (int cs = 0; cs < L; ++cs)
      for (int j = 0; j < w; ++j)
        for (int s = 0; s < S; ++s)
          Wt[(s + S * (j + static_cast<std::int64_t>(w) * cs)) * L + c] =
              coefficients[s + S * (cs + static_cast<std::int64_t>(L) * j) + K * c];
}

// The distinct columns samples m0 .. m0+count-1 read (sample b at offset j reads column
// used[b w + j], which starts at column_at[used[b w + j]] in a coil of N x M line-fastest
// values). Returns their number D.
int block_columns(int m0, int count, int M, int N, const KernelGeometry& kernel,
                  std::int64_t* column_at, std::int64_t* used) {
  const int w = kernel.w;
  int D = 0;
  for (int b = 0; b < count; ++b)
    for (int j = 0; j < w; ++j) {
      const std::int64_t at =
          static_cast<std::int64_t>(N) * core_detail::wrap(m0 + b, kernel.readout_offsets[j], M);
      int d = 0;
      while (d < D && column_at[d] != at) ++d;
      if (d == D) column_at[D++] = at;
      used[b * w + j] = d;
    }
  return D;
}

// Whether sample b at offset j reads column b + j for every sample of the block (consecutive
// readout offsets, columns that do not wrap onto each other): then the sources of sample b are the
// sources of sample 0 moved on by b columns in the stage, and are read there.
bool shifted_columns(const std::int64_t* used, int count, int w) {
  for (int b = 0; b < count; ++b)
    for (int j = 0; j < w; ++j)
      if (used[b * w + j] != b + j) return false;
  return true;
}

// The sources of line l (its S source lines `lines`) for a block's samples: the S values of every
// coil in each of the D columns staged once, stage[(c' D + d) S + s].
void stage_sources(const dcomplex* data, std::int64_t coil_stride, int L, int S, int D,
                   const std::int64_t* column_at, const int* lines, dcomplex* __restrict stage) {
  // The block's columns are far apart in memory (a line apart in every coil), too many streams
  // for the processor's own prefetching: the values the targets a few lines on will read (the
  // lines of a column lie side by side) are asked for now.
  constexpr int kAhead = 8;
  for (int cs = 0; cs < L; ++cs) {
    const dcomplex* coil = data + cs * coil_stride;
    dcomplex* out = stage + static_cast<std::int64_t>(cs) * D * S;
    for (int d = 0; d < D; ++d) {
      const dcomplex* column = coil + column_at[d];
      for (int s = 0; s < S; ++s) *out++ = column[lines[s]];
      __builtin_prefetch(column + lines[S - 1] + kAhead);
    }
  }
}

// Source t = s + S (j + w c') of sample b copied from the stage to v[b K + t], in that order.
void place_sources(int L, int S, int w, int D, const std::int64_t* used, int count, std::int64_t K,
                   const dcomplex* stage, dcomplex* __restrict v) {
  // Runs of S values: with two source lines (the usual kernel) copied as two values, not through
  // a call to copy memory.
  auto place = [&](auto source_lines) {
    for (int b = 0; b < count; ++b) {
      dcomplex* out = v + b * K;
      const std::int64_t* at = used + b * w;
      for (int cs = 0; cs < L; ++cs) {
        const dcomplex* coil = stage + static_cast<std::int64_t>(cs) * D * S;
        for (int j = 0; j < w; ++j) {
          const dcomplex* column = coil + at[j] * S;
          for (int s = 0; s < source_lines(); ++s) *out++ = column[s];
        }
      }
    }
  };
  if (S == 2)
    place([] { return 2; });
  else
    place([S] { return S; });
}

// The patterns of one spacing synthesised in one pass: pattern p reads the source lines at
// offsets[p * S ..] with the K x L weights coefficients[p]. Line l is the target of the first
// pattern (in the given order) for which it is missing (mask 0) and all its sources were
// acquired (mask 1) -- the line each pattern in turn would claim -- and the lines written here
// are marked 3 only at the end, so which lines are sources and which are targets does not
// depend on the order of the work below.
struct SpacingPatterns {
  int P = 0;
  const int* offsets = nullptr;                   // P * S line offsets
  const dcomplex* const* coefficients = nullptr;  // P coefficient arrays (null: not applied)
};

// The pattern of `set` (S source lines each) whose target line l is: the first for which l is
// missing and all its sources (into lines) were acquired; -1 when none is.
int pass_target(const SpacingPatterns& set, int S, const int* mask, int l, int N, int* lines) {
  if (mask[l] != kLineMissing) return -1;
  for (int p = 0; p < set.P; ++p) {
    if (!set.coefficients[p]) continue;
    const KernelGeometry at{
        .S = S, .line_offsets = set.offsets + p * S, .w = 0, .readout_offsets = nullptr};
    if (core_detail::sources_accepted(
            mask, l, at, N, [](int m) { return m == kLineAcquired; }, lines))
      return p;
  }
  return -1;
}

// Each source vector is gathered once per (line, sample) and shared by all target coils, and by
// consecutive targets that read the same source lines (the positions of one gap). The sum of
// every output runs over (c', j, s) in the nesting of synthesize_line with the same products
// and additions, so the results are the same bit for bit. Blocks of samples are independent
// jobs (their outputs are disjoint and they read acquired lines only: a target has mask 0, its
// sources mask 1, so no target is another's source) spread over the work's workers.
void synthesize_spacing_on(const SliceShape& shape, dcomplex* data, const KernelGeometry& kernel,
                           const SpacingPatterns& set, int* mask, float fraction,
                           SynthesisWork& work) {
  const int M = shape.M;
  const int L = shape.L;
  const int N = shape.N;
  const int S = kernel.S;
  const int w = kernel.w;
  const std::int64_t K = work.K;
  for (int p = 0; p < set.P; ++p)
    if (set.coefficients[p])
      regroup_weights(set.coefficients[p], L, kernel, K, work.Wt.get() + p * K * L);
  if (fraction < 0.0f) fraction = 0.0f;
  if (fraction > 1.0f) fraction = 1.0f;
  const int n = static_cast<int>(static_cast<float>(M) * fraction);
  const std::int64_t coil_stride = shape.coil_elements();
  auto target = [&](int l, int* lines) { return pass_target(set, S, mask, l, N, lines); };
  // A few samples at a time, and for them every target line: the columns they read stay in
  // the cache from one line to the next, and each row of Wt is read once for all the samples.
  // Every sum runs over k in increasing order (coil, offset, source).
  const int first = (M - n) / 2;
  const int samples = work.samples;
  const int blocks = (n + samples - 1) / samples;
  tarvo::parallel_for(blocks, work.workers, [&](std::int64_t block, int worker) {
    dcomplex* __restrict v = work.values.get() + worker * work.per_worker;  // samples x K
    // The columns the block reads (sample b at offset j: column used[b w + j]; with
    // consecutive offsets, count + w - 1 of them), and their S source values of every coil
    // for the current line, gathered once per line: stage[(c' D + d) S + s] for column d.
    dcomplex* __restrict stage = v + samples * K;
    std::int64_t* column_at = work.index.get() + worker * work.index_per_worker;
    std::int64_t* used = column_at + samples * w;
    int* lines = work.lines.get() + static_cast<std::int64_t>(worker) * 2 * S;
    int* gathered = lines + S;  // the source lines v holds (none yet)
    gathered[0] = -1;
    const int m0 = first + static_cast<int>(block) * samples;
    const int count = std::min(samples, first + n - m0);
    const int D = block_columns(m0, count, M, N, kernel, column_at, used);
    // Mostly the samples' sources are read in the stage itself (source t of sample b at
    // stage[b S + at[t]]); otherwise they are copied out to v.
    std::int64_t* at = used + samples * w;
    const bool in_stage = shifted_columns(used, count, w);
    if (in_stage)
      for (int cs = 0; cs < L; ++cs)
        for (int j = 0; j < w; ++j)
          for (int s = 0; s < S; ++s)
            at[s + S * (j + static_cast<std::int64_t>(w) * cs)] =
                (static_cast<std::int64_t>(cs) * D + j) * S + s;
    // Each target line's sums are held until the block's last line (no target is a source), then
    // written coil by coil and sample by sample, the lines of a sample side by side in memory.
    dcomplex* held = work.held.get() + worker * work.held_per_worker;
    int* target_lines = work.targets.get() + static_cast<std::int64_t>(worker) * N;
    const std::int64_t per_line = work.held_per_line(L);
    int targets = 0;
    for (int l = 0; l < N; ++l) {
      const int p = target(l, lines);
      if (p < 0) continue;
      if (!std::equal(lines, lines + S, gathered)) {
        stage_sources(data, coil_stride, L, S, D, column_at, lines, stage);
        if (!in_stage) place_sources(L, S, w, D, used, count, K, stage, v);
        std::copy(lines, lines + S, gathered);
      }
      // acc_b <- Wt^T v_b: Wt read as the L x K column-major matrix whose column k is row k.
      const dcomplex* weights = work.Wt.get() + p * K * L;
      dcomplex* sums = held + targets * per_line;
      if (in_stage)
        tarvo::complex_matmat_gather(weights, L, static_cast<int>(K), stage, S, at, count, sums);
      else
        tarvo::complex_matmat_rows(weights, L, static_cast<int>(K), v, count, nullptr, 0, L, sums);
      target_lines[targets++] = l;
    }
    for (int c = 0; c < L; ++c)
      for (int b = 0; b < count; ++b) {
        dcomplex* row =
            data + static_cast<std::int64_t>(N) * (m0 + b + static_cast<std::int64_t>(M) * c);
        const dcomplex* from = held + b * L + c;
        for (int t = 0; t < targets; ++t) row[target_lines[t]] = from[t * per_line];
      }
    return 0;
  });
  for (int l = 0; l < N; ++l)
    if (target(l, work.lines.get()) >= 0) mask[l] = kLineSynthesized;
}

}  // namespace

int synthesize_pattern(const SliceShape& shape, dcomplex* data, const KernelGeometry& kernel,
                       int* mask, const dcomplex* coefficients, float fraction) {
  SynthesisWork work;
  if (!work.allocate(shape, kernel, 1)) return -1;
  const SpacingPatterns one{.P = 1, .offsets = kernel.line_offsets, .coefficients = &coefficients};
  synthesize_spacing_on(shape, data, kernel, one, mask, fraction, work);
  return 0;
}

int core_detail::synthesize_missing_lines_on(dcomplex* data, const int* acquired,
                                             const SliceShape& shape, int* count_out,
                                             int** list_out, float fraction,
                                             const SliceKernelSet* set, int threads) {
  const int acquired_count = shape.acquired;
  const int N = shape.N;
  const int S = set->source_lines;
  const int w = set->readout_width;
  tarvo::buffer<int> q(tarvo::alloc_array<int>(w));
  // Room for the line offsets and coefficients of every pattern of the widest spacing.
  int widest = 1;
  for (int j = 0; set->spacings && j < set->spacing_count; ++j)
    widest = std::max(widest, pattern_count(set->spacings[j], S));
  tarvo::buffer<int> offsets(tarvo::alloc_array<int>(std::int64_t{S} * widest, true));
  tarvo::buffer<const dcomplex*> weights(tarvo::alloc_array<const dcomplex*>(widest, true));
  tarvo::buffer<int> mask(tarvo::alloc_array<int>(N, true));
  if (!q || !offsets || !weights || !mask) {
    tarvo::report(" could not alloc synthesis work array\n");
    return -1;
  }
  centred_offsets(w, q.get());
  const KernelGeometry kernel{
      .S = S, .line_offsets = offsets.get(), .w = w, .readout_offsets = q.get()};
  // Blocks of block_samples() samples are the jobs of a pattern's synthesis.
  SynthesisWork work;
  if (!work.allocate(
          shape, kernel,
          tarvo::worker_count((shape.M + block_samples() - 1) / block_samples(), threads), widest))
    return -1;

  const int spacing_count = set->spacings ? set->spacing_count : 0;
  const int* spacings = set->spacings;
  for (int i = 0; i < acquired_count; ++i)
    if (acquired[i] >= 0 && acquired[i] < N) mask[acquired[i]] = kLineAcquired;

  const int* last = offsets.get();
  // A slice without lines (N = 0) has nothing to synthesise (and offsets are taken modulo N).
  for (int j = 0; j < spacing_count && set->patterns && N > 0; ++j) {
    const KernelPattern* patterns = set->patterns[j];
    if (!patterns) continue;
    const int P = pattern_count(spacings[j], S);
    for (int p = 0; p < P; ++p) {
      parse_pattern(patterns[p].text, offsets.get() + p * S, S, spacings[j]);
      // A pattern without coefficients (failed calibration) is not applied.
      weights[p] = patterns[p].coefficients;
    }
    const SpacingPatterns spacing{.P = P, .offsets = offsets.get(), .coefficients = weights.get()};
    synthesize_spacing_on(shape, data, kernel, spacing, mask.get(), fraction, work);
    last = offsets.get() + (P - 1) * S;
  }

  // Occupied lines: lines reachable from acquired ones (by the last pattern) count as occupied
  // too.
  const KernelGeometry reach{.S = S, .line_offsets = last, .w = w, .readout_offsets = q.get()};
  for (int l = 0; l < N; ++l)
    if (mask[l] == kLineMissing &&
        sources_accepted(mask.get(), l, reach, N, [](int m) { return m != kLineMissing; }))
      mask[l] = kLineAcquired;
  int occupied = 0;
  for (int l = 0; l < N; ++l)
    if (mask[l] != kLineMissing) ++occupied;
  tarvo::buffer<int> list(tarvo::alloc_array<int>(occupied));
  if (!list) {
    tarvo::report(" could not alloc NewPhaseLines array\n");
    return -1;
  }
  int k = 0;
  for (int l = 0; l < N; ++l)
    if (mask[l] != kLineMissing) list[k++] = l + 1;
  if (count_out) *count_out = occupied;
  if (list_out) *list_out = list.release();
  return 0;
}

namespace {

// The passes of a slice's polarity kernels over its interleaved lines (2N, mask as
// complete_polarities sets it): one per half and source count, in the patterns' order, the lines
// of the other half held out of reach (neither targets nor sources) while a half is completed.
// run(kernel, pass, first) runs each with the geometry of its S line offsets and its patterns
// (from pattern `first` of polarity_patterns on; a kernel of zeros, too wide for its calibration
// pair, is not applied), and marks the lines it writes kLineSynthesized.
template <class Run>
void polarity_passes(const SliceKernelSet* set, const PolarityPattern* patterns, int L, int N2,
                     int* mask, int* offsets, const dcomplex** weights, const int* q, Run run) {
  const int P = set->polarity_count;
  for (int first = 0; first < P;) {
    const PolarityPattern& head = patterns[first];
    int last = first;
    while (last < P && patterns[last].half == head.half && patterns[last].S == head.S) ++last;
    const int S = head.S;
    for (int p = first; p < last; ++p) {
      for (int s = 0; s < S; ++s)
        offsets[static_cast<std::int64_t>(p - first) * S + s] = patterns[p].interleaved_offset(s);
      const dcomplex* w = set->polarity[p].coefficients;
      const std::int64_t n = std::int64_t{set->readout_width} * S * L * L;
      bool zero = true;
      for (std::int64_t i = 0; w && i < n && zero; ++i) zero = w[i].re == 0.0 && w[i].im == 0.0;
      weights[p - first] = zero ? nullptr : w;
    }
    const int other = head.half > 0 ? 1 : 0;
    for (int l = other; l < N2; l += 2)
      if (mask[l] == kLineMissing) mask[l] = kLineSelected;
    const KernelGeometry kernel{
        .S = S, .line_offsets = offsets, .w = set->readout_width, .readout_offsets = q};
    run(kernel, SpacingPatterns{.P = last - first, .offsets = offsets, .coefficients = weights},
        first);
    for (int l = other; l < N2; l += 2)
      if (mask[l] == kLineSelected) mask[l] = kLineMissing;
    first = last;
  }
}

// What the passes of one slice need besides the data: the patterns, the interleaved mask of 2N
// lines (acquired lines kLineAcquired), and room for one pass's offsets and weights.
struct PolarityPlan {
  tarvo::buffer<PolarityPattern> patterns;
  tarvo::buffer<int> mask, offsets, q;
  tarvo::buffer<const dcomplex*> weights;

  // false after the message when something cannot be allocated.
  bool make(const unsigned char* acquired_plus, const unsigned char* acquired_minus, int N,
            const SliceKernelSet* set) {
    const int P = set->polarity_count;
    patterns.reset(tarvo::alloc_array<PolarityPattern>(P));
    mask.reset(tarvo::alloc_array<int>(2 * std::int64_t{N}, true));
    offsets.reset(tarvo::alloc_array<int>(std::int64_t{P} * kMaxPolaritySources));
    weights.reset(tarvo::alloc_array<const dcomplex*>(P));
    q.reset(tarvo::alloc_array<int>(set->readout_width));
    if (!patterns || !mask || !offsets || !weights || !q ||
        polarity_patterns(set->polarity_R, nullptr) != P) {
      tarvo::report(" could not alloc synthesis work array\n");
      return false;
    }
    polarity_patterns(set->polarity_R, patterns.get());
    core_detail::centred_offsets(set->readout_width, q.get());
    for (int l = 0; l < N; ++l) {
      mask[2 * l] = acquired_plus[l] ? kLineAcquired : kLineMissing;
      mask[2 * l + 1] = acquired_minus[l] ? kLineAcquired : kLineMissing;
    }
    return true;
  }

  template <class Run>
  void passes(const SliceKernelSet* set, int L, int N, Run run) {
    polarity_passes(set, patterns.get(), L, 2 * N, mask.get(), offsets.get(), weights.get(),
                    q.get(), run);
  }
};

}  // namespace

int complete_polarities(dcomplex* plus, dcomplex* minus, const unsigned char* acquired_plus,
                        const unsigned char* acquired_minus, int M, int N, int L,
                        const SliceKernelSet* set, int threads) {
  const int N2 = 2 * N;
  const std::int64_t MN = static_cast<std::int64_t>(M) * N;
  const std::int64_t coil = 2 * MN;
  PolarityPlan plan;
  if (!plan.make(acquired_plus, acquired_minus, N, set)) return -1;
  tarvo::buffer<dcomplex> slice(tarvo::alloc_array<dcomplex>(coil * L));
  if (!slice) {
    tarvo::report(" could not alloc synthesis work array\n");
    return -1;
  }
  // The two k-spaces interleaved (line 2l + 0 positive, 2l + 1 negative), line-fastest.
  tarvo::parallel_for(L, threads, [&](std::int64_t c, int) {
    const dcomplex* a = plus + c * MN;
    const dcomplex* b = minus + c * MN;
    dcomplex* out = slice.get() + c * coil;
    for (std::int64_t i = 0; i < MN; ++i) {
      out[2 * i] = a[i];
      out[2 * i + 1] = b[i];
    }
    return 0;
  });
  const SliceShape shape{.M = M, .acquired = N2, .L = L, .N = N2};
  const KernelGeometry widest{.S = kMaxPolaritySources,
                              .line_offsets = plan.offsets.get(),
                              .w = set->readout_width,
                              .readout_offsets = plan.q.get()};
  SynthesisWork work;
  if (!work.allocate(shape, widest,
                     tarvo::worker_count((M + block_samples() - 1) / block_samples(), threads),
                     set->polarity_count))
    return -1;
  plan.passes(set, L, N, [&](const KernelGeometry& kernel, const SpacingPatterns& pass, int) {
    work.K = kernel.rows(L);  // the work space is sized for the widest kernel
    synthesize_spacing_on(shape, slice.get(), kernel, pass, plan.mask.get(), 1.0f, work);
  });
  tarvo::parallel_for(L, threads, [&](std::int64_t c, int) {
    dcomplex* a = plus + c * MN;
    dcomplex* b = minus + c * MN;
    const dcomplex* in = slice.get() + c * coil;
    for (std::int64_t i = 0; i < MN; ++i) {
      a[i] = in[2 * i];
      b[i] = in[2 * i + 1];
    }
    return 0;
  });
  return 0;
}

namespace {

// A line one pass of the polarity kernels writes: `line` of the interleaved slice, by pattern
// `pattern` (of polarity_patterns), from the acquired lines `sources`.
struct PolarityTarget {
  int line = 0, pattern = 0;
  int sources[kMaxPolaritySources] = {};
};

// A plan of the unscaled backward transform of length n (null after the message).
tarvo::buffer<MixedRadixPlan> backward_plan(int n) {
  tarvo::buffer<MixedRadixPlan> plan(mrfft_alloc(n, 1, nullptr, nullptr));
  if (!plan) tarvo::report(" could not alloc synthesis work array\n");
  return plan;
}

// The lines of one slice's synthesis in the hybrid space, over 2N interleaved lines: those
// filled from the source (line i from the source's line i / 2), those written (grouped by
// pattern) with their sources, and each pattern's source count and coefficients (K x L for its
// S sources and the w readout offsets q).
struct HybridLines {
  const int* filled = nullptr;
  int A = 0;
  const PolarityTarget* targets = nullptr;
  int T = 0;
  const int* S_of = nullptr;
  const dcomplex* const* coefficients = nullptr;
  int patterns = 0;
  int w = 0;
  const int* q = nullptr;
};

// One slice's 2N interleaved lines completed in the hybrid space (see polarity_images). make()
// plans it; complete() takes the filled lines along the readout and writes the others column by
// column. Given images, complete() takes each group of columns along the lines into them while
// the group is in the cache (the lines 2l + 0 into plus_image, 2l + 1 into minus_image); else
// the written lines are kept for the whole slice, and coil_images() takes one coil's columns
// along the lines afterwards, for a caller that goes on with that coil's images at once.
//
// Only the filled lines are held transformed along the readout: H[i + A (m + M c)] is filled
// line i at frequency m of coil c (image column n at m = n + M/2 modulo M). A line shifted by q
// samples along the readout is the unshifted one times phase(q, n) there, so each kernel is
// applied column by column as an L x S L matrix: its w readout weights summed with those phases.
// The lines neither filled nor written are zeros that are not held at all.
class HybridSlice {
 public:
  // by_coil: the images are taken by coil_images. room, when given, holds the filled lines (A M
  // L values) and, by coil, the written ones (T C L for the C image columns) after them, or in
  // kept_room when that is given. 0, or -1 after a message.
  int make(int M, int N, int L, const HybridLines& at, int threads, int step, bool by_coil,
           dcomplex* room, dcomplex* kept_room = nullptr) {
    M_ = M, N_ = N, L_ = L, at_ = &at;
    step_ = std::max(1, step);
    columns_ = (M + step_ - 1) / step_;
    const int N2 = 2 * N, A = at.A, T = at.T;
    readout_ = backward_plan(M);
    lines_ = backward_plan(N);
    if (!readout_ || !lines_) return -1;
    const std::int64_t filled = std::int64_t{A} * M * L;
    const std::int64_t kept = by_coil && !kept_room ? std::int64_t{T} * columns_ * L : 0;
    if (!room) own_.reset(tarvo::alloc_array<dcomplex>(std::max<std::int64_t>(filled + kept, 1)));
    H_ = room ? room : own_.get();
    kept_ = !by_coil ? nullptr : kept_room ? kept_room : H_ + filled;
    // Each target's sources as filled lines (-1 for a line acquired in the half it does not
    // belong to: it reads as zero), and each half's lines in the order the centred transform
    // along the lines takes them (line l from line l + N/2 modulo N): pairs (position, filled
    // line), pairs (position, target), and the positions of the rest.
    from_.reset(tarvo::alloc_array<int>(std::int64_t{T} * kMaxPolaritySources + 1));
    tarvo::buffer<int> held(tarvo::alloc_array<int>(N2));
    order_.reset(tarvo::alloc_array<int>(4 * std::int64_t{N} + 2));
    if (from_ && held && order_) {
      std::fill(held.get(), held.get() + N2, -1);
      for (int i = 0; i < A; ++i) held[at.filled[i]] = i;
      for (int t = 0; t < T; ++t)
        for (int s = 0; s < kMaxPolaritySources; ++s) {
          const int line = at.targets[t].sources[s];
          from_[t * kMaxPolaritySources + s] = line >= 0 && line < N2 ? held[line] : -1;
        }
      for (int t = 0; t < T; ++t) held[at.targets[t].line] = -2 - t;
      int* next = order_.get();
      const int hN = N / 2;
      for (int half = 0; half < 2; ++half)
        for (int kind = 0; kind < 3; ++kind) {
          lists_[half][kind] = next;
          for (int l = 0; l < N; ++l) {
            const int k = held[2 * (l < N - hN ? l + hN : l + hN - N) + half];
            if (kind == 0 && k >= 0) *next++ = l, *next++ = k;
            if (kind == 1 && k <= -2) *next++ = l, *next++ = -2 - k;
            if (kind == 2 && k == -1) *next++ = l;
          }
          counts_[half][kind] = static_cast<int>(next - lists_[half][kind]) / (kind < 2 ? 2 : 1);
        }
    }
    int S_max = 1;
    for (int p = 0; p < at.patterns; ++p) S_max = std::max(S_max, at.S_of[p]);
    K_max_ = std::int64_t{S_max} * L;
    // Image columns completed together: a pattern's weights are folded for all of them in one
    // read of its coefficients (up to 8 columns, their folded weights within about 1 MiB), and
    // then taken along the lines side by side (at least 4, as the transforms go).
    group_ = static_cast<int>(std::clamp<std::int64_t>(65536 / (L * K_max_), 4, kMaxGroup));
    groups_ = (columns_ + group_ - 1) / group_;
    workers_ = tarvo::worker_count(std::max<std::int64_t>(groups_, 2 * L), threads);
    per_worker_ = group_ * (L * K_max_ + (by_coil ? 0 : std::int64_t{T} * L) + N + at.w) +
                  kChunk * (K_max_ + L);
    space_.reset(tarvo::alloc_array<dcomplex>(per_worker_ * workers_));
    scratch_.reset(tarvo::alloc_array<FftScratch>(workers_, true));
    if (!H_ || !from_ || !held || !order_ || !space_ || !scratch_) {
      tarvo::report(" could not alloc synthesis work array\n");
      return -1;
    }
    return 0;
  }

  int workers() const { return workers_; }

  // 0, or -1 after a message.
  int complete(const dcomplex* source, std::int64_t coil_stride, dcomplex* plus_image,
               dcomplex* minus_image) {
    const int M = M_, N = N_, L = L_, A = at_->A, T = at_->T, w = at_->w;
    const PolarityTarget* targets = at_->targets;
    // Centred transforms of even lengths: the halves of the input swapped, the transform, the
    // halves of the result swapped (where the columns are read).
    const int hM = M / 2;
    if (A > 0 && tarvo::parallel_for(L, workers_, [&](std::int64_t c, int worker) {
                   dcomplex* a = H_ + c * A * M;  // A x M, line-fastest
                   const dcomplex* frame = source + c * coil_stride;
                   // By 8 lines at a time, so that each sample's 8 values are written together.
                   for (int i0 = 0; i0 < A; i0 += 8) {
                     const int n = std::min(8, A - i0);
                     const dcomplex* rows[8];
                     for (int k = 0; k < n; ++k)
                       rows[k] = frame + static_cast<std::int64_t>(M) * (at_->filled[i0 + k] / 2);
                     for (int m = 0; m < M; ++m) {
                       const int from = m < M - hM ? m + hM : m + hM - M;
                       dcomplex* to = a + i0 + static_cast<std::int64_t>(A) * m;
                       for (int k = 0; k < n; ++k) to[k] = rows[k][from];
                     }
                   }
                   return mrfft_columns(readout_.get(), a, A, &scratch_[worker]) != 0 ? -1 : 0;
                 }) != 0)
      return -1;

    const double pi = std::acos(-1.0);
    return tarvo::parallel_for(groups_, workers_, [&](std::int64_t g, int worker) {
      const std::int64_t i0 = g * group_;
      const int width = static_cast<int>(std::min<std::int64_t>(group_, columns_ - i0));
      dcomplex* lines_of = space_.get() + worker * per_worker_;  // N x width, column-fastest
      dcomplex* W = lines_of + group_ * N;                       // per column L x K
      dcomplex* v = W + group_ * L * K_max_;                     // K x chunk, row k contiguous
      dcomplex* y = v + kChunk * K_max_;                         // chunk x L, column c contiguous
      dcomplex* phase = y + kChunk * L;                          // w per column
      dcomplex* local = kept_ ? nullptr : phase + group_ * w;    // T x width x L, target-fastest
      // Where column i of the group keeps coil c's written lines.
      auto made = [&](int i, int c) {
        return kept_ ? kept_ + T * (i0 + i + columns_ * std::int64_t{c})
                     : local + T * (i + width * std::int64_t{c});
      };
      for (int i = 0; i < width; ++i) {
        const std::int64_t n = (i0 + i) * step_;
        for (int j = 0; j < w; ++j) {
          const int q = at_->q[j];
          const double angle = -2.0 * pi * static_cast<double>(((q * n) % M + M) % M) / M;
          const double sign = (q % 2 == 0) ? 1.0 : -1.0;
          phase[j + w * i] = {sign * std::cos(angle), sign * std::sin(angle)};
        }
      }
      for (int t0 = 0; t0 < T;) {
        const int p = targets[t0].pattern;
        int t1 = t0;
        while (t1 < T && targets[t1].pattern == p) ++t1;
        const int S = at_->S_of[p];
        const std::int64_t K = std::int64_t{S} * L;
        // Column i's W(c, k) = sum_j coef[k + K j + K w c] phase[j + w i], k = s + S c'.
        tarvo::complex_matmat_blocks(at_->coefficients[p], static_cast<int>(K), w, L, phase, width,
                                     W);
        for (int i = 0; i < width; ++i) {
          const std::int64_t n = (i0 + i) * step_;
          const dcomplex* Wi = W + i * L * K;
          for (int b0 = t0; b0 < t1; b0 += kChunk) {
            const int count = std::min(kChunk, t1 - b0);
            // Rows up to a multiple of 8 (zero sources), so that no row is left to the product's
            // one-row path; each row's sums are the same whatever rows are beside it.
            const int rows = (count + 7) / 8 * 8;
            // v(k, t) = source line s of target t, coil c', at column n.
            for (int cs = 0; cs < L; ++cs) {
              const dcomplex* column = column_of(n, cs);
              for (int s = 0; s < S; ++s) {
                dcomplex* out = v + static_cast<std::int64_t>(s + S * cs) * rows;
                const int* f = from_.get() + b0 * kMaxPolaritySources + s;
                for (int t = 0; t < count; ++t) {
                  const int k = f[t * kMaxPolaritySources];
                  out[t] = k >= 0 ? column[k] : dcomplex{0.0, 0.0};
                }
                std::fill(out + count, out + rows, dcomplex{0.0, 0.0});
              }
            }
            // y (rows x L) <- v^T (rows x K, column-major: column k is row k of v) W^T.
            tarvo::complex_matmat_rows(v, rows, static_cast<int>(K), Wi, L, nullptr, 0, rows, y);
            for (int c = 0; c < L; ++c)
              std::copy(y + c * rows, y + c * rows + count, made(i, c) + b0);
          }
        }
        t0 = t1;
      }
      if (kept_) return 0;
      // The group's columns of each k-space along its lines and into its image while they are in
      // the cache.
      const std::int64_t area = std::int64_t{columns_} * N;
      for (int c = 0; c < L; ++c)
        if (to_images(c, i0, width, made(0, c), T, lines_of, plus_image + c * area,
                      minus_image + c * area, worker) != 0)
          return -1;
      return 0;
    });
  }

  // After a complete() by coil: coil c's images (C x N, readout-fastest, C the image columns)
  // on worker `worker`, by groups of columns. 0, or -1 after a message.
  int coil_images(int c, int worker, dcomplex* plus_image, dcomplex* minus_image) {
    dcomplex* lines_of = space_.get() + worker * per_worker_;
    for (int i0 = 0; i0 < columns_; i0 += group_)
      if (to_images(c, i0, std::min(group_, columns_ - i0),
                    kept_ + at_->T * (i0 + columns_ * std::int64_t{c}), at_->T, lines_of,
                    plus_image, minus_image, worker) != 0)
        return -1;
    return 0;
  }

  ~HybridSlice() {
    for (int i = 0; scratch_ && i < workers_; ++i) fft_scratch_free(&scratch_[i]);
  }

 private:
  static constexpr int kChunk = 32;    // targets per product
  static constexpr int kMaxGroup = 8;  // columns taken along the lines together, at most

  // The filled lines of coil c at image column n.
  const dcomplex* column_of(std::int64_t n, std::int64_t c) const {
    const int hM = M_ / 2;
    return H_ + at_->A * ((n < M_ - hM ? n + hM : n + hM - M_) + M_ * c);
  }

  // Image columns i0 .. i0 + width - 1 of coil c (its written lines at made + T i for column i0
  // + i) along the lines, by way of lines_of (N x width), into the coil's images (C x N,
  // readout-fastest): each column's lines in the order of the centred transform (line l from
  // line l + N/2 modulo N; filled, written or zero), the transform, and the halves of the result
  // swapped. 0, or -1 after a message.
  int to_images(int c, std::int64_t i0, int width, const dcomplex* made, int T, dcomplex* lines_of,
                dcomplex* plus_image, dcomplex* minus_image, int worker) {
    const int N = N_, hN = N / 2;
    for (int half = 0; half < 2; ++half) {
      const int* filled = lists_[half][0];
      const int* wrote = lists_[half][1];
      const int* zeros = lists_[half][2];
      // Line by line across the group's columns, so that each line of lines_of is written whole.
      const dcomplex* column[kMaxGroup];
      for (int i = 0; i < width; ++i) column[i] = column_of((i0 + i) * step_, c);
      for (int k = 0; k < counts_[half][0]; ++k) {
        dcomplex* to = lines_of + std::int64_t{width} * filled[2 * k];
        for (int i = 0; i < width; ++i) to[i] = column[i][filled[2 * k + 1]];
      }
      for (int k = 0; k < counts_[half][1]; ++k) {
        dcomplex* to = lines_of + std::int64_t{width} * wrote[2 * k];
        for (int i = 0; i < width; ++i) to[i] = made[std::int64_t{T} * i + wrote[2 * k + 1]];
      }
      for (int k = 0; k < counts_[half][2]; ++k)
        std::fill_n(lines_of + std::int64_t{width} * zeros[k], width, dcomplex{0.0, 0.0});
      if (mrfft_columns(lines_.get(), lines_of, width, &scratch_[worker]) != 0) return -1;
      dcomplex* image = (half == 0 ? plus_image : minus_image) + i0;
      for (int l = 0; l < N; ++l) {
        const dcomplex* from_line = lines_of + width * (l < N - hN ? l + hN : l + hN - N);
        dcomplex* row = image + std::int64_t{columns_} * l;
        if (width == 8)  // a copy of known size, made in place rather than by a call
          std::memcpy(static_cast<void*>(row), from_line, 8 * sizeof(dcomplex));
        else
          std::copy(from_line, from_line + width, row);
      }
    }
    return 0;
  }

  int M_ = 0, N_ = 0, L_ = 0, step_ = 1, columns_ = 0;
  const HybridLines* at_ = nullptr;
  tarvo::buffer<MixedRadixPlan> readout_, lines_;
  tarvo::buffer<dcomplex> own_, space_;
  dcomplex* H_ = nullptr;
  dcomplex* kept_ = nullptr;
  tarvo::buffer<int> from_, order_;
  int counts_[2][3] = {};
  const int* lists_[2][3] = {};
  std::int64_t K_max_ = 0, groups_ = 0, per_worker_ = 0;
  int group_ = 4, workers_ = 1;
  tarvo::buffer<FftScratch> scratch_;
};

// The images of a slice's 2N interleaved lines completed in the hybrid space (see
// polarity_images): the lines 2l + 0 into plus_image, the lines 2l + 1 into minus_image. 0, or -1
// after a message.
int hybrid_images(const dcomplex* source, std::int64_t coil_stride, int M, int N, int L,
                  const HybridLines& at, int threads, dcomplex* plus_image, dcomplex* minus_image,
                  int step, dcomplex* room) {
  HybridSlice slice;
  if (slice.make(M, N, L, at, threads, step, false, room) != 0) return -1;
  return slice.complete(source, coil_stride, plus_image, minus_image);
}

// The lines the kernel passes write, as targets of the interleaved lines, and the lines filled
// from the source (mask kLineAcquired, when fill(line) is true): the room for them and for
// every pattern's source count and weights.
struct HybridTargets {
  tarvo::buffer<PolarityTarget> targets;
  tarvo::buffer<int> filled, S_of;
  tarvo::buffer<const dcomplex*> coefficients;
  int T = 0, A = 0;

  bool allocate(int N2, int patterns) {
    targets.reset(tarvo::alloc_array<PolarityTarget>(N2));
    filled.reset(tarvo::alloc_array<int>(N2));
    S_of.reset(tarvo::alloc_array<int>(std::max(patterns, 1)));
    coefficients.reset(tarvo::alloc_array<const dcomplex*>(std::max(patterns, 1), true));
    if (targets && filled && S_of && coefficients) return true;
    tarvo::report(" could not alloc synthesis work array\n");
    return false;
  }

  // The targets of one pass (its patterns numbered from `first`), marked synthesised after it.
  void add_pass(const KernelGeometry& kernel, const SpacingPatterns& pass, int first, int* mask,
                int N2) {
    const int begin = T;
    for (int l = 0; l < N2; ++l) {
      PolarityTarget t;
      const int p = pass_target(pass, kernel.S, mask, l, N2, t.sources);
      if (p < 0) continue;
      t.line = l;
      t.pattern = first + p;
      targets[T++] = t;
    }
    for (int i = begin; i < T; ++i) mask[targets[i].line] = kLineSynthesized;
  }

  // The targets grouped by pattern, and the filled lines listed.
  template <class Fill>
  void finish(const int* mask, int N2, Fill fill) {
    std::stable_sort(
        targets.get(), targets.get() + T,
        [](const PolarityTarget& a, const PolarityTarget& b) { return a.pattern < b.pattern; });
    for (int l = 0; l < N2; ++l)
      if (mask[l] == kLineAcquired && fill(l)) filled[A++] = l;
  }

  HybridLines lines(int patterns, int w, const int* q) const {
    return {.filled = filled.get(),
            .A = A,
            .targets = targets.get(),
            .T = T,
            .S_of = S_of.get(),
            .coefficients = coefficients.get(),
            .patterns = patterns,
            .w = w,
            .q = q};
  }
};

}  // namespace

int polarity_images(const dcomplex* source, std::int64_t coil_stride,
                    const unsigned char* acquired_plus, const unsigned char* acquired_minus, int M,
                    int N, int L, const SliceKernelSet* set, int threads, dcomplex* plus_image,
                    dcomplex* minus_image, int step, dcomplex* room) {
  const int N2 = 2 * N;
  const int P = set->polarity_count;
  PolarityPlan plan;
  HybridTargets h;
  if (!plan.make(acquired_plus, acquired_minus, N, set) || !h.allocate(N2, P)) return -1;
  plan.passes(set, L, N, [&](const KernelGeometry& kernel, const SpacingPatterns& pass, int first) {
    h.add_pass(kernel, pass, first, plan.mask.get(), N2);
  });
  h.finish(plan.mask.get(), N2, [](int) { return true; });
  for (int p = 0; p < P; ++p) {
    h.S_of[p] = plan.patterns[p].S;
    h.coefficients[p] = set->polarity[p].coefficients;
  }
  return hybrid_images(source, coil_stride, M, N, L, h.lines(P, set->readout_width, plan.q.get()),
                       threads, plus_image, minus_image, step, room);
}

namespace {

// Whether the parity halves of an M x N slice are completed in the hybrid space: even extents
// (the centring swaps are shifts along each axis) and a kernel of at most kMaxPolaritySources
// source lines.
bool parity_in_hybrid(int M, int N, const SliceKernelSet* set) {
  return M % 2 == 0 && N % 2 == 0 && set->source_lines >= 1 &&
         set->source_lines <= kMaxPolaritySources && set->readout_width >= 1;
}

// The lines of a slice's parity halves in the hybrid space (see parity_images), for
// parity_in_hybrid's slices. The halves are interleaved (line 2l + 0 of the odd half, 2l + 1 of
// the even half) and each spacing's patterns take their line offsets doubled, so that a line of
// one half reads only lines of its own half.
struct ParityLines {
  HybridTargets h;
  tarvo::buffer<int> q;
  int patterns = 0, w = 0;

  // false after a message.
  bool make(const int* odd_lines, int odd_count, const int* even_lines, int even_count,
            const unsigned char* half_of, int N, const SliceKernelSet* set) {
    const int N2 = 2 * N;
    const int S = set->source_lines;
    w = set->readout_width;
    const int spacing_count = set->spacings && set->patterns ? set->spacing_count : 0;
    int total = 0, widest = 1;
    for (int j = 0; j < spacing_count; ++j) {
      total += pattern_count(set->spacings[j], S);
      widest = std::max(widest, pattern_count(set->spacings[j], S));
    }
    tarvo::buffer<int> mask(tarvo::alloc_array<int>(N2, true));
    tarvo::buffer<int> offsets(tarvo::alloc_array<int>(std::int64_t{S} * widest, true));
    q.reset(tarvo::alloc_array<int>(w));
    if (!mask || !offsets || !q) tarvo::report(" could not alloc synthesis work array\n");
    if (!mask || !offsets || !q || !h.allocate(N2, total)) return false;
    core_detail::centred_offsets(w, q.get());
    for (int i = 0; i < odd_count; ++i)
      if (odd_lines[i] >= 0 && odd_lines[i] < N) mask[2 * odd_lines[i]] = kLineAcquired;
    for (int i = 0; i < even_count; ++i)
      if (even_lines[i] >= 0 && even_lines[i] < N) mask[2 * even_lines[i] + 1] = kLineAcquired;
    for (int j = 0; j < spacing_count && N > 0; ++j) {
      const KernelPattern* kernels = set->patterns[j];
      const int P = pattern_count(set->spacings[j], S);
      if (!kernels) continue;
      for (int p = 0; p < P; ++p) {
        parse_pattern(kernels[p].text, offsets.get() + p * S, S, set->spacings[j]);
        for (int s = 0; s < S; ++s) offsets[p * S + s] *= 2;
        h.S_of[patterns + p] = S;
        h.coefficients[patterns + p] = kernels[p].coefficients;
      }
      const KernelGeometry kernel{
          .S = S, .line_offsets = offsets.get(), .w = w, .readout_offsets = q.get()};
      const SpacingPatterns pass{
          .P = P, .offsets = offsets.get(), .coefficients = h.coefficients.get() + patterns};
      h.add_pass(kernel, pass, patterns, mask.get(), N2);
      patterns += P;
    }
    // A line is filled from the source in the half it belongs to (the other half's copy of it,
    // when listed in both, stays cleared).
    h.finish(mask.get(), N2, [&](int l) { return half_of[l / 2] == 1 + l % 2; });
    return true;
  }

  HybridLines lines() const { return h.lines(patterns, w, q.get()); }
};

}  // namespace

int parity_images(const dcomplex* source, std::int64_t coil_stride, const int* odd_lines,
                  int odd_count, const int* even_lines, int even_count,
                  const unsigned char* half_of, int M, int N, int L, const SliceKernelSet* set,
                  int threads, dcomplex* odd_image, dcomplex* even_image, dcomplex* room) {
  if (!parity_in_hybrid(M, N, set)) {
    tarvo::report("Error: %s called with invalid arguments\n", "parity_images");
    return -1;
  }
  ParityLines parity;
  if (!parity.make(odd_lines, odd_count, even_lines, even_count, half_of, N, set)) return -1;
  return hybrid_images(source, coil_stride, M, N, L, parity.lines(), threads, odd_image, even_image,
                       1, room);
}

namespace {

// Synthesises the missing lines of one parity half of a line-fastest slice of L coils.
int complete_half(dcomplex* half, const int* lines, int line_count, int M, int N, int L,
                  const SliceKernelSet* set, int threads) {
  const SliceShape shape{.M = M, .acquired = line_count, .L = L, .N = N};
  int* new_lines = nullptr;
  int new_count = 0;
  if (core_detail::synthesize_missing_lines_on(half, lines, shape, &new_count, &new_lines, 1.0f,
                                               set, threads) != 0)
    return -1;
  tarvo::free_bytes(new_lines);
  return 0;
}

// The lines of the two halves of one synthesis, the odd and the even lines unless given:
// half_of[l] is 1 for a line of the odd (first) half, 2 for one of the even half, 0 for neither.
struct HalfLines {
  int odd_count = 0, even_count = 0;
  tarvo::buffer<int> odd, even;
  tarvo::buffer<unsigned char> half_of;
};

// 0, or -1 when a list cannot be had.
int split_lines(int N, const LineHalves* halves, HalfLines* h) {
  h->odd_count = halves ? halves->first_count : N / 2;
  h->even_count = halves ? halves->second_count : (N + 1) / 2;
  h->odd.reset(tarvo::alloc_array<int>(h->odd_count));
  h->even.reset(tarvo::alloc_array<int>(h->even_count));
  h->half_of.reset(tarvo::alloc_array<unsigned char>(N, true));
  if (!h->odd || !h->even || !h->half_of) return -1;
  for (int i = 0; i < h->odd_count; ++i) h->odd[i] = halves ? halves->first[i] : 2 * i + 1;
  for (int i = 0; i < h->even_count; ++i) h->even[i] = halves ? halves->second[i] : 2 * i;
  for (int i = 0; i < h->odd_count; ++i)
    if (h->odd[i] >= 0 && h->odd[i] < N) h->half_of[h->odd[i]] = 1;
  for (int i = 0; i < h->even_count; ++i)
    if (h->even[i] >= 0 && h->even[i] < N) h->half_of[h->even[i]] = 2;
  return 0;
}

// True when the context holds the volume's scratch and a kernel set for each of its slices
// (else false after the message).
bool fits_context(const ComplexVolume* source, const ComplexVolume* output,
                  const CorrectionContext* context) {
  const int Z = source->dims[2];
  const std::int64_t count = core_detail::element_count(source->ndims, source->dims);
  if (source->ndims != 4 || !core_detail::context_holds(*context, count) || !context->slices ||
      Z > context->slice_count || count / std::max(Z, 1) > context->slice_elements ||
      !source->data || !output->data || std::memcmp(source->tag, "dblc", 5) != 0) {
    tarvo::report(
        "synthesize_volume: the volume does not fit the correction context.  "
        "Synthesis failed.\n");
    return false;
  }
  for (int z = 0; z < Z; ++z) {
    if (!context->slices[z]) {
      tarvo::report("synthesize_volume: no kernel for slice %d.  Synthesis failed.\n", z);
      return false;
    }
  }
  return true;
}

// Which polarity a frame's first half has, as its first slice found it: swapped when the first
// half is the positive one; kept, that slice's disagreement (negative before it).
struct PolarityChoice {
  bool swapped = false;
  double kept = -1.0;
};

// One synthesis of M x N x Z x L: the source, the halves' lines, the context (its slice
// scratch holds the two halves of the slice being completed) and the workers, each with its
// FFT manager and an MN-element transpose temporary.
struct Synthesis {
  int M, N, Z, L;
  std::int64_t MN;
  const dcomplex* source;
  const HalfLines& lines;
  CorrectionContext* context;
  core_detail::WorkerFfts& ffts;
  dcomplex* first_temp;   // worker 0's temporary
  dcomplex* other_temps;  // those of workers 1 ..
  dcomplex* out;

  dcomplex* temp_of(int w) const { return w == 0 ? first_temp : other_temps + (w - 1) * MN; }

  // The centred backward transform of one N x M line-fastest frame on worker w, back to M x N.
  // 0, or -1.
  int to_image(dcomplex* frame, int w) const {
    // In the worker's temporary: the opening quadrant swap copies the frame there, the closing
    // one is taken in the transpose back.
    dcomplex* temp = temp_of(w);
    core_detail::swap_quadrants_to(frame, N, M, temp);
    if (fft_2d(ffts.get(w), N, M, reinterpret_cast<double*>(temp), 'b') != 0) return -1;
    core_detail::swapped_transpose(temp, N, M, frame);
    return 0;
  }

  // Both halves' frames (L each) taken to images. 0, or -1.
  int to_images(dcomplex* a, dcomplex* b) const {
    return tarvo::parallel_for(
        2 * static_cast<std::int64_t>(L), ffts.workers(),
        [&](std::int64_t j, int w) { return to_image((j % 2 == 0 ? a : b) + (j / 2) * MN, w); });
  }

  // Slice z's halves' images in a (the odd half) and b (the even half; both line-fastest
  // k-space first when `transform`) phase-aligned and averaged into out, coil by coil: each
  // coil's two frames go through every step while they are in the cache. Coils are independent
  // jobs, so the bits are those of transforming, aligning and averaging the whole slice in turn.
  // 0, or -1 after a message.
  int finish(int z, dcomplex* a, dcomplex* b, bool transform) const {
    return align_coils(z, ffts.workers(), [&](std::int64_t c, int w, dcomplex** pair) {
      pair[0] = a + c * MN;
      pair[1] = b + c * MN;
      return transform && (to_image(pair[0], w) != 0 || to_image(pair[1], w) != 0) ? -1 : 0;
    });
  }

  // Coil by coil on `workers` workers: frames(c, w, pair) sets coil c's two frames (images, the
  // odd half's first), which are then phase-aligned, and averaged into out with the unscaled
  // backward transform undone (divided by M, then by N). 0, or -1 after a message.
  template <class Frames>
  int align_coils(int z, int workers, Frames frames) const {
    AlignWorkspace align = {};
    if (align_workspace_create(M, N, workers, &align, "align_phase") != 0) return -1;
    const AlignWorkspaceRelease release{&align};
    return tarvo::parallel_for(L, workers, [&](std::int64_t c, int w) {
      dcomplex* pair[2];
      dcomplex turns[2];  // the constant part's turns, taken in the averaging's one pass
      if (frames(c, w, pair) != 0 ||
          align_frame_pair(pair[0], pair[1], M, N, &align, w, turns) != 0)
        return -1;
      tarvo::turned_average_scaled(pair[0], turns[0], pair[1], turns[1], MN, M, N,
                                   out + (z + Z * c) * MN);
      return 0;
    });
  }

  // Slice z's halves completed by coil (HybridSlice::coil_images) taken to images coil by coil,
  // each coil's pair in its worker's room, and aligned and averaged into out as finish() does.
  // 0, or -1 after a message.
  int finish_by_coil(int z, HybridSlice& halves) const {
    const int workers = halves.workers();
    tarvo::buffer<dcomplex> pairs(tarvo::alloc_array<dcomplex>(2 * MN * workers));
    if (!pairs) {
      tarvo::report(" could not alloc synthesis work array\n");
      return -1;
    }
    return align_coils(z, workers, [&](std::int64_t c, int w, dcomplex** pair) {
      pair[0] = pairs.get() + 2 * MN * w;
      pair[1] = pair[0] + MN;
      return halves.coil_images(static_cast<int>(c), w, pair[0], pair[1]);
    });
  }

  // Slice z's halves of the source into a (the odd lines) and b (the even lines), line-fastest,
  // the other half's lines cleared. The source's slice is read before its output is written, so
  // the output may be the source.
  void copy_halves(int z, dcomplex* a, dcomplex* b) const {
    tarvo::parallel_for(L, ffts.workers(), [&](std::int64_t c, int) {
      const dcomplex* frame = source + (z + Z * c) * MN;
      core_detail::transposed_halves(frame, M, N, lines.half_of.get(), a + c * MN, b + c * MN);
      return 0;
    });
  }

  // The columns 0, step, 2 step, ... of the images on which the other polarity is tried first:
  // every column for odd sizes (completed in k-space), else at least 16 and an eighth of them.
  int trial_step() const { return M % 2 == 0 && N % 2 == 0 ? std::max(1, std::min(8, M / 16)) : 1; }

  // ||(|a| - |b|)|| / ||(|a| + |b|)|| over the columns 0, step, ... of the L images of `width`
  // columns and N lines in a and in b (0 when both are zero), or -1 after a message. Summed per
  // coil, then over the coils in order: the same on any number of threads.
  double disagreement(const dcomplex* a, const dcomplex* b, int width, int step) const {
    tarvo::buffer<double> sums(tarvo::alloc_array<double>(2 * std::int64_t{L}));
    if (!sums) {
      tarvo::report(" could not alloc synthesis line array\n");
      return -1.0;
    }
    const std::int64_t area = std::int64_t{width} * N;
    tarvo::parallel_for(L, ffts.workers(), [&](std::int64_t c, int) {
      double differ = 0.0, total = 0.0;
      for (std::int64_t row = c * area; row < (c + 1) * area; row += width)
        for (std::int64_t i = row; i < row + width; i += step) {
          const double u = std::sqrt(a[i].re * a[i].re + a[i].im * a[i].im);
          const double v = std::sqrt(b[i].re * b[i].re + b[i].im * b[i].im);
          differ += (u - v) * (u - v);
          total += (u + v) * (u + v);
        }
      sums[2 * c] = differ;
      sums[2 * c + 1] = total;
      return 0;
    });
    double differ = 0.0, total = 0.0;
    for (int c = 0; c < L; ++c) differ += sums[2 * c], total += sums[2 * c + 1];
    return total > 0.0 ? std::sqrt(differ / total) : 0.0;
  }

  // The context's room for the filled lines of a slice's hybrid space (`lines` M L values: N for
  // the parity halves, 2 N for both polarities), or null after the message. It is kept from one
  // slice (and trial, and frame) to the next: taking fresh values each time cost their page
  // faults every time.
  dcomplex* hybrid_room(int lines) const {
    const std::int64_t room = std::int64_t{lines} * M * L;
    if (context->hybrid_elements < room) {
      tarvo::free_bytes(context->hybrid);
      context->hybrid = tarvo::alloc_array<dcomplex>(room);
      context->hybrid_elements = context->hybrid ? room : 0;
    }
    if (!context->hybrid) tarvo::report(" could not alloc synthesis work array\n");
    return context->hybrid;
  }

  // Slice z's halves in a (the first half's lines) and b, completed with the both-polarity
  // kernels taking b's lines as the positive ones (a's when `swapped`), as images at the columns
  // 0, step, ... (polarity_images; step 1 for odd sizes); returns their disagreement there, or
  // -1 after a message.
  double complete_both(int z, dcomplex* a, dcomplex* b, bool swapped, int step = 1) const {
    tarvo::buffer<unsigned char> flags(tarvo::alloc_array<unsigned char>(2 * std::int64_t{N}));
    if (!flags) {
      tarvo::report(" could not alloc synthesis line array\n");
      return -1.0;
    }
    for (int l = 0; l < N; ++l) {
      flags[l] = lines.half_of[l] == (swapped ? 1 : 2);
      flags[N + l] = lines.half_of[l] == (swapped ? 2 : 1);
    }
    dcomplex* plus = swapped ? a : b;
    dcomplex* minus = swapped ? b : a;
    const SliceKernelSet* set = context->slices[z];
    const int threads = tarvo::thread_count();
    if (M % 2 == 0 && N % 2 == 0) {
      dcomplex* room = hybrid_room(2 * N);
      if (!room || polarity_images(source + z * MN, Z * MN, flags.get(), flags.get() + N, M, N, L,
                                   set, threads, plus, minus, step, room) != 0)
        return -1.0;
    } else {
      // With an odd extent the centring swap is no shift along each axis, and the transform does
      // not split into a pass along the readout and one along the lines: completed in k-space.
      copy_halves(z, a, b);
      if (complete_polarities(plus, minus, flags.get(), flags.get() + N, M, N, L, set, threads) !=
              0 ||
          to_images(a, b) != 0)
        return -1.0;
      step = 1;
    }
    return disagreement(a, b, (M + step - 1) / step, 1);
  }

  // Slice z: both halves completed with the slice's kernels, taken to image space,
  // phase-aligned (the odd half first) and averaged into out. 0, or -1 after a message.
  //
  // With both-polarity kernels, the halves are completed taking the second half as the
  // positive one (the first when polarity->swapped); when the two images then disagree by more
  // than the frame's limit, also the other way, and the pair that agrees better is kept. Which
  // half a frame starts with is not known, but it is the same for every slice, and the wrong
  // choice gives halves that disagree by far more: the first slice is held to
  // kPolarityAgreement, and leaves its choice and its disagreement to the next slices, which
  // try the other way only when they disagree by more than twice that (and the limit).
  int slice(int z, PolarityChoice* polarity) const {
    const SliceKernelSet* set = context->slices[z];
    dcomplex* odd_slice = context->odd_slice;
    dcomplex* even_slice = context->even_slice;
    const int threads = tarvo::thread_count();
    if (set->polarity_count > 0) {
      double agreement = complete_both(z, odd_slice, even_slice, polarity->swapped);
      if (agreement < 0.0) return -1;
      const double limit = polarity->kept < 0.0
                               ? kPolarityAgreement
                               : std::max(kPolarityAgreement, 2.0 * polarity->kept);
      if (agreement > limit) {
        // The other way, first on a sample of the columns: in full only when it agrees better
        // there.
        int step = trial_step();
        std::int64_t size = std::int64_t{(M + step - 1) / step} * N * L;
        tarvo::buffer<dcomplex> a(tarvo::alloc_array<dcomplex>(size));
        tarvo::buffer<dcomplex> b(tarvo::alloc_array<dcomplex>(size));
        double other = a && b ? complete_both(z, a.get(), b.get(), !polarity->swapped, step) : -2.0;
        double here = 0.0;
        if (other >= 0.0 && step > 1) {
          here = disagreement(odd_slice, even_slice, M, step);
          if (here >= 0.0 && other < here) {
            step = 1;
            a.reset(tarvo::alloc_array<dcomplex>(MN * L));
            b.reset(tarvo::alloc_array<dcomplex>(MN * L));
            other = a && b ? complete_both(z, a.get(), b.get(), !polarity->swapped) : -2.0;
          }
        }
        if (other == -2.0) tarvo::report(" could not alloc synthesis line array\n");
        if (other < 0.0 || here < 0.0) return -1;
        if (step == 1 && other < agreement) {
          polarity->swapped = !polarity->swapped;
          agreement = other;
          std::memcpy(odd_slice, a.get(), static_cast<std::size_t>(MN * L) * sizeof(dcomplex));
          std::memcpy(even_slice, b.get(), static_cast<std::size_t>(MN * L) * sizeof(dcomplex));
        }
      }
      if (polarity->kept < 0.0) polarity->kept = agreement;
    } else if (parity_in_hybrid(M, N, set)) {
      // Both halves along the readout first, completed column by column there, then each coil
      // along the lines and on through the alignment while its images are in the cache.
      ParityLines parity;
      if (!parity.make(lines.odd.get(), lines.odd_count, lines.even.get(), lines.even_count,
                       lines.half_of.get(), N, set))
        return -1;
      const HybridLines at = parity.lines();
      HybridSlice halves;
      // The filled lines in the odd half's slice scratch and the written ones in the even half's
      // when each count is at most N (a fully sampled frame fills N lines and writes N); else
      // both in the hybrid room, of 2 N lines (no line is both).
      const bool fits = at.A <= N && at.T <= N;
      dcomplex* room = fits ? odd_slice : hybrid_room(2 * N);
      if (!room ||
          halves.make(M, N, L, at, threads, 1, true, room, fits ? even_slice : nullptr) != 0 ||
          halves.complete(source + z * MN, Z * MN, nullptr, nullptr) != 0)
        return -1;
      return finish_by_coil(z, halves);
    } else {
      copy_halves(z, odd_slice, even_slice);
      // The two halves concurrently, each spread by blocks of samples over its share of the
      // threads (each has its own work buffers).
      if (tarvo::parallel_for(2, threads, [&](std::int64_t h, int) {
            const int share = h == 0 ? (threads + 1) / 2 : std::max(1, threads / 2);
            return h == 0 ? complete_half(odd_slice, lines.odd.get(), lines.odd_count, M, N, L, set,
                                          share)
                          : complete_half(even_slice, lines.even.get(), lines.even_count, M, N, L,
                                          set, share);
          }) != 0)
        return -1;
      return finish(z, odd_slice, even_slice, true);
    }
    return finish(z, odd_slice, even_slice, false);
  }
};

}  // namespace

int synthesize_volume(const ComplexVolume* source, ComplexVolume* output,
                      CorrectionContext* context, const LineHalves* halves) {
  if (!fits_context(source, output, context)) return -1;
  const int M = source->dims[0];
  const int N = source->dims[1];
  const int Z = source->dims[2];
  const int L = source->dims[3];
  const std::int64_t MN = static_cast<std::int64_t>(M) * N;
  tarvo::buffer<dcomplex> temp(tarvo::alloc_array<dcomplex>(MN));
  HalfLines lines;
  if (split_lines(N, halves, &lines) != 0 || !temp) {
    tarvo::report(" could not alloc synthesis line array\n");
    return -1;
  }

  // Slice by slice; within a slice, frames are independent jobs: each worker has its own
  // transpose temporary and FFT manager.
  const std::int64_t frames = static_cast<std::int64_t>(Z) * L;
  core_detail::WorkerFfts ffts(&context->fft,
                               tarvo::worker_count(2 * frames, tarvo::thread_count()));
  const int workers = ffts.workers();
  tarvo::buffer<dcomplex> temps(tarvo::alloc_array<dcomplex>(MN * (workers - 1)));
  if (!temps) {
    tarvo::report(" could not alloc synthesis line array\n");
    return -1;
  }
  const Synthesis synthesis{.M = M,
                            .N = N,
                            .Z = Z,
                            .L = L,
                            .MN = MN,
                            .source = static_cast<const dcomplex*>(source->data),
                            .lines = lines,
                            .context = context,
                            .ffts = ffts,
                            .first_temp = temp.get(),
                            .other_temps = temps.get(),
                            .out = static_cast<dcomplex*>(output->data)};
  PolarityChoice polarity;
  for (int z = 0; z < Z; ++z)
    if (synthesis.slice(z, &polarity) != 0) return -1;

  output->ndims = 4;
  output->dims[0] = M;
  output->dims[1] = N;
  output->dims[2] = Z;
  output->dims[3] = L;
  std::memcpy(output->tag, "dblc", 5);
  return 0;
}
