// Whole calls pinned to the outputs the module gave before its pipeline was rewritten as the
// core API: every output (E, F and each slice's dk, pattern and coef) of a few phantoms, on
// 1, 2 and 3 threads, hashed bit for bit and compared with reference_outputs.txt (E and F of
// even extents since their halves are completed after the readout transform, which moved them
// by rounding, within 1e-15 of the largest value, on every phantom tried). The table
// holds the baseline kernels' bits (the same on every x86-64 machine) and, where the
// processor has them, the fused multiply-add kernels' bits.
//
// TARVO_WRITE_REFERENCE=<file> writes the table from the module as it is instead of checking.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/phantom.h"
#include "linalg/linalg.h"
#include "reliability/call.h"

namespace {

struct Case {
  const char* name;
  tarvo_test::PhantomOptions options;
  bool with_target;
};

const Case kCases[] = {
    {"16x12x2x4", {16, 12, 2, 4, 1, 0.5, 0.04, 0.1, 0.0, 0.01}, false},
    {"15x10x1x3+target", {15, 10, 1, 3, 2, 0.3, -0.05, 0.0, 0.002, 0.02}, true},
    {"20x11x3x2", {20, 11, 3, 2, 3, -0.4, 0.02, 0.0, 0.0, 0.0}, false},
};

// FNV-1a over bytes.
struct Hash {
  std::uint64_t h = 1469598103934665603ull;
  void add(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  }
};

void add_array(Hash* hash, const mxArray* a) {
  ASSERT_NE(a, nullptr);
  const std::vector<int> dims = tarvo_test::extents(a);
  hash->add(dims.data(), dims.size() * sizeof(int));
  const std::size_t n = mxGetNumberOfElements(a);
  if (mxGetClassID(a) == mxCHAR_CLASS) {
    char* text = mxArrayToString(a);
    hash->add(text, std::strlen(text));
    mxFree(text);
    return;
  }
  hash->add(mxGetPr(a), n * sizeof(double));
  if (mxIsComplex(a)) hash->add(mxGetPi(a), n * sizeof(double));
}

// "E F K" hashes of one call.
std::string call_hashes(const Case& c) {
  const tarvo_test::Phantom p = tarvo_test::make_phantom(c.options);
  const std::vector<int> dims = {p.M, p.N, p.Z, p.L};
  mxArray* even = tarvo_test::complex_array(dims, [&](std::size_t i) { return p.even[i]; });
  mxArray* odd = tarvo_test::complex_array(dims, [&](std::size_t i) { return p.odd[i]; });
  mxArray* target = tarvo_test::complex_array(dims, [&](std::size_t i) {
    return dcomplex{p.odd[i].re * 0.5 - p.even[i].im, p.odd[i].im + p.even[i].re * 0.25};
  });
  std::vector<const mxArray*> in = {even, odd};
  if (c.with_target) in.push_back(target);
  std::string result;
  {
    const tarvo_test::Call call(3, in);
    EXPECT_EQ(call.console, "");
    Hash e, f, k;
    add_array(&e, call.out[0]);
    add_array(&f, call.out[1]);
    const mxArray* K = call.out[2];
    for (std::size_t s = 0; K && s < mxGetNumberOfElements(K); ++s)
      for (int field = 0; field < 3; ++field)
        add_array(&k, mxGetFieldByNumber_700(K, static_cast<int>(s), field));
    char text[64];
    std::snprintf(text, sizeof text, "%016" PRIx64 " %016" PRIx64 " %016" PRIx64, e.h, f.h, k.h);
    result = text;
  }
  mxDestroyArray(even);
  mxDestroyArray(odd);
  mxDestroyArray(target);
  return result;
}

// "<case> <threads> <kernels>" -> "E F K" for every case, thread count and kernel choice this
// processor has.
std::map<std::string, std::string> module_outputs() {
  std::map<std::string, std::string> table;
  for (const bool fma : {false, true}) {
    if (fma && !tarvo::fma_kernels_available()) continue;
    const tarvo::KernelFormScope form(fma ? tarvo::KernelForm::kFused
                                          : tarvo::KernelForm::kBaseline);
    for (const char* threads : {"1", "2", "3"}) {
      setenv("TARVO_NUM_THREADS", threads, 1);
      for (const Case& c : kCases)
        table[std::string(c.name) + " " + threads + (fma ? " fma" : " baseline")] = call_hashes(c);
    }
  }
  unsetenv("TARVO_NUM_THREADS");
  return table;
}

TEST(ReferenceOutputs, EveryOutputKeepsItsBitsOnEveryThreadCount) {
  const std::map<std::string, std::string> now = module_outputs();
  if (const char* path = std::getenv("TARVO_WRITE_REFERENCE")) {
    std::ofstream out(path);
    for (const auto& [key, hashes] : now) out << key << " " << hashes << "\n";
    GTEST_SKIP() << "reference table written to " << path;
  }
#ifndef TARVO_REFERENCE_TABLE
  GTEST_SKIP() << "the reference bits are those of the uninstrumented build";
#else
  std::ifstream in(TARVO_REFERENCE_TABLE);
  ASSERT_TRUE(in) << TARVO_REFERENCE_TABLE;
  std::map<std::string, std::string> reference;
  std::string name, threads, kernels, e, f, k;
  while (in >> name >> threads >> kernels >> e >> f >> k)
    reference[name + " " + threads + " " + kernels] = e + " " + f + " " + k;
  int compared = 0;
  for (const auto& [key, hashes] : now) {
    const auto it = reference.find(key);
    ASSERT_NE(it, reference.end()) << key;
    EXPECT_EQ(hashes, it->second) << key;
    ++compared;
  }
  EXPECT_GE(compared, 9);
#endif
}

}  // namespace
