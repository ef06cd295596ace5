#include "gateway/kernel_struct.h"

#include <cstdint>

namespace {

constexpr int kFields = 3;
const char* kFieldNames[kFields] = {"dk", "pattern", "coef"};

}  // namespace

OwnedArray kernel_struct(const tarvo::Calibration& calibration) {
  const int Z = calibration.shape().Z;
  const int P = tarvo::kernels_per_slice(calibration.acceleration());
  OwnedArray out(mxCreateStructMatrix_700(P, Z, kFields, kFieldNames));
  if (!out) return nullptr;
  int field[kFields];
  for (int f = 0; f < kFields; ++f) {
    field[f] = mxGetFieldNumber(out.get(), kFieldNames[f]);
    if (field[f] < 0) return nullptr;
  }
  for (int index = 0; index < P * Z; ++index) {
    const tarvo::KernelView k = calibration.kernel(index);
    if (!k.pattern || k.rows > tarvo::kMaxCount || k.cols > tarvo::kMaxCount) return nullptr;
    OwnedArray spacing(mxCreateDoubleMatrix_700(1, 1, mxREAL));
    OwnedArray text(mxCreateString(k.pattern));
    OwnedArray coef(
        mxCreateDoubleMatrix_700(static_cast<int>(k.rows), static_cast<int>(k.cols), mxCOMPLEX));
    double* re = coef ? mxGetPr(coef.get()) : nullptr;
    double* im = coef ? mxGetPi(coef.get()) : nullptr;
    double* dk_value = spacing ? mxGetPr(spacing.get()) : nullptr;
    if (!text || !dk_value || !re || !im) return nullptr;
    *dk_value = k.dk;
    for (std::int64_t i = 0; i < k.rows * k.cols; ++i) {
      const dcomplex w = k.coefficient(i);
      re[i] = w.re, im[i] = w.im;
    }
    // A value stored in a field belongs to the struct from then on.
    mxSetFieldByNumber_700(out.get(), index, field[0], spacing.release());
    mxSetFieldByNumber_700(out.get(), index, field[1], text.release());
    mxSetFieldByNumber_700(out.get(), index, field[2], coef.release());
  }
  return out;
}
