// Mixed-radix FFT of any length n >= 1: recursive decimation in time over the factor pairs
// of the plan, with butterflies of radix 2, 3, 4, 5, 7, 11, 13 and a generic radix p (the
// recursion itself is fft/mixed_radix_network.h); and the multi-dimensional driver that
// transforms along each dimension in turn, four neighbouring transforms at a time when the
// plan has only fixed butterflies.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "fft/cvec.h"
#include "fft/fft.h"
#include "fft/simd.h"

namespace tarvo::fftk {

// One transform: an element is one complex value, in plain double arithmetic.
inline dcomplex operator+(dcomplex a, dcomplex b) {
  return {a.re + b.re, a.im + b.im};
}
inline dcomplex operator-(dcomplex a, dcomplex b) {
  return {a.re - b.re, a.im - b.im};
}
inline dcomplex operator*(double s, dcomplex a) {
  return {s * a.re, s * a.im};
}
inline dcomplex mul(dcomplex a, dcomplex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline dcomplex mul_i(dcomplex a) {
  return {-a.im, a.re};
}
struct e_scalar {
  using v = dcomplex;
  static constexpr int W = 1;
  static dcomplex load(const dcomplex* p) { return *p; }
  static void store(dcomplex* p, dcomplex x) { *p = x; }
};

// Four transforms side by side, one 128-bit register per complex value.
inline cvec4 operator*(double s, cvec4 a) {
  return scale(a, s);
}
inline cvec4 mul(cvec4 a, dcomplex r) {
  return mul(a, make_twiddle(r.re, r.im));
}
struct e_sse2_4 {
  using v = cvec4;
  static constexpr int W = 4;
  static cvec4 load(const dcomplex* p) {
    return fftk::load(sptr<4>{const_cast<double*>(reinterpret_cast<const double*>(p))});
  }
  static void store(dcomplex* p, cvec4 x) { fftk::store(sptr<4>{reinterpret_cast<double*>(p)}, x); }
};

}  // namespace tarvo::fftk

#define TARVO_FFT_ISA sse2
#include "fft/mixed_radix_network.h"
#include "linalg/report.h"
#undef TARVO_FFT_ISA

namespace tarvo::fftk::sse2 {

void mrfft_batch4(const MixedRadixPlan* plan, const dcomplex* in, int32_t in_stride,
                  dcomplex* out) {
  mr::work<e_sse2_4>(out, in, 1, in_stride, plan->stages, plan, nullptr);
}

}  // namespace tarvo::fftk::sse2

namespace {

constexpr std::size_t kPlanHeader = sizeof(MixedRadixPlan);  // two int32 + 64 int32
constexpr std::size_t kNdHeader = sizeof(MixedRadixNdPlan);  // two int32 + three pointers

std::size_t plan_bytes(int32_t n) {
  return kPlanHeader + 16 * static_cast<std::size_t>(n);
}
std::size_t round8(std::size_t b) {
  return (b + 7) / 8 * 8;
}

bool has_fixed_butterfly(int p) {
  return p == 1 || p == 2 || p == 3 || p == 4 || p == 5 || p == 7 || p == 11 || p == 13;
}

// Largest radix of the plan that goes through the generic butterfly (0 when none).
int64_t generic_radix_need(const MixedRadixPlan* plan) {
  int64_t need = 0;
  for (int s = 0; s < 32; ++s) {
    const int p = plan->stages[2 * s];
    if (p > need && !has_fixed_butterfly(p)) need = p;
    if (plan->stages[2 * s + 1] <= 1) break;
  }
  return need;
}

// Transform of the sub-sequence in[j * fstride * in_stride] into out, one transform.
void mrfft_work(dcomplex* out, const dcomplex* in, int fstride, int in_stride, const int32_t* pairs,
                const MixedRadixPlan* plan, dcomplex* work) {
  tarvo::fftk::sse2::mr::work<tarvo::fftk::e_scalar>(out, in, fstride, in_stride, pairs, plan,
                                                     work);
}

bool grow(dcomplex*& buf, uint64_t& capacity, int64_t need) {
  if (need <= 0 || static_cast<uint64_t>(need) <= capacity) return true;
  dcomplex* fresh = tarvo::alloc_array<dcomplex>(need);
  if (fresh == nullptr) return false;
  tarvo::free_bytes(buf);
  buf = fresh;
  capacity = static_cast<uint64_t>(need);
  return true;
}

void report_scratch_failure(const char* routine) {
  tarvo::report("%s: could not alloc fft scratch array\n", routine);
}

}  // namespace

void fft_scratch_init(FftScratch* s) {
  s->work = nullptr;
  s->work_capacity = 0;
  s->copy = nullptr;
  s->copy_capacity = 0;
}

void fft_scratch_free(FftScratch* s) {
  tarvo::free_bytes(s->work);
  tarvo::free_bytes(s->copy);
  fft_scratch_init(s);
}

int fft_scratch_reserve(FftScratch* s, int64_t work, int64_t copy) {
  if (!grow(s->work, s->work_capacity, work)) return -1;
  if (!grow(s->copy, s->copy_capacity, copy)) return -1;
  return 0;
}

void mrfft_factor(int32_t n, int32_t* stages) {
  for (int i = 0; i < 64; ++i) stages[i] = 0;
  const double r = std::floor(std::sqrt(static_cast<double>(n)));
  int32_t p = 4;
  int pair = 0;
  do {
    while (n % p != 0) {
      switch (p) {
        case 4:
          p = 2;
          break;
        case 2:
          p = 3;
          break;
        default:
          p += 2;
          break;
      }
      if (static_cast<double>(p) > r) p = n;
    }
    n /= p;
    stages[2 * pair] = p;
    stages[2 * pair + 1] = n;
    ++pair;
  } while (n > 1);
}

MixedRadixPlan* mrfft_alloc(int32_t n, int32_t backward, void* mem, std::size_t* lenmem) {
  if (n < 1) return nullptr;
  const std::size_t need = plan_bytes(n);
  void* block = nullptr;
  if (lenmem == nullptr) {
    block = tarvo::alloc_bytes(need);
  } else {
    if (mem != nullptr && *lenmem >= need) block = mem;
    *lenmem = need;
  }
  if (block == nullptr) return nullptr;
  MixedRadixPlan* plan = static_cast<MixedRadixPlan*>(block);
  plan->n = n;
  plan->backward = backward;
  dcomplex* roots = plan->roots();
  for (int32_t k = 0; k < n; ++k) {
    double phi = (static_cast<double>(k) * -6.283185307179586) / n;
    if (backward) phi *= -1.0;
    roots[k] = {std::cos(phi), std::sin(phi)};
  }
  mrfft_factor(n, plan->stages);
  return plan;
}

int mrfft_stride(const MixedRadixPlan* plan, const dcomplex* in, dcomplex* out, int32_t in_stride,
                 FftScratch* scratch) {
  const bool same = in == out;
  if (fft_scratch_reserve(scratch, generic_radix_need(plan), same ? plan->n : 0) != 0) {
    report_scratch_failure("mrfft_stride");
    return -1;
  }
  if (same) {
    mrfft_work(scratch->copy, in, 1, in_stride, plan->stages, plan, scratch->work);
    std::memcpy(out, scratch->copy, sizeof(dcomplex) * static_cast<std::size_t>(plan->n));
  } else {
    mrfft_work(out, in, 1, in_stride, plan->stages, plan, scratch->work);
  }
  return 0;
}

int mrfft_columns(const MixedRadixPlan* plan, dcomplex* data, int32_t count, FftScratch* scratch) {
  const int n = plan->n;
  const int64_t generic = generic_radix_need(plan);
  if (fft_scratch_reserve(scratch, generic, 4 * int64_t{n}) != 0) {
    report_scratch_failure("mrfft_columns");
    return -1;
  }
  dcomplex* result = scratch->copy;
  int i = 0;
  if (generic == 0) {
    for (; i + 4 <= count; i += 4) {
      tarvo::fftk::mrfft_batch4(plan, data + i, count, result);
      for (int j = 0; j < n; ++j)
        for (int c = 0; c < 4; ++c)
          data[i + c + static_cast<int64_t>(j) * count] = result[4 * j + c];
    }
  }
  for (; i < count; ++i) {
    mrfft_work(result, data + i, 1, count, plan->stages, plan, scratch->work);
    for (int j = 0; j < n; ++j) data[i + static_cast<int64_t>(j) * count] = result[j];
  }
  return 0;
}

MixedRadixNdPlan* mrfftnd_alloc(const int32_t* dims, int32_t ndims, int32_t backward, void* mem,
                                std::size_t* lenmem) {
  if (dims == nullptr || ndims < 1) return nullptr;
  int64_t total = 1;
  std::size_t need =
      kNdHeader + 8 * static_cast<std::size_t>(ndims) + round8(4 * static_cast<std::size_t>(ndims));
  for (int k = 0; k < ndims; ++k) {
    if (dims[k] < 1) return nullptr;
    total *= dims[k];
    if (total > INT32_MAX) return nullptr;
    std::size_t size = 0;
    mrfft_alloc(dims[k], backward, nullptr, &size);
    need += size;
  }
  need += 16 * static_cast<std::size_t>(total);
  char* block = nullptr;
  if (lenmem == nullptr) {
    block = static_cast<char*>(tarvo::alloc_bytes(need));
  } else {
    if (mem != nullptr && *lenmem >= need) block = static_cast<char*>(mem);
    *lenmem = need;
  }
  if (block == nullptr) return nullptr;
  MixedRadixNdPlan* nd = reinterpret_cast<MixedRadixNdPlan*>(block);
  nd->total = static_cast<int32_t>(total);
  nd->ndims = ndims;
  char* pos = block + kNdHeader;
  nd->plans = reinterpret_cast<MixedRadixPlan**>(pos);
  pos += 8 * static_cast<std::size_t>(ndims);
  nd->dims = reinterpret_cast<int32_t*>(pos);
  pos += round8(4 * static_cast<std::size_t>(ndims));  // keeps buffer and plans 8-aligned
  nd->buffer = reinterpret_cast<dcomplex*>(pos);
  pos += 16 * static_cast<std::size_t>(total);
  for (int k = 0; k < ndims; ++k) {
    nd->dims[k] = dims[k];
    std::size_t size = 0;
    mrfft_alloc(dims[k], backward, nullptr, &size);
    nd->plans[k] = mrfft_alloc(dims[k], backward, pos, &size);
    pos += size;
  }
  if (static_cast<std::size_t>(pos - block) != need)
    tarvo::report(
        "################################################################################\n"
        "Internal error! Memory allocation miscalculation\n"
        "################################################################################\n");
  return nd;
}

int mrfftnd(const MixedRadixNdPlan* plan, const dcomplex* in, dcomplex* out, FftScratch* scratch) {
  // A pass whose plan has only fixed butterflies runs four transforms at a time, their results
  // gathered in `copy` (4 len values) before they are written out transposed.
  int64_t work = 0, copy = 0;
  for (int k = 0; k < plan->ndims; ++k) {
    const int64_t need = generic_radix_need(plan->plans[k]);
    if (need > work) work = need;
    if (need == 0 && plan->total / plan->dims[k] >= 4 && 4 * int64_t{plan->dims[k]} > copy)
      copy = 4 * int64_t{plan->dims[k]};
  }
  // Grown before any value is written, so a failure leaves out untouched.
  if (fft_scratch_reserve(scratch, work, copy) != 0) {
    report_scratch_failure("mrfftnd");
    return -1;
  }
  const int total = plan->total;
  const dcomplex* src = in;
  dcomplex* dst = plan->buffer;
  if (plan->ndims % 2 == 1) {
    dst = out;
    if (in == out) {
      std::memcpy(plan->buffer, in, sizeof(dcomplex) * static_cast<std::size_t>(total));
      src = plan->buffer;
    }
  }
  for (int k = 0; k < plan->ndims; ++k) {
    const int len = plan->dims[k];
    const int stride = total / len;
    const MixedRadixPlan* p = plan->plans[k];
    // Transforms along the slowest dimension and writes it transposed (fastest): transform i
    // reads src[i + j stride] and writes dst[i len + j].
    int i = 0;
    if (generic_radix_need(p) == 0) {
      for (; i + 4 <= stride; i += 4) {
        tarvo::fftk::mrfft_batch4(p, src + i, stride, scratch->copy);
        for (int c = 0; c < 4; ++c) {
          dcomplex* row = dst + static_cast<std::ptrdiff_t>(i + c) * len;
          for (int j = 0; j < len; ++j) row[j] = scratch->copy[4 * j + c];
        }
      }
    }
    for (; i < stride; ++i)
      mrfft_work(dst + static_cast<std::ptrdiff_t>(i) * len, src + i, 1, stride, p->stages, p,
                 scratch->work);
    src = dst;
    dst = dst == out ? plan->buffer : out;
  }
  return 0;
}
