// The entry point of tarvo_calibrate:
//   K = tarvo_calibrate(even, odd)
//   [K, fits] = tarvo_calibrate(even, odd, 'R', R)
// even, odd: complex double k-space, M x N x ... x L (folded to M x N x Z x L as tarvo folds
// them), the calibration pair acquired with opposite readout polarity; N may be the target's
// N or a central block of its lines. R: the acceleration of the frames to correct, 1 to 4
// (default 1). K: a P x Z struct array, P = kernels_per_slice(R) kernels per slice
// (gateway/kernel_struct.h; for R = 1 output 3 of tarvo(even, odd), bit for bit). fits: P x Z
// struct array of how each kernel was fitted (equations, unknowns, whole_readout, ridge).
//
// Errors are MATLAB errors with identifiers tarvo:calibrate:<what>, raised after the call has
// released everything it took; no output is assigned then. Nothing is printed on the console.
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "core/tarvo.h"
#include "gateway/kernel_struct.h"
#include "gateway/mex_api.h"
#include "gateway/mex_error.h"
#include "gateway/mex_inputs.h"
#include "gateway/owned.h"
#include "linalg/memory.h"

#ifndef TARVO_CALIBRATE_ENTRY
#define TARVO_CALIBRATE_ENTRY mexFunction
#endif

namespace {

constexpr const char* kFunction = "tarvo_calibrate";

// One frame of the pair as the core takes it ("dblc", interleaved parts).
struct Frame {
  tarvo::FoldedExtents folded;
  tarvo::buffer<dcomplex> data;
  ComplexVolume volume{};
};

// Checks input `name` (complex double, 3 or more extents, none 0, within the 32-bit
// interface) and reads its folded extents.
bool read_extents(const mxArray* in, const char* name, Frame* out, tarvo::Error* error) {
  // (The host may drop the imaginary part of an empty array: that one is refused as empty.)
  if (!mxIsDouble(in) || (!mxIsComplex(in) && mxGetNumberOfElements(in) > 0))
    return fail(error, name,
                "%s must be complex double k-space, M x N x ... x L; it is a %s array "
                "(complex(x) makes a real array complex).",
                name, class_name(in));
  const int n = mxGetNumberOfDimensions_700(in);
  const int* e = mxGetDimensions_700(in);
  if (n < 0 || !e)
    return fail(error, "tooLarge",
                "%s has an extent beyond 2147483647, the limit of the module's 32-bit interface.",
                name);
  if (n < 3)
    return fail(error, name,
                "%s must have 3 or more extents, M x N x ... x L (the last one counts the "
                "coils); it is %d x %d.",
                name, e[0], e[1]);
  const std::vector<std::int64_t> extents(e, e + n);
  out->folded = tarvo::fold_extents(extents.data(), n, tarvo::Fold::kSlices);
  if (out->folded.empty())
    return fail(error, name, "%s is empty; every extent must be at least 1.", name);
  if (!out->folded.fits())
    return fail(error, "tooLarge",
                "%s has more than 2147483647 elements, the limit of the module's 32-bit "
                "interface.",
                name);
  return true;
}

// The array's values as the core's volume record.
bool read_values(const mxArray* in, Frame* out, tarvo::Error* error) {
  const std::int64_t count = out->folded.elements;
  out->data.reset(tarvo::alloc_array<dcomplex>(count));
  if (!out->data)
    return fail(error, tarvo::ErrorKind::kMemory, "memory",
                "Out of memory: a copy of the calibration pair (%lld values each) does not fit.",
                static_cast<long long>(count));
  const double* re = mxGetPr(in);
  const double* im = mxGetPi(in);
  for (std::int64_t i = 0; i < count; ++i) out->data[i] = {re[i], im[i]};
  out->volume = tarvo::make_volume(out->folded.frame(), out->data.get());
  return true;
}

// The value of option R: a whole number from 1 to kMaxAcceleration.
bool read_acceleration(const mxArray* value, int* R, tarvo::Error* error) {
  if (!mxIsDouble(value) || mxIsComplex(value) || mxGetNumberOfElements(value) != 1)
    return fail(error, "R",
                "R must be a real double scalar (the acceleration, 1 to %d); it is a %s array "
                "of %lld elements.",
                tarvo::kMaxAcceleration, class_name(value),
                static_cast<long long>(mxGetNumberOfElements(value)));
  const double r = *mxGetPr(value);
  if (!(r >= 1 && r <= tarvo::kMaxAcceleration) || r != std::floor(r))
    return fail(error, "R", "R must be a whole number from 1 to %d (the acceleration); it is %g.",
                tarvo::kMaxAcceleration, r);
  *R = static_cast<int>(r);
  return true;
}

// How each kernel was fitted: a struct array of the kernels' layout (P x Z).
OwnedArray fit_struct(const tarvo::Calibration& calibration) {
  constexpr int kFields = 4;
  const char* names[kFields] = {"equations", "unknowns", "whole_readout", "ridge"};
  const int P = tarvo::kernels_per_slice(calibration.acceleration());
  OwnedArray out(mxCreateStructMatrix_700(P, calibration.shape().Z, kFields, names));
  if (!out) return nullptr;
  int field[kFields];
  for (int f = 0; f < kFields; ++f)
    if ((field[f] = mxGetFieldNumber(out.get(), names[f])) < 0) return nullptr;
  for (int index = 0; index < calibration.kernel_count(); ++index) {
    const tarvo::FitRecord fit = calibration.fit(index);
    const double values[kFields] = {static_cast<double>(fit.equations),
                                    static_cast<double>(fit.unknowns),
                                    fit.whole_readout ? 1.0 : 0.0, fit.ridge};
    for (int f = 0; f < kFields; ++f) {
      mxArray* scalar = mxCreateDoubleMatrix_700(1, 1, mxREAL);
      if (!scalar) return nullptr;
      *mxGetPr(scalar) = values[f];
      mxSetFieldByNumber_700(out.get(), index, field[f], scalar);  // the struct's from now on
    }
  }
  return out;
}

bool run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], tarvo::Error* error) {
  const tarvo::HeapTrim trim;  // declared first: runs once everything of the call is freed
  if (nrhs < 2)
    return fail(error, "nargin",
                "tarvo_calibrate takes 2 inputs and options, K = tarvo_calibrate(even, odd, "
                "'R', R); it was given %d.",
                nrhs);
  if (nlhs > 2)
    return fail(error, "nargout",
                "tarvo_calibrate returns up to 2 outputs, [K, fits]; %d were requested.", nlhs);
  Frame even, odd;
  if (!read_extents(prhs[0], "even", &even, error) || !read_extents(prhs[1], "odd", &odd, error))
    return false;
  const tarvo::VolumeShape shape = even.folded.frame();
  if (!(odd.folded.frame() == shape)) {
    const tarvo::VolumeShape o = odd.folded.frame();
    return fail(error, "odd",
                "odd is %d x %d x %d x %d (M x N x Z x L) but even is %d x %d x %d x %d; the "
                "pair must have the same extents.",
                o.M, o.N, o.Z, o.L, shape.M, shape.N, shape.Z, shape.L);
  }
  const char* names[1] = {"R"};
  const mxArray* values[1] = {nullptr};
  if (!read_options(kFunction, prhs + 2, nrhs - 2, 3, names, 1, values, error)) return false;
  tarvo::CalibrationOptions options;
  if (values[0] && !read_acceleration(values[0], &options.R, error)) return false;

  if (!read_values(prhs[0], &even, error) || !read_values(prhs[1], &odd, error)) return false;
  tarvo::Calibration calibration;
  tarvo::Status status;
  if (tarvo::calibrate(even.volume, odd.volume, options, &calibration, &status) != 0) {
    if (status.kind != tarvo::ErrorKind::kFailed) return fail(error, status);
    return fail(error, tarvo::ErrorKind::kFailed, "failed",
                "The calibration failed in %s (see the messages above); no output was assigned.",
                status.step[0] ? status.step : status.what);
  }
  odd.data.reset();

  OwnedArray K = kernel_struct(calibration);
  if (!K)
    return fail(error, tarvo::ErrorKind::kMemory, "memory",
                "Out of memory: the struct array of the kernels could not be created.");
  OwnedArray fits;
  if (nlhs >= 2 && !(fits = fit_struct(calibration)))
    return fail(error, tarvo::ErrorKind::kMemory, "memory",
                "Out of memory: the struct array of the fits could not be created.");
  plhs[0] = K.release();
  if (nlhs >= 2) plhs[1] = fits.release();
  return true;
}

}  // namespace

void TARVO_CALIBRATE_ENTRY(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  tarvo::Error error;
  run_guarded(&error, [&] { return run(nlhs, plhs, nrhs, prhs, &error); });
  raise_if_set("tarvo:calibrate", error);
}
