// tarvo_hostrun <folder>: runs mexFunction on the test host with the inputs that another host
// wrote, so that the two hosts' outputs can be compared bit for bit.
//
// Reads <folder>/in1.bin, in2.bin and, when present, in3.bin; writes out1.bin and out2.bin
// (outputs 1 and 2) and out3.bin (output 3), and prints the console text on stdout.
// Array files: int32 ndims, int32 dims[ndims], double re[count], double im[count], native
// byte order. out3.bin: int32 Z, then per slice: double dk, int32 length, the pattern's
// characters, and the "coef" matrix as an array file. Exit status 0 when the call assigned
// its three outputs, 1 when it printed a message instead, 2 on a file error.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/testhost/mxhost.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

template <class T>
bool read(std::FILE* f, T* values, std::size_t n) {
  return std::fread(values, sizeof(T), n, f) == n;
}

template <class T>
void write(std::FILE* f, const T* values, std::size_t n) {
  std::fwrite(values, sizeof(T), n, f);
}

mxArray* read_array(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return nullptr;
  std::int32_t ndims = 0;
  if (!read(f.get(), &ndims, 1) || ndims < 0 || ndims > 32) return nullptr;
  std::vector<int> dims(ndims);
  if (!read(f.get(), dims.data(), dims.size())) return nullptr;
  mxArray* a = mxCreateNumericArray_700(ndims, dims.data(), mxDOUBLE_CLASS, mxCOMPLEX);
  if (!a) return nullptr;
  const std::size_t n = mxGetNumberOfElements(a);
  if (!read(f.get(), mxGetPr(a), n) || !read(f.get(), mxGetPi(a), n)) {
    mxDestroyArray(a);
    return nullptr;
  }
  return a;
}

void write_array(std::FILE* f, const mxArray* a) {
  const std::int32_t ndims = mxGetNumberOfDimensions_700(a);
  write(f, &ndims, 1);
  write(f, mxGetDimensions_700(a), ndims);
  const std::size_t n = mxGetNumberOfElements(a);
  write(f, mxGetPr(a), n);
  const std::vector<double> zeros(mxGetPi(a) ? 0 : n, 0.0);
  write(f, mxGetPi(a) ? mxGetPi(a) : zeros.data(), n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarvo_hostrun <folder>\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<mxArray*> inputs;
  for (const char* name : {"/in1.bin", "/in2.bin", "/in3.bin"}) {
    mxArray* a = read_array(dir + name);
    if (!a) break;
    inputs.push_back(a);
  }
  if (inputs.size() < 2) {
    std::fprintf(stderr, "tarvo_hostrun: could not read %s/in1.bin and in2.bin\n", dir.c_str());
    return 2;
  }
  std::vector<const mxArray*> prhs(inputs.begin(), inputs.end());
  mxArray* plhs[3] = {nullptr, nullptr, nullptr};
  mexFunction(3, plhs, static_cast<int>(prhs.size()), prhs.data());
  std::fputs(tarvo_mxhost_console(), stdout);
  int status = plhs[0] && plhs[1] && plhs[2] ? 0 : 1;
  if (status == 0) {
    for (int k = 0; k < 2; ++k) {
      File f(std::fopen((dir + "/out" + std::to_string(k + 1) + ".bin").c_str(), "wb"));
      if (!f) return 2;
      write_array(f.get(), plhs[k]);
    }
    File f(std::fopen((dir + "/out3.bin").c_str(), "wb"));
    if (!f) return 2;
    const mxArray* K = plhs[2];
    const std::int32_t Z = static_cast<std::int32_t>(mxGetNumberOfElements(K));
    write(f.get(), &Z, 1);
    for (int z = 0; z < Z; ++z) {
      write(f.get(), mxGetPr(mxGetFieldByNumber_700(K, z, mxGetFieldNumber(K, "dk"))), 1);
      char* text = mxArrayToString(mxGetFieldByNumber_700(K, z, mxGetFieldNumber(K, "pattern")));
      const std::string pattern = text ? text : "";
      mxFree(text);
      const std::int32_t length = static_cast<std::int32_t>(pattern.size());
      write(f.get(), &length, 1);
      write(f.get(), pattern.data(), pattern.size());
      write_array(f.get(), mxGetFieldByNumber_700(K, z, mxGetFieldNumber(K, "coef")));
    }
  }
  for (mxArray* a : plhs) mxDestroyArray(a);
  for (mxArray* a : inputs) mxDestroyArray(a);
  return status;
}
