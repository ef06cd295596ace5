// The complex volume record: the one record in which k-space or image data travels between
// the gateway and the ghost-correction core. The record lives at the core layer because the
// core reads and fills it; the gateway converts it to and from MATLAB arrays.
#pragma once

#include <cstdint>

// Element (i0, i1, i2, i3) is at i0 + d0*(i1 + d1*(i2 + d2*i3)), column-major, d = dims.
// dims[0] = M readout samples, dims[1] = N lines, dims[2] = Z slices (every MATLAB extent
// between the second and the last, folded), dims[3] = L coils.
// A frame is one M x N block; frame (z, c) starts at element (z + Z*c)*M*N.
struct ComplexVolume {
  std::int32_t ndims;    // extents in use: always 4 here
  std::int32_t dims[8];  // the first ndims are meaningful
  char tag[5];           // "dblc" (2 doubles an element) or "fltc" (2 floats an element)
  void* data;            // the elements; owned by whoever set the record up
};
