// The phase-alignment workspace: seven buffer kinds, each one zero-filled block cut into nslots
// equal per-slot pieces. align_phase owns one per call.
#include <cstdio>

#include "align/align.h"
#include "linalg/report.h"

namespace {

constexpr const char* kNoMemory = "Error: %s could not alloc the workspace memory\n";

// One buffer kind: nslots pointers into one zero-filled block of nslots*per_slot elements.
template <class T>
struct SlotBlock {
  tarvo::buffer<T*> pointers;
  tarvo::buffer<T> block;

  bool allocate(int nslots, std::int64_t per_slot) {
    pointers.reset(tarvo::alloc_array<T*>(nslots, true));
    if (!pointers) return false;
    block.reset(tarvo::alloc_array<T>(per_slot * nslots, true));
    if (!block) return false;
    for (int k = 0; k < nslots; ++k) pointers[k] = block.get() + k * per_slot;
    return true;
  }
  // Hands the two allocations to the workspace record (slot 0 is the block).
  T** release() {
    block.release();
    return pointers.release();
  }
};

// Frees one buffer kind of the record: the block through the slot-0 pointer, then the array.
template <class T>
void free_kind(T**& pointers, int nslots) {
  if (pointers && nslots > 0) tarvo::free_bytes(pointers[0]);
  tarvo::free_bytes(pointers);
  pointers = nullptr;
}

}  // namespace

int align_workspace_create(int nrows, int ncols, int nslots, AlignWorkspace* workspace,
                           const char* caller) {
  AlignWorkspace ws = {};
  ws.nrows = nrows;
  ws.ncols = ncols;
  ws.nslots = nslots > 0 ? nslots : 0;
  // With zero slots nothing is held: no buffers, since no frame can run.
  if (nslots > 0) {
    // Element counts in 64 bits: nrows*ncols*nslots can exceed 32 bits.
    const std::int64_t n = static_cast<std::int64_t>(nrows) * ncols;
    SlotBlock<dcomplex> phase_map, left_vec, right_vec;
    SlotBlock<float> mask, support_rows, support_cols;
    SlotBlock<double> real_form;
    const bool ok = phase_map.allocate(nslots, n) && left_vec.allocate(nslots, nrows) &&
                    right_vec.allocate(nslots, ncols) && mask.allocate(nslots, n) &&
                    support_rows.allocate(nslots, nrows) && support_cols.allocate(nslots, ncols) &&
                    real_form.allocate(nslots, dense_room(nrows, ncols));
    if (!ok) {
      tarvo::report(kNoMemory, caller);
      return -1;
    }
    ws.phase_map = phase_map.release();
    ws.left_vec = left_vec.release();
    ws.right_vec = right_vec.release();
    ws.mask = mask.release();
    ws.support_rows = support_rows.release();
    ws.support_cols = support_cols.release();
    ws.real_form = real_form.release();
  }
  *workspace = ws;
  return 0;
}

void align_workspace_release(AlignWorkspace* workspace) {
  const int nslots = workspace->nslots;
  free_kind(workspace->phase_map, nslots);
  free_kind(workspace->left_vec, nslots);
  free_kind(workspace->right_vec, nslots);
  free_kind(workspace->mask, nslots);
  free_kind(workspace->support_cols, nslots);
  free_kind(workspace->support_rows, nslots);
  free_kind(workspace->real_form, nslots);
  workspace->nslots = 0;
}
