// The allocation point: alignment, clearing and release for blocks of every kind (small and
// large, cleared or not), and the failure hook.
#include "linalg/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

TEST(AllocBytes, EveryBlockIsAlignedUsableAndClearedWhenAsked) {
  // Sizes below, at and above the size from which cleared blocks come from the system.
  const std::size_t MiB = std::size_t{1} << 20;
  const std::size_t sizes[] = {0, 1, 63, 64, 4097, 4 * MiB - 8, 4 * MiB, 9 * MiB + 24};
  for (bool clear : {false, true})
    for (std::size_t bytes : sizes) {
      // Twice each, the first freed before the second is taken, so that reused memory is
      // cleared too.
      for (int round = 0; round < 2; ++round) {
        auto* p = static_cast<unsigned char*>(tarvo::alloc_bytes(bytes, clear));
        ASSERT_NE(p, nullptr) << bytes;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u) << bytes;
        if (clear) {
          std::size_t nonzero = 0;
          for (std::size_t i = 0; i < bytes; ++i) nonzero += p[i] != 0;
          EXPECT_EQ(nonzero, 0u) << bytes << " bytes, round " << round;
        }
        std::memset(p, 0xA5, bytes);  // the whole block is writable
        tarvo::free_bytes(p);
      }
    }
  tarvo::free_bytes(nullptr);
}

TEST(AllocBytes, TheArmedAllocationFailsAndTheNextSucceeds) {
  tarvo::alloc_fail_at(2);
  void* first = tarvo::alloc_bytes(16);
  void* second = tarvo::alloc_bytes(std::size_t{8} << 20, true);
  void* third = tarvo::alloc_bytes(16);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_FALSE(tarvo::alloc_fail_armed());
  tarvo::free_bytes(first);
  tarvo::free_bytes(third);
  // A size that cannot be represented fails instead of wrapping around.
  EXPECT_EQ(tarvo::alloc_array<double>(INT64_MAX / 4), nullptr);
}

}  // namespace
