// tarvo._core: the correction API of core/tarvo.h for numpy arrays. This file converts arrays
// and reports errors; the correction is the core's.
//
// Arrays use the column-major axis order M readout samples, N lines, slices..., L coils and
// are complex128 or complex64. An aligned Fortran-ordered complex128 array is handed to the
// core as it is; any other layout, and complex64, is gathered (and widened to double) into a
// Fortran-ordered block from tarvo::alloc_array, one frame at a time. Outputs are new
// Fortran-ordered arrays, complex128 or complex64 as the caller asks; a complex64 output is
// computed in double one frame at a time and rounded once. The GIL is released while the core
// runs, and a Calibration runs one call at a time (a lock per object, taken with the GIL
// released).
//
// Errors: TypeError for a dtype other than complex128/complex64, ValueError for extents and
// kernels, MemoryError when memory runs out, RuntimeError when an inner step fails otherwise;
// the inner steps' messages are captured (tarvo::ReportCapture) and carried in the exception,
// never printed. A call that raises returns nothing and keeps nothing it allocated. A series
// checks for signals after every frame: Ctrl-C stops it there with KeyboardInterrupt.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/tarvo.h"
#include "linalg/memory.h"
#include "linalg/report.h"
#include "prepare/prepare.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace py = pybind11;

namespace {

using cplx = std::complex<double>;
using cplx_single = std::complex<float>;
using tarvo::kMaxCount;

// How the extents of an input are read: even/odd fold the extents between the second and the
// last into Z (3 or more dimensions); a target frame has exactly 4; a series has 4 or more,
// the extents after the 4th counting frames.
enum class Rank { kFolded, kFrame, kSeries };

std::string extents_text(const std::vector<std::int64_t>& e, const char* sep = " x ") {
  std::string s;
  for (std::size_t i = 0; i < e.size(); ++i) s += (i ? sep : "") + std::to_string(e[i]);
  return s;
}

using tarvo::ErrorKind;

// The one mapping of the module's error kinds to Python exception types.
PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kType:
      return PyExc_TypeError;
    case ErrorKind::kValue:
      return PyExc_ValueError;
    case ErrorKind::kMemory:
      return PyExc_MemoryError;
    default:
      return PyExc_RuntimeError;
  }
}

[[noreturn]] void raise(ErrorKind kind, const std::string& message) {
  PyErr_SetString(exception_type(kind), message.c_str());
  throw py::error_already_set();
}

// Hands the heap's free pages back to the system at the end of a call (declare it first in the
// call's scope) when the heap has grown, and otherwise at every kEvery-th call. The heap has
// grown when the bytes the allocator holds from the system in all its arenas exceed the most
// it held at the end of any call before: a call that needed more memory than every call
// before returns it all, and free memory that later calls cannot reuse (large blocks that no
// longer fit between the host's allocations) stays resident for at most kEvery calls, so
// resident memory stays flat over any number of calls. The calls in between keep the heap's
// free pages mapped and do not fault their working memory in again, which a trim after every
// call makes each call do. Without the allocator's statistics every call trims.
class OccasionalTrim {
 public:
  OccasionalTrim() = default;
  OccasionalTrim(const OccasionalTrim&) = delete;
  OccasionalTrim& operator=(const OccasionalTrim&) = delete;
  ~OccasionalTrim() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const std::size_t held = mallinfo2().arena;
    std::size_t most = most_.load();
    while (held > most && !most_.compare_exchange_weak(most, held)) {
    }
    if (held > most || calls_.fetch_add(1) % kEvery == kEvery - 1) malloc_trim(0);
#else
    const tarvo::HeapTrim trim;
#endif
  }

 private:
  static constexpr unsigned kEvery = 8;
  static inline std::atomic<std::size_t> most_{0};
  static inline std::atomic<unsigned> calls_{0};
};

// An input array as the core reads it: the record, and the gathered copy when one was needed.
struct Input {
  py::array array;                  // keeps the caller's array alive for the call
  std::vector<std::int64_t> shape;  // the array's own extents
  std::vector<std::int64_t> strides;
  tarvo::VolumeShape folded;  // M, N, Z, L (for a series: of one frame)
  std::int64_t frames = 1;    // extents after the 4th (series only)
  bool single = false;        // complex64 (widened frame by frame), else complex128
  bool direct = false;        // the array's memory is used as it is
};

// Checks one input and reads its extents. `name` names it in messages ("even (1st input)").
Input read_input(py::handle object, const char* name, Rank rank) {
  Input in;
  in.array = py::array::ensure(object);
  const char* layout = rank == Rank::kFrame    ? "M-by-N-by-Z-by-L"
                       : rank == Rank::kSeries ? "M-by-N-by-Z-by-L(-by-T...)"
                                               : "M-by-N-by-...-by-L";
  if (!in.array || !(py::isinstance<py::array_t<cplx>>(in.array) ||
                     py::isinstance<py::array_t<cplx_single>>(in.array))) {
    PyErr_Clear();
    const std::string got = in.array ? std::string(py::str(in.array.dtype()))
                                     : std::string(py::str(py::type::of(object).attr("__name__")));
    raise(ErrorKind::kType, std::string(name) + ": need a complex " + layout +
                                " array for the input data (numpy complex128 or complex64, "
                                "native byte order); got " +
                                got + ". x.astype(np.complex128) converts real data.");
  }
  in.single = py::isinstance<py::array_t<cplx_single>>(in.array);
  const int n = static_cast<int>(in.array.ndim());
  for (int i = 0; i < n; ++i) {
    in.shape.push_back(in.array.shape(i));
    in.strides.push_back(in.array.strides(i));
  }
  const bool rank_ok = rank == Rank::kFolded ? n >= 3 : rank == Rank::kFrame ? n == 4 : n >= 4;
  const std::string shape_text = "(" + extents_text(in.shape, ", ") + (n == 1 ? ",)" : ")");
  if (!rank_ok)
    raise(ErrorKind::kValue, std::string(name) + ": need a complex " + layout + " array for " +
                                 "the input data; got " + std::to_string(n) +
                                 " dimension(s), shape " + shape_text + ".");
  for (std::int64_t e : in.shape)
    if (e == 0)
      raise(ErrorKind::kValue, std::string(name) + ": the array has no elements (shape " +
                                   shape_text + "); every extent must be at least 1.");
  const tarvo::FoldedExtents folded = tarvo::fold_extents(
      in.shape.data(), n, rank == Rank::kFolded ? tarvo::Fold::kSlices : tarvo::Fold::kSeries);
  if (!folded.fits())
    raise(ErrorKind::kValue, std::string(name) + ": too large: shape " + shape_text +
                                 " gives an M x N x Z x L frame beyond 32-bit extents; each "
                                 "extent and the element count of a frame must be at most "
                                 "2147483647.");
  in.folded = folded.frame();
  in.frames = folded.frames;
  const int flags = in.array.flags();
  in.direct = !in.single && (flags & py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_) &&
              (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_);
  return in;
}

// Copies `count` elements of type Element (cplx or cplx_single, widened) that start at `base`
// and run through the extents `shape` with byte strides `strides` (any sign, any alignment)
// into `out` in column-major order. When another extent than the first is the input's fastest
// (a C-ordered array), the copy goes by blocks of 16 along the first extent and, inside a block,
// along that fastest one: each cache line read is used whole while the block is read, where one
// element per line (and per page, on a large frame) was read before.
template <class Element>
void gather(const char* base, const std::vector<std::int64_t>& shape,
            const std::vector<std::int64_t>& strides, std::int64_t count, cplx* out) {
  const std::size_t n = shape.size();
  std::size_t fast = 0;
  for (std::size_t d = 1; d < n; ++d)
    if (shape[d] > 1 && (shape[fast] <= 1 || std::llabs(strides[d]) < std::llabs(strides[fast])))
      fast = d;
  auto widen = [](const char* at) {
    Element e;
    std::memcpy(&e, at, sizeof e);
    return cplx(e.real(), e.imag());
  };
  std::vector<std::int64_t> index(n, 0);
  if (fast == 0 || count == 0) {
    const char* p = base;
    for (std::int64_t k = 0; k < count;) {
      for (std::int64_t i = 0; i < shape[0]; ++i, ++k) out[k] = widen(p + i * strides[0]);
      // Next column: carry through the outer extents.
      for (std::size_t d = 1; d < n; ++d) {
        p += strides[d];
        if (++index[d] < shape[d]) break;
        p -= strides[d] * shape[d];
        index[d] = 0;
      }
    }
    return;
  }
  // Column-major places: element (i_0, i_1, ...) at sum i_d place[d].
  std::vector<std::int64_t> place(n, 1);
  for (std::size_t d = 1; d < n; ++d) place[d] = place[d - 1] * shape[d - 1];
  constexpr std::int64_t kBlock = 16;
  const char* p = base;
  cplx* o = out;
  for (;;) {
    for (std::int64_t i0 = 0; i0 < shape[0]; i0 += kBlock) {
      const std::int64_t width = std::min(kBlock, shape[0] - i0);
      for (std::int64_t f = 0; f < shape[fast]; ++f) {
        const char* from = p + i0 * strides[0] + f * strides[fast];
        cplx* to = o + i0 + f * place[fast];
        for (std::int64_t b = 0; b < width; ++b) to[b] = widen(from + b * strides[0]);
      }
    }
    // The next place of the extents other than the first and the fastest.
    std::size_t d = 1;
    for (; d < n; ++d) {
      if (d == fast) continue;
      p += strides[d];
      o += place[d];
      if (++index[d] < shape[d]) break;
      p -= strides[d] * shape[d];
      o -= place[d] * shape[d];
      index[d] = 0;
    }
    if (d == n) return;
  }
}

// Copies frame t of an input (all of it for even/odd) into `out` (column-major, double).
// Runs without the GIL.
void read_frame(const Input& in, std::int64_t t, cplx* out) {
  const std::int64_t count = in.folded.elements();
  const char* base = static_cast<const char*>(in.array.data());
  if (in.direct) {
    std::memcpy(out, base + t * count * static_cast<std::int64_t>(sizeof(cplx)),
                static_cast<std::size_t>(count) * sizeof(cplx));
    return;
  }
  // Frame t of a series: the offset of its index along the extents after the 4th.
  std::vector<std::int64_t> shape = in.shape, strides = in.strides;
  if (shape.size() > 4) {
    std::int64_t rest = t;
    for (std::size_t d = 4; d < shape.size(); ++d) {
      base += (rest % shape[d]) * strides[d];
      rest /= shape[d];
    }
    shape.resize(4);
    strides.resize(4);
  }
  if (in.single)
    gather<cplx_single>(base, shape, strides, count, out);
  else
    gather<cplx>(base, shape, strides, count, out);
}

// The data of frame t of an input (all of it for even/odd): its own memory when the array is
// used directly, else a gathered copy in `copy`. Runs without the GIL.
void* frame_data(const Input& in, std::int64_t t, tarvo::buffer<cplx>* copy) {
  const std::int64_t count = in.folded.elements();
  if (in.direct)
    return const_cast<char*>(static_cast<const char*>(in.array.data())) +
           t * count * static_cast<std::int64_t>(sizeof(cplx));
  if (!*copy) {
    copy->reset(tarvo::alloc_array<cplx>(count));
    if (!*copy) return nullptr;
  }
  read_frame(in, t, copy->get());
  return copy->get();
}

// Where the core writes one output frame: the output's own memory (complex128), or a double
// scratch frame that store() then rounds into the complex64 output.
struct OutputFrames {
  OutputFrames(py::array& array, std::int64_t count)
      : base(array.mutable_data()),
        single(py::isinstance<py::array_t<cplx_single>>(array)),
        count(count) {}
  // Frame t's double storage; null when the scratch frame does not fit.
  cplx* frame(std::int64_t t) {
    if (!single) return static_cast<cplx*>(base) + t * count;
    if (!scratch) scratch.reset(tarvo::alloc_array<cplx>(count));
    return scratch.get();
  }
  // Frame t is complete in frame(t).
  void store(std::int64_t t) {
    if (single) store(t, scratch.get());
  }
  // Frame t is `frame` (double): copied (unless it was corrected in its place), or rounded once
  // into the complex64 output.
  void store(std::int64_t t, const cplx* frame) {
    if (!single) {
      cplx* to = static_cast<cplx*>(base) + t * count;
      if (frame != to) std::memcpy(to, frame, static_cast<std::size_t>(count) * sizeof(cplx));
      return;
    }
    cplx_single* out = static_cast<cplx_single*>(base) + t * count;
    for (std::int64_t i = 0; i < count; ++i)
      out[i] =
          cplx_single(static_cast<float>(frame[i].real()), static_cast<float>(frame[i].imag()));
  }
  void* base;
  bool single;
  std::int64_t count;
  tarvo::buffer<cplx> scratch;
};

// A new Fortran-ordered array of the given extents, complex64 when `single`. Not cleared: the
// core writes every element of an output (and a call that fails drops its outputs), and
// clearing a fresh block first costs a page fault and a pass per page before the core's.
py::array new_output(const std::vector<std::int64_t>& shape, bool single = false) {
  py::object empty = py::module_::import("numpy").attr("empty");
  py::tuple dims(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) dims[i] = shape[i];
  return empty(dims, py::arg("dtype") = single ? "complex64" : "complex128",
               py::arg("order") = "F");
}

// Raises the Python exception for a failed core call; `detail` holds the messages the inner
// steps reported during the call (captured, one per line).
[[noreturn]] void raise_status(const tarvo::Error& status, const std::string& detail = {}) {
  if (status.kind != ErrorKind::kFailed) raise(status.kind, status.message);
  std::string reason = detail;
  for (char& c : reason)
    if (c == '\n') c = ' ';
  raise(ErrorKind::kFailed, std::string("tarvo: ") + status.step +
                                " failed; no outputs were assigned: " +
                                (reason.empty() ? std::string("no reason was given.") : reason));
}

// Marks `status` as an allocation failure of the binding's own copy of `what`; returns -1.
int set_no_memory(tarvo::Status* status, const char* what) {
  return tarvo::set_error(status, ErrorKind::kMemory, "memory", "Out of memory: %s does not fit.",
                          what);
}

void raise_memory(const char* what) {
  raise(ErrorKind::kMemory, std::string("Out of memory: ") + what + " does not fit.");
}

// One slice's kernel as a dict: dk (int), pattern (str), coef (complex128, rows x cols, F).
py::dict kernel_dict(const tarvo::KernelView& k) {
  py::array coef = new_output({k.rows, k.cols});
  cplx* w = static_cast<cplx*>(coef.mutable_data());
  k.copy_to(reinterpret_cast<dcomplex*>(w));
  py::dict d;
  d["dk"] = k.dk;
  d["pattern"] = std::string(k.pattern);
  d["coef"] = coef;
  return d;
}

// A kernel handed in from Python, gathered for the core to copy.
struct GivenKernel {
  int dk = 0;
  std::string pattern;
  tarvo::buffer<cplx> coef;
  std::int64_t rows = 0, cols = 0;
  tarvo::KernelView view() const {
    tarvo::KernelView v;
    v.dk = dk;
    v.pattern = pattern.c_str();
    v.re = coef ? &reinterpret_cast<const double*>(coef.get())[0] : nullptr;
    v.im = coef ? &reinterpret_cast<const double*>(coef.get())[1] : nullptr;
    v.rows = rows, v.cols = cols, v.step = 2;
    return v;
  }
};

class PyCalibration {
 public:
  // Fits the kernels of every slice of even and odd.
  static std::unique_ptr<PyCalibration> calibrate(py::handle even, py::handle odd, int threads,
                                                  int R) {
    Input e = read_input(even, "even (1st input)", Rank::kFolded);
    Input o = read_input(odd, "odd (2nd input)", Rank::kFolded);
    check_same(e, o);
    auto out = std::make_unique<PyCalibration>();
    tarvo::Status status;
    std::string detail;
    int rc = -1;
    {
      py::gil_scoped_release unlocked;
      const tarvo::ReportCapture capture;
      const OccasionalTrim trim;
      const tarvo::ThreadCountScope scope(threads);
      tarvo::buffer<cplx> ecopy, ocopy;
      void* ed = frame_data(e, 0, &ecopy);
      void* od = frame_data(o, 0, &ocopy);
      if (ed && od) {
        const ComplexVolume ev = tarvo::make_volume(e.folded, ed),
                            ov = tarvo::make_volume(o.folded, od);
        rc = tarvo::calibrate(ev, ov, tarvo::CalibrationOptions{.R = R}, &out->core_, &status);
        out->core_.release_even();  // ev and its data end with this call
      } else {
        set_no_memory(&status, "the copy of an input");
      }
      if (rc != 0) detail = capture.text();
    }
    if (rc != 0) raise_status(status, detail);
    return out;
  }

  // A calibration holding the given kernels: a sequence of (dk, pattern, coef) with coef a 2-D
  // complex128 array. Without M, N the frame extents come with the first frame applied.
  static std::unique_ptr<PyCalibration> from_kernels(const py::sequence& kernels, int M, int N) {
    auto out = std::make_unique<PyCalibration>();
    const std::int64_t count = static_cast<std::int64_t>(py::len(kernels));
    if (count < 1 || count > kMaxCount)
      raise(ErrorKind::kValue,
            "The kernel list must hold one kernel per slice (1 or more); it "
            "holds " +
                std::to_string(count) + ".");
    std::vector<GivenKernel> given(static_cast<std::size_t>(count));
    std::vector<tarvo::KernelView> views;
    for (std::int64_t z = 0; z < count; ++z) {
      py::tuple k = kernels[z];
      GivenKernel& owned = given[static_cast<std::size_t>(z)];
      owned.dk = k[0].cast<int>();
      owned.pattern = k[1].cast<std::string>();
      const std::string name = "coef of kernel " + std::to_string(z + 1);
      py::array coef = py::array::ensure(k[2]);
      if (!coef || !py::isinstance<py::array_t<cplx>>(coef)) {
        PyErr_Clear();
        raise(ErrorKind::kType,
              name + ": need a complex128 (5 S L) x L matrix (S source lines, L coils).");
      }
      if (coef.ndim() != 2)
        raise(ErrorKind::kValue, name + ": need a (5 S L) x L matrix; got " +
                                     std::to_string(coef.ndim()) + " dimension(s).");
      owned.rows = coef.shape(0), owned.cols = coef.shape(1);
      if (owned.rows < 1 || owned.cols < 1 || owned.rows > kMaxCount || owned.cols > kMaxCount)
        raise(ErrorKind::kValue, name + ": need a (5 S L) x L matrix with 1 <= L; got " +
                                     std::to_string(owned.rows) + " x " +
                                     std::to_string(owned.cols) + ".");
      const std::int64_t n = owned.rows * owned.cols;
      owned.coef.reset(tarvo::alloc_array<cplx>(n));
      if (!owned.coef) raise_memory("the kernels");
      gather<cplx>(static_cast<const char*>(coef.data()), {owned.rows, owned.cols},
                   {coef.strides(0), coef.strides(1)}, n, owned.coef.get());
      views.push_back(owned.view());
    }
    // The acceleration the kernels were fitted for: the largest spacing is 2R (a list whose
    // spacings say otherwise is taken as R = 1, and check_kernels names its first fault).
    int R = 1;
    int widest = 0;
    for (const GivenKernel& k : given) widest = std::max(widest, k.dk);
    if (widest % 2 == 0 && widest / 2 >= 1 && widest / 2 <= tarvo::kMaxAcceleration &&
        count % tarvo::kernels_per_slice(widest / 2) == 0)
      R = widest / 2;
    tarvo::Status status;
    if (tarvo::check_kernels(views.data(), static_cast<int>(count), R,
                             static_cast<int>(given[0].cols), &status) != 0)
      raise_status(status);
    tarvo::VolumeShape frame = {.M = 0,
                                .N = 0,
                                .Z = static_cast<int>(count / tarvo::kernels_per_slice(R)),
                                .L = static_cast<int>(given[0].cols)};
    if (M > 0 || N > 0) {
      if (M < 1 || N < 1)
        raise(ErrorKind::kValue, "The frame extents M, N must be at least 1; got " +
                                     std::to_string(M) + " x " + std::to_string(N) + ".");
      frame.M = M, frame.N = N;
      if (frame.elements() > kMaxCount)
        raise(ErrorKind::kValue, "The frame extents " + std::to_string(M) + " x " +
                                     std::to_string(N) +
                                     " with these kernels give more than "
                                     "2147483647 elements a frame.");
    }
    int rc = 0;
    std::string detail;
    {
      py::gil_scoped_release unlocked;
      const tarvo::ReportCapture capture;
      rc = tarvo::calibration_from_kernels(views.data(), static_cast<int>(views.size()), frame,
                                           &out->core_, &status);
      if (rc != 0) detail = capture.text();
    }
    if (rc != 0) raise_status(status, detail);
    return out;
  }

  // E: the corrected coil images of every frame of a series (M x N x Z x L, then any extents),
  // complex64 when `single`, by the core's series driver. After each round of frames (those
  // corrected side by side), with the GIL held, pending signals are handled (Ctrl-C raises
  // KeyboardInterrupt there) and progress(done, total) is called for every frame of the round
  // when given. An exception from either ends the call; the frames done are dropped.
  py::array apply(py::handle series, int threads, bool single, py::object progress,
                  std::optional<std::vector<int>> lines) {
    Input in = read_input(series, "the frames to correct", Rank::kSeries);
    const tarvo::AcquiredLines acquired =
        lines ? tarvo::AcquiredLines{lines->data(), static_cast<int>(lines->size())}
              : tarvo::AcquiredLines{};
    py::array E = new_output(in.shape, single);
    OutputFrames out(E, in.folded.elements());
    tarvo::Status status;
    std::string detail;
    std::optional<py::error_already_set> raised;  // by a signal handler or progress
    std::int64_t reported = 0;
    int rc = 0;
    {
      py::gil_scoped_release unlocked;
      const tarvo::ReportCapture capture;
      const OccasionalTrim trim;
      const tarvo::ThreadCountScope scope(threads);
      // The object's lock is held while frames run and never while waiting for the GIL: a
      // thread holding the GIL may wait for the lock (shape, kernels, pickling).
      std::unique_lock<std::mutex> hold(lock_);
      auto read = [&](std::int64_t t, dcomplex* frame) {
        read_frame(in, t, reinterpret_cast<cplx*>(frame));
        return 0;
      };
      auto write = [&](std::int64_t t, const dcomplex* frame) {
        out.store(t, reinterpret_cast<const cplx*>(frame));
        return 0;
      };
      auto pause = [&](std::int64_t done) {
        hold.unlock();
        {
          py::gil_scoped_acquire locked;
          try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            while (reported < done && !progress.is_none()) progress(++reported, in.frames);
          } catch (py::error_already_set& e) {
            raised.emplace(std::move(e));
          }
        }
        hold.lock();
        return raised ? -1 : 0;
      };
      // A complex128 frame is corrected in its place in E, from its place in the series when
      // that is laid out as a frame.
      auto room = [&](std::int64_t t) {
        return out.single ? nullptr : reinterpret_cast<dcomplex*>(out.frame(t));
      };
      auto source = [&](std::int64_t t) -> const dcomplex* {
        if (!in.direct) return nullptr;
        return reinterpret_cast<const dcomplex*>(static_cast<const cplx*>(in.array.data()) +
                                                 t * in.folded.elements());
      };
      rc = tarvo::apply_frames(&core_, in.folded, in.frames, read, write, &status, pause, acquired,
                               room, source);
      if (rc != 0 && !raised) detail = capture.text();
    }
    if (raised) throw std::move(*raised);
    if (rc != 0) raise_status(status, detail);
    return E;
  }

  // A calibration that corrects with these kernels without a copy of them, and runs its calls
  // side by side with this one's (the Python object keeps this one alive while it lives).
  std::unique_ptr<PyCalibration> twin() const {
    auto out = std::make_unique<PyCalibration>();
    tarvo::Status status;
    int rc = 0;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> hold(lock_);
      rc = tarvo::borrow_kernels(core_, &out->core_, &status);
    }
    if (rc != 0) raise_status(status);
    return out;
  }

  // The kernels as a list of dicts (dk, pattern, coef), pattern fastest, then slice.
  py::list kernels() const {
    std::lock_guard<std::mutex> hold(lock_);
    py::list out;
    for (int z = 0; z < core_.kernel_count(); ++z) {
      const tarvo::KernelView k = core_.kernel(z);
      if (!k.pattern) raise(ErrorKind::kFailed, "The calibration has no kernel for a slice.");
      out.append(kernel_dict(k));
    }
    return out;
  }

  // How each kernel was fitted: a list of dicts (equations, unknowns, whole_readout, ridge) in
  // the order of kernels(); empty for a calibration made from kernels.
  py::list fits() const {
    std::lock_guard<std::mutex> hold(lock_);
    py::list out;
    if (!core_.fitted()) return out;
    for (int i = 0; i < core_.kernel_count(); ++i) {
      const tarvo::FitRecord f = core_.fit(i);
      py::dict d;
      d["equations"] = f.equations;
      d["unknowns"] = f.unknowns;
      d["whole_readout"] = f.whole_readout;
      d["ridge"] = f.ridge;
      out.append(d);
    }
    return out;
  }

  // The acceleration the kernels serve.
  int acceleration() const {
    std::lock_guard<std::mutex> hold(lock_);
    return core_.acceleration();
  }

  // (M, N, Z, L); M and N are None until a calibration made from kernels has been applied.
  py::tuple shape() const {
    std::lock_guard<std::mutex> hold(lock_);
    auto extent = [](int e) { return e > 0 ? py::object(py::int_(e)) : py::object(py::none()); };
    const tarvo::VolumeShape s = core_.shape();
    return py::make_tuple(extent(s.M), extent(s.N), s.Z, s.L);
  }

  static void check_same(const Input& a, const Input& b) {
    if (a.folded == b.folded) return;
    const tarvo::VolumeShape& x = a.folded;
    const tarvo::VolumeShape& y = b.folded;
    raise(ErrorKind::kValue,
          "Input matrix size mismatch: even is " + extents_text({x.M, x.N, x.Z, x.L}) +
              " and odd is " + extents_text({y.M, y.N, y.Z, y.L}) +
              " (M x N x Z x L, slices folded); they must be the same slices acquired twice.");
  }

  tarvo::Calibration core_;

 private:
  mutable std::mutex lock_;
};

// (E, F, K) of even and odd: E the corrected coil images of target (else of odd), F the even
// frame corrected and aligned against E, K the kernels.
py::tuple correct(py::handle even, py::handle odd, py::handle target, int threads, bool single) {
  Input e = read_input(even, "even (1st input)", Rank::kFolded);
  Input o = read_input(odd, "odd (2nd input)", Rank::kFolded);
  PyCalibration::check_same(e, o);
  std::optional<Input> c;
  if (!target.is_none()) {
    c = read_input(target, "target (3rd input)", Rank::kFrame);
    if (!(c->folded == e.folded)) {
      const tarvo::VolumeShape& x = e.folded;
      const tarvo::VolumeShape& y = c->folded;
      raise(ErrorKind::kValue, "Input matrix size mismatch: target is " +
                                   extents_text({y.M, y.N, y.Z, y.L}) + " but even is " +
                                   extents_text({x.M, x.N, x.Z, x.L}) +
                                   " (M x N x Z x L, slices folded); they must be the same.");
    }
  }
  const std::vector<std::int64_t> dims = {e.folded.M, e.folded.N, e.folded.Z, e.folded.L};
  py::array E = new_output(dims, single), F = new_output(dims, single);
  OutputFrames Eout(E, e.folded.elements()), Fout(F, e.folded.elements());
  PyCalibration calibration;
  tarvo::Status status;
  std::string detail;
  int rc = -1;
  {
    py::gil_scoped_release unlocked;
    const tarvo::ReportCapture capture;
    const OccasionalTrim trim;
    const tarvo::ThreadCountScope scope(threads);
    tarvo::buffer<cplx> ecopy, ocopy, ccopy;
    void* ed = frame_data(e, 0, &ecopy);
    void* od = frame_data(o, 0, &ocopy);
    void* cd = c ? frame_data(*c, 0, &ccopy) : od;
    cplx* Ed = Eout.frame(0);
    cplx* Fd = Ed ? Fout.frame(0) : nullptr;
    if (ed && od && cd && Ed && Fd) {
      const ComplexVolume ev = tarvo::make_volume(e.folded, ed),
                          ov = tarvo::make_volume(o.folded, od);
      const ComplexVolume cv = tarvo::make_volume(e.folded, cd);
      ComplexVolume Ev = tarvo::make_volume(e.folded, Ed);
      ComplexVolume Fv = tarvo::make_volume(e.folded, Fd);
      rc = tarvo::correct(ev, ov, &cv, &Ev, &Fv, &calibration.core_, &status);
      if (rc == 0) Eout.store(0), Fout.store(0);
    } else {
      set_no_memory(&status, "the copy of an input");
    }
    if (rc != 0) detail = capture.text();
  }
  if (rc != 0) raise_status(status, detail);
  return py::make_tuple(E, F, calibration.kernels());
}

// k = prepare(raw, kx, flags, M): raw complex128 R x N x ..., kx float64 (R values), flags
// uint8 (N values, 1 for a line read backwards); the package checks the types first.
py::array prepare(py::handle raw_object, py::array_t<double, py::array::c_style> kx,
                  py::array_t<std::uint8_t, py::array::c_style> flags, int M, int threads) {
  auto raw = py::array_t<cplx, py::array::f_style>::ensure(raw_object);
  if (!raw) raise(ErrorKind::kType, "raw must be complex128 samples, R x N x ...");
  if (raw.ndim() < 2)
    raise(ErrorKind::kValue, "raw must be R samples x N lines x ...; it has " +
                                 std::to_string(raw.ndim()) + " dimension(s).");
  std::vector<std::int64_t> shape;
  std::int64_t frames = 1;
  for (int i = 0; i < raw.ndim(); ++i) {
    shape.push_back(raw.shape(i));
    if (i >= 2) frames *= raw.shape(i);
  }
  if (shape[0] < 1 || shape[1] < 1 || frames < 1 || shape[0] > kMaxCount || shape[1] > kMaxCount)
    raise(ErrorKind::kValue,
          "raw must have at least one sample, line and frame and at most "
          "2147483647 samples and lines; its shape is (" +
              extents_text(shape, ", ") + ").");
  const tarvo::LineExtents extents{static_cast<int>(shape[0]), static_cast<int>(shape[1]), frames};
  tarvo::Error error;
  auto fail = [&]() { raise_status(error); };
  if (tarvo::check_kx_count(kx.size(), extents.samples, &error) != 0 ||
      tarvo::check_reversed_count(flags.size(), extents.lines, &error) != 0)
    fail();
  std::vector<std::int64_t> out_shape = shape;
  out_shape[0] = M;
  tarvo::ReadoutGrid grid;
  int rc;
  {
    py::gil_scoped_release unlocked;
    rc = grid.build(kx.data(), extents.samples, M, &error);
  }
  if (rc != 0) fail();
  py::array out = new_output(out_shape);
  void* out_data = out.mutable_data();
  {
    py::gil_scoped_release unlocked;
    const OccasionalTrim trim;
    const tarvo::ThreadCountScope scope(threads);
    rc = tarvo::prepare_lines(grid, reinterpret_cast<const dcomplex*>(raw.data()), extents,
                              flags.data(), static_cast<dcomplex*>(out_data), &error);
  }
  if (rc != 0) fail();
  return out;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The ghost correction of tarvo for numpy arrays (see the package tarvo).";
  m.def("correct", &correct, py::arg("even"), py::arg("odd"), py::arg("target"), py::arg("threads"),
        py::arg("single") = false);
  py::class_<PyCalibration>(m, "Calibration")
      .def_static("calibrate", &PyCalibration::calibrate, py::arg("even"), py::arg("odd"),
                  py::arg("threads"), py::arg("R") = 1)
      .def_static("from_kernels", &PyCalibration::from_kernels, py::arg("kernels"),
                  py::arg("M") = 0, py::arg("N") = 0)
      .def("apply", &PyCalibration::apply, py::arg("series"), py::arg("threads"),
           py::arg("single") = false, py::arg("progress") = py::none(),
           py::arg("lines") = py::none())
      .def("twin", &PyCalibration::twin, py::keep_alive<0, 1>())
      .def("kernels", &PyCalibration::kernels)
      .def("fits", &PyCalibration::fits)
      .def_property_readonly("R", &PyCalibration::acceleration)
      .def_property_readonly("shape", &PyCalibration::shape);
  m.def("prepare", &prepare, py::arg("raw"), py::arg("kx"), py::arg("flags"), py::arg("M"),
        py::arg("threads"));
  // Test hooks of the allocation point (linalg/memory.h): the k-th allocation from now fails.
  m.def("_alloc_fail_at", [](long k) { tarvo::alloc_fail_at(k); });
  m.def("_alloc_count", [] { return tarvo::alloc_count(); });
}
