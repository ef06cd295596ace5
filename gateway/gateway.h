// MEX gateway and array marshalling: conversions between host arrays and ComplexVolume
// records, the extent comparison of the first two inputs and result-record set-up.
// Messages of this layer go to the host console through mexPrintf.
#pragma once

#include "core/volume.h"
#include "gateway/mex_api.h"
#include "linalg/linalg.h"

// A ComplexVolume together with the buffer holding its "dblc" data. `rec` keeps the record's
// documented fields; rec.data is borrowed from `storage` (moving keeps it valid, copying is
// not allowed). An empty OwnedVolume has a zeroed record and no storage.
struct OwnedVolume {
  ComplexVolume rec{};
  tarvo::buffer<dcomplex> storage;  // rec.data, element count dims[0]*dims[1]*dims[2]*dims[3]
};

// Host array -> record. The array must be complex double. Extents e[0..n-1] fold to
// (e[0], e[1], e[2]*...*e[n-2], e[n-1]); missing extents count as 1, so M x N becomes
// M x N x 1 x 1 and M x N x L becomes M x N x 1 x L. Elements are copied in the array's own
// column-major order. Each folded extent and the element count must fit a signed 32-bit
// integer. Returns 0, or -1 after a console message with *out left as it was.
int volume_from_mxarray(const mxArray* array, OwnedVolume* out);

// Record -> new complex double host array of v->ndims extents v->dims (the host drops
// trailing extents of 1). v must be "dblc" with an element count that fits a signed 32-bit
// integer. Returns the array, or null after a console message.
mxArray* volume_to_mxarray(const ComplexVolume* v);

// Compares the first b->ndims extents of b with those of a in order. At the first difference
// prints "Error: input matrix size mismatch - A: [ %s %d ... ] vs B: [ %s %d ... ]\n"
// with label_a, a's extent, label_b, b's extent, and returns -1; returns 0 when they agree.
// Only ndims and dims of the records are read.
int volume_same_size(const ComplexVolume* a, const ComplexVolume* b, const char* label_a = "",
                     const char* label_b = "");

// Sets up *out as a result record shaped like `like`: ndims 4, like's first four extents,
// "dblc", cleared data. Returns 0, or -1 after a console message with
// *out left as it was.
int volume_setup_result(const ComplexVolume* like, OwnedVolume* out);
