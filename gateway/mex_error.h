// MATLAB-style errors of the module's newer functions (tarvo_apply, tarvo_prepare).
//
// The host's mexErrMsgIdAndTxt does not return, and the frames between it and the host are
// not unwound: no destructor runs. A function therefore does its work in a scope of its own,
// where RAII releases everything on every path, records a failure in a CallError (fixed
// storage, nothing to release), and raises it only once that scope has ended:
//
//   void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
//     CallError error;
//     run_guarded(&error, "tarvo:apply", [&] { return body(nlhs, plhs, nrhs, prhs, &error); });
//     raise_if_set(error);
//   }
#pragma once

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>

#include "gateway/mex_api.h"

struct CallError {
  char id[96] = {};         // "<prefix>:<what>", empty while no error is recorded
  char message[1024] = {};  // the text the user sees
  bool set() const { return id[0] != '\0'; }
};

// Records the first error of a call (later ones are ignored) and returns false, so that a
// check reads `if (bad) return fail(error, "tarvo:apply:target", "...", ...);`.
inline bool fail(CallError* error, const char* id, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
inline bool fail(CallError* error, const char* id, const char* format, ...) {
  if (error->set()) return false;
  std::snprintf(error->id, sizeof error->id, "%s", id);
  va_list args;
  va_start(args, format);
  std::vsnprintf(error->message, sizeof error->message, format, args);
  va_end(args);
  return false;
}

// Runs body() (returning true on success). An exception leaving it is recorded as
// <prefix>:memory (std::bad_alloc) or <prefix>:internal; outputs assigned by the body are the
// body's to release on failure.
template <class Body>
bool run_guarded(CallError* error, const char* prefix, Body&& body) {
  char id[80];
  try {
    if (body()) return true;
    if (!error->set()) {
      std::snprintf(id, sizeof id, "%s:internal", prefix);
      fail(error, id, "The call failed without a reason; no output was assigned.");
    }
  } catch (const std::bad_alloc&) {
    std::snprintf(id, sizeof id, "%s:memory", prefix);
    fail(error, id, "Out of memory: the call needs more memory than is available.");
  } catch (const std::exception& e) {
    std::snprintf(id, sizeof id, "%s:internal", prefix);
    fail(error, id, "Internal error: %s.", e.what());
  } catch (...) {
    std::snprintf(id, sizeof id, "%s:internal", prefix);
    fail(error, id, "Internal error.");
  }
  return false;
}

// Raises the recorded error, if any (does not return then).
inline void raise_if_set(const CallError& error) {
  if (error.set()) mexErrMsgIdAndTxt(error.id, "%s", error.message);
}
