// Internals of the Lanczos SVD shared by its files and its tests: the per-thread run state, the
// Lanczos vector store, the iteration, the tridiagonal eigensolvers and the vector kernels.
// Not part of the public interface (svd/svd.h).
#pragma once

#include <stdexcept>
#include <string>

#include "linalg/memory.h"
#include "linalg/simd.h"
#include "svd/svd.h"

// Thrown by svdFatal after its message has been written: the current run fails, and the
// driver releases the run's workspace and store and returns null.
class svd_run_failure : public tarvo::failure {
 public:
  explicit svd_run_failure(const std::string& message) : tarvo::failure(message) {}
};

// Writes BEL (flushed), "ERROR: ", the formatted message, BEL and a newline to standard error,
// then throws svd_run_failure.
[[noreturn]] void svdFatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// --- run state ---
constexpr int MAXLL = 2;              // store entries kept for p(0), p(1)
constexpr int kNoStartVector = 8192;  // error flag: no nonzero start vector found

// The Lanczos vector store and the product scratch of one run. The driver owns both for the
// length of the run (nothing is shared between runs, so runs on several threads never meet).
struct LanczosStore {
  double** vectors;      // entries pointers, null until stored: p(j) in j < MAXLL, q(j) in MAXLL+j
  std::int64_t entries;  // iterations + 2
  double* scratch;       // A x of the A^T A product (rows of the run's matrix)
};

// Run state, one instance per thread (a run stays on the thread that started it, so runs on
// other threads never see it): 0 when the run has met no failure; 8192 for a failed start
// vector, l+1 when eigenvalue l of a tridiagonal problem did not converge. Cleared at the start
// of every run.
extern thread_local constinit int svdErrorFlag;
// Precision values of the current run (per thread, like the error flag): eps, eps1 = eps*sqrt(n),
// reps = sqrt(eps), eps34 = eps^(3/4).
extern thread_local constinit double svdEps;
extern thread_local constinit double svdEps1;
extern thread_local constinit double svdReps;
extern thread_local constinit double svdEps34;

// --- Lanczos vector store of a run (n doubles per vector) ---
void STORQ(int n, int j, const double* v, LanczosStore* store);  // keeps q(j) in entry MAXLL+j
void RETRQ(int n, int j, double* v, LanczosStore* store);        // v <- q(j); fatal if never stored
void STORP(int n, int j, const double* v, LanczosStore* store);  // keeps p(j), j < MAXLL
void RETRP(int n, int j, double* v, LanczosStore* store);        // v <- p(j); fatal if never stored

// --- vector kernels (level-1 style, strided; a negative stride walks from the far end) ---
void svdCopy(int n, const double* x, int incx, double* y, int incy);
void svdScale(int n, double a, double* x, int incx);
void svdScaledCopy(int n, double a, const double* x, int incx, double* y, int incy);
void svdAxpy(int n, double a, const double* x, int incx, double* y, int incy);
double svdDot(int n, const double* x, int incx, const double* y, int incy);
void svdSwap(int n, double* x, int incx, double* y, int incy);
int svdIndexAbsMax(int n, const double* x, int incx);
double svdSign(double a, double b);
inline int svdImin(int a, int b) {
  return a < b ? a : b;
}
inline int svdImax(int a, int b) {
  return a > b ? a : b;
}
inline double svdDmin(double a, double b) {
  return a < b ? a : b;
}
inline double svdDmax(double a, double b) {
  return a > b ? a : b;
}
// y (A.rows) <- A x (A.cols)
void svdMultA(const SMat* A, const double* x, double* y);
// y (A.cols) <- A^T (A x); scratch holds A x (A.rows)
void svdMultATA(const SMat* A, const double* x, double* y, double* scratch);

// The products on A's dense copies (A.dense_cols set: the complex form), on one vector width. Every
// path gives the bits of the compressed-form products above, which use tarvo::simd_best() for a
// dense matrix.
void svdMultADense(tarvo::Simd path, const SMat* A, const double* x, double* y);
void svdMultATADense(tarvo::Simd path, const SMat* A, const double* x, double* y, double* scratch);

// --- Lanczos iteration ---
// One Lanczos run on A^T A (vectors of n = A.cols doubles): the work vectors, the store and the
// scalars the steps carry from one to the next.
struct LanczosState {
  const SMat* A = nullptr;        // borrowed
  int n = 0;                      // vector length
  double** wptr = nullptr;        // 10 vectors (borrowed): r, q(j), q(j-1), p(j), p(j-1),
                                  // retrieval scratch, alpha, eta, oldeta, beta
  LanczosStore* store = nullptr;  // borrowed
  double rnm = 0.0;               // norm of the current residual r
  double tol = 0.0;               // below it the residual counts as zero
  int ll = 0;                     // leading vectors kept orthogonal to permanently
  bool enough = false;            // the run may stop
};
// What a run is asked for: at most `iterations` steps, `dimensions` Ritz values accepted in the
// interval outside (endl, endr).
struct LanczosRequest {
  int iterations = 0;
  int dimensions = 0;
  double endl = 0.0, endr = 0.0;
};
// Runs the iteration: ritz/bnd receive the Ritz values and their error bounds, *neig the number
// accepted. Returns the last step taken.
int lanczosRun(const LanczosRequest& request, LanczosState& state, double* ritz, double* bnd,
               int* neig);
void lanczosFirstStep(LanczosState& state);
double lanczosStartVector(LanczosState& state, int step);
int lanczosSteps(LanczosState& state, int first, int last);
void orthoBounds(const double* alf, double* eta, double* oldeta, const double* bet, int step,
                 double rnm);
void purgeVectors(LanczosState& state, int step);
// Linear congruential generator on 31 bits; returns seed * 2^-31 in [0, 1).
double svdRandom(int* seed);

// --- tridiagonal eigensolvers and Ritz vectors ---
// Eigenvalues of the symmetric tridiagonal (d, e[1..n-1]) ascending in d; bnd gets the first
// component of each normalised eigenvector.
void imtqlb(int n, double* d, double* e, double* bnd);
// Eigenvalues ascending in d, eigenvectors as columns of z (nm x n, row-major, identity on
// entry).
void imtql2(int nm, int n, double* d, double* e, double* z);
double svdPythag(double a, double b);
int ritzBounds(bool* enough, double endl, double endr, double* ritz, double* bnd, int step,
               double tol);
void svdSort2(int gap, int n, double* keys, double* companions);
// Fills R from the Lanczos run; returns the number of accepted Ritz values, or -1 when its
// scratch could not be allocated (the allocator has reported).
int ritvec(int n, const SMat* A, SVDRec* R, double kappa, const double* ritz, const double* bnd,
           const double* alf, const double* bet, double* w2, int steps, int neig,
           LanczosStore* store);
// Left rotation of a[0..size-1] in place: element i moves to (i - shift) mod size.
void rotateRows(double* a, std::int64_t size, std::int64_t shift);
