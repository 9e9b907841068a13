// Reading graph file documents into records: every key and default, the ways a document can be
// wrong, and the exact line and column each message points at.
#include "graph/graph_file_reader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

namespace arvex {
namespace {

Factor count(std::uint64_t n) {
  return Factor{n};
}
Factor named(std::string text) {
  return Factor{std::move(text)};
}

GraphFile read_ok(std::string_view document) {
  auto result = read_graph_file(document);
  if (!result) {
    ADD_FAILURE() << "unexpected error: " << result.error();
    return {};
  }
  return std::move(result).value();
}

std::string error_of(std::string_view document) {
  auto result = read_graph_file(document);
  return result ? std::string("<read without error>") : result.error();
}

// ---- Documents that read -------------------------------------------------------------------

TEST(GraphFileReader, NodesAloneIsAWholeDocument) {
  const GraphFile file = read_ok(R"({"nodes": []})");
  EXPECT_TRUE(file.initializations.empty());
  EXPECT_TRUE(file.nodes.empty());
  EXPECT_FALSE(file.post_nodes.has_value());
  EXPECT_FALSE(file.network_config.has_value());
}

TEST(GraphFileReader, EveryRecordAndOptionalKey) {
  const GraphFile file = read_ok(R"({
    "initializations": [
      {"name": "gain", "factor": 2, "function": "make_gain",
       "args": [{"type": "f32", "value": "0.5"}, {"type": "i32", "value": "3"}]}
    ],
    "nodes": [{
      "name": "scale", "factor": "gain", "function": "mul",
      "loop": {"name": "iter", "factor": 5},
      "loop_args": [{"type": "i32", "value": "1"}],
      "args": [{
        "type": "$res", "value": "kept",
        "condition": {"operation": "Gt", "value": "2", "value_type": "i32"},
        "predecessor": {"name": "$network", "indexes": "0-3", "group_by": 4}
      }],
      "condition": {"operation": "Eq", "value": "1", "value_type": "u8", "function": "check",
                    "args": [{"type": "$factor"}]},
      "priority": "high", "group_size": "$workers", "use_workers": "0-7"
    }],
    "post_nodes": [{"name": "flush", "function": "flush_all", "args": []}],
    "network_config": {
      "socket_type": "UDP", "num_sockets": 2, "packet_length": "len", "frame_packets": 16,
      "buffer_depth": 256, "address": "127.0.0.1", "start_port": 5000,
      "extract_packet_func": "extract", "id_function": "frame_id",
      "index_function": {"function": "packet_index", "args": [{"type": "u32", "value": "8"}]}
    }
  })");

  ASSERT_EQ(file.initializations.size(), 1u);
  const InitJson& init = file.initializations[0];
  EXPECT_EQ(init.name, "gain");
  EXPECT_EQ(init.factor, count(2));
  EXPECT_EQ(init.function, "make_gain");
  ASSERT_EQ(init.args.size(), 2u);
  EXPECT_EQ(init.args[0].type, "f32");
  EXPECT_EQ(init.args[0].value, "0.5");
  EXPECT_EQ(init.args[1].type, "i32");
  EXPECT_EQ(init.args[1].value, "3");

  ASSERT_EQ(file.nodes.size(), 1u);
  const NodeJson& node = file.nodes[0];
  EXPECT_EQ(node.name, "scale");
  EXPECT_EQ(node.factor, named("gain"));
  EXPECT_EQ(node.function, "mul");
  ASSERT_TRUE(node.loop.has_value());
  EXPECT_EQ(node.loop->name, "iter");
  EXPECT_EQ(node.loop->factor, count(5));
  ASSERT_TRUE(node.loop_args.has_value());
  ASSERT_EQ(node.loop_args->size(), 1u);
  EXPECT_EQ((*node.loop_args)[0].type, "i32");
  EXPECT_EQ((*node.loop_args)[0].value, "1");
  ASSERT_EQ(node.args.size(), 1u);
  const ArgJson& arg = node.args[0];
  EXPECT_EQ(arg.type, "$res");
  EXPECT_EQ(arg.value, "kept");
  ASSERT_TRUE(arg.condition.has_value());
  EXPECT_EQ(arg.condition->operation, "Gt");
  EXPECT_EQ(arg.condition->value, "2");
  EXPECT_EQ(arg.condition->value_type, "i32");
  ASSERT_TRUE(arg.predecessor.has_value());
  EXPECT_EQ(arg.predecessor->name, "$network");
  EXPECT_EQ(arg.predecessor->indexes, "0-3");
  EXPECT_EQ(arg.predecessor->group_by, count(4));
  ASSERT_TRUE(node.condition.has_value());
  EXPECT_EQ(node.condition->operation, "Eq");
  EXPECT_EQ(node.condition->value, "1");
  EXPECT_EQ(node.condition->value_type, "u8");
  EXPECT_EQ(node.condition->function, "check");
  ASSERT_EQ(node.condition->args.size(), 1u);
  EXPECT_EQ(node.condition->args[0].type, "$factor");
  EXPECT_FALSE(node.condition->args[0].value.has_value());
  EXPECT_EQ(node.priority, "high");
  EXPECT_EQ(node.group_size, named("$workers"));
  EXPECT_EQ(node.use_workers, "0-7");

  ASSERT_TRUE(file.post_nodes.has_value());
  ASSERT_EQ(file.post_nodes->size(), 1u);
  EXPECT_EQ((*file.post_nodes)[0].name, "flush");
  EXPECT_EQ((*file.post_nodes)[0].function, "flush_all");
  EXPECT_TRUE((*file.post_nodes)[0].args.empty());

  ASSERT_TRUE(file.network_config.has_value());
  const NetworkConfigJson& net = *file.network_config;
  EXPECT_EQ(net.socket_type, "UDP");
  EXPECT_EQ(net.num_sockets, count(2));
  EXPECT_EQ(net.packet_length, named("len"));
  EXPECT_EQ(net.frame_packets, count(16));
  EXPECT_EQ(net.buffer_depth, 256u);
  EXPECT_EQ(net.address, "127.0.0.1");
  EXPECT_EQ(net.start_port, count(5000));
  EXPECT_EQ(net.extract_packet_func, "extract");
  EXPECT_EQ(net.id_function, "frame_id");
  EXPECT_EQ(net.index_function.function, "packet_index");
  ASSERT_EQ(net.index_function.args.size(), 1u);
  EXPECT_EQ(net.index_function.args[0].type, "u32");
  EXPECT_EQ(net.index_function.args[0].value, "8");
}

TEST(GraphFileReader, ExampleGraph) {
  const GraphFile file = read_ok(R"({
    "initializations": [{"name": "gain", "args": [{"type": "f32", "value": "0.5"}]}],
    "nodes": [
      {"name": "src", "function": "noop", "factor": 4, "args": []},
      {"name": "scale", "function": "noop", "factor": 4, "args": [
        {"type": "$res", "predecessor": {"name": "src", "indexes": "0"}},
        {"type": "$ref", "value": "gain"}
      ]},
      {"name": "sum", "function": "noop", "args": [
        {"type": "$res", "predecessor": {"name": "scale", "indexes": "0-3"}}
      ]}
    ]
  })");

  ASSERT_EQ(file.initializations.size(), 1u);
  EXPECT_EQ(file.initializations[0].name, "gain");
  EXPECT_EQ(file.initializations[0].factor, count(1));
  EXPECT_FALSE(file.initializations[0].function.has_value());
  ASSERT_EQ(file.initializations[0].args.size(), 1u);
  EXPECT_EQ(file.initializations[0].args[0].type, "f32");
  EXPECT_EQ(file.initializations[0].args[0].value, "0.5");

  ASSERT_EQ(file.nodes.size(), 3u);
  const NodeJson& src = file.nodes[0];
  const NodeJson& scale = file.nodes[1];
  const NodeJson& sum = file.nodes[2];
  EXPECT_EQ(src.name, "src");
  EXPECT_EQ(src.function, "noop");
  EXPECT_EQ(src.factor, count(4));
  EXPECT_TRUE(src.args.empty());

  EXPECT_EQ(scale.name, "scale");
  EXPECT_EQ(scale.factor, count(4));
  ASSERT_EQ(scale.args.size(), 2u);
  EXPECT_EQ(scale.args[0].type, "$res");
  ASSERT_TRUE(scale.args[0].predecessor.has_value());
  EXPECT_EQ(scale.args[0].predecessor->name, "src");
  EXPECT_EQ(scale.args[0].predecessor->indexes, "0");
  EXPECT_FALSE(scale.args[0].predecessor->group_by.has_value());
  EXPECT_EQ(scale.args[1].type, "$ref");
  EXPECT_EQ(scale.args[1].value, "gain");
  EXPECT_FALSE(scale.args[1].predecessor.has_value());

  EXPECT_EQ(sum.name, "sum");
  EXPECT_EQ(sum.factor, count(1));
  ASSERT_EQ(sum.args.size(), 1u);
  EXPECT_EQ(sum.args[0].type, "$res");
  ASSERT_TRUE(sum.args[0].predecessor.has_value());
  EXPECT_EQ(sum.args[0].predecessor->name, "scale");
  EXPECT_EQ(sum.args[0].predecessor->indexes, "0-3");
}

// Optional keys left out and optional keys written as null read the same: none, or the default
// where the key has one.
class GraphFileAbsentOrNull : public testing::TestWithParam<std::string> {};

TEST_P(GraphFileAbsentOrNull, TakesTheDefaults) {
  const GraphFile file = read_ok(GetParam());
  EXPECT_TRUE(file.initializations.empty());
  EXPECT_FALSE(file.post_nodes.has_value());
  ASSERT_TRUE(file.network_config.has_value());
  EXPECT_EQ(file.network_config->buffer_depth, 128u);

  ASSERT_EQ(file.nodes.size(), 1u);
  const NodeJson& node = file.nodes[0];
  EXPECT_EQ(node.factor, count(1));
  ASSERT_TRUE(node.loop.has_value());
  EXPECT_EQ(node.loop->factor, count(1));
  EXPECT_FALSE(node.loop_args.has_value());
  EXPECT_FALSE(node.condition.has_value());
  EXPECT_FALSE(node.priority.has_value());
  EXPECT_FALSE(node.group_size.has_value());
  EXPECT_FALSE(node.use_workers.has_value());
  ASSERT_EQ(node.args.size(), 1u);
  EXPECT_FALSE(node.args[0].value.has_value());
  EXPECT_FALSE(node.args[0].condition.has_value());
  ASSERT_TRUE(node.args[0].predecessor.has_value());
  EXPECT_FALSE(node.args[0].predecessor->group_by.has_value());
}

constexpr std::string_view kNetwork =
    R"("socket_type": "udp", "num_sockets": 1, "packet_length": 64, "frame_packets": 1,
       "address": "0.0.0.0", "start_port": 9000, "extract_packet_func": "e", "id_function": "i",
       "index_function": {"function": "x", "args": []})";

INSTANTIATE_TEST_SUITE_P(
    GraphFileDefaults, GraphFileAbsentOrNull,
    testing::Values(std::string(R"({"nodes": [{"name": "a", "function": "f", "loop": {"name": "l"},
            "args": [{"type": "$res", "predecessor": {"name": "b", "indexes": "0"}}]}],
          "network_config": {)") +
                        std::string(kNetwork) + "}}",
                    std::string(R"({"initializations": null, "post_nodes": null,
          "nodes": [{"name": "a", "factor": null, "function": "f", "loop": {"name": "l", "factor": null},
            "loop_args": null, "condition": null, "priority": null, "group_size": null, "use_workers": null,
            "args": [{"type": "$res", "value": null, "condition": null,
                      "predecessor": {"name": "b", "indexes": "0", "group_by": null}}]}],
          "network_config": {"buffer_depth": null, )") +
                        std::string(kNetwork) + "}}"),
    [](const testing::TestParamInfo<std::string>& param) {
      return param.index == 0 ? "absent" : "null";
    });

TEST(GraphFileReader, NullNetworkConfigAndPostNodesMeanNone) {
  const GraphFile file = read_ok(R"({"nodes": [], "network_config": null, "post_nodes": null})");
  EXPECT_FALSE(file.network_config.has_value());
  EXPECT_FALSE(file.post_nodes.has_value());
}

TEST(GraphFileReader, UnknownKeysAreSkippedWithTheirWholeValue) {
  // The skipped values hold known key names, repeats and odd types; none of it may leak in.
  const GraphFile file = read_ok(R"({
    "comment": {"nodes": 5, "nodes": [1, {"name": null}], "deep": [[{"args": {}}]]},
    "Nodes": "case differs, so unknown",
    "comment": "an unknown key may repeat",
    "nodes": [{"name": "a", "function": "f", "args": [{"type": "i32", "note": [true, null, 1.5]}],
               "extra": {"function": 3}}],
    "network_config": null,
    "trailing": -1
  })");
  ASSERT_EQ(file.nodes.size(), 1u);
  EXPECT_EQ(file.nodes[0].name, "a");
  EXPECT_EQ(file.nodes[0].function, "f");
  ASSERT_EQ(file.nodes[0].args.size(), 1u);
  EXPECT_EQ(file.nodes[0].args[0].type, "i32");
  EXPECT_TRUE(file.initializations.empty());
}

TEST(GraphFileReader, TextIsKeptAsDecoded) {
  const GraphFile file =
      read_ok(R"({"nodes": [{"name": "a\"b\u00e9\n", "function": "\ud83d\ude00", "args": []}]})");
  ASSERT_EQ(file.nodes.size(), 1u);
  EXPECT_EQ(file.nodes[0].name, "a\"b\xc3\xa9\n");
  EXPECT_EQ(file.nodes[0].function, "\xf0\x9f\x98\x80");
}

// ---- Factor ---------------------------------------------------------------------------------

struct FactorCase {
  const char* name;
  std::string_view written;
  Factor expected;
};

void PrintTo(const FactorCase& c, std::ostream* os) {
  *os << c.name;
}

class GraphFileFactorForms : public testing::TestWithParam<FactorCase> {};

TEST_P(GraphFileFactorForms, ReadAsCountOrName) {
  const std::string doc =
      std::string(R"({"nodes": [{"name": "a", "function": "f", "args": [], "factor": )") +
      std::string(GetParam().written) + "}]}";
  const GraphFile file = read_ok(doc);
  ASSERT_EQ(file.nodes.size(), 1u);
  EXPECT_EQ(file.nodes[0].factor, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    GraphFileFactor, GraphFileFactorForms,
    testing::Values(FactorCase{"zero", "0", count(0)}, FactorCase{"count", "7", count(7)},
                    FactorCase{"largest_u64", "18446744073709551615", count(18446744073709551615u)},
                    FactorCase{"negative_zero", "-0", count(0)},
                    FactorCase{"digits_as_text_stay_a_name", R"("3")", named("3")},
                    FactorCase{"workers", R"("$workers")", named("$workers")},
                    FactorCase{"null_is_the_default", "null", count(1)}),
    [](const testing::TestParamInfo<FactorCase>& param) { return std::string(param.param.name); });

// ---- Faults: message and position ---------------------------------------------------------

struct ErrorCase {
  const char* name;
  std::string_view document;
  const char* message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class GraphFileReadError : public testing::TestWithParam<ErrorCase> {};

TEST_P(GraphFileReadError, MessageAndPosition) {
  EXPECT_EQ(error_of(GetParam().document), GetParam().message);
}

std::string case_name(const testing::TestParamInfo<ErrorCase>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    GraphFileMissingField, GraphFileReadError,
    testing::Values(
        ErrorCase{"no_nodes", "{}", "missing field `nodes` at line 1 column 2"},
        ErrorCase{"node_function", R"({"nodes": [{"name": "a", "args": []}]})",
                  "missing field `function` at line 1 column 36"},
        ErrorCase{"first_in_declaration_order", R"({"nodes": [{}]})",
                  "missing field `name` at line 1 column 13"},
        ErrorCase{
            "node_condition_args",
            R"({"nodes": [{"name": "a", "function": "f", "args": [], "condition": {"operation": "Eq", "value": "1", "value_type": "i32", "function": "c"}}]})",
            "missing field `args` at line 1 column 138"},
        ErrorCase{"network_num_sockets",
                  R"({"nodes": [], "network_config": {"socket_type": "udp"}})",
                  "missing field `num_sockets` at line 1 column 54"},
        ErrorCase{
            "predecessor_indexes",
            R"({"nodes": [{"name": "a", "function": "f", "args": [{"type": "$res", "predecessor": {"name": "x"}}]}]})",
            "missing field `indexes` at line 1 column 96"},
        ErrorCase{"init_arg_value",
                  R"({"initializations": [{"name": "g", "args": [{"type": "f32"}]}], "nodes": []})",
                  "missing field `value` at line 1 column 59"},
        ErrorCase{"key_case_matters", R"({"Nodes": []})",
                  "missing field `nodes` at line 1 column 13"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    GraphFileDuplicateField, GraphFileReadError,
    testing::Values(ErrorCase{"top_level", R"({"nodes": [], "nodes": []})",
                              "duplicate field `nodes` at line 1 column 21"},
                    ErrorCase{"after_null",
                              R"({"nodes": [{"name": "a", "factor": null, "factor": 2}]})",
                              "duplicate field `factor` at line 1 column 49"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    GraphFileInvalidType, GraphFileReadError,
    testing::Values(
        ErrorCase{"string_for_usize", R"({"nodes": [], "network_config": {"buffer_depth": "3"}})",
                  R"(invalid type: string "3", expected usize at line 1 column 52)"},
        ErrorCase{"string_is_quoted_with_escapes",
                  R"({"nodes": [], "network_config": {"buffer_depth": "a\"b\n"}})",
                  R"(invalid type: string "a\"b\n", expected usize at line 1 column 57)"},
        ErrorCase{"float_for_usize", R"({"nodes": [], "network_config": {"buffer_depth": 3.5}})",
                  "invalid type: floating point `3.5`, expected usize at line 1 column 52"},
        ErrorCase{"whole_float_keeps_its_point",
                  R"({"nodes": [], "network_config": {"buffer_depth": 3.0}})",
                  "invalid type: floating point `3.0`, expected usize at line 1 column 52"},
        ErrorCase{"large_float_in_exponent_form", R"({"nodes": [{"name": 1E20}]})",
                  "invalid type: floating point `1e20`, expected a string at line 1 column 24"},
        ErrorCase{"integer", R"({"nodes": [{"name": 5}]})",
                  "invalid type: integer `5`, expected a string at line 1 column 21"},
        ErrorCase{"negative_integer", R"({"nodes": [{"name": "a", "function": -7}]})",
                  "invalid type: integer `-7`, expected a string at line 1 column 39"},
        ErrorCase{"boolean", R"({"nodes": true})",
                  "invalid type: boolean `true`, expected a sequence at line 1 column 14"},
        ErrorCase{"null_for_required_text", R"({"nodes": [{"name": null}]})",
                  "invalid type: null, expected a string at line 1 column 24"},
        ErrorCase{"null_for_required_list", R"({"nodes": null})",
                  "invalid type: null, expected a sequence at line 1 column 14"},
        ErrorCase{"map", R"({"nodes": {}})",
                  "invalid type: map, expected a sequence at line 1 column 11"},
        ErrorCase{"sequence", R"({"nodes": [], "network_config": []})",
                  "invalid type: sequence, expected struct NetworkConfigJson at line 1 column 33"},
        ErrorCase{"record_in_array_form", R"({"nodes": [["a", 1, "f"]]})",
                  "invalid type: sequence, expected struct NodeJson at line 1 column 12"},
        ErrorCase{"null_list_element", R"({"nodes": [null]})",
                  "invalid type: null, expected struct NodeJson at line 1 column 15"},
        ErrorCase{"init", R"({"initializations": [1], "nodes": []})",
                  "invalid type: integer `1`, expected struct InitJson at line 1 column 22"},
        ErrorCase{"init_arg", R"({"initializations": [{"name": "g", "args": [2]}], "nodes": []})",
                  "invalid type: integer `2`, expected struct ArgInit at line 1 column 45"},
        ErrorCase{"arg", R"({"nodes": [{"name": "a", "function": "f", "args": ["x"]}]})",
                  R"(invalid type: string "x", expected struct ArgJson at line 1 column 54)"},
        ErrorCase{
            "predecessor",
            R"({"nodes": [{"name": "a", "function": "f", "args": [{"type": "$res", "predecessor": 3}]}]})",
            "invalid type: integer `3`, expected struct PredJson at line 1 column 84"},
        ErrorCase{
            "arg_condition",
            R"({"nodes": [{"name": "a", "function": "f", "args": [{"type": "i32", "condition": []}]}]})",
            "invalid type: sequence, expected struct ConditionJson at line 1 column 81"},
        ErrorCase{"loop", R"({"nodes": [{"name": "a", "function": "f", "args": [], "loop": "x"}]})",
                  R"(invalid type: string "x", expected struct LoopJson at line 1 column 65)"},
        ErrorCase{
            "node_condition",
            R"({"nodes": [{"name": "a", "function": "f", "args": [], "condition": false}]})",
            "invalid type: boolean `false`, expected struct NodeConditionJson at line 1 column 72"},
        ErrorCase{"index_function", R"({"nodes": [], "network_config": {"index_function": 0.25}})",
                  "invalid type: floating point `0.25`, expected struct IndexFunctionJson at line "
                  "1 column 55"},
        ErrorCase{"document_integer_at_end", "5",
                  "invalid type: integer `5`, expected struct GraphFile at line 1 column 1"},
        ErrorCase{"document_integer_then_space", " 17 ",
                  "invalid type: integer `17`, expected struct GraphFile at line 1 column 3"},
        ErrorCase{"document_string", R"("graph")",
                  R"(invalid type: string "graph", expected struct GraphFile at line 1 column 7)"},
        ErrorCase{"document_array", "[]",
                  "invalid type: sequence, expected struct GraphFile at line 1 column 1"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(GraphFileInvalidValue, GraphFileReadError,
                         testing::Values(ErrorCase{
                             "negative_usize",
                             R"({"nodes": [], "network_config": {"buffer_depth": -1}})",
                             "invalid value: integer `-1`, expected usize at line 1 column 51"}),
                         case_name);

// The factor sits at column 65 of
// {"nodes": [{"name": "a", "function": "f", "args": [], "factor": X}]}
#define FACTOR_DOC(x) R"({"nodes": [{"name": "a", "function": "f", "args": [], "factor": )" x "}]}"
#define NO_VARIANT "data did not match any variant of untagged enum Factor at line 1 column "

INSTANTIATE_TEST_SUITE_P(
    GraphFileFactorRejected, GraphFileReadError,
    testing::Values(
        ErrorCase{"whole_float", FACTOR_DOC("3.0"), NO_VARIANT "67"},
        ErrorCase{"exponent_float", FACTOR_DOC("1e2"), NO_VARIANT "67"},
        ErrorCase{"negative", FACTOR_DOC("-1"), NO_VARIANT "66"},
        ErrorCase{"beyond_u64", FACTOR_DOC("18446744073709551616"), NO_VARIANT "84"},
        ErrorCase{"boolean", FACTOR_DOC("true"), NO_VARIANT "68"},
        ErrorCase{"array", FACTOR_DOC("[]"), NO_VARIANT "65"},
        ErrorCase{"object", FACTOR_DOC("{}"), NO_VARIANT "65"},
        ErrorCase{"null_where_required",
                  R"({"nodes": [], "network_config": {"socket_type": "udp", "num_sockets": null}})",
                  NO_VARIANT "74"}),
    case_name);

#undef FACTOR_DOC
#undef NO_VARIANT

// Lines count newlines; columns restart after each one (a \r is just a byte of its line).
constexpr std::string_view kPretty =
    "{\n"
    "  \"initializations\": [],\n"
    "  \"nodes\": [\n"
    "    {\n"
    "      \"name\": \"a\",\n"
    "      \"function\": 7,\n"
    "      \"args\": []\n"
    "    }\n"
    "  ]\n"
    "}\n";

INSTANTIATE_TEST_SUITE_P(
    GraphFileLines, GraphFileReadError,
    testing::Values(
        ErrorCase{"invalid_type", kPretty,
                  "invalid type: integer `7`, expected a string at line 6 column 19"},
        ErrorCase{"missing_field",
                  "{\n  \"initializations\": [],\n  \"nodes\": [\n    {\n      \"name\": \"a\",\n"
                  "      \"args\": []\n    }\n  ]\n}\n",
                  "missing field `function` at line 7 column 5"},
        ErrorCase{
            "crlf",
            "{\r\n  \"nodes\": [\r\n    {\r\n      \"name\": \"a\",\r\n      \"function\": 7}]}",
            "invalid type: integer `7`, expected a string at line 5 column 19"},
        ErrorCase{"eof_after_newline", "{\n", "EOF while parsing an object at line 2 column 0"},
        ErrorCase{
            "newline_inside_string", "{\"x\": \"a\nb\", \"nodes\": []}",
            "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    GraphFileSyntax, GraphFileReadError,
    testing::Values(
        ErrorCase{"empty_document", "", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"only_whitespace", "  \n ", "EOF while parsing a value at line 2 column 1"},
        ErrorCase{"eof_in_object", "{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"eof_after_open_bracket", R"({"nodes": [)",
                  "EOF while parsing a value at line 1 column 11"},
        ErrorCase{"eof_in_list", R"({"x": [1)", "EOF while parsing a list at line 1 column 8"},
        ErrorCase{"eof_after_value", R"({"nodes": [])",
                  "EOF while parsing an object at line 1 column 12"},
        ErrorCase{"eof_after_comma", R"({"a" : 1 ,)",
                  "EOF while parsing an object at line 1 column 10"},
        ErrorCase{"eof_in_string", R"({"x": "abc)",
                  "EOF while parsing a string at line 1 column 10"},
        ErrorCase{"eof_in_literal", R"({"x": tr)", "EOF while parsing a value at line 1 column 8"},
        ErrorCase{"junk_after_value", R"({"nodes": [] x)",
                  "expected `,` or `}` at line 1 column 14"},
        ErrorCase{"missing_comma_in_object", R"({"nodes": [] "x": 1})",
                  "expected `,` or `}` at line 1 column 16"},
        ErrorCase{"leading_zero", R"({"x": 01, "nodes": []})",
                  "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"missing_comma_in_list", R"({"x": [1 2], "nodes": []})",
                  "expected `,` or `]` at line 1 column 10"},
        ErrorCase{"wrong_closing_bracket", R"({"nodes": [] ])",
                  "expected `,` or `}` at line 1 column 14"},
        // The reader takes `no` trying to match `null` before it gives up.
        ErrorCase{"unquoted_key", R"({nodes: []})", "key must be a string at line 1 column 3"},
        ErrorCase{"missing_colon", R"({"nodes" []})", "expected `:` at line 1 column 10"},
        ErrorCase{"bare_minus", R"({"x": -, "nodes": []})", "invalid number at line 1 column 8"},
        ErrorCase{"misspelt_literal", R"({"x": tru, "nodes": []})",
                  "expected value at line 1 column 10"},
        ErrorCase{"comment", "// c\n{\"nodes\": []}", "expected value at line 1 column 1"},
        ErrorCase{
            "tab_in_string", "{\"x\": \"a\tb\", \"nodes\": []}",
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        ErrorCase{"lone_surrogate", R"({"x": "\ud800", "nodes": []})",
                  "invalid unicode code point at line 1 column 14"},
        ErrorCase{"unknown_escape", R"({"x": "\q", "nodes": []})",
                  "invalid escape at line 1 column 9"},
        ErrorCase{"number_overflow", R"({"x": 1e400, "nodes": []})",
                  "number out of range at line 1 column 11"},
        ErrorCase{"trailing_comma_in_list", R"({"x": [1,], "nodes": []})",
                  "trailing comma at line 1 column 10"},
        ErrorCase{"trailing_comma_in_object", R"({"nodes": [], })",
                  "trailing comma at line 1 column 15"},
        ErrorCase{"second_document", R"({"nodes": []}{})",
                  "trailing characters at line 1 column 14"},
        ErrorCase{"trailing_word", R"({"nodes": []} x)", "trailing characters at line 1 column 15"},
        ErrorCase{"trailing_number", R"({"nodes": []} 12 )",
                  "trailing characters at line 1 column 16"},
        // Reading stops at the first fault, even when a syntax fault follows.
        ErrorCase{"first_fault_wins", R"({"nodes": 5 x)",
                  "invalid type: integer `5`, expected a sequence at line 1 column 11"},
        ErrorCase{"first_of_two_type_faults", R"({"nodes": [{"name": 5}], "nodes": 7})",
                  "invalid type: integer `5`, expected a string at line 1 column 21"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    GraphFileUtf8, GraphFileReadError,
    testing::Values(ErrorCase{"invalid_byte_in_string", "{\"x\": \"\xff\", \"nodes\": []}",
                              "invalid UTF-8 at line 1 column 8"},
                    ErrorCase{"broken_sequence", "{\"x\": \"\xc3(\", \"nodes\": []}",
                              "invalid UTF-8 at line 1 column 9"},
                    ErrorCase{"in_a_key", "{\"\xfe\": 1, \"nodes\": []}",
                              "invalid UTF-8 at line 1 column 3"},
                    ErrorCase{"cut_at_end", "{\"x\": \"\xe2\x82",
                              "EOF while parsing a string at line 1 column 9"},
                    ErrorCase{"outside_strings", "{\"x\": \xff, \"nodes\": []}",
                              "expected value at line 1 column 7"},
                    ErrorCase{"after_the_document", "{\"nodes\": []}\xff",
                              "trailing characters at line 1 column 14"}),
    case_name);

// ---- Deep nesting --------------------------------------------------------------------------

TEST(GraphFileDeepNesting, SkippedValueOfAnyDepthCostsNoStack) {
  constexpr std::size_t kDepth = 100000;
  const std::string arrays = std::string(kDepth, '[') + std::string(kDepth, ']');
  std::string objects;
  for (std::size_t i = 0; i < kDepth; ++i) objects += R"({"nodes":)";
  objects += "1" + std::string(kDepth, '}');

  const GraphFile file = read_ok(R"({"x": )" + arrays + R"(, "y": )" + objects +
                                 R"(, "nodes": [{"name": "a", "function": "f", "args": []}]})");
  ASSERT_EQ(file.nodes.size(), 1u);
  EXPECT_EQ(file.nodes[0].name, "a");

  const std::string unclosed = R"({"x": )" + std::string(kDepth, '[');
  EXPECT_EQ(error_of(unclosed),
            "EOF while parsing a value at line 1 column " + std::to_string(unclosed.size()));
}

}  // namespace
}  // namespace arvex
