// The power-of-two FFT network (first stage, split-radix middle stages, 16- and 8-point
// kernels, drivers, bit reversal), written once over an element type K and compiled once per
// instruction set. Internal to fft/.
//
// An element is W complex values that go through the network side by side: W = 1 for one
// transform, W = 4 for four transforms interleaved (element j of transform c at complex index
// 4 j + c). Offsets below are counted in doubles of ONE transform (2 per complex value); the
// scaled pointer K::ptr multiplies them by W, so the same code serves every W.
//
// K provides: ptr (scaled pointer), v (one element), tw (a broadcast twiddle),
// K::make_twiddle(c, s) and the overloads load, store, +, -, scale, scale_unfused (a product the
// compiler never fuses into a sum), conj, mul_i, mul_neg_i, mul(v, tw).
//
// The network computes the exp(+) transform X[k] = sum_j x[j] w^{jk}, w = exp(2 pi i / N); the
// exp(-) transform reads conj(x) in the first stage and conjugates in the bit reversal, since
// sum_j x[j] w^{-jk} = conj(sum_j conj(x[j]) w^{jk}).
//
// Block types. A block of B complex values is
//   type 1 when it needs the plain transform of its values, and
//   type 2 when it needs the transform of its values times psi^j, psi = exp(i pi / B).
// The split of a block into quarters of Q = B/4 (each left needing its own transform, results
// in bit-reversed order):
//   type 1, w = exp(2 pi i / B), per j < Q with x_q = a[j + qQ]:
//     q0 = (x0 + x2) + (x1 + x3)            -> quarter 0, type 1 (outputs 4k)
//     q1 = (x0 + x2) - (x1 + x3)            -> quarter 1, type 2 (outputs 4k + 2)
//     q2 = ((x0 - x2) + i (x1 - x3)) w^j    -> quarter 2, type 1 (outputs 4k + 1)
//     q3 = ((x0 - x2) - i (x1 - x3)) w^3j   -> quarter 3, type 1 (outputs 4k + 3)
//   type 2, psi = exp(i pi / B), e = exp(i pi / 4), u = x0 + i x2, v = x1 + i x3,
//   u' = x0 - i x2, v' = x1 - i x3:
//     q0 = (u + e v) psi^j, q1 = (u - e v) psi^j             -> types 1, 2
//     q2 = (u' + i e v') psi^3j, q3 = (u' - i e v') psi^3j   -> types 1, 2
//
// Table levels (see cfft_pow2_make_tables): a level of h entries, d = (pi/4)/h, holds
// 1, cos(pi/4), then either cos 2d, sin 2d (h = 4) or 0.5/cos 2d, 0.5/cos 6d (h > 4), then per
// g = 1 .. h/4 - 1 the group cos 4gd, sin 4gd, cos 12gd, -sin 12gd.
//
// Included once per instruction set, inside that set's namespace: the includer defines
// TARVO_FFT_ISA (the namespace name) and has the element types in scope.

#ifndef TARVO_FFT_ISA
#error "define TARVO_FFT_ISA before including fft/pow2_network.h"
#endif

namespace tarvo::fftk::TARVO_FFT_ISA::net {

// ----- middle stages ---------------------------------------------------------------------------

// Type-1 butterfly of the four elements x_q = a[q q2]; `rot` applies the twiddles.
// `conj_in`: reads conj(a) (first stage of the exp(-) transform).
template <class K, bool conj_in>
inline void split1_group(typename K::ptr a, int q2, typename K::tw w1, typename K::tw w3,
                         bool rot) {
  auto x0 = load(a), x1 = load(a + q2), x2 = load(a + 2 * q2), x3 = load(a + 3 * q2);
  if (conj_in) {
    x0 = conj(x0);
    x1 = conj(x1);
    x2 = conj(x2);
    x3 = conj(x3);
  }
  const auto s02 = x0 + x2, d02 = x0 - x2, s13 = x1 + x3, d13 = x1 - x3;
  store(a, s02 + s13);
  store(a + q2, s02 - s13);
  const auto id13 = mul_i(d13);
  if (rot) {
    store(a + 2 * q2, mul(d02 + id13, w1));
    store(a + 3 * q2, mul(d02 - id13, w3));
  } else {
    store(a + 2 * q2, d02 + id13);
    store(a + 3 * q2, d02 - id13);
  }
}

// Processes index j with w^j = (c1, s1), w^3j = (c3, s3), and its mirror Q - j, which uses
// w^(Q-j) = i conj(w^j) and w^3(Q-j) = -i conj(w^3j).
template <class K, bool conj_in>
inline void split1_pair(typename K::ptr a, int Q, int j, double c1, double s1, double c3,
                        double s3) {
  const int q2 = 2 * Q;
  split1_group<K, conj_in>(a + 2 * j, q2, K::make_twiddle(c1, s1), K::make_twiddle(c3, s3), true);
  split1_group<K, conj_in>(a + 2 * (Q - j), q2, K::make_twiddle(s1, c1), K::make_twiddle(-s3, -c3),
                           true);
}

// Type-1 stage on the block of m doubles at a, level L = w + nw - m/2 (h = m/4 entries:
// w^j for j <= Q/2 as groups).
template <class K>
void middle1(typename K::ptr a, int m, const double* L) {
  const int Q = m / 8;
  const double c45 = L[1];
  const auto one = K::make_twiddle(1.0, 0.0);
  split1_group<K, false>(a, 2 * Q, one, one, false);
  for (int j = 1; j < Q / 2; ++j)
    split1_pair<K, false>(a, Q, j, L[4 * j], L[4 * j + 1], L[4 * j + 2], -L[4 * j + 3]);
  split1_group<K, false>(a + Q, 2 * Q, K::make_twiddle(c45, c45), K::make_twiddle(-c45, c45), true);
}

// First stage (type 1 over the whole array of n doubles), level L = w + nw - n/4 with h = Q
// entries: it holds w^j only for even j = 2g; an odd j uses
// w^(2g+1) = (w^2g + w^(2g+2)) / (2 cos(2 pi / N)), entry 2 holding 1/(2 cos(2 pi / N)),
// and the same for the triple angle with entry 3 = 1/(2 cos(6 pi / N)).
template <class K, bool conj_in>
void first_stage(typename K::ptr a, int n, const double* L) {
  const int Q = n / 8;
  const double c45 = L[1], csc1 = L[2], csc3 = L[3];
  const auto one = K::make_twiddle(1.0, 0.0);
  split1_group<K, conj_in>(a, 2 * Q, one, one, false);
  double c1 = 1.0, s1 = 0.0, c3 = 1.0, s3 = 0.0;  // w^2g, w^6g
  for (int g = 0; g < Q / 4; ++g) {
    double nc1, ns1, nc3, ns3;  // w^(2g+2), w^(6g+6)
    if (g + 1 < Q / 4) {
      nc1 = L[4 * (g + 1)];
      ns1 = L[4 * (g + 1) + 1];
      nc3 = L[4 * (g + 1) + 2];
      ns3 = -L[4 * (g + 1) + 3];
    } else {
      nc1 = c45;
      ns1 = c45;
      nc3 = -c45;
      ns3 = c45;
    }
    if (g > 0) split1_pair<K, conj_in>(a, Q, 2 * g, c1, s1, c3, s3);
    split1_pair<K, conj_in>(a, Q, 2 * g + 1, csc1 * (c1 + nc1), csc1 * (s1 + ns1),
                            csc3 * (c3 + nc3), csc3 * (s3 + ns3));
    c1 = nc1;
    s1 = ns1;
    c3 = nc3;
    s3 = ns3;
  }
  split1_group<K, conj_in>(a + Q, 2 * Q, K::make_twiddle(c45, c45), K::make_twiddle(-c45, c45),
                           true);
}

// Type-2 stage on the block of m doubles at a, level L = w + nw - m (h = m/2 entries: psi^j and
// conj(psi^3j) as group j, j < Q).
template <class K>
void middle2(typename K::ptr a, int m, const double* L) {
  const int Q = m / 8;
  const int q2 = 2 * Q;
  const double c45 = L[1];
  for (int j = 0; j < Q; ++j) {
    const auto p = a + 2 * j;
    const auto x0 = load(p), x1 = load(p + q2), x2 = load(p + 2 * q2), x3 = load(p + 3 * q2);
    const auto u = x0 + mul_i(x2), v = x1 + mul_i(x3);
    const auto u2 = x0 - mul_i(x2), v2 = x1 - mul_i(x3);
    const auto ev = scale(v + mul_i(v), c45);      // e v
    const auto iev2 = scale(mul_i(v2) - v2, c45);  // i e v'
    if (j == 0) {
      store(p, u + ev);
      store(p + q2, u - ev);
      store(p + 2 * q2, u2 + iev2);
      store(p + 3 * q2, u2 - iev2);
    } else {
      const auto p1 = K::make_twiddle(L[4 * j], L[4 * j + 1]);
      const auto p3 = K::make_twiddle(L[4 * j + 2], -L[4 * j + 3]);
      store(p, mul(u + ev, p1));
      store(p + q2, mul(u - ev, p1));
      store(p + 2 * q2, mul(u2 + iev2, p3));
      store(p + 3 * q2, mul(u2 - iev2, p3));
    }
  }
}

// ----- fixed kernels (registers) ---------------------------------------------------------------

// 2-point transforms: type 1 (u0 + u1, u0 - u1); type 2 (u0 + i u1, u0 - i u1).
template <class V>
inline void dft2(V* x, bool type2) {
  const V b = type2 ? mul_i(x[1]) : x[1];
  const V s = x[0] + b, d = x[0] - b;
  x[0] = s;
  x[1] = d;
}

// 4-point transforms, results bit reversed.
template <class V>
inline void dft4_t1(V* x) {
  const V s02 = x[0] + x[2], d02 = x[0] - x[2], s13 = x[1] + x[3], d13 = x[1] - x[3];
  const V id13 = mul_i(d13);
  x[0] = s02 + s13;
  x[1] = s02 - s13;
  x[2] = d02 + id13;
  x[3] = d02 - id13;
}
template <class V>
inline void dft4_t2(V* x, double c45) {
  const V u = x[0] + mul_i(x[2]), v = x[1] + mul_i(x[3]);
  const V u2 = x[0] - mul_i(x[2]), v2 = x[1] - mul_i(x[3]);
  const V ev = scale(v + mul_i(v), c45);
  const V iev2 = scale(mul_i(v2) - v2, c45);
  x[0] = u + ev;
  x[1] = u - ev;
  x[2] = u2 + iev2;
  x[3] = u2 - iev2;
}

// Type-1 split of B register values, twiddles w1[j], w3[j] for j = 1 .. Q-1.
template <int B, class V, class T>
inline void reg_split1(V* x, const T* w1, const T* w3) {
  constexpr int Q = B / 4;
  for (int j = 0; j < Q; ++j) {
    const V s02 = x[j] + x[j + 2 * Q], d02 = x[j] - x[j + 2 * Q];
    const V s13 = x[j + Q] + x[j + 3 * Q], d13 = x[j + Q] - x[j + 3 * Q];
    const V id13 = mul_i(d13);
    x[j] = s02 + s13;
    x[j + Q] = s02 - s13;
    if (j == 0) {
      x[j + 2 * Q] = d02 + id13;
      x[j + 3 * Q] = d02 - id13;
    } else {
      x[j + 2 * Q] = mul(d02 + id13, w1[j]);
      x[j + 3 * Q] = mul(d02 - id13, w3[j]);
    }
  }
}
// Type-2 split of B register values, twiddles p1[j] = psi^j, p3[j] = psi^3j for j = 1 .. Q-1.
// For B = 16 the products by cos(pi/4) are never fused into the sums that follow: the AVX2
// build keeps this loop rolled, where the compiler leaves them unfused, and `scale_unfused`
// (the plain product for every set but AVX-512, whose wider build unrolls the loop) holds the
// other sets to that, so that AVX2 and AVX-512 give the same bits.
template <int B, class V, class T>
inline void reg_split2(V* x, const T* p1, const T* p3, double c45) {
  constexpr int Q = B / 4;
  auto times_c45 = [c45](V a) {
    if constexpr (B >= 16)
      return scale_unfused(a, c45);
    else
      return scale(a, c45);
  };
  for (int j = 0; j < Q; ++j) {
    const V u = x[j] + mul_i(x[j + 2 * Q]), v = x[j + Q] + mul_i(x[j + 3 * Q]);
    const V u2 = x[j] - mul_i(x[j + 2 * Q]), v2 = x[j + Q] - mul_i(x[j + 3 * Q]);
    const V ev = times_c45(v + mul_i(v));
    const V iev2 = times_c45(mul_i(v2) - v2);
    if (j == 0) {
      x[j] = u + ev;
      x[j + Q] = u - ev;
      x[j + 2 * Q] = u2 + iev2;
      x[j + 3 * Q] = u2 - iev2;
    } else {
      x[j] = mul(u + ev, p1[j]);
      x[j + Q] = mul(u - ev, p1[j]);
      x[j + 2 * Q] = mul(u2 + iev2, p3[j]);
      x[j + 3 * Q] = mul(u2 - iev2, p3[j]);
    }
  }
}

template <int B, class K>
inline void load_block(typename K::v* x, typename K::ptr a) {
  for (int k = 0; k < B; ++k) x[k] = load(a + 2 * k);
}
template <int B, class K>
inline void store_block(typename K::ptr a, const typename K::v* x) {
  for (int k = 0; k < B; ++k) store(a + 2 * k, x[k]);
}

// 8-point kernel of type 1 (16 doubles); only cos(pi/4) is needed (entry 1 of any level).
template <class K>
void kernel8_t1(typename K::ptr a, double c45) {
  typename K::v x[8];
  load_block<8, K>(x, a);
  const typename K::tw w1[2] = {{}, K::make_twiddle(c45, c45)};
  const typename K::tw w3[2] = {{}, K::make_twiddle(-c45, c45)};
  reg_split1<8>(x, w1, w3);
  dft2(x, false);
  dft2(x + 2, true);
  dft2(x + 4, false);
  dft2(x + 6, false);
  store_block<8, K>(a, x);
}

// 8-point kernel of type 2, level L = w + nw - 8 (h = 4: L[2], L[3] = cos, sin of pi/8).
template <class K>
void kernel8_t2(typename K::ptr a, const double* L) {
  typename K::v x[8];
  load_block<8, K>(x, a);
  const typename K::tw p1[2] = {{}, K::make_twiddle(L[2], L[3])};
  const typename K::tw p3[2] = {{}, K::make_twiddle(L[3], L[2])};
  reg_split2<8>(x, p1, p3, L[1]);
  dft2(x, false);
  dft2(x + 2, true);
  dft2(x + 4, false);
  dft2(x + 6, true);
  store_block<8, K>(a, x);
}

// 16-point kernel of type 1, level L = w + nw - 8 (cos, sin of pi/8 at L[2], L[3]).
template <class K>
void kernel16_t1(typename K::ptr a, const double* L) {
  typename K::v x[16];
  load_block<16, K>(x, a);
  const double c8 = L[2], s8 = L[3], c45 = L[1];
  const typename K::tw w1[4] = {
      {}, K::make_twiddle(c8, s8), K::make_twiddle(c45, c45), K::make_twiddle(s8, c8)};
  const typename K::tw w3[4] = {
      {}, K::make_twiddle(s8, c8), K::make_twiddle(-c45, c45), K::make_twiddle(-c8, -s8)};
  reg_split1<16>(x, w1, w3);
  dft4_t1(x);
  dft4_t2(x + 4, c45);
  dft4_t1(x + 8);
  dft4_t1(x + 12);
  store_block<16, K>(a, x);
}

// 16-point kernel of type 2, level L = w + nw - 32 (h = 16: psi^g, conj(psi^3g), g = 1..3).
template <class K>
void kernel16_t2(typename K::ptr a, const double* L) {
  typename K::v x[16];
  load_block<16, K>(x, a);
  typename K::tw p1[4], p3[4];
  for (int g = 1; g < 4; ++g) {
    p1[g] = K::make_twiddle(L[4 * g], L[4 * g + 1]);
    p3[g] = K::make_twiddle(L[4 * g + 2], -L[4 * g + 3]);
  }
  const double c45 = L[1];
  reg_split2<16>(x, p1, p3, c45);
  dft4_t1(x);
  dft4_t2(x + 4, c45);
  dft4_t1(x + 8);
  dft4_t2(x + 12, c45);
  store_block<16, K>(a, x);
}

// ----- drivers ---------------------------------------------------------------------------------

struct tables {
  const double* w;
  int nw;
  const double* level(int offset_from_end) const { return w + nw - offset_from_end; }
};

template <class K>
inline void middle(typename K::ptr a, int m, bool type1, const tables& t) {
  if (type1)
    middle1<K>(a, m, t.level(m / 2));
  else
    middle2<K>(a, m, t.level(m));
}

template <class K>
inline void kernel16(typename K::ptr a, bool type1, const tables& t) {
  if (type1)
    kernel16_t1<K>(a, t.level(8));
  else
    kernel16_t2<K>(a, t.level(32));
}

template <class K>
inline void kernel8(typename K::ptr a, bool type1, const tables& t) {
  if (type1)
    kernel8_t1<K>(a, t.level(8)[1]);
  else
    kernel8_t2<K>(a, t.level(8));
}

// Quarters of a block after its own stage: types 1, 2, 1, and the block's type for the last.
template <class K>
inline void kernels_of(typename K::ptr a, int sub, bool last_type1, const tables& t) {
  if (sub == 32) {
    kernel16<K>(a, true, t);
    kernel16<K>(a + 32, false, t);
    kernel16<K>(a + 64, true, t);
    kernel16<K>(a + 96, last_type1, t);
  } else {
    kernel8<K>(a, true, t);
    kernel8<K>(a + 16, false, t);
    kernel8<K>(a + 32, true, t);
    kernel8<K>(a + 48, last_type1, t);
  }
}

// Leaf driver on a block of m = 512 or 256 doubles whose own stage is done; s = 1: the block is
// type 1, s = 0: type 2.
template <class K>
void leaf_driver(typename K::ptr a, int m, int s, const tables& t) {
  const int sub = m / 4;
  const bool last1 = s == 1;
  middle<K>(a, sub, true, t);
  kernels_of<K>(a, sub / 4, true, t);
  middle<K>(a + sub, sub, false, t);
  kernels_of<K>(a + sub, sub / 4, false, t);
  middle<K>(a + 2 * sub, sub, true, t);
  kernels_of<K>(a + 2 * sub, sub / 4, true, t);
  middle<K>(a + 3 * sub, sub, last1, t);
  kernels_of<K>(a + 3 * sub, sub / 4, last1, t);
}

// Applies the stages the block a + j - m needs before its leaf; returns its type (1 or 0).
template <class K>
int tree_step(typename K::ptr a, int m, int j, int k, const tables& t) {
  if (k % 4 != 0) {
    const int s = k % 2;
    middle<K>(a + j - m, m, s == 1, t);
    return s;
  }
  int l = m;
  int i = k;
  while (i % 4 == 0) {
    l *= 4;
    i /= 4;
  }
  const int s = i % 2;
  for (; l > 128; l /= 4) middle<K>(a + j - l, l, s == 1, t);
  return s;
}

// Recursive driver, n > 512, after the first stage: block by block in decreasing memory order.
template <class K>
void recursive_driver(typename K::ptr a, int n, const tables& t) {
  int m = n;
  while (m > 512) {
    m /= 4;
    middle<K>(a + n - m, m, true, t);
  }
  leaf_driver<K>(a + n - m, m, 1, t);
  int k = 0;
  for (int j = n - m; j > 0; j -= m) {
    ++k;
    const int s = tree_step<K>(a, m, j, k, t);
    leaf_driver<K>(a + j - m, m, s, t);
  }
}

// ----- bit reversal ----------------------------------------------------------------------------

// Bit reversal over CB bits (2, 3 or 4), split into the pairs c < rev(c) and the fixed
// points c = rev(c); built at compile time.
template <int CB>
struct MidReversal {
  int rev[1 << CB] = {};
  int pair_lo[1 << CB] = {}, pair_hi[1 << CB] = {}, npairs = 0;
  int fixed[1 << CB] = {}, nfixed = 0;
  constexpr MidReversal() {
    for (int c = 0; c < (1 << CB); ++c) {
      int r = 0;
      for (int b = 0; b < CB; ++b) r |= ((c >> b) & 1) << (CB - 1 - b);
      rev[c] = r;
      if (c < r) {
        pair_lo[npairs] = c;
        pair_hi[npairs++] = r;
      } else if (c == r) {
        fixed[nfixed++] = c;
      }
    }
  }
};

// Reorders the N = n/2 values into bit-reversed index order (n > 32). With the index split as
// i = lo + m mid + M hi (lo, hi: t bits, m = 2^t; mid: CB bits, M = m 2^CB), the reversal is
// rev(hi) + m rev_CB(mid) + M rev(lo); ip[m + k] = 8 m rev(k) doubles, so M rev(k) in doubles
// is ip[m + k] << (CB - 2). `conj_out` negates every imaginary part.
template <class K, int CB, bool conj_out>
void bit_reverse_mid(typename K::ptr a, int m, const int32_t* ip) {
  static constexpr MidReversal<CB> mid{};
  constexpr int nmid = 1 << CB;
  auto swap = [a](int i, int r) {
    const auto x = load(a + i), y = load(a + r);
    store(a + i, conj_out ? conj(y) : y);
    store(a + r, conj_out ? conj(x) : x);
  };
  const int m2 = 2 * m;
  for (int lo = 0; lo < m; ++lo) {
    const int hi_lo = ip[m + lo] << (CB - 2);  // M rev(lo), doubles
    // lo == k: the index pairs whose middle parts are reversals of each other.
    const int base = 2 * lo + hi_lo;
    for (int s = 0; s < mid.npairs; ++s)
      swap(base + m2 * mid.pair_lo[s], base + m2 * mid.pair_hi[s]);
    if (conj_out)
      for (int s = 0; s < mid.nfixed; ++s) {
        const auto p = a + (base + m2 * mid.fixed[s]);
        store(p, conj(load(p)));
      }
    // lo < k: every index is paired with a different one; (k, lo) would visit the same pairs.
    for (int k = lo + 1; k < m; ++k) {
      const int bi = 2 * lo + (ip[m + k] << (CB - 2));
      const int br = 2 * k + hi_lo;
      for (int c = 0; c < nmid; ++c) swap(bi + m2 * c, br + m2 * mid.rev[c]);
    }
  }
}

template <class K, bool conj_out>
void bit_reverse(typename K::ptr a, int n, const int32_t* ip) {
  int m = 1;
  int l = n / 4;
  while (l > 8) {
    l /= 4;
    m *= 2;
  }
  if (l == 8)
    bit_reverse_mid<K, 4, conj_out>(a, m, ip);
  else if (l == 4)
    bit_reverse_mid<K, 3, conj_out>(a, m, ip);
  else
    bit_reverse_mid<K, 2, conj_out>(a, m, ip);
}

// Fixed reversal for N = 8 or 16 values; with `negate`, position k receives what the plain
// reversal puts at (N - k) mod N, which turns the exp(+) result into the exp(-) one.
template <class K>
void bit_reverse_small(typename K::ptr a, int N, bool negate) {
  const int bits = N == 8 ? 3 : 4;
  typename K::v x[16];
  for (int k = 0; k < N; ++k) x[k] = load(a + 2 * k);
  for (int k = 0; k < N; ++k) {
    const int src = negate ? (N - k) % N : k;
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((src >> b) & 1) << (bits - 1 - b);
    store(a + 2 * k, x[r]);
  }
}

// The whole transform of n doubles (per interleaved transform) at a, tables already built
// (nw = ip[0] >= n/4); exp(-) when `minus`.
template <class K>
void transform(typename K::ptr a, int n, bool minus, const int32_t* ip, const double* w) {
  const tables t{w, ip[0]};
  if (n <= 2) return;
  if (n == 4) {
    const auto x0 = load(a), x1 = load(a + 2);
    store(a, x0 + x1);
    store(a + 2, x0 - x1);
    return;
  }
  if (n == 8) {
    const auto x0 = load(a), x1 = load(a + 2), x2 = load(a + 4), x3 = load(a + 6);
    const auto s02 = x0 + x2, d02 = x0 - x2, s13 = x1 + x3;
    const auto id13 = minus ? mul_neg_i(x1 - x3) : mul_i(x1 - x3);  // +-i (x1 - x3)
    store(a, s02 + s13);
    store(a + 2, d02 + id13);
    store(a + 4, s02 - s13);
    store(a + 6, d02 - id13);
    return;
  }
  if (n == 16) {
    kernel8_t1<K>(a, w[1]);
    bit_reverse_small<K>(a, 8, minus);
    return;
  }
  if (n == 32) {
    kernel16_t1<K>(a, t.level(8));
    bit_reverse_small<K>(a, 16, minus);
    return;
  }
  if (minus)
    first_stage<K, true>(a, n, t.level(n / 4));
  else
    first_stage<K, false>(a, n, t.level(n / 4));
  if (n <= 128)
    kernels_of<K>(a, n / 4, true, t);  // small driver: the four quarters, types 1, 2, 1, 1
  else if (n <= 512)
    leaf_driver<K>(a, n, 1, t);
  else
    recursive_driver<K>(a, n, t);
  if (minus)
    bit_reverse<K, true>(a, n, ip);
  else
    bit_reverse<K, false>(a, n, ip);
}

}  // namespace tarvo::fftk::TARVO_FFT_ISA::net
