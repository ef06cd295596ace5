// Mixed-radix FFT of any length n >= 1: recursive decimation in time over the factor pairs
// of the plan, with butterflies of radix 2, 3, 4, 5, 7, 11, 13 and a generic radix p; and the
// multi-dimensional driver that transforms along each dimension in turn.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "fft/fft.h"

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

void butterfly2(dcomplex* out, int fstride, const dcomplex* roots, int m) {
  for (int k = 0; k < m; ++k) {
    const dcomplex t = out[k + m] * roots[k * fstride];
    out[k + m] = out[k] - t;
    out[k] = out[k] + t;
  }
}

void butterfly4(dcomplex* out, int fstride, const dcomplex* roots, int m, bool backward) {
  for (int k = 0; k < m; ++k) {
    const dcomplex a1 = out[k + m] * roots[k * fstride];
    const dcomplex a2 = out[k + 2 * m] * roots[2 * k * fstride];
    const dcomplex a3 = out[k + 3 * m] * roots[3 * k * fstride];
    const dcomplex s0 = out[k] - a2;
    const dcomplex o0 = out[k] + a2;
    const dcomplex s1 = a1 + a3;
    const dcomplex s2 = a1 - a3;
    out[k + 2 * m] = o0 - s1;
    out[k] = o0 + s1;
    const dcomplex is2 = {-s2.im, s2.re};  // i*s2
    if (backward) {
      out[k + m] = s0 + is2;
      out[k + 3 * m] = s0 - is2;
    } else {
      out[k + m] = s0 - is2;
      out[k + 3 * m] = s0 + is2;
    }
  }
}

void butterfly3(dcomplex* out, int fstride, const dcomplex* roots, int m) {
  const double e = roots[fstride * m].im;  // sin(-+2 pi / 3)
  for (int k = 0; k < m; ++k) {
    const dcomplex s1 = out[k + m] * roots[k * fstride];
    const dcomplex s2 = out[k + 2 * m] * roots[2 * k * fstride];
    const dcomplex s3 = s1 + s2;
    const dcomplex s0 = e * (s1 - s2);
    const dcomplex h = out[k] - 0.5 * s3;
    out[k] = out[k] + s3;
    out[k + 2 * m] = {h.re + s0.im, h.im - s0.re};
    out[k + m] = {h.re - s0.im, h.im + s0.re};
  }
}

void butterfly5(dcomplex* out, int fstride, const dcomplex* roots, int m) {
  const dcomplex ya = roots[fstride * m];      // exp(-+2 pi i / 5)
  const dcomplex yb = roots[2 * fstride * m];  // exp(-+4 pi i / 5)
  for (int k = 0; k < m; ++k) {
    const dcomplex s0 = out[k];
    const dcomplex s1 = out[k + m] * roots[k * fstride];
    const dcomplex s2 = out[k + 2 * m] * roots[2 * k * fstride];
    const dcomplex s3 = out[k + 3 * m] * roots[3 * k * fstride];
    const dcomplex s4 = out[k + 4 * m] * roots[4 * k * fstride];
    const dcomplex s7 = s1 + s4, s10 = s1 - s4, s8 = s2 + s3, s9 = s2 - s3;
    out[k] = s0 + s7 + s8;
    const dcomplex s5 = s0 + ya.re * s7 + yb.re * s8;
    const dcomplex s6 = {ya.im * s10.im + yb.im * s9.im, -ya.im * s10.re - yb.im * s9.re};
    out[k + m] = s5 - s6;
    out[k + 4 * m] = s5 + s6;
    const dcomplex s11 = s0 + yb.re * s7 + ya.re * s8;
    const dcomplex s12 = {-yb.im * s10.im + ya.im * s9.im, yb.im * s10.re - ya.im * s9.re};
    out[k + 2 * m] = s11 + s12;
    out[k + 3 * m] = s11 - s12;
  }
}

// Radix P (odd) through the symmetric pairs q, P-q: with s_q the twiddled inputs,
// t_q = s_q + s_{P-q}, d_q = s_q - s_{P-q} and E^{qr} = (c_qr, z_qr),
// y_r = s_0 + sum_q t_q c_qr + i sum_q d_q z_qr and y_{P-r} = the same with -i.
template <int P>
void butterfly_odd(dcomplex* out, int fstride, const dcomplex* roots, int m) {
  constexpr int H = (P - 1) / 2;
  double c[H + 1][H + 1], z[H + 1][H + 1];
  const int64_t base = static_cast<int64_t>(fstride) * m;  // roots[base] = exp(-+2 pi i / P)
  for (int q = 1; q <= H; ++q)
    for (int r = 1; r <= H; ++r) {
      const dcomplex e = roots[base * ((q * r) % P)];
      c[q][r] = e.re;
      z[q][r] = e.im;
    }
  for (int k = 0; k < m; ++k) {
    dcomplex s[P];
    s[0] = out[k];
    for (int q = 1; q < P; ++q)
      s[q] = out[k + q * m] * roots[static_cast<int64_t>(q) * k * fstride];
    dcomplex t[H + 1], d[H + 1];
    dcomplex y0 = s[0];
    for (int q = 1; q <= H; ++q) {
      t[q] = s[q] + s[P - q];
      d[q] = s[q] - s[P - q];
      y0 += t[q];
    }
    out[k] = y0;
    for (int r = 1; r <= H; ++r) {
      dcomplex a = s[0], b = {0.0, 0.0};
      for (int q = 1; q <= H; ++q) {
        a += c[q][r] * t[q];
        b += z[q][r] * d[q];
      }
      out[k + r * m] = {a.re - b.im, a.im + b.re};        // a + i b
      out[k + (P - r) * m] = {a.re + b.im, a.im - b.re};  // a - i b
    }
  }
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
    for (int j = 0; j < p; ++j) out[j] = in[j * step];
  } else {
    for (int j = 0; j < p; ++j)
      mrfft_work(out + static_cast<std::ptrdiff_t>(j) * m, in + j * step, fstride * p, in_stride,
                 pairs + 2, plan, work);
  }
  const dcomplex* roots = plan->roots();
  switch (p) {
    case 1:
      break;
    case 2:
      butterfly2(out, fstride, roots, m);
      break;
    case 3:
      butterfly3(out, fstride, roots, m);
      break;
    case 4:
      butterfly4(out, fstride, roots, m, plan->backward != 0);
      break;
    case 5:
      butterfly5(out, fstride, roots, m);
      break;
    case 7:
      butterfly_odd<7>(out, fstride, roots, m);
      break;
    case 11:
      butterfly_odd<11>(out, fstride, roots, m);
      break;
    case 13:
      butterfly_odd<13>(out, fstride, roots, m);
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
