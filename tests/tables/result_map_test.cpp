// The result map on one thread: cell layout, the inline encoding of the fourteen scalars,
// boxed values and their ownership, slot reinitialisation, coordinates out of range and the
// fatal stops.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "allocation_counter.hpp"
#include "tables/inline_value.hpp"
#include "tables/result_map.hpp"
#include "test_graphs.hpp"

namespace arvex {
namespace {

using test::make_graph;

// Node factors 2, 3 and 1: a slot holds six cells, the nodes start at 0, 2 and 5.
class ResultMapTest : public testing::Test {
 protected:
  ResultMapTest() : graph_(make_graph({{"a", 2}, {"b", 3}, {"c", 1}})), map_(graph_.nodes(), 2) {}

  static NodeInfo cell(std::size_t slot, std::uint16_t node, std::size_t index) {
    return {.slot = slot, .index = index, .node_id = node};
  }

  Graph graph_;
  LockFreeResultMap map_;
};

TEST_F(ResultMapTest, CellsAreLaidOutSlotByNodeByInstance) {
  EXPECT_EQ(map_.slot_stride(), 6u);
  EXPECT_EQ(std::vector<std::size_t>(map_.node_offsets().begin(), map_.node_offsets().end()),
            (std::vector<std::size_t>{0, 2, 5}));
  EXPECT_EQ(std::vector<std::size_t>(map_.node_factors().begin(), map_.node_factors().end()),
            (std::vector<std::size_t>{2, 3, 1}));
  EXPECT_EQ(map_.cell_index(1, 2, 0), 11u);
  EXPECT_EQ(map_.num_nodes(), 3u);
  EXPECT_EQ(map_.num_slots(), 2u);
}

struct InlineCase {
  CmTypes value;
  std::uint8_t tag;
  std::uint64_t payload;
};

TEST_F(ResultMapTest, ScalarsAreStoredInlineWithTheirOwnTagsTable) {
  const InlineCase cases[] = {
      {CmTypes::make_f64(-0.0), 1, 0x8000000000000000ull},
      {CmTypes::make_f32(1.5f), 2, 0x3FC00000ull},
      {CmTypes::make_i64(std::numeric_limits<std::int64_t>::min()), 3, 0x8000000000000000ull},
      {CmTypes::make_u64(std::numeric_limits<std::uint64_t>::max()), 4, 0xFFFFFFFFFFFFFFFFull},
      {CmTypes::make_i32(-2), 5, 0xFFFFFFFFFFFFFFFEull},
      {CmTypes::make_u32(0xFFFFFFFFu), 6, 0x00000000FFFFFFFFull},
      {CmTypes::make_i16(-32768), 7, 0xFFFFFFFFFFFF8000ull},
      {CmTypes::make_u16(0xFFFF), 8, 0xFFFFull},
      {CmTypes::make_i8(-1), 9, 0xFFFFFFFFFFFFFFFFull},
      {CmTypes::make_u8(0x80), 10, 0x80ull},
      {CmTypes::make_bool(true), 11, 1},
      {CmTypes::make_usize(7), 12, 7},
      {CmTypes::make_isize(-3), 13, 0xFFFFFFFFFFFFFFFDull},
      {CmTypes::make_char(U'\U0001F600'), 14, 0x1F600},
  };
  for (const InlineCase& c : cases) {
    SCOPED_TRACE(c.value.debug_string());
    const std::optional<detail::InlineValue> encoded = detail::encode_inline(c.value);
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(encoded->tag, c.tag);
    EXPECT_EQ(encoded->payload, c.payload);

    const NodeInfo task = cell(1, 1, 2);
    {
      const test::AllocationScope scope;
      map_.set(task, c.value);
      const std::optional<CmTypes> read = map_.get(task);
      EXPECT_EQ(scope.count(), 0u) << "inline results neither box nor copy through the heap";
      ASSERT_TRUE(read.has_value());
      EXPECT_EQ(*read, c.value);
      EXPECT_EQ(read->tag(), c.value.tag());
    }
  }
}

TEST(InlineValue, CharPayloadsThatAreNoScalarValueReadAsNul) {
  for (const std::uint64_t payload : {0xD800ull, 0xDFFFull, 0x110000ull, 0x10000000041ull}) {
    SCOPED_TRACE(payload);
    EXPECT_EQ(detail::decode_inline(14, payload), CmTypes::make_char(U'\0'));
  }
  EXPECT_EQ(detail::decode_inline(14, 0x10FFFF), CmTypes::make_char(U'\U0010FFFF'));
}

TEST_F(ResultMapTest, EveryOtherAlternativeIsBoxedAndReadBackAsAClone) {
  const CmTypes values[] = {
      CmTypes::make_string("frame result"),
      CmTypes::make_vec({CmTypes::make_i32(1), CmTypes::make_string("x")}),
      CmTypes::make_i128(-(Int128{1} << 100)),
      CmTypes::make_res(4),
      CmTypes::none(),
  };
  for (const CmTypes& value : values) {
    SCOPED_TRACE(value.debug_string());
    EXPECT_FALSE(detail::encode_inline(value).has_value());
    map_.set(cell(0, 0, 1), value);
    const std::optional<CmTypes> read = map_.get(cell(0, 0, 1));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, value);
    EXPECT_EQ(read->block(), value.block()) << "a read shares the stored block";
  }
}

TEST_F(ResultMapTest, BoxesAreReleasedByTheNextBoxedSetByReinitAndByDestruction) {
  const CmTypes first = CmTypes::make_string("first");
  const CmTypes second = CmTypes::make_string("second");
  map_.set(cell(0, 1, 0), first);
  EXPECT_EQ(first.strong_count(), 2u);
  map_.set(cell(0, 1, 0), second);
  EXPECT_EQ(first.strong_count(), 1u) << "the replaced box is freed";
  EXPECT_EQ(map_.get(cell(0, 1, 0)), second);

  map_.reinit_slot(0);
  EXPECT_EQ(second.strong_count(), 1u);
  EXPECT_EQ(map_.get(cell(0, 1, 0)), std::nullopt);

  {
    LockFreeResultMap scoped(graph_.nodes(), 1);
    scoped.set(cell(0, 2, 0), first);
    EXPECT_EQ(first.strong_count(), 2u);
  }
  EXPECT_EQ(first.strong_count(), 1u) << "destruction frees what the cells still hold";
}

TEST_F(ResultMapTest, AnInlineSetOverABoxKeepsTheBoxUntilReinit) {
  const CmTypes boxed = CmTypes::make_string("shadowed");
  map_.set(cell(1, 0, 0), boxed);
  map_.set(cell(1, 0, 0), CmTypes::make_u8(3));
  EXPECT_EQ(map_.get(cell(1, 0, 0)), CmTypes::make_u8(3));
  EXPECT_EQ(boxed.strong_count(), 2u);
  map_.reinit_slot(1);
  EXPECT_EQ(boxed.strong_count(), 1u);
}

TEST_F(ResultMapTest, ReinitEmptiesOnlyItsOwnSlot) {
  EXPECT_EQ(map_.get(cell(0, 0, 0)), std::nullopt) << "empty before any set";
  for (std::size_t slot = 0; slot < 2; ++slot) {
    map_.set(cell(slot, 0, 0), CmTypes::make_i32(static_cast<std::int32_t>(slot)));
    map_.set(cell(slot, 2, 0), CmTypes::make_string("s"));
  }
  map_.reinit_slot(1);
  EXPECT_EQ(map_.get(cell(1, 0, 0)), std::nullopt);
  EXPECT_EQ(map_.get(cell(1, 2, 0)), std::nullopt);
  EXPECT_EQ(map_.get(cell(0, 0, 0)), CmTypes::make_i32(0));
  EXPECT_EQ(map_.get(cell(0, 2, 0)), CmTypes::make_string("s"));
}

TEST_F(ResultMapTest, ReadsOutOfRangeFindNothing) {
  map_.set(cell(1, 2, 0), CmTypes::make_i32(1));  // the last cell of the table
  for (const NodeInfo& task : {cell(2, 0, 0), cell(0, 3, 0), cell(0, 0, 2), cell(1, 1, 3), cell(1, 2, 1)}) {
    SCOPED_TRACE(testing::Message() << task.slot << "/" << task.node_id << "/" << task.index);
    EXPECT_EQ(map_.get(task), std::nullopt);
  }
}

TEST_F(ResultMapTest, BrokenCoordinatesStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct DeathCase {
    std::function<void()> run;
    const char* message;
  };
  const DeathCase cases[] = {
      {[&] { map_.set(cell(2, 0, 0), CmTypes::make_i32(1)); }, "Invalid node_info: slot=2, id=0"},
      {[&] { map_.set(cell(0, 3, 0), CmTypes::make_i32(1)); }, "Invalid node_info: slot=0, id=3"},
      {[&] { map_.set(cell(1, 1, 3), CmTypes::make_string("x")); }, "Index 3 out of bounds for node 1"},
      {[&] { map_.reinit_slot(2); }, "Slot 2 out of bounds"},
      {[] { (void)detail::decode_inline(15, 0); }, "internal error: entered unreachable code: invalid inline tag 15"},
  };
  for (const DeathCase& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EXIT(c.run(), testing::ExitedWithCode(101), std::string("arvex: fatal: ") + c.message);
  }
}

}  // namespace
}  // namespace arvex
