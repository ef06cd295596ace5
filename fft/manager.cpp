// The FFT manager: a table of prepared 2-D transforms, one slot per (nx, ny, direction).
#include <atomic>
#include <cmath>
#include <cstdio>
#include <new>

#include "fft/fft.h"
#include "linalg/report.h"

std::atomic<int32_t> fft_managers_created{0};

namespace {

constexpr int kMaxExtent = 65535;  // the key packs each size into 16 bits

uint32_t slot_key(int nx, int ny) {
  return (static_cast<uint32_t>(nx) << 16) + static_cast<uint32_t>(ny);
}

bool slot_matches(const FftSlot* s, uint32_t key, char dir) {
  return s->key == key && s->ndims == 2 && s->direction == dir;
}

// A manager counts as initialised when its id is below the number of managers created and it
// still holds its slot table (a destroyed or failed manager does not).
bool manager_ready(const FftManager* m, const char* routine) {
  if (m != nullptr && m->id < fft_managers_created && m->slots != nullptr) return true;
  tarvo::report("%s: It appears the VUX fft manager is not initialized.  Unable to proceed.\n",
                routine);
  return false;
}

bool sizes_supported(int nx, int ny, const char* routine) {
  if (nx >= 1 && nx <= kMaxExtent && ny >= 1 && ny <= kMaxExtent) return true;
  tarvo::report("%s: Error: image size %d x %d is outside 1..%d.  Unable to proceed.\n", routine,
                nx, ny, kMaxExtent);
  return false;
}

// True when log2(n), rounded to single precision, has a zero fractional part (NaN counts as
// nonzero). Within 1..65535 this accepts exactly the powers of two.
bool log2_is_integral(int n) {
  const float l = static_cast<float>(std::log10(static_cast<double>(n)) / std::log10(2.0));
  const float frac = l - static_cast<float>(static_cast<int32_t>(l));
  return frac == 0.0f;
}

void free_slot(FftSlot* s) {
  if (s == nullptr) return;
  if (s->mixed != nullptr) {
    fft_scratch_free(&s->mixed->scratch);
    tarvo::free_bytes(s->mixed->plan);
    tarvo::free_bytes(s->mixed);
  }
  tarvo::free_bytes(s->ip);
  tarvo::free_bytes(s->w);
  tarvo::free_bytes(s->rows);
  tarvo::free_bytes(s);
}

struct slot_deleter {
  void operator()(FftSlot* s) const noexcept { free_slot(s); }
};

// Prepares the slot for (nx, ny, dir); throws std::bad_alloc when an allocation fails.
FftSlot* make_slot(int nx, int ny, char dir) {
  std::unique_ptr<FftSlot, slot_deleter> s(tarvo::alloc_array<FftSlot>(1, true));
  if (!s) throw std::bad_alloc();
  s->key = slot_key(nx, ny);
  s->ndims = 2;
  if (log2_is_integral(nx) && log2_is_integral(ny)) {
    const int big = nx > ny ? nx : ny;
    s->ip = tarvo::alloc_array<int32_t>(big + 2, true);
    s->w = tarvo::alloc_array<double>(big / 2);
    s->rows = tarvo::alloc_array<double*>(ny);
    if (!s->ip || !s->w || !s->rows) throw std::bad_alloc();
    s->kind = 'o';
    s->direction = dir;
  } else {
    s->mixed = tarvo::alloc_array<MixedRadixSlotData>(1, true);
    if (!s->mixed) throw std::bad_alloc();
    fft_scratch_init(&s->mixed->scratch);
    const int32_t backward = (dir != 0 && dir != 'f') ? 1 : 0;
    const int32_t dims[2] = {ny, nx};
    s->mixed->plan = mrfftnd_alloc(dims, 2, backward, nullptr, nullptr);
    if (!s->mixed->plan) throw std::bad_alloc();
    s->direction = backward ? 'b' : 'f';
    s->kind = 'k';
  }
  return s.release();
}

}  // namespace

int fft_manager_init(FftManager* m) {
  if (m == nullptr) return -1;
  m->slot_count = 0;
  m->slots = tarvo::alloc_array<FftSlot*>(FFT_MANAGER_MAX_SLOTS, true);
  if (m->slots == nullptr) {
    // Not below the count (and no slot table): every later use reports "not initialized".
    m->id = fft_managers_created.load();
    tarvo::report("fft_manager_init: could not alloc slot table\n");
    return -1;
  }
  m->id = fft_managers_created.fetch_add(1);
  return 0;
}

int fft_manager_destroy(FftManager* m) {
  if (m == nullptr || m->slots == nullptr) return 0;
  for (int i = 0; i < FFT_MANAGER_MAX_SLOTS && m->slots[i] != nullptr; ++i) free_slot(m->slots[i]);
  tarvo::free_bytes(m->slots);
  m->slots = nullptr;  // a later use reports "not initialized" instead of touching freed memory
  return 0;
}

int alloc_2dfft(FftManager* m, int nx, int ny, char dir) {
  if (!manager_ready(m, "alloc_2dfft")) return -1;
  if (!sizes_supported(nx, ny, "alloc_2dfft")) return -1;
  const uint32_t key = slot_key(nx, ny);
  int used = 0;
  for (; used < FFT_MANAGER_MAX_SLOTS && m->slots[used] != nullptr; ++used)
    if (slot_matches(m->slots[used], key, dir)) return used;
  if (used == FFT_MANAGER_MAX_SLOTS) {
    tarvo::report(
        "Error: The FFT manager ran out of available FFT slots.id: %d, needed %d, max = "
        "%d\n",
        m->id, used + 1, FFT_MANAGER_MAX_SLOTS);
    return -1;
  }
  try {
    m->slots[used] = make_slot(nx, ny, dir);
  } catch (const std::bad_alloc&) {
    tarvo::report("alloc_2dfft: could not alloc the %d x %d transform\n", nx, ny);
    return -1;
  }
  ++m->slot_count;
  return used;
}

int fft_2d(FftManager* m, int nx, int ny, double* data, char dir) {
  if (!manager_ready(m, "2dfft")) return -1;
  if (dir != 'f' && dir != 'b') {
    tarvo::report("Error!!! Need to declare a direction of 'f' or 'b'! (dir='%c')\n", dir);
    return -1;
  }
  // Checked before the search: sizes beyond 16 bits would match another size's key.
  if (!sizes_supported(nx, ny, "2dfft")) return -1;
  if (data == nullptr) {
    tarvo::report("2dfft: Error: null image.  Unable to proceed.\n");
    return -1;
  }
  const uint32_t key = slot_key(nx, ny);
  int i = 0;
  while (i < m->slot_count && i < FFT_MANAGER_MAX_SLOTS && m->slots[i] != nullptr &&
         !slot_matches(m->slots[i], key, dir))
    ++i;
  if (i == FFT_MANAGER_MAX_SLOTS) {
    tarvo::report("Error!!! No suitable fft manager objects!  Need a new manager.\n");
    return -1;
  }
  if (m->slots[i] == nullptr || !slot_matches(m->slots[i], key, dir)) {
    i = alloc_2dfft(m, nx, ny, dir);
    if (i < 0) return -1;
  }
  FftSlot* s = m->slots[i];
  if (s->kind == 'o') {
    if (s->tables_ready == 0) {
      s->ip[0] = 0;
      s->tables_ready = 1;
    }
    for (int y = 0; y < ny; ++y) s->rows[y] = data + 2 * static_cast<std::ptrdiff_t>(y) * nx;
    return cfft_pow2_2d(ny, 2 * nx, dir == 'f' ? -1 : 1, s->rows, nullptr, s->ip, s->w);
  }
  dcomplex* image = reinterpret_cast<dcomplex*>(data);
  return mrfftnd(s->mixed->plan, image, image, &s->mixed->scratch);
}
