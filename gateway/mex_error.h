// MATLAB-style errors of the module's newer functions (tarvo_apply, tarvo_prepare): the one
// error record (tarvo::Error) of a call, raised under an identifier <prefix>:<what>.
//
// The host's mexErrMsgIdAndTxt does not return, and the frames between it and the host are
// not unwound: no destructor runs. A function therefore does its work in a scope of its own,
// where RAII releases everything on every path, records a failure in a tarvo::Error (fixed
// storage, nothing to release), and raises it only once that scope has ended:
//
//   void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
//     tarvo::Error error;
//     run_guarded(&error, [&] { return body(nlhs, plhs, nrhs, prhs, &error); });
//     raise_if_set("tarvo:apply", error);
//   }
#pragma once

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>

#include "gateway/mex_api.h"
#include "linalg/error.h"

// Records the first failure of a call (later ones are ignored) and returns false, so that a
// check reads `if (bad) return fail(error, "target", "...", ...);` (an input at fault, kind
// kValue: raised as <prefix>:target) or names its kind first.
inline bool fail_with(tarvo::Error* error, tarvo::ErrorKind kind, const char* what,
                      const char* format, va_list args) {
  if (!error->ok()) return false;
  error->kind = kind;
  std::snprintf(error->what, sizeof error->what, "%s", what);
  std::vsnprintf(error->message, sizeof error->message, format, args);
  return false;
}
inline bool fail(tarvo::Error* error, tarvo::ErrorKind kind, const char* what, const char* format,
                 ...) __attribute__((format(printf, 4, 5)));
inline bool fail(tarvo::Error* error, tarvo::ErrorKind kind, const char* what, const char* format,
                 ...) {
  va_list args;
  va_start(args, format);
  fail_with(error, kind, what, format, args);
  va_end(args);
  return false;
}
inline bool fail(tarvo::Error* error, const char* what, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
inline bool fail(tarvo::Error* error, const char* what, const char* format, ...) {
  va_list args;
  va_start(args, format);
  fail_with(error, tarvo::ErrorKind::kValue, what, format, args);
  va_end(args);
  return false;
}

// Records a failure the core reported (unless one is recorded already); returns false.
inline bool fail(tarvo::Error* error, const tarvo::Error& reported) {
  if (error->ok()) *error = reported;
  return false;
}

// Runs body() (returning true on success). An exception leaving it is recorded as a memory
// failure (std::bad_alloc) or a failed call; outputs assigned by the body are the body's to
// release on failure.
template <class Body>
bool run_guarded(tarvo::Error* error, Body&& body) {
  using tarvo::ErrorKind;
  try {
    if (body()) return true;
    fail(error, ErrorKind::kFailed, "internal",
         "The call failed without a reason; no output was assigned.");
  } catch (const std::bad_alloc&) {
    fail(error, ErrorKind::kMemory, "memory",
         "Out of memory: the call needs more memory than is available.");
  } catch (const std::exception& e) {
    fail(error, ErrorKind::kFailed, "internal", "Internal error: %s.", e.what());
  } catch (...) {
    fail(error, ErrorKind::kFailed, "internal", "Internal error.");
  }
  return false;
}

// The identifier of a failure: <prefix>:memory, <prefix>:failed for a failed or stopped step,
// else <prefix>:<what> (the input at fault).
inline void matlab_identifier(const char* prefix, const tarvo::Error& error, char* id, int size) {
  using tarvo::ErrorKind;
  const char* what = error.kind == ErrorKind::kMemory ? "memory"
                     : error.kind == ErrorKind::kFailed || error.kind == ErrorKind::kStopped
                         ? "failed"
                         : error.what;
  std::snprintf(id, static_cast<std::size_t>(size), "%s:%s", prefix, what);
}

// Raises the recorded failure, if any (does not return then).
inline void raise_if_set(const char* prefix, const tarvo::Error& error) {
  if (error.ok()) return;
  char id[128];
  matlab_identifier(prefix, error, id, sizeof id);
  mexErrMsgIdAndTxt(id, "%s", error.message);
}
