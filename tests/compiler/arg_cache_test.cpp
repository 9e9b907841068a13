// Argument caches: which positions a task fills, what the template holds, and how conditional
// arguments are left out.
#include "compiler/arg_cache.hpp"

#include <gtest/gtest.h>

#include "test_graphs.hpp"

namespace arvex {

void PrintTo(const PredPositions& entry, std::ostream* out) {
  *out << "{pred " << entry.pred << ": " << testing::PrintToString(entry.positions) << "}";
}

namespace {

using namespace arvex::test;

using Positions = std::vector<std::size_t>;

struct ArgCacheCase {
  const char* name;
  std::vector<Arg> args;
  bool skip_conditional;
  ArgCacheEntry expected;
};

// Init objects: 2 holds one value, 3 holds three.
InitObjects cache_objects() {
  return objects({{CmTypes::make_f32(0.5f)},
                  {CmTypes::make_i32(1), CmTypes::make_i32(2), CmTypes::make_i32(3)}});
}

std::vector<ArgCacheCase> cases() {
  const CmTypes none = CmTypes::none();
  const CmTypes seven = CmTypes::make_i32(7);
  const CmTypes text = CmTypes::make_string("gain");
  std::vector<ArgCacheCase> out;
  {
    ArgCacheEntry e;
    e.template_values = {seven, none, none, none};
    e.res_positions = {1, 2, 3};
    e.res_arg_indexes = {1, 2, 3};
    e.pred_positions = {{0, {1, 3}}, {1, {2}}};
    out.push_back({"res and dep fill positions, grouped by predecessor",
                   {literal(seven), res(0), dep(1), res(0, {1})},
                   true,
                   e});
  }
  {
    ArgCacheEntry e;
    e.template_values = {none, text, none, none};
    e.index_positions = {0, 3};
    e.worker_positions = {2};
    out.push_back({"Ref(0) is the instance index, Ref(1) the worker value",
                   {ref(0), literal(text), ref(1), ref(0)},
                   true,
                   e});
  }
  {
    ArgCacheEntry e;
    e.template_values = {none, CmTypes::make_f32(0.5f)};
    e.multi_positions = {0};
    e.multi_values = {{CmTypes::make_i32(1), CmTypes::make_i32(2), CmTypes::make_i32(3)}};
    out.push_back({"a multi-valued object is chosen per instance, a single value is templated",
                   {ref(3), ref(2)},
                   true,
                   e});
  }
  {
    ArgCacheEntry e;
    e.template_values = {none, seven};
    out.push_back({"a barrier passes no value", {barrier(0), literal(seven)}, true, e});
  }
  {
    ArgCacheEntry e;
    e.template_values = {none, none};
    e.res_positions = {0};
    e.res_arg_indexes = {1};
    e.pred_positions = {{0, {0}}};
    e.index_positions = {1};
    out.push_back({"skipped conditional arguments take no position",
                   {conditional(literal(seven)), res(0), conditional(res(1)), ref(0)},
                   true,
                   e});
  }
  {
    ArgCacheEntry e;
    e.template_values = {seven, none, none, none};
    e.res_positions = {1, 2};
    e.res_arg_indexes = {1, 2};
    e.pred_positions = {{0, {1}}, {1, {2}}};
    e.index_positions = {3};
    out.push_back({"without skipping, conditional arguments are kept",
                   {conditional(literal(seven)), res(0), conditional(res(1)), ref(0)},
                   false,
                   e});
  }
  {
    ArgCacheEntry e;
    e.template_values = {none};
    e.res_positions = {0};
    e.res_arg_indexes = {0};
    out.push_back({"a result reference without a predecessor has no predecessor entry",
                   {literal(CmTypes::make_res(0))},
                   true,
                   e});
  }
  return out;
}

TEST(ArgCache, Table) {
  const InitObjects init = cache_objects();
  for (const ArgCacheCase& c : cases()) {
    SCOPED_TRACE(c.name);
    const ArgCacheEntry got = build_arg_cache(c.args, init, c.skip_conditional, "Node 'n'");
    EXPECT_EQ(got.template_values, c.expected.template_values);
    EXPECT_EQ(got.index_positions, c.expected.index_positions);
    EXPECT_EQ(got.worker_positions, c.expected.worker_positions);
    EXPECT_EQ(got.multi_positions, c.expected.multi_positions);
    EXPECT_EQ(got.multi_values, c.expected.multi_values);
    EXPECT_EQ(got.res_positions, c.expected.res_positions);
    EXPECT_EQ(got.res_arg_indexes, c.expected.res_arg_indexes);
    EXPECT_EQ(got.pred_positions, c.expected.pred_positions);
    EXPECT_TRUE(got.res_preds.empty());
  }
}

TEST(ArgCache, PositionsOfLooksUpOnePredecessor) {
  const ArgCacheEntry got =
      build_arg_cache(std::vector<Arg>{res(5), res(2), res(5, {1})}, objects(), true, "Node 'n'");
  ASSERT_NE(got.positions_of(5), nullptr);
  EXPECT_EQ(*got.positions_of(5), (Positions{0, 2}));
  EXPECT_EQ(*got.positions_of(2), (Positions{1}));
  EXPECT_EQ(got.positions_of(3), nullptr);
}

}  // namespace
}  // namespace arvex
