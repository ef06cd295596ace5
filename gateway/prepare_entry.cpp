// The line-preparation function:
//   k = tarvo_prepare(raw, kx, reversed, M)
// raw: complex double, R samples x N lines x ..., each line in acquisition order. kx: R real
// doubles, the positions of a forward line's samples. reversed: logical N-vector, or 'even' /
// 'odd'. M: output line length. k: complex double, M x N x ... (the extents of raw after the
// first). See matlab/tarvo_prepare.m for the user's description and prepare/prepare.h for the
// resampling.
//
// Errors are raised with mexErrMsgIdAndTxt, identifier tarvo:prepare:<what>, only after the
// call's scope has released everything it allocated; no output is assigned then.
//
// The entry is tarvo_prepare_entry; mexFunction is defined only when this file is built as the
// module (TARVO_PREPARE_MODULE), so that tests link it beside the main module's entry.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

#include "gateway/mex_api.h"
#include "gateway/mex_error.h"
#include "gateway/owned.h"
#include "prepare/prepare.h"

extern "C" void tarvo_prepare_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

constexpr const char* kPrefix = "tarvo:prepare";
constexpr int kMaxDims = 32;

bool is_real_double(const mxArray* a) {
  return mxGetClassID(a) == mxDOUBLE_CLASS && !mxIsComplex(a);
}

// Reports a core failure under tarvo:prepare:<id>.
bool core_failed(tarvo::Error* error, const tarvo::Error& e) {
  return fail(error, e);
}

// raw's extents: R samples x N lines x frames (the extents after the second).
bool read_raw(const mxArray* raw, int* ndims, const int** dims, tarvo::LineExtents* extents,
              std::int64_t* count, tarvo::Error* error) {
  if (mxGetClassID(raw) != mxDOUBLE_CLASS || !mxIsComplex(raw))
    return fail(error, "raw",
                "raw must be a complex double array, R samples x N lines x ... (complex(x) makes "
                "a real array complex).");
  *ndims = mxGetNumberOfDimensions_700(raw);
  *dims = mxGetDimensions_700(raw);
  if (!*dims) return fail(error, "raw", "raw has an extent beyond 2^31 - 1.");
  if (*ndims > kMaxDims)
    return fail(error, "raw", "raw has %d dimensions; at most %d are supported.", *ndims, kMaxDims);
  std::int64_t frames = 1;
  for (int d = 2; d < *ndims; ++d) frames *= (*dims)[d];
  *extents = {(*dims)[0], (*dims)[1], frames};
  *count = static_cast<std::int64_t>((*dims)[0]) * (*dims)[1] * frames;
  if (*count > INT_MAX)
    return fail(error, "raw", "raw has %lld elements; at most 2^31 - 1 are supported.",
                static_cast<long long>(*count));
  return true;
}

// M: a real double scalar holding a whole number.
bool read_length(const mxArray* m_arg, double* m_value, tarvo::Error* error) {
  *m_value = 0.0;
  if (is_real_double(m_arg) && mxGetNumberOfElements(m_arg) == 1) *m_value = mxGetPr(m_arg)[0];
  if (!is_real_double(m_arg) || mxGetNumberOfElements(m_arg) != 1 || !std::isfinite(*m_value) ||
      *m_value != std::floor(*m_value) || std::fabs(*m_value) > INT_MAX)
    return fail(error, "M",
                "M must be a real double scalar holding a whole number (the output line length).");
  return true;
}

// flags[l] <- 1 for the lines of N read backwards: a logical N-vector, or 'even' / 'odd'.
bool read_reversed(const mxArray* reversed, int N, unsigned char* flags, tarvo::Error* error) {
  tarvo::Error e;
  if (mxGetClassID(reversed) == mxLOGICAL_CLASS) {
    if (tarvo::check_reversed_count(static_cast<std::int64_t>(mxGetNumberOfElements(reversed)), N,
                                    &e) != 0)
      return core_failed(error, e);
    const auto* values = static_cast<const unsigned char*>(mxGetData(reversed));
    for (int l = 0; l < N; ++l) flags[l] = values[l] ? 1 : 0;
    return true;
  }
  if (mxGetClassID(reversed) == mxCHAR_CLASS) {
    OwnedText text(mxArrayToString(reversed));
    if (!text)
      return fail(error, tarvo::ErrorKind::kMemory, "memory",
                  "Out of memory for the text of reversed.");
    if (tarvo::reversed_by_parity(text.get(), N, flags, &e) != 0) return core_failed(error, e);
    return true;
  }
  return fail(error, "reversed",
              "reversed must be a logical vector with one value per line or 'even' or 'odd'.");
}

// k <- raw's lines resampled on the grid, as a host array of raw's extents with M samples a line.
bool resample(const mxArray* raw, int ndims, const int* dims, const tarvo::LineExtents& extents,
              std::int64_t count, const tarvo::ReadoutGrid& grid, const unsigned char* flags,
              mxArray** k_out, tarvo::Error* error) {
  const int M = grid.length();
  // The host keeps the parts apart; the core reads and writes interleaved values.
  tarvo::buffer<dcomplex> in(tarvo::alloc_array<dcomplex>(count));
  const std::int64_t out_count = static_cast<std::int64_t>(M) * dims[1] * extents.frames;
  if (out_count > INT_MAX)
    return fail(error, "M", "the output would have %lld elements; at most 2^31 - 1 are supported.",
                static_cast<long long>(out_count));
  tarvo::buffer<dcomplex> out(tarvo::alloc_array<dcomplex>(out_count));
  if (!in || !out)
    return fail(error, tarvo::ErrorKind::kMemory, "memory", "Out of memory for the lines.");
  const double* re = mxGetPr(raw);
  const double* im = mxGetPi(raw);
  for (std::int64_t i = 0; i < count; ++i) in[i] = {re[i], im[i]};
  tarvo::Error e;
  if (tarvo::prepare_lines(grid, in.get(), extents, flags, out.get(), &e) != 0)
    return core_failed(error, e);
  in.reset();

  int out_dims[kMaxDims];
  for (int d = 0; d < ndims; ++d) out_dims[d] = dims[d];
  out_dims[0] = M;
  OwnedArray k(mxCreateNumericArray_700(ndims, out_dims, mxDOUBLE_CLASS, mxCOMPLEX));
  if (!k) return fail(error, tarvo::ErrorKind::kMemory, "memory", "Out of memory for the output.");
  double* k_re = mxGetPr(k.get());
  double* k_im = mxGetPi(k.get());
  for (std::int64_t i = 0; i < out_count; ++i) k_re[i] = out[i].re, k_im[i] = out[i].im;
  *k_out = k.release();
  return true;
}

bool body(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], tarvo::Error* error) {
  if (nrhs != 4)
    return fail(error, "arguments",
                "tarvo_prepare takes 4 inputs (raw, kx, reversed, M); it was given %d.", nrhs);
  if (nlhs > 1)
    return fail(error, "arguments", "tarvo_prepare has 1 output; %d were requested.", nlhs);
  const mxArray* raw = prhs[0];
  const mxArray* kx = prhs[1];
  int ndims = 0;
  const int* dims = nullptr;
  tarvo::LineExtents extents{};
  std::int64_t count = 0;
  if (!read_raw(raw, &ndims, &dims, &extents, &count, error)) return false;

  if (!is_real_double(kx))
    return fail(error, "kx",
                "kx must be a real double vector with one position per sample of a line.");
  const std::size_t kx_count = mxGetNumberOfElements(kx);
  if (kx_count > static_cast<std::size_t>(INT_MAX))
    return fail(error, "kx", "kx has more than 2^31 - 1 values.");
  double m_value = 0.0;
  if (!read_length(prhs[3], &m_value, error)) return false;

  const int N = dims[1];
  tarvo::buffer<unsigned char> flags(tarvo::alloc_array<unsigned char>(N < 1 ? 1 : N));
  if (!flags)
    return fail(error, tarvo::ErrorKind::kMemory, "memory", "Out of memory for the line flags.");
  if (!read_reversed(prhs[2], N, flags.get(), error)) return false;

  tarvo::Error e;
  if (tarvo::check_kx_count(static_cast<std::int64_t>(kx_count), dims[0], &e) != 0)
    return core_failed(error, e);
  tarvo::ReadoutGrid grid;
  if (grid.build(mxGetPr(kx), static_cast<int>(kx_count), static_cast<int>(m_value), &e) != 0)
    return core_failed(error, e);
  return resample(raw, ndims, dims, extents, count, grid, flags.get(), &plhs[0], error);
}

}  // namespace

extern "C" void tarvo_prepare_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  tarvo::Error error;
  run_guarded(&error, [&] { return body(nlhs, plhs, nrhs, prhs, &error); });
  raise_if_set(kPrefix, error);
}

#if defined(TARVO_PREPARE_MODULE)
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  tarvo_prepare_entry(nlhs, plhs, nrhs, prhs);
}
#endif
