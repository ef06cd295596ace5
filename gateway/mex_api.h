// The MEX and matrix API operations the module uses, with 32-bit extents (the `_700`
// interface). One declaration set, three back ends chosen at build time:
//
//   TARVO_MEX_OCTAVE   GNU Octave: mxArray and the API types come from Octave's <mex.h>;
//                      the `_700` operations are thin adapters (gateway/mex_octave.cpp)
//                      over Octave's 64-bit-extent API that refuse any extent beyond
//                      2^31 - 1 instead of truncating it.
//   TARVO_MEX_MATLAB   MATLAB: the declarations below name the real entry points that
//                      libmx and libmex export.
//   (neither)          the test host of this repository (tests/testhost), which exports
//                      the same entry points with a C interface.
//
// Code above this header is written once and compiles unchanged against all three.
#pragma once

#if defined(TARVO_MEX_OCTAVE)
#include <mex.h>
#elif !defined(__cplusplus)
#include <stdbool.h>
#include <stddef.h>
#else
#include <cstddef>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(TARVO_MEX_OCTAVE)

typedef struct mxArray_tag mxArray;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS, /* 6 */
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

/* The real and imaginary double arrays (column-major, one entry per element); mxGetPi is
   null for a real array. */
double* mxGetPr(const mxArray* pa);
double* mxGetPi(const mxArray* pa);
bool mxIsDouble(const mxArray* pa);
/* The number of the named field of a struct array, or -1. */
int mxGetFieldNumber(const mxArray* pa, const char* name);
/* A 1 x strlen(str) char array. */
mxArray* mxCreateString(const char* str);
/* Frees an array and every value stored in it; null is allowed. */
void mxDestroyArray(mxArray* pa);
/* printf-style text on the host's console. */
int mexPrintf(const char* format, ...);

mxClassID mxGetClassID(const mxArray* pa);
bool mxIsComplex(const mxArray* pa);
size_t mxGetNumberOfElements(const mxArray* pa);
/* The real data of a numeric or logical array (element type by class), else null. */
void* mxGetData(const mxArray* pa);
/* A char array's text as a new NUL-terminated string (free with mxFree), else null. */
char* mxArrayToString(const mxArray* pa);
void mxFree(void* p);
/* Raises a MATLAB error with identifier id and the formatted message: the call ends here and
   the host unwinds to its caller without running the destructors of the frames in between
   (longjmp), and no output is assigned. Everything the call allocated must be released first. */
void mexErrMsgIdAndTxt(const char* id, const char* format, ...);

/* The module's entry point, called by the host. */
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#endif /* !TARVO_MEX_OCTAVE */

/* The 32-bit-extent operations. mxGetDimensions_700 gives ndims ints that stay valid while
   the array lives (under Octave: until the MEX call returns). Every constructor returns
   null on failure; the Octave adapters also return null (after a console message) for an
   extent beyond 2^31 - 1 (an element count beyond it is for the caller to refuse). */
int mxGetNumberOfDimensions_700(const mxArray* pa);
const int* mxGetDimensions_700(const mxArray* pa);
mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag);
mxArray* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames);
mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity flag);
void mxSetFieldByNumber_700(mxArray* pa, int index, int fieldnum, mxArray* value);
/* The value of a field of element `index` of a struct array, or null (unset or out of range). */
mxArray* mxGetFieldByNumber_700(const mxArray* pa, int index, int fieldnum);

#ifdef __cplusplus
}
#endif
