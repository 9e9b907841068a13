// Loading graph files: names, literals, factors, offsets, init objects, the network source and
// every load error.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "arvex/register_kernel.hpp"
#include "graph/graph_loader.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

// Returns its first argument: shows what an init function was called with.
void echo_first(const CmTypes* args, std::size_t count, CmTypes* result) {
  if (count > 0) *result = args[0];
}
ARVEX_REGISTER_KERNEL("test.echo_first", echo_first);

constexpr std::size_t kWorkers = 4;

GraphSpec load_ok(const std::string& json, std::size_t workers = kWorkers) {
  auto graph_spec = from_json_str(json, workers);
  if (!graph_spec) {
    ADD_FAILURE() << "load failed: " << graph_spec.error() << "\n" << json;
    return {};
  }
  return std::move(graph_spec).value();
}

// A document with the given initializations and nodes (JSON fragments).
std::string doc(const std::string& inits, const std::string& nodes, const std::string& extra = "") {
  return R"({"initializations": [)" + inits + R"(], "nodes": [)" + nodes + "]" + extra + "}";
}

const std::string kSrc = R"({"name": "src", "function": "noop", "factor": 4, "args": []})";

std::string consumer(const std::string& indexes, const std::string& type = "$res") {
  return R"({"name": "c", "function": "noop", "args": [{"type": ")" + type +
         R"(", "predecessor": {"name": "src", "indexes": ")" + indexes + R"("}}]})";
}

TEST(GraphLoader, ExampleGraph) {
  const GraphSpec graph_spec = load_ok(R"({
    "initializations": [{"name": "gain", "args": [{"type": "f32", "value": "0.5"}]}],
    "nodes": [
      {"name": "src", "function": "noop", "factor": 4, "args": []},
      {"name": "scale", "function": "noop", "factor": 4, "args": [
        {"type": "$res", "predecessor": {"name": "src", "indexes": "0"}},
        {"type": "$ref", "value": "gain"}]},
      {"name": "sum", "function": "noop", "args": [
        {"type": "$res", "predecessor": {"name": "scale", "indexes": "0-3"}}]}]})");
  ASSERT_EQ(graph_spec.init_objects.size(), 3u);
  EXPECT_EQ(graph_spec.init_objects[0], std::vector<CmTypes>{CmTypes::make_usize(0)});
  EXPECT_EQ(graph_spec.init_objects[1], std::vector<CmTypes>{CmTypes::make_usize(1)});
  EXPECT_EQ(graph_spec.init_objects[2], std::vector<CmTypes>{CmTypes::make_f32(0.5f)});

  const auto& nodes = graph_spec.graph.nodes();
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[1].args[0].value, CmTypes::make_res(0));
  EXPECT_EQ(nodes[1].args[0].pred->indexes, std::vector<std::int64_t>{0});
  EXPECT_EQ(nodes[1].args[1].value, CmTypes::make_ref(2)) << "a variable stands for its object index";
  EXPECT_FALSE(nodes[1].args[1].pred.has_value());
  EXPECT_EQ(nodes[2].factor, 1u);
  EXPECT_EQ(nodes[2].args[0].pred->node, 1);
  EXPECT_EQ(nodes[2].args[0].pred->indexes, (std::vector<std::int64_t>{0, 1, 2, 3}));
  EXPECT_EQ(graph_spec.graph.initial_nodes(), std::vector<std::uint16_t>{0});
  EXPECT_EQ(graph_spec.graph.dependency_count_vec(), (std::vector<std::size_t>{0, 4, 4}));
  EXPECT_EQ(graph_spec.graph.network_config(), nullptr);
  EXPECT_EQ(graph_spec.graph.post_nodes(), std::nullopt);
}

TEST(GraphLoader, PredecessorOffsets) {
  const std::string n3 = R"({"name": "n", "args": [{"type": "u8", "value": "3"}]})";
  const std::string neg = R"({"name": "m", "args": [{"type": "i64", "value": "-1"}]})";
  struct Case {
    std::string indexes;
    std::vector<std::int64_t> offsets;
  };
  const Case cases[] = {
      {"0", {0}},         {"3", {3}},         {"+2", {2}},           {"n", {3}},          {"1-3", {1, 2, 3}},
      {"1-n", {1, 2}},    {"n-4", {3, 4}},    {"5-2", {}},           {"2-2", {2}},        {"1-3-9", {1, 2, 3}},
      {"0, 2 ,5", {0, 2, 5}}, {"-1,0,+1", {-1, 0, 1}}, {"$workers", {1}}, {"$index", {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.indexes);
    const GraphSpec graph_spec = load_ok(doc(n3 + "," + neg, kSrc + "," + consumer(c.indexes)));
    ASSERT_EQ(graph_spec.graph.nodes().size(), 2u);
    EXPECT_EQ(graph_spec.graph.nodes()[1].args[0].pred->indexes, c.offsets);
  }
}

TEST(GraphLoader, ArgumentValues) {
  struct Case {
    std::string arg;
    CmTypes value;
  };
  const Case cases[] = {
      {R"({"type": "usize", "value": "$index"})", CmTypes::make_usize(0)},
      {R"({"type": "$ref", "value": "$index"})", CmTypes::make_ref(0)},
      {R"({"type": "$ref", "value": "$workers"})", CmTypes::make_ref(1)},
      {R"({"type": "$ref", "value": "gain"})", CmTypes::make_ref(2)},
      {R"({"type": "f64", "value": "2.5"})", CmTypes::make_f64(2.5)},
      {R"({"type": "String", "value": "later"})", CmTypes::make_string("later")},
      {R"({"type": "None"})", CmTypes::none()},
      {R"({"type": "i32"})", CmTypes::none()},
      {R"({"type": "$dep", "predecessor": {"name": "src", "indexes": "0"}})", CmTypes::make_dep(0)},
      {R"({"type": "$barrier", "value": "ignored", "predecessor": {"name": "src", "indexes": "0"}})", CmTypes::make_barrier("0")},
      {R"({"type": "i32", "value": "7", "condition": {"operation": "Gt", "value": "3", "value_type": "i32"}})", CmTypes::make_i32(7)},
  };
  const std::string gain = R"({"name": "gain", "args": [{"type": "f32", "value": "0.5"}]})";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    const GraphSpec graph_spec = load_ok(doc(gain, kSrc + R"(, {"name": "n", "function": "noop", "args": [)" + c.arg + "]}"));
    ASSERT_EQ(graph_spec.graph.nodes().size(), 2u);
    EXPECT_EQ(graph_spec.graph.nodes()[1].args[0].value, c.value) << graph_spec.graph.nodes()[1].args[0].value.debug_string();
  }
}

TEST(GraphLoader, NodeFields) {
  const GraphSpec graph_spec = load_ok(doc(R"({"name": "g", "args": [{"type": "u16", "value": "2"}]})", kSrc + R"(,
      {"name": "full", "function": "kernel.x", "factor": "$workers", "group_size": "g", "priority": "high",
       "use_workers": "0-1", "loop": {"name": "l", "factor": 3},
       "loop_args": [{"type": "$res", "predecessor": {"name": "src", "indexes": "0", "group_by": "g"}}],
       "condition": {"operation": "Neq", "value": "5", "value_type": "u8", "function": "cond.fn",
                     "args": [{"type": "bool", "value": "true"}]},
       "args": [{"type": "$barrier", "predecessor": {"name": "src", "indexes": "0-3", "group_by": 2}}]},
      {"name": "h", "function": "noop", "priority": "HIGH", "use_workers": " 4 ", "args": []},
      {"name": "l", "function": "noop", "priority": "low", "args": []})"));
  const Node& n = graph_spec.graph.nodes()[1];
  EXPECT_EQ(n.name, "full");
  EXPECT_EQ(n.function, "kernel.x");
  EXPECT_EQ(n.factor, kWorkers);
  EXPECT_EQ(n.group_size, 2u);
  EXPECT_EQ(n.priority, Priority::High);
  EXPECT_EQ(n.use_workers->to_string(), "workers 0-1");
  ASSERT_TRUE(n.loop);
  EXPECT_EQ(n.loop->name, "l");
  EXPECT_EQ(n.loop->factor, 3u);
  ASSERT_TRUE(n.loop_args);
  EXPECT_EQ((*n.loop_args)[0].pred->group_by, 2u);
  ASSERT_TRUE(n.condition);
  EXPECT_EQ(n.condition->op, CondOp::Neq);
  EXPECT_EQ(n.condition->value, CmTypes::make_u8(5));
  EXPECT_EQ(n.condition->function, "cond.fn");
  EXPECT_EQ(n.condition->args[0].value, CmTypes::make_bool(true));
  EXPECT_EQ(n.args[0].pred->group_by, 2u);
  EXPECT_EQ(graph_spec.graph.condition_nodes(), std::set<std::uint16_t>{1});
  EXPECT_EQ(graph_spec.graph.nodes()[2].priority, Priority::Normal) << "priority names are exact";
  EXPECT_EQ(graph_spec.graph.nodes()[2].use_workers->to_string(), "4 workers");
  EXPECT_EQ(graph_spec.graph.nodes()[3].priority, Priority::Low);
}

TEST(GraphLoader, WorkersFactorAndRepeatedNames) {
  const GraphSpec graph_spec = load_ok(doc("", R"(
      {"name": "a", "function": "noop", "factor": "$workers", "args": []},
      {"name": "a", "function": "noop", "factor": 2, "args": []},
      {"name": "b", "function": "noop", "args": [{"type": "$res", "predecessor": {"name": "a", "indexes": "0-1"}}]})"),
                                 7);
  EXPECT_EQ(graph_spec.graph.nodes()[0].factor, 7u);
  EXPECT_EQ(graph_spec.graph.nodes()[2].args[0].pred->node, 1) << "a later node of the same name replaces the earlier";
}

TEST(GraphLoader, InitializationObjects) {
  const GraphSpec graph_spec = load_ok(doc(R"(
      {"name": "three", "factor": 3, "args": [{"type": "f64", "value": "2.5"}]},
      {"name": "nothing", "factor": 2, "function": "noop", "args": [{"type": "i32", "value": "1"}]},
      {"name": "idx", "factor": 3, "function": "test.echo_first", "args": [{"type": "usize", "value": "$index"}]},
      {"name": "wk", "function": "test.echo_first", "args": [{"type": "usize", "value": "$workers"}]},
      {"name": "copy", "factor": 2, "function": "test.echo_first", "args": [{"type": "f64", "value": "three"}]},
      {"name": "lit", "function": "test.echo_first", "args": [{"type": "String", "value": "later"}]},
      {"name": "sized", "factor": "idx", "args": [{"type": "char", "value": "x"}]},
      {"name": "later", "args": [{"type": "u8", "value": "1"}]},
      {"name": "three", "args": [{"type": "u8", "value": "9"}]})",
                                     R"({"name": "n", "function": "noop", "factor": "three", "args": []})"));
  const InitObjects& o = graph_spec.init_objects;
  ASSERT_EQ(o.size(), 11u);
  EXPECT_EQ(o[2], std::vector<CmTypes>(3, CmTypes::make_f64(2.5)));
  EXPECT_EQ(o[3], std::vector<CmTypes>(2, CmTypes::none()));
  EXPECT_EQ(o[4], (std::vector<CmTypes>{CmTypes::make_usize(0), CmTypes::make_usize(1), CmTypes::make_usize(2)}));
  EXPECT_EQ(o[5], std::vector<CmTypes>{CmTypes::make_usize(kWorkers)});
  EXPECT_EQ(o[6], std::vector<CmTypes>(2, CmTypes::make_f64(2.5))) << "a variable gives its first value";
  EXPECT_EQ(o[7], std::vector<CmTypes>{CmTypes::make_string("later")}) << "a later initialization is no variable yet";
  EXPECT_TRUE(o[8].empty()) << "the factor 'idx' reads the first value, 0";
  EXPECT_EQ(graph_spec.graph.nodes()[0].factor, 9u) << "the second 'three' replaces the first for later lookups";
}

TEST(GraphLoader, NetworkSourceNode) {
  const GraphSpec graph_spec = load_ok(doc(R"({"name": "addr", "args": [{"type": "String", "value": "127.0.0.1"}]},
                                        {"name": "fp", "args": [{"type": "u32", "value": "16"}]})",
                                     R"({"name": "rx", "function": "noop", "factor": "fp",
                                         "args": [{"type": "$res", "predecessor": {"name": "$network", "indexes": "0"}}]})",
                                     R"(, "network_config": {"socket_type": "Udp", "num_sockets": 2, "packet_length": 64,
                                         "frame_packets": "fp", "address": "addr", "start_port": 9000,
                                         "extract_packet_func": "noop", "id_function": "not.registered",
                                         "index_function": {"function": "noop", "args": [{"type": "usize", "value": "3"}]}})"));
  const auto& nodes = graph_spec.graph.nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].id, 0);
  EXPECT_EQ(nodes[0].name, "$network");
  EXPECT_EQ(nodes[0].function, "");
  EXPECT_EQ(nodes[0].factor, 16u);
  EXPECT_TRUE(nodes[0].args.empty());
  EXPECT_EQ(nodes[1].id, 1);
  EXPECT_EQ(nodes[1].args[0].value, CmTypes::make_res(0));
  EXPECT_EQ(graph_spec.graph.initial_nodes(), std::vector<std::uint16_t>{}) << "the network source is never an initial node";

  const GraphNetworkConfig& net = *graph_spec.graph.network_config();
  EXPECT_EQ(net.address, "127.0.0.1");
  EXPECT_EQ(net.num_sockets, 2u);
  EXPECT_EQ(net.packet_length, 64u);
  EXPECT_EQ(net.frame_packets, 16u);
  EXPECT_EQ(net.buffer_depth, 128u);
  EXPECT_EQ(net.start_port, 9000u);
  EXPECT_TRUE(net.extract_packet_func.has_value());
  EXPECT_FALSE(net.id_function.has_value()) << "an unregistered name leaves the function absent";
  EXPECT_TRUE(net.index_function.has_value());
  ASSERT_TRUE(net.index_args);
  EXPECT_EQ((*net.index_args)[0].value, CmTypes::make_usize(3));
}

TEST(GraphLoader, LiteralAddressWithoutVariable) {
  const GraphSpec graph_spec = load_ok(doc("", "", R"(, "network_config": {"socket_type": "UDP", "num_sockets": 1,
      "packet_length": 8, "frame_packets": 1, "buffer_depth": 4, "address": "0.0.0.0", "start_port": 1,
      "extract_packet_func": "a", "id_function": "b", "index_function": {"function": "c", "args": []}})"));
  EXPECT_EQ(graph_spec.graph.network_config()->address, "0.0.0.0");
  EXPECT_EQ(graph_spec.graph.network_config()->buffer_depth, 4u);
}

TEST(GraphLoader, PostNodesSeeEveryNodeAndAreNotPredecessors) {
  const GraphSpec graph_spec = load_ok(doc("", kSrc + R"(, {"name": "last", "function": "noop", "args": []})",
                                     R"(, "post_nodes": [
      {"name": "p0", "function": "noop", "args": [{"type": "$res", "predecessor": {"name": "last", "indexes": "0"}}]},
      {"name": "p1", "function": "noop", "args": []}])"));
  ASSERT_TRUE(graph_spec.graph.post_nodes());
  const auto& post = *graph_spec.graph.post_nodes();
  ASSERT_EQ(post.size(), 2u);
  EXPECT_EQ(post[0].id, 0);
  EXPECT_EQ(post[1].id, 1);
  EXPECT_EQ(post[0].args[0].pred->node, 1);
  EXPECT_TRUE(graph_spec.graph.successors().empty()) << "post nodes add no edges";

  const auto unknown = from_json_str(doc("", kSrc, R"(, "post_nodes": [
      {"name": "p0", "function": "noop", "args": []},
      {"name": "p1", "function": "noop", "args": [{"type": "$res", "predecessor": {"name": "p0", "indexes": "0"}}]}])"),
                                     kWorkers);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error(), "Unknown predecessor node 'p0'") << "post-node names are never entered";
}

struct ErrorCase {
  const char* name;
  std::string json;
  std::string error;
};

std::vector<ErrorCase> error_cases() {
  const std::string s = R"({"name": "s", "args": [{"type": "String", "value": "text"}]})";
  const std::string neg = R"({"name": "neg", "args": [{"type": "i32", "value": "-2"}]})";
  const std::string empty = R"({"name": "z", "factor": 0, "args": [{"type": "u8", "value": "1"}]})";
  const std::string net = R"(, "network_config": {"socket_type": "tcp", "num_sockets": 1, "packet_length": 8,
      "frame_packets": 1, "address": "a", "start_port": 1, "extract_packet_func": "a", "id_function": "b",
      "index_function": {"function": "c", "args": []}})";
  const std::string net_bad_address = R"(, "network_config": {"socket_type": "udp", "num_sockets": 1, "packet_length": 8,
      "frame_packets": 1, "address": "neg", "start_port": 1, "extract_packet_func": "a", "id_function": "b",
      "index_function": {"function": "c", "args": []}})";
  const auto node_with = [](const std::string& fields) {
    return R"({"name": "n", "function": "noop", "args": [])" + fields + "}";
  };
  return {
      {"reader error", R"({"initializations": []})", "missing field `nodes` at line 1 column 23"},
      {"predecessor listed later",
       doc("", R"({"name": "a", "function": "noop", "args": [{"type": "$res", "predecessor": {"name": "b", "indexes": "0"}}]},
                 {"name": "b", "function": "noop", "args": []})"),
       "Unknown predecessor node 'b'"},
      {"bad list item", doc("", kSrc + "," + consumer("0,x")), "Invalid index 'x' in predecessor 'src'"},
      {"bad list item trimmed", doc("", kSrc + "," + consumer("0, 1.5 ")), "Invalid index '1.5' in predecessor 'src'"},
      {"unknown range start", doc("", kSrc + "," + consumer("x-3")), "Invalid range start 'x' in predecessor 'src'"},
      {"negative single offset is a range", doc("", kSrc + "," + consumer("-1")), "Invalid range start '' in predecessor 'src'"},
      {"unknown range end", doc("", kSrc + "," + consumer("1-y")), "Invalid range end 'y' in predecessor 'src'"},
      {"range start without number", doc(s, kSrc + "," + consumer("s-3")), "Range start 's' is not a valid non-negative integer"},
      {"range end without number", doc(neg, kSrc + "," + consumer("0-neg")), "Range end 'neg' is not a valid non-negative integer"},
      {"unknown single index", doc("", kSrc + "," + consumer("q")), "Invalid index 'q' in predecessor 'src'"},
      {"single index without number", doc(s, kSrc + "," + consumer("s")), "Index ref 's' is not a valid non-negative integer"},
      {"range too long", doc("", kSrc + "," + consumer("0-99999999999")),
       "Range '0-99999999999' in predecessor 'src' names more than 16777216 offsets"},
      {"empty variable as index", doc(empty, kSrc + "," + consumer("z")), "Variable 'z' holds no values (its factor is 0)"},
      {"argument type for a predecessor", doc("", kSrc + "," + consumer("0", "i33")), "Unable to parse type 'i33' with value '0'"},
      {"argument literal", doc("", R"({"name": "n", "function": "noop", "args": [{"type": "u8", "value": "300"}]})"),
       "invalid u8: '300'"},
      {"argument condition operation",
       doc("", R"({"name": "n", "function": "noop", "args": [{"type": "i32", "value": "1",
                   "condition": {"operation": "eq", "value": "1", "value_type": "i32"}}]})"),
       "Invalid condition operation 'eq'"},
      {"argument condition value",
       doc("", R"({"name": "n", "function": "noop", "args": [{"type": "i32", "value": "1",
                   "condition": {"operation": "Eq", "value": "x", "value_type": "i32"}}]})"),
       "invalid i32: 'x'"},
      {"node condition operation",
       doc("", node_with(R"(, "condition": {"operation": "Ge", "value": "1", "value_type": "i32", "function": "f", "args": []})")),
       "Invalid condition operation 'Ge'"},
      {"node condition value",
       doc("", node_with(R"(, "condition": {"operation": "Lt", "value": "x", "value_type": "i32", "function": "f", "args": []})")),
       "Failed to parse condition value 'x': invalid i32: 'x'"},
      {"use_workers", doc("", node_with(R"(, "use_workers": "abc")")),
       "Invalid use_workers spec 'abc': Invalid use_workers format 'abc'. Expected count (e.g., '4') or range (e.g., '0-7')"},
      {"use_workers range", doc("", node_with(R"(, "use_workers": "3-1")")), "Invalid use_workers spec '3-1': Invalid range '3-1': start 3 > end 1"},
      {"group_size 0", doc("", node_with(R"(, "group_size": 0)")), "Node 'n' has a group_size of 0; it must be at least 1"},
      {"factor names no variable", doc("", node_with(R"(, "factor": "3")")), "Variable '3' not found or does not contain a number"},
      {"factor variable without number", doc(s, node_with(R"(, "factor": "s")")), "Variable 's' found but does not contain a valid number"},
      {"factor from a negative number", doc(neg, node_with(R"(, "factor": "neg")")), "Variable 'neg' found but does not contain a valid number"},
      {"factor from an empty object", doc(empty, node_with(R"(, "factor": "z")")), "Variable 'z' holds no values (its factor is 0)"},
      {"loop factor", doc("", node_with(R"(, "loop": {"name": "l", "factor": "nope"})")), "Variable 'nope' not found or does not contain a number"},
      {"socket type", doc("", "", net), "Unsupported socket type 'tcp'. Only 'udp' is currently supported."},
      {"network address not text", doc(neg, "", net_bad_address), "Network address must be a String type in init_objects"},
      {"init function missing", doc(R"({"name": "i", "function": "nope", "args": []})", ""), "Function 'nope' not found in registry"},
      {"init literal",
       doc(R"({"name": "i", "args": [{"type": "i32", "value": "x"}]})", ""),
       "No init function for type 'i32' with value 'x': invalid i32: 'x'. Create an init function to handle this type."},
      {"init function argument literal",
       doc(R"({"name": "i", "function": "noop", "args": [{"type": "bool", "value": "yes"}]})", ""),
       "No init function for type 'bool' with value 'yes': invalid bool: 'yes'. Create an init function to handle this type."},
      {"init without value", doc(R"({"name": "i", "args": []})", ""),
       "Initialization 'i' has neither a function nor an argument to take its value from"},
      {"init too large", doc(R"({"name": "i", "factor": 100000000, "args": [{"type": "u8", "value": "1"}]})", ""),
       "Initialization 'i' asks for 100000000 values; at most 16777216 are supported"},
  };
}

TEST(GraphLoaderErrors, Table) {
  for (const auto& c : error_cases()) {
    SCOPED_TRACE(c.name);
    const auto graph_spec = from_json_str(c.json, kWorkers);
    ASSERT_FALSE(graph_spec) << c.json;
    EXPECT_EQ(graph_spec.error(), c.error);
  }
}

TEST(GraphLoaderErrors, TooManyNodes) {
  std::string nodes;
  for (int i = 0; i < 65536; ++i) nodes += (i ? "," : "") + std::string(R"({"name":"n","function":"noop","args":[]})");
  const std::string net = R"(, "network_config": {"socket_type": "udp", "num_sockets": 1, "packet_length": 8,
      "frame_packets": 1, "address": "a", "start_port": 1, "extract_packet_func": "a", "id_function": "b",
      "index_function": {"function": "c", "args": []}})";
  EXPECT_TRUE(from_json_str(doc("", nodes), kWorkers)) << "65536 nodes fit 16-bit ids";
  const auto graph_spec = from_json_str(doc("", nodes, net), kWorkers);
  ASSERT_FALSE(graph_spec);
  EXPECT_EQ(graph_spec.error(), "The graph has 65537 nodes; at most 65536 are supported");
}

TEST(GraphLoaderFiles, MissingFile) {
  const auto graph_spec = from_json("/nonexistent/graph.json", kWorkers);
  ASSERT_FALSE(graph_spec);
  EXPECT_EQ(graph_spec.error(), "Cannot open graph file '/nonexistent/graph.json': No such file or directory");
}

TEST(GraphLoaderFiles, BundledExamplesLoad) {
  int loaded = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ARVEX_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().string());
    const auto graph_spec = from_json(entry.path().string(), kWorkers);
    EXPECT_TRUE(graph_spec) << graph_spec.error();
    ++loaded;
  }
  EXPECT_GT(loaded, 0);
}

using GraphLoaderLog = test_support::LogCaptureTest;

TEST_F(GraphLoaderLog, ReportsWhatItBuilds) {
  (void)load_ok(doc(R"({"name": "gain", "args": [{"type": "f32", "value": "0.5"}]})", kSrc,
                    R"(, "post_nodes": [{"name": "flush", "function": "noop", "args": []}])"));
  const std::string text = logged();
  for (const char* expected : {"arvex_core::debug: Initializing object: gain",
                               "arvex_core::debug: no network_config found, skipping network receiver setup",
                               "arvex_core::debug: Adding initial node: src with id 0 and factor 4",
                               "arvex_core::debug: Adding post-node: flush"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n--- in ---\n" << text;
  }
  clear_log();
  (void)load_ok(doc("", "", R"(, "network_config": {"socket_type": "udp", "num_sockets": 2, "packet_length": 8,
      "frame_packets": 1, "address": "10.0.0.1", "start_port": 5000, "extract_packet_func": "ex", "id_function": "b",
      "index_function": {"function": "c", "args": []}})"));
  EXPECT_TRUE(logged("INFO arvex_core::graph_gen: network configuration parsed socket_type=udp num_sockets=2 "
                     "packet_length=8 buffer_depth=128 address=10.0.0.1 start_port=5000 extract_packet_func=ex"))
      << logged();
}

}  // namespace
}  // namespace arvex
