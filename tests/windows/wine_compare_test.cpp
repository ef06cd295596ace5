// The runner's files from tarvo.mexw64 under Wine against those from the Linux test-host
// build, case by case: the console and standard error texts byte for byte, the outputs'
// classes, extents, field names and texts exactly, and the doubles to the last bit except
// where the two C runtimes' sin/cos/atan/atan2 round differently.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "windows/runner/cases.h"
#include "windows/runner/dump.h"

namespace {

using namespace tarvo_runner;

bool read_file(const std::string& path, std::vector<unsigned char>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string text_of(const std::vector<unsigned char>& b) {
  return std::string(b.begin(), b.end());
}

// Differences between two outputs; numeric values compared as bit patterns.
struct Diff {
  std::vector<std::string> structural;  // what differs in kind, class, extents, names, text
  long long values = 0, differing = 0;  // doubles compared, doubles whose bits differ
  double max_abs = 0, max_magnitude = 0;
};

void compare(const DumpValue& w, const DumpValue& h, const std::string& where, Diff* d) {
  auto note = [&](const std::string& what) { d->structural.push_back(where + ": " + what); };
  if (w.kind != h.kind)
    return note("kind " + std::to_string(w.kind) + " vs " + std::to_string(h.kind));
  if (w.cls != h.cls) note("class");
  if (w.complex != h.complex) note("complexity");
  if (w.dims != h.dims) note("extents");
  if (w.fields != h.fields) note("field names");
  if (w.elsize != h.elsize) note("element size");
  if (w.kind == kChar && w.re != h.re)
    note("text '" + text_of(w.re) + "' vs '" + text_of(h.re) + "'");
  if (w.kind == kNumeric) {
    if (w.re.size() != h.re.size() || w.im.size() != h.im.size()) return note("element count");
    if (w.elsize != 8) {
      if (w.re != h.re || w.im != h.im) note("single-precision data");
      return;
    }
    for (auto part : {&DumpValue::re, &DumpValue::im}) {
      const auto& a = w.*part;
      const auto& b = h.*part;
      for (std::size_t i = 0; i + 8 <= a.size(); i += 8) {
        double x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        ++d->values;
        d->max_magnitude = std::fmax(d->max_magnitude, std::fabs(y));
        if (std::memcmp(a.data() + i, b.data() + i, 8) != 0) {
          ++d->differing;
          d->max_abs = std::fmax(d->max_abs, std::isnan(x - y) ? INFINITY : std::fabs(x - y));
        }
      }
    }
  }
  if (w.kind == kStruct) {
    if (w.values.size() != h.values.size()) return note("element count");
    for (std::size_t i = 0; i < w.values.size(); ++i)
      compare(*w.values[i], *h.values[i],
              where + "(" + std::to_string(i / std::max<std::size_t>(1, w.fields.size())) + ")." +
                  (w.fields.empty() ? "" : w.fields[i % w.fields.size()]),
              d);
  }
}

class WineRun : public testing::TestWithParam<const char*> {
 protected:
  std::string wine_path(const char* ext) const {
    return std::string(TARVO_WINE_OUTPUTS) + "/" + GetParam() + ext;
  }
  std::string host_path(const char* ext) const {
    return std::string(TARVO_HOST_OUTPUTS) + "/" + GetParam() + ext;
  }
};

TEST_P(WineRun, ConsoleAndErrorTextEqualLinuxHost) {
  for (const char* ext : {".console", ".stderr"}) {
    std::vector<unsigned char> w, h;
    ASSERT_TRUE(read_file(wine_path(ext), &w)) << wine_path(ext);
    ASSERT_TRUE(read_file(host_path(ext), &h)) << host_path(ext);
    EXPECT_EQ(text_of(w), text_of(h)) << ext;
  }
}

// Per routine, how many of the probe's results differ in their bits between the runtimes.
struct LibmDiff {
  bool read = false;
  long long differing[4] = {0, 0, 0, 0};  // sin, cos, atan, atan2
  long long total() const { return differing[0] + differing[1] + differing[2] + differing[3]; }
};

const LibmDiff& libm_diff() {
  static const LibmDiff d = [] {
    LibmDiff r;
    std::vector<unsigned char> w, h;
    const std::size_t size = 4 * sizeof(double) * kLibmProbeCount;
    if (!read_file(std::string(TARVO_WINE_OUTPUTS) + "/libm.out", &w) ||
        !read_file(std::string(TARVO_HOST_OUTPUTS) + "/libm.out", &h) || w.size() != size ||
        h.size() != size)
      return r;
    r.read = true;
    for (std::size_t i = 0; i < size; i += 8)
      if (std::memcmp(w.data() + i, h.data() + i, 8) != 0) ++r.differing[(i / 8) % 4];
    return r;
  }();
  return d;
}

// The module's sin, cos, atan and atan2 come from the C runtime it is linked with: glibc on
// Linux, mingw-w64's x87-based routines (linked statically, so also on real Windows) in
// tarvo.mexw64. Where they round differently, the FFT twiddles and the per-frame phases of
// the alignment differ in their last bit; this records by how much the runtimes differ.
TEST(LibmProbe, RuntimesAreCompared) {
  const LibmDiff& d = libm_diff();
  ASSERT_TRUE(d.read) << "libm.out missing or malformed";
  std::ostringstream s;
  s << "of " << kLibmProbeCount << " arguments, differing results: sin " << d.differing[0]
    << ", cos " << d.differing[1] << ", atan " << d.differing[2] << ", atan2 " << d.differing[3];
  RecordProperty("libm", s.str());
  std::printf("libm probe: %s\n", s.str().c_str());
}

// Outputs are equal to the last bit, or, where the runtimes' sin/cos/atan/atan2 differ, within
// 1e-8 of the largest magnitude. Why that bound: a last-bit difference in a frame's phase
// enters the rank-1 phase estimate, whose Lanczos SVD accepts a singular vector once its error
// bound is below 1e-6 relative, so the frame's turn may differ far beyond one rounding (2e-10
// relative is observed); a fault (wrong kernel, wrong turn, wrong element order) shows at 1e-3
// or more.
TEST_P(WineRun, OutputsEqualLinuxHostUpToLibmRounding) {
  std::vector<unsigned char> wb, hb;
  ASSERT_TRUE(read_file(wine_path(".out"), &wb)) << wine_path(".out");
  ASSERT_TRUE(read_file(host_path(".out"), &hb)) << host_path(".out");
  DumpFile w, h;
  ASSERT_TRUE(DumpReader(wb).read(&w)) << "malformed " << wine_path(".out");
  ASSERT_TRUE(DumpReader(hb).read(&h)) << "malformed " << host_path(".out");
  ASSERT_EQ(w.outputs.size(), h.outputs.size());
  EXPECT_EQ(w.live_arrays, 0) << "arrays left alive under Wine";
  EXPECT_EQ(h.live_arrays, 0) << "arrays left alive on the Linux host";
  Diff d;
  for (std::size_t i = 0; i < w.outputs.size(); ++i)
    compare(*w.outputs[i], *h.outputs[i], "output " + std::to_string(i + 1), &d);
  for (const std::string& s : d.structural) ADD_FAILURE() << s;
  std::ostringstream summary;
  summary << d.values << " doubles, " << d.differing << " differ in their bits";
  if (d.differing)
    summary << ", max |wine - linux| " << d.max_abs << " (largest magnitude " << d.max_magnitude
            << ")";
  RecordProperty("comparison", summary.str());
  std::printf("%s: %s\n", GetParam(), summary.str().c_str());
  if (d.differing == 0) return;
  EXPECT_GT(libm_diff().total(), 0) << "outputs differ although the runtimes' libm agree";
  EXPECT_LE(d.max_abs, 1e-8 * d.max_magnitude) << summary.str();
}

INSTANTIATE_TEST_SUITE_P(Cases, WineRun, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace
