// Worker groups from the worker ranges of a graph.
#include <gtest/gtest.h>

#include "placement/worker_affinity.hpp"

namespace arvex {
namespace {

WorkerRangeSpec range(std::size_t start, std::size_t end) { return WorkerRangeSpec::range({start, end}); }

TEST(WorkerAffinity, OverlappingRangesGiveOrderedGroups) {
  const auto config = WorkerAffinityConfig::from_worker_specs({range(2, 6), range(0, 4), WorkerRangeSpec::count(3)}, 8);
  ASSERT_EQ(config.ranges().size(), 2u) << "counts do not form groups";
  EXPECT_EQ(config.ranges()[0], std::make_pair(std::size_t{1}, WorkerRange{0, 4}));
  EXPECT_EQ(config.ranges()[1], std::make_pair(std::size_t{2}, WorkerRange{2, 6}));
  const std::vector<std::vector<std::size_t>> expected = {{1}, {1}, {1, 2}, {1, 2}, {2}, {2}, {}, {}};
  EXPECT_EQ(config.worker_groups(), expected);
}

TEST(WorkerAffinity, GroupLookup) {
  const auto config = WorkerAffinityConfig::from_worker_ranges({{0, 4}, {2, 6}}, 8);
  EXPECT_EQ(config.get_group(std::nullopt), 0u);
  EXPECT_EQ(config.get_group(WorkerRangeSpec::count(4)), 0u);
  EXPECT_EQ(config.get_group(range(0, 4)), 1u);
  EXPECT_EQ(config.get_group(range(2, 6)), 2u);
  EXPECT_EQ(config.get_group(range(1, 3)), 0u) << "a range outside the configuration is the global group";
}

TEST(WorkerAffinity, NoRanges) {
  const auto config = WorkerAffinityConfig::from_worker_specs({WorkerRangeSpec::count(2)}, 3);
  EXPECT_TRUE(config.ranges().empty());
  EXPECT_EQ(config.worker_groups(), std::vector<std::vector<std::size_t>>(3));
}

TEST(WorkerAffinityDeathTest, RangeBeyondTheWorkersStops) {
  EXPECT_EXIT((void)WorkerAffinityConfig::from_worker_specs({range(0, 8)}, 4), testing::ExitedWithCode(101),
              "Worker range WorkerRange \\{ start: 0, end: 8 \\} exceeds total workers 4");
  EXPECT_EXIT((void)WorkerAffinityConfig::from_worker_ranges({{2, 5}}, 4), testing::ExitedWithCode(101),
              "exceeds total workers 4");
}

}  // namespace
}  // namespace arvex
