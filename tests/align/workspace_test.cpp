// Set-up and release of the phase-alignment workspace and its messages.
#include <cstdint>
#include <string>

#include "align/align.h"
#include "gtest/gtest.h"

namespace {

const std::string kAlreadyAllocated =
    "Error: align_phase_thread_init called with memory spaces already allocated\n";
const std::string kNothingAllocated =
    "Error: align_phase_thread_post called, yet it appears that there is no memory allocated\n";
const std::string kNoMemory =
    "Error: align_phase_thread_init could not alloc the workspace memory\n";

TEST(AlignWorkspace, SecondSetUpIsRefusedAndKeepsTheFirst) {
  AlignWorkspace ws = {};
  ASSERT_EQ(align_phase_thread_init(4, 3, 2, &ws), 0);
  const AlignWorkspace before = ws;
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase_thread_init(6, 6, 1, &ws), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kAlreadyAllocated);
  EXPECT_EQ(align_phase_slots_in_use.load(), 2);
  EXPECT_EQ(ws.nrows, 4);
  EXPECT_EQ(ws.phase_map, before.phase_map);
  EXPECT_EQ(ws.phase_map[1], before.phase_map[1]);
  EXPECT_EQ(align_phase_thread_post(&ws), 0);
}

TEST(AlignWorkspace, ReleaseWithoutSetUpOrTwiceIsRefused) {
  AlignWorkspace ws = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase_thread_post(&ws), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kNothingAllocated);

  ASSERT_EQ(align_phase_thread_init(2, 2, 1, &ws), 0);
  ASSERT_EQ(align_phase_thread_post(&ws), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase_thread_post(&ws), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kNothingAllocated);
  EXPECT_EQ(align_phase_slots_in_use.load(), -1);
}

TEST(AlignWorkspace, InvalidArgumentsAreRefused) {
  AlignWorkspace ws = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase_thread_init(-1, 4, 1, &ws), -1);
  EXPECT_EQ(align_phase_thread_init(4, 4, 1, nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: align_phase_thread_init called with invalid arguments\n"
            "Error: align_phase_thread_init called with invalid arguments\n");
  EXPECT_EQ(align_phase_slots_in_use.load(), -1);
  ASSERT_EQ(align_phase_thread_init(2, 2, 1, &ws), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase_thread_post(nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: align_phase_thread_post called with invalid arguments\n");
  ASSERT_EQ(align_phase_thread_post(&ws), 0);
}

// Every allocation of the set-up, made to fail in turn, fails the set-up cleanly: message,
// state unchanged, record untouched, nothing leaked (checked by the sanitizer build).
TEST(AlignWorkspace, AllocationFailureChangesNothing) {
  for (long k = 1;; ++k) {
    AlignWorkspace ws = {};
    ws.nrows = -7;
    testing::internal::CaptureStderr();
    tarvo::alloc_fail_at(k);
    const int rc = align_phase_thread_init(6, 5, 2, &ws);
    tarvo::alloc_fail_at(0);
    const std::string err = testing::internal::GetCapturedStderr();
    if (rc == 0) {
      EXPECT_GT(k, 14) << "fourteen workspace allocations";
      ASSERT_EQ(align_phase_thread_post(&ws), 0);
      break;
    }
    EXPECT_EQ(rc, -1);
    ASSERT_GE(err.size(), kNoMemory.size());
    EXPECT_EQ(err.substr(err.size() - kNoMemory.size()), kNoMemory) << "allocation " << k;
    EXPECT_EQ(align_phase_slots_in_use.load(), -1);
    EXPECT_EQ(ws.nrows, -7);
    ASSERT_LT(k, 100);
  }
}

}  // namespace
