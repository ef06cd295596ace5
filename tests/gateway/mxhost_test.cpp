#include "gateway/testhost/mxhost.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(MxHost, NumericArraysBehaveAsTheGatewayRelies) {
  const int dims[5] = {4, 1, 3, 1, 1};  // trailing 1s beyond the second are dropped
  mxArray* a = mxCreateNumericArray_700(5, dims, mxDOUBLE_CLASS, mxCOMPLEX);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(mxGetNumberOfDimensions_700(a), 3);
  EXPECT_EQ(mxGetNumberOfElements(a), 12u);
  EXPECT_TRUE(mxGetPi(a) != nullptr && mxGetPr(a)[11] == 0.0);
  mxDestroyArray(a);
  a = mxCreateDoubleMatrix_700(5, 1, mxREAL);
  EXPECT_EQ(mxGetPi(a), nullptr);  // real: no imaginary part
  mxDestroyArray(a);
  for (mxClassID cls : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS}) {
    a = mxCreateNumericArray_700(3, dims, cls, mxREAL);
    EXPECT_TRUE(a && !mxIsDouble(a) && !mxGetPr(a) && mxGetData(a)) << cls;
    mxDestroyArray(a);
  }
  const int negative[2] = {2, -1};
  EXPECT_EQ(mxCreateNumericArray_700(2, negative, mxDOUBLE_CLASS, mxREAL), nullptr);
}

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

// An error raised inside a call returns to tarvo_mxhost_call with its identifier and message.
void raising_entry(int nlhs, mxArray* plhs[], int, const mxArray*[]) {
  if (nlhs > 0) plhs[0] = nullptr;
  mexErrMsgIdAndTxt("tarvo:test:what", "value %d is %s", 3, "wrong");
}
void quiet_entry(int, mxArray*[], int, const mxArray*[]) {}

TEST(MxHost, ErrorsReturnToTheCallerWithIdentifierAndMessage) {
  mxArray* out[1] = {nullptr};
  EXPECT_EQ(tarvo_mxhost_call(raising_entry, 1, out, 0, nullptr), 1);
  EXPECT_STREQ(tarvo_mxhost_error_id(), "tarvo:test:what");
  EXPECT_STREQ(tarvo_mxhost_error_message(), "value 3 is wrong");
  EXPECT_EQ(tarvo_mxhost_call(quiet_entry, 1, out, 0, nullptr), 0);
  EXPECT_STREQ(tarvo_mxhost_error_id(), "");
}

TEST(MxHost, ConsoleRecordsPrintfFormattedText) {
  tarvo_mxhost_clear_console();
  mexPrintf("\t (in:[ %d %d %d %d ]) \n", 4, 8, 1, 1);
  mexPrintf("%s|%5.2f", "x", 2.5);
  EXPECT_STREQ(tarvo_mxhost_console(), "\t (in:[ 4 8 1 1 ]) \nx| 2.50");
  tarvo_mxhost_clear_console();
  EXPECT_STREQ(tarvo_mxhost_console(), "");
}

}  // namespace
