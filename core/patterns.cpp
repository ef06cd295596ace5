// Kernel pattern texts, their line offsets, and the choice of calibration lines.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "core/core.h"
#include "core/internal.h"
#include "linalg/report.h"

int pattern_count(int dk, int S) {
  return S > 1 ? (dk - 1) * (S - 1) : 0;
}

namespace {

// Gives record p a text buffer of `bytes` bytes when it has none.
bool ensure_text(KernelPattern& p, std::int64_t bytes) {
  if (!p.text) p.text = tarvo::alloc_array<char>(bytes, true);
  return p.text != nullptr;
}

}  // namespace

int build_patterns(KernelPattern* patterns, int dk, int S) {
  const int P = pattern_count(dk, S);
  if (P <= 0) return 0;
  // order[k]: central target positions first, then alternating outward.
  tarvo::buffer<int> order(tarvo::alloc_array<int>(P));
  if (!order) return -1;
  const int half = P / 2;
  for (int k = 0; k < P; ++k)
    order[k] = k < half ? P - 2 - 2 * k : 2 * (k - half) + (P % 2 == 0 ? 1 : 0);
  const std::int64_t length = static_cast<std::int64_t>(S - 1) * dk + 1;
  for (int g = 0; g <= S - 2; ++g) {
    for (int t = 0; t <= dk - 2; ++t) {
      KernelPattern& p = patterns[order[(dk - 1) * g + t]];
      if (!ensure_text(p, length + 2)) return -1;
      for (std::int64_t i = 0; i < length; ++i) p.text[i] = (i % dk == 0) ? '*' : 'o';
      p.text[length] = '\0';
      p.text[static_cast<std::int64_t>(g) * dk + t + 1] = 'x';
    }
  }
  return 0;
}

int parse_pattern(const char* text, int* offsets, int S, int /*dk*/) {
  for (int s = 0; s < S; ++s) offsets[s] = 0;
  if (!text) return 0;
  const int length = static_cast<int>(std::strlen(text));
  int xpos = -1;
  for (int i = 0; i < length; ++i)
    if (text[i] == 'x') xpos = i;
  int n = 0;
  for (int i = 0; i < length && n < S; ++i)
    if (text[i] == '*') offsets[n++] = i - xpos;
  return 0;
}

int select_calibration_lines(int* count, int** list, int* mask, int N, int S, const int* offsets,
                             bool bounded) {
  int found = 0;
  for (int l = 0; l < N; ++l) {
    if (mask[l] < kLineAcquired) continue;
    if (bounded && !std::all_of(offsets, offsets + S, [&](int o) {
          const std::int64_t line = std::int64_t{l} + o;
          return line >= 0 && line < N;
        }))
      continue;
    const KernelGeometry sources{
        .S = S, .line_offsets = offsets, .w = 0, .readout_offsets = nullptr};
    if (core_detail::sources_accepted(mask, l, sources, N,
                                      [](int m) { return m >= kLineAcquired; })) {
      mask[l] = kLineSelected;
      ++found;
    }
  }
  if (!*list) *list = tarvo::alloc_array<int>(found);
  if (!*list) {
    tarvo::report(" could not alloc ACS lines array\n");
    for (int l = 0; l < N; ++l)
      if (mask[l] == kLineSelected) mask[l] = kLineAcquired;
    return -1;
  }
  int appended = 0;
  for (int l = 0; l < N; ++l) {
    if (mask[l] == kLineSelected) {
      (*list)[appended++] = l;
      mask[l] = kLineAcquired;
    }
  }
  *count = appended;
  return 0;
}

int select_all_calibration_lines(KernelPattern** patterns, int spacing_count, const int* spacings,
                                 int S, int N, int* mask, bool bounded) {
  tarvo::buffer<int> offsets(tarvo::alloc_array<int>(S > 0 ? S : 0, true));
  if (!offsets) {
    tarvo::report(" could not alloc pattern offsets array\n");
    return -1;
  }
  for (int j = 0; j < spacing_count; ++j) {
    const int P = pattern_count(spacings[j], S);
    for (int p = 0; p < P; ++p) {
      KernelPattern& pattern = patterns[j][p];
      parse_pattern(pattern.text, offsets.get(), S, spacings[j]);
      int count = 0;
      int* list = pattern.calib_lines;
      if (select_calibration_lines(&count, &list, mask, N, S, offsets.get(), bounded) != 0)
        return -1;
      pattern.calib_lines = list;
      pattern.calib_count = count;
    }
  }
  return 0;
}

namespace {

// Appends a pattern of `half` with sources (offset, polarity), given ascending by offset.
void add_pattern(PolarityPattern* out, int* count, int half,
                 std::initializer_list<std::pair<int, int>> sources) {
  if (out) {
    PolarityPattern& p = out[*count];
    p = {};
    p.half = half;
    int previous = 0, gap = 0;
    for (const auto& [offset, polarity] : sources) {
      if (p.S > 0) gap = std::max(gap, offset - previous);
      p.offsets[p.S] = offset;
      p.polarity[p.S] = polarity;
      previous = offset;
      ++p.S;
    }
    // A pattern of one side of the target: its gap is that from the target.
    if (p.S > 0 && p.offsets[0] >= 0) gap = std::max(gap, p.offsets[0]);
    if (p.S > 0 && p.offsets[p.S - 1] <= 0) gap = std::max(gap, -p.offsets[p.S - 1]);
    p.dk = 2 * gap;
  }
  ++*count;
}

}  // namespace

int polarity_patterns(int R, PolarityPattern* out) {
  if (R < 2) return 0;
  int count = 0;
  for (const int s : {1, -1}) {
    // 5 lines g apart around a line read with the other polarity.
    for (int g = 1; g <= R; ++g)
      add_pattern(out, &count, s, {{-2 * g, -s}, {-g, s}, {0, -s}, {g, s}, {2 * g, -s}});
    // 4 lines around a missing line t after the last line below, in a gap of R; that line read
    // with polarity p.
    for (int t = 1; t < R; ++t)
      for (const int p : {s, -s})
        add_pattern(out, &count, s, {{-t - R, -p}, {-t, p}, {R - t, -p}, {2 * R - t, p}});
    // 3 lines around a line read with the other polarity.
    for (int g = 1; g <= R; ++g) add_pattern(out, &count, s, {{-g, s}, {0, -s}, {g, s}});
    add_pattern(out, &count, s, {{-R, s}, {0, -s}, {1, s}});
    add_pattern(out, &count, s, {{-1, s}, {0, -s}, {R, s}});
    // 2 lines: a line read with the other polarity and one neighbour; a missing line between
    // two lines g apart, t after the lower one (read with polarity p).
    for (int g = 1; g <= R; ++g) {
      add_pattern(out, &count, s, {{-g, s}, {0, -s}});
      add_pattern(out, &count, s, {{0, -s}, {g, s}});
    }
    for (int g = 2; g <= R; ++g)
      for (int t = 1; t < g; ++t)
        for (const int p : {s, -s}) add_pattern(out, &count, s, {{-t, p}, {g - t, -p}});
  }
  return count;
}

void polarity_pattern_text(const PolarityPattern& pattern, char* text) {
  int n = 0;
  text[n++] = pattern.half > 0 ? '+' : '-';
  text[n++] = ':';
  const int lo = std::min(0, pattern.offsets[0]);
  const int hi = std::max(0, pattern.offsets[pattern.S - 1]);
  for (int o = lo; o <= hi; ++o) {
    char c = o == 0 ? 'x' : 'o';
    for (int s = 0; s < pattern.S; ++s)
      if (pattern.offsets[s] == o) c = o == 0 ? '*' : (pattern.polarity[s] > 0 ? '+' : '-');
    text[n++] = c;
  }
  text[n] = '\0';
}
