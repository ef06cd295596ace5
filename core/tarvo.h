// The correction as one API: the only way the bindings (MEX functions, Python), the benchmarks
// and the tests run it. The steps of core/core.h run inside it.
//
//   Calibration cal;
//   calibrate(even, odd, &cal, &status);         // interleave the pair, fit one kernel per slice
//   apply(&cal, target, &E, &status);            // ghost-corrected coil images of one frame
//   corrected_even(&cal, E, &F, &status);        // the even frame, aligned against E
//   correct(even, odd, target, &E, &F, &cal, &status);   // all three: today's whole call
//
// A calibration made from the kernels a call returned (calibration_from_kernels) gives the same
// E bit for bit as the calibration that fitted them.
//
// Volumes are ComplexVolume records ("dblc", ndims 4: M readout samples x N lines x Z slices x
// L coils, column-major). Output records are set up by the caller with room for M*N*Z*L
// elements; their extents and tag are written here.
//
// Errors: every function returns 0, or -1 with *status (the record of linalg/error.h: its
// kind, what failed, the failed step and a message for the user); the inner steps report their
// own lines through tarvo::report (linalg/report.h: the standard error stream, or the
// ReportCapture of the calling thread). Nothing here ends the process, and a failed call
// leaves its outputs' contents unspecified and owns nothing more than before.
//
// Concurrency: different Calibration objects may be used from different threads at once; one
// Calibration serves one call at a time (apply rewrites its scratch volumes). A call runs on
// tarvo::thread_count() threads; a ThreadCountScope (linalg/parallel.h) around it sets that
// count for the calling thread alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/volume.h"
#include "linalg/error.h"
#include "linalg/linalg.h"
#include "linalg/parallel.h"

namespace tarvo {

// The extents of a volume: M readout samples, N lines, Z slices, L coils.
struct VolumeShape {
  int M = 0, N = 0, Z = 0, L = 0;
  std::int64_t frame_elements() const { return static_cast<std::int64_t>(M) * N; }
  std::int64_t elements() const { return frame_elements() * Z * L; }
  bool operator==(const VolumeShape&) const = default;
};

// The shape of a four-extent volume record.
VolumeShape shape_of(const ComplexVolume& volume);

// A "dblc" four-extent record of `shape` over `data` (borrowed; room for shape.elements()).
ComplexVolume make_volume(const VolumeShape& shape, void* data);

// The largest extent, and element count of a frame, that the module's 32-bit records hold.
inline constexpr std::int64_t kMaxCount = 2147483647;

// How a binding reads the extents of an input array (column-major, missing extents count as
// 1): kSlices folds those between the second and the last into Z (M x N x L is M x N x 1 x L);
// kSeries takes the first four as one frame and counts frames over the rest.
enum class Fold { kSlices, kSeries };

// The folded extents, each saturating at kMaxCount + 1 (a negative extent counts as that too).
struct FoldedExtents {
  std::int64_t M = 1, N = 1, Z = 1, L = 1;
  std::int64_t frames = 1;    // kSeries only: exact (saturating at 2^63 - 1)
  std::int64_t elements = 1;  // M*N*Z*L, saturating at kMaxCount + 1
  bool empty() const { return elements == 0; }
  bool fits() const {
    return elements <= kMaxCount && M <= kMaxCount && N <= kMaxCount && Z <= kMaxCount &&
           L <= kMaxCount;
  }
  // The frame as the core takes it; meaningful when fits().
  VolumeShape frame() const {
    return {.M = static_cast<int>(M),
            .N = static_cast<int>(N),
            .Z = static_cast<int>(Z),
            .L = static_cast<int>(L)};
  }
};
FoldedExtents fold_extents(const std::int64_t* extents, int n, Fold fold);

// The kernels this module fits. Without acceleration (R = 1): one per slice, S = 2 source
// lines dk = 2 apart and 5 readout samples predicting the line between them ('*x*'). A
// calibration for acceleration R (2 .. kMaxAcceleration) fits, per slice, 2 R (R + 5) kernels
// that complete the k-space of each readout polarity from the acquired lines of both: each
// predicts a line from S = 2 .. 5 acquired lines around it (5 readout samples x L coils each,
// each line with weights for the polarity it was read with), its pattern text saying which
// (see Calibration::kernel), its dk twice the widest gap between its lines.
inline constexpr int kKernelSpacing = 2;
inline constexpr int kKernelSourceLines = 2;
inline constexpr int kKernelReadoutWidth = 5;
inline constexpr const char* kKernelPattern = "*x*";
inline constexpr int kMaxAcceleration = 4;
// Rows of a slice's coefficient matrix for L coils without acceleration (its columns: L); a
// kernel of S source lines has kKernelReadoutWidth * S * L.
inline std::int64_t kernel_rows(int L) {
  return std::int64_t{kKernelReadoutWidth} * kKernelSourceLines * L;
}
// Kernels per slice of a calibration for acceleration R: 1, 28, 48, 72.
inline constexpr int kernels_per_slice(int R) {
  return R == 1 ? 1 : 2 * R * (R + 5);
}

// One slice's kernel, as output 3 of the module holds it: coefficient (r, c) of the
// kernel_rows(L) x L column-major matrix is re[(r + rows*c) * step] + i im[(r + rows*c) *
// step], so split (step 1) and interleaved (step 2) complex storage both serve.
struct KernelView {
  int dk = 0;                     // line spacing
  const char* pattern = nullptr;  // NUL-terminated pattern text (borrowed)
  const double* re = nullptr;     // borrowed
  const double* im = nullptr;     // borrowed
  std::int64_t rows = 0, cols = 0;
  std::int64_t step = 1;
  // Coefficient i = r + rows*c of the column-major matrix.
  dcomplex coefficient(std::int64_t i) const { return {re[i * step], im[i * step]}; }
  // All rows*cols coefficients into out, column-major.
  void copy_to(dcomplex* out) const {
    for (std::int64_t i = 0; i < rows * cols; ++i) out[i] = coefficient(i);
  }
};

// What went wrong: the record of linalg/error.h. Status::what names the input at fault
// ("even", "odd", "target", "slices", "dk", "pattern", "coef", "kernels", "output", "R",
// "lines"; kind kValue), "memory" (kMemory), "read"/"write" or the failed step (kFailed), or
// "stopped" (kStopped); Status::step the step of the correction that failed, when one did.
using Status = Error;

// How a calibration is fitted.
struct CalibrationOptions {
  // The acceleration of the frames to correct (1 .. kMaxAcceleration): the kernels serve
  // acquired lines up to R apart. R = 1 is the fit of the whole call, bit for bit. For R >= 2
  // the pair may be a central block of the target's lines: no training equation crosses its
  // first or last line, every fit is regularised, and one with fewer than
  // kMinEquationsPerUnknown equations per unknown trains on the whole readout instead of its
  // central quarter.
  int R = 1;
};

// The fits for R >= 2 are regularised: kRidge * trace(A^H A) / K is added to the diagonal of
// the K x K normal matrix (a trade between the exactness of the fill on noiseless data and the
// amplification of noise), and solved by a Cholesky factorisation. Below
// kMinEquationsPerUnknown training equations per unknown, a fit trains on the whole readout.
inline constexpr int kMinEquationsPerUnknown = 3;
inline constexpr double kRidge = 1e-5;

// How one kernel was fitted (for a verbose report; nothing is printed).
struct FitRecord {
  std::int64_t equations = 0;  // training positions (rows of A), per target coil
  std::int64_t unknowns = 0;   // K, per target coil
  bool whole_readout = false;  // trained on every readout sample, not the central quarter
  double ridge = 0.0;          // the value added to the normal matrix's diagonal (0: none)
};

// The acquired lines of the frames apply() corrects: `count` line numbers from 0, ascending.
// With none given (lines null), each frame's acquired lines are those with any nonzero sample
// in any slice or coil.
struct AcquiredLines {
  const int* lines = nullptr;
  int count = 0;
};

// The callbacks of a series (apply_frames).
using FrameReader = std::function<int(std::int64_t frame, dcomplex* in)>;
using FrameWriter = std::function<int(std::int64_t frame, const dcomplex* out)>;
using SeriesPause = std::function<int(std::int64_t done)>;
// Where frame t of a series may be corrected: storage of the caller's for frame.elements()
// values (its own place for the result, say), or null for a frame buffer of the series' own.
using FrameRoom = std::function<dcomplex*(std::int64_t frame)>;
// Frame t of a series where its values already are (frame.elements() of them, left as they are),
// or null to have them read.
using FrameSource = std::function<const dcomplex*(std::int64_t frame)>;

class Calibration {
 public:
  Calibration();
  ~Calibration();
  Calibration(const Calibration&) = delete;
  Calibration& operator=(const Calibration&) = delete;

  // The extents the kernels were made for (all 0 before a calibration): M, Z and L of every
  // frame to correct. N is the pair's (or, from kernels, the given shape's); frames may have
  // any number of lines. From kernels given without M and N, both stay 0 until the first frame
  // applied sets them.
  const VolumeShape& shape() const { return shape_; }
  // The acceleration the kernels serve, and their number per slice (kernels_per_slice(R)).
  int acceleration() const { return R_; }
  int kernel_count() const { return kernels_per_slice(R_) * shape_.Z; }
  // Kernel p of slice z at index p + kernels_per_slice(R) * z (0 <= index < kernel_count()).
  // For R >= 2 the kernels complete the positive k-space (the lines read with the polarity of
  // the first acquired line of a frame, which is that of the first line of the calibration's
  // even frame), then the negative one, each from more source lines to fewer; a line takes the
  // first kernel whose source lines were all acquired. A pattern text is the half it completes
  // ('+' or '-'), ':', then a character per line from the lowest source to the highest: '+' or
  // '-' a source read with that polarity, '*' the target line itself read with the other
  // polarity, 'x' the target line otherwise, 'o' a line not used ("+:-o+o*o+o-": the line and
  // its neighbours 2 and 4 lines away). Its pointers stay valid while this lives.
  KernelView kernel(int index) const;
  // How kernel `index` was fitted (a default record for kernels given by calibration_from_kernels).
  FitRecord fit(int index) const;
  // True when made by calibrate() (fit() then reports each fit).
  bool fitted() const { return fitted_; }
  // True when made by calibrate() and the even frame is still borrowed (corrected_even can
  // then run).
  bool has_even() const { return even_ != nullptr; }
  // Gives up the borrowed even frame (for a caller whose frame is gone before the calibration
  // is): corrected_even then refuses to run, as on a calibration made from kernels.
  void release_even() { even_ = nullptr; }

 private:
  friend int calibrate(const ComplexVolume&, const ComplexVolume&, const CalibrationOptions&,
                       Calibration*, Status*);
  friend int calibration_from_kernels(const KernelView*, int, VolumeShape, Calibration*, Status*);
  friend int borrow_kernels(const Calibration&, Calibration*, Status*);
  friend int apply(Calibration*, const ComplexVolume&, ComplexVolume*, Status*,
                   const AcquiredLines&);
  friend int corrected_even(Calibration*, const ComplexVolume&, ComplexVolume*, Status*);
  friend int apply_frames(Calibration*, const VolumeShape&, std::int64_t, const FrameReader&,
                          const FrameWriter&, Status*, const SeriesPause&, const AcquiredLines&,
                          const FrameRoom&, const FrameSource&);
  // The correction context (FFTs, scratch volumes, kernel sets), of core/core.h.
  struct Impl;
  void reset();
  // Scratch volumes for frames of M x N (the kernels kept); 0, or -1 when they cannot be had.
  int fit_frames(int M, int N);
  // *this <- a calibration for frames of `frame` with scratch volumes of its own (made with the
  // first frame applied when frame.M and frame.N are 0) and the lender's kernel sets, which it
  // reads but does not own (the lender outlives it, unchanged); 0, or -1 when the scratch cannot
  // be had (*this then empty).
  int borrow(const Calibration& lender, const VolumeShape& frame);

  VolumeShape shape_;
  VolumeShape frame_;  // the extents the scratch volumes are for
  int R_ = 1;
  std::unique_ptr<Impl> impl_;           // owned; null before a calibration
  const ComplexVolume* even_ = nullptr;  // borrowed: the even frame of calibrate()
  bool fitted_ = false;
};

// Fits the kernels of every slice of the pair (same extents, "dblc" or "fltc"). `even` is
// borrowed until the last corrected_even call. *out is replaced. Errors beyond the inputs':
// Status::what "R" (options.R outside 1 .. kMaxAcceleration) and "lines" (for R >= 2 a pair of
// fewer than 2R + 1 lines). A kernel wider than the pair (they span up to 4R + 1 lines), or
// of more than 2 source lines with fewer than 2 training equations per unknown even on the
// whole readout, is left out: its coefficients are zero, and a kernel of zeros is not applied
// (the narrower kernels serve its lines).
int calibrate(const ComplexVolume& even, const ComplexVolume& odd,
              const CalibrationOptions& options, Calibration* out, Status* status);
inline int calibrate(const ComplexVolume& even, const ComplexVolume& odd, Calibration* out,
                     Status* status) {
  return calibrate(even, odd, CalibrationOptions{}, out, status);
}

// The acceleration of `count` kernels of Z slices: R when count == kernels_per_slice(R) * Z for
// R in 1 .. kMaxAcceleration, else 0.
int kernels_acceleration(int count, int Z);

// 0 when the `count` kernels are, slice after slice, the kernels a calibration for acceleration
// R fits for L coils (in Calibration::kernel's order: their dk and pattern texts, and
// kernel_rows(L) x L coef matrices); else -1 with *status naming the first fault ("dk",
// "pattern" or "coef"). The extents M, N and Z play no part beyond count.
int check_kernels(const KernelView* kernels, int count, int R, int L, Status* status);
inline int check_kernels(const KernelView* kernels, int count, int L, Status* status) {
  return check_kernels(kernels, count, 1, L, status);
}

// A calibration holding a copy of the given kernels of `shape.Z` slices, for volumes of
// `shape`: count == kernels_per_slice(R) * shape.Z for the R it was fitted for (else
// "slices"), and the kernels as check_kernels takes them. shape.M and shape.N may both be 0
// (not yet known): the first frame applied then sets them, and its scratch volumes are made
// there. *out is replaced.
int calibration_from_kernels(const KernelView* kernels, int count, VolumeShape shape,
                             Calibration* out, Status* status);

// *out <- a calibration that corrects frames with the kernels of `lender` (of calibrate or
// calibration_from_kernels), borrowing them: no copy is made, so `lender` must outlive it and
// must not be replaced meanwhile. Its scratch volumes are its own, so it and the lender (or
// another borrower) may run calls side by side, with the lender's bits. Its frame extents are
// the lender's, or come with its own first frame when the lender has none yet. Errors:
// "kernels" (a lender that holds none) and "memory"; *out is then empty.
int borrow_kernels(const Calibration& lender, Calibration* out, Status* status);

// E <- the ghost-corrected coil images of one frame `target` (M, Z and L of the calibration's
// shape, any N), its missing lines filled in. The readout polarity alternates from one acquired
// line to the next. Without acceleration (R = 1) each polarity's lines are completed with the
// kernels; with R >= 2 the k-space of each polarity is completed from the acquired lines of
// both (the first acquired line read with the polarity of the first line of the calibration's
// even frame). The two images are phase-aligned and averaged. Lines no kernel reaches (beyond a
// partial-Fourier edge) stay zero in k-space. With R = 1 kernels and every line acquired, the
// result is bit for bit the whole call's E.
// Status::what "lines": fewer than 2 acquired lines, given lines not ascending within
// 0 .. N-1, or two consecutive acquired lines further apart than the calibration's R.
int apply(Calibration* calibration, const ComplexVolume& target, ComplexVolume* E, Status* status,
          const AcquiredLines& lines = {});

// A series of frames of extents `frame` (M, Z and L those of shape(): else -1, Status::what
// "target", as apply): for t = 0 .. frames-1, read(t, in) fills `in` (frame.elements()
// values, the frame's M x N x Z x L column-major), then write(t, out) takes its ghost-corrected
// images (each bit for bit what apply gives on that frame with `lines`, on every thread count). Up
// to 4 frames are corrected at once, each on its share of the threads, so read and write may run on
// several threads at once for different frames (each frame's read before its write); they return 0
// to go on (else the series stops: Status::what "read"/"write"). The scratch is, per frame
// corrected at once, two frames and a calibration's scratch volumes, whatever the length of
// the series.
//
// With a `pause`, the frames run in rounds (as many frames as run at once); after each round,
// on the calling thread and with no frame running, pause(done) is called with the count of
// frames written so far, and a non-zero answer stops the series (Status::what "stopped").
//
// With `room`, frame t is read into, corrected in and written from room(t) when that is not
// null (write(t, out) then sees out == room(t)), which spares the frame buffer, its copy and
// its first touch of fresh memory; the scratch is then one frame less per frame at once. With
// `source`, a frame for which source(t) is not null is corrected from there (and not read).
int apply_frames(Calibration* calibration, const VolumeShape& frame, std::int64_t frames,
                 const FrameReader& read, const FrameWriter& write, Status* status,
                 const SeriesPause& pause = {}, const AcquiredLines& lines = {},
                 const FrameRoom& room = {}, const FrameSource& source = {});

// F <- the even frame corrected as apply does, then phase-aligned against E (the result of
// apply; E itself is left as it is).
int corrected_even(Calibration* calibration, const ComplexVolume& E, ComplexVolume* F,
                   Status* status);

// The whole correction: calibrate(even, odd), E = apply(target, or odd when target is null) with
// every line acquired (a line of zeros included), and, when F is not null, F = corrected_even.
int correct(const ComplexVolume& even, const ComplexVolume& odd, const ComplexVolume* target,
            ComplexVolume* E, ComplexVolume* F, Calibration* calibration, Status* status);

}  // namespace tarvo
