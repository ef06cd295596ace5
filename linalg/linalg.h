// Complex dense linear algebra: the complex value type shared by every subsystem, scalar
// arithmetic, vector kernels, the column-major matrix-vector product and the
// conjugate-gradient solver. Also home of the module's one allocation point (memory.h),
// since this is the bottom layer every other subsystem builds on.
#pragma once

#include "linalg/memory.h"
#include "linalg/parallel.h"

// One double-precision complex value: real part, then imaginary part. Arrays of it are the
// interleaved "dblc" element layout of the volume record.
struct dcomplex {
  double re;
  double im;
};
static_assert(sizeof(dcomplex) == 16, "dcomplex must be two packed doubles");

// a*b = (a.re b.re - a.im b.im) + i (a.re b.im + a.im b.re). Defined here so that the
// per-sample loops of every subsystem inline it.
inline dcomplex complex_mult(dcomplex a, dcomplex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
// a/b by the direct formula d = |b|^2, no scaling; b = 0 gives IEEE non-finite parts.
dcomplex complex_div(dcomplex a, dcomplex b);
// a+b
inline dcomplex complex_add(dcomplex a, dcomplex b) {
  return {a.re + b.re, a.im + b.im};
}
// y[i] <- alpha*y[i] + beta*x[i], i = 0..n-1; x may alias y. n <= 0 changes nothing.
void complex_axpby(dcomplex alpha, dcomplex* y, dcomplex beta, const dcomplex* x, int n);
// sum_i conj(x[i])*y[i], accumulated in index order; (0,0) for n <= 0.
dcomplex complex_dotc(const dcomplex* x, const dcomplex* y, int n);
// y (rows) <- A (rows x cols, column-major) * x (cols); y cleared first, sums in column order.
void complex_matvec(const dcomplex* A, const dcomplex* x, int rows, int cols, dcomplex* y);
// Conjugate gradients on the Hermitian positive definite n x n system A x = b.
// x holds the starting guess on entry and the solution on return.
// max_iter: passes (20 when 0, none when negative); tol: absolute residual-norm stop (1e-9 when 0).
// The single-system case of tarvo::complex_cg_solve_many (the same steps and bits).
// Returns 0; if its work vectors cannot be allocated it prints
// "complex_cg_solve: could not alloc work vectors\n" on stderr, leaves x unchanged and
// returns -1 (a caller must not take the unchanged x for a solution).
int complex_cg_solve(const dcomplex* A, int n, const dcomplex* b, dcomplex* x, int max_iter,
                     double tol);

namespace tarvo {
// The solver's residual norm from rho = r^H r: sqrt(Re rho). Prints "WARNING: ignoring
// significant complex value in square root.\n" on stderr when Im rho > 1e-6 (signed) and
// ignores Im rho either way. (r^H r computed by complex_dotc has an exactly zero imaginary
// part, so inside the solver the warning only guards against other sources of rho.)
double cg_residual_norm(dcomplex rho);

// Y (rows x count) <- A (rows x cols) * X (cols x count), all column-major: count products of
// complex_matvec with the same sums in the same order (so the same bits), in one pass over A,
// rows spread over the call's threads.
void complex_matmat(const dcomplex* A, int rows, int cols, const dcomplex* X, int count,
                    dcomplex* Y);
// Rows i0..i1-1 of Y_c <- A X_c (A rows x cols, X cols x count, Y rows x count, column-major)
// for the columns c with active[c] (all when active is null); those rows of Y_c are cleared
// first and every element is summed in column order. The kernel of complex_matvec,
// complex_matmat and the solver: an element gets the same bits whatever rows, columns and
// thread the call covers. On processors with AVX2 and FMA each term is added by fused
// multiply-adds (see KernelFormScope), otherwise as y + (a*x).
void complex_matmat_rows(const dcomplex* A, int rows, int cols, const dcomplex* X, int count,
                         const unsigned char* active, int i0, int i1, dcomplex* Y);

// complex_matmat_rows(A, rows, cols, ., count, nullptr, 0, rows, Y) on columns X_c whose element j
// is X[c*col_stride + at[j]]: the same sums in the same order, so the same bits as on those columns
// copied out, for right-hand sides that are overlapping windows of one array.
void complex_matmat_gather(const dcomplex* A, int rows, int cols, const dcomplex* X,
                           std::int64_t col_stride, const std::int64_t* at, int count, dcomplex* Y);

// A (rows x cols, column-major) as panels of kPanelRows rows for products that read it many
// times (the solver's passes): panel p holds rows kPanelRows*p .. of A column by column, element
// (kPanelRows*p + i, j) at P[panel_stride(cols)*p + kPanelRows*j + i], the last panel filled up
// with zeros. P holds panels_size(rows, cols) elements. A product reads a panel front to back
// instead of one short run of every column.
constexpr int kPanelRows = 8;
inline std::int64_t panel_count(int rows) {
  return (std::int64_t{rows} + kPanelRows - 1) / kPanelRows;
}
// Elements from one panel to the next: kPanelRows * cols, and 32 KiB more when that is a whole
// number of 64 KiB. Panels that far apart would all start in the same sets of a cache, and a
// product reading the same block of columns of every panel would evict what it reads next.
inline std::int64_t panel_stride(int cols) {
  const std::int64_t s = std::int64_t{kPanelRows} * cols;
  return s % 4096 == 0 ? s + 2048 : s;
}
inline std::int64_t panels_size(int rows, int cols) {
  return panel_count(rows) * panel_stride(cols);
}
void complex_pack_panels(const dcomplex* A, int rows, int cols, dcomplex* P);

// complex_matmat_rows on the rows of panels p0..p1-1 of A packed by complex_pack_panels: the
// same sums in the same order, so the same bits.
void complex_matmat_panels(const dcomplex* P, int rows, int cols, const dcomplex* X, int count,
                           const unsigned char* active, int p0, int p1, dcomplex* Y);
// complex_matmat_panels on every panel, four panels (32 rows) a job over `threads` workers.
void complex_matmat_panels_on(const dcomplex* P, int rows, int cols, const dcomplex* X, int count,
                              const unsigned char* active, dcomplex* Y, int threads);

// Y_(b,v) <- A_b x_v for b < blocks and v < count: A_b = A + rows*cols*b (rows x cols,
// column-major), x_v = X + cols*v, Y_(b,v) = Y + rows*(b + blocks*v). Each Y_(b,v) gets the bits
// of complex_matmat_rows(A_b, rows, cols, x_v, 1, ...), while on processors with AVX-512 eight
// blocks go side by side (their chains of multiply-adds overlap) and each A_b is read from memory
// once for all the vectors.
void complex_matmat_blocks(const dcomplex* A, int rows, int cols, int blocks, const dcomplex* X,
                           int count, dcomplex* Y);

// The columns c0 .. c0+count-1 of A A^H on and below the diagonal, A (rows x cols) held as panels
// (complex_pack_panels' layout) and c0 a multiple of kPanelRows (Y rows x count, column-major):
// Y_c(i) <- sum_j A(i, j) conj(A(c0 + c, j)) for c0 + c <= i < rows. Each of those elements gets
// exactly the bits complex_matmat_rows gives it when X_c holds the conjugates of row c0 + c of A.
// Rows c0 .. c0+c-1 of Y_c (above the diagonal) get unspecified values and the rows above c0 are
// not touched. The panels are read by blocks of columns that stay in the second-level cache
// while every tile of the block is formed from them.
void complex_gram_panels(const dcomplex* P, int rows, int cols, int c0, int count, dcomplex* Y);
// The same for the rows r0 <= i < r1 only (r0 a multiple of kPanelRows, r1 one too or rows), with
// the same bits: a block of columns split by rows among threads, each reading only its rows of A.
// No other row of Y is touched.
void complex_gram_panels(const dcomplex* P, int rows, int cols, int c0, int count, int r0, int r1,
                         dcomplex* Y);

// y + a*x rounded exactly as the product kernel adds one term (for sums that must give the
// kernel's bits one term at a time).
dcomplex complex_mult_add(dcomplex y, dcomplex a, dcomplex x);

// Whether this processor (and its operating system) has AVX2 and FMA: decided once.
bool fma_kernels_available();

// Whether the product kernel runs fused on this thread (kernel_form(), linalg/parallel.h).
bool fma_kernels_in_use();
// The columns of X the product kernel forms side by side on this thread: 8 with AVX-512, 5 with
// AVX2, 1 in the baseline form (a caller that groups columns does best in multiples of it).
int complex_product_columns();

// complex_cg_solve on the count systems A X_c = B_c (B, X: n x count, column-major), run side by
// side: every system takes exactly the steps, and gives exactly the bits, that
// complex_cg_solve gives it alone, while each pass reads A once for all of them, packed by
// complex_pack_panels into panels (panels_size(n, n) elements, not overlapping A,
// B or X; allocated when null). Returns 0, or -1 after
// "complex_cg_solve: could not alloc work vectors\n" with X unchanged.
int complex_cg_solve_many(const dcomplex* A, int n, int count, const dcomplex* B, dcomplex* X,
                          int max_iter, double tol, dcomplex* panels = nullptr);

// The count systems (A + shift I) X_c = B_c (A n x n Hermitian, only its lower triangle read;
// B, X n x count, column-major) by the Cholesky factorisation A + shift I = G G^H. Returns 0;
// 1 when A + shift I is not positive definite (a pivot not above 0; X unchanged); -1 when the
// factor's n x n storage cannot be allocated (X unchanged).
int complex_cholesky_solve(const dcomplex* A, int n, int count, const dcomplex* B, dcomplex* X,
                           double shift);
}  // namespace tarvo
