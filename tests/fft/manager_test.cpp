// The FFT manager: slots, messages and refusals (its allocation failures are swept through whole
// calls).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fft/dft_reference.h"
#include "fft/fft.h"

using namespace fft_test;

namespace {

struct Manager {
  Manager() { EXPECT_EQ(fft_manager_init(&m), 0); }
  ~Manager() { fft_manager_destroy(&m); }
  FftManager m{};
};

TEST(Fft2d, RejectsDirectionShowingTheCharacter) {
  Manager mgr;
  std::vector<double> img = {1, 2, 3, 4};
  testing::internal::CaptureStderr();
  EXPECT_EQ(fft_2d(&mgr.m, 2, 1, img.data(), 'F'), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error!!! Need to declare a direction of 'f' or 'b'! (dir='F')\n");
  EXPECT_EQ(mgr.m.slot_count, 0);
  EXPECT_EQ(img, (std::vector<double>{1, 2, 3, 4}));
}

TEST(Fft2d, RejectsSizesOutsideTheKeyRange) {
  Manager mgr;
  std::vector<double> img(8, 0.0);
  for (auto [nx, ny] : {std::pair{0, 4}, std::pair{4, -1}, std::pair{65536, 1}}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(fft_2d(&mgr.m, nx, ny, img.data(), 'f'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "2dfft: Error: image size " + std::to_string(nx) + " x " + std::to_string(ny) +
                  " is outside 1..65535.  Unable to proceed.\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(alloc_2dfft(&mgr.m, nx, ny, 'f'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "alloc_2dfft: Error: image size " + std::to_string(nx) + " x " + std::to_string(ny) +
                  " is outside 1..65535.  Unable to proceed.\n");
  }
  EXPECT_EQ(mgr.m.slot_count, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(fft_2d(&mgr.m, 2, 2, nullptr, 'f'), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "2dfft: Error: null image.  Unable to proceed.\n");
}

TEST(FftManager, UninitialisedOrDestroyedManagerIsRefused) {
  FftManager never{};
  never.id = fft_managers_created.load();  // not below the count: never initialised
  std::vector<double> img(8, 0.0);
  FftManager gone{};
  ASSERT_EQ(fft_manager_init(&gone), 0);
  ASSERT_EQ(fft_manager_destroy(&gone), 0);
  for (FftManager* m : {&never, &gone, static_cast<FftManager*>(nullptr)}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(alloc_2dfft(m, 2, 2, 'f'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "alloc_2dfft: It appears the VUX fft manager is not initialized.  Unable to "
              "proceed.\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(fft_2d(m, 2, 2, img.data(), 'f'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "2dfft: It appears the VUX fft manager is not initialized.  Unable to proceed.\n");
  }
  EXPECT_EQ(fft_manager_destroy(&gone), 0) << "a second destroy is harmless";
}

TEST(FftManager, FullTableRefusesThe513thCombinationAndKeepsWorking) {
  Manager mgr;
  for (int i = 0; i < FFT_MANAGER_MAX_SLOTS; ++i)
    ASSERT_EQ(alloc_2dfft(&mgr.m, 1 + i / 2, 1, i % 2 ? 'b' : 'f'), i);
  EXPECT_EQ(mgr.m.slot_count, 512);
  std::vector<double> img = random_signal(3, 1);
  const std::vector<double> before = img;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fft_2d(&mgr.m, 3, 1, img.data(), 'f'), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  img = before;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fft_2d(&mgr.m, 1, 3, img.data(), 'f'), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error!!! No suitable fft manager objects!  Need a new manager.\n");
  EXPECT_EQ(img, before);
  testing::internal::CaptureStderr();
  EXPECT_EQ(alloc_2dfft(&mgr.m, 1, 3, 'f'), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: The FFT manager ran out of available FFT slots.id: " +
                std::to_string(mgr.m.id) + ", needed 513, max = 512\n");
  // The 3 x 1 forward slot still transforms: DFT of 3 values.
  auto want = widen(img);
  dft_axis(want, 3, 1, -1);
  ASSERT_EQ(fft_2d(&mgr.m, 3, 1, img.data(), 'f'), 0);
  EXPECT_LE(relative_error(img, want), error_bound(3));
}

}  // namespace
