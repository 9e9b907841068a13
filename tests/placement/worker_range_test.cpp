// Worker range texts: parsing, display and debug forms.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "placement/worker_range.hpp"

namespace arvex {
namespace {

struct RangeCase {
  std::string text;
  std::optional<WorkerRange> range;
  std::string error;
};

TEST(WorkerRangeParse, Table) {
  const RangeCase cases[] = {
      {"0-7", WorkerRange{0, 8}, ""},
      {"0-0", WorkerRange{0, 1}, ""},
      {" 2 - 5 ", WorkerRange{2, 6}, ""},
      {"+1-+3", WorkerRange{1, 4}, ""},
      {"3-1", std::nullopt, "Invalid range '3-1': start 3 > end 1"},
      {"1-2-3", std::nullopt, "Invalid range format: '1-2-3'. Expected 'start-end'"},
      {"7", std::nullopt, "Invalid range format: '7'. Expected 'start-end'"},
      {"a-3", std::nullopt, "Invalid start value 'a' in range 'a-3'"},
      {" x -3", std::nullopt, "Invalid start value ' x ' in range ' x -3'"},
      {"1-", std::nullopt, "Invalid end value '' in range '1-'"},
      {"0-99999999999999999999", std::nullopt, "Invalid end value '99999999999999999999' in range '0-99999999999999999999'"},
      {"0-18446744073709551615", std::nullopt, "Invalid end value '18446744073709551615' in range '0-18446744073709551615'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = WorkerRange::parse(c.text);
    if (c.range) {
      ASSERT_TRUE(parsed) << parsed.error();
      EXPECT_EQ(*parsed, *c.range);
    } else {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error(), c.error);
    }
  }
}

TEST(WorkerRangeText, DisplayAndDebug) {
  EXPECT_EQ((WorkerRange{0, 8}).to_string(), "0-7");
  EXPECT_EQ((WorkerRange{3, 4}).to_string(), "3-3");
  EXPECT_EQ((WorkerRange{4, 4}).to_string(), "[empty]");
  EXPECT_EQ((WorkerRange{5, 2}).to_string(), "[empty]");
  EXPECT_EQ((WorkerRange{0, 8}).debug_string(), "WorkerRange { start: 0, end: 8 }");
}

TEST(WorkerRangeOrder, ByStartThenEnd) {
  const std::set<WorkerRange> ranges = {{2, 6}, {0, 4}, {0, 2}};
  std::string order;
  for (const auto& r : ranges) order += r.to_string() + " ";
  EXPECT_EQ(order, "0-1 0-3 2-5 ");
}

struct SpecCase {
  std::string text;
  std::string display;  // empty when parsing fails
  std::string result;   // debug text on success, error otherwise
};

TEST(WorkerRangeSpecParse, Table) {
  const SpecCase cases[] = {
      {"4", "4 workers", "Count(4)"},
      {"+4", "4 workers", "Count(4)"},
      {"  12 ", "12 workers", "Count(12)"},
      {"0-7", "workers 0-7", "Range(WorkerRange { start: 0, end: 8 })"},
      {" 2 - 5 ", "workers 2-5", "Range(WorkerRange { start: 2, end: 6 })"},
      {"0", "", "Worker count must be > 0"},
      {"abc", "", "Invalid use_workers format 'abc'. Expected count (e.g., '4') or range (e.g., '0-7')"},
      {" x ", "", "Invalid use_workers format 'x'. Expected count (e.g., '4') or range (e.g., '0-7')"},
      {"-5", "", "Invalid start value '' in range '-5'"},
      {"1-2-3", "", "Invalid range format: '1-2-3'. Expected 'start-end'"},
      {"3-1", "", "Invalid range '3-1': start 3 > end 1"},
      {"", "", "Invalid use_workers format ''. Expected count (e.g., '4') or range (e.g., '0-7')"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = WorkerRangeSpec::parse(c.text);
    if (!c.display.empty()) {
      ASSERT_TRUE(parsed) << parsed.error();
      EXPECT_EQ(parsed->to_string(), c.display);
      EXPECT_EQ(parsed->debug_string(), c.result);
    } else {
      ASSERT_FALSE(parsed) << parsed->debug_string();
      EXPECT_EQ(parsed.error(), c.result);
    }
  }
}

}  // namespace
}  // namespace arvex
