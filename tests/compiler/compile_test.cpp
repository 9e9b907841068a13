// Compiling graphs into node cache entries: kernels, flags, totals, the network source, worker
// groups, and the faults that stop the program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sstream>

#include "kernels/builtin_kernels.hpp"
#include "logging/log.hpp"
#include "test_graphs.hpp"

namespace arvex {

void PrintTo(const ResPredCache& p, std::ostream* out) {
  *out << "{node " << p.node << " pred " << p.pred << (p.is_dep ? " dep" : " res") << " offsets "
       << testing::PrintToString(p.offsets) << " factors " << p.pred_factor << "->" << p.factor
       << " group sizes " << testing::PrintToString(p.pred_group_size) << "->"
       << testing::PrintToString(p.group_size) << "}";
}

namespace {

using namespace arvex::test;

// Sets (or with nullopt unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(Compile, EmptyGraph) {
  const GraphCompiled g = compile_nodes({});
  EXPECT_EQ(g.node_count, 0u);
  EXPECT_TRUE(g.node_cache.empty());
  EXPECT_TRUE(g.successor_arena.edges.empty());
  EXPECT_TRUE(g.successor_arena.ranges.empty());
  EXPECT_EQ(g.window_table.row_count() + g.group_by_table.row_count() + g.shift_table.row_count(),
            0u);
  EXPECT_TRUE(g.dep_counts.empty());
  EXPECT_EQ(g.max_factor, 1u);
  EXPECT_EQ(g.total_tasks_per_frame, 0u);
  EXPECT_EQ(g.total_cond_tasks_per_frame, 0u);
}

TEST(Compile, NodeEntryCarriesTheNodesData) {
  Node b = node(1, "b", 3,
                {res(0, {0, 1}), literal(CmTypes::make_i32(5)), res(0, {2}), conditional(res(0))});
  b.priority = Priority::High;
  const GraphCompiled g = compile_nodes({node(0, "a", 3), std::move(b)});
  const NodeCacheEntry& e = g.node_cache[1];
  EXPECT_EQ(e.name, "b");
  EXPECT_EQ(e.function_name, "noop");
  EXPECT_EQ(e.function, &noop_kernel);
  EXPECT_EQ(e.factor, 3u);
  EXPECT_EQ(e.priority, Priority::High);
  EXPECT_FALSE(e.range_function.has_value());
  EXPECT_FALSE(e.unchecked_wrapper);
  EXPECT_FALSE(e.condition.has_value()) << "an argument condition is no node-level condition";
  EXPECT_EQ(e.pred_last_position, (std::vector<std::size_t>{2}))
      << "the conditional argument is left out";
  EXPECT_EQ(g.node_cache[0].pred_last_position, (std::vector<std::size_t>{0}))
      << "at least one entry";
}

TEST(Compile, PredLastPositionIsIndexedByPredecessorId) {
  const GraphCompiled g =
      compile_nodes({node(0, "a"), node(1, "b"), node(2, "c"),
                     node(3, "d", 1, {res(2), literal(CmTypes::make_i32(1)), res(0), dep(2)})});
  EXPECT_EQ(g.node_cache[3].pred_last_position, (std::vector<std::size_t>{2, 0, 3}));
}

TEST(Compile, ResPredsDescribeEachResultEdge) {
  Node a = node(0, "a", 4);
  a.group_size = 2;
  Node c =
      node(2, "c", 4, {res(0, {0, 1}), dep(1), conditional(res(1)), literal(CmTypes::make_i32(1))});
  c.group_size = 4;
  c.condition = gate({res(1, {1})});
  const GraphCompiled g = compile_nodes({std::move(a), node(1, "b", 2), std::move(c)});
  const NodeCacheEntry& e = g.node_cache[2];
  EXPECT_EQ(e.args.res_preds,
            (std::vector<ResPredCache>{{2, 4, {0, 1}, 4, 4, 2, 0, false},
                                       {std::nullopt, std::nullopt, {}, 0, 4, 2, 1, true}}));
  ASSERT_TRUE(e.condition);
  EXPECT_EQ(e.condition->args.res_preds,
            (std::vector<ResPredCache>{{std::nullopt, 4, {1}, 2, 4, 2, 1, false}}));
  EXPECT_EQ(e.condition->function, &noop_kernel);
  EXPECT_EQ(e.condition->args.res_positions, (std::vector<std::size_t>{0}))
      << "condition arguments are all kept";
}

TEST(Compile, ConditionCacheCopiesTheComparison) {
  Node n = node(1, "n", 2, {dep(0)});
  n.condition =
      NodeCondition{CondOp::Neq, CmTypes::make_i64(-3), "noop", {conditional(ref(0)), res(0)}};
  const GraphCompiled g = compile_nodes({node(0, "src", 2), std::move(n)});
  const NodeConditionCache& cond = *g.node_cache[1].condition;
  EXPECT_EQ(cond.op, CondOp::Neq);
  EXPECT_EQ(cond.value, CmTypes::make_i64(-3));
  EXPECT_EQ(cond.args.index_positions, (std::vector<std::size_t>{0}));
  EXPECT_EQ(cond.args.res_positions, (std::vector<std::size_t>{1}));
}

TEST(Compile, DisablingArgTemplatesTurnsEveryNodeOff) {
  const auto nodes = [] { return std::vector<Node>{node(0, "a", 4), node(1, "b", 4, {res(0)})}; };
  {
    ScopedEnv unset(kDisableArgTemplatesEnv, std::nullopt);
    const GraphCompiled g = compile_nodes(nodes());
    EXPECT_TRUE(g.node_cache[0].use_arg_template);
    EXPECT_TRUE(g.node_cache[1].use_arg_template);
  }
  {
    ScopedEnv empty(kDisableArgTemplatesEnv, "");
    const GraphCompiled g = compile_nodes(nodes());
    EXPECT_FALSE(g.node_cache[0].use_arg_template);
    EXPECT_FALSE(g.node_cache[1].use_arg_template);
  }
}

struct Flags {
  const char* name;
  bool result_consumed;
  bool no_conditional_successors;
  bool one_to_one;
};

TEST(Compile, SuccessorFlags) {
  const Arg gating = conditional(literal(CmTypes::make_i32(1)));
  Node gated = node(10, "gated", 4, {dep(9)});
  gated.condition = gate();
  Node cond_reader = node(14, "cond_reader", 4, {dep(13)});
  cond_reader.condition = gate({res(13)});
  std::vector<Node> nodes{
      node(0, "src4", 4),
      node(1, "src1", 1),
      node(2, "barrier_src", 4),
      node(3, "same", 4, {res(0)}),
      node(4, "two_res", 4, {res(0), res(0, {1})}),
      node(5, "diff_factor", 2, {res(0)}),
      node(6, "factor1", 1, {res(1)}),
      node(7, "with_barrier", 4, {res(0), barrier(2)}),
      node(8, "arg_gated", 4, {res(0), gating}),
      node(9, "feeds_gate", 4, {res(0)}),
      std::move(gated),
      node(11, "feeds_arg_gate", 4, {res(0)}),
      node(12, "arg_gated_res", 4, {res(11), gating}),
      node(13, "dep_only", 4, {dep(0)}),
      std::move(cond_reader),
  };
  const Flags expected[] = {
      {"src4", true, true, false},
      {"src1", true, true, false},
      {"barrier_src", false, true, false},  // read only through a barrier
      {"same", false, true, true},
      {"two_res", false, true, false},
      {"diff_factor", false, true, false},
      {"factor1", false, true, false},
      {"with_barrier", false, true, false},
      {"arg_gated", false, true, false},    // a condition node
      {"feeds_gate", false, false, false},  // its successor has a node-level condition
      {"gated", false, true, false},
      {"feeds_arg_gate", true, true, true},  // an argument condition does not gate the edge
      {"arg_gated_res", false, true, false},
      {"dep_only", true, false, false},  // read by a condition's argument
      {"cond_reader", false, true, false},
  };
  const GraphCompiled g = compile_nodes(std::move(nodes));
  ASSERT_EQ(g.node_cache.size(), std::size(expected));
  for (std::size_t i = 0; i < g.node_cache.size(); ++i) {
    const NodeCacheEntry& e = g.node_cache[i];
    SCOPED_TRACE(e.name);
    ASSERT_EQ(e.name, expected[i].name);
    EXPECT_EQ(e.result_consumed, expected[i].result_consumed);
    EXPECT_EQ(e.no_conditional_successors, expected[i].no_conditional_successors);
    EXPECT_EQ(e.one_to_one, expected[i].one_to_one);
  }
  EXPECT_EQ(g.node_cache[0].successor_count, 8u);
  EXPECT_EQ(g.node_cache[3].successor_count, 0u);
  for (std::size_t i : {8, 10, 12, 14}) EXPECT_TRUE(g.node_cache[i].is_condition) << i;
  for (std::size_t i : {0, 1, 2}) EXPECT_TRUE(g.node_cache[i].is_initial) << i;
  EXPECT_FALSE(g.node_cache[3].is_initial || g.node_cache[3].is_condition);
}

TEST(Compile, TotalsCountConditionTasksApart) {
  Node c = node(2, "c", 5, {dep(1)});
  c.condition = gate();
  Node e = node(4, "e", 6);  // initial and a condition node: counted with the conditions only
  e.condition = gate();
  const GraphCompiled g = compile_nodes({node(0, "a", 3), node(1, "b", 4, {res(0)}), std::move(c),
                                         node(3, "d", 2, {res(0)}), std::move(e)});
  EXPECT_EQ(g.total_tasks_per_frame, 3u + 4u + 2u) << "initial node a counts like the others";
  EXPECT_EQ(g.total_cond_tasks_per_frame, 5u + 6u);
  EXPECT_EQ(g.max_factor, 6u);
  EXPECT_EQ(g.node_count, 5u);
  EXPECT_EQ(g.dep_counts, (std::vector<std::size_t>{0, 3, 4, 3, 0}));
}

TEST(Compile, NetworkSourceNode) {
  auto loaded = from_json_str(R"({"initializations": [], "nodes": [
      {"name": "rx", "function": "noop",
       "args": [{"type": "$res", "predecessor": {"name": "$network", "indexes": "0-7"}}]}],
    "network_config": {"socket_type": "UDP", "num_sockets": 1, "packet_length": 64, "frame_packets": 8,
      "buffer_depth": 4, "address": "127.0.0.1", "start_port": 9000, "extract_packet_func": "noop",
      "id_function": "noop", "index_function": {"function": "noop", "args": []}}})",
                              4);
  ASSERT_TRUE(loaded) << loaded.error();
  const GraphCompiled g = compile(std::move(loaded).value(), group_zero);
  ASSERT_EQ(g.node_count, 2u);
  const NodeCacheEntry& net = g.node_cache[0];
  EXPECT_EQ(net.name, "$network");
  EXPECT_EQ(net.function, &network_source_kernel);
  EXPECT_EQ(net.function_name, "");
  EXPECT_EQ(net.factor, 8u);
  EXPECT_TRUE(net.args.template_values.empty() && net.args.res_positions.empty() &&
              net.args.res_preds.empty());
  EXPECT_FALSE(net.condition);
  EXPECT_EQ(net.pred_last_position, (std::vector<std::size_t>{0}));
  EXPECT_FALSE(net.is_initial);
  EXPECT_FALSE(net.use_arg_template);
  EXPECT_TRUE(net.result_consumed);
  EXPECT_EQ(net.successor_count, 1u);
  EXPECT_FALSE(g.node_cache[1].use_arg_template) << "eight offsets into one instance";
  EXPECT_EQ(g.total_tasks_per_frame, 8u + 1u) << "the network source is counted, not initial";
}

TEST(Compile, NetworkSourceIsNeverOneToOne) {
  // Even shaped like a one-to-one consumer: its instances are packets, not tasks.
  Node net = node(1, std::string(kNetworkNodeName), 4, {res(0)});
  net.function = "";
  const GraphCompiled g = compile_nodes({node(0, "src", 4), std::move(net)});
  EXPECT_FALSE(g.node_cache[1].one_to_one);
  EXPECT_EQ(g.node_cache[1].function, &network_source_kernel);
}

TEST(Compile, WorkerGroupComesFromTheLookup) {
  Node pinned = node(0, "pinned", 2);
  pinned.use_workers = WorkerRangeSpec::range({0, 2});
  Node counted = node(1, "counted", 2);
  counted.use_workers = WorkerRangeSpec::count(4);
  std::vector<std::optional<WorkerRangeSpec>> asked;
  const auto lookup = [&](const std::optional<WorkerRangeSpec>& graph_spec) -> std::size_t {
    asked.push_back(graph_spec);
    return graph_spec && graph_spec->is_range() ? 3 : 0;
  };
  const GraphCompiled g =
      compile(spec_of({std::move(pinned), std::move(counted), node(2, "free")}), lookup);
  EXPECT_EQ(g.node_cache[0].worker_group, 3u);
  EXPECT_EQ(g.node_cache[1].worker_group, 0u);
  EXPECT_EQ(g.node_cache[2].worker_group, 0u);
  EXPECT_EQ(asked, (std::vector<std::optional<WorkerRangeSpec>>{
                       WorkerRangeSpec::range({0, 2}), WorkerRangeSpec::count(4), std::nullopt}));
}

class CompileLog : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(log::install_logger({log::Level::Debug, false, &out_})); }
  void TearDown() override { log::uninstall_logger(); }
  ScopedEnv no_filter_{"RUST_LOG", std::nullopt};
  std::ostringstream out_;
};

TEST_F(CompileLog, OneDebugLinePerNode) {
  compile_nodes({node(0, "a"), node(1, "b", 1, {res(0)})});
  const std::string text = out_.str();
  EXPECT_NE(text.find("Creating node cache entry for node 0 name a"), std::string::npos) << text;
  EXPECT_NE(text.find("Creating node cache entry for node 1 name b"), std::string::npos) << text;
}

struct DeathCase {
  const char* name;
  std::function<GraphSpec()> graph_spec;
  const char* message;
};

TEST(CompileDeathTest, FaultsStopTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto with_condition = [](Node n, NodeCondition condition) {
    n.condition = std::move(condition);
    return n;
  };
  const DeathCase cases[] = {
      {"unknown node function",
       [] {
         Node n = node(0, "n");
         n.function = "x";
         return spec_of({std::move(n)});
       },
       "Function 'x' not found in registry"},
      {"unknown condition function",
       [&] {
         NodeCondition c = gate();
         c.function = "y";
         return spec_of({with_condition(node(0, "n"), c)});
       },
       "Function 'y' not found in registry"},
      {"missing init object",
       [] {
         return spec_of({node(0, "n", 1, {literal(CmTypes::make_i32(1)), ref(9)})});
       },
       "Node 'n' argument 1 refers to init object 9 which does not exist"},
      {"init object without values",
       [] { return spec_of({node(0, "n", 1, {ref(2)})}, objects({std::vector<CmTypes>{}})); },
       "Node 'n' argument 0 refers to init object 2 which holds no value"},
      {"a conditional argument is checked although skipped",
       [] { return spec_of({node(0, "n", 1, {conditional(ref(9))})}); },
       "Node 'n' argument 0 refers to init object 9 which does not exist"},
      {"condition argument",
       [&] { return spec_of({with_condition(node(0, "n"), gate({ref(9)}))}); },
       "Node 'n' condition argument 0 refers to init object 9 which does not exist"},
      {"predecessor that is no node", [] { return spec_of({node(0, "n", 1, {res(7)})}); },
       "Node 'n' argument 0 refers to predecessor 7 which does not exist"},
      {"window before instance 0",
       [] {
         return spec_of({node(0, "src", 4), node(1, "n", 2, {res(0, {-1, 0})})});
       },
       "Node 'n' reads instances -1 to 0 of node 'src' as a window"},
  };
  for (const DeathCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(compile(c.graph_spec(), group_zero), testing::ExitedWithCode(kFatalExitStatus),
                c.message);
  }
}

}  // namespace
}  // namespace arvex
