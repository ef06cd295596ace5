// libFuzzer target: mexFunction on the test host with arguments decoded from the fuzzer's bytes,
// then tarvo_apply on the same arguments and, when the call returned kernels, on those kernels
// (one field damaged as the next byte says) and a series made from the second input.
//
// Input layout (every byte is taken modulo the range it selects; missing bytes read as 0):
//   byte 0             nlhs, 0..5
//   byte 1             nrhs, 0..4
//   per input, 2 + rank bytes:
//     kind             bits 0-2 class: 0, 1 double; 2 single; 3 int32; 4 char; 5 struct;
//                      6 logical; 7 double with the extents of input 0
//                      bit 3 complex; bits 4-6 contents (see fill())
//     rank             0..6
//     rank extents     each an index into kExtents
//   then               tarvo_apply: damage (0 none, 1 coef <- input 1, 2 pattern "*xx*",
//                      3 dk <- 3, 4 coef made real, 5 K <- input 0) and the frame count 0..3
//   the rest           raw content bytes for the "bytes" contents.
//
// Arrays whose element count passes 2^31 - 1 are made by the host without data (only one
// element backed): the gateway must refuse them before reading any. Arrays of a count between
// kMaxElements and 2^31 - 1, of more than kMaxCoils coils, or whose kernel fit would cost more
// than kMaxFitWork, have their largest extents halved until they are small, so that one call
// stays short.
//
// tarvo_apply must either raise an error whose identifier starts with tarvo:apply: and assign
// nothing, or return one complex double array with the target's extents; it leaks no host
// array either way.
//
// Checked on every input (a failed check aborts, which libFuzzer reports with the input):
//   - either the console is empty and every requested output is set with its documented
//     class and extents, or the console holds a message and no output is set;
//   - no output slot beyond nlhs is written;
//   - every host array the call created is destroyed with the outputs (leaks of the module's
//     own buffers are LeakSanitizer's);
//   - the call ends within kBaseSeconds + kSecondsPerElement x (input elements).
// Sanitizer reports (address, undefined behaviour, leaks) end the run by themselves.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/testhost/mxhost.h"

void tarvo_apply_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

constexpr std::int64_t kMaxElements = 4096;
// The kernel fit solves, per slice and coil, a least-squares problem of 10 L unknowns: its cost
// grows as Z L^3 (Z slices, L coils) whatever the readout and line extents, so the coil count
// and Z L^3 are capped too (no path of the module depends on more coils or slices than that:
// coils and slices are loops over the same code).
constexpr int kMaxCoils = 8;
constexpr std::int64_t kMaxFitWork = 2 * 8 * 8 * 8;
constexpr std::int64_t kMaxCount = std::numeric_limits<std::int32_t>::max();
// Generous on purpose (sanitizer build, shared machine): the bound is there to catch hangs
// and work that grows faster than the input, not to time the module.
constexpr double kBaseSeconds = 30.0;
constexpr double kSecondsPerElement = 2e-3;

// Extents: zero, one, small odd/even/prime/composite values, and values whose products
// overflow 32 bits or sit at the 16-bit limits of the FFT and alignment keys.
constexpr int kExtents[] = {0,     1,     2,     3,  4,  5,          7,     8,
                            11,    13,    16,    6,  9,  65536,      46341, 2147483647,
                            32768, 65535, 32767, 10, 12, 1073741824, 17,    64};
constexpr int kExtentChoices = sizeof kExtents / sizeof kExtents[0];

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  // The content bytes: the rest of the input, read cyclically.
  double content(std::size_t i) const {
    if (pos_ + 8 > size_) return static_cast<double>(i % 7) - 3.0;
    const std::size_t span = size_ - pos_ - 7;
    double v;
    std::memcpy(&v, data_ + pos_ + (i * 8) % span, sizeof v);
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  // On standard output: fuzzing runs close the standard error stream (-close_fd_mask=2).
  std::printf("tarvo_fuzz: property violated: %s %s\nconsole: \"%s\"\n", what, detail.c_str(),
              tarvo_mxhost_console());
  std::fflush(stdout);
  std::abort();  // test program only: libFuzzer records the input that led here
}

std::int64_t product(const std::vector<int>& dims) {
  std::int64_t n = 1;
  for (int d : dims) {
    if (d == 0) return 0;
    n *= d;
    if (n > kMaxCount) return kMaxCount + 1;
  }
  return n;
}

// Contents of element i: 0 zeros, 1 raw bytes, 2 NaN in some samples, 3 +-Inf in some
// samples, 4 denormals, 5 scaled by 1e-300, 6 scaled by 1e300, 7 smooth values.
double fill(int mode, std::size_t i, const Bytes& bytes) {
  const double smooth = std::sin(0.7 * static_cast<double>(i)) + 0.25 * std::cos(1.9 * i);
  switch (mode) {
    case 0:
      return 0.0;
    case 1:
      return bytes.content(i);
    case 2:
      return i % 5 == 3 ? std::numeric_limits<double>::quiet_NaN() : smooth;
    case 3:
      return i % 7 == 2 ? (i % 2 ? -1 : 1) * std::numeric_limits<double>::infinity() : smooth;
    case 4:
      return std::numeric_limits<double>::denorm_min() * static_cast<double>(i % 9);
    case 5:
      return 1e-300 * smooth;
    case 6:
      return 1e300 * smooth;
    default:
      return smooth;
  }
}

struct Argument {
  mxArray* array = nullptr;
  std::int64_t elements = 0;  // backed elements
};

Argument make_input(Bytes& bytes, const std::vector<int>* first_dims) {
  const int kind = bytes.next();
  const int cls = kind & 7;
  const bool complex = (kind & 8) != 0;
  const int contents = (kind >> 4) & 7;
  std::vector<int> dims(bytes.next() % 7);
  for (int& d : dims) d = kExtents[bytes.next() % kExtentChoices];
  if (cls == 7 && first_dims) dims = *first_dims;
  const int rank = static_cast<int>(dims.size());

  Argument arg;
  if (cls == 4) {  // char row vector of up to 15 characters
    char text[16] = {};
    for (int i = 0; i < rank * 2 && i < 15; ++i) text[i] = static_cast<char>('a' + (i * 7) % 26);
    arg.array = mxCreateString(text);
    return arg;
  }
  if (cls == 5) {  // struct array, small
    const char* names[] = {"dk", "re"};
    const int m = dims.size() > 0 ? dims[0] % 4 : 1, n = dims.size() > 1 ? dims[1] % 4 : 1;
    arg.array = mxCreateStructMatrix_700(m, n, complex ? 2 : 1, names);
    return arg;
  }
  const mxClassID ids[] = {mxDOUBLE_CLASS, mxDOUBLE_CLASS, mxSINGLE_CLASS,  mxINT32_CLASS,
                           mxCHAR_CLASS,   mxSTRUCT_CLASS, mxLOGICAL_CLASS, mxDOUBLE_CLASS};
  const mxClassID id = ids[cls];
  const mxComplexity flag = complex && id != mxLOGICAL_CLASS ? mxCOMPLEX : mxREAL;
  std::int64_t count = product(dims);
  if (count > kMaxCount) {
    arg.array = tarvo_mxhost_create_unbacked(rank, dims.data(), id, flag);
    arg.elements = 1;
    return arg;
  }
  // Keep the call small: halve the coil extent while above kMaxCoils, then the largest extent.
  while (count > kMaxElements || (rank >= 3 && dims.back() > kMaxCoils)) {
    int* largest = &dims[0];
    for (int& d : dims)
      if (d > *largest) largest = &d;
    if (rank >= 3 && dims.back() > kMaxCoils) largest = &dims.back();
    *largest /= 2;
    count = product(dims);
  }
  // Then the slice extents (e2 .. e[n-2]), the largest first, or else the coils.
  auto fit_work = [&]() -> std::int64_t {
    if (product(dims) == 0) return 0;  // an empty array fits nothing
    std::int64_t z = 1;
    for (int i = 2; i < rank - 1; ++i) z *= dims[i];
    const std::int64_t L = dims.back();
    return z * L * L * L;
  };
  while (rank >= 3 && fit_work() > kMaxFitWork) {
    int* largest = &dims.back();
    for (int i = 2; i < rank - 1; ++i)
      if (dims[i] > 1 && (largest == &dims.back() || dims[i] > *largest)) largest = &dims[i];
    *largest /= 2;
  }
  count = product(dims);
  arg.array = mxCreateNumericArray_700(rank, dims.data(), id, flag);
  if (!arg.array) return arg;
  arg.elements = count;
  if (id == mxDOUBLE_CLASS) {
    double* re = mxGetPr(arg.array);
    double* im = mxGetPi(arg.array);
    for (std::int64_t i = 0; i < count; ++i) {
      re[i] = fill(contents, 2 * i, bytes);
      if (im) im[i] = fill(contents, 2 * i + 1, bytes);
    }
  }
  return arg;
}

// (e0, e1, e2*...*e[n-2], e[n-1]) of an input the gateway accepted (n >= 3).
std::vector<int> folded(const mxArray* a) {
  const int n = mxGetNumberOfDimensions_700(a);
  const int* e = mxGetDimensions_700(a);
  std::int64_t z = 1;
  for (int i = 2; i < n - 1; ++i) z *= e[i];
  return {e[0], e[1], static_cast<int>(z), e[n - 1]};
}

// The host's view of extents: trailing 1s beyond the second are dropped.
std::vector<int> as_host_shows(std::vector<int> dims) {
  while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
  return dims;
}

std::vector<int> extents_of(const mxArray* a) {
  const int* d = mxGetDimensions_700(a);
  return std::vector<int>(d, d + mxGetNumberOfDimensions_700(a));
}

std::string show(const std::vector<int>& v) {
  std::string s;
  for (int d : v) s += std::to_string(d) + " ";
  return s;
}

void check_volume(const mxArray* out, const std::vector<int>& fold, const char* which) {
  if (mxGetClassID(out) != mxDOUBLE_CLASS || !mxIsComplex(out)) fail(which, "not complex double");
  const std::vector<int> want = as_host_shows(fold);
  if (extents_of(out) != want) fail(which, show(extents_of(out)) + "instead of " + show(want));
}

void check_kernels(const mxArray* out, int Z, int L) {
  if (mxGetClassID(out) != mxSTRUCT_CLASS || extents_of(out) != std::vector<int>{1, Z})
    fail("output 3", "not a 1 x Z struct");
  const char* names[] = {"dk", "pattern", "coef"};
  if (mxGetNumberOfFields(out) != 3) fail("output 3", "field count");
  for (int f = 0; f < 3; ++f)
    if (std::strcmp(mxGetFieldNameByNumber(out, f), names[f]) != 0) fail("output 3", names[f]);
  for (int s = 0; s < Z; ++s) {
    const mxArray* dk = mxGetFieldByNumber_700(out, s, 0);
    const mxArray* pattern = mxGetFieldByNumber_700(out, s, 1);
    const mxArray* coef = mxGetFieldByNumber_700(out, s, 2);
    if (!dk || mxGetNumberOfElements(dk) != 1 || mxIsComplex(dk) || *mxGetPr(dk) != 2.0)
      fail("output 3", "dk");
    char* text = mxArrayToString(pattern);
    const bool pattern_ok = text && std::strcmp(text, "*x*") == 0;
    mxFree(text);
    if (!pattern_ok) fail("output 3", "pattern");
    if (!coef || mxGetClassID(coef) != mxDOUBLE_CLASS || !mxIsComplex(coef) ||
        extents_of(coef) != std::vector<int>{10 * L, L})
      fail("output 3", "coef");
  }
}

// tarvo_apply(K, target) and its properties.
void check_apply(const mxArray* K, const mxArray* target, int nlhs) {
  const long live = tarvo_mxhost_live_arrays();
  mxArray* out[2] = {nullptr, nullptr};
  const mxArray* in[2] = {K, target};
  const int raised = tarvo_mxhost_call(tarvo_apply_mex, nlhs, out, 2, in);
  if (raised) {
    if (std::strncmp(tarvo_mxhost_error_id(), "tarvo:apply:", 12) != 0)
      fail("tarvo_apply error identifier", tarvo_mxhost_error_id());
    if (out[0] || out[1]) fail("tarvo_apply raised an error and set an output");
  } else {
    if (nlhs > 1 || !out[0] || out[1]) fail("tarvo_apply outputs", tarvo_mxhost_error_message());
    if (mxGetClassID(out[0]) != mxDOUBLE_CLASS || !mxIsComplex(out[0]) ||
        extents_of(out[0]) != extents_of(target))
      fail("tarvo_apply output", show(extents_of(out[0])) + "for " + show(extents_of(target)));
  }
  mxDestroyArray(out[0]);
  mxDestroyArray(out[1]);
  if (tarvo_mxhost_live_arrays() != live) fail("tarvo_apply leaked host arrays");
}

// K with one field of every element replaced as `damage` says (a copy; K itself is kept).
mxArray* damaged_kernels(const mxArray* K, int damage, const mxArray* other) {
  const int Z = static_cast<int>(mxGetNumberOfElements(K));
  const char* names[] = {"dk", "pattern", "coef"};
  mxArray* copy = mxCreateStructMatrix_700(1, Z, 3, names);
  if (!copy) return nullptr;
  for (int z = 0; z < Z; ++z)
    for (int f = 0; f < 3; ++f) {
      const mxArray* v = mxGetFieldByNumber_700(K, z, f);
      mxArray* value = nullptr;
      if (f == 0) {
        value = mxCreateDoubleMatrix_700(1, 1, mxREAL);
        if (value) *mxGetPr(value) = damage == 3 ? 3.0 : *mxGetPr(v);
      } else if (f == 1) {
        char* text = mxArrayToString(v);
        value = mxCreateString(damage == 2 ? "*xx*" : text);
        mxFree(text);
      } else if (damage == 1 && other && mxGetClassID(other) == mxDOUBLE_CLASS && z == 0) {
        const std::vector<int> e = extents_of(other);
        value = mxCreateNumericArray_700(static_cast<int>(e.size()), e.data(), mxDOUBLE_CLASS,
                                         mxIsComplex(other) ? mxCOMPLEX : mxREAL);
      } else {
        const std::vector<int> e = extents_of(v);
        value =
            mxCreateNumericArray_700(2, e.data(), mxDOUBLE_CLASS, damage == 4 ? mxREAL : mxCOMPLEX);
        if (value) {
          const std::size_t n = mxGetNumberOfElements(v);
          std::memcpy(mxGetPr(value), mxGetPr(v), n * sizeof(double));
          if (damage != 4) std::memcpy(mxGetPi(value), mxGetPi(v), n * sizeof(double));
        }
      }
      mxSetFieldByNumber_700(copy, z, f, value);
    }
  return copy;
}

// frames copies of the folded volume `volume` (M x N x Z x L) as an M x N x Z x L x frames
// series, frame t scaled by t + 1.
mxArray* series_of(const mxArray* volume, const std::vector<int>& fold, int frames) {
  std::vector<int> dims = fold;
  dims.push_back(frames);
  mxArray* s = mxCreateNumericArray_700(5, dims.data(), mxDOUBLE_CLASS, mxCOMPLEX);
  if (!s) return nullptr;
  const std::size_t n = mxGetNumberOfElements(volume);
  for (int t = 0; t < frames; ++t)
    for (std::size_t i = 0; i < n; ++i) {
      mxGetPr(s)[t * n + i] = (t + 1) * mxGetPr(volume)[i];
      mxGetPi(s)[t * n + i] = (t + 1) * mxGetPi(volume)[i];
    }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes bytes(data, size);
  const int nlhs = bytes.next() % 6;
  const int nrhs = bytes.next() % 5;
  const long live_before = tarvo_mxhost_live_arrays();

  std::vector<Argument> args;
  std::vector<const mxArray*> prhs(4, nullptr);
  std::vector<int> first_dims;
  std::int64_t elements = 0;
  for (int i = 0; i < nrhs; ++i) {
    args.push_back(make_input(bytes, i == 0 ? nullptr : &first_dims));
    if (!args.back().array) {  // beyond even the host's unbacked arrays (2^62 elements)
      for (Argument& a : args) mxDestroyArray(a.array);
      return 0;
    }
    if (i == 0) first_dims = extents_of(args.back().array);
    prhs[i] = args.back().array;
    elements += args.back().elements;
  }
  const long live_inputs = tarvo_mxhost_live_arrays();

  mxArray* plhs[8] = {};
  tarvo_mxhost_clear_console();
  const auto start = std::chrono::steady_clock::now();
  mexFunction(nlhs, plhs, nrhs, prhs.data());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string console = tarvo_mxhost_console();

  if (seconds > kBaseSeconds + kSecondsPerElement * static_cast<double>(elements))
    fail("time bound", std::to_string(seconds) + " s for " + std::to_string(elements));
  for (int k = std::max(nlhs, 1); k < 8; ++k)
    if (plhs[k]) fail("output slot beyond nlhs written", std::to_string(k));
  if (!console.empty()) {
    for (int k = 0; k < 8; ++k)
      if (plhs[k]) fail("message printed and an output set", std::to_string(k));
  } else {
    if (nrhs < 2 || nlhs > 3) fail("bad argument count accepted silently");
    const std::vector<int> fold = folded(prhs[0]);
    for (int k = 0; k < nlhs; ++k)
      if (!plhs[k]) fail("requested output not set without a message", std::to_string(k));
    if (nlhs == 0 && plhs[0]) fail("output set for nlhs 0");
    if (nlhs >= 1) check_volume(plhs[0], fold, "output 1");
    if (nlhs >= 2) check_volume(plhs[1], fold, "output 2");
    if (nlhs >= 3) check_kernels(plhs[2], fold[2], fold[3]);
  }

  // tarvo_apply: on the inputs as they are, then on the kernels this call returned.
  const int damage = bytes.next() % 6;
  const int frames = bytes.next() % 4;
  const std::int64_t target_count = nrhs >= 2 ? product(extents_of(prhs[1])) : 0;
  if (target_count > 0 && target_count <= kMaxElements) {
    check_apply(prhs[0], prhs[1], nlhs % 3);
    if (console.empty() && nlhs >= 3) {
      const std::vector<int> fold = folded(prhs[0]);
      mxArray* K = damage == 0 ? nullptr : damaged_kernels(plhs[2], damage, prhs[1]);
      mxArray* series = frames > 0 ? series_of(prhs[1], fold, frames) : nullptr;
      if (damage == 5 && K) {
        mxDestroyArray(K);
        K = nullptr;
      }
      const mxArray* kernels = damage == 5 ? prhs[0] : K ? K : plhs[2];
      if (series) check_apply(kernels, series, 1);
      mxDestroyArray(K);
      mxDestroyArray(series);
    }
  }

  for (mxArray*& a : plhs) mxDestroyArray(a);
  if (tarvo_mxhost_live_arrays() != live_inputs)
    fail("host arrays leaked", std::to_string(tarvo_mxhost_live_arrays() - live_inputs));
  for (Argument& a : args) mxDestroyArray(a.array);
  if (tarvo_mxhost_live_arrays() != live_before) fail("input arrays miscounted");
  return 0;
}
