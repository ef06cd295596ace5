#include "tests/testhost/mxhost.h"

#include <atomic>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

struct mxArray_tag {
  mxClassID cls = mxUNKNOWN_CLASS;
  bool complex = false;
  std::vector<int> dims;
  std::size_t numel = 0;
  void* re = nullptr;  // calloc'd, element size by class (numeric and logical only)
  void* im = nullptr;  // complex only
  std::string text;    // char arrays
  std::vector<std::string> fields;
  std::vector<mxArray*> values;  // struct arrays: numel * fields.size(), owned, may be null
};

namespace {

std::mutex g_console_mutex;
std::string g_console;
std::atomic<long> g_creates{0};
std::atomic<long> g_fail_at{0};  // absolute constructor call number that fails, 0 = none
std::atomic<long> g_live{0};

// The innermost tarvo_mxhost_call of this thread, and the last error raised on it.
thread_local std::jmp_buf* t_call = nullptr;
thread_local char t_error_id[128];
thread_local char t_error_message[2048];

// Counts a constructor call; true when this call is the one made to fail.
bool create_fails() {
  const long call = g_creates.fetch_add(1) + 1;
  long target = g_fail_at.load();
  return target != 0 && call == target && g_fail_at.compare_exchange_strong(target, 0);
}

std::size_t element_size(mxClassID cls) {
  switch (cls) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
      return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
      return 4;
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
      return 2;
    case mxLOGICAL_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
      return 1;
    default:
      return 0;
  }
}

// Product of the extents, or SIZE_MAX when one is negative or the product passes 2^62.
std::size_t count_of(const std::vector<int>& dims) {
  std::uint64_t n = 1;
  for (int d : dims) {
    if (d < 0) return SIZE_MAX;
    n *= static_cast<std::uint64_t>(d);
    if (n > (std::uint64_t{1} << 62)) return SIZE_MAX;
  }
  return static_cast<std::size_t>(n);
}

mxArray* new_array() {
  mxArray* a = new (std::nothrow) mxArray_tag;
  if (a) ++g_live;
  return a;
}

// Allocates the data of a numeric array whose cls, complex and dims are set; `elements` is
// the number of elements to back (numel, or 1 for unbacked arrays).
mxArray* finish_numeric(mxArray* a, std::size_t elements) {
  const std::size_t size = element_size(a->cls);
  a->re = std::calloc(elements == 0 ? 1 : elements, size);
  if (a->complex) a->im = std::calloc(elements == 0 ? 1 : elements, size);
  if (!a->re || (a->complex && !a->im)) {
    mxDestroyArray(a);
    return nullptr;
  }
  return a;
}

mxArray* create_numeric(int ndim, const int* dims, mxClassID cls, mxComplexity flag,
                        bool unbacked) {
  if (element_size(cls) == 0 || ndim < 0 || (ndim > 0 && !dims)) return nullptr;
  if (cls == mxLOGICAL_CLASS && flag == mxCOMPLEX) return nullptr;
  mxArray* a = new_array();
  if (!a) return nullptr;
  try {
    a->cls = cls;
    a->complex = flag == mxCOMPLEX;
    a->dims.assign(dims, dims + ndim);
    while (a->dims.size() < 2) a->dims.push_back(1);
    if (!unbacked)
      while (a->dims.size() > 2 && a->dims.back() == 1) a->dims.pop_back();
  } catch (...) {
    mxDestroyArray(a);
    return nullptr;
  }
  a->numel = count_of(a->dims);
  if (a->numel == SIZE_MAX) {
    mxDestroyArray(a);
    return nullptr;
  }
  return finish_numeric(a, unbacked ? 1 : a->numel);
}

bool valid_field(const mxArray* pa, int index, int fieldnum) {
  return pa && pa->cls == mxSTRUCT_CLASS && index >= 0 &&
         static_cast<std::size_t>(index) < pa->numel && fieldnum >= 0 &&
         static_cast<std::size_t>(fieldnum) < pa->fields.size();
}

}  // namespace

extern "C" {

double* mxGetPr(const mxArray* pa) {
  return pa && pa->cls == mxDOUBLE_CLASS ? static_cast<double*>(pa->re) : nullptr;
}

double* mxGetPi(const mxArray* pa) {
  return pa && pa->cls == mxDOUBLE_CLASS ? static_cast<double*>(pa->im) : nullptr;
}

void* mxGetData(const mxArray* pa) {
  return pa ? pa->re : nullptr;
}
void* mxGetImagData(const mxArray* pa) {
  return pa ? pa->im : nullptr;
}

bool mxIsDouble(const mxArray* pa) {
  return pa && pa->cls == mxDOUBLE_CLASS;
}
bool mxIsComplex(const mxArray* pa) {
  return pa && pa->complex;
}
mxClassID mxGetClassID(const mxArray* pa) {
  return pa ? pa->cls : mxUNKNOWN_CLASS;
}
size_t mxGetNumberOfElements(const mxArray* pa) {
  return pa ? pa->numel : 0;
}

int mxGetNumberOfDimensions_700(const mxArray* pa) {
  return pa ? static_cast<int>(pa->dims.size()) : 0;
}

const int* mxGetDimensions_700(const mxArray* pa) {
  return pa ? pa->dims.data() : nullptr;
}

mxArray* mxCreateNumericArray_700(int ndim, const int* dims, mxClassID classid, mxComplexity flag) {
  if (create_fails()) return nullptr;
  return create_numeric(ndim, dims, classid, flag, false);
}

mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity flag) {
  if (create_fails()) return nullptr;
  const int dims[2] = {m, n};
  return create_numeric(2, dims, mxDOUBLE_CLASS, flag, false);
}

mxArray* tarvo_mxhost_create_unbacked(int ndim, const int* dims, mxClassID classid,
                                      mxComplexity flag) {
  return create_numeric(ndim, dims, classid, flag, true);
}

mxArray* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames) {
  if (create_fails()) return nullptr;
  if (m < 0 || n < 0 || nfields < 0 || (nfields > 0 && !fieldnames)) return nullptr;
  mxArray* a = new_array();
  if (!a) return nullptr;
  try {
    a->cls = mxSTRUCT_CLASS;
    a->dims = {m, n};
    a->numel = count_of(a->dims);
    for (int f = 0; f < nfields; ++f) {
      if (!fieldnames[f]) throw std::bad_alloc();
      a->fields.emplace_back(fieldnames[f]);
    }
    a->values.assign(a->numel * a->fields.size(), nullptr);
  } catch (...) {
    mxDestroyArray(a);
    return nullptr;
  }
  return a;
}

int mxGetNumberOfFields(const mxArray* pa) {
  return pa && pa->cls == mxSTRUCT_CLASS ? static_cast<int>(pa->fields.size()) : 0;
}

const char* mxGetFieldNameByNumber(const mxArray* pa, int fieldnum) {
  if (!pa || pa->cls != mxSTRUCT_CLASS || fieldnum < 0 ||
      static_cast<std::size_t>(fieldnum) >= pa->fields.size())
    return nullptr;
  return pa->fields[fieldnum].c_str();
}

int mxGetFieldNumber(const mxArray* pa, const char* name) {
  if (!pa || pa->cls != mxSTRUCT_CLASS || !name) return -1;
  for (std::size_t f = 0; f < pa->fields.size(); ++f)
    if (pa->fields[f] == name) return static_cast<int>(f);
  return -1;
}

void mxSetFieldByNumber_700(mxArray* pa, int index, int fieldnum, mxArray* value) {
  if (!valid_field(pa, index, fieldnum)) return;
  pa->values[static_cast<std::size_t>(index) * pa->fields.size() + fieldnum] = value;
}

mxArray* mxGetFieldByNumber_700(const mxArray* pa, int index, int fieldnum) {
  if (!valid_field(pa, index, fieldnum)) return nullptr;
  return pa->values[static_cast<std::size_t>(index) * pa->fields.size() + fieldnum];
}

mxArray* mxCreateString(const char* str) {
  if (create_fails() || !str) return nullptr;
  mxArray* a = new_array();
  if (!a) return nullptr;
  try {
    a->cls = mxCHAR_CLASS;
    a->text = str;
    a->dims = {1, static_cast<int>(a->text.size())};
    a->numel = a->text.size();
  } catch (...) {
    mxDestroyArray(a);
    return nullptr;
  }
  return a;
}

char* mxArrayToString(const mxArray* pa) {
  if (!pa || pa->cls != mxCHAR_CLASS) return nullptr;
  char* s = static_cast<char*>(std::malloc(pa->text.size() + 1));
  if (s) std::memcpy(s, pa->text.c_str(), pa->text.size() + 1);
  return s;
}

void mxFree(void* p) {
  std::free(p);
}

void mxDestroyArray(mxArray* pa) {
  if (!pa) return;
  for (mxArray* v : pa->values) mxDestroyArray(v);
  std::free(pa->re);
  std::free(pa->im);
  delete pa;
  --g_live;
}

int mexPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    try {
      std::vector<char> text(static_cast<std::size_t>(n) + 1);
      std::vsnprintf(text.data(), text.size(), format, again);
      std::lock_guard<std::mutex> lock(g_console_mutex);
      g_console.append(text.data(), static_cast<std::size_t>(n));
    } catch (...) {  // console text lost; never throw across the C interface
    }
  }
  va_end(again);
  return n;
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  std::snprintf(t_error_id, sizeof t_error_id, "%s", id ? id : "");
  va_list args;
  va_start(args, format);
  std::vsnprintf(t_error_message, sizeof t_error_message, format ? format : "", args);
  va_end(args);
  // Outside tarvo_mxhost_call there is no frame to return to: the error is kept (read it with
  // tarvo_mxhost_error_id) and reported on stderr, and the entry goes on to its own return
  // (the module raises only as the last thing an entry does).
  if (!t_call) {
    std::fprintf(stderr, "mexErrMsgIdAndTxt outside a host call: %s: %s\n", t_error_id,
                 t_error_message);
    return;
  }
  std::longjmp(*t_call, 1);
}

int tarvo_mxhost_call(tarvo_mxhost_entry entry, int nlhs, mxArray* plhs[], int nrhs,
                      const mxArray* prhs[]) {
  std::jmp_buf here;
  std::jmp_buf* const outer = t_call;
  t_error_id[0] = '\0';
  t_error_message[0] = '\0';
  if (setjmp(here) != 0) {
    t_call = outer;
    return 1;
  }
  t_call = &here;
  entry(nlhs, plhs, nrhs, prhs);
  t_call = outer;
  return 0;
}

const char* tarvo_mxhost_error_id(void) {
  return t_error_id;
}
const char* tarvo_mxhost_error_message(void) {
  return t_error_message;
}

const char* tarvo_mxhost_console(void) {
  std::lock_guard<std::mutex> lock(g_console_mutex);
  return g_console.c_str();
}

void tarvo_mxhost_clear_console(void) {
  std::lock_guard<std::mutex> lock(g_console_mutex);
  g_console.clear();
}

void tarvo_mxhost_fail_create_at(long k) {
  g_fail_at.store(k <= 0 ? 0 : g_creates.load() + k);
}

long tarvo_mxhost_live_arrays(void) {
  return g_live.load();
}

}  // extern "C"
