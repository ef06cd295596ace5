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
#include "core/core.h"
#include "core/internal.h"
#include "core/tarvo.h"
#include "linalg/memory.h"
#include "linalg/parallel.h"
#include "linalg/report.h"
#include "linalg/simd.h"

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

// A frame the kernels serve: the calibration's M (any, while it is 0: not yet known), Z and L,
// any number of lines.
bool frame_fits(const VolumeShape& frame, const VolumeShape& shape) {
  return (frame.M == shape.M || (shape.M == 0 && frame.M > 0)) && frame.Z == shape.Z &&
         frame.L == shape.L && frame.N > 0;
}

int frame_mismatch(Status* status, const VolumeShape& frame, const VolumeShape& shape) {
  if (shape.M == 0)
    return set_error(status, ErrorKind::kValue, "target",
                     "The frame to correct is %d x %d x %d x %d; the kernels are for %d slices of "
                     "%d coils.",
                     frame.M, frame.N, frame.Z, frame.L, shape.Z, shape.L);
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

struct Calibration::Impl {
  CorrectionContext context{};
  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() { context_destroy(&context); }
};

Calibration::Calibration() = default;

Calibration::~Calibration() {
  reset();
}

void Calibration::reset() {
  impl_.reset();
  shape_ = {};
  frame_ = {};
  R_ = 1;
  fitted_ = false;
  even_ = nullptr;
}

namespace {

// The pattern record of kernel `index` of a calibration for R: its slice, spacing j (dk = 2 + j)
// and record p; false when the index is out of range.
struct KernelPlace {
  int z = 0, j = 0, p = 0;
};
bool place_of(int index, int R, int Z, KernelPlace* place) {
  const int P = kernels_per_slice(R);
  if (index < 0 || index >= P * Z) return false;
  place->z = index / P;
  int r = index % P;
  if (R > 1) {  // the slice's both-polarity kernels, in order
    place->j = -1;
    place->p = r;
    return true;
  }
  int j = 0;
  while (r >= j + 1) r -= ++j;  // spacing j holds j + 1 patterns
  place->j = j;
  place->p = r;
  return true;
}

// The pattern record at `at` of the context's kernel sets (null when there is none).
const KernelPattern* pattern_at(const CorrectionContext& context, const KernelPlace& at) {
  if (!context.slices || at.z >= context.slice_count || !context.slices[at.z]) return nullptr;
  const SliceKernelSet* set = context.slices[at.z];
  if (at.j < 0) return set->polarity && at.p < set->polarity_count ? &set->polarity[at.p] : nullptr;
  if (!set->patterns || !set->spacings || at.j >= set->spacing_count || !set->patterns[at.j])
    return nullptr;
  return &set->patterns[at.j][at.p];
}

// Pattern p of acceleration R (2 .. kMaxAcceleration; p in range).
PolarityPattern polarity_pattern(int p, int R) {
  PolarityPattern all[kernels_per_slice(kMaxAcceleration)];
  polarity_patterns(R, all);
  return all[p];
}

// Rows of the coefficient matrix of pattern p of acceleration R for L coils.
std::int64_t polarity_rows(int p, int R, int L) {
  return std::int64_t{kKernelReadoutWidth} * polarity_pattern(p, R).S * L;
}

}  // namespace

FitRecord Calibration::fit(int index) const {
  KernelPlace at;
  if (!impl_ || !fitted_ || !place_of(index, R_, shape_.Z, &at)) return {};
  const KernelPattern* p = pattern_at(impl_->context, at);
  if (!p || !p->coefficients) return {};
  return {.equations = p->equations,
          .unknowns = R_ > 1 ? polarity_rows(at.p, R_, shape_.L) : kernel_rows(shape_.L),
          .whole_readout = p->whole_readout != 0,
          .ridge = p->ridge};
}

int Calibration::fit_frames(int M, int N) {
  CorrectionContext& context = impl_->context;
  if (frame_.M == M && frame_.N == N && context.initialized == 1) return 0;
  VolumeShape frame = shape_;
  frame.M = M;
  frame.N = N;
  CorrectionContext fresh{};
  const ComplexVolume like = make_volume(frame, nullptr);
  if (context_create(&fresh, &like) != 0) return -1;
  // The kernel sets move over; the old scratch (and the fresh context's empty table) go.
  std::swap(fresh.slices, context.slices);
  std::swap(fresh.slice_count, context.slice_count);
  std::swap(fresh.borrowed, context.borrowed);
  fresh.spacing_count = context.spacing_count;
  fresh.bounded = context.bounded;
  context_destroy(&context);
  context = fresh;
  frame_ = frame;
  return 0;
}

int Calibration::borrow(const Calibration& lender, const VolumeShape& frame) {
  reset();
  impl_.reset(new (std::nothrow) Impl);
  if (!impl_) return -1;
  const CorrectionContext& kernels = lender.impl_->context;
  CorrectionContext& context = impl_->context;
  context.slices = kernels.slices;
  context.slice_count = kernels.slice_count;
  context.borrowed = 1;
  context.spacing_count = kernels.spacing_count;
  context.bounded = kernels.bounded;
  shape_ = frame;
  R_ = lender.R_;
  if ((frame.M != 0 || frame.N != 0) && fit_frames(frame.M, frame.N) != 0) {
    reset();
    return -1;
  }
  return 0;
}

int borrow_kernels(const Calibration& lender, Calibration* out, Status* status) {
  *status = {};
  if (!lender.impl_) {
    out->reset();
    return set_error(status, ErrorKind::kValue, "kernels", "The calibration holds no kernels.");
  }
  if (out->borrow(lender, lender.shape_) != 0) {
    std::snprintf(status->step, sizeof status->step, "context_create");
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory: the scratch volumes of a borrowing calibration do not fit.");
  }
  return 0;
}

KernelView Calibration::kernel(int index) const {
  KernelView view;
  KernelPlace at;
  if (!impl_ || !place_of(index, R_, shape_.Z, &at)) return view;
  const KernelPattern* found = pattern_at(impl_->context, at);
  if (!found) return view;
  const SliceKernelSet* set = impl_->context.slices[at.z];
  const KernelPattern& pattern = *found;
  if (!pattern.coefficients || !pattern.text) return view;
  view.pattern = pattern.text;
  view.re = &pattern.coefficients[0].re;
  view.im = &pattern.coefficients[0].im;
  if (at.j < 0) {
    const PolarityPattern geometry = polarity_pattern(at.p, R_);
    view.dk = geometry.dk;
    view.rows = std::int64_t{kKernelReadoutWidth} * geometry.S * shape_.L;
  } else {
    view.dk = set->spacings[at.j];
    view.rows = std::int64_t{set->readout_width} * set->source_lines * shape_.L;
  }
  view.cols = shape_.L;
  view.step = 2;
  return view;
}

int calibrate(const ComplexVolume& even, const ComplexVolume& odd,
              const CalibrationOptions& options, Calibration* out, Status* status) {
  out->reset();
  *status = {};
  const int R = options.R;
  if (R < 1 || R > kMaxAcceleration)
    return set_error(status, ErrorKind::kValue, "R",
                     "R must be a whole number from 1 to %d; it is %d.", kMaxAcceleration, R);
  if (!is_four_extent(even))
    return set_error(status, ErrorKind::kValue, "even",
                     "The even frame must be a non-empty M x N x Z x L volume.");
  if (!is_four_extent(odd))
    return set_error(status, ErrorKind::kValue, "odd",
                     "The odd frame must be a non-empty M x N x Z x L volume.");
  // The kernels of a missing line between two lines R apart and of a line with a neighbour R
  // away on either side span 2R + 1 lines; wider ones that no line of a shorter pair can train
  // are left out (zero).
  if (R > 1 && even.dims[1] < 2 * R + 1)
    return set_error(status, ErrorKind::kValue, "lines",
                     "The calibration pair has %d lines; the kernels for R = %d span %d lines, so "
                     "it needs at least %d.",
                     even.dims[1], R, 2 * R + 1, 2 * R + 1);
  if (run_step(status, "context_create", [&] {
        out->impl_ = std::make_unique<Calibration::Impl>();
        return context_create(&out->impl_->context, &even);
      }) != 0) {
    out->reset();
    return -1;
  }
  CorrectionContext& context = out->impl_->context;
  if (R > 1) {
    context.spacing_count = 0;
    context.bounded = 1;
    if (run_step(status, "fit_polarity_kernels",
                 [&] { return fit_polarity_kernels(&even, &odd, R, &context); }) != 0) {
      out->reset();
      return -1;
    }
  } else {
    context.spacing_count = 1;
    context.bounded = 0;
    // D: the interleaved calibration k-space in the context's whole volume, then one kernel set
    // per slice of it; the volume is given back once they are fitted.
    dcomplex* volume = context_volume(&context);
    if (!volume) {
      tarvo::report(" could not alloc calibration volume\n");
      out->reset();
      std::snprintf(status->step, sizeof status->step, "tarvo_interleave_frames");
      return set_error(status, ErrorKind::kMemory, "memory",
                       "Out of memory: the calibration volume does not fit.");
    }
    ComplexVolume D = make_volume(shape_of(even), volume);
    if (run_step(status, "tarvo_interleave_frames",
                 [&] { return tarvo_interleave_frames(&even, &odd, &D, &context); }) != 0 ||
        run_step(status, "estimate_coefficients",
                 [&] { return estimate_coefficients(&D, &context); }) != 0) {
      out->reset();
      return -1;
    }
    context_release_volume(&context);
  }
  out->shape_ = shape_of(even);
  out->frame_ = out->shape_;
  out->R_ = R;
  out->fitted_ = true;
  out->even_ = &even;
  return 0;
}

int kernels_acceleration(int count, int Z) {
  for (int R = 1; R <= kMaxAcceleration && Z > 0; ++R)
    if (static_cast<std::int64_t>(kernels_per_slice(R)) * Z == count) return R;
  return 0;
}

int check_kernels(const KernelView* kernels, int count, int R, int L, Status* status) {
  *status = {};
  if (R < 1 || R > kMaxAcceleration)
    return set_error(status, ErrorKind::kValue, "R",
                     "R must be a whole number from 1 to %d; it is %d.", kMaxAcceleration, R);
  // The pattern texts, spacings and rows of a slice's kernels, in the order a calibration fits
  // them.
  const int P = kernels_per_slice(R);
  char texts[kernels_per_slice(kMaxAcceleration)][24] = {};
  int spacing[kernels_per_slice(kMaxAcceleration)] = {};
  std::int64_t kernel_rows_of[kernels_per_slice(kMaxAcceleration)] = {};
  if (R == 1) {
    std::snprintf(texts[0], sizeof texts[0], "%s", kKernelPattern);
    spacing[0] = kKernelSpacing;
    kernel_rows_of[0] = kernel_rows(L);
  } else {
    PolarityPattern patterns[kernels_per_slice(kMaxAcceleration)];
    polarity_patterns(R, patterns);
    for (int p = 0; p < P; ++p) {
      polarity_pattern_text(patterns[p], texts[p]);
      spacing[p] = patterns[p].dk;
      kernel_rows_of[p] = std::int64_t{kKernelReadoutWidth} * patterns[p].S * L;
    }
  }
  for (int z = 0; z < count; ++z) {
    const KernelView& k = kernels[z];
    const int dk = spacing[z % P];
    const char* text = texts[z % P];
    const std::int64_t rows = kernel_rows_of[z % P];
    if (k.dk != dk) {
      if (R == 1)
        return set_error(status, ErrorKind::kValue, "dk",
                         "Kernel %d has line spacing dk = %d; this module's kernels "
                         "have dk = %d.",
                         z + 1, k.dk, dk);
      return set_error(status, ErrorKind::kValue, "dk",
                       "Kernel %d has line spacing dk = %d; kernel %d of a slice's %d for R = %d "
                       "has dk = %d.",
                       z + 1, k.dk, z % P + 1, P, R, dk);
    }
    if (!k.pattern || std::strcmp(k.pattern, text) != 0) {
      if (R == 1)
        return set_error(status, ErrorKind::kValue, "pattern",
                         "Kernel %d has pattern '%s'; this module's kernels "
                         "have pattern '%s'.",
                         z + 1, k.pattern ? k.pattern : "", text);
      return set_error(status, ErrorKind::kValue, "pattern",
                       "Kernel %d has pattern '%s'; kernel %d of a slice's %d for R = %d has "
                       "pattern '%s'.",
                       z + 1, k.pattern ? k.pattern : "", z % P + 1, P, R, text);
    }
    if (k.rows != rows || k.cols != L || !k.re || !k.im || k.step < 1) {
      if (R == 1)
        return set_error(status, ErrorKind::kValue, "coef",
                         "Kernel %d has a %lld x %lld coef matrix; for a target "
                         "of %d coils it must be %lld x %d (10 L x L).",
                         z + 1, static_cast<long long>(k.rows), static_cast<long long>(k.cols), L,
                         static_cast<long long>(rows), L);
      return set_error(status, ErrorKind::kValue, "coef",
                       "Kernel %d has a %lld x %lld coef matrix; for a target of %d coils it "
                       "must be %lld x %d (5 L rows per source line of its pattern '%s').",
                       z + 1, static_cast<long long>(k.rows), static_cast<long long>(k.cols), L,
                       static_cast<long long>(rows), L, text);
    }
  }
  return 0;
}

int calibration_from_kernels(const KernelView* kernels, int count, VolumeShape shape,
                             Calibration* out, Status* status) {
  out->reset();
  *status = {};
  const bool unknown_frame = shape.M == 0 && shape.N == 0;
  if ((!unknown_frame && (shape.M < 1 || shape.N < 1)) || shape.Z < 1 || shape.L < 1)
    return set_error(status, ErrorKind::kValue, "target",
                     "The volume to correct must be a non-empty M x N x Z x L "
                     "array.");
  const int R = kernels_acceleration(count, shape.Z);
  // Kernels of an accelerated calibration (their widest spacing 2R) on other slices.
  int widest = 0;
  for (int k = 0; k < count; ++k) widest = std::max(widest, kernels[k].dk);
  const int fitted = widest / 2;
  if (R == 0 && fitted >= 2 && fitted <= kMaxAcceleration && count % kernels_per_slice(fitted) == 0)
    return set_error(status, ErrorKind::kValue, "slices",
                     "The kernels are for %d slices (%d each, for R = %d) but the volume has %d "
                     "(its third extent); the kernels must come from a call on the same slices.",
                     count / kernels_per_slice(fitted), kernels_per_slice(fitted), fitted, shape.Z);
  if (R == 0)
    return set_error(status, ErrorKind::kValue, "slices",
                     "The kernels are for %d slices but the volume has %d "
                     "(its third extent); the kernels must come from a call on the same slices.",
                     count, shape.Z);
  if (check_kernels(kernels, count, R, shape.L, status) != 0) return -1;
  const int P = kernels_per_slice(R);
  const std::int64_t rows = kernel_rows(shape.L);
  PolarityPattern patterns[kernels_per_slice(kMaxAcceleration)];
  polarity_patterns(R, patterns);

  // One kernel set per slice as the estimation makes it; the scratch volumes come with the
  // frame's extents (now, or with the first frame applied).
  const long failures = alloc_failures();
  out->impl_.reset(new (std::nothrow) Calibration::Impl);
  CorrectionContext* table = out->impl_ ? &out->impl_->context : nullptr;
  if (table) {
    table->slices = alloc_array<SliceKernelSet*>(shape.Z, true);
    table->slice_count = table->slices ? shape.Z : 0;
  }
  const int spacings = 2 * R - 1;
  bool complete = table && table->slices;
  for (int z = 0; z < shape.Z && complete; ++z) {
    CorrectionContext& context = *table;
    SliceKernelSet*& set = context.slices[z];
    set = alloc_array<SliceKernelSet>(1, true);
    if (!set) break;
    set->readout_width = kKernelReadoutWidth;
    if (R > 1) {
      set->bounded = 1;
      set->polarity_R = R;
      set->polarity = alloc_array<KernelPattern>(P, true);
      set->polarity_count = set->polarity ? P : 0;
      complete = set->polarity != nullptr;
      for (int p = 0; p < P && complete; ++p) {
        KernelPattern& record = set->polarity[p];
        record.text = alloc_array<char>(24, true);
        const std::int64_t n =
            std::int64_t{kKernelReadoutWidth} * patterns[p].S * shape.L * shape.L;
        record.coefficients = alloc_array<dcomplex>(n);
        complete = record.text && record.coefficients;
        if (!complete) break;
        polarity_pattern_text(patterns[p], record.text);
        kernels[P * z + p].copy_to(record.coefficients);
      }
      continue;
    }
    set->spacing_count = spacings;
    set->source_lines = kKernelSourceLines;
    set->readout_width = kKernelReadoutWidth;
    set->spacings = alloc_array<std::int32_t>(spacings);
    set->patterns = alloc_array<KernelPattern*>(spacings, true);
    if (!set->spacings || !set->patterns) break;
    // Spacing j's dk - 1 patterns, their coefficients from kernels p + P z in order.
    for (int j = 0, index = P * z; j < spacings && complete; ++j) {
      const int dk = 2 + j;
      set->spacings[j] = dk;
      set->patterns[j] = alloc_array<KernelPattern>(dk - 1, true);
      complete = set->patterns[j] && build_patterns(set->patterns[j], dk, kKernelSourceLines) == 0;
      for (int p = 0; p < dk - 1 && complete; ++p, ++index) {
        dcomplex* w = alloc_array<dcomplex>(rows * shape.L);
        complete = w != nullptr;
        if (w) kernels[index].copy_to(w);
        set->patterns[j][p].coefficients = w;
      }
    }
  }
  if (!complete || alloc_failures() != failures) {
    out->reset();
    return set_error(status, ErrorKind::kMemory, "memory",
                     "Out of memory: the kernels do not fit.");
  }
  table->spacing_count = R > 1 ? 0 : spacings;
  table->bounded = R > 1 ? 1 : 0;
  out->shape_ = shape;
  out->R_ = R;
  if (!unknown_frame &&
      run_step(status, "context_create", [&] { return out->fit_frames(shape.M, shape.N); }) != 0) {
    out->reset();
    return -1;
  }
  return 0;
}

namespace {

// The synthesis's work space could not be had.
int synthesis_memory(Status* status) {
  std::snprintf(status->step, sizeof status->step, "synthesize_volume");
  return set_error(status, ErrorKind::kMemory, "memory",
                   "Out of memory in synthesize_volume: the call needs more memory than is "
                   "available.");
}

// acquired[l] <- 1 for every line l of the frame with a nonzero sample in any slice or coil.
void detect_lines(const ComplexVolume& target, unsigned char* acquired) {
  const VolumeShape f = shape_of(target);
  const dcomplex* d = static_cast<const dcomplex*>(target.data);
  for (std::int64_t frame = 0; frame < std::int64_t{f.Z} * f.L; ++frame)
    for (int l = 0; l < f.N; ++l) {
      if (acquired[l]) continue;
      const dcomplex* line = d + frame * f.frame_elements() + std::int64_t{l} * f.M;
      for (int m = 0; m < f.M; ++m)
        if (line[m].re != 0.0 || line[m].im != 0.0) {
          acquired[l] = 1;
          break;
        }
    }
}

// The acquired lines of a frame of N lines, ascending, into lines[0 .. *count - 1] (room for
// N): the given ones (checked), or those detect_lines finds in a "dblc" frame (every line of
// another). 0, or -1 with *status ("lines").
int acquired_lines(const ComplexVolume& target, const AcquiredLines& given, int* lines, int* count,
                   Status* status) {
  const int N = target.dims[1];
  *count = 0;
  if (given.lines) {
    for (int i = 0; i < given.count; ++i) {
      const int l = given.lines[i];
      if (l < 0 || l >= N || (i > 0 && l <= given.lines[i - 1]))
        return set_error(status, ErrorKind::kValue, "lines",
                         "The acquired lines must be ascending line numbers of the frame's %d "
                         "lines, each once.",
                         N);
      lines[(*count)++] = l;
    }
    return 0;
  }
  buffer<unsigned char> acquired(alloc_array<unsigned char>(N, true));
  if (!acquired) return synthesis_memory(status);
  if (std::memcmp(target.tag, "dblc", 5) == 0)
    detect_lines(target, acquired.get());
  else
    std::memset(acquired.get(), 1, static_cast<std::size_t>(N));
  for (int l = 0; l < N; ++l)
    if (acquired[l]) lines[(*count)++] = l;
  return 0;
}

}  // namespace

int apply(Calibration* calibration, const ComplexVolume& target, ComplexVolume* E, Status* status,
          const AcquiredLines& given) {
  *status = {};
  const VolumeShape shape = calibration->shape();
  if (shape.Z < 1)
    return set_error(status, ErrorKind::kValue, "kernels", "The calibration holds no kernels.");
  const VolumeShape frame = shape_of(target);
  if (!is_four_extent(target) || !frame_fits(frame, shape))
    return frame_mismatch(status, {target.dims[0], target.dims[1], target.dims[2], target.dims[3]},
                          shape);
  if (!E->data)
    return set_error(status, ErrorKind::kValue, "output", "No room for the output volume.");
  buffer<int> lines(alloc_array<int>(frame.N));
  int count = 0;
  if (!lines) return synthesis_memory(status);
  if (acquired_lines(target, given, lines.get(), &count, status) != 0) return -1;
  // Every line (or, in a frame of zeros, none): the two parity halves. Otherwise the halves of
  // alternating polarity: acquired lines 1, 3, ... first, then 0, 2, ... (counted in order).
  const bool every = count == frame.N || count == 0;
  const int R = calibration->acceleration();
  buffer<int> halves_lines;
  LineHalves halves;
  if (!every) {
    if (count < 2)
      return set_error(status, ErrorKind::kValue, "lines",
                       "The frame has 1 acquired line; at least 2 are needed.");
    int gap = 0;
    for (int i = 1; i < count; ++i) gap = std::max(gap, lines[i] - lines[i - 1]);
    if (gap > kMaxAcceleration)
      return set_error(status, ErrorKind::kValue, "lines",
                       "The frame's acquired lines are up to %d apart; the kernels serve lines at "
                       "most %d apart (R = %d), and no calibration serves more than %d.",
                       gap, R, R, kMaxAcceleration);
    if (gap > R)
      return set_error(status, ErrorKind::kValue, "lines",
                       "The frame's acquired lines are up to %d apart; the kernels serve lines at "
                       "most %d apart (R = %d). Calibrate for R = %d.",
                       gap, R, R, gap);
    halves_lines.reset(alloc_array<int>(count));
    if (!halves_lines) return synthesis_memory(status);
    int* h = halves_lines.get();
    halves = {.first = h,
              .first_count = count / 2,
              .second = h + count / 2,
              .second_count = (count + 1) / 2};
    for (int i = 0; i < count; ++i) h[i % 2 == 1 ? i / 2 : count / 2 + i / 2] = lines[i];
  }
  if (calibration->fit_frames(frame.M, frame.N) != 0) return synthesis_memory(status);
  // Kernels given without the frame's extents take those of the first frame.
  if (shape.M == 0) calibration->shape_.M = frame.M, calibration->shape_.N = frame.N;
  set_output_record(frame, E);
  return run_step(status, "synthesize_volume", [&] {
    return synthesize_volume(&target, E, &calibration->impl_->context, every ? nullptr : &halves);
  });
}

int apply_frames(Calibration* calibration, const VolumeShape& frame, std::int64_t frames,
                 const FrameReader& read, const FrameWriter& write, Status* status,
                 const SeriesPause& pause, const AcquiredLines& lines, const FrameRoom& room,
                 const FrameSource& source) {
  *status = {};
  const VolumeShape shape = calibration->shape();
  if (shape.Z < 1)
    return set_error(status, ErrorKind::kValue, "kernels", "The calibration holds no kernels.");
  if (!frame_fits(frame, shape)) return frame_mismatch(status, frame, shape);
  if (frames <= 0) return 0;
  // Kernels given without the frame's extents take those of the series' frames.
  if (shape.M == 0) calibration->shape_.M = frame.M, calibration->shape_.N = frame.N;
  // Frames side by side, each on its share of the threads: one frame does not keep many
  // threads busy (its slices run one after the other). Each further frame worker needs its
  // own calibration (scratch volumes) that borrows these kernels (an accelerated calibration's
  // can be several volumes); when one cannot be had, fewer frames run at once.
  const int threads = thread_count();
  const int wanted = static_cast<int>(
      std::min<std::int64_t>({frames, static_cast<std::int64_t>(threads), kMaxFrameWorkers}));
  std::vector<std::unique_ptr<Calibration>> own;
  std::vector<Calibration*> calibrations = {calibration};
  // One frame buffer per worker: a frame is corrected in place (the synthesis reads each slice
  // before it writes it). With room from the caller, a worker takes its buffer only for a frame
  // the caller has none for.
  std::vector<buffer<dcomplex>> in;
  for (int w = 0; w < wanted; ++w) {
    if (w > 0) {
      auto extra = std::make_unique<Calibration>();
      if (extra->borrow(*calibration, frame) != 0) break;
      own.push_back(std::move(extra));
      calibrations.push_back(own.back().get());
    }
    in.emplace_back(room ? nullptr : alloc_array<dcomplex>(frame.elements()));
    if (!room && !in.back()) {
      in.pop_back();
      if (w > 0) calibrations.pop_back();
      break;
    }
  }
  auto no_room = [&](Status* s) {
    tarvo::report(" could not alloc series frame array\n");
    return set_error(s, ErrorKind::kMemory, "memory",
                     "Out of memory: a frame of the series does not fit.");
  };
  const int workers = static_cast<int>(in.size());
  if (workers == 0) return no_room(status);
  const int share = std::max(1, threads / workers);
  std::vector<Status> statuses(static_cast<std::size_t>(workers));
  bool failed = false;
  // Frames first .. first+count-1, side by side; worker w on its own calibration and frames.
  auto correct_frames = [&](std::int64_t first, std::int64_t count) {
    failed = parallel_for(count, workers, [&](std::int64_t i, int w) {
               const std::int64_t t = first + i;
               const ThreadCountScope scope(share);
               Status& s = statuses[w];
               dcomplex* at = room ? room(t) : in[w].get();
               if (!at) {
                 if (!in[w]) in[w].reset(alloc_array<dcomplex>(frame.elements()));
                 if (!in[w]) return no_room(&s);
                 at = in[w].get();
               }
               const dcomplex* values = source ? source(t) : nullptr;
               if (!values) {
                 if (read(t, at) != 0)
                   return set_error(&s, ErrorKind::kFailed, "read",
                                    "Frame %lld of the series could not be read.",
                                    static_cast<long long>(t + 1));
                 values = at;
               }
               ComplexVolume result = make_volume(frame, at);
               if (apply(calibrations[w], make_volume(frame, const_cast<dcomplex*>(values)),
                         &result, &s, lines) != 0)
                 return -1;
               if (write(t, at) != 0)
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
  if (calibration->fit_frames(shape.M, shape.N) != 0) return synthesis_memory(status);
  set_output_record(shape, F);
  CorrectionContext& context = calibration->impl_->context;
  if (run_step(status, "synthesize_volume",
               [&] { return synthesize_volume(calibration->even_, F, &context); }) != 0)
    return -1;
  // The alignment turns both stacks: each frame of E is aligned in a copy, in the frame of
  // scratch of the worker that takes it (the copy is left without the constant part's turn,
  // which only F keeps). Frames are independent jobs, so the bits are those of aligning a copy
  // of the whole of E.
  const std::int64_t MN = std::int64_t{shape.M} * shape.N;
  const std::int64_t frames = std::int64_t{shape.Z} * shape.L;
  const int workers = worker_count(frames, thread_count());
  buffer<dcomplex> copies(alloc_array<dcomplex>(MN * workers));
  if (!copies) return synthesis_memory(status);
  const dcomplex* e = static_cast<const dcomplex*>(E.data);
  dcomplex* f = static_cast<dcomplex*>(F->data);
  return run_step(status, "align_phase", [&] {
    AlignWorkspace align = {};
    if (align_workspace_create(shape.M, shape.N, workers, &align, "align_phase") != 0) return -1;
    const AlignWorkspaceRelease release{&align};
    return parallel_for(frames, workers, [&](std::int64_t j, int w) {
      dcomplex* copy = copies.get() + w * MN;
      std::memcpy(copy, e + j * MN, static_cast<std::size_t>(MN) * sizeof(dcomplex));
      dcomplex turns[2];
      if (align_frame_pair(copy, f + j * MN, shape.M, shape.N, &align, w, turns) != 0) return -1;
      turn_with(simd_best(), f + j * MN, MN, turns[1]);
      return 0;
    });
  });
}

int correct(const ComplexVolume& even, const ComplexVolume& odd, const ComplexVolume* target,
            ComplexVolume* E, ComplexVolume* F, Calibration* calibration, Status* status) {
  if (calibrate(even, odd, calibration, status) != 0) return -1;
  // The target is a full frame: every line acquired, a line of zeros included.
  const int N = calibration->shape().N;
  buffer<int> every(alloc_array<int>(N));
  if (!every) return synthesis_memory(status);
  for (int l = 0; l < N; ++l) every[l] = l;
  if (apply(calibration, target ? *target : odd, E, status, {every.get(), N}) != 0) return -1;
  return F ? corrected_even(calibration, *E, F, status) : 0;
}

}  // namespace tarvo
