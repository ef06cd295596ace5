// The one allocation point of the module.
//
// Every buffer whose size depends on the caller's data is obtained here, so that a test can
// make the k-th allocation fail and check that the call fails cleanly, releases everything
// and leaves the host process running. Allocation failures never end the process: they come
// back as a null pointer (the C-style entry points) or as std::bad_alloc (RAII holders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace tarvo {

// A failure inside the library carrying the text the user is shown. Internal code may throw
// it; every documented entry point catches it at its boundary and returns its status.
class failure : public std::runtime_error {
 public:
  explicit failure(const std::string& message) : std::runtime_error(message) {}
};

// Returns `bytes` bytes aligned to 64, or null when the allocation fails (or is made to fail
// by the test hook below). `bytes` == 0 yields a valid, unique, non-null pointer.
// When `clear` is true the block is zero-filled.
void* alloc_bytes(std::size_t bytes, bool clear = false) noexcept;

// Releases a block from alloc_bytes; null is allowed.
void free_bytes(void* p) noexcept;

// Number of elements * element size in 64 bits, or SIZE_MAX when count is negative or the
// product overflows (which makes the allocation fail instead of wrapping around).
std::size_t checked_bytes(std::int64_t count, std::size_t element_size) noexcept;

// Typed helper: count elements of T (trivially copyable), optionally cleared; null on failure.
template <class T>
T* alloc_array(std::int64_t count, bool clear = false) noexcept {
  return static_cast<T*>(alloc_bytes(checked_bytes(count, sizeof(T)), clear));
}

// Deleter for owners of blocks from alloc_bytes.
struct free_deleter {
  void operator()(void* p) const noexcept { free_bytes(p); }
};

// An owning pointer to an array from alloc_array.
template <class T>
using buffer = std::unique_ptr<T[], free_deleter>;

// Owning allocation that throws std::bad_alloc on failure.
template <class T>
buffer<T> make_buffer(std::int64_t count, bool clear = false) {
  T* p = alloc_array<T>(count, clear);
  if (!p) throw std::bad_alloc();
  return buffer<T>(p);
}

// Hands the heap's free pages back to the system when it goes out of scope (declare it first in
// a call's entry, so that it runs once everything of the call has been freed). A call frees
// every block it took, but its large transient buffers, interleaved with the host's own
// allocations, would otherwise leave a heap that keeps growing over thousands of calls.
struct HeapTrim {
  HeapTrim() = default;
  HeapTrim(const HeapTrim&) = delete;
  HeapTrim& operator=(const HeapTrim&) = delete;
  ~HeapTrim();
};

// Test hook: the k-th allocation from now (k = 1 is the next one) fails; k <= 0 disables.
// Thread-safe. Also counts allocations so a test can sweep every k of a call.
void alloc_fail_at(long k) noexcept;
// Number of calls to alloc_bytes since the process started (for allocation sweeps).
long alloc_count() noexcept;
// Number of alloc_bytes calls that returned null since the process started (real or made to
// fail): a step that failed while this grew ran out of memory.
long alloc_failures() noexcept;
// True while a failure set by alloc_fail_at is still to come.
bool alloc_fail_armed() noexcept;
// Bytes of the blocks from alloc_bytes not yet freed (each counted at its rounded size; 0 on
// Windows, where blocks carry no size), and the most they reached since alloc_peak_reset (which
// starts the peak at what is held now): a test's measure of a call's scratch memory.
std::int64_t alloc_bytes_held() noexcept;
std::int64_t alloc_peak_bytes() noexcept;
void alloc_peak_reset() noexcept;

}  // namespace tarvo
