// The entry point of tarvo_apply:
//   E = tarvo_apply(K, target)
//   E = tarvo_apply(K, target, 'Lines', lines)
// K: the kernels' struct array (fields dk, pattern, coef) that tarvo returns as output 3
// (1 x Z) or tarvo_calibrate returns (P x Z for acceleration R, P = kernels_per_slice(R)), as
// returned or loaded back from a file; the core tells R from numel(K) and the target's Z. target:
// complex double M x N x Z x L, or M x N x Z x L x T x ... (every extent after the fourth counts
// frames; missing extents are 1), each frame zero-filled: its unacquired lines are zero.
// lines: the acquired lines of every frame, 1-based and ascending (else each frame's lines
// with any nonzero sample). E: the ghost-corrected coil images of every frame with the missing
// lines filled in, the target's extents; with every line acquired, frame t of E is bit for bit
// the E of tarvo(even, odd, frame t) with the call that returned K.
//
// Errors are MATLAB errors with identifiers tarvo:apply:<what>, raised after the call has
// released everything it took; no output is assigned then.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "core/tarvo.h"
#include "gateway/mex_api.h"
#include "gateway/mex_error.h"
#include "gateway/mex_inputs.h"
#include "gateway/owned.h"
#include "linalg/memory.h"

#ifndef TARVO_APPLY_ENTRY
#define TARVO_APPLY_ENTRY mexFunction
#endif

namespace {

using tarvo::kMaxCount;

// The kernels of K as views of its fields; `zeros` backs the imaginary part of a coef that the
// host stored as real (all-zero imaginary parts are dropped by MATLAB).
struct Kernels {
  std::vector<tarvo::KernelView> views;
  std::vector<OwnedText> patterns;
  std::vector<tarvo::buffer<double>> zeros;
};

// Reads K's fields; their values (spacing, pattern, extents against the target) are checked by
// the core when it builds the calibration.
bool read_kernels(const mxArray* K, int L, Kernels* out, tarvo::Error* error) {
  if (mxGetClassID(K) != mxSTRUCT_CLASS)
    return fail(error, "notStruct",
                "K must be the kernels' struct array that tarvo (output 3) or tarvo_calibrate "
                "returns (fields dk, pattern, coef); it is a %s array.",
                class_name(K));
  const char* names[3] = {"dk", "pattern", "coef"};
  int field[3];
  for (int f = 0; f < 3; ++f) {
    field[f] = mxGetFieldNumber(K, names[f]);
    if (field[f] < 0)
      return fail(error, "missingField",
                  "K has no field '%s': it must be the kernels' struct array that tarvo (output "
                  "3) or tarvo_calibrate returns (fields dk, pattern, coef).",
                  names[f]);
  }
  const std::size_t count = mxGetNumberOfElements(K);
  if (count < 1 || count > static_cast<std::size_t>(kMaxCount))
    return fail(error, "slices",
                "K holds %lld kernels; it must hold the kernels of every slice (1 or more).",
                static_cast<long long>(count));
  const int kernels = static_cast<int>(count);  // in K's linear order, p + P*z
  const std::int64_t rows = tarvo::kernel_rows(L);
  out->views.resize(kernels);
  out->patterns.resize(kernels);
  for (int index = 0; index < kernels; ++index) {
    const mxArray* dk = mxGetFieldByNumber_700(K, index, field[0]);
    const mxArray* pattern = mxGetFieldByNumber_700(K, index, field[1]);
    const mxArray* coef = mxGetFieldByNumber_700(K, index, field[2]);
    if (!dk || !mxIsDouble(dk) || mxIsComplex(dk) || mxGetNumberOfElements(dk) != 1)
      return fail(error, "dk", "K(%d).dk must be a real double scalar (the kernel's line spacing).",
                  index + 1);
    if (!pattern || mxGetClassID(pattern) != mxCHAR_CLASS)
      return fail(error, "pattern", "K(%d).pattern must be char (the kernel's pattern text).",
                  index + 1);
    if (!coef || !mxIsDouble(coef))
      return fail(error, "coef",
                  "K(%d).coef must be a complex double matrix of %lld x %d values for a target "
                  "of %d coils; it is %s.",
                  index + 1, static_cast<long long>(rows), L, L, coef ? class_name(coef) : "empty");
    // The extents are the core's to check against the target (a matrix of 5 S L x L for S source
    // lines).
    const int n = mxGetNumberOfDimensions_700(coef);
    const int* e = mxGetDimensions_700(coef);
    std::int64_t coef_rows = e && n >= 1 ? e[0] : 0, coef_cols = 1;
    for (int i = 1; e && i < n; ++i) coef_cols *= e[i];
    out->patterns[index].reset(mxArrayToString(pattern));
    if (!out->patterns[index]) throw std::bad_alloc();
    tarvo::KernelView& view = out->views[index];
    const double value = *mxGetPr(dk);
    view.dk = value == static_cast<int>(value) ? static_cast<int>(value) : -1;
    view.pattern = out->patterns[index].get();
    view.re = mxGetPr(coef);
    view.im = mxGetPi(coef);
    if (!view.im) {
      out->zeros.push_back(tarvo::make_buffer<double>(coef_rows * coef_cols, true));
      view.im = out->zeros.back().get();
    }
    view.rows = coef_rows;
    view.cols = coef_cols;
    view.step = 1;
  }
  return true;
}

// The target's frame extents and frame count (every extent after the fourth counts frames).
bool read_target(const mxArray* target, tarvo::FoldedExtents* out, tarvo::Error* error) {
  // (The host may drop the imaginary part of an empty array: that one is refused as empty.)
  if (!mxIsDouble(target) || (!mxIsComplex(target) && mxGetNumberOfElements(target) > 0))
    return fail(error, "target",
                "The target must be complex double k-space, M x N x Z x L [x T ...]; it is a %s "
                "array (complex(x) makes a real array complex).",
                class_name(target));
  const int n = mxGetNumberOfDimensions_700(target);
  const int* e = mxGetDimensions_700(target);
  if (n < 2 || !e)
    return fail(error, "tooLarge",
                "The target has an extent beyond 2147483647, the limit of the module's 32-bit "
                "interface.");
  const std::vector<std::int64_t> extents(e, e + n);
  *out = tarvo::fold_extents(extents.data(), n, tarvo::Fold::kSeries);
  // Every extent of a host array fits: only the element count of a frame can be too large.
  const tarvo::VolumeShape frame = out->frame();
  if (out->empty())
    return fail(error, "target",
                "The target's frames are empty (%d x %d x %d x %d); each must hold M x N x Z x L "
                "samples with every extent at least 1.",
                frame.M, frame.N, frame.Z, frame.L);
  if (!out->fits())
    return fail(error, "tooLarge",
                "A frame of the target holds %lld elements; the module's 32-bit interface takes "
                "at most 2147483647 per frame.",
                static_cast<long long>(frame.elements()));
  return true;
}

// E <- every frame of target corrected with the calibration's kernels (E has target's extents).
bool correct_series(tarvo::Calibration* calibration, const tarvo::FoldedExtents& folded,
                    const mxArray* target, const tarvo::AcquiredLines& lines, mxArray* E,
                    tarvo::Error* error) {
  const double* in_re = mxGetPr(target);
  const double* in_im = mxGetPi(target);
  double* out_re = mxGetPr(E);
  double* out_im = mxGetPi(E);
  const std::int64_t count = folded.elements;
  const auto read = [&](std::int64_t t, dcomplex* in) {
    const std::int64_t base = t * count;
    for (std::int64_t i = 0; i < count; ++i) in[i] = {in_re[base + i], in_im[base + i]};
    return 0;
  };
  const auto write = [&](std::int64_t t, const dcomplex* out) {
    const std::int64_t base = t * count;
    for (std::int64_t i = 0; i < count; ++i) {
      out_re[base + i] = out[i].re;
      out_im[base + i] = out[i].im;
    }
    return 0;
  };
  tarvo::Status status;
  if (tarvo::apply_frames(calibration, folded.frame(), folded.frames, read, write, &status, {},
                          lines) == 0)
    return true;
  if (status.kind != tarvo::ErrorKind::kFailed) return fail(error, status);
  return fail(error, tarvo::ErrorKind::kFailed, "failed",
              "The correction failed in %s (see the messages "
              "above); no output was assigned.",
              status.step[0] ? status.step : status.what);
}

// The value of option Lines: the acquired lines of every frame, 1-based and ascending within
// 1 .. N, as the core's 0-based line numbers.
bool read_lines(const mxArray* value, int N, std::vector<int>* out, tarvo::Error* error) {
  if (!mxIsDouble(value) || mxIsComplex(value))
    return fail(error, "lines",
                "Lines must be a real double vector of the acquired line numbers (1-based); it "
                "is a %s array.",
                class_name(value));
  const std::size_t count = mxGetNumberOfElements(value);
  if (count < 2)
    return fail(error, "lines",
                "Lines holds %lld line numbers; at least 2 acquired lines are needed.",
                static_cast<long long>(count));
  if (count > static_cast<std::size_t>(N))
    return fail(error, "lines", "Lines holds %lld line numbers; a frame has %d lines.",
                static_cast<long long>(count), N);
  const double* v = mxGetPr(value);
  out->resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!(v[i] >= 1 && v[i] <= N) || v[i] != std::floor(v[i]))
      return fail(error, "lines",
                  "Lines(%lld) is %g; line numbers are whole numbers from 1 to %d (the "
                  "target's second extent).",
                  static_cast<long long>(i + 1), v[i], N);
    if (i > 0 && v[i] <= v[i - 1])
      return fail(error, "lines",
                  "Lines(%lld) = %g does not follow Lines(%lld) = %g; the line numbers must be "
                  "strictly ascending.",
                  static_cast<long long>(i + 1), v[i], static_cast<long long>(i), v[i - 1]);
    (*out)[i] = static_cast<int>(v[i]) - 1;
  }
  return true;
}

bool run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], tarvo::Error* error) {
  if (nrhs < 2)
    return fail(error, "nargin",
                "tarvo_apply takes 2 inputs and options, E = tarvo_apply(K, target, 'Lines', "
                "lines); it was given %d.",
                nrhs);
  if (nlhs > 1)
    return fail(error, "nargout", "tarvo_apply returns 1 output, E; %d were requested.", nlhs);
  tarvo::FoldedExtents folded;
  if (!read_target(prhs[1], &folded, error)) return false;
  const tarvo::VolumeShape frame = folded.frame();
  const char* names[1] = {"Lines"};
  const mxArray* values[1] = {nullptr};
  if (!read_options("tarvo_apply", prhs + 2, nrhs - 2, 3, names, 1, values, error)) return false;
  std::vector<int> lines;
  if (values[0] && !read_lines(values[0], frame.N, &lines, error)) return false;

  Kernels kernels;
  if (!read_kernels(prhs[0], frame.L, &kernels, error)) return false;
  tarvo::Calibration calibration;
  tarvo::Status status;
  if (tarvo::calibration_from_kernels(kernels.views.data(), static_cast<int>(kernels.views.size()),
                                      frame, &calibration, &status) != 0)
    return fail(error, status);

  OwnedArray E(mxCreateNumericArray_700(mxGetNumberOfDimensions_700(prhs[1]),
                                        mxGetDimensions_700(prhs[1]), mxDOUBLE_CLASS, mxCOMPLEX));
  if (!E)
    return fail(error, tarvo::ErrorKind::kMemory, "memory",
                "Out of memory: the output array of %lld frames could not be created.",
                static_cast<long long>(folded.frames));
  const tarvo::AcquiredLines acquired{.lines = lines.empty() ? nullptr : lines.data(),
                                      .count = static_cast<int>(lines.size())};
  if (!correct_series(&calibration, folded, prhs[1], acquired, E.get(), error)) return false;
  plhs[0] = E.release();
  return true;
}

}  // namespace

void TARVO_APPLY_ENTRY(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  tarvo::Error error;
  run_guarded(&error, [&] { return run(nlhs, plhs, nrhs, prhs, &error); });
  raise_if_set("tarvo:apply", error);
}
