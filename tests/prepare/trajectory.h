// Readout trajectories for the tests and benchmarks of line preparation.
#pragma once

#include <cmath>
#include <vector>

namespace tarvo_test {

// Positions of R samples taken at equal time steps during a trapezoid readout gradient whose
// ramps take the fraction `ramp` (0 <= ramp < 1) of the sampling time; the k-space travelled
// spans -M/2 .. M/2 (cycles per field of view). The samples are at t_j = (j + 1/2) / R of the
// readout, so `ramp` is also the fraction of samples taken on the ramps.
inline std::vector<double> trapezoid_kx(int R, int M, double ramp) {
  const double tr = ramp / 2, tf = 1.0 - ramp;  // ramp and flat-top durations
  const double area = tr + tf;                  // gradient area over the readout
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
    kx[j] = M * a / area - M / 2.0;
  }
  return kx;
}

}  // namespace tarvo_test
