// The mixed-radix recursion and its butterflies (radix 2, 3, 4, 5, 7, 11, 13), written once
// over an element type E and compiled once per instruction set. Internal to fft/.
//
// An element is E::W complex values that go through the recursion side by side: W = 1 for one
// transform, W = 4 for four transforms of the same plan whose inputs lie next to each other
// (input j of transform c at in[j * stride + c]). Indices below count elements; E::load and
// E::store move the W values of one element. The generic radix-p butterfly needs W = 1: plans
// that need it run one transform at a time.
//
// E provides: v (one element), W, E::load(const dcomplex*), E::store(dcomplex*, v) and the
// overloads +, -, double * v, mul_i (i x), mul(v, dcomplex) (complex product with one root).
//
// Included once per instruction set, inside that set's namespace: the includer defines
// TARVO_FFT_ISA and has the element types in scope.

#ifndef TARVO_FFT_ISA
#error "define TARVO_FFT_ISA before including fft/mixed_radix_network.h"
#endif

// Fully unrolls the short fixed-count loops of the small DFTs, so that their index arithmetic
// folds into constants.
#ifndef TARVO_UNROLL
#if defined(__GNUC__)
#define TARVO_UNROLL _Pragma("GCC unroll 16")
#else
#define TARVO_UNROLL
#endif
#endif

namespace tarvo::fftk::TARVO_FFT_ISA::mr {

// Constants of the small DFTs of one stage, read from the plan's roots:
// e1 = exp(-+2 pi i / p), e2 = exp(-+4 pi i / p); for the odd radices 7, 11, 13 the real and
// imaginary parts of exp(-+2 pi i t / p), t = 1 .. (p-1)/2.
struct SmallDft {
  bool backward;
  dcomplex e1, e2;
  double cs[7], sn[7];
};

inline SmallDft small_dft_constants(int p, const MixedRadixPlan* plan, int64_t base) {
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
template <int P, class V>
struct small_dft;

template <class V>
struct small_dft<2, V> {
  static void run(V* x, const SmallDft&) {
    const V t = x[1];
    x[1] = x[0] - t;
    x[0] = x[0] + t;
  }
};

template <class V>
struct small_dft<4, V> {
  static void run(V* x, const SmallDft& c) {
    const V s0 = x[0] - x[2];
    const V o0 = x[0] + x[2];
    const V s1 = x[1] + x[3];
    const V s2 = x[1] - x[3];
    x[2] = o0 - s1;
    x[0] = o0 + s1;
    const V is2 = mul_i(s2);
    if (c.backward) {
      x[1] = s0 + is2;
      x[3] = s0 - is2;
    } else {
      x[1] = s0 - is2;
      x[3] = s0 + is2;
    }
  }
};

template <class V>
struct small_dft<3, V> {
  // x1, x2 = h +- i s0 with h = x0 - s3/2, s0 = sin(-+2 pi/3) (x1 - x2)
  static void run(V* x, const SmallDft& c) {
    const double e = c.e1.im;
    const V s3 = x[1] + x[2];
    const V s0 = e * (x[1] - x[2]);
    const V h = x[0] - 0.5 * s3;
    const V is0 = mul_i(s0);
    x[0] = x[0] + s3;
    x[2] = h - is0;
    x[1] = h + is0;
  }
};

template <class V>
struct small_dft<5, V> {
  static void run(V* x, const SmallDft& c) {
    const dcomplex ya = c.e1, yb = c.e2;
    const V s0 = x[0];
    const V s7 = x[1] + x[4], s10 = x[1] - x[4], s8 = x[2] + x[3], s9 = x[2] - x[3];
    x[0] = s0 + s7 + s8;
    // s6 = -i (ya.im s10 + yb.im s9), s12 = -i (ya.im s9 - yb.im s10)
    const V s5 = s0 + ya.re * s7 + yb.re * s8;
    const V s6 = mul_i(-ya.im * s10 - yb.im * s9);
    x[1] = s5 - s6;
    x[4] = s5 + s6;
    const V s11 = s0 + yb.re * s7 + ya.re * s8;
    const V s12 = mul_i(yb.im * s10 - ya.im * s9);
    x[2] = s11 + s12;
    x[3] = s11 - s12;
  }
};

// Odd prime P through the symmetric pairs q, P-q: with t_q = x_q + x_{P-q},
// d_q = x_q - x_{P-q} and E^{qr} = (c_qr, z_qr),
// y_r = x_0 + sum_q t_q c_qr + i sum_q d_q z_qr and y_{P-r} = the same with -i.
template <int P, class V>
struct small_dft_odd {
  static void run(V* x, const SmallDft& c) {
    constexpr int H = (P - 1) / 2;
    V t[H + 1], d[H + 1];
    V y0 = x[0];
    TARVO_UNROLL
    for (int q = 1; q <= H; ++q) {
      t[q] = x[q] + x[P - q];
      d[q] = x[q] - x[P - q];
      y0 = y0 + t[q];
    }
    const V x0 = x[0];
    x[0] = y0;
    TARVO_UNROLL
    for (int r = 1; r <= H; ++r) {
      V a = x0 + c.cs[r] * t[1], b = c.sn[r] * d[1];  // q = 1: E^r
      TARVO_UNROLL
      for (int q = 2; q <= H; ++q) {
        const int u = (q * r) % P;  // E^{qr} = E^u; E^{P-u} = conj(E^u)
        const double cq = u <= H ? c.cs[u] : c.cs[P - u];
        const double zq = u <= H ? c.sn[u] : -c.sn[P - u];
        a = a + cq * t[q];
        b = b + zq * d[q];
      }
      const V ib = mul_i(b);
      x[r] = a + ib;
      x[P - r] = a - ib;
    }
  }
};
template <class V>
struct small_dft<7, V> : small_dft_odd<7, V> {};
template <class V>
struct small_dft<11, V> : small_dft_odd<11, V> {};
template <class V>
struct small_dft<13, V> : small_dft_odd<13, V> {};

// Radix-P combination of P sub-results of length m at out: for k < m,
// out[k + q m] <- sum_q' out[k + q' m] W_q' E^{q q'}, W_q = roots[q k fstride].
template <class E, int P>
void butterfly(dcomplex* out, int fstride, const MixedRadixPlan* plan, int m) {
  using V = typename E::v;
  const SmallDft c = small_dft_constants(P, plan, static_cast<int64_t>(fstride) * m);
  const dcomplex* roots = plan->roots();
  for (int k = 0; k < m; ++k) {
    V x[P];
    x[0] = E::load(out + k * E::W);
    TARVO_UNROLL
    for (int q = 1; q < P; ++q)
      x[q] = mul(E::load(out + (k + q * m) * E::W), roots[static_cast<int64_t>(q) * k * fstride]);
    small_dft<P, V>::run(x, c);
    TARVO_UNROLL
    for (int q = 0; q < P; ++q) E::store(out + (k + q * m) * E::W, x[q]);
  }
}

// The last stage (m = 1): the P inputs in[q step] go straight into the small DFT (all its
// twiddles are roots[0] = 1).
template <class E, int P>
void leaf(dcomplex* out, const dcomplex* in, std::ptrdiff_t step, int fstride,
          const MixedRadixPlan* plan) {
  using V = typename E::v;
  const SmallDft c = small_dft_constants(P, plan, fstride);
  V x[P];
  TARVO_UNROLL
  for (int q = 0; q < P; ++q) x[q] = E::load(in + q * step);
  small_dft<P, V>::run(x, c);
  TARVO_UNROLL
  for (int q = 0; q < P; ++q) E::store(out + q * E::W, x[q]);
}

// Generic radix p, one transform (W = 1): out[u + q1 m] = sum_q work[q] roots[(q (u + q1 m)
// fstride) mod n]; `scratch` holds p values.
template <class E>
void butterfly_generic(dcomplex* out, int fstride, const MixedRadixPlan* plan, int m, int p,
                       dcomplex* scratch) {
  static_assert(E::W == 1, "the generic butterfly runs one transform at a time");
  const dcomplex* roots = plan->roots();
  const int n = plan->n;
  for (int u = 0; u < m; ++u) {
    for (int q = 0; q < p; ++q) scratch[q] = out[u + q * m];
    for (int q1 = 0; q1 < p; ++q1) {
      const int k = u + q1 * m;
      const int step = static_cast<int>((static_cast<int64_t>(fstride) * k) % n);
      int t = 0;
      typename E::v acc = E::load(scratch);
      for (int q = 1; q < p; ++q) {
        t += step;
        if (t >= n) t -= n;
        acc = acc + mul(E::load(scratch + q), roots[t]);
      }
      E::store(out + k, acc);
    }
  }
}

// Transform of the sub-sequence in[j * fstride * in_stride] into out (elements), stage by
// stage from `pairs`. A radix without a fixed butterfly needs W = 1 and `scratch` holding it.
template <class E>
void work(dcomplex* out, const dcomplex* in, int fstride, int in_stride, const int32_t* pairs,
          const MixedRadixPlan* plan, dcomplex* scratch) {
  const int p = pairs[0];
  const int m = pairs[1];
  const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(fstride) * in_stride;
  if (m == 1) {
    switch (p) {
      case 2:
        return leaf<E, 2>(out, in, step, fstride, plan);
      case 3:
        return leaf<E, 3>(out, in, step, fstride, plan);
      case 4:
        return leaf<E, 4>(out, in, step, fstride, plan);
      case 5:
        return leaf<E, 5>(out, in, step, fstride, plan);
      case 7:
        return leaf<E, 7>(out, in, step, fstride, plan);
      case 11:
        return leaf<E, 11>(out, in, step, fstride, plan);
      case 13:
        return leaf<E, 13>(out, in, step, fstride, plan);
      default:
        break;
    }
    for (int j = 0; j < p; ++j) E::store(out + j * E::W, E::load(in + j * step));
  } else {
    for (int j = 0; j < p; ++j)
      work<E>(out + static_cast<std::ptrdiff_t>(j) * m * E::W, in + j * step, fstride * p,
              in_stride, pairs + 2, plan, scratch);
  }
  switch (p) {
    case 2:
      return butterfly<E, 2>(out, fstride, plan, m);
    case 3:
      return butterfly<E, 3>(out, fstride, plan, m);
    case 4:
      return butterfly<E, 4>(out, fstride, plan, m);
    case 5:
      return butterfly<E, 5>(out, fstride, plan, m);
    case 7:
      return butterfly<E, 7>(out, fstride, plan, m);
    case 11:
      return butterfly<E, 11>(out, fstride, plan, m);
    case 13:
      return butterfly<E, 13>(out, fstride, plan, m);
    case 1:
      return;
    default:
      if constexpr (E::W == 1) butterfly_generic<E>(out, fstride, plan, m, p, scratch);
      return;
  }
}

}  // namespace tarvo::fftk::TARVO_FFT_ISA::mr
