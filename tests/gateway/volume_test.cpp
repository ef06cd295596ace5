#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "tests/testhost/mxhost.h"

namespace {

// A complex double host array of the given extents whose element i is (i + 0.5, -3i - 0.25):
// every element distinct, so a reordering or a lost element shows.
mxArray* numbered_array(const std::vector<int>& dims) {
  mxArray* a = mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(), mxDOUBLE_CLASS,
                                        mxCOMPLEX);
  if (!a) return nullptr;
  double* re = mxGetPr(a);
  double* im = mxGetPi(a);
  for (size_t i = 0; i < mxGetNumberOfElements(a); ++i) re[i] = i + 0.5, im[i] = -3.0 * i - 0.25;
  return a;
}

std::string join(const std::vector<int>& dims) {
  std::string s;
  for (int d : dims) {
    if (!s.empty()) s += 'x';
    s += std::to_string(d);
  }
  return s;
}

std::vector<int> extents(const mxArray* a) {
  const int* d = mxGetDimensions_700(a);
  return std::vector<int>(d, d + mxGetNumberOfDimensions_700(a));
}

ComplexVolume record(int m, int n, int z, int l) {
  ComplexVolume v{};
  v.ndims = 4;
  v.dims[0] = m, v.dims[1] = n, v.dims[2] = z, v.dims[3] = l;
  std::memcpy(v.tag, "dblc", 5);
  return v;
}

class Console : public testing::Test {
 protected:
  void SetUp() override {
    tarvo_mxhost_clear_console();
    live_ = tarvo_mxhost_live_arrays();
  }
  void TearDown() override {
    tarvo::alloc_fail_at(0);
    tarvo_mxhost_fail_create_at(0);
    EXPECT_EQ(tarvo_mxhost_live_arrays(), live_) << "host arrays leaked";
  }
  static std::string console() { return tarvo_mxhost_console(); }
  long live_ = 0;
};

struct FoldCase {
  std::vector<int> matlab;  // extents of the host array
  std::vector<int> folded;  // M, N, Z, L
  std::vector<int> back;    // extents of the array made from the record (trailing 1s dropped)
};

class VolumeFolding : public Console, public testing::WithParamInterface<FoldCase> {};

TEST_P(VolumeFolding, FoldsExtentsAndRoundTripsEveryElementExactly) {
  const FoldCase& c = GetParam();
  mxArray* in = numbered_array(c.matlab);
  ASSERT_NE(in, nullptr);
  OwnedVolume v;
  ASSERT_EQ(volume_from_mxarray(in, &v), 0);
  ASSERT_EQ(v.rec.ndims, 4);
  EXPECT_EQ(std::vector<int>(v.rec.dims, v.rec.dims + 4), c.folded);

  const size_t count = mxGetNumberOfElements(in);
  ASSERT_EQ(count, size_t(c.folded[0]) * c.folded[1] * c.folded[2] * c.folded[3]);
  const auto* data = static_cast<const dcomplex*>(v.rec.data);
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(data[i].re, mxGetPr(in)[i]) << i;
    ASSERT_EQ(data[i].im, mxGetPi(in)[i]) << i;
  }

  mxArray* out = volume_to_mxarray(&v.rec);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(extents(out), c.back);
  EXPECT_EQ(std::memcmp(mxGetPr(out), mxGetPr(in), count * sizeof(double)), 0);
  EXPECT_EQ(std::memcmp(mxGetPi(out), mxGetPi(in), count * sizeof(double)), 0);
  EXPECT_EQ(console(), "");
  mxDestroyArray(out);
  mxDestroyArray(in);
}

INSTANTIATE_TEST_SUITE_P(Shapes, VolumeFolding,
                         testing::Values(FoldCase{{4, 6, 3}, {4, 6, 1, 3}, {4, 6, 1, 3}},
                                         FoldCase{{3, 5, 2, 2, 2, 4}, {3, 5, 8, 4}, {3, 5, 8, 4}},
                                         FoldCase{{4, 6, 3, 1, 2}, {4, 6, 3, 2}, {4, 6, 3, 2}},
                                         FoldCase{{4, 6}, {4, 6, 1, 1}, {4, 6}},
                                         FoldCase{{4, 0, 3}, {4, 0, 1, 3}, {4, 0, 1, 3}}),
                         [](const auto& info) { return join(info.param.matlab); });

TEST_F(Console, FromMxarrayRefusesAnythingButComplexDouble) {
  const int dims[3] = {2, 3, 2};
  std::vector<mxArray*> inputs = {
      mxCreateNumericArray_700(3, dims, mxDOUBLE_CLASS, mxREAL),
      mxCreateNumericArray_700(3, dims, mxSINGLE_CLASS, mxCOMPLEX),
      mxCreateNumericArray_700(3, dims, mxINT32_CLASS, mxCOMPLEX),
      mxCreateNumericArray_700(3, dims, mxLOGICAL_CLASS, mxREAL),
      mxCreateString("abc"),
      nullptr,
  };
  for (mxArray* in : inputs) {
    OwnedVolume v;
    v.rec.ndims = 7;  // marks "left as it was"
    tarvo_mxhost_clear_console();
    EXPECT_EQ(volume_from_mxarray(in, &v), -1);
    EXPECT_EQ(console(), "volume_from_mxarray: need a complex double array\n");
    EXPECT_EQ(v.rec.ndims, 7);
    EXPECT_EQ(v.storage, nullptr);
    mxDestroyArray(in);
  }
}

class VolumeTooLarge : public Console, public testing::WithParamInterface<std::vector<int>> {};

TEST_P(VolumeTooLarge, FromMxarrayRefusesBeforeReadingData) {
  // The host array backs one element only: reading any data would be caught by the sanitizer.
  const std::vector<int>& d = GetParam();
  mxArray* in =
      tarvo_mxhost_create_unbacked(static_cast<int>(d.size()), d.data(), mxDOUBLE_CLASS, mxCOMPLEX);
  ASSERT_NE(in, nullptr);
  OwnedVolume v;
  const long allocations = tarvo::alloc_count();
  EXPECT_EQ(volume_from_mxarray(in, &v), -1);
  EXPECT_EQ(tarvo::alloc_count(), allocations);
  EXPECT_EQ(console(),
            "volume_from_mxarray: too large: an extent or the element count exceeds "
            "2147483647\n");
  mxDestroyArray(in);
}

INSTANTIATE_TEST_SUITE_P(
    Extents, VolumeTooLarge,
    testing::Values(std::vector<int>{65536, 32768, 1},         // count exactly 2^31
                    std::vector<int>{46341, 46341, 1},         // 46341^2 > 2^31 - 1
                    std::vector<int>{8, 8, 4096, 4096, 2},     // Z * L overflows the count
                    std::vector<int>{0, 1, 65536, 65536, 3}),  // Z itself overflows, count 0
    [](const auto& info) { return join(info.param); });

TEST_F(Console, AllocationFailureStopsTheConversionWithAMessage) {
  mxArray* in = numbered_array({4, 6, 2, 3});
  OwnedVolume v;
  tarvo::alloc_fail_at(1);
  EXPECT_EQ(volume_from_mxarray(in, &v), -1);
  EXPECT_EQ(console(), "volume_from_mxarray: could not alloc volume data\n");
  EXPECT_EQ(v.storage, nullptr);
  EXPECT_EQ(v.rec.data, nullptr);

  ASSERT_EQ(volume_from_mxarray(in, &v), 0);
  tarvo_mxhost_clear_console();
  tarvo_mxhost_fail_create_at(1);
  EXPECT_EQ(volume_to_mxarray(&v.rec), nullptr);
  EXPECT_EQ(console(), "volume_to_mxarray: could not create the output array\n");
  mxDestroyArray(in);
}

TEST_F(Console, ToMxarrayRefusesRecordsItCannotRead) {
  dcomplex one[1] = {{1, 2}};
  ComplexVolume single = record(1, 1, 1, 1);
  std::memcpy(single.tag, "fltc", 5);
  single.data = one;
  ComplexVolume no_data = record(2, 2, 1, 1);
  ComplexVolume too_large = record(65536, 65536, 1, 1);
  too_large.data = one;
  ComplexVolume negative = record(2, -2, 1, 1);
  negative.data = one;
  for (const ComplexVolume& v : {single, no_data, too_large, negative}) {
    tarvo_mxhost_clear_console();
    EXPECT_EQ(volume_to_mxarray(&v), nullptr);
    EXPECT_EQ(console(), "volume_to_mxarray: not a valid \"dblc\" volume record\n");
  }
}

TEST_F(Console, ResultRecordIsClearedAndShapedLikeItsModelOrFailsWithAMessage) {
  const ComplexVolume like = record(3, 4, 5, 2);
  OwnedVolume v;
  ASSERT_EQ(volume_setup_result(&like, &v), 0);
  EXPECT_EQ(v.rec.ndims, 4);
  EXPECT_EQ(std::vector<int>(v.rec.dims, v.rec.dims + 4), (std::vector<int>{3, 4, 5, 2}));
  EXPECT_EQ(std::memcmp(v.rec.tag, "dblc", 5), 0);
  ASSERT_EQ(v.rec.data, v.storage.get());
  const std::vector<char> zeros(120 * sizeof(dcomplex), 0);
  EXPECT_EQ(std::memcmp(v.rec.data, zeros.data(), zeros.size()), 0);
  OwnedVolume moved = std::move(v);  // the record's data stays with its buffer
  EXPECT_EQ(moved.rec.data, moved.storage.get());
  EXPECT_EQ(console(), "");

  tarvo::alloc_fail_at(1);
  EXPECT_EQ(volume_setup_result(&like, &v), -1);
  EXPECT_EQ(console(), "volume_setup_result: could not alloc result data\n");
  tarvo_mxhost_clear_console();
  const ComplexVolume huge = record(65536, 32768, 1, 1);
  EXPECT_EQ(volume_setup_result(&huge, &v), -1);
  EXPECT_EQ(console(),
            "volume_setup_result: too large: an extent or the element count exceeds "
            "2147483647\n");
  EXPECT_EQ(v.storage, nullptr);
}

}  // namespace
