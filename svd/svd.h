// Lanczos SVD: the largest singular triplets of a sparse real matrix by the Lanczos method with
// selective reorthogonalisation on the symmetric eigenproblem of A^T A.
//
// Every run owns its workspace, its Lanczos vector store and its product scratch, and keeps its
// error flag and precision values per thread: runs on any number of threads at once share no
// mutable state. The entries without a slot argument need nothing set up. The entries with a
// slot serve callers that number their runs: svdLAS2_init(count) once, runs on slots
// 0 .. count-1, then svdLAS2_post(); the slot is checked against that count (svdLAS2A without
// a slot table accepts any slot >= 0). Set-up and release must not overlap runs with a slot.
//
// Failures are reported on the standard error stream (svdError: BEL, "ERROR: ", message,
// newline) and signalled by a null result. No function of this subsystem ends the process.
#pragma once

#include <cstdint>

static_assert(sizeof(int) == 4, "counts and indices of the Lanczos SVD are 32-bit");

// Dense matrix, one row-major block: element (i, j) is value[i][j], value[i] = value[0] + i*cols.
struct DMat {
  int rows;        // number of rows (>= 1)
  int cols;        // number of columns (>= 1)
  double** value;  // rows row pointers into one block of rows*cols doubles
};

// Sparse matrix in compressed column form; entries of a column in increasing row order.
struct SMat {
  int rows;       // number of rows
  int cols;       // number of columns
  int vals;       // number of stored values
  int* pointr;    // column starts (size cols+1): column c is pointr[c] .. pointr[c+1]-1
  int* rowind;    // row of each stored value (size vals)
  double* value;  // stored values (size vals)
  // Optional dense copies, both set or both null, of the rows/2 x cols/2 complex matrix P (each
  // value's real and imaginary parts side by side) whose real form [Re P, Im P; -Im P, Re P]
  // this matrix is: P column-major (value (i, j) at i + j*rows/2) and row-major (at
  // i*cols/2 + j). The products read them instead of the compressed arrays (which may then be
  // null) and give the bits of the compressed real form, -Im P being the negation of Im P (a
  // NaN's sign flipped too).
  double* dense_cols;
  double* dense_rows;
  // Optional with the dense copies (null: every value is read; borrowed): for column j of P the
  // rows col_spans[2j] .. col_spans[2j+1]-1 outside of which it holds no value (0 .. 0 when it
  // holds none), and the columns row_spans[2i] .. row_spans[2i+1]-1 for row i. The products pass
  // over what lies outside them, which leaves their bits as they are (see svdFindSpans).
  const int* col_spans;
  const int* row_spans;
};

// Singular triplets of an m x n matrix A: A * (row k of Vt) = s[k] * (row k of Ut).
struct SVDRec {
  int d;      // number of triplets held, in rows 0 .. d-1, decreasing singular value
  DMat* Ut;   // left singular vectors, one per row (rows x m)
  double* s;  // singular values (rows of Ut entries)
  DMat* Vt;   // right singular vectors, one per row (rows x n)
};

// --- records (each returns null on failure; destructors accept null) ---
DMat* svdNewDMat(int rows, int cols);  // all elements 0.0; rows, cols >= 1
void svdFreeDMat(DMat* D);
SMat* svdNewSMat(int rows, int cols, int vals);  // pointr zeroed; rowind, value not filled
// A matrix held in dense form only (vals 0, no compressed arrays; rows and cols even); both
// copies not filled.
SMat* svdNewDenseSMat(int rows, int cols);
void svdFreeSMat(SMat* S);
SVDRec* svdNewSVDRec();  // d = 0, every pointer null
void svdFreeSVDRec(SVDRec* R);
// Sparse form of D holding its nonzero elements (NaN is nonzero, -0.0 is zero), column by
// column in increasing row order.
SMat* svdConvertDtoS(const DMat* D);
// The transpose (cols x rows), entries of each column in increasing row order; a dense form's
// spans are those of S, borrowed.
SMat* svdTransposeS(const SMat* S);
// Spans of the values the dense form S holds (a part other than +-0.0; NaN is held) into
// col_spans (cols/2 pairs) and row_spans (rows/2 pairs), which S then borrows. They may take in
// zeros as well: a product adds nothing then, so the products keep the compressed form's bits.
void svdFindSpans(SMat* S, int* col_spans, int* row_spans);

// Arrays from the module's allocation point; on failure the label is reported with the
// system's error text (perror) and null is returned.
double* svdDoubleArray(std::int64_t count, bool clear, const char* label);
int* svdIntArray(std::int64_t count, bool clear, const char* label);

// Writes BEL (flushed), "ERROR: ", the formatted message and a newline to standard error.
void svdError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// --- driver ---
// The `dimensions` largest singular triplets of A with the default interval (-1e-30, 1e-30),
// kappa 1e-6 and as many Lanczos steps as allowed. Null on failure.
SVDRec* svdLAS2A(const SMat* A, int dimensions);
// The same on a slot (see above).
SVDRec* svdLAS2A(const SMat* A, int dimensions, int slot);
// dimensions: triplets wanted (<= 0 or > min(rows, cols) means min(rows, cols));
// iterations: Lanczos steps (<= 0 or > min(rows, cols) means min(rows, cols), and never fewer
// than dimensions); end: lower and upper end of the interval of unwanted Ritz values;
// kappa: relative accuracy of the accepted Ritz values. Null on failure (message printed,
// everything the run obtained released).
SVDRec* svdLAS2(const SMat* A, int dimensions, int iterations, const double end[2], double kappa);
// The same on a slot of the table of svdLAS2_init.
SVDRec* svdLAS2(const SMat* A, int dimensions, int iterations, const double end[2], double kappa,
                int slot);

// --- slot table of the entries with a slot ---
// Number of slots of the table, -1 when there is none.
extern int svdSlotCount;
// Creates the table with `count` slots (warns and changes nothing if it exists; nothing when
// count < 1).
void svdLAS2_init(int count);
// Releases the table (warns if there is none).
void svdLAS2_post();
// The machine precision of double arithmetic, probed (2^-52 on IEEE-754 doubles).
double probeMachinePrecision();
