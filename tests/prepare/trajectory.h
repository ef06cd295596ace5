// Readout trajectories and analytic lines for the tests and benchmarks of line preparation.
#pragma once

#include <cmath>
#include <complex>
#include <vector>

namespace tarvo_test {

// Positions of R samples taken at equal time steps during a trapezoid readout gradient whose
// ramps take the fraction `ramp` (0 <= ramp < 1) of the sampling time; the k-space travelled
// spans -M/2 .. M/2 (cycles per field of view). The samples are at t_j = (j + 1/2) / R of the
// readout, so `ramp` is also the fraction of samples taken on the ramps. `extra` widens the
// span by that many cycles at each end.
inline std::vector<double> trapezoid_kx(int R, int M, double ramp, double extra = 0.0) {
  const double tr = ramp / 2, tf = 1.0 - ramp;  // ramp and flat-top durations
  const double area = tr + tf;                   // gradient area over the readout
  std::vector<double> kx(R);
  for (int j = 0; j < R; ++j) {
    const double t = (j + 0.5) / R;
    double a;
    if (t < tr)
      a = t * t / (2 * tr);
    else if (t <= tr + tf)
      a = tr / 2 + (t - tr);
    else
      a = area - (1.0 - t) * (1.0 - t) / (2 * tr);
    kx[j] = (M + 2 * extra) * a / area - M / 2.0 - extra;
  }
  return kx;
}

// A line's object: a sum of Gaussians (amplitude, centre and width in pixels of the readout
// field of view, centred on pixel M/2).
struct Gaussian {
  std::complex<double> amplitude;
  double centre, sigma;
};

// Its continuous transform at kx (cycles per field of view of M pixels):
//   S(k) = sum a sigma sqrt(2 pi) exp(-2 pi^2 sigma^2 k^2 / M^2) exp(-2 pi i k c / M).
inline std::complex<double> gaussian_line(const std::vector<Gaussian>& object, double k, int M) {
  const long double pi = 3.141592653589793238462643383279L;
  std::complex<long double> s = 0;
  for (const Gaussian& g : object) {
    const long double nu = k / M;
    const long double mag = g.sigma * std::sqrt(2 * pi) * std::exp(-2 * pi * pi * g.sigma * g.sigma * nu * nu);
    const long double phase = -2 * pi * nu * g.centre;
    s += std::complex<long double>(g.amplitude.real(), g.amplitude.imag()) *
         std::polar(mag, phase);
  }
  return {static_cast<double>(s.real()), static_cast<double>(s.imag())};
}

}  // namespace tarvo_test
