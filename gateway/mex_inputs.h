// Reading the inputs of the module's newer functions (tarvo_apply, tarvo_calibrate): the class
// of an array as messages name it, and name-value options.
#pragma once

#include <cstddef>
#include <cstring>

#include "gateway/mex_api.h"
#include "gateway/mex_error.h"
#include "gateway/owned.h"

// "complex double", "real single", "int32", "struct", "cell", ...
inline const char* class_name(const mxArray* a) {
  switch (mxGetClassID(a)) {
    case mxCELL_CLASS:
      return "cell";
    case mxSTRUCT_CLASS:
      return "struct";
    case mxLOGICAL_CLASS:
      return "logical";
    case mxCHAR_CLASS:
      return "char";
    case mxDOUBLE_CLASS:
      return mxIsComplex(a) ? "complex double" : "real double";
    case mxSINGLE_CLASS:
      return mxIsComplex(a) ? "complex single" : "real single";
    case mxINT8_CLASS:
      return "int8";
    case mxUINT8_CLASS:
      return "uint8";
    case mxINT16_CLASS:
      return "int16";
    case mxUINT16_CLASS:
      return "uint16";
    case mxINT32_CLASS:
      return "int32";
    case mxUINT32_CLASS:
      return "uint32";
    case mxINT64_CLASS:
      return "int64";
    case mxUINT64_CLASS:
      return "uint64";
    case mxFUNCTION_CLASS:
      return "function handle";
    default:
      return "unknown";
  }
}

// True when a and b are the same text up to the case of ASCII letters.
inline bool same_name(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    const char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    const char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// The name-value pairs in[0], in[1], ... (count inputs, the first of them input number
// `first_input` of the call) of `function`, whose option names are names[0 .. name_count-1]
// (matched whatever the case of their letters). values[k] receives the value given for
// names[k] (the last one when a name is repeated) and is left as it was for a name not given.
// Failures, raised as <prefix>:option: a name that is not text or not an option, a name
// without a value.
inline bool read_options(const char* function, const mxArray* const* in, int count, int first_input,
                         const char* const* names, int name_count, const mxArray** values,
                         tarvo::Error* error) {
  constexpr std::size_t kListSize = 96;
  char list[kListSize] = "";  // 'R', 'Lines', ... for messages
  for (int k = 0; k < name_count; ++k) {
    const std::size_t used = std::strlen(list);
    std::snprintf(list + used, kListSize - used, "%s'%s'", k ? ", " : "", names[k]);
  }
  for (int i = 0; i < count; i += 2) {
    if (mxGetClassID(in[i]) != mxCHAR_CLASS)
      return fail(error, "option", "Input %d of %s must be an option name (%s); it is a %s array.",
                  first_input + i, function, list, class_name(in[i]));
    OwnedText name(mxArrayToString(in[i]));
    if (!name) throw std::bad_alloc();
    int match = -1;
    for (int k = 0; k < name_count && match < 0; ++k)
      if (same_name(name.get(), names[k])) match = k;
    if (match < 0)
      return fail(error, "option", "%s has no option '%.64s'; its options are %s.", function,
                  name.get(), list);
    if (i + 1 >= count)
      return fail(error, "option",
                  "Option '%s' of %s has no value: options come in name-value pairs.", names[match],
                  function);
    values[match] = in[i + 1];
  }
  return true;
}
