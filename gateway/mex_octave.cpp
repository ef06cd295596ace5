// The 32-bit-extent operations over GNU Octave's MEX API, whose extents are 64-bit. Extents
// are widened on the way in; on the way out an extent beyond 2^31 - 1 is refused with a
// console message (null result), never truncated.
#include <cstdint>
#include <limits>

#include "gateway/mex_api.h"

namespace {

constexpr mwSize kMax = std::numeric_limits<std::int32_t>::max();
constexpr int kMaxDims = 64;

}  // namespace

extern "C" {

int mxGetNumberOfDimensions_700(const mxArray* pa) {
  const mwSize n = mxGetNumberOfDimensions(pa);
  return n > kMax ? -1 : static_cast<int>(n);
}

// The extents as ints in a block from mxMalloc, which Octave frees when the MEX call returns.
// Only the extents themselves must fit; callers check the element count they need.
const int* mxGetDimensions_700(const mxArray* pa) {
  const mwSize n = mxGetNumberOfDimensions(pa);
  const mwSize* d = mxGetDimensions(pa);
  if (!d || n < 0 || n > kMax) return nullptr;
  for (mwSize i = 0; i < n; ++i) {
    if (d[i] < 0 || d[i] > kMax) {
      mexPrintf("mxGetDimensions_700: extent %lld (%lld) does not fit a 32-bit integer\n",
                static_cast<long long>(i + 1), static_cast<long long>(d[i]));
      return nullptr;
    }
  }
  int* out = static_cast<int*>(mxMalloc(n * sizeof(int)));
  if (!out) return nullptr;
  for (mwSize i = 0; i < n; ++i) out[i] = static_cast<int>(d[i]);
  return out;
}

mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  if (ndim < 0 || ndim > kMaxDims || (ndim > 0 && !dims)) return nullptr;
  mwSize wide[kMaxDims];
  for (int i = 0; i < ndim; ++i) {
    if (dims[i] < 0) return nullptr;
    wide[i] = dims[i];
  }
  return mxCreateNumericArray(ndim, wide, classid, flag);
}

mxArray* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames) {
  if (m < 0 || n < 0 || nfields < 0) return nullptr;
  return mxCreateStructMatrix(m, n, nfields, fieldnames);
}

mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity flag) {
  if (m < 0 || n < 0) return nullptr;
  return mxCreateDoubleMatrix(m, n, flag);
}

void mxSetFieldByNumber_700(mxArray* pa, int index, int fieldnum, mxArray* value) {
  if (index < 0) return;
  mxSetFieldByNumber(pa, index, fieldnum, value);
}

mxArray* mxGetFieldByNumber_700(const mxArray* pa, int index, int fieldnum) {
  if (index < 0 || fieldnum < 0) return nullptr;
  return mxGetFieldByNumber(pa, index, fieldnum);
}

}  // extern "C"
