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
// in a struct field belongs to the struct, and storing a new value into a field does not
// free the value it replaces (that value is then lost, and tarvo_mxhost_live_arrays shows it).
#pragma once

#include <stddef.h>

#include "gateway/mex_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The imaginary data of a complex numeric array (element type by class), else null. */
void* mxGetImagData(const mxArray* pa);
int mxGetNumberOfFields(const mxArray* pa);
const char* mxGetFieldNameByNumber(const mxArray* pa, int fieldnum);

/* A MEX entry point (mexFunction, or another module's entry linked into the same program). */
typedef void (*tarvo_mxhost_entry)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
/* Calls entry as the host calls a MEX function: returns 0 when it returned, 1 when it raised an
   error with mexErrMsgIdAndTxt (the host then jumps back here without unwinding the entry's
   frames, as MATLAB does not run them either; plhs holds whatever was assigned before, which
   a host discards). Calls may nest and run on several threads. mexErrMsgIdAndTxt outside such
   a call keeps the error (tarvo_mxhost_error_id/message), writes it to stderr and returns. */
int tarvo_mxhost_call(tarvo_mxhost_entry entry, int nlhs, mxArray* plhs[], int nrhs,
                      const mxArray* prhs[]);
/* Identifier and message of the last error raised on this thread ("" when none). */
const char* tarvo_mxhost_error_id(void);
const char* tarvo_mxhost_error_message(void);

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
