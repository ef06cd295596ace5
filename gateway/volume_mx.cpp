#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/tarvo.h"
#include "gateway/gateway.h"

namespace {

using tarvo::kMaxCount;
constexpr char kDoubleComplexTag[5] = "dblc";

constexpr const char* kNotComplexDouble = "volume_from_mxarray: need a complex double array\n";
constexpr const char* kNoExtents = "volume_from_mxarray: could not read the array extents\n";
constexpr const char* kInputTooLarge =
    "volume_from_mxarray: too large: an extent or the element count exceeds 2147483647\n";
constexpr const char* kInputNoMemory = "volume_from_mxarray: could not alloc volume data\n";
constexpr const char* kBadRecord = "volume_to_mxarray: not a valid \"dblc\" volume record\n";
constexpr const char* kNoOutput = "volume_to_mxarray: could not create the output array\n";
constexpr const char* kResultTooLarge =
    "volume_setup_result: too large: an extent or the element count exceeds 2147483647\n";
constexpr const char* kResultNoMemory = "volume_setup_result: could not alloc result data\n";
constexpr const char* kSizeMismatch =
    "Error: input matrix size mismatch - A: [ %s %d ... ] vs B: [ %s %d ... ]\n";

// Product of the n extents extent(0..n-1) when every one is >= 0 and the product fits a
// signed 32-bit integer; -1 otherwise. A zero extent makes the count 0 whatever the others.
template <class Extent>
std::int64_t element_count(int n, Extent extent) {
  bool zero = false;
  for (int i = 0; i < n; ++i) {
    const std::int64_t d = extent(i);
    if (d < 0 || d > kMaxCount) return -1;
    if (d == 0) zero = true;
  }
  if (zero) return 0;
  std::int64_t count = 1;
  for (int i = 0; i < n; ++i) {
    count *= extent(i);  // both factors <= 2^31 - 1: no 64-bit overflow
    if (count > kMaxCount) return -1;
  }
  return count;
}

std::int64_t element_count(const std::int64_t* dims, int n) {
  return element_count(n, [dims](int i) { return dims[i]; });
}

}  // namespace

int volume_from_mxarray(const mxArray* array, OwnedVolume* out) {
  if (!array || !mxIsDouble(array)) {
    mexPrintf("%s", kNotComplexDouble);
    return -1;
  }
  const int n = mxGetNumberOfDimensions_700(array);
  const int* e = mxGetDimensions_700(array);
  if (!e || n < 0) {
    mexPrintf("%s", kNoExtents);
    return -1;
  }
  // (e0, e1, e2*...*e[n-2], e[n-1]), with missing extents taken as 1.
  const std::vector<std::int64_t> extents(e, e + n);
  const tarvo::FoldedExtents folded = tarvo::fold_extents(extents.data(), n, tarvo::Fold::kSlices);
  const std::int64_t count = folded.elements;
  if (!folded.fits()) {
    mexPrintf("%s", kInputTooLarge);
    return -1;
  }

  const double* re = mxGetPr(array);
  const double* im = mxGetPi(array);
  if (count > 0 && (!re || !im)) {
    mexPrintf("%s", kNotComplexDouble);
    return -1;
  }

  OwnedVolume v;
  v.storage.reset(tarvo::alloc_array<dcomplex>(count));
  if (!v.storage) {
    mexPrintf("%s", kInputNoMemory);
    return -1;
  }
  dcomplex* data = v.storage.get();
  for (std::int64_t i = 0; i < count; ++i) data[i] = {re[i], im[i]};
  v.rec = tarvo::make_volume(folded.frame(), v.storage.get());
  *out = std::move(v);
  return 0;
}

mxArray* volume_to_mxarray(const ComplexVolume* v) {
  const bool shaped = v && v->ndims >= 1 && v->ndims <= 8 &&
                      std::memcmp(v->tag, kDoubleComplexTag, sizeof kDoubleComplexTag) == 0;
  const std::int64_t count =
      shaped ? element_count(v->ndims, [v](int i) -> std::int64_t { return v->dims[i]; }) : -1;
  if (count < 0 || (count > 0 && !v->data)) {
    mexPrintf("%s", kBadRecord);
    return nullptr;
  }
  mxArray* array = mxCreateNumericArray_700(v->ndims, v->dims, mxDOUBLE_CLASS, mxCOMPLEX);
  double* re = array ? mxGetPr(array) : nullptr;
  double* im = array ? mxGetPi(array) : nullptr;
  if (!array || (count > 0 && (!re || !im))) {
    // An array created without its parts is reclaimed by the host when the call returns.
    mexPrintf("%s", kNoOutput);
    return nullptr;
  }
  const dcomplex* data = static_cast<const dcomplex*>(v->data);
  for (std::int64_t i = 0; i < count; ++i) {
    re[i] = data[i].re;
    im[i] = data[i].im;
  }
  return array;
}

int volume_same_size(const ComplexVolume* a, const ComplexVolume* b, const char* label_a,
                     const char* label_b) {
  const int n = b->ndims < 8 ? b->ndims : 8;
  for (int i = 0; i < n; ++i) {
    if (b->dims[i] != a->dims[i]) {
      mexPrintf(kSizeMismatch, label_a, a->dims[i], label_b, b->dims[i]);
      return -1;
    }
  }
  return 0;
}

int volume_setup_result(const ComplexVolume* like, OwnedVolume* out) {
  const std::int64_t dims[4] = {like->dims[0], like->dims[1], like->dims[2], like->dims[3]};
  const std::int64_t count = element_count(dims, 4);
  if (count < 0) {
    mexPrintf("%s", kResultTooLarge);
    return -1;
  }
  OwnedVolume v;
  v.storage.reset(tarvo::alloc_array<dcomplex>(count, true));
  if (!v.storage) {
    mexPrintf("%s", kResultNoMemory);
    return -1;
  }
  v.rec = tarvo::make_volume(
      {.M = like->dims[0], .N = like->dims[1], .Z = like->dims[2], .L = like->dims[3]},
      v.storage.get());
  *out = std::move(v);
  return 0;
}
