// Mixed-radix FFT of any length n >= 1: recursive decimation in time over the factor pairs
// of the plan, with butterflies of radix 2, 3, 4, 5, 7, 11, 13 and a generic radix p; and the
// multi-dimensional driver that transforms along each dimension in turn.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "fft/fft.h"

// Fully unrolls the short fixed-count loops of the small DFTs, so that their index arithmetic
// folds into constants.
#if defined(__GNUC__)
#define TARVO_UNROLL _Pragma("GCC unroll 16")
#else
#define TARVO_UNROLL
#endif

namespace {

constexpr std::size_t kPlanHeader = sizeof(MixedRadixPlan);  // two int32 + 64 int32
constexpr std::size_t kNdHeader = sizeof(MixedRadixNdPlan);  // two int32 + three pointers

inline dcomplex operator+(dcomplex a, dcomplex b) {
  return {a.re + b.re, a.im + b.im};
}
inline dcomplex operator-(dcomplex a, dcomplex b) {
  return {a.re - b.re, a.im - b.im};
}
inline dcomplex operator*(dcomplex a, dcomplex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline dcomplex operator*(double s, dcomplex a) {
  return {s * a.re, s * a.im};
}
inline dcomplex& operator+=(dcomplex& a, dcomplex b) {
  return a = a + b;
}

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

// Constants of the small DFTs of one stage, read from the plan's roots:
// e1 = exp(-+2 pi i / p), e2 = exp(-+4 pi i / p); for the odd radices 7, 11, 13 the real and
// imaginary parts of exp(-+2 pi i t / p), t = 1 .. (p-1)/2.
struct SmallDft {
  bool backward;
  dcomplex e1, e2;
  double cs[7], sn[7];
};

SmallDft small_dft_constants(int p, const MixedRadixPlan* plan, int64_t base) {
  SmallDft c{};
  c.backward = plan->backward != 0;
  const dcomplex* roots = plan->roots();
  if (p == 3 || p == 5) {
    c.e1 = roots[base];
    c.e2 = roots[2 * base];
  } else if (p >= 7) {
    for (int t = 1; t <= (p - 1) / 2; ++t) {
      c.cs[t] = roots[base * t].re;
      c.sn[t] = roots[base * t].im;
    }
  }
  return c;
}

// In-place p-point DFT of x[0 .. p-1] (the inputs already twiddled).
template <int P>
inline void small_dft(dcomplex* x, const SmallDft& c);

template <>
inline void small_dft<2>(dcomplex* x, const SmallDft&) {
  const dcomplex t = x[1];
  x[1] = x[0] - t;
  x[0] = x[0] + t;
}

template <>
inline void small_dft<4>(dcomplex* x, const SmallDft& c) {
  const dcomplex s0 = x[0] - x[2];
  const dcomplex o0 = x[0] + x[2];
  const dcomplex s1 = x[1] + x[3];
  const dcomplex s2 = x[1] - x[3];
  x[2] = o0 - s1;
  x[0] = o0 + s1;
  const dcomplex is2 = {-s2.im, s2.re};  // i*s2
  if (c.backward) {
    x[1] = s0 + is2;
    x[3] = s0 - is2;
  } else {
    x[1] = s0 - is2;
    x[3] = s0 + is2;
  }
}

template <>
inline void small_dft<3>(dcomplex* x, const SmallDft& c) {
  const double e = c.e1.im;  // sin(-+2 pi / 3)
  const dcomplex s3 = x[1] + x[2];
  const dcomplex s0 = e * (x[1] - x[2]);
  const dcomplex h = x[0] - 0.5 * s3;
  x[0] = x[0] + s3;
  x[2] = {h.re + s0.im, h.im - s0.re};
  x[1] = {h.re - s0.im, h.im + s0.re};
}

template <>
inline void small_dft<5>(dcomplex* x, const SmallDft& c) {
  const dcomplex ya = c.e1, yb = c.e2;
  const dcomplex s0 = x[0];
  const dcomplex s7 = x[1] + x[4], s10 = x[1] - x[4], s8 = x[2] + x[3], s9 = x[2] - x[3];
  x[0] = s0 + s7 + s8;
  const dcomplex s5 = s0 + ya.re * s7 + yb.re * s8;
  const dcomplex s6 = {ya.im * s10.im + yb.im * s9.im, -ya.im * s10.re - yb.im * s9.re};
  x[1] = s5 - s6;
  x[4] = s5 + s6;
  const dcomplex s11 = s0 + yb.re * s7 + ya.re * s8;
  const dcomplex s12 = {-yb.im * s10.im + ya.im * s9.im, yb.im * s10.re - ya.im * s9.re};
  x[2] = s11 + s12;
  x[3] = s11 - s12;
}

// Odd prime P through the symmetric pairs q, P-q: with t_q = x_q + x_{P-q},
// d_q = x_q - x_{P-q} and E^{qr} = (c_qr, z_qr),
// y_r = x_0 + sum_q t_q c_qr + i sum_q d_q z_qr and y_{P-r} = the same with -i.
template <int P>
inline void small_dft_odd(dcomplex* x, const SmallDft& c) {
  constexpr int H = (P - 1) / 2;
  dcomplex t[H + 1], d[H + 1];
  dcomplex y0 = x[0];
  TARVO_UNROLL
  for (int q = 1; q <= H; ++q) {
    t[q] = x[q] + x[P - q];
    d[q] = x[q] - x[P - q];
    y0 += t[q];
  }
  const dcomplex x0 = x[0];
  x[0] = y0;
  TARVO_UNROLL
  for (int r = 1; r <= H; ++r) {
    dcomplex a = x0, b = {0.0, 0.0};
    TARVO_UNROLL
    for (int q = 1; q <= H; ++q) {
      const int u = (q * r) % P;  // E^{qr} = E^u; E^{P-u} = conj(E^u)
      const double cq = u <= H ? c.cs[u] : c.cs[P - u];
      const double zq = u <= H ? c.sn[u] : -c.sn[P - u];
      a += cq * t[q];
      b += zq * d[q];
    }
    x[r] = {a.re - b.im, a.im + b.re};      // a + i b
    x[P - r] = {a.re + b.im, a.im - b.re};  // a - i b
  }
}
template <>
inline void small_dft<7>(dcomplex* x, const SmallDft& c) {
  small_dft_odd<7>(x, c);
}
template <>
inline void small_dft<11>(dcomplex* x, const SmallDft& c) {
  small_dft_odd<11>(x, c);
}
template <>
inline void small_dft<13>(dcomplex* x, const SmallDft& c) {
  small_dft_odd<13>(x, c);
}

// Radix-P combination of P sub-results of length m at out: for k < m,
// out[k + q m] <- sum_q' out[k + q' m] W_q' E^{q q'}, W_q = roots[q k fstride].
template <int P>
void butterfly(dcomplex* out, int fstride, const MixedRadixPlan* plan, int m) {
  const SmallDft c = small_dft_constants(P, plan, static_cast<int64_t>(fstride) * m);
  const dcomplex* roots = plan->roots();
  for (int k = 0; k < m; ++k) {
    dcomplex x[P];
    x[0] = out[k];
    TARVO_UNROLL
    for (int q = 1; q < P; ++q)
      x[q] = out[k + q * m] * roots[static_cast<int64_t>(q) * k * fstride];
    small_dft<P>(x, c);
    TARVO_UNROLL
    for (int q = 0; q < P; ++q) out[k + q * m] = x[q];
  }
}

// The last stage (m = 1): the P inputs in[q step] go straight into the small DFT (all its
// twiddles are roots[0] = 1).
template <int P>
void leaf(dcomplex* out, const dcomplex* in, std::ptrdiff_t step, int fstride,
          const MixedRadixPlan* plan) {
  const SmallDft c = small_dft_constants(P, plan, fstride);
  dcomplex x[P];
  TARVO_UNROLL
  for (int q = 0; q < P; ++q) x[q] = in[q * step];
  small_dft<P>(x, c);
  TARVO_UNROLL
  for (int q = 0; q < P; ++q) out[q] = x[q];
}

// Generic radix p: out[u + q1 m] = sum_q work[q] roots[(q (u + q1 m) fstride) mod n].
void butterfly_generic(dcomplex* out, int fstride, const MixedRadixPlan* plan, int m, int p,
                       dcomplex* work) {
  const dcomplex* roots = plan->roots();
  const int n = plan->n;
  for (int u = 0; u < m; ++u) {
    for (int q = 0; q < p; ++q) work[q] = out[u + q * m];
    for (int q1 = 0; q1 < p; ++q1) {
      const int k = u + q1 * m;
      const int step = static_cast<int>((static_cast<int64_t>(fstride) * k) % n);
      int t = 0;
      dcomplex acc = work[0];
      for (int q = 1; q < p; ++q) {
        t += step;
        if (t >= n) t -= n;
        acc += work[q] * roots[t];
      }
      out[k] = acc;
    }
  }
}

// Transform of the sub-sequence in[j * fstride * in_stride] into out, stage by stage from
// `pairs`. The scratch must already hold the plan's generic radix.
void mrfft_work(dcomplex* out, const dcomplex* in, int fstride, int in_stride, const int32_t* pairs,
                const MixedRadixPlan* plan, dcomplex* work) {
  const int p = pairs[0];
  const int m = pairs[1];
  const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(fstride) * in_stride;
  if (m == 1) {
    switch (p) {
      case 2:
        return leaf<2>(out, in, step, fstride, plan);
      case 3:
        return leaf<3>(out, in, step, fstride, plan);
      case 4:
        return leaf<4>(out, in, step, fstride, plan);
      case 5:
        return leaf<5>(out, in, step, fstride, plan);
      case 7:
        return leaf<7>(out, in, step, fstride, plan);
      case 11:
        return leaf<11>(out, in, step, fstride, plan);
      case 13:
        return leaf<13>(out, in, step, fstride, plan);
      default:
        break;
    }
    for (int j = 0; j < p; ++j) out[j] = in[j * step];
  } else {
    for (int j = 0; j < p; ++j)
      mrfft_work(out + static_cast<std::ptrdiff_t>(j) * m, in + j * step, fstride * p, in_stride,
                 pairs + 2, plan, work);
  }
  switch (p) {
    case 1:
      break;
    case 2:
      butterfly<2>(out, fstride, plan, m);
      break;
    case 3:
      butterfly<3>(out, fstride, plan, m);
      break;
    case 4:
      butterfly<4>(out, fstride, plan, m);
      break;
    case 5:
      butterfly<5>(out, fstride, plan, m);
      break;
    case 7:
      butterfly<7>(out, fstride, plan, m);
      break;
    case 11:
      butterfly<11>(out, fstride, plan, m);
      break;
    case 13:
      butterfly<13>(out, fstride, plan, m);
      break;
    default:
      butterfly_generic(out, fstride, plan, m, p, work);
      break;
  }
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
  std::fprintf(stderr, "%s: could not alloc fft scratch array\n", routine);
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
    std::fprintf(
        stderr,
        "################################################################################\n"
        "Internal error! Memory allocation miscalculation\n"
        "################################################################################\n");
  return nd;
}

int mrfftnd(const MixedRadixNdPlan* plan, const dcomplex* in, dcomplex* out, FftScratch* scratch) {
  int64_t work = 0;
  for (int k = 0; k < plan->ndims; ++k) {
    const int64_t need = generic_radix_need(plan->plans[k]);
    if (need > work) work = need;
  }
  // Grown before any value is written, so a failure leaves out untouched.
  if (fft_scratch_reserve(scratch, work, 0) != 0) {
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
    // Transforms along the slowest dimension and writes it transposed (fastest).
    for (int i = 0; i < stride; ++i)
      mrfft_work(dst + static_cast<std::ptrdiff_t>(i) * len, src + i, 1, stride, p->stages, p,
                 scratch->work);
    src = dst;
    dst = dst == out ? plan->buffer : out;
  }
  return 0;
}
