// Allocation-failure sweep of whole calls: for every k, the k-th allocation of the module (the
// one allocation point) or the k-th host array constructor of a call fails. Each such call
// must print one console line, assign nothing and destroy every host array it made (the
// sanitizer build also checks that every buffer is released), and the next normal call must
// give the reference result bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/phantom.h"
#include "reliability/call.h"

namespace {

using tarvo_test::Call;
using tarvo_test::same_bits;

struct Sweep {
  const char* name;
  int nrhs;  // 2: target is the odd frame; 3: a third input is the target
};

class AllocationSweep : public testing::TestWithParam<Sweep> {
 protected:
  void SetUp() override {
    tarvo_test::PhantomOptions o;
    o.M = 8, o.N = 6, o.Z = 2, o.L = 2, o.seed = 11;
    const tarvo_test::Phantom ph = tarvo_test::make_phantom(o);
    o.seed = 12;
    const tarvo_test::Phantom target = tarvo_test::make_phantom(o);
    const std::vector<int> dims = {o.M, o.N, o.Z, o.L};
    inputs_ = {tarvo_test::complex_array(dims, [&](size_t i) { return ph.even[i]; }),
               tarvo_test::complex_array(dims, [&](size_t i) { return ph.odd[i]; }),
               tarvo_test::complex_array(dims, [&](size_t i) { return target.odd[i]; })};
    while (static_cast<int>(inputs_.size()) > GetParam().nrhs) {
      mxDestroyArray(const_cast<mxArray*>(inputs_.back()));
      inputs_.pop_back();
    }
    live_ = tarvo_mxhost_live_arrays();
  }
  void TearDown() override {
    tarvo::alloc_fail_at(0);
    tarvo_mxhost_fail_create_at(0);
    EXPECT_EQ(tarvo_mxhost_live_arrays(), live_) << "host arrays leaked";
    for (const mxArray* a : inputs_) mxDestroyArray(const_cast<mxArray*>(a));
  }

  // A failed call: one console line, no output, no host array left behind.
  void expect_clean_failure(const Call& c, const std::string& where) {
    EXPECT_FALSE(c.console.empty()) << where << ": failure reported as success";
    EXPECT_EQ(c.console.find('\n'), c.console.size() - 1) << where << ": " << c.console;
    EXPECT_TRUE(c.no_outputs()) << where;
  }
  // The next normal call gives the reference outputs, bit for bit.
  void expect_reference(const Call& reference, const std::string& where) {
    const Call again(3, inputs_);
    EXPECT_EQ(again.console, "") << where;
    for (int k = 0; k < 3; ++k)
      EXPECT_TRUE(same_bits(again.out[k], reference.out[k])) << where << ": output " << k + 1;
  }

  std::vector<const mxArray*> inputs_;
  long live_ = 0;
};

TEST_P(AllocationSweep, EveryFailingModuleAllocationFailsCleanlyAndTheNextCallIsUnchanged) {
  const Call reference(3, inputs_);
  ASSERT_EQ(reference.console, "");
  // While the failure hook is armed a call runs on one thread; count the allocations of such a
  // call with the hook armed far beyond it.
  tarvo::alloc_fail_at(1L << 40);
  const long total = Call(3, inputs_).allocations;
  tarvo::alloc_fail_at(0);
  ASSERT_GT(total, 20);
  // The console line names the failed step (each is reached by some allocation); its own detail
  // goes to the standard error stream.
  const std::vector<std::string> known = {
      "volume_from_mxarray: could not alloc volume data\n",
      "volume_setup_result: could not alloc result data\n",
      "tarvo: context_create failed; no outputs were assigned\n",
      "tarvo: tarvo_interleave_frames failed; no outputs were assigned\n",
      "tarvo: estimate_coefficients failed; no outputs were assigned\n",
      "tarvo: synthesize_volume (output 1) failed; no outputs were assigned\n",
      "tarvo: synthesize_volume (output 2) failed; no outputs were assigned\n",
      "tarvo: align_phase (output 2) failed; no outputs were assigned\n",
  };
  std::vector<int> seen(known.size(), 0);
  for (long k = 1; k <= total; ++k) {
    const std::string where = "allocation " + std::to_string(k);
    testing::internal::CaptureStderr();  // the failing step's own line, pinned elsewhere
    {
      tarvo::alloc_fail_at(k);
      const Call c(3, inputs_);
      tarvo::alloc_fail_at(0);
      expect_clean_failure(c, where);
      const auto hit = std::find(known.begin(), known.end(), c.console);
      if (hit == known.end())
        ADD_FAILURE() << where << ": \"" << c.console << "\"";
      else
        ++seen[hit - known.begin()];
    }
    testing::internal::GetCapturedStderr();
    expect_reference(reference, where);
    if (HasFailure()) break;
  }
  for (std::size_t i = 0; i < known.size(); ++i) EXPECT_GT(seen[i], 0) << known[i];
}

TEST_P(AllocationSweep, EveryFailingHostArrayFailsCleanlyAndTheNextCallIsUnchanged) {
  const Call reference(3, inputs_);
  ASSERT_EQ(reference.console, "");
  // Outputs 1 and 2, the struct, and three field values per slice.
  const int creates = 2 + 1 + 3 * 2;
  for (int k = 1; k <= creates + 1; ++k) {
    const std::string where = "host array " + std::to_string(k);
    tarvo_mxhost_fail_create_at(k);
    {
      const Call c(3, inputs_);
      tarvo_mxhost_fail_create_at(0);
      if (k <= creates) {
        expect_clean_failure(c, where);
        EXPECT_EQ(c.console, k <= 2 ? "volume_to_mxarray: could not create the output array\n"
                                    : "tarvo: building output 3 failed; no outputs were assigned\n")
            << where;
      } else  // one past the last constructor: nothing fails
        EXPECT_EQ(c.console, "") << where;
    }
    expect_reference(reference, where);
    if (HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, AllocationSweep,
                         testing::Values(Sweep{"TwoInputs", 2}, Sweep{"ThreeInputs", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
