// A multi-coil echo-planar phantom computed with +, -, *, / and floor only, so that the
// Windows and the Linux builds of the runner produce the same inputs bit for bit (no libm
// routine, whose last bits differ between C runtimes, is involved).
//
// Slice z holds an ellipse with a smaller inner ellipse, seen by L coils of smooth complex
// sensitivity. The k-space is a centred, unscaled 2-D DFT (readout M along the first extent,
// lines N along the second). Between the transform along the lines and the one along the
// readout, every line is multiplied by exp(+i phi(x)) or exp(-i phi(x)) by its parity,
// phi(x) = a + b (x - M/2): in the even frame the even lines get +phi, in the odd frame -phi.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace tarvo_runner {

struct Cplx {
  double re = 0, im = 0;
};

// exp(2 pi i t), by reduction to |t| <= 1/2 and Taylor series of sin and cos on [-pi, pi]
// evaluated by Horner's rule (|error| < 1e-15; what matters here is that it is the same
// sequence of IEEE operations on every platform).
inline Cplx unit(double t) {
  const double r = t - std::floor(t + 0.5);
  const double x = 2.0 * 3.14159265358979323846 * r;
  const double x2 = x * x;
  double s = 1.0, c = 1.0;
  for (int k = 30; k >= 2; k -= 2) {
    s = 1.0 - s * x2 / ((k + 1.0) * k);
    c = 1.0 - c * x2 / (k * (k - 1.0));
  }
  return {c, s * x};
}

struct EpiPhantom {
  int M = 0, N = 0, Z = 0, L = 0;
  std::vector<Cplx> even, odd;  // M x N x Z x L, column-major
};

// seed varies the object's position and the coil phases; a, b are the phase error in radians
// (constant) and radians per readout sample (slope).
inline EpiPhantom make_epi_phantom(int M, int N, int Z, int L, int seed, double a, double b) {
  EpiPhantom p;
  p.M = M, p.N = N, p.Z = Z, p.L = L;
  const std::size_t frame = static_cast<std::size_t>(M) * N;
  p.even.resize(frame * Z * L);
  p.odd.resize(frame * Z * L);
  // Twiddles exp(-2 pi i m / n) of the centred DFT along each extent.
  auto twiddles = [](int n) {
    std::vector<Cplx> t(n);
    for (int m = 0; m < n; ++m) t[m] = unit(-static_cast<double>(m) / n);
    return t;
  };
  const std::vector<Cplx> tm = twiddles(M), tn = twiddles(N);
  auto centred = [](int i, int k, int n) {  // ((i - n/2)(k - n/2)) mod n, non-negative
    const long long v = static_cast<long long>(i - n / 2) * (k - n / 2) % n;
    return static_cast<int>(v < 0 ? v + n : v);
  };
  constexpr double kTwoPi = 2.0 * 3.14159265358979323846;
  std::vector<Cplx> image(frame), hybrid(frame), error(M);
  for (int z = 0; z < Z; ++z) {
    const double cx = M * (0.5 + 0.03 * ((seed + z) % 3 - 1));
    const double cy = N * (0.5 + 0.02 * ((seed + 2 * z) % 5 - 2));
    for (int c = 0; c < L; ++c) {
      const Cplx around = unit(static_cast<double>(c) / L + 0.1 * seed);
      const double px = M * (0.5 + 0.6 * around.re), py = N * (0.5 + 0.6 * around.im);
      for (int y = 0; y < N; ++y)
        for (int x = 0; x < M; ++x) {
          const double u = (x - cx) / (0.32 * M), v = (y - cy) / (0.38 * N);
          const double r2 = u * u + v * v;
          const double r8 = r2 * r2 * r2 * r2;
          double value = 1.0 / (1.0 + r8 * r8);  // soft-edged ellipse
          const double ui = (x - cx - 0.05 * M) / (0.1 * M), vi = (y - cy) / (0.15 * N);
          const double ri = ui * ui + vi * vi;
          value -= 0.5 / (1.0 + ri * ri * ri * ri);  // darker inner ellipse
          const double dx = (x - px) / M, dy = (y - py) / N;
          const double gain = 1.0 / (1.0 + 2.0 * (dx * dx + dy * dy));
          const Cplx phase = unit(0.13 * c + 0.2 * (dx - dy) + 0.05 * seed);
          image[x + static_cast<std::size_t>(M) * y] = {value * gain * phase.re,
                                                        value * gain * phase.im};
        }
      // Along the lines: hybrid(x, ky) = sum_y image(x, y) w_N^((y - N/2)(ky - N/2)).
      for (int ky = 0; ky < N; ++ky)
        for (int x = 0; x < M; ++x) {
          Cplx s;
          for (int y = 0; y < N; ++y) {
            const Cplx w = tn[centred(y, ky, N)];
            const Cplx f = image[x + static_cast<std::size_t>(M) * y];
            s.re += f.re * w.re - f.im * w.im;
            s.im += f.re * w.im + f.im * w.re;
          }
          hybrid[x + static_cast<std::size_t>(M) * ky] = s;
        }
      // Along the readout, once per frame, with the line's phase error applied first.
      for (int f = 0; f < 2; ++f) {
        Cplx* out = (f == 0 ? p.even.data() : p.odd.data()) + (z + Z * c) * frame;
        for (int ky = 0; ky < N; ++ky) {
          const double sign = ((ky % 2 == 0) == (f == 0)) ? 1.0 : -1.0;
          for (int x = 0; x < M; ++x) error[x] = unit(sign * (a + b * (x - M / 2)) / kTwoPi);
          for (int kx = 0; kx < M; ++kx) {
            Cplx s;
            for (int x = 0; x < M; ++x) {
              const Cplx e = error[x];
              const Cplx h = hybrid[x + static_cast<std::size_t>(M) * ky];
              const Cplx g = {h.re * e.re - h.im * e.im, h.re * e.im + h.im * e.re};
              const Cplx w = tm[centred(x, kx, M)];
              s.re += g.re * w.re - g.im * w.im;
              s.im += g.re * w.im + g.im * w.re;
            }
            out[kx + static_cast<std::size_t>(M) * ky] = s;
          }
        }
      }
    }
  }
  return p;
}

}  // namespace tarvo_runner
