// Run state of the Lanczos SVD (the slot count, the per-thread error flag and precision values),
// the machine precision probe and the Lanczos vector store of a run.
#include <cstdio>
#include <cstring>

#include "linalg/memory.h"
#include "linalg/report.h"
#include "svd/internal.h"

int svdSlotCount = -1;
thread_local constinit int svdErrorFlag = 0;
thread_local constinit double svdEps = 0.0;
thread_local constinit double svdEps1 = 0.0;
thread_local constinit double svdReps = 0.0;
thread_local constinit double svdEps34 = 0.0;

void svdLAS2_init(int count) {
  if (svdSlotCount >= 1) {
    tarvo::report(
        "svdLAS2_init called, yet it appears %d threads are already in use.\n\tPlease "
        "double check your code.\n",
        svdSlotCount);
    return;
  }
  // A slot table without slots would be unusable and never released: create nothing.
  if (count < 1) return;
  svdSlotCount = count;
}

void svdLAS2_post() {
  if (svdSlotCount < 1) {
    tarvo::report("svdLAS2_post called, but no SVD memory appears to be allocated\n");
    return;
  }
  svdSlotCount = -1;
}

double probeMachinePrecision() {
  // volatile keeps every intermediate rounded to double.
  volatile double a = 1.0, b, c;
  do {
    a = a + a;
    b = a + 1.0;
    b = b - a;
    c = b - 1.0;
  } while (c == 0.0);
  b = 1.0;
  double base;
  for (;;) {
    b = b + b;
    c = a + b;
    c = c - a;
    base = static_cast<double>(static_cast<long long>(c));
    if (base != 0.0) break;
  }
  int t = 0;
  b = 1.0;
  do {
    t++;
    b = b * base;
    c = b + 1.0;
    c = c - b;
    c = c - 1.0;
  } while (c == 0.0);
  const double inv = 1.0 / base;
  a = 1.0;
  for (int i = 0; i < t + 3; i++) a = a * inv;
  for (;;) {
    c = 1.0 + a;
    c = c - 1.0;
    if (c != 0.0) break;
    a = a * base;
  }
  return a;
}

namespace {

// Keeps a copy of v in entry k of the run's store, allocating it on first use.
void store_vector(int n, int k, const double* v, LanczosStore* store) {
  if (k >= store->entries) svdFatal("svdLAS2: failed to allocate LanStore[%d]", k);
  double*& kept = store->vectors[k];
  if (!kept) {
    kept = svdDoubleArray(n, false, "LanStore[j]");
    if (!kept) svdFatal("svdLAS2: failed to allocate LanStore[%d]", k);
  }
  std::memcpy(kept, v, static_cast<std::size_t>(n) * sizeof(double));
}

// Entry k of the run's store, null when nothing was stored there.
const double* kept_vector(int k, const LanczosStore* store) {
  return k < store->entries ? store->vectors[k] : nullptr;
}

}  // namespace

void STORQ(int n, int j, const double* v, LanczosStore* store) {
  store_vector(n, MAXLL + j, v, store);
}

void RETRQ(int n, int j, double* v, LanczosStore* store) {
  const double* kept = kept_vector(MAXLL + j, store);
  if (!kept) svdFatal("svdLAS2: store (RETRQ) called on index %d (not allocated)", MAXLL + j);
  std::memcpy(v, kept, static_cast<std::size_t>(n) * sizeof(double));
}

void STORP(int n, int j, const double* v, LanczosStore* store) {
  store_vector(n, j, v, store);
}

void RETRP(int n, int j, double* v, LanczosStore* store) {
  if (j >= MAXLL) {
    svdError("svdLAS2: store (RETRP) called with j >= MAXLL");
    return;
  }
  const double* kept = kept_vector(j, store);
  if (!kept) svdFatal("svdLAS2: store (RETRP) called on index %d (not allocated)", j);
  std::memcpy(v, kept, static_cast<std::size_t>(n) * sizeof(double));
}
