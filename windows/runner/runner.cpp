// Calls the module's mexFunction on the inputs of every case in cases.h and writes, per case,
// the console text, the standard error text and the outputs into a folder:
//
//   tarvo_runner <output folder> <tarvo> <tarvo_apply> <tarvo_calibrate> <tarvo_prepare>
//                                             (Windows: the modules' files)
//   tarvo_runner <output folder>              (elsewhere: the modules are linked in)
//
// The host is the test host (tests/testhost): linked in on Linux, the stand-in libmx.dll
// and libmex.dll on Windows. Exit status 0 when every case ran, 2 on a usage or file error.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/testhost/mxhost.h"
#include "windows/runner/cases.h"
#include "windows/runner/dump.h"
#include "windows/runner/phantom.h"

#ifdef _WIN32
#include <windows.h>
#else
// The entries of tarvo_apply, tarvo_calibrate and tarvo_prepare, linked in beside tarvo's
// mexFunction.
void tarvo_apply_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void tarvo_calibrate_mex(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
extern "C" void tarvo_prepare_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
#endif

namespace {

using namespace tarvo_runner;
using MexEntry = void (*)(int, mxArray**, int, const mxArray**);

// ---- inputs ----

mxArray* complex_array(const std::vector<int>& dims, const std::vector<Cplx>& data) {
  mxArray* a = mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(), mxDOUBLE_CLASS,
                                        mxCOMPLEX);
  if (!a) return nullptr;
  double* re = mxGetPr(a);
  double* im = mxGetPi(a);
  for (std::size_t i = 0; i < data.size() && i < mxGetNumberOfElements(a); ++i) {
    re[i] = data[i].re;
    im[i] = data[i].im;
  }
  return a;
}

// An array of the given class and extents whose elements are i / 7 (imaginary part -i / 5).
mxArray* ramp_array(const std::vector<int>& dims, mxClassID cls, mxComplexity flag) {
  mxArray* a = mxCreateNumericArray_700(static_cast<int>(dims.size()), dims.data(), cls, flag);
  if (!a) return nullptr;
  const std::size_t n = mxGetNumberOfElements(a);
  for (std::size_t i = 0; i < n; ++i) {
    const double re = i / 7.0, im = -(i / 5.0);
    if (cls == mxSINGLE_CLASS) {
      static_cast<float*>(mxGetData(a))[i] = static_cast<float>(re);
      if (flag == mxCOMPLEX) static_cast<float*>(mxGetImagData(a))[i] = static_cast<float>(im);
    } else {
      static_cast<double*>(mxGetData(a))[i] = re;
      if (flag == mxCOMPLEX) static_cast<double*>(mxGetImagData(a))[i] = im;
    }
  }
  return a;
}

struct Call {
  int nlhs = 0;
  std::vector<mxArray*> inputs;  // owned
  long fail_create_at = 0;       // arms tarvo_mxhost_fail_create_at just before the call
  // tarvo_apply cases: tarvo(even, odd) is called on these first (owned), and its output 3
  // becomes the first input; with accelerated, tarvo_calibrate(even, odd, 'R', 2) instead.
  std::vector<mxArray*> calibration;
  bool apply = false;
  bool accelerated = false;
  bool calibrate = false;  // a tarvo_calibrate case
  bool prepare = false;    // a tarvo_prepare case
};

mxArray* real_row(const std::vector<double>& values) {
  mxArray* a = mxCreateDoubleMatrix_700(1, static_cast<int>(values.size()), mxREAL);
  if (a) std::memcpy(mxGetPr(a), values.data(), values.size() * sizeof(double));
  return a;
}

// Readout positions of a trapezoid readout of R samples for an M-sample grid: uniform on the
// plateau, closer together on the ramps.
std::vector<double> ramp_positions(int R, int M) {
  std::vector<double> kx(R);
  for (int j = 0; j < R; ++j) {
    const double u = -1.0 + 2.0 * (j + 0.5) / R;  // -1 .. 1
    kx[j] = 0.5 * M * (u + 0.2 * std::sin(3.14159265358979 * u) / 3.14159265358979) - 0.5;
  }
  return kx;
}

// A series of `frames` single-polarity frames M x N x Z x L x frames whose constant phase
// error drifts from frame to frame.
mxArray* drifting_series(int M, int N, int Z, int L, int frames) {
  std::vector<Cplx> all;
  for (int t = 0; t < frames; ++t) {
    const EpiPhantom p = make_epi_phantom(M, N, Z, L, 3, -0.4 + 0.1 * t, 0.03);
    all.insert(all.end(), p.odd.begin(), p.odd.end());
  }
  return complex_array({M, N, Z, L, frames}, all);
}

void add_phantom_pair(Call* call, const std::vector<int>& dims, int M, int N, int Z, int L,
                      int seed) {
  const EpiPhantom p = make_epi_phantom(M, N, Z, L, seed, 0.6, 0.05);
  call->inputs.push_back(complex_array(dims, p.even));
  call->inputs.push_back(complex_array(dims, p.odd));
}

void add_target(Call* call, const std::vector<int>& dims, int M, int N, int Z, int L) {
  const EpiPhantom p = make_epi_phantom(M, N, Z, L, 3, -0.4, 0.03);
  call->inputs.push_back(complex_array(dims, p.odd));
}

// The inputs of case `name` (see cases.h).
Call make_call(const std::string& name) {
  Call c;
  c.nlhs = 3;
  const std::vector<int> small{16, 16, 2, 2};
  if (name == "phantom_4d_all_outputs") {
    add_phantom_pair(&c, {64, 64, 2, 4}, 64, 64, 2, 4, 1);
  } else if (name == "phantom_5d_mixed_radix") {
    add_phantom_pair(&c, {40, 36, 2, 2, 3}, 40, 36, 4, 3, 2);
  } else if (name == "phantom_3d_two_outputs") {
    c.nlhs = 2;
    add_phantom_pair(&c, {32, 24, 4}, 32, 24, 1, 4, 4);
  } else if (name == "third_input_one_output") {
    c.nlhs = 1;
    add_phantom_pair(&c, {32, 32, 2, 3}, 32, 32, 2, 3, 5);
    add_target(&c, {32, 32, 2, 3}, 32, 32, 2, 3);
  } else if (name == "no_outputs") {
    c.nlhs = 0;
    add_phantom_pair(&c, {16, 16, 2, 2}, 16, 16, 2, 2, 6);
  } else if (name == "shapes_fold_alike") {
    const EpiPhantom p = make_epi_phantom(8, 8, 6, 2, 7, 0.3, 0.02);
    c.inputs.push_back(complex_array({8, 8, 2, 3, 2}, p.even));
    c.inputs.push_back(complex_array({8, 8, 6, 2}, p.odd));
  } else if (name == "no_inputs") {
  } else if (name == "one_input") {
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "too_many_outputs") {
    c.nlhs = 4;
    add_phantom_pair(&c, small, 16, 16, 2, 2, 1);
  } else if (name == "first_real") {
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxREAL));
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "first_single") {
    c.inputs.push_back(ramp_array(small, mxSINGLE_CLASS, mxCOMPLEX));
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "first_2d") {
    c.inputs.push_back(ramp_array({16, 16}, mxDOUBLE_CLASS, mxCOMPLEX));
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "second_real") {
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxREAL));
  } else if (name == "second_2d") {
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
    c.inputs.push_back(ramp_array({16, 16}, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "size_mismatch") {
    c.inputs.push_back(ramp_array(small, mxDOUBLE_CLASS, mxCOMPLEX));
    c.inputs.push_back(ramp_array({16, 16, 2, 3}, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "third_3d") {
    add_phantom_pair(&c, small, 16, 16, 2, 2, 1);
    c.inputs.push_back(ramp_array({16, 16, 2}, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "third_5d") {
    add_phantom_pair(&c, small, 16, 16, 2, 2, 1);
    c.inputs.push_back(ramp_array({16, 16, 2, 2, 2}, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "third_other_extents") {
    add_phantom_pair(&c, small, 16, 16, 2, 2, 1);
    c.inputs.push_back(ramp_array({16, 16, 3, 2}, mxDOUBLE_CLASS, mxCOMPLEX));
  } else if (name == "output_create_fails") {
    c.nlhs = 1;
    c.fail_create_at = 1;  // the only array the call creates: output 1
    add_phantom_pair(&c, small, 16, 16, 2, 2, 1);
  } else if (name == "struct_create_fails") {
    c.fail_create_at = 3;  // outputs 1 and 2 are created first, then the struct of output 3
    add_phantom_pair(&c, small, 16, 16, 2, 2, 1);
  } else if (name.rfind("prepare_", 0) == 0) {
    c.prepare = true;
    c.nlhs = 1;
    const int R = 28, M = 16;
    c.inputs.push_back(ramp_array({R, 8, 2, 2}, mxDOUBLE_CLASS, mxCOMPLEX));
    std::vector<double> kx = ramp_positions(R, M);
    if (name == "prepare_bad_kx") std::swap(kx[3], kx[4]);
    c.inputs.push_back(real_row(kx));
    c.inputs.push_back(mxCreateString("odd"));
    c.inputs.push_back(real_row({static_cast<double>(M)}));
  } else if (name.rfind("calibrate_", 0) == 0) {
    c.calibrate = true;
    c.nlhs = 2;
    const EpiPhantom p = make_epi_phantom(24, 20, 2, 3, 8, 0.5, 0.04);
    c.inputs = {complex_array({24, 20, 2, 3}, p.even), complex_array({24, 20, 2, 3}, p.odd),
                mxCreateString("r"), real_row({name == "calibrate_bad_r" ? 5.0 : 2.0})};
  } else if (name.rfind("apply_", 0) == 0) {
    c.apply = true;
    c.nlhs = 1;
    const EpiPhantom p = make_epi_phantom(24, 20, 2, 3, 8, 0.5, 0.04);
    c.calibration = {complex_array({24, 20, 2, 3}, p.even), complex_array({24, 20, 2, 3}, p.odd)};
    if (name == "apply_series")
      c.inputs.push_back(drifting_series(24, 20, 2, 3, 3));
    else if (name == "apply_one_frame")
      c.inputs.push_back(drifting_series(24, 20, 2, 3, 1));
    else if (name == "apply_wrong_coils")
      c.inputs.push_back(drifting_series(24, 20, 2, 2, 2));
    else if (name == "apply_real_target")
      c.inputs.push_back(ramp_array({24, 20, 2, 3}, mxDOUBLE_CLASS, mxREAL));
    if (name.rfind("apply_r2_", 0) == 0) {
      // Every other line of a 2-frame series, from line 1 (0-based), the rest zero.
      c.accelerated = true;
      mxArray* series = drifting_series(24, 20, 2, 3, 2);
      double* re = series ? mxGetPr(series) : nullptr;
      double* im = series ? mxGetPi(series) : nullptr;
      for (std::size_t i = 0; re && i < mxGetNumberOfElements(series); ++i)
        if ((i / 24) % 20 % 2 == 0) re[i] = im[i] = 0.0;
      c.inputs.push_back(series);
      if (name == "apply_r2_lines") {
        std::vector<double> lines;
        for (int l = 2; l <= 20; l += 2) lines.push_back(l);  // 1-based
        c.inputs.push_back(mxCreateString("Lines"));
        c.inputs.push_back(real_row(lines));
      }
    }
  }
  return c;
}

// ---- outputs ----

class Writer {
 public:
  explicit Writer(std::FILE* f) : f_(f) {}
  bool ok() const { return ok_; }

  template <class T>
  void put(T v) {
    ok_ = ok_ && std::fwrite(&v, sizeof v, 1, f_) == 1;
  }
  void bytes(const void* p, std::size_t n) {
    ok_ = ok_ && (n == 0 || std::fwrite(p, 1, n, f_) == n);
  }
  void dims(const mxArray* a) {
    const int nd = mxGetNumberOfDimensions_700(a);
    const int* d = mxGetDimensions_700(a);
    put<std::int32_t>(nd);
    for (int i = 0; i < nd; ++i) put<std::int32_t>(d[i]);
  }

  void value(const mxArray* a) {
    if (!a) {
      put<std::uint8_t>(kNone);
      return;
    }
    const mxClassID cls = mxGetClassID(a);
    const std::int64_t count = static_cast<std::int64_t>(mxGetNumberOfElements(a));
    if (cls == mxCHAR_CLASS) {
      char* text = mxArrayToString(a);
      const std::string s = text ? text : "";
      mxFree(text);
      put<std::uint8_t>(kChar);
      dims(a);
      put<std::int64_t>(static_cast<std::int64_t>(s.size()));
      bytes(s.data(), s.size());
    } else if (cls == mxSTRUCT_CLASS) {
      const int nfields = mxGetNumberOfFields(a);
      put<std::uint8_t>(kStruct);
      dims(a);
      put<std::int64_t>(count);
      put<std::int32_t>(nfields);
      for (int f = 0; f < nfields; ++f) {
        const char* name = mxGetFieldNameByNumber(a, f);
        const std::size_t n = name ? std::strlen(name) : 0;
        put<std::int64_t>(static_cast<std::int64_t>(n));
        bytes(name, n);
      }
      for (std::int64_t i = 0; i < count; ++i)
        for (int f = 0; f < nfields; ++f) value(mxGetFieldByNumber_700(a, static_cast<int>(i), f));
    } else if (cls == mxDOUBLE_CLASS || cls == mxSINGLE_CLASS) {
      const std::int32_t elsize = cls == mxDOUBLE_CLASS ? 8 : 4;
      put<std::uint8_t>(kNumeric);
      put<std::int32_t>(cls);
      put<std::int32_t>(mxIsComplex(a) ? 1 : 0);
      dims(a);
      put<std::int64_t>(count);
      put<std::int32_t>(elsize);
      bytes(mxGetData(a), static_cast<std::size_t>(count) * elsize);
      if (mxIsComplex(a)) bytes(mxGetImagData(a), static_cast<std::size_t>(count) * elsize);
    } else {
      put<std::uint8_t>(kOther);
      put<std::int32_t>(cls);
    }
  }

 private:
  std::FILE* f_;
  bool ok_ = true;
};

bool write_text(const std::string& path, const char* text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const std::size_t n = std::strlen(text);
  const bool ok = (n == 0 || std::fwrite(text, 1, n, f) == n);
  return std::fclose(f) == 0 && ok;
}

// output 3 of tarvo(even, odd), or null.
mxArray* kernels_of(MexEntry tarvo, const std::vector<mxArray*>& pair) {
  mxArray* out[3] = {nullptr, nullptr, nullptr};
  const mxArray* in[2] = {pair[0], pair[1]};
  tarvo(3, out, 2, in);
  mxDestroyArray(out[0]);
  mxDestroyArray(out[1]);
  return out[2];
}

// tarvo_calibrate(even, odd, 'R', 2), or null.
mxArray* accelerated_kernels_of(MexEntry calibrate, const std::vector<mxArray*>& pair) {
  mxArray* out[1] = {nullptr};
  mxArray* name = mxCreateString("R");
  mxArray* R = real_row({2.0});
  const mxArray* in[4] = {pair[0], pair[1], name, R};
  if (name && R && tarvo_mxhost_call(calibrate, 1, out, 4, in) != 0) out[0] = nullptr;
  mxDestroyArray(name);
  mxDestroyArray(R);
  return out[0];
}

// Runs one case; false on a file error.
bool run_case(const MexEntry entries[4], const std::string& dir, const std::string& name) {
  Call call = make_call(name);
  const MexEntry tarvo = entries[0];
  const MexEntry entry = call.apply       ? entries[1]
                         : call.calibrate ? entries[2]
                         : call.prepare   ? entries[3]
                                          : tarvo;
  if (call.apply) {
    call.inputs.insert(call.inputs.begin(),
                       call.accelerated ? accelerated_kernels_of(entries[2], call.calibration)
                                        : kernels_of(tarvo, call.calibration));
    for (mxArray* a : call.calibration) mxDestroyArray(a);
  }
  for (mxArray* in : call.inputs)
    if (!in) {
      std::fprintf(stdout, "%s: could not build the inputs\n", name.c_str());
      return false;
    }
  std::vector<mxArray*> outputs(call.nlhs > 0 ? call.nlhs : 1, nullptr);
  std::vector<const mxArray*> inputs(call.inputs.size() + 1, nullptr);  // never empty
  for (std::size_t i = 0; i < call.inputs.size(); ++i) inputs[i] = call.inputs[i];

  // The module's standard error text goes to <name>.stderr for the length of the call (the
  // module and this program share the C runtime's stderr stream).
  const std::string err_path = dir + "/" + name + ".stderr";
  std::fflush(stderr);
  if (!std::freopen(err_path.c_str(), "wb", stderr)) return false;
  tarvo_mxhost_clear_console();
  tarvo_mxhost_fail_create_at(call.fail_create_at);
  const auto start = std::chrono::steady_clock::now();
  const int raised = tarvo_mxhost_call(entry, call.nlhs, outputs.data(),
                                       static_cast<int>(call.inputs.size()), inputs.data());
  const auto stop = std::chrono::steady_clock::now();
  tarvo_mxhost_fail_create_at(0);
  std::fflush(stderr);

  // A raised error is appended to the console text as "error <identifier>: <message>".
  std::string console = tarvo_mxhost_console();
  if (raised)
    console += std::string("error ") + tarvo_mxhost_error_id() + ": " +
               tarvo_mxhost_error_message() + "\n";
  bool ok = write_text(dir + "/" + name + ".console", console.c_str());
  const std::string out_path = dir + "/" + name + ".out";
  std::FILE* f = std::fopen(out_path.c_str(), "wb");
  if (!f) return false;
  Writer w(f);
  w.put<std::int32_t>(call.nlhs);
  for (int i = 0; i < call.nlhs; ++i) w.value(outputs[i]);
  for (mxArray* a : outputs) mxDestroyArray(a);
  for (mxArray* a : call.inputs) mxDestroyArray(a);
  w.put<std::int64_t>(tarvo_mxhost_live_arrays());
  ok = (std::fclose(f) == 0) && w.ok() && ok;
  std::fprintf(stdout, "%-26s %9.1f ms\n", name.c_str(),
               std::chrono::duration<double, std::milli>(stop - start).count());
  return ok;
}

// libm.out: sin, cos, atan and atan2 (in this order for each argument) of kLibmProbeCount
// arguments spread over [-4, 4], as raw doubles. The module calls these routines from the C
// runtime it is linked with, so this shows where the runtimes' last bits differ.
bool write_libm_probe(const std::string& dir) {
  std::vector<double> v;
  v.reserve(4 * kLibmProbeCount);
  for (int i = 0; i < kLibmProbeCount; ++i) {
    const double x = -4.0 + 8.0 * (i + 0.5) / kLibmProbeCount;
    const double y =
        1.0 - 2.0 * ((i * 7919) % kLibmProbeCount) / static_cast<double>(kLibmProbeCount);
    v.insert(v.end(), {std::sin(x), std::cos(x), std::atan(x), std::atan2(y, x)});
  }
  std::FILE* f = std::fopen((dir + "/libm.out").c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(v.data(), sizeof(double), v.size(), f) == v.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  if (argc != 6) {
    std::fprintf(stdout,
                 "usage: tarvo_runner <output folder> <tarvo module> <tarvo_apply module> "
                 "<tarvo_calibrate module> <tarvo_prepare module>\n");
    return 2;
  }
  HMODULE modules[4] = {nullptr, nullptr, nullptr, nullptr};
  MexEntry entries[4] = {nullptr, nullptr, nullptr, nullptr};
  for (int m = 0; m < 4; ++m) {
    modules[m] = LoadLibraryA(argv[2 + m]);
    if (!modules[m]) {
      std::fprintf(stdout, "LoadLibrary(%s) failed: error %lu\n", argv[2 + m], GetLastError());
      return 2;
    }
    entries[m] = reinterpret_cast<MexEntry>(
        reinterpret_cast<void*>(GetProcAddress(modules[m], "mexFunction")));
    if (!entries[m]) {
      std::fprintf(stdout, "GetProcAddress(mexFunction) of %s failed: error %lu\n", argv[2 + m],
                   GetLastError());
      return 2;
    }
  }
#else
  if (argc != 2) {
    std::fprintf(stdout, "usage: tarvo_runner <output folder>\n");
    return 2;
  }
  const MexEntry entries[4] = {&mexFunction, &tarvo_apply_mex, &tarvo_calibrate_mex,
                               &tarvo_prepare_entry};
#endif
  const std::string dir = argv[1];
  // No file of an earlier run may stand in for one this run fails to write.
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  for (const char* name : kCases)
    for (const char* ext : {".console", ".stderr", ".out"})
      std::filesystem::remove(dir + "/" + name + ext, ec);
  std::filesystem::remove(dir + "/libm.out", ec);
  int failed = 0;
  for (const char* name : kCases)
    if (!run_case(entries, dir, name)) {
      std::fprintf(stdout, "%s: could not write its files in %s\n", name, dir.c_str());
      ++failed;
    }
  if (!write_libm_probe(dir)) {
    std::fprintf(stdout, "could not write %s/libm.out\n", dir.c_str());
    ++failed;
  }
#ifdef _WIN32
  for (HMODULE m : modules) FreeLibrary(m);
#endif
  return failed == 0 ? 0 : 2;
}
