// A simulated multi-coil echo-planar acquisition for tests, demos and benchmarks.
//
// Each slice holds a soft-edged elliptical object with an inner structure, seen by L smooth
// complex coil sensitivities placed around it. The k-space of every coil image is taken with a
// centred, unscaled 2-D DFT (readout M along the first extent, lines N along the second), so
// the centred backward transform divided by M*N gives the coil image back.
//
// EPI errors: in the hybrid space (readout position x, line ky) every line is multiplied by
// exp(+i*phi(x, ky)) or exp(-i*phi(x, ky)) by its parity, with
//   phi(x, ky) = a + b*(x - M/2) + (d + e*(x - M/2)) * (ky - N/2)/N.
// In the even frame the even lines get +phi and the odd lines -phi; the odd frame is acquired
// with the readout polarity reversed (even lines -phi, odd lines +phi).
//
// Self-contained: the only dependency is the dcomplex layout (two doubles, real first).
#pragma once

#include <cstdint>
#include <vector>

#include "linalg/linalg.h"

namespace tarvo_test {

struct PhantomOptions {
  int M = 64;              // readout samples
  int N = 64;              // phase-encode lines
  int Z = 1;               // slices
  int L = 8;               // coils
  std::uint32_t seed = 1;  // varies the object's position and shape and the coil phases
  double a = 0.5;          // constant phase error, radians
  double b = 0.04;         // linear phase error along the readout, radians per sample
  double d = 0.0;          // phase error varying along the lines, radians over the k-space
  double e = 0.0;          // readout slope varying along the lines, radians per sample
  double noise = 0.0;      // standard deviation of complex Gaussian k-space noise, relative to
                           // the largest k-space magnitude
};

struct Phantom {
  int M = 0, N = 0, Z = 0, L = 0;
  std::vector<dcomplex> even;         // k-space of the even frame, M x N x Z x L
  std::vector<dcomplex> odd;          // k-space of the odd frame (polarity reversed)
  std::vector<dcomplex> coil_images;  // error-free coil images, M x N x Z x L
  std::vector<std::uint8_t> object;   // object support, M x N x Z (1 inside, soft edge included)
};

Phantom make_phantom(const PhantomOptions& options);

// Centred 2-D DFT of one rows x cols column-major frame in place, unscaled; sign -1 forward,
// +1 backward. Direct sums (O(rows*cols*(rows+cols))), independent of the module's FFTs.
void centred_dft2(dcomplex* frame, int rows, int cols, int sign);

// Coil images of a k-space volume without any correction: centred backward DFT / (M*N).
std::vector<dcomplex> plain_images(const std::vector<dcomplex>& kspace, int M, int N, int Z, int L);

// Ghost-to-signal ratio of coil images (M x N x Z x L): on the root-sum-of-squares image, the
// mean over the ghost region (the object mask shifted by N/2 along the lines, minus the
// object) divided by the mean over the object, over all slices.
double ghost_to_signal(const dcomplex* images, const std::vector<std::uint8_t>& object, int M,
                       int N, int Z, int L);

}  // namespace tarvo_test
