// The test host: a small in-process implementation of the MEX and matrix API, so that the
// gateway runs and is tested (also under the sanitizers) without MATLAB or Octave.
//
// It exports the operations of gateway/mex_api.h with their 32-bit-extent signatures, a few
// more of the same API that tests need to build inputs and read results, and test accessors
// (prefix tarvo_mxhost_). Plain C interface; it depends on nothing else in this repository,
// so it can also be built as a stand-in for the host's own libraries.
//
// Arrays: double, single, logical, int8..uint64 numeric arrays of any rank (real or complex;
// new data is zero), char row vectors (mxCreateString), struct arrays. As in MATLAB, the
// extents of a new numeric array lose their trailing 1s beyond the second, and a value stored
// in a struct field belongs to the struct. Unlike MATLAB, storing a new value into a field
// destroys the value it replaces (MATLAB reclaims it at the end of the call).
#pragma once

#include <stddef.h>

#include "gateway/mex_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Frees an array and everything stored in it; null is allowed. */
void mxDestroyArray(mxArray* pa);
mxClassID mxGetClassID(const mxArray* pa);
bool mxIsComplex(const mxArray* pa);
size_t mxGetNumberOfElements(const mxArray* pa);
/* The real data of any numeric or logical array (element type by class), else null. */
void* mxGetData(const mxArray* pa);
void* mxGetImagData(const mxArray* pa);
int mxGetNumberOfFields(const mxArray* pa);
const char* mxGetFieldNameByNumber(const mxArray* pa, int fieldnum);
/* The value of a field of element `index`, or null (unset field or out of range). */
mxArray* mxGetFieldByNumber_700(const mxArray* pa, int index, int fieldnum);
/* A char array's text as a new NUL-terminated string (free with mxFree), else null. */
char* mxArrayToString(const mxArray* pa);
void mxFree(void* p);

/* The console text written by mexPrintf since the last clear; the pointer is valid until the
   next mexPrintf or clear. */
const char* tarvo_mxhost_console(void);
void tarvo_mxhost_clear_console(void);
/* The k-th array constructor call from now (k = 1: the next one) returns null; k <= 0
   disables. Counts mxCreateNumericArray_700, mxCreateDoubleMatrix_700,
   mxCreateStructMatrix_700 and mxCreateString. */
void tarvo_mxhost_fail_create_at(long k);
/* Arrays created and not yet destroyed, including those stored in struct fields. */
long tarvo_mxhost_live_arrays(void);
/* A numeric array with the given extents whose data arrays hold only one element each
   (complex: both parts), however large the extents: for testing that a caller refuses an
   element count before it reads any data. Trailing 1s are kept. Not counted by
   tarvo_mxhost_fail_create_at. */
mxArray* tarvo_mxhost_create_unbacked(int ndim, const int* dims, mxClassID classid,
                                      mxComplexity flag);

#ifdef __cplusplus
}
#endif
