// Internal to prepare/: filling the error record of a failed call.
#pragma once

#include "prepare/prepare.h"

namespace tarvo::prepare_detail {

// Sets *error to the identifier and the printf-style message (cut to fit) and returns -1.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
int fail(PrepareError* error, const char* id, const char* format, ...);

// Sets *error to success: empty identifier and message.
void clear_error(PrepareError* error);

}  // namespace tarvo::prepare_detail
