// The vector operations of the solver, on values whose results are exact.
#include <gtest/gtest.h>

#include "linalg/linalg.h"

namespace {

TEST(ComplexVector, DotcConjugatesFirstAndAxpbyAllowsAliasing) {
  const dcomplex x[2] = {{1, 2}, {0, 1}}, y[2] = {{3, 1}, {2, 0}};
  const dcomplex d = complex_dotc(x, y, 2);  // conj(1+2i)(3+i) + conj(i) 2 = 5 - 7i
  EXPECT_TRUE(d.re == 5 && d.im == -7);
  dcomplex z[2] = {{1, 2}, {0, 1}};
  complex_axpby({2, 0}, z, {0, 1}, z, 2);  // z = (2 + i) z elementwise
  EXPECT_TRUE(z[0].re == 0 && z[0].im == 5 && z[1].re == -1 && z[1].im == 2);
  for (int n : {0, -3}) {  // n <= 0: nothing changes, the sum is zero
    complex_axpby({9, 9}, z, {9, 9}, x, n);
    const dcomplex e = complex_dotc(x, y, n);
    EXPECT_TRUE(z[0].im == 5 && e.re == 0 && e.im == 0);
  }
}

}  // namespace
