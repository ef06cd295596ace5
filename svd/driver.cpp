// Driver of the Lanczos SVD: parameter clamping and checks, the choice of working on the
// transpose, the precision tolerances, the run's workspace, the iteration and the result.
//
// A run owns its workspace, its Lanczos vector store and its product scratch through
// RunWorkspace, so any way out of a run (including a store failure, which svdFatal turns into an
// svd_run_failure) releases everything it obtained, and runs on several threads share nothing.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "linalg/memory.h"
#include "linalg/report.h"
#include "svd/internal.h"

namespace {

constexpr const char* kParameterError = "svdLAS2 parameter error: %s\n";
constexpr const char* kWorkspaceFailure = "svdLAS2: fatal error, aborting";

struct RecDeleter {
  void operator()(SVDRec* R) const noexcept { svdFreeSVDRec(R); }
};
using RecOwner = std::unique_ptr<SVDRec, RecDeleter>;

struct SMatDeleter {
  void operator()(SMat* S) const noexcept { svdFreeSMat(S); }
};

// Everything one run obtains; released on every way out of the run.
class RunWorkspace {
 public:
  RunWorkspace() = default;
  RunWorkspace(const RunWorkspace&) = delete;
  RunWorkspace& operator=(const RunWorkspace&) = delete;
  ~RunWorkspace() { release_store(); }

  std::unique_ptr<SMat, SMatDeleter> transposed;
  tarvo::buffer<double> work[10];  // wptr[0..9]
  tarvo::buffer<double> ritz, bnd;
  LanczosStore store = {};

  // The store (entries null) and the product scratch; false after a reported failure.
  bool take_store(std::int64_t store_entries, int rows) {
    store.vectors = tarvo::alloc_array<double*>(store_entries, true);
    if (!store.vectors) {
      tarvo::report("las2: LanStore: %s\n", std::strerror(ENOMEM));
      return false;
    }
    store.entries = store_entries;
    store.scratch = svdDoubleArray(rows, false, "las2: OPBTemp");
    return store.scratch != nullptr;
  }

 private:
  void release_store() noexcept {
    if (store.vectors) {
      for (std::int64_t k = 0; k < store.entries; k++) tarvo::free_bytes(store.vectors[k]);
      tarvo::free_bytes(store.vectors);
    }
    tarvo::free_bytes(store.scratch);
    store = {};
  }
};

// The run proper, on a matrix already checked; throws svd_run_failure from the store.
SVDRec* run_las2(const SMat* A, int dimensions, int iterations, const double end[2], double kappa) {
  RunWorkspace ws;

  // Work on the transpose when A is wide, so that n stays at the smaller side.
  const bool transpose = static_cast<double>(A->cols) >= 1.2 * static_cast<double>(A->rows);
  if (transpose) {
    ws.transposed.reset(svdTransposeS(A));
    if (!ws.transposed) {
      svdError("%s", kWorkspaceFailure);
      return nullptr;
    }
    A = ws.transposed.get();
  }

  const int n = A->cols;
  svdEps = probeMachinePrecision();
  svdEps1 = svdEps * std::sqrt(static_cast<double>(n));
  svdReps = std::sqrt(svdEps);
  svdEps34 = svdReps * std::sqrt(svdReps);

  static const char* const labels[10] = {
      "las2: wptr[0]", "las2: wptr[1]", "las2: wptr[2]", "las2: wptr[3]", "las2: wptr[4]",
      "las2: wptr[5]", "las2: wptr[6]", "las2: wptr[7]", "las2: wptr[8]", "las2: wptr[9]"};
  bool ok = true;
  for (int i = 0; i < 10 && ok; i++) {
    const std::int64_t count = i < 6 ? n : i < 9 ? iterations : std::int64_t{iterations} + 1;
    // r starts at zero; alpha too, so that a run that never takes a step reads no garbage.
    ws.work[i].reset(svdDoubleArray(count, i == 0 || i == 6, labels[i]));
    ok = ws.work[i] != nullptr;
  }
  if (ok) {
    ws.ritz.reset(svdDoubleArray(std::int64_t{iterations} + 1, true, "las2: ritz"));
    ok = ws.ritz != nullptr;
  }
  if (ok) {
    ws.bnd.reset(svdDoubleArray(std::int64_t{iterations} + 1, true, "las2: bnd"));
    ok = ws.bnd != nullptr;
  }
  if (ok) {
    // Every bound starts at about 1.3824e306 (all bytes 0x7F): not converged.
    std::memset(ws.bnd.get(), 0x7F, (static_cast<std::size_t>(iterations) + 1) * sizeof(double));
    ok = ws.take_store(std::int64_t{iterations} + 2, A->rows);
  }
  if (!ok) {
    svdError("%s", kWorkspaceFailure);
    return nullptr;
  }

  double* wptr[10];
  for (int i = 0; i < 10; i++) wptr[i] = ws.work[i].get();
  int neig = 0;
  LanczosState state{.A = A, .n = n, .wptr = wptr, .store = &ws.store};
  const int steps = lanczosRun(
      {.iterations = iterations, .dimensions = dimensions, .endl = end[0], .endr = end[1]}, state,
      ws.ritz.get(), ws.bnd.get(), &neig);
  // wptr[1..4] may have been exchanged among themselves; the owners are unaffected.
  for (int i : {0, 1, 2, 3, 4, 7, 8}) ws.work[i].reset();

  kappa = std::fmax(std::fabs(kappa), svdEps34);

  RecOwner R(svdNewSVDRec());
  bool made = R != nullptr;
  if (made) {
    R->d = dimensions;
    made = (R->Ut = svdNewDMat(dimensions, A->rows)) != nullptr &&
           (R->s = svdDoubleArray(dimensions, true, "las2: R->s")) != nullptr &&
           (R->Vt = svdNewDMat(dimensions, A->cols)) != nullptr;
  }
  if (!made) {
    svdError("svdLAS2: allocation of R failed");
    return nullptr;
  }

  if (ritvec(n, A, R.get(), kappa, ws.ritz.get(), ws.bnd.get(), wptr[6], wptr[9], wptr[5], steps,
             neig, &ws.store) < 0) {
    svdError("%s", kWorkspaceFailure);
    return nullptr;
  }

  if (transpose) std::swap(R->Ut, R->Vt);  // Ut: left vectors of the caller's matrix
  return R.release();
}

// Clamps dimensions and iterations to the matrix and checks the parameters; false after the
// message.
bool check_parameters(const SMat* A, const double end[2], int* dimensions, int* iterations) {
  if (!A || !end) {
    svdError(kParameterError, "MATRIX OR INTERVAL IS NULL");
    return false;
  }
  const int m = svdImin(A->rows, A->cols);
  if (*dimensions <= 0 || *dimensions > m) *dimensions = m;
  if (*iterations <= 0 || *iterations > m) *iterations = m;
  *iterations = svdImax(*iterations, *dimensions);

  if (end[0] > end[1]) {
    svdError(kParameterError, "ENDL MUST BE LESS THAN ENDR");
    return false;
  }
  if (A->cols <= 0 || A->rows <= 0) {
    svdError(kParameterError, "ONE OF YOUR DIMENSIONS IS LESS THAN OR EQUAL TO ZERO");
    return false;
  }
  return true;
}

SVDRec* checked_run(const SMat* A, int dimensions, int iterations, const double end[2],
                    double kappa) {
  try {
    return run_las2(A, dimensions, iterations, end, kappa);
  } catch (const svd_run_failure&) {
    return nullptr;  // svdFatal has written the message; the workspace is released
  } catch (...) {
    svdError("%s", kWorkspaceFailure);
    return nullptr;
  }
}

constexpr const char* kBadSlot = "SLOT IS NOT ONE OF THE SLOTS CREATED BY svdLAS2_init";
constexpr const char* kNullArray = "svdLAS2A called with NULL array\n";
// svdLAS2A's interval of unwanted Ritz values and accuracy.
constexpr double kDefaultEnd[2] = {-1.0e-30, 1.0e-30};
constexpr double kDefaultKappa = 1.0e-6;

}  // namespace

SVDRec* svdLAS2(const SMat* A, int dimensions, int iterations, const double end[2], double kappa) {
  svdErrorFlag = 0;
  if (!check_parameters(A, end, &dimensions, &iterations)) return nullptr;
  return checked_run(A, dimensions, iterations, end, kappa);
}

SVDRec* svdLAS2(const SMat* A, int dimensions, int iterations, const double end[2], double kappa,
                int slot) {
  svdErrorFlag = 0;
  if (!check_parameters(A, end, &dimensions, &iterations)) return nullptr;
  if (slot < 0 || slot >= svdSlotCount) {
    svdError(kParameterError, kBadSlot);
    return nullptr;
  }
  return checked_run(A, dimensions, iterations, end, kappa);
}

SVDRec* svdLAS2A(const SMat* A, int dimensions) {
  if (!A) {
    svdError("%s", kNullArray);
    return nullptr;
  }
  return svdLAS2(A, dimensions, 0, kDefaultEnd, kDefaultKappa);
}

SVDRec* svdLAS2A(const SMat* A, int dimensions, int slot) {
  // Without a slot table the run needs none (it owns its store): any slot of its own is valid.
  if (svdSlotCount < 0 && slot >= 0) return svdLAS2A(A, dimensions);
  if (!A) {
    svdError("%s", kNullArray);
    return nullptr;
  }
  return svdLAS2(A, dimensions, 0, kDefaultEnd, kDefaultKappa, slot);
}
