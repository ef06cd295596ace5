// The one record of a failed call, from the core's steps up to the bindings. Its kind, not its
// text, decides how a binding reports it (bindings/errors: MATLAB identifiers, Python
// exception types); its message is the text the user is shown.
#pragma once

namespace tarvo {

enum class ErrorKind {
  kNone,     // no failure
  kType,     // an input of the wrong type (Python TypeError)
  kValue,    // an input of the wrong extents or values (Python ValueError)
  kMemory,   // memory ran out (Python MemoryError, MATLAB <prefix>:memory)
  kStopped,  // the caller's pause asked a series to stop
  kFailed,   // an inner step failed otherwise (its own messages went to the report)
};

// Fixed storage: recording a failure never allocates, and there is nothing to release.
struct Error {
  ErrorKind kind = ErrorKind::kNone;
  char what[48] = {};       // the input at fault ("target", "coef", "kx", ...), "memory", or
                            // the failed step's name
  char step[48] = {};       // the inner step that failed, when one did
  char message[1024] = {};  // the explanation a user is shown
  bool ok() const { return kind == ErrorKind::kNone; }
};

// Records a failure (kind, what, printf-style message) in *error and returns -1.
int set_error(Error* error, ErrorKind kind, const char* what, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace tarvo
