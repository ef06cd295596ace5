// The module's entry point:
//   [E, F, K] = tarvo(even, odd)   or   [E, F, K] = tarvo(even, odd, target)
// even, odd: complex double k-space, M x N x ... x L (folded to M x N x Z x L), the same slices
// acquired with opposite readout polarity. target: complex double M x N x Z x L.
// E: ghost-corrected coil images of target (else of odd), M x N x Z x L.
// F: the even frame corrected the same way, then phase-aligned against E.
// K: 1 x Z struct array of the per-slice kernels, fields "dk", "pattern", "coef".
//
// Errors are console text (mexPrintf); the call then returns with no output assigned. Outputs
// are built in owners and handed to the host only once every requested one exists, and every
// buffer, record and the calibration are released on every path. No exception leaves
// mexFunction. The correction itself is the core's (core/tarvo.h); this file converts arrays
// and reports errors.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "core/tarvo.h"
#include "gateway/gateway.h"
#include "gateway/kernel_struct.h"
#include "gateway/owned.h"
#include "linalg/memory.h"

namespace {

constexpr const char* kTooFewInputs =
    "At least 3 input arguments are required. (k:measured k-space, Y: associated list of "
    "acquired phase encode lines, sz: size of output coil maps)";
constexpr const char* kTooManyOutputs = "Too many output arguments.";
constexpr const char* kBadFirstInput =
    "error with 1st input: Need to declare a complex M-by-N-by-...-by-L array for the input "
    "data.\n";
constexpr const char* kBadSecondInput =
    "error with 2nd input: Need to declare a complex M-by-N-by-...-by-L array for the input "
    "data.\n";
constexpr const char* kBadThirdInput =
    "error with 3nd input: Need to declare a complex M-by-N-by-Z-by-L array for the input "
    "data.\n";
constexpr const char* kExtentLine = "\t (in:[ %d %d %d %d ]) \n";
constexpr const char* kStepFailed = "tarvo: %s failed; no outputs were assigned\n";
constexpr const char* kFirstLabel = "1st input:";
constexpr const char* kThirdLabel = "3rd input:";

enum class Rank { kThreeOrMore, kExactlyFour };

// True when e[0..n-1] fold to (e0, e1, e2*...*e[n-2], e[n-1]) with every folded extent and the
// element count within a signed 32-bit integer, and no extent is 0: an empty volume has nothing
// to correct, while its other extents (up to 2^31 - 1 each) would still drive loops over lines,
// frames and slices.
bool fits_int32(int n, const int* e) {
  const std::vector<std::int64_t> extents(e, e + n);
  const tarvo::FoldedExtents folded = tarvo::fold_extents(extents.data(), n, tarvo::Fold::kSlices);
  return folded.fits() && !folded.empty();
}

// Checks one input: complex double, at least three (or exactly four) dimensions, a folded
// element count from 1 to 2^31 - 1. Otherwise prints `message` and the extent
// line (the first four extents, 1 for those the array lacks, -1 when the host could not report
// them) and returns false. Nothing is allocated.
bool check_input(const mxArray* in, Rank rank, const char* message) {
  const int n = in ? mxGetNumberOfDimensions_700(in) : -1;
  const int* e = n >= 0 ? mxGetDimensions_700(in) : nullptr;
  int shown[4] = {-1, -1, -1, -1};
  if (e)
    for (int i = 0; i < 4; ++i) shown[i] = i < n ? e[i] : 1;
  const bool rank_ok = rank == Rank::kExactlyFour ? n == 4 : n >= 3;
  if (e && mxIsDouble(in) && rank_ok && mxGetPi(in) && fits_int32(n, e)) return true;
  mexPrintf("%s", message);
  mexPrintf(kExtentLine, shown[0], shown[1], shown[2], shown[3]);
  return false;
}

bool step_failed(const char* step) {
  mexPrintf(kStepFailed, step);
  return false;
}

// The console line of a failed step of the core; `output` names the output being made.
bool core_failed(const tarvo::Status& status, const char* output = nullptr) {
  char step[96];
  if (output)
    std::snprintf(step, sizeof step, "%s (%s)", status.step, output);
  else
    std::snprintf(step, sizeof step, "%s", status.step);
  return step_failed(step);
}

// The whole call. Returns true with the requested outputs in `outputs`, or false after one
// console message with nothing handed out.
bool run(int nlhs, int nrhs, const mxArray* prhs[], OwnedArray outputs[3]) {
  // Inputs: first, second, their folded extents; the third only after the calibration.
  if (!check_input(prhs[0], Rank::kThreeOrMore, kBadFirstInput)) return false;
  OwnedVolume A;
  if (volume_from_mxarray(prhs[0], &A) != 0) return false;
  if (!check_input(prhs[1], Rank::kThreeOrMore, kBadSecondInput)) return false;
  OwnedVolume B;
  if (volume_from_mxarray(prhs[1], &B) != 0) return false;
  if (volume_same_size(&A.rec, &B.rec) != 0) return false;

  tarvo::Calibration calibration;
  tarvo::Status status;
  if (tarvo::calibrate(A.rec, B.rec, &calibration, &status) != 0) return core_failed(status);

  // Target of output 1: the third input (same folded extents as the first), else B.
  OwnedVolume C;
  const ComplexVolume* target = &B.rec;
  if (nrhs >= 3) {
    if (!check_input(prhs[2], Rank::kExactlyFour, kBadThirdInput)) return false;
    // The kernels and scratch volumes exist for the first input's extents only.
    ComplexVolume shape{};
    shape.ndims = 4;
    const int* e = mxGetDimensions_700(prhs[2]);
    for (int i = 0; i < 4; ++i) shape.dims[i] = e[i];
    if (volume_same_size(&A.rec, &shape, kFirstLabel, kThirdLabel) != 0) return false;
    if (nlhs >= 1) {
      if (volume_from_mxarray(prhs[2], &C) != 0) return false;
      target = &C.rec;
    }
  }

  OwnedVolume E;
  if (nlhs >= 1) {
    if (volume_setup_result(&A.rec, &E) != 0) return false;
    // The target is a full frame: every line acquired, a line of zeros included.
    std::vector<int> every_line(static_cast<std::size_t>(A.rec.dims[1]));
    std::iota(every_line.begin(), every_line.end(), 0);
    const tarvo::AcquiredLines lines{.lines = every_line.data(),
                                     .count = static_cast<int>(every_line.size())};
    if (tarvo::apply(&calibration, *target, &E.rec, &status, lines) != 0)
      return core_failed(status, "output 1");
    outputs[0].reset(volume_to_mxarray(&E.rec));
    if (!outputs[0]) return false;
  }
  if (nlhs >= 2) {
    OwnedVolume F;
    if (volume_setup_result(&A.rec, &F) != 0) return false;
    if (tarvo::corrected_even(&calibration, E.rec, &F.rec, &status) != 0)
      return core_failed(status, "output 2");
    outputs[1].reset(volume_to_mxarray(&F.rec));
    if (!outputs[1]) return false;
  }
  if (nlhs >= 3) {
    outputs[2] = kernel_struct(calibration);
    if (!outputs[2]) return step_failed("building output 3");
  }
  return true;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs < 2) {
    mexPrintf("%s", kTooFewInputs);
    return;
  }
  if (nlhs > 3) {
    mexPrintf("%s", kTooManyOutputs);
    return;
  }
  const tarvo::HeapTrim trim;  // declared first: runs once everything of the call has been freed
  OwnedArray outputs[3];
  try {
    if (!run(nlhs, nrhs, prhs, outputs)) return;
  } catch (const std::bad_alloc&) {
    mexPrintf(kStepFailed, "memory allocation");
    return;
  } catch (const std::exception& e) {
    mexPrintf("tarvo: %s; no outputs were assigned\n", e.what());
    return;
  } catch (...) {
    mexPrintf(kStepFailed, "the call");
    return;
  }
  for (int k = 0; k < nlhs; ++k) plhs[k] = outputs[k].release();
}
