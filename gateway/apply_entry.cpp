// The entry point of tarvo_apply:
//   E = tarvo_apply(K, target)
// K: the 1 x Z struct array that tarvo returns as output 3 (fields dk, pattern, coef), as
// returned or loaded back from a file. target: complex double M x N x Z x L, or
// M x N x Z x L x T x ... (every extent after the fourth counts frames; missing extents are 1).
// E: the ghost-corrected coil images of every frame, the target's extents; frame t of E is bit
// for bit the E of tarvo(even, odd, frame t) with the call that returned K.
//
// Errors are MATLAB errors with identifiers tarvo:apply:<what>, raised after the call has
// released everything it took; no output is assigned then.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "core/tarvo.h"
#include "gateway/mex_api.h"
#include "gateway/mex_error.h"
#include "gateway/owned.h"
#include "linalg/memory.h"

#ifndef TARVO_APPLY_ENTRY
#define TARVO_APPLY_ENTRY mexFunction
#endif

namespace {

using tarvo::kMaxCount;

const char* class_name(const mxArray* a) {
  switch (mxGetClassID(a)) {
    case mxCELL_CLASS:
      return "cell";
    case mxSTRUCT_CLASS:
      return "struct";
    case mxLOGICAL_CLASS:
      return "logical";
    case mxCHAR_CLASS:
      return "char";
    case mxDOUBLE_CLASS:
      return mxIsComplex(a) ? "complex double" : "real double";
    case mxSINGLE_CLASS:
      return mxIsComplex(a) ? "complex single" : "real single";
    case mxINT8_CLASS:
      return "int8";
    case mxUINT8_CLASS:
      return "uint8";
    case mxINT16_CLASS:
      return "int16";
    case mxUINT16_CLASS:
      return "uint16";
    case mxINT32_CLASS:
      return "int32";
    case mxUINT32_CLASS:
      return "uint32";
    case mxINT64_CLASS:
      return "int64";
    case mxUINT64_CLASS:
      return "uint64";
    case mxFUNCTION_CLASS:
      return "function handle";
    default:
      return "unknown";
  }
}

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
                "K must be the struct array that tarvo returns as its third output (fields dk, "
                "pattern, coef); it is a %s array.",
                class_name(K));
  const char* names[3] = {"dk", "pattern", "coef"};
  int field[3];
  for (int f = 0; f < 3; ++f) {
    field[f] = mxGetFieldNumber(K, names[f]);
    if (field[f] < 0)
      return fail(error, "missingField",
                  "K has no field '%s': it must be the struct array that tarvo returns as its "
                  "third output (fields dk, pattern, coef).",
                  names[f]);
  }
  const std::size_t count = mxGetNumberOfElements(K);
  if (count < 1 || count > static_cast<std::size_t>(kMaxCount))
    return fail(error, "slices", "K holds %lld kernels; it must hold one per slice (1 or more).",
                static_cast<long long>(count));
  const int Z = static_cast<int>(count);
  const std::int64_t rows = tarvo::kernel_rows(L);
  out->views.resize(Z);
  out->patterns.resize(Z);
  for (int z = 0; z < Z; ++z) {
    const int index = z;
    const mxArray* dk = mxGetFieldByNumber_700(K, index, field[0]);
    const mxArray* pattern = mxGetFieldByNumber_700(K, index, field[1]);
    const mxArray* coef = mxGetFieldByNumber_700(K, index, field[2]);
    if (!dk || !mxIsDouble(dk) || mxIsComplex(dk) || mxGetNumberOfElements(dk) != 1)
      return fail(error, "dk",
                  "K(%d).dk must be a real double scalar (the line spacing tarvo returns, 2).",
                  z + 1);
    if (!pattern || mxGetClassID(pattern) != mxCHAR_CLASS)
      return fail(error, "pattern", "K(%d).pattern must be the char pattern tarvo returns ('*x*').",
                  z + 1);
    if (!coef || !mxIsDouble(coef))
      return fail(error, "coef",
                  "K(%d).coef must be a complex double matrix of %lld x %d values for a target "
                  "of %d coils; it is %s.",
                  z + 1, static_cast<long long>(rows), L, L, coef ? class_name(coef) : "empty");
    // The extents are the core's to check against the target (a matrix of 10 L x L).
    const int n = mxGetNumberOfDimensions_700(coef);
    const int* e = mxGetDimensions_700(coef);
    std::int64_t coef_rows = e && n >= 1 ? e[0] : 0, coef_cols = 1;
    for (int i = 1; e && i < n; ++i) coef_cols *= e[i];
    out->patterns[z].reset(mxArrayToString(pattern));
    if (!out->patterns[z]) throw std::bad_alloc();
    tarvo::KernelView& view = out->views[z];
    const double value = *mxGetPr(dk);
    view.dk = value == static_cast<int>(value) ? static_cast<int>(value) : -1;
    view.pattern = out->patterns[z].get();
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
  if (!mxIsDouble(target) || !mxIsComplex(target))
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
                    const mxArray* target, mxArray* E, tarvo::Error* error) {
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
  if (tarvo::apply_frames(calibration, folded.frame(), folded.frames, read, write, &status) == 0)
    return true;
  if (status.kind != tarvo::ErrorKind::kFailed) return fail(error, status);
  return fail(error, tarvo::ErrorKind::kFailed, "failed",
              "The correction failed in %s (see the messages "
              "above); no output was assigned.",
              status.step[0] ? status.step : status.what);
}

bool run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], tarvo::Error* error) {
  if (nrhs != 2)
    return fail(error, "nargin",
                "tarvo_apply takes 2 inputs, E = tarvo_apply(K, target); it was given %d.", nrhs);
  if (nlhs > 1)
    return fail(error, "nargout", "tarvo_apply returns 1 output, E; %d were requested.", nlhs);
  tarvo::FoldedExtents folded;
  if (!read_target(prhs[1], &folded, error)) return false;
  const tarvo::VolumeShape frame = folded.frame();

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
  if (!correct_series(&calibration, folded, prhs[1], E.get(), error)) return false;
  plhs[0] = E.release();
  return true;
}

}  // namespace

void TARVO_APPLY_ENTRY(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  tarvo::Error error;
  run_guarded(&error, [&] { return run(nlhs, plhs, nrhs, prhs, &error); });
  raise_if_set("tarvo:apply", error);
}
