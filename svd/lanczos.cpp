// Lanczos iteration on the operator x -> A^T (A x) with selective reorthogonalisation: local
// reorthogonalisation against the two latest vectors at every step, permanent
// orthogonalisation against the first ll vectors, and a full pass against every stored vector
// only when the estimated loss of orthogonality exceeds sqrt(eps).
//
// wptr[0..9]: r (residual), q(j), q(j-1), p(j), p(j-1), retrieval scratch, alpha (diagonal of
// T), eta, oldeta (orthogonality estimates), beta (beta[j] couples steps j-1 and j).
#include <cmath>
#include <cstdint>
#include <utility>

#include "svd/internal.h"

namespace {

constexpr int kStartSeed = 918273;  // the start vector of step s is drawn from seed 918273 + s

// Analyses T(0..j) block by block: Ritz values into ritz[0..j], error bounds into bnd[0..j]
// (residual norm times the last component of each block eigenvector).
void analyse_tridiagonal(int j, const double* alf, const double* bet, double* ritz, double* bnd,
                         double* scratch, double rnm) {
  // Every one of the j + 1 possible blocks is analysed (the loop runs while l <= j), so a run
  // whose first stretch stops at once (a rank-1 operator) still yields its Ritz value.
  int l = 0;
  while (l <= j) {
    int i = l;
    while (i < j && bet[i + 1] != 0.0) i++;
    // The block is copied reversed: the first eigenvector components that imtqlb returns are
    // then the last components of the block's own eigenvectors.
    svdCopy(i - l + 1, &alf[l], 1, &ritz[l], -1);
    svdCopy(i - l, &bet[l + 1], 1, &scratch[l + 1], -1);
    // imtqlb leaves the bound of an order-1 block untouched: its eigenvector is (1).
    if (i == l) bnd[l] = 1.0;
    imtqlb(i - l + 1, &ritz[l], &scratch[l], &bnd[l]);
    if (svdErrorFlag) {
      svdError("svdLAS2: imtqlb failed to converge (ierr = %ld)\n",
               static_cast<long>(svdErrorFlag));
      svdError("  l = %ld  i = %ld\n", static_cast<long>(l), static_cast<long>(i));
      for (int k = l; k <= i; k++)
        svdError("  %ld  %lg  %lg  %lg\n", static_cast<long>(k), ritz[k], scratch[k], bnd[k]);
    }
    for (int k = l; k <= i; k++) bnd[k] = rnm * std::fabs(bnd[k]);
    l = i + 1;
  }
}

}  // namespace

double svdRandom(int* seed) {
  // seed <- (843314861 * seed + 453816693) mod 2^31
  const std::uint64_t s = static_cast<std::uint32_t>(*seed);
  *seed = static_cast<int>((843314861ULL * s + 453816693ULL) & 0x7FFFFFFFULL);
  return std::ldexp(static_cast<double>(*seed), -31);
}

double lanczosStartVector(LanczosState& state, int step) {
  const int n = state.n;
  double** wptr = state.wptr;
  double rnm2 = svdDot(n, wptr[0], 1, wptr[0], 1);
  int seed = kStartSeed + step;
  for (int attempt = 0; attempt < 3; attempt++) {
    if (attempt > 0 || step > 0 || rnm2 == 0.0)
      for (int i = 0; i < n; i++) wptr[0][i] = svdRandom(&seed);
    // Into the range of the operator: r <- A^T A r.
    svdCopy(n, wptr[0], 1, wptr[3], 1);
    svdMultATA(state.A, wptr[3], wptr[0], state.store->scratch);
    svdCopy(n, wptr[0], 1, wptr[3], 1);
    rnm2 = svdDot(n, wptr[0], 1, wptr[3], 1);
    if (rnm2 > 0.0) break;
  }
  // Written so that a NaN norm (a matrix holding NaN) also counts as no start vector.
  if (!(rnm2 > 0.0)) {
    svdErrorFlag = kNoStartVector;
    return -1.0;
  }
  if (step > 0) {
    // Orthogonal to every stored q, then once more to q(step-1).
    for (int i = 0; i < step; i++) {
      RETRQ(n, i, wptr[5], state.store);
      const double t = svdDot(n, wptr[3], 1, wptr[5], 1);
      svdAxpy(n, -t, wptr[5], 1, wptr[0], 1);
    }
    double t = svdDot(n, wptr[4], 1, wptr[0], 1);
    svdAxpy(n, -t, wptr[2], 1, wptr[0], 1);
    svdCopy(n, wptr[0], 1, wptr[3], 1);
    t = svdDot(n, wptr[3], 1, wptr[0], 1);
    if (t <= svdEps * rnm2) t = 0.0;
    rnm2 = t;
  }
  return std::sqrt(rnm2);
}

void lanczosFirstStep(LanczosState& state) {
  const int n = state.n;
  double** wptr = state.wptr;
  double* alf = wptr[6];
  state.tol = 0.0;
  state.rnm = lanczosStartVector(state, 0);
  if (state.rnm == 0.0 || svdErrorFlag) return;
  double t = 1.0 / state.rnm;
  svdScaledCopy(n, t, wptr[0], 1, wptr[1], 1);
  svdScale(n, t, wptr[3], 1);
  svdMultATA(state.A, wptr[3], wptr[0], state.store->scratch);
  alf[0] = svdDot(n, wptr[0], 1, wptr[3], 1);
  svdAxpy(n, -alf[0], wptr[1], 1, wptr[0], 1);
  t = svdDot(n, wptr[0], 1, wptr[3], 1);
  svdAxpy(n, -t, wptr[1], 1, wptr[0], 1);
  alf[0] += t;
  svdCopy(n, wptr[0], 1, wptr[4], 1);
  state.rnm = std::sqrt(svdDot(n, wptr[0], 1, wptr[4], 1));
  state.tol = svdReps * (state.rnm + std::fabs(alf[0]));
}

namespace {

// Step j's new residual r = A^T A p(j) - rnm q(j-1) - alpha(j) q(j), orthogonalised against
// the first ll vectors (after a sharp drop of alpha) and locally against q(j-1) and q(j);
// alpha(j) and beta(j) take the local corrections, and rnm and tol follow the new residual.
void lanczosResidual(LanczosState& state, int j) {
  const int n = state.n;
  double** wptr = state.wptr;
  double* alf = wptr[6];
  double* eta = wptr[7];
  double* oldeta = wptr[8];
  double* bet = wptr[9];
  // r = A^T A p(j) - rnm q(j-1); alpha(j) = r . p(j); r -= alpha(j) q(j)
  svdMultATA(state.A, wptr[3], wptr[0], state.store->scratch);
  svdAxpy(n, -state.rnm, wptr[2], 1, wptr[0], 1);
  alf[j] = svdDot(n, wptr[0], 1, wptr[3], 1);
  svdAxpy(n, -alf[j], wptr[1], 1, wptr[0], 1);

  // Permanent orthogonalisation against the first ll vectors after a sharp drop of alpha.
  if (j <= MAXLL && std::fabs(alf[j - 1]) > 4.0 * std::fabs(alf[j])) state.ll = j;
  for (int i = 0; i < svdImin(state.ll, j - 1); i++) {
    RETRP(n, i, wptr[5], state.store);
    const double t = svdDot(n, wptr[5], 1, wptr[0], 1);
    RETRQ(n, i, wptr[5], state.store);
    svdAxpy(n, -t, wptr[5], 1, wptr[0], 1);
    eta[i] = svdEps1;
    oldeta[i] = svdEps1;
  }

  // Extended local reorthogonalisation against q(j-1) and q(j).
  double t = svdDot(n, wptr[0], 1, wptr[4], 1);
  svdAxpy(n, -t, wptr[2], 1, wptr[0], 1);
  if (bet[j] > 0.0) bet[j] += t;
  t = svdDot(n, wptr[0], 1, wptr[3], 1);
  svdAxpy(n, -t, wptr[1], 1, wptr[0], 1);
  alf[j] += t;

  svdCopy(n, wptr[0], 1, wptr[4], 1);
  state.rnm = std::sqrt(svdDot(n, wptr[0], 1, wptr[4], 1));
  state.tol = svdReps * (bet[j] + std::fabs(alf[j]) + state.rnm);
}

}  // namespace

int lanczosSteps(LanczosState& state, int first, int last) {
  const int n = state.n;
  double** wptr = state.wptr;
  double* bet = wptr[9];
  int j;
  for (j = first; j < last; j++) {
    std::swap(wptr[1], wptr[2]);  // wptr[2] = q(j-1)
    std::swap(wptr[3], wptr[4]);  // wptr[4] = p(j-1), wptr[3] = copy of the residual
    STORQ(n, j - 1, wptr[2], state.store);
    if (j - 1 < MAXLL) STORP(n, j - 1, wptr[4], state.store);
    bet[j] = state.rnm;

    if (bet[j] == 0.0) {  // invariant subspace found: restart
      state.rnm = lanczosStartVector(state, j);
      if (svdErrorFlag) {
        // No new vector: step j is not taken; wptr[1] holds q(j-1) again on return.
        std::swap(wptr[1], wptr[2]);
        return j;
      }
      if (state.rnm == 0.0) state.enough = true;
    }
    if (state.enough) {
      std::swap(wptr[1], wptr[2]);  // wptr[1] again holds the latest Lanczos vector
      break;
    }

    // q(j) = r / rnm, p(j) = (copy of r) / rnm
    const double t = 1.0 / state.rnm;
    svdScaledCopy(n, t, wptr[0], 1, wptr[1], 1);
    svdScale(n, t, wptr[3], 1);

    lanczosResidual(state, j);
    orthoBounds(wptr[6], wptr[7], wptr[8], bet, j, state.rnm);
    purgeVectors(state, j);
    if (state.rnm <= state.tol) state.rnm = 0.0;
  }
  return j;
}

void orthoBounds(const double* alf, double* eta, double* oldeta, const double* bet, int step,
                 double rnm) {
  if (step < 1) return;
  if (rnm != 0.0) {
    if (step > 1) {
      oldeta[0] =
          (bet[1] * eta[1] + (alf[0] - alf[step]) * eta[0] - bet[step] * oldeta[0]) / rnm + svdEps1;
    }
    for (int i = 1; i <= step - 2; i++) {
      oldeta[i] = (bet[i + 1] * eta[i + 1] + (alf[i] - alf[step]) * eta[i] + bet[i] * eta[i - 1] -
                   bet[step] * oldeta[i]) /
                      rnm +
                  svdEps1;
    }
  }
  oldeta[step - 1] = svdEps1;
  svdSwap(step, oldeta, 1, eta, 1);
  eta[step] = svdEps1;
}

// r = wptr[0], q = wptr[1], their copies ra = wptr[4] and qa = wptr[3], scratch wptr[5].
void purgeVectors(LanczosState& state, int step) {
  const int n = state.n;
  const int ll = state.ll;
  double* r = state.wptr[0];
  double* q = state.wptr[1];
  double* ra = state.wptr[4];
  double* qa = state.wptr[3];
  double* scratch = state.wptr[5];
  double* eta = state.wptr[7];
  double* oldeta = state.wptr[8];
  if (step < ll + 2) return;
  const int k = svdIndexAbsMax(step - (ll + 1), &eta[ll], 1) + ll;
  if (!(std::fabs(eta[k]) > svdReps)) return;
  const double reps1 = svdEps1 / svdReps;
  bool done = false;
  for (int pass = 0; pass < 2 && !done; pass++) {
    if (!(state.rnm > state.tol)) continue;
    // Orthogonalise q and r against every stored q(i), i = ll .. step-1.
    double tq = 0.0, tr = 0.0;
    for (int i = ll; i < step; i++) {
      RETRQ(n, i, scratch, state.store);
      double t = svdDot(n, qa, 1, scratch, 1);
      tq += std::fabs(t);
      svdAxpy(n, -t, scratch, 1, q, 1);
      t = svdDot(n, ra, 1, scratch, 1);
      tr += std::fabs(t);
      svdAxpy(n, -t, scratch, 1, r, 1);
    }
    svdCopy(n, q, 1, qa, 1);
    const double t = svdDot(n, r, 1, qa, 1);
    tr += std::fabs(t);
    svdAxpy(n, -t, q, 1, r, 1);
    svdCopy(n, r, 1, ra, 1);
    state.rnm = std::sqrt(svdDot(n, ra, 1, r, 1));
    done = tq <= reps1 && tr <= reps1 * state.rnm;
  }
  for (int i = ll; i <= step; i++) {
    eta[i] = svdEps1;
    oldeta[i] = svdEps1;
  }
}

int lanczosRun(const LanczosRequest& request, LanczosState& state, double* ritz, double* bnd,
               int* neig) {
  double** wptr = state.wptr;
  double* alf = wptr[6];
  double* eta = wptr[7];
  double* oldeta = wptr[8];
  double* bet = wptr[9];
  const int iterations = request.iterations;
  const int dimensions = request.dimensions;
  *neig = 0;

  lanczosFirstStep(state);
  // A first step with a zero residual (q(0) spans an invariant subspace, as for a 1 x 1 or an
  // exactly rank-1 operator) is carried on: the steps below restart or stop, and T(0..0) is
  // analysed like any other.
  if (svdErrorFlag) return 0;

  eta[0] = svdEps1;
  oldeta[0] = svdEps1;
  state.ll = 0;
  state.enough = false;
  int first = 1;
  int last = svdImin(dimensions + svdImax(8, dimensions), iterations);
  int intro = 0;
  int j = 0;
  for (;;) {
    if (state.rnm <= state.tol) state.rnm = 0.0;
    j = lanczosSteps(state, first, last);
    if (svdErrorFlag) {
      // No start vector at step j (reachable only if the operator loses its range): steps
      // 0 .. j-1 stand; analyse them and stop.
      svdErrorFlag = 0;
      state.enough = true;
    }
    j = state.enough ? j - 1 : last - 1;
    first = j + 1;
    bet[j + 1] = state.rnm;

    analyse_tridiagonal(j, alf, bet, ritz, bnd, wptr[5], state.rnm);
    svdSort2((j + 1) / 2, j + 1, ritz, bnd);
    *neig = ritzBounds(&state.enough, request.endl, request.endr, ritz, bnd, j, state.tol);

    if (*neig >= dimensions) break;
    std::int64_t next;
    if (*neig == 0) {
      next = first + 9;
      intro = first;
    } else {
      // Stretch length max(3, 1 + (j - intro)(dimensions - neig) / neig), truncating; formed
      // in 64 bits so that large dimensions cannot overflow.
      const std::int64_t grow =
          1 + static_cast<std::int64_t>(j - intro) * (dimensions - *neig) / *neig;
      next = first + (grow > 3 ? grow : 3);
    }
    last = static_cast<int>(next < iterations ? next : iterations);
    if (state.enough || first >= iterations) break;
  }
  STORQ(state.n, j, wptr[1], state.store);
  return j;
}
