// The correction API: calibration, apply, the corrected even frame and the whole call.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "align/align.h"
#include "core/internal.h"
#include "core/tarvo.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"
#include "linalg/report.h"

namespace tarvo {

namespace {

// Frames of a series corrected at once, at most (each holds a calibration's scratch volumes
// and two frames).
constexpr std::int64_t kMaxFrameWorkers = 4;

// A step of the correction failed: "memory" when an allocation failed meanwhile, else the
// step's name.
int step_failed(Status* status, const char* step, long failures_before) {
  std::snprintf(status->step, sizeof status->step, "%s", step);
  if (alloc_failures() != failures_before)
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory in %s: the call needs more memory than "
                     "is available.",
                     step);
  return set_error(status, ErrorKind::kFailed, step, "%s failed.", step);
}

// Runs a step that may throw; any exception is a failure of that step.
template <class Step>
int run_step(Status* status, const char* step, Step&& body) {
  const long failures = alloc_failures();
  try {
    if (body() == 0) return 0;
  } catch (const std::bad_alloc&) {
    std::snprintf(status->step, sizeof status->step, "%s", step);
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory in %s: the call needs more memory than "
                     "is available.",
                     step);
  } catch (const std::exception& e) {
    tarvo::report("%s: %s\n", step, e.what());
  } catch (...) {
  }
  return step_failed(status, step, failures);
}

bool is_four_extent(const ComplexVolume& v) {
  return v.ndims == 4 && v.data && v.dims[0] > 0 && v.dims[1] > 0 && v.dims[2] > 0 && v.dims[3] > 0;
}

int frame_mismatch(Status* status, const VolumeShape& frame, const VolumeShape& shape) {
  return set_error(status, ErrorKind::kValue, "target",
                   "The frame to correct is %d x %d x %d x %d; the kernels are for %d x %d x %d "
                   "x %d volumes.",
                   frame.M, frame.N, frame.Z, frame.L, shape.M, shape.N, shape.Z, shape.L);
}

void set_output_record(const VolumeShape& shape, ComplexVolume* out) {
  out->ndims = 4;
  out->dims[0] = shape.M;
  out->dims[1] = shape.N;
  out->dims[2] = shape.Z;
  out->dims[3] = shape.L;
  std::memcpy(out->tag, "dblc", 5);
}

}  // namespace

ComplexVolume make_volume(const VolumeShape& shape, void* data) {
  ComplexVolume v{};
  v.valid = 1;
  set_output_record(shape, &v);
  v.data = data;
  return v;
}

FoldedExtents fold_extents(const std::int64_t* extents, int n, Fold fold) {
  // Products saturate at kMaxCount + 1: both factors stay <= 2^31, so nothing overflows.
  auto times = [](std::int64_t a, std::int64_t b) {
    if (b < 0 || b > kMaxCount) b = kMaxCount + 1;
    return std::min(a * b, kMaxCount + 1);
  };
  auto extent = [&](int i) { return i < n ? times(1, extents[i]) : std::int64_t{1}; };
  FoldedExtents f;
  f.M = extent(0);
  f.N = extent(1);
  if (fold == Fold::kSlices) {
    for (int i = 2; i < n - 1; ++i) f.Z = times(f.Z, extents[i]);
    f.L = n >= 3 ? extent(n - 1) : 1;
  } else {
    f.Z = extent(2);
    f.L = extent(3);
    for (int i = 4; i < n; ++i)
      if (__builtin_mul_overflow(f.frames, std::max<std::int64_t>(extents[i], 0), &f.frames))
        f.frames = INT64_MAX;
  }
  for (std::int64_t e : {f.M, f.N, f.Z, f.L}) f.elements = times(f.elements, e);
  return f;
}

VolumeShape shape_of(const ComplexVolume& volume) {
  if (volume.ndims != 4) return {};
  return {volume.dims[0], volume.dims[1], volume.dims[2], volume.dims[3]};
}

Calibration::~Calibration() {
  reset();
}

void Calibration::reset() {
  context_destroy(&context_);
  context_ = {};
  shape_ = {};
  even_ = nullptr;
}

KernelView Calibration::kernel(int z) const {
  KernelView view;
  if (z < 0 || z >= shape_.Z || !context_.slices || !context_.slices[z]) return view;
  const SliceKernelSet* set = context_.slices[z];
  if (!set->patterns || !set->spacings || set->spacing_count < 1) return view;
  // The last pattern of the last spacing (one of each for every kernel fitted here).
  const int j = set->spacing_count - 1;
  const int count = pattern_count(set->spacings[j], set->source_lines, set->mode);
  if (count < 1 || !set->patterns[j]) return view;
  const KernelPattern& pattern = set->patterns[j][count - 1];
  if (!pattern.coefficients || !pattern.text) return view;
  view.dk = set->spacings[j];
  view.pattern = pattern.text;
  view.re = &pattern.coefficients[0].re;
  view.im = &pattern.coefficients[0].im;
  view.rows = std::int64_t{set->readout_width} * set->source_lines * shape_.L;
  view.cols = shape_.L;
  view.step = 2;
  return view;
}

int calibrate(const ComplexVolume& even, const ComplexVolume& odd, Calibration* out,
              Status* status) {
  out->reset();
  *status = {};
  if (!is_four_extent(even))
    return set_error(status, ErrorKind::kValue, "even",
                     "The even frame must be a non-empty M x N x Z x L volume.");
  if (!is_four_extent(odd))
    return set_error(status, ErrorKind::kValue, "odd",
                     "The odd frame must be a non-empty M x N x Z x L volume.");
  CorrectionContext& context = out->context_;
  if (run_step(status, "context_create", [&] { return context_create(&context, &even); }) != 0) {
    out->reset();
    return -1;
  }
  // D: the interleaved calibration k-space, then one kernel set per slice of it.
  buffer<dcomplex> d(alloc_array<dcomplex>(shape_of(even).elements(), true));
  if (!d) {
    tarvo::report(" could not alloc calibration volume\n");
    out->reset();
    std::snprintf(status->step, sizeof status->step, "tarvo_interleave_frames");
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory: the calibration volume does not fit.");
  }
  ComplexVolume D{};
  D.valid = 1;
  D.ndims = 4;
  for (int i = 0; i < 4; ++i) D.dims[i] = even.dims[i];
  std::memcpy(D.tag, "dblc", 5);
  D.data = d.get();
  if (run_step(status, "tarvo_interleave_frames",
               [&] { return tarvo_interleave_frames(&even, &odd, &D, 0, &context); }) != 0 ||
      run_step(status, "estimate_coefficients",
               [&] { return estimate_coefficients(&D, &context); }) != 0) {
    out->reset();
    return -1;
  }
  out->shape_ = shape_of(even);
  out->even_ = &even;
  return 0;
}

int check_kernels(const KernelView* kernels, int count, int L, Status* status) {
  *status = {};
  const std::int64_t rows = kernel_rows(L);
  for (int z = 0; z < count; ++z) {
    const KernelView& k = kernels[z];
    if (k.dk != kKernelSpacing)
      return set_error(status, ErrorKind::kValue, "dk",
                       "Kernel %d has line spacing dk = %d; this module's kernels "
                       "have dk = %d.",
                       z + 1, k.dk, kKernelSpacing);
    if (!k.pattern || std::strcmp(k.pattern, kKernelPattern) != 0)
      return set_error(status, ErrorKind::kValue, "pattern",
                       "Kernel %d has pattern '%s'; this module's kernels "
                       "have pattern '%s'.",
                       z + 1, k.pattern ? k.pattern : "", kKernelPattern);
    if (k.rows != rows || k.cols != L || !k.re || !k.im || k.step < 1)
      return set_error(status, ErrorKind::kValue, "coef",
                       "Kernel %d has a %lld x %lld coef matrix; for a target "
                       "of %d coils it must be %lld x %d (10 L x L).",
                       z + 1, static_cast<long long>(k.rows), static_cast<long long>(k.cols), L,
                       static_cast<long long>(rows), L);
  }
  return 0;
}

int calibration_from_kernels(const KernelView* kernels, int count, VolumeShape shape,
                             Calibration* out, Status* status) {
  out->reset();
  *status = {};
  if (shape.M < 1 || shape.N < 1 || shape.Z < 1 || shape.L < 1)
    return set_error(status, ErrorKind::kValue, "target",
                     "The volume to correct must be a non-empty M x N x Z x L "
                     "array.");
  if (count != shape.Z)
    return set_error(status, ErrorKind::kValue, "slices",
                     "The kernels are for %d slices but the volume has %d "
                     "(its third extent); the kernels must come from a call on the same slices.",
                     count, shape.Z);
  if (check_kernels(kernels, count, shape.L, status) != 0) return -1;
  const std::int64_t rows = kernel_rows(shape.L);

  // The context of a volume of this shape, with one kernel set per slice as the estimation
  // makes it.
  const ComplexVolume like = make_volume(shape, nullptr);
  CorrectionContext& context = out->context_;
  if (run_step(status, "context_create", [&] { return context_create(&context, &like); }) != 0) {
    out->reset();
    return -1;
  }
  const long failures = alloc_failures();
  for (int z = 0; z < count; ++z) {
    SliceKernelSet*& set = context.slices[z];
    set = alloc_array<SliceKernelSet>(1, true);
    if (!set) break;
    set->spacing_count = 1;
    set->source_lines = kKernelSourceLines;
    set->readout_width = kKernelReadoutWidth;
    set->spacings = alloc_array<std::int32_t>(1);
    set->patterns = alloc_array<KernelPattern*>(1, true);
    if (!set->spacings || !set->patterns) break;
    set->spacings[0] = kKernelSpacing;
    set->patterns[0] = alloc_array<KernelPattern>(1, true);
    if (!set->patterns[0] ||
        build_patterns(set->patterns[0], kKernelSpacing, kKernelSourceLines, 0) != 0)
      break;
    dcomplex* w = alloc_array<dcomplex>(rows * shape.L);
    if (!w) break;
    set->patterns[0][0].coefficients = w;
    kernels[z].copy_to(w);
  }
  if (alloc_failures() != failures) {
    out->reset();
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory: the kernels do not fit.");
  }
  out->shape_ = shape;
  return 0;
}

int apply(Calibration* calibration, const ComplexVolume& target, ComplexVolume* E, Status* status) {
  *status = {};
  const VolumeShape shape = calibration->shape();
  if (shape.Z < 1)
    return set_error(status, ErrorKind::kValue, "kernels", "The calibration holds no kernels.");
  if (!is_four_extent(target) || shape_of(target) != shape)
    return frame_mismatch(status, {target.dims[0], target.dims[1], target.dims[2], target.dims[3]},
                          shape);
  if (!E->data)
    return set_error(status, ErrorKind::kValue, "output", "No room for the output volume.");
  set_output_record(shape, E);
  return run_step(status, "synthesize_volume",
                  [&] { return synthesize_volume(&target, E, &calibration->context_, 0); });
}

int apply_frames(Calibration* calibration, const VolumeShape& frame, std::int64_t frames,
                 const FrameReader& read, const FrameWriter& write, Status* status,
                 const SeriesPause& pause) {
  *status = {};
  const VolumeShape shape = calibration->shape();
  if (shape.Z < 1)
    return set_error(status, ErrorKind::kValue, "kernels", "The calibration holds no kernels.");
  if (frame != shape) return frame_mismatch(status, frame, shape);
  if (frames <= 0) return 0;
  // Frames side by side, each on its share of the threads: one frame does not keep many
  // threads busy (its slices run one after the other). Each further frame worker needs its
  // own calibration (scratch volumes) built from the same kernels; when one cannot be had,
  // fewer frames run at once.
  const int threads = thread_count();
  const int wanted = static_cast<int>(
      std::min<std::int64_t>({frames, static_cast<std::int64_t>(threads), kMaxFrameWorkers}));
  std::vector<std::unique_ptr<Calibration>> own;
  std::vector<Calibration*> calibrations = {calibration};
  std::vector<buffer<dcomplex>> in, out;
  for (int w = 0; w < wanted; ++w) {
    if (w > 0) {
      std::vector<KernelView> views(static_cast<std::size_t>(shape.Z));
      for (int z = 0; z < shape.Z; ++z) views[z] = calibration->kernel(z);
      auto extra = std::make_unique<Calibration>();
      Status quiet;
      if (calibration_from_kernels(views.data(), shape.Z, shape, extra.get(), &quiet) != 0) break;
      own.push_back(std::move(extra));
      calibrations.push_back(own.back().get());
    }
    in.emplace_back(alloc_array<dcomplex>(shape.elements()));
    out.emplace_back(alloc_array<dcomplex>(shape.elements(), true));
    if (!in.back() || !out.back()) {
      in.pop_back(), out.pop_back();
      if (w > 0) calibrations.pop_back();
      break;
    }
  }
  const int workers = static_cast<int>(in.size());
  if (workers == 0) {
    tarvo::report(" could not alloc series frame array\n");
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory: two frames of the series do not fit.");
  }
  const int share = std::max(1, threads / workers);
  std::vector<Status> statuses(static_cast<std::size_t>(workers));
  bool failed = false;
  // Frames first .. first+count-1, side by side; worker w on its own calibration and frames.
  auto correct_frames = [&](std::int64_t first, std::int64_t count) {
    failed = parallel_for(count, workers, [&](std::int64_t i, int w) {
               const std::int64_t t = first + i;
               const ThreadCountScope scope(share);
               Status& s = statuses[w];
               const ComplexVolume source = make_volume(shape, in[w].get());
               ComplexVolume result = make_volume(shape, out[w].get());
               if (read(t, in[w].get()) != 0)
                 return set_error(&s, ErrorKind::kFailed, "read",
                                  "Frame %lld of the series could not be read.",
                                  static_cast<long long>(t + 1));
               if (apply(calibrations[w], source, &result, &s) != 0) return -1;
               if (write(t, out[w].get()) != 0)
                 return set_error(&s, ErrorKind::kFailed, "write",
                                  "Frame %lld of the series could not be stored.",
                                  static_cast<long long>(t + 1));
               return 0;
             }) != 0;
    return failed ? -1 : 0;
  };
  // Without a pause the series is one loop; with one, rounds of `workers` frames.
  const std::int64_t round = pause ? workers : frames;
  for (std::int64_t first = 0; first < frames; first += round) {
    const std::int64_t count = std::min(round, frames - first);
    if (correct_frames(first, count) != 0) break;
    if (pause && pause(first + count) != 0)
      return set_error(status, ErrorKind::kStopped, "stopped",
                       "The series was stopped after %lld of %lld frames.",
                       static_cast<long long>(first + count), static_cast<long long>(frames));
  }
  for (const Status& s : statuses)
    if (!s.ok()) {
      *status = s;
      return -1;
    }
  return failed ? set_error(status, ErrorKind::kFailed, "apply", "A frame of the series failed.")
                : 0;
}

int corrected_even(Calibration* calibration, const ComplexVolume& E, ComplexVolume* F,
                   Status* status) {
  *status = {};
  if (!calibration->has_even())
    return set_error(status, ErrorKind::kValue, "even",
                     "The calibration was not made from an even frame.");
  const VolumeShape shape = calibration->shape();
  if (shape_of(E) != shape || !E.data || !F->data)
    return set_error(status, ErrorKind::kValue, "output",
                     "The volumes do not have the calibration's extents.");
  set_output_record(shape, F);
  CorrectionContext& context = calibration->context_;
  if (run_step(status, "synthesize_volume",
               [&] { return synthesize_volume(calibration->even_, F, &context, 0); }) != 0)
    return -1;
  // The alignment turns both stacks: E is aligned in a scratch copy (free after the synthesis).
  dcomplex* e = context.odd_half;
  std::memcpy(e, E.data, static_cast<std::size_t>(shape.elements()) * sizeof(dcomplex));
  return run_step(status, "align_phase", [&] {
    return align_phase(e, static_cast<dcomplex*>(F->data), 4, F->dims, nullptr, nullptr, 8, 0);
  });
}

int correct(const ComplexVolume& even, const ComplexVolume& odd, const ComplexVolume* target,
            ComplexVolume* E, ComplexVolume* F, Calibration* calibration, Status* status) {
  if (calibrate(even, odd, calibration, status) != 0) return -1;
  if (apply(calibration, target ? *target : odd, E, status) != 0) return -1;
  return F ? corrected_even(calibration, *E, F, status) : 0;
}

}  // namespace tarvo
