// The host array <-> volume record conversions: folding with every element in place, and each
// refusal with its console line, nothing read beyond the array and nothing left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "reliability/call.h"
#include "tests/testhost/mxhost.h"

namespace {

using tarvo_test::extents;

// Element i is (i + 0.5, -3i - 0.25): every element distinct, so a reordering or a lost
// element shows.
mxArray* numbered_array(const std::vector<int>& dims) {
  return tarvo_test::complex_array(dims, [](size_t i) {
    return dcomplex{i + 0.5, -3.0 * i - 0.25};
  });
}

ComplexVolume record(int m, int n, int z, int l, void* data = nullptr) {
  return ComplexVolume{4, {m, n, z, l}, "dblc", data};
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
  long live_ = 0;
};

// Host extents, the folded M, N, Z, L, and the extents of the array made back from the record
// (trailing 1s dropped).
TEST_F(Console, FoldsExtentsAndRoundTripsEveryElementExactly) {
  const std::vector<std::vector<int>> cases[] = {{{3, 5, 2, 2, 2, 4}, {3, 5, 8, 4}, {3, 5, 8, 4}},
                                                 {{4, 6, 3, 1, 2}, {4, 6, 3, 2}, {4, 6, 3, 2}},
                                                 {{4, 6}, {4, 6, 1, 1}, {4, 6}}};
  for (const auto& c : cases) {
    mxArray* in = numbered_array(c[0]);
    OwnedVolume v;
    ASSERT_EQ(volume_from_mxarray(in, &v), 0);
    EXPECT_EQ(std::vector<int>(v.rec.dims, v.rec.dims + v.rec.ndims), c[1]);
    const size_t count = mxGetNumberOfElements(in);
    const auto* data = static_cast<const dcomplex*>(v.rec.data);
    for (size_t i = 0; i < count; ++i)
      ASSERT_TRUE(data[i].re == mxGetPr(in)[i] && data[i].im == mxGetPi(in)[i]) << i;
    mxArray* out = volume_to_mxarray(&v.rec);
    EXPECT_EQ(extents(out), c[2]);
    EXPECT_EQ(std::memcmp(mxGetPr(out), mxGetPr(in), count * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(mxGetPi(out), mxGetPi(in), count * sizeof(double)), 0);
    EXPECT_EQ(std::string(tarvo_mxhost_console()), "");
    mxDestroyArray(out);
    mxDestroyArray(in);
  }
}

// Each refusal prints its one line, leaves the volume it was to fill empty, and reads no
// data of an input too large to be backed (the sanitizer build sees a read beyond one element).
TEST_F(Console, EveryRefusalPrintsItsLine) {
  const std::string from = "volume_from_mxarray: ", to = "volume_to_mxarray: ",
                    setup = "volume_setup_result: ";
  const std::string large = "too large: an extent or the element count exceeds 2147483647\n";
  const int dims[3] = {2, 3, 2};
  auto unbacked = [](std::vector<int> d) {
    return tarvo_mxhost_create_unbacked(int(d.size()), d.data(), mxDOUBLE_CLASS, mxCOMPLEX);
  };
  const std::string complex = "need a complex double array\n";
  struct Bad {
    mxArray* in;
    std::string message;
    bool fail_allocation = false;
  };
  const Bad inputs[] = {
      {mxCreateNumericArray_700(3, dims, mxDOUBLE_CLASS, mxREAL), complex},
      {mxCreateNumericArray_700(3, dims, mxSINGLE_CLASS, mxCOMPLEX), complex},
      {mxCreateString("abc"), complex},
      {nullptr, complex},
      {unbacked({65536, 32768, 1}), large},        // count exactly 2^31
      {unbacked({8, 8, 4096, 4096, 2}), large},    // Z * L overflows the count
      {unbacked({0, 1, 65536, 65536, 3}), large},  // Z itself overflows, count 0
      {numbered_array({4, 6, 2, 3}), "could not alloc volume data\n", true},
  };
  for (const auto& [in, message, fail_allocation] : inputs) {
    OwnedVolume v;
    tarvo_mxhost_clear_console();
    const long allocations = tarvo::alloc_count();
    if (fail_allocation) tarvo::alloc_fail_at(1);
    EXPECT_EQ(volume_from_mxarray(in, &v), -1);
    tarvo::alloc_fail_at(0);
    EXPECT_EQ(std::string(tarvo_mxhost_console()), from + message);
    EXPECT_EQ(tarvo::alloc_count() - allocations, fail_allocation ? 1 : 0);
    EXPECT_TRUE(v.storage == nullptr && v.rec.data == nullptr && v.rec.ndims == 0);
    mxDestroyArray(in);
  }

  dcomplex one[1] = {{1, 2}};
  ComplexVolume single = record(1, 1, 1, 1, one);
  std::memcpy(single.tag, "fltc", 5);
  for (const ComplexVolume& v :
       {single, record(2, 2, 1, 1), record(65536, 65536, 1, 1, one), record(2, -2, 1, 1, one)}) {
    tarvo_mxhost_clear_console();
    EXPECT_EQ(volume_to_mxarray(&v), nullptr);
    EXPECT_EQ(std::string(tarvo_mxhost_console()), to + "not a valid \"dblc\" volume record\n");
  }
  const ComplexVolume good = record(3, 4, 5, 2, one);
  tarvo_mxhost_clear_console();
  tarvo_mxhost_fail_create_at(1);
  EXPECT_EQ(volume_to_mxarray(&good), nullptr);
  EXPECT_EQ(std::string(tarvo_mxhost_console()), to + "could not create the output array\n");

  OwnedVolume v;
  tarvo_mxhost_clear_console();
  tarvo::alloc_fail_at(1);
  EXPECT_EQ(volume_setup_result(&good, &v), -1);
  EXPECT_EQ(std::string(tarvo_mxhost_console()), setup + "could not alloc result data\n");
  tarvo_mxhost_clear_console();
  const ComplexVolume huge = record(65536, 32768, 1, 1);
  EXPECT_EQ(volume_setup_result(&huge, &v), -1);
  EXPECT_EQ(std::string(tarvo_mxhost_console()), setup + large);
  EXPECT_EQ(v.storage, nullptr);
}

}  // namespace
