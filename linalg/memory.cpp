#include "linalg/memory.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#if defined(_WIN32) || defined(__GLIBC__)
#include <malloc.h>
#endif
#ifdef __linux__
#include <sys/mman.h>
#endif

// Under AddressSanitizer every block comes from malloc, so that its leak check sees them all
// (blocks mapped from the system are outside it).
#if defined(__SANITIZE_ADDRESS__)
#define TARVO_MAP_LARGE_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARVO_MAP_LARGE_BLOCKS 0
#endif
#endif
#if !defined(TARVO_MAP_LARGE_BLOCKS) && defined(__linux__)
#define TARVO_MAP_LARGE_BLOCKS 1
#endif
#ifndef TARVO_MAP_LARGE_BLOCKS
#define TARVO_MAP_LARGE_BLOCKS 0
#endif

#include "linalg/parallel.h"

namespace tarvo {
namespace {

constexpr std::size_t kAlignment = 64;

// Blocks from this size on (volumes, normal matrices) ask the kernel for huge pages, so that
// their first touch costs one fault per 2 MiB instead of one per 4 KiB. A request it may ignore.
constexpr std::size_t kHugePageFrom = std::size_t{4} << 20;

void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePageFrom) return;
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

std::atomic<long> g_calls{0};
std::atomic<long> g_fail_at{0};  // absolute call number that fails, 0 = none
std::atomic<long> g_failures{0};
std::atomic<std::int64_t> g_held{0};  // bytes of the blocks not yet freed
std::atomic<std::int64_t> g_peak{0};  // the most g_held reached since alloc_peak_reset

[[maybe_unused]] void count_held(std::int64_t change) {
  const std::int64_t now = g_held.fetch_add(change, std::memory_order_relaxed) + change;
  std::int64_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

// Clears a block; a large one in pieces on the call's threads, so that its first touch (the
// page faults) is shared out too.
void zero(void* p, std::size_t bytes) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  if (bytes < kHugePageFrom) {
    std::memset(p, 0, bytes);
    return;
  }
  const auto pieces = static_cast<std::int64_t>((bytes + kPiece - 1) / kPiece);
  try {
    parallel_for(pieces, thread_count(), [&](std::int64_t k, int) {
      const std::size_t begin = static_cast<std::size_t>(k) * kPiece;
      std::memset(static_cast<char*>(p) + begin, 0, std::min(kPiece, bytes - begin));
      return 0;
    });
  } catch (...) {
    std::memset(p, 0, bytes);  // the loop could not be set up: cleared on this thread
  }
}

}  // namespace

std::size_t checked_bytes(std::int64_t count, std::size_t element_size) noexcept {
  if (count < 0) return std::numeric_limits<std::size_t>::max();
  const auto n = static_cast<std::uint64_t>(count);
  if (element_size != 0 && n > std::numeric_limits<std::size_t>::max() / element_size / 2)
    return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(n) * element_size;
}

#ifndef _WIN32
namespace {

// Every block is preceded by where it came from, so that free_bytes can give it back: the base
// address of the allocation and, for a block mapped from the system, the mapped length (0 for
// one from malloc).
struct Origin {
  void* base;
  std::size_t mapped;
  std::size_t bytes;  // the block's rounded size, for the count of bytes held
};
constexpr std::size_t kOriginAt = 32;  // the record sits this many bytes before the block
static_assert(sizeof(Origin) <= kOriginAt && kOriginAt <= kAlignment);

Origin& origin_of(void* block) {
  return *reinterpret_cast<Origin*>(static_cast<char*>(block) - kOriginAt);
}

#if TARVO_MAP_LARGE_BLOCKS
// A large cleared block is mapped from the system, which hands out zero pages: nothing needs
// clearing, and a page costs nothing until it is first touched (a scratch volume of which a
// call uses one slice stays mostly unbacked). The block starts on a 2 MiB boundary, so that
// huge pages can back it from its first byte; the page before it holds its origin.
void* mapped_block(std::size_t rounded) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  constexpr std::size_t kPage = 4096;
  if (rounded > std::numeric_limits<std::size_t>::max() - kHuge - kPage) return nullptr;
  const std::size_t total = rounded + kHuge + kPage;
  void* map = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return nullptr;
  const auto start = (reinterpret_cast<std::uintptr_t>(map) + kPage + kHuge - 1) & ~(kHuge - 1);
  void* block = reinterpret_cast<void*>(start);
  advise_huge_pages(block, rounded);
  origin_of(block) = {map, total, rounded};
  return block;
}
#endif

}  // namespace
#endif

namespace {

void* allocate(std::size_t bytes, bool clear) noexcept {
  const long call = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
  long target = g_fail_at.load(std::memory_order_relaxed);
  if (target != 0 && call == target) {
    g_fail_at.compare_exchange_strong(target, 0);
    return nullptr;
  }
  if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kAlignment) return nullptr;
  const std::size_t rounded =
      std::max(kAlignment, (bytes + kAlignment - 1) / kAlignment * kAlignment);
#ifdef _WIN32
  void* p = _aligned_malloc(rounded, kAlignment);
#else
#if TARVO_MAP_LARGE_BLOCKS
  if (clear && rounded >= kHugePageFrom) {
    void* block = mapped_block(rounded);
    if (block) count_held(static_cast<std::int64_t>(rounded));
    return block;
  }
#endif
  // kAlignment bytes in front of the block hold its origin.
  void* base = std::aligned_alloc(kAlignment, rounded + kAlignment);
  void* p = base ? static_cast<char*>(base) + kAlignment : nullptr;
  if (p) origin_of(p) = {base, 0, rounded};
  if (p) count_held(static_cast<std::int64_t>(rounded));
#endif
  if (p) advise_huge_pages(p, rounded);
  if (p && clear) zero(p, rounded);
  return p;
}

}  // namespace

void* alloc_bytes(std::size_t bytes, bool clear) noexcept {
  void* p = allocate(bytes, clear);
  if (!p) g_failures.fetch_add(1, std::memory_order_relaxed);
  return p;
}

HeapTrim::~HeapTrim() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

long alloc_failures() noexcept {
  return g_failures.load(std::memory_order_relaxed);
}

void free_bytes(void* p) noexcept {
#ifdef _WIN32
  _aligned_free(p);
#else
  if (!p) return;
  const Origin o = origin_of(p);
  count_held(-static_cast<std::int64_t>(o.bytes));
#if TARVO_MAP_LARGE_BLOCKS
  if (o.mapped != 0) {
    munmap(o.base, o.mapped);
    return;
  }
#endif
  std::free(o.base);
#endif
}

void alloc_fail_at(long k) noexcept {
  g_fail_at.store(k <= 0 ? 0 : g_calls.load() + k, std::memory_order_relaxed);
}

long alloc_count() noexcept {
  return g_calls.load(std::memory_order_relaxed);
}

bool alloc_fail_armed() noexcept {
  return g_fail_at.load(std::memory_order_relaxed) != 0;
}

std::int64_t alloc_bytes_held() noexcept {
  return g_held.load(std::memory_order_relaxed);
}

std::int64_t alloc_peak_bytes() noexcept {
  return g_peak.load(std::memory_order_relaxed);
}

void alloc_peak_reset() noexcept {
  g_peak.store(g_held.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace tarvo
