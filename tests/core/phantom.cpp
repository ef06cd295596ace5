#include "core/phantom.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tarvo_test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Table of exp(sign*2*pi*i*(x - n/2)*(k - n/2)/n), entry x + n*k, the product reduced modulo n
// in integers so every entry is accurate to rounding.
std::vector<dcomplex> centred_table(int n, int sign) {
  std::vector<dcomplex> t(static_cast<std::size_t>(n) * n);
  const long long h = n / 2;
  for (int k = 0; k < n; ++k) {
    for (int x = 0; x < n; ++x) {
      long long p = ((x - h) * (k - h)) % n;
      if (p < 0) p += n;
      const double angle = sign * 2.0 * kPi * static_cast<double>(p) / n;
      t[x + static_cast<std::size_t>(n) * k] = {std::cos(angle), std::sin(angle)};
    }
  }
  return t;
}

inline dcomplex mul(dcomplex a, dcomplex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// DFT along the rows (first, contiguous extent) of every column.
void dft_rows(dcomplex* frame, int rows, int cols, const std::vector<dcomplex>& t) {
  std::vector<dcomplex> out(rows);
  for (int c = 0; c < cols; ++c) {
    dcomplex* col = frame + static_cast<std::size_t>(rows) * c;
    for (int k = 0; k < rows; ++k) {
      dcomplex s = {0, 0};
      const dcomplex* w = t.data() + static_cast<std::size_t>(rows) * k;
      for (int x = 0; x < rows; ++x) {
        const dcomplex p = mul(col[x], w[x]);
        s.re += p.re;
        s.im += p.im;
      }
      out[k] = s;
    }
    for (int k = 0; k < rows; ++k) col[k] = out[k];
  }
}

// DFT along the columns (second extent) of every row.
void dft_cols(dcomplex* frame, int rows, int cols, const std::vector<dcomplex>& t) {
  std::vector<dcomplex> out(static_cast<std::size_t>(rows) * cols, dcomplex{0, 0});
  for (int k = 0; k < cols; ++k) {
    dcomplex* o = out.data() + static_cast<std::size_t>(rows) * k;
    for (int y = 0; y < cols; ++y) {
      const dcomplex w = t[y + static_cast<std::size_t>(cols) * k];
      const dcomplex* in = frame + static_cast<std::size_t>(rows) * y;
      for (int r = 0; r < rows; ++r) {
        const dcomplex p = mul(in[r], w);
        o[r].re += p.re;
        o[r].im += p.im;
      }
    }
  }
  for (std::size_t i = 0; i < out.size(); ++i) frame[i] = out[i];
}

double uniform(std::mt19937& rng) {
  return rng() / 4294967296.0;
}

// Soft step: 1 well inside (r < 1), 0 well outside, 1/2 at r = 1, over about `width` pixels.
double soft_inside(double r, double width_in_r) {
  return 0.5 * (1.0 - std::tanh((r - 1.0) / width_in_r));
}

}  // namespace

void centred_dft2(dcomplex* frame, int rows, int cols, int sign) {
  dft_rows(frame, rows, cols, centred_table(rows, sign));
  dft_cols(frame, rows, cols, centred_table(cols, sign));
}

Phantom make_phantom(const PhantomOptions& o) {
  Phantom ph;
  ph.M = o.M;
  ph.N = o.N;
  ph.Z = o.Z;
  ph.L = o.L;
  const int M = o.M, N = o.N, Z = o.Z, L = o.L;
  const std::size_t MN = static_cast<std::size_t>(M) * N;
  const std::size_t count = MN * Z * L;
  ph.even.assign(count, dcomplex{0, 0});
  ph.odd.assign(count, dcomplex{0, 0});
  ph.coil_images.assign(count, dcomplex{0, 0});
  ph.object.assign(MN * Z, 0);
  std::mt19937 rng(o.seed);

  const std::vector<dcomplex> row_forward = centred_table(M, -1);
  const std::vector<dcomplex> col_forward = centred_table(N, -1);
  std::vector<dcomplex> hybrid(MN), even_frame(MN), odd_frame(MN);
  std::vector<double> rho(MN);

  for (int z = 0; z < Z; ++z) {
    // Object: an ellipse with soft edges (about 1.5 pixels) and a brighter inner ellipse.
    const double cx = M / 2.0 + (uniform(rng) - 0.5) * 0.06 * M;
    const double cy = N / 2.0 + (uniform(rng) - 0.5) * 0.06 * N;
    const double ax = (0.30 + 0.05 * uniform(rng)) * M;
    const double ay = (0.22 + 0.04 * uniform(rng)) * N;
    const double tilt = (uniform(rng) - 0.5) * 0.6;
    for (int y = 0; y < N; ++y) {
      for (int x = 0; x < M; ++x) {
        const double u = (x - cx) * std::cos(tilt) + (y - cy) * std::sin(tilt);
        const double v = -(x - cx) * std::sin(tilt) + (y - cy) * std::cos(tilt);
        const double r = std::sqrt((u / ax) * (u / ax) + (v / ay) * (v / ay));
        const double r_inner = std::sqrt((u - 0.2 * ax) * (u - 0.2 * ax) / (0.16 * ax * ax) +
                                         v * v / (0.25 * ay * ay));
        const double width = 1.5 / std::min(ax, ay);
        rho[x + static_cast<std::size_t>(M) * y] =
            soft_inside(r, width) * (1.0 + 0.6 * soft_inside(r_inner, 3.0 * width));
        // The object's support, soft edge included (beyond it the object is below 5e-5).
        ph.object[x + static_cast<std::size_t>(M) * y + MN * z] = r < 1.0 + 5.0 * width ? 1 : 0;
      }
    }
    for (int c = 0; c < L; ++c) {
      // Coil c sits on a circle around the object; its sensitivity is a broad Gaussian with a
      // smooth phase.
      const double theta = 2.0 * kPi * c / L + 0.3 * (uniform(rng) - 0.5);
      const double px = M / 2.0 + 0.65 * M * std::cos(theta);
      const double py = N / 2.0 + 0.65 * N * std::sin(theta);
      const double phase0 = 2.0 * kPi * uniform(rng);
      const double sigma = 0.45;
      dcomplex* image = ph.coil_images.data() + (z + static_cast<std::size_t>(Z) * c) * MN;
      for (int y = 0; y < N; ++y) {
        for (int x = 0; x < M; ++x) {
          const double dx = (x - px) / M;
          const double dy = (y - py) / N;
          const double magnitude = std::exp(-(dx * dx + dy * dy) / (2.0 * sigma * sigma));
          const double phase = phase0 + 1.5 * (dx * std::sin(theta) - dy * std::cos(theta));
          const double value = rho[x + static_cast<std::size_t>(M) * y];
          image[x + static_cast<std::size_t>(M) * y] = {value * magnitude * std::cos(phase),
                                                        value * magnitude * std::sin(phase)};
        }
      }
      // Hybrid space (x, ky): forward DFT along the lines only.
      for (std::size_t i = 0; i < MN; ++i) hybrid[i] = image[i];
      dft_cols(hybrid.data(), M, N, col_forward);
      for (int ky = 0; ky < N; ++ky) {
        const double t = (ky - N / 2.0) / N;
        const double sign = (ky % 2 == 0) ? 1.0 : -1.0;  // even frame: even lines +phi
        for (int x = 0; x < M; ++x) {
          const double xc = x - M / 2.0;
          const double phi = o.a + o.b * xc + (o.d + o.e * xc) * t;
          const dcomplex h = hybrid[x + static_cast<std::size_t>(M) * ky];
          const dcomplex plus = {std::cos(sign * phi), std::sin(sign * phi)};
          const dcomplex minus = {plus.re, -plus.im};
          even_frame[x + static_cast<std::size_t>(M) * ky] = mul(h, plus);
          odd_frame[x + static_cast<std::size_t>(M) * ky] = mul(h, minus);
        }
      }
      dft_rows(even_frame.data(), M, N, row_forward);
      dft_rows(odd_frame.data(), M, N, row_forward);
      const std::size_t base = (z + static_cast<std::size_t>(Z) * c) * MN;
      for (std::size_t i = 0; i < MN; ++i) {
        ph.even[base + i] = even_frame[i];
        ph.odd[base + i] = odd_frame[i];
      }
    }
  }

  if (o.noise > 0.0) {
    double peak = 0.0;
    for (const dcomplex& v : ph.even) peak = std::max(peak, std::hypot(v.re, v.im));
    const double sd = o.noise * peak;
    // Box-Muller on the seeded generator, so the noise is the same on every platform.
    auto gaussian = [&rng]() {
      const double u1 = (rng() + 1.0) / 4294967297.0;
      const double u2 = uniform(rng);
      return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
    };
    for (std::vector<dcomplex>* k : {&ph.even, &ph.odd})
      for (dcomplex& v : *k) {
        v.re += sd * gaussian() / std::sqrt(2.0);
        v.im += sd * gaussian() / std::sqrt(2.0);
      }
  }
  return ph;
}

std::vector<dcomplex> plain_images(const std::vector<dcomplex>& kspace, int M, int N, int Z,
                                   int L) {
  std::vector<dcomplex> images = kspace;
  const std::size_t MN = static_cast<std::size_t>(M) * N;
  const double area = static_cast<double>(MN);
  for (std::size_t f = 0; f < static_cast<std::size_t>(Z) * L; ++f) {
    centred_dft2(images.data() + f * MN, M, N, +1);
    for (std::size_t i = 0; i < MN; ++i) {
      images[f * MN + i].re /= area;
      images[f * MN + i].im /= area;
    }
  }
  return images;
}

double ghost_to_signal(const dcomplex* images, const std::vector<std::uint8_t>& object, int M,
                       int N, int Z, int L) {
  const std::size_t MN = static_cast<std::size_t>(M) * N;
  double ghost_sum = 0.0, object_sum = 0.0;
  long ghost_count = 0, object_count = 0;
  for (int z = 0; z < Z; ++z) {
    const std::uint8_t* mask = object.data() + MN * z;
    for (int y = 0; y < N; ++y) {
      for (int x = 0; x < M; ++x) {
        double rss = 0.0;
        for (int c = 0; c < L; ++c) {
          const dcomplex v = images[(z + static_cast<std::size_t>(Z) * c) * MN + x +
                                    static_cast<std::size_t>(M) * y];
          rss += v.re * v.re + v.im * v.im;
        }
        rss = std::sqrt(rss);
        const bool inside = mask[x + static_cast<std::size_t>(M) * y] != 0;
        const int shifted_from = (y + N - N / 2) % N;
        const bool ghost = !inside && mask[x + static_cast<std::size_t>(M) * shifted_from] != 0;
        if (inside) {
          object_sum += rss;
          ++object_count;
        } else if (ghost) {
          ghost_sum += rss;
          ++ghost_count;
        }
      }
    }
  }
  if (object_count == 0 || ghost_count == 0) return 0.0;
  return (ghost_sum / ghost_count) / (object_sum / object_count);
}

}  // namespace tarvo_test
