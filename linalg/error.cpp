#include "linalg/error.h"

#include <cstdarg>
#include <cstdio>

namespace tarvo {

int set_error(Error* error, ErrorKind kind, const char* what, const char* format, ...) {
  error->kind = kind;
  std::snprintf(error->what, sizeof error->what, "%s", what);
  va_list args;
  va_start(args, format);
  std::vsnprintf(error->message, sizeof error->message, format, args);
  va_end(args);
  return -1;
}

}  // namespace tarvo
