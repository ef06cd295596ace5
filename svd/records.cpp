// Records of the Lanczos SVD (dense, compressed-column sparse, result), the dense-to-sparse
// conversion, the sparse transpose, the labelled array allocators and the error reporters.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "linalg/memory.h"
#include "linalg/report.h"
#include "svd/internal.h"

namespace {

// What perror would say for an allocation failure (the allocation point does not always set
// errno).
void report_alloc_failure(const char* label) {
  tarvo::report("%s: %s\n", label, std::strerror(ENOMEM));
}

template <class T>
T* new_record(const char* label) {
  T* p = tarvo::alloc_array<T>(1, true);
  if (!p) report_alloc_failure(label);
  return p;
}

std::string format_message(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int len = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (len <= 0) return std::string();
  std::string text(static_cast<std::size_t>(len) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(len));
  return text;
}

}  // namespace

double* svdDoubleArray(std::int64_t count, bool clear, const char* label) {
  double* p = tarvo::alloc_array<double>(count, clear);
  if (!p) report_alloc_failure(label);
  return p;
}

int* svdIntArray(std::int64_t count, bool clear, const char* label) {
  int* p = tarvo::alloc_array<int>(count, clear);
  if (!p) report_alloc_failure(label);
  return p;
}

DMat* svdNewDMat(int rows, int cols) {
  if (rows < 1 || cols < 1) return nullptr;
  DMat* D = new_record<DMat>("svdNewDMat");
  if (!D) return nullptr;
  D->rows = rows;
  D->cols = cols;
  D->value = tarvo::alloc_array<double*>(rows);
  if (!D->value) {
    tarvo::free_bytes(D);
    return nullptr;
  }
  D->value[0] = tarvo::alloc_array<double>(static_cast<std::int64_t>(rows) * cols, true);
  if (!D->value[0]) {
    tarvo::free_bytes(D->value);
    tarvo::free_bytes(D);
    return nullptr;
  }
  for (int i = 1; i < rows; i++) D->value[i] = D->value[i - 1] + cols;
  return D;
}

void svdFreeDMat(DMat* D) {
  if (!D) return;
  if (D->value) tarvo::free_bytes(D->value[0]);
  tarvo::free_bytes(D->value);
  tarvo::free_bytes(D);
}

SMat* svdNewSMat(int rows, int cols, int vals) {
  SMat* S = new_record<SMat>("svdNewSMat");
  if (!S) return nullptr;
  S->rows = rows;
  S->cols = cols;
  S->vals = vals;
  // A negative count makes the allocation fail rather than wrap around.
  if (!(S->pointr = svdIntArray(static_cast<std::int64_t>(cols) + 1, true, "svdNewSMat: pointr")) ||
      !(S->rowind = svdIntArray(vals, false, "svdNewSMat: rowind")) ||
      !(S->value = svdDoubleArray(vals, false, "svdNewSMat: value"))) {
    svdFreeSMat(S);
    return nullptr;
  }
  return S;
}

SMat* svdNewDenseSMat(int rows, int cols) {
  SMat* S = new_record<SMat>("svdNewDenseSMat");
  if (!S) return nullptr;
  S->rows = rows;
  S->cols = cols;
  const std::int64_t size =
      rows < 0 || cols < 0 ? -1 : static_cast<std::int64_t>(rows) * cols / 2;  // complex P
  if (!(S->dense_cols = svdDoubleArray(size, false, "svdNewDenseSMat: dense_cols")) ||
      !(S->dense_rows = svdDoubleArray(size, false, "svdNewDenseSMat: dense_rows"))) {
    svdFreeSMat(S);
    return nullptr;
  }
  return S;
}

void svdFreeSMat(SMat* S) {
  if (!S) return;
  tarvo::free_bytes(S->dense_cols);
  tarvo::free_bytes(S->dense_rows);
  tarvo::free_bytes(S->pointr);
  tarvo::free_bytes(S->rowind);
  tarvo::free_bytes(S->value);
  tarvo::free_bytes(S);
}

SVDRec* svdNewSVDRec() {
  return new_record<SVDRec>("svdNewSVDRec");
}

void svdFreeSVDRec(SVDRec* R) {
  if (!R) return;
  svdFreeDMat(R->Ut);
  tarvo::free_bytes(R->s);
  svdFreeDMat(R->Vt);
  tarvo::free_bytes(R);
}

SMat* svdConvertDtoS(const DMat* D) {
  if (!D || !D->value || D->rows < 1 || D->cols < 1) {
    svdError("svdConvertDtoS: failed to allocate S");
    return nullptr;
  }
  const int rows = D->rows, cols = D->cols;
  const double* block = D->value[0];  // row-major, one contiguous block
  std::int64_t count = 0;
  const std::int64_t total = static_cast<std::int64_t>(rows) * cols;
  for (std::int64_t k = 0; k < total; k++)
    if (block[k] != 0.0) count++;  // NaN != 0.0 holds, -0.0 != 0.0 does not
  // More stored values than an int32 count can hold cannot be represented: fail the same way.
  SMat* S = count > INT_MAX ? nullptr : svdNewSMat(rows, cols, static_cast<int>(count));
  if (!S) {
    svdError("svdConvertDtoS: failed to allocate S");
    return nullptr;
  }
  int p = 0;
  for (int c = 0; c < cols; c++) {
    S->pointr[c] = p;
    const double* col = block + c;
    for (int r = 0; r < rows; r++) {
      const double v = col[static_cast<std::int64_t>(r) * cols];
      if (v != 0.0) {
        S->rowind[p] = r;
        S->value[p] = v;
        p++;
      }
    }
  }
  S->pointr[cols] = S->vals;
  return S;
}

SMat* svdTransposeS(const SMat* S) {
  if (!S || S->rows < 1) return nullptr;
  if (S->dense_cols) {  // the real form's transpose is that of P^H: the copies swapped, conjugated
    SMat* T = svdNewDenseSMat(S->cols, S->rows);
    if (!T) return nullptr;
    const std::int64_t size = static_cast<std::int64_t>(S->rows) * S->cols / 2;
    for (std::int64_t k = 0; k < size; k += 2) {
      T->dense_cols[k] = S->dense_rows[k];
      T->dense_cols[k + 1] = -S->dense_rows[k + 1];
      T->dense_rows[k] = S->dense_cols[k];
      T->dense_rows[k + 1] = -S->dense_cols[k + 1];
    }
    T->col_spans = S->row_spans;
    T->row_spans = S->col_spans;
    return T;
  }
  SMat* N = svdNewSMat(S->cols, S->rows, S->vals);
  if (!N) return nullptr;
  const int rows = S->rows;
  int* np = N->pointr;  // rows+1 entries, zeroed
  // np[r] counts the values in row r of S.
  for (int i = 0; i < S->vals; i++) np[S->rowind[i]]++;
  // Shifted start offsets: np[r+1] = number of values of S in rows above r.
  np[rows] = S->vals - np[rows - 1];
  for (int r = rows - 1; r >= 1; r--) np[r] = np[r + 1] - np[r - 1];
  np[0] = 0;
  for (int c = 0; c < S->cols; c++) {
    for (int i = S->pointr[c]; i < S->pointr[c + 1]; i++) {
      const int r = S->rowind[i];
      const int j = np[r + 1]++;
      N->rowind[j] = c;
      N->value[j] = S->value[i];
    }
  }
  return N;
}

void svdError(const char* format, ...) {
  tarvo::report("%c", '\a');

  tarvo::report("%s", "ERROR: ");
  va_list args;
  va_start(args, format);
  tarvo::vreport(format, args);
  va_end(args);
  tarvo::report("%c", '\n');
}

void svdFatal(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_message(format, args);
  va_end(args);
  tarvo::report("%c", '\a');

  tarvo::report("%s", "ERROR: ");
  tarvo::report("%s", text.c_str());
  tarvo::report("%s", "\a\n");

  throw svd_run_failure(text);
}
