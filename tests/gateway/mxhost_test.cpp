#include "tests/testhost/mxhost.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(MxHost, StructFieldsOwnTheirValuesAndConstructorsCanBeMadeToFail) {
  const long live = tarvo_mxhost_live_arrays();
  const char* names[3] = {"dk", "pattern", "coef"};
  mxArray* s = mxCreateStructMatrix_700(1, 2, 3, names);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(mxGetFieldNumber(s, "pattern"), 1);
  EXPECT_EQ(mxGetFieldNumber(s, "missing"), -1);
  mxArray* first = mxCreateString("*x*");
  mxSetFieldByNumber_700(s, 1, 1, first);
  mxSetFieldByNumber_700(s, 1, 1, mxCreateString("*xx*"));  // as in MATLAB, `first` is not freed
  EXPECT_EQ(tarvo_mxhost_live_arrays(), live + 3);
  char* text = mxArrayToString(mxGetFieldByNumber_700(s, 1, 1));
  EXPECT_STREQ(text, "*xx*");
  mxFree(text);
  mxDestroyArray(s);
  EXPECT_EQ(tarvo_mxhost_live_arrays(), live + 1);  // the replaced value is seen as a leak
  mxDestroyArray(first);
  EXPECT_EQ(tarvo_mxhost_live_arrays(), live);

  tarvo_mxhost_fail_create_at(2);
  std::vector<mxArray*> made = {mxCreateDoubleMatrix_700(1, 1, mxREAL), mxCreateString("x"),
                                mxCreateDoubleMatrix_700(1, 1, mxREAL)};
  EXPECT_TRUE(made[0] && !made[1] && made[2]);
  for (mxArray* m : made) mxDestroyArray(m);
}

}  // namespace
