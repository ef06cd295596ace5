#include "gateway/testhost/mxhost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(MxHost, NumericArraysDropTrailingSingletonsBeyondTheSecond) {
  const int dims[5] = {4, 1, 3, 1, 1};
  mxArray* a = mxCreateNumericArray_700(5, dims, mxDOUBLE_CLASS, mxCOMPLEX);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(mxGetNumberOfDimensions_700(a), 3);
  EXPECT_EQ(mxGetDimensions_700(a)[1], 1);
  EXPECT_EQ(mxGetNumberOfElements(a), 12u);
  ASSERT_NE(mxGetPi(a), nullptr);
  EXPECT_EQ(mxGetPr(a)[11], 0.0);  // new data is zero
  mxDestroyArray(a);

  const int flat[2] = {5, 1};
  a = mxCreateNumericArray_700(2, flat, mxDOUBLE_CLASS, mxREAL);
  EXPECT_EQ(mxGetNumberOfDimensions_700(a), 2);
  EXPECT_EQ(mxGetPi(a), nullptr);  // real array: no imaginary part
  mxDestroyArray(a);
}

TEST(MxHost, OnlyDoubleArraysExposeDoubleParts) {
  const int dims[3] = {2, 2, 2};
  for (mxClassID cls : {mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS}) {
    mxArray* a =
        mxCreateNumericArray_700(3, dims, cls, cls == mxLOGICAL_CLASS ? mxREAL : mxCOMPLEX);
    ASSERT_NE(a, nullptr) << cls;
    EXPECT_FALSE(mxIsDouble(a));
    EXPECT_EQ(mxGetPr(a), nullptr);
    EXPECT_EQ(mxGetPi(a), nullptr);
    EXPECT_NE(mxGetData(a), nullptr);
    EXPECT_EQ(mxGetClassID(a), cls);
    mxDestroyArray(a);
  }
  mxArray* s = mxCreateString("*x*");
  EXPECT_FALSE(mxIsDouble(s));
  EXPECT_EQ(mxGetPr(s), nullptr);
  char* text = mxArrayToString(s);
  EXPECT_STREQ(text, "*x*");
  mxFree(text);
  mxDestroyArray(s);
}

TEST(MxHost, StructFieldsOwnTheirValues) {
  const long live = tarvo_mxhost_live_arrays();
  const char* names[3] = {"dk", "pattern", "coef"};
  mxArray* s = mxCreateStructMatrix_700(1, 2, 3, names);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(mxGetFieldNumber(s, "pattern"), 1);
  EXPECT_EQ(mxGetFieldNumber(s, "missing"), -1);
  mxSetFieldByNumber_700(s, 1, 2, mxCreateDoubleMatrix_700(3, 2, mxCOMPLEX));
  mxSetFieldByNumber_700(s, 1, 2, mxCreateDoubleMatrix_700(4, 2, mxCOMPLEX));  // replaces
  EXPECT_EQ(tarvo_mxhost_live_arrays(), live + 2);
  const mxArray* coef = mxGetFieldByNumber_700(s, 1, 2);
  ASSERT_NE(coef, nullptr);
  EXPECT_EQ(mxGetDimensions_700(coef)[0], 4);
  EXPECT_EQ(mxGetFieldByNumber_700(s, 0, 2), nullptr);
  EXPECT_EQ(mxGetFieldByNumber_700(s, 2, 0), nullptr);  // out of range
  mxDestroyArray(s);
  EXPECT_EQ(tarvo_mxhost_live_arrays(), live);
}

TEST(MxHost, ConsoleRecordsFormattedText) {
  tarvo_mxhost_clear_console();
  mexPrintf("\t (in:[ %d %d %d %d ]) \n", 4, 8, 1, 1);
  mexPrintf("%s|%5.2f", "x", 2.5);
  EXPECT_STREQ(tarvo_mxhost_console(), "\t (in:[ 4 8 1 1 ]) \nx| 2.50");
  tarvo_mxhost_clear_console();
  EXPECT_STREQ(tarvo_mxhost_console(), "");
}

TEST(MxHost, ChosenConstructorCallFails) {
  tarvo_mxhost_fail_create_at(2);
  mxArray* first = mxCreateDoubleMatrix_700(1, 1, mxREAL);
  mxArray* second = mxCreateString("x");
  mxArray* third = mxCreateDoubleMatrix_700(1, 1, mxREAL);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  mxDestroyArray(first);
  mxDestroyArray(third);
}

TEST(MxHost, RefusesNegativeExtents) {
  const int dims[3] = {2, -1, 2};
  EXPECT_EQ(mxCreateNumericArray_700(3, dims, mxDOUBLE_CLASS, mxREAL), nullptr);
  EXPECT_EQ(mxCreateDoubleMatrix_700(-2, 1, mxREAL), nullptr);
  EXPECT_EQ(mxCreateStructMatrix_700(1, -1, 0, nullptr), nullptr);
}

}  // namespace
