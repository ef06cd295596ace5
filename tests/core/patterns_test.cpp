#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/core.h"

namespace {

// Owns the records of one spacing.
struct PatternArray {
  std::vector<KernelPattern> records;
  explicit PatternArray(int n) : records(n, KernelPattern{}) {}
  ~PatternArray() {
    for (KernelPattern& p : records) {
      tarvo::free_bytes(p.text);
      tarvo::free_bytes(p.calib_lines);
      tarvo::free_bytes(p.coefficients);
    }
  }
};

TEST(PatternCount, FollowsSpacingSourcesAndMode) {
  EXPECT_EQ(pattern_count(2, 2, 0), 1);
  EXPECT_EQ(pattern_count(3, 2, 0), 2);
  EXPECT_EQ(pattern_count(2, 3, 0), 2);
  EXPECT_EQ(pattern_count(4, 3, 0), 6);
  EXPECT_EQ(pattern_count(2, 1, 0), 2);
  EXPECT_EQ(pattern_count(2, 1, 2), 4);
}

// With S = 2 and dk = P + 1, pattern k has its target k + 1 lines after the first source, and
// goes into record order[k]: reading each record's target position recovers the order table.
class PatternOrder : public testing::TestWithParam<std::tuple<int, std::vector<int>>> {};

TEST_P(PatternOrder, RecordsRunFromTheCentreOutward) {
  const auto& [P, order] = GetParam();
  const int dk = P + 1;
  PatternArray a(P);
  ASSERT_EQ(build_patterns(a.records.data(), dk, 2, 0), 0);
  for (int k = 0; k < P; ++k) {
    std::string expected(dk + 1, 'o');
    expected.front() = '*';
    expected.back() = '*';
    expected[k + 1] = 'x';
    EXPECT_EQ(std::string(a.records[order[k]].text), expected) << "pattern " << k;
    EXPECT_EQ(a.records[order[k]].line_shift, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(OrderTables, PatternOrder,
                         testing::Values(std::make_tuple(1, std::vector<int>{0}),
                                         std::make_tuple(2, std::vector<int>{0, 1}),
                                         std::make_tuple(3, std::vector<int>{1, 0, 2}),
                                         std::make_tuple(4, std::vector<int>{2, 0, 1, 3}),
                                         std::make_tuple(5, std::vector<int>{3, 1, 0, 2, 4}),
                                         std::make_tuple(6, std::vector<int>{4, 2, 0, 1, 3, 5})));

TEST(BuildPatterns, WritesTheTextsOfEachConfiguration) {
  {
    PatternArray a(1);
    ASSERT_EQ(build_patterns(a.records.data(), 2, 2, 0), 0);
    EXPECT_STREQ(a.records[0].text, "*x*");
  }
  {
    PatternArray a(2);
    ASSERT_EQ(build_patterns(a.records.data(), 3, 2, 0), 0);
    EXPECT_STREQ(a.records[0].text, "*xo*");
    EXPECT_STREQ(a.records[1].text, "*ox*");
  }
  {
    PatternArray a(2);
    ASSERT_EQ(build_patterns(a.records.data(), 2, 3, 0), 0);
    EXPECT_STREQ(a.records[0].text, "*x*o*");
    EXPECT_STREQ(a.records[1].text, "*o*x*");
  }
  {
    PatternArray a(4);
    ASSERT_EQ(build_patterns(a.records.data(), 2, 1, 2), 0);
    const char* texts[4] = {"x*o", "o*x", "x*o", "o*x"};
    const int shifts[4] = {0, 0, -1, 1};
    for (int k = 0; k < 4; ++k) {
      EXPECT_STREQ(a.records[k].text, texts[k]);
      EXPECT_EQ(a.records[k].line_shift, shifts[k]);
    }
  }
}

TEST(BuildPatterns, FailsWhenATextCannotBeAllocated) {
  PatternArray a(2);
  tarvo::alloc_fail_at(2);  // the order table succeeds, the first text fails
  EXPECT_EQ(build_patterns(a.records.data(), 3, 2, 0), -1);
  tarvo::alloc_fail_at(0);
}

TEST(ParsePattern, MeasuresSourcesFromTheLastTarget) {
  int offsets[3] = {7, 7, 7};
  parse_pattern("*x*", offsets, 2, 2);
  EXPECT_EQ(offsets[0], -1);
  EXPECT_EQ(offsets[1], 1);

  parse_pattern("*x*x*", offsets, 3, 2);  // two targets: the later one counts
  EXPECT_EQ(offsets[0], -3);
  EXPECT_EQ(offsets[1], -1);
  EXPECT_EQ(offsets[2], 1);

  parse_pattern("*o*", offsets, 2, 2);  // no target: measured from -1
  EXPECT_EQ(offsets[0], 1);
  EXPECT_EQ(offsets[1], 3);

  parse_pattern("", offsets, 3, 2);
  EXPECT_EQ(offsets[0], 0);
  EXPECT_EQ(offsets[2], 0);
}

TEST(ParsePattern, NeverWritesMoreThanSOffsets) {
  int offsets[3] = {7, 7, 7};
  parse_pattern("*x**", offsets, 2, 2);
  EXPECT_EQ(offsets[0], -1);
  EXPECT_EQ(offsets[1], 1);
  EXPECT_EQ(offsets[2], 7);
}

struct CalibCase {
  const char* name;
  std::vector<int> mask;
  std::vector<int> expected;
};

class CalibrationLines : public testing::TestWithParam<CalibCase> {};

TEST_P(CalibrationLines, SelectsAcquiredLinesWithAcquiredSourcesAndKeepsTheMask) {
  const CalibCase& c = GetParam();
  std::vector<int> mask = c.mask;
  const int offsets[2] = {-1, 1};
  int count = -5;
  int* list = nullptr;
  ASSERT_EQ(select_calibration_lines(&count, &list, mask.data(), static_cast<int>(mask.size()), 2,
                                     offsets),
            0);
  EXPECT_EQ(std::vector<int>(list, list + count), c.expected);
  EXPECT_EQ(mask, c.mask);
  tarvo::free_bytes(list);
}

INSTANTIATE_TEST_SUITE_P(Masks, CalibrationLines,
                         testing::Values(
                             // Every line, the first and the last too: the sources wrap around.
                             CalibCase{"Full", {1, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 2, 3, 4, 5, 6, 7}},
                             // Each odd line's neighbours are even: no calibration line.
                             CalibCase{"OddOnly", {0, 1, 0, 1, 0, 1, 0, 1}, {}},
                             CalibCase{"Gaps", {1, 1, 1, 0, 1, 1, 1, 0}, {1, 5}},
                             CalibCase{"WrapAtBothEnds", {1, 0, 0, 0, 0, 0, 1, 1}, {7}}),
                         [](const testing::TestParamInfo<CalibCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(CalibrationLines, ReportsAFailedListAllocationAndKeepsTheMask) {
  std::vector<int> mask(6, 1);
  const int offsets[2] = {-1, 1};
  int count = -5;
  int* list = nullptr;
  testing::internal::CaptureStderr();
  tarvo::alloc_fail_at(1);
  EXPECT_EQ(select_calibration_lines(&count, &list, mask.data(), 6, 2, offsets), -1);
  tarvo::alloc_fail_at(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " could not alloc ACS lines array\n");
  EXPECT_EQ(count, -5);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(mask, std::vector<int>(6, 1));
}

TEST(CalibrationLines, AllPatternsOfAllSpacingsGetTheirLines) {
  // N = 9, lines 0, 2, 3, 4, 6, 8 acquired; spacings 2 ("*x*") and 3 ("*xo*", "*ox*").
  std::vector<int> mask = {1, 0, 1, 1, 1, 0, 1, 0, 1};
  const std::vector<int> original = mask;
  PatternArray two(1), three(2);
  ASSERT_EQ(build_patterns(two.records.data(), 2, 2, 0), 0);
  ASSERT_EQ(build_patterns(three.records.data(), 3, 2, 0), 0);
  KernelPattern* arrays[2] = {two.records.data(), three.records.data()};
  const int spacings[2] = {2, 3};
  ASSERT_EQ(select_all_calibration_lines(arrays, 2, spacings, 2, 9, mask.data(), 0), 0);
  auto lines = [](const KernelPattern& p) {
    return std::vector<int>(p.calib_lines, p.calib_lines + p.calib_count);
  };
  EXPECT_EQ(lines(two.records[0]), (std::vector<int>{3}));  // 2 and 4 around it
  // "*xo*": sources at -1 and +2.  "*ox*": sources at -2 and +1.
  EXPECT_EQ(lines(three.records[0]), (std::vector<int>{0, 4}));
  EXPECT_EQ(lines(three.records[1]), (std::vector<int>{2, 8}));
  EXPECT_EQ(mask, original);
}

TEST(DeriveSpacings, ListsTheDistancesBetweenAcquiredLines) {
  auto derive = [](std::vector<int> list) {
    int n = -1;
    int* s = derive_spacings(list.data(), static_cast<int>(list.size()), &n);
    std::vector<int> out(s, s + n);
    tarvo::free_bytes(s);
    return out;
  };
  EXPECT_EQ(derive({0, 2, 4, 6}), (std::vector<int>{2}));
  EXPECT_EQ(derive({0, 1, 2, 3}), (std::vector<int>{}));  // a distance of 1 gives none
  EXPECT_EQ(derive({9, 6, 4, 4}), (std::vector<int>{2, 3}));
  EXPECT_EQ(derive({0, 33}), (std::vector<int>{}));  // bit 32 mod 32 = bit 0
  EXPECT_EQ(derive({5}), (std::vector<int>{}));
}

}  // namespace
