// Internal to prepare/: filling the error record of a failed call.
#pragma once

#include "prepare/prepare.h"

namespace tarvo::prepare_detail {

// Sets *error to `what` (kind kMemory for "memory", else kValue) and the printf-style message
// (cut to fit) and returns -1.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
int fail(Error* error, const char* what, const char* format, ...);

// Sets *error to success.
void clear_error(Error* error);

}  // namespace tarvo::prepare_detail
