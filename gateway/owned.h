// Owners of what the host hands out: an array this call created and has not handed to the host
// yet, and a string from mxArrayToString. Both are released on every path of the call.
#pragma once

#include <memory>

#include "gateway/mex_api.h"

struct ArrayDeleter {
  void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using OwnedArray = std::unique_ptr<mxArray, ArrayDeleter>;

struct HostTextDeleter {
  void operator()(char* p) const { mxFree(p); }
};
using OwnedText = std::unique_ptr<char, HostTextDeleter>;
