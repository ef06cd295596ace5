// A MEX function that converts its one input into a volume record and back:
//   B = tarvo_roundtrip(A)
// A: complex double M x N x ... x L; B: the same elements as M x N x Z x L, Z the product of
// the extents between the second and the last. Errors are console text; no output is set.
#include "gateway/gateway.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 1 || nlhs > 1) {
    mexPrintf("tarvo_roundtrip: usage: B = tarvo_roundtrip(A), A complex double\n");
    return;
  }
  OwnedVolume volume;
  if (volume_from_mxarray(prhs[0], &volume) != 0) return;
  mxArray* out = volume_to_mxarray(&volume.rec);
  if (out) plhs[0] = out;
}
