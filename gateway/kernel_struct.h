// The kernels of a calibration as the struct array that tarvo (output 3) and tarvo_calibrate
// return, and that tarvo_apply reads back.
#pragma once

#include "core/tarvo.h"
#include "gateway/owned.h"

// A P x Z struct array, P = kernels_per_slice(R) for the calibration's acceleration R (a
// calibration for R = 1: 1 x Z, one kernel per slice). Element (p, z), linear index p + P*z,
// holds Calibration::kernel(p + P*z): "dk" its line spacing (double), "pattern" its text,
// "coef" its 5 S L x L complex coefficients (S its source lines), column-major. Null when the host
// cannot create an array (nothing is left behind then).
OwnedArray kernel_struct(const tarvo::Calibration& calibration);
