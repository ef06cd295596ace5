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

bool all_zero(const float* p, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    if (p[i] != 0.0f) return false;
  return true;
}
bool all_zero(const dcomplex* p, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i)
    if (p[i].re != 0.0 || p[i].im != 0.0) return false;
  return true;
}

// Checks layout and zero fill of every slot of a freshly set-up workspace.
void expect_fresh(const AlignWorkspace& ws, int nrows, int ncols, int nslots) {
  ASSERT_EQ(ws.nrows, nrows);
  ASSERT_EQ(ws.ncols, ncols);
  ASSERT_EQ(ws.nslots, nslots);
  const std::int64_t n = static_cast<std::int64_t>(nrows) * ncols;
  for (int k = 0; k < nslots; ++k) {
    EXPECT_EQ(ws.phase_map[k], ws.phase_map[0] + k * n);
    EXPECT_EQ(ws.mag_scratch[k], ws.mag_scratch[0] + k * n);
    EXPECT_EQ(ws.mask[k], ws.mask[0] + k * n);
    EXPECT_EQ(ws.left_vec[k], ws.left_vec[0] + k * nrows);
    EXPECT_EQ(ws.support_rows[k], ws.support_rows[0] + k * nrows);
    EXPECT_EQ(ws.right_vec[k], ws.right_vec[0] + k * ncols);
    EXPECT_EQ(ws.support_cols[k], ws.support_cols[0] + k * ncols);
  }
  EXPECT_TRUE(all_zero(ws.phase_map[0], n * nslots));
  EXPECT_TRUE(all_zero(ws.mag_scratch[0], n * nslots));
  EXPECT_TRUE(all_zero(ws.mask[0], n * nslots));
  EXPECT_TRUE(all_zero(ws.left_vec[0], std::int64_t{nrows} * nslots));
  EXPECT_TRUE(all_zero(ws.support_rows[0], std::int64_t{nrows} * nslots));
  EXPECT_TRUE(all_zero(ws.right_vec[0], std::int64_t{ncols} * nslots));
  EXPECT_TRUE(all_zero(ws.support_cols[0], std::int64_t{ncols} * nslots));
}

TEST(AlignWorkspace, SetUpReleaseAndSetUpAgainWithOtherExtents) {
  AlignWorkspace ws = {};
  ASSERT_EQ(align_phase_thread_init(5, 3, 3, &ws), 0);
  EXPECT_EQ(align_phase_slots_in_use.load(), 3);
  expect_fresh(ws, 5, 3, 3);
  ws.phase_map[2][14] = {1.0, 2.0};
  ws.support_cols[1][0] = 1.0f;
  ASSERT_EQ(align_phase_thread_post(&ws), 0);
  EXPECT_EQ(align_phase_slots_in_use.load(), -1);
  EXPECT_EQ(ws.nslots, 0);

  ASSERT_EQ(align_phase_thread_init(7, 2, 2, &ws), 0);
  expect_fresh(ws, 7, 2, 2);
  ASSERT_EQ(align_phase_thread_post(&ws), 0);
}

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

TEST(AlignWorkspace, NegativeSlotCountCreatesNoSlots) {
  AlignWorkspace ws = {};
  ASSERT_EQ(align_phase_thread_init(4, 4, -3, &ws), 0);
  EXPECT_EQ(align_phase_slots_in_use.load(), 0);
  EXPECT_EQ(ws.nslots, 0);
  EXPECT_EQ(ws.phase_map, nullptr);  // nothing is held, so nothing can leak
  testing::internal::CaptureStderr();
  EXPECT_EQ(align_phase_thread_post(&ws), -1);  // a zero-slot workspace cannot be released
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kNothingAllocated);
  // State 0 is not "in use": a new set-up succeeds.
  ASSERT_EQ(align_phase_thread_init(3, 3, 1, &ws), 0);
  ASSERT_EQ(align_phase_thread_post(&ws), 0);
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
