// Power-of-two complex FFT, in place on n doubles (N = n/2 interleaved complex values): the
// cos/sin and bit-reversal tables, and the one-dimensional transform over the network of
// fft/pow2_network.h (a radix-4 first stage over the whole array, split-radix middle stages
// block by block, fixed 16- and 8-point kernels, then a bit-reversal permutation).
#include <cmath>

#include "fft/cvec.h"
#include "fft/fft.h"
#include "fft/simd.h"

#define TARVO_FFT_ISA sse2
#include "fft/pow2_network.h"
#undef TARVO_FFT_ISA

using namespace tarvo::fftk;

// ----- tables ----------------------------------------------------------------------------------

void cfft_pow2_make_bitrev(int32_t nw, int32_t* ip) {
  ip[2] = 0;
  ip[3] = 16;
  int m = 2;
  for (int l = nw; l > 32; l /= 4) {
    for (int j = m; j < 2 * m; ++j) {
      const int p = 4 * ip[j];
      ip[m + j] = p;
      ip[2 * m + j] = p + 16 * m;
    }
    m *= 2;
  }
}

void cfft_pow2_make_tables(int32_t nw, int32_t* ip, double* w) {
  ip[0] = nw;
  ip[1] = 1;
  if (nw <= 2) return;
  int h = nw / 2;
  const double delta = std::atan(1.0) / h;
  const double c = std::cos(delta * h);
  w[0] = 1;
  w[1] = c;
  if (h == 4) {
    w[2] = std::cos(delta * 2);
    w[3] = std::sin(delta * 2);
  } else if (h > 4) {
    cfft_pow2_make_bitrev(nw, ip);
    w[2] = 0.5 / std::cos(delta * 2);
    w[3] = 0.5 / std::cos(delta * 6);
    for (int j = 4; j < h; j += 4) {
      w[j] = std::cos(delta * j);
      w[j + 1] = std::sin(delta * j);
      w[j + 2] = std::cos(3 * delta * j);
      w[j + 3] = -std::sin(3 * delta * j);
    }
  }
  // Each next level halves the density: every other group of the level before, with the two
  // secant entries recomputed for the doubled angle step.
  int s0 = 0;
  while (h > 2) {
    const int s1 = s0 + h;
    h /= 2;
    w[s1] = 1;
    w[s1 + 1] = c;
    if (h == 4) {
      w[s1 + 2] = w[s0 + 4];
      w[s1 + 3] = w[s0 + 5];
    } else if (h > 4) {
      w[s1 + 2] = 0.5 / w[s0 + 4];
      w[s1 + 3] = 0.5 / w[s0 + 6];
      for (int j = 4; j < h; j += 4) {
        w[s1 + j] = w[s0 + 2 * j];
        w[s1 + j + 1] = w[s0 + 2 * j + 1];
        w[s1 + j + 2] = w[s0 + 2 * j + 2];
        w[s1 + j + 3] = w[s0 + 2 * j + 3];
      }
    }
    s0 = s1;
  }
}

void cfft_pow2(int32_t n, int32_t isgn, double* a, int32_t* ip, double* w) {
  if (n > 4 * ip[0]) cfft_pow2_make_tables(n / 4, ip, w);
  sse2::net::transform<k_sse2_1>(sptr<1>{a}, n, isgn < 0, ip, w);
}

namespace tarvo::fftk::sse2 {

void pow2_batch4(double* a, int32_t n, bool minus, const int32_t* ip, const double* w) {
  net::transform<k_sse2_4>(sptr<4>{a}, n, minus, ip, w);
}

}  // namespace tarvo::fftk::sse2
