// Start-up of the real program: the bridge ABI check, loading and printing the graph, the
// strategy check, output redirection and the log filter, seen from outside the process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/process_runner.hpp"

namespace arvex {
namespace {

using test_support::ProcessResult;
using Environment = std::map<std::string, std::optional<std::string>>;

const std::string kGraph = ARVEX_EXAMPLES_DIR "/pipeline.json";
const std::string kPythonVersion = std::to_string(ARVEX_PYTHON_MAJOR) + "." + std::to_string(ARVEX_PYTHON_MINOR);

// Runs arvex-core with RUST_LOG cleared unless the test sets it.
ProcessResult run(std::vector<std::string> args, Environment environment = {}) {
  environment.try_emplace("RUST_LOG", std::nullopt);
  return test_support::run_process(ARVEX_CORE_PATH, args, environment);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A temporary file path, removed at the end of the test.
class TempPath {
 public:
  explicit TempPath(const std::string& name)
      : path_(std::filesystem::temp_directory_path() / (name + "." + std::to_string(::getpid()))) {}
  ~TempPath() { std::filesystem::remove(path_); }
  std::string str() const { return path_.string(); }
  std::string read() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void write(const std::string& text) const { std::ofstream(path_) << text; }

 private:
  std::filesystem::path path_;
};

struct AbiCase {
  const char* name;
  std::string library;
  int status;
  std::string err;       // exact standard error
  std::string out_part;  // part of standard output ("" for none checked)
};

TEST(StartupBridgeAbi, Table) {
  const std::string expected_stamp = [] {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", (ARVEX_PYTHON_MAJOR << 24) | (ARVEX_PYTHON_MINOR << 16));
    return std::string(text);
  }();
  const std::string mismatch = "arvex: Python bridge ABI mismatch!\n  Binary expects: Python " + kPythonVersion +
                               " (GIL_DISABLED=0)\n  Bridge reports: Python " + std::to_string(ARVEX_PYTHON_MAJOR) +
                               "." + std::to_string(ARVEX_PYTHON_MINOR + 1) +
                               " (GIL_DISABLED=0)\nRebuild the bridge with the same Python interpreter used to build "
                               "this binary,\nor pass python_interpreter= matching the bridge's Python version to "
                               "app.build().\n";
  const AbiCase cases[] = {
      {"no stamp", ARVEX_NO_STAMP_LIB, 0, "", "Strategy: multi-slot-batch (default)"},
      {"matching stamp", ARVEX_MATCHING_STAMP_LIB, 0, "", "DEBUG arvex_core: Python bridge ABI verified abi=" + expected_stamp},
      {"mismatching stamp", ARVEX_MISMATCHING_STAMP_LIB, 1, mismatch, ""},
      {"unopenable library", "/nonexistent/libk.so", 1,
       "arvex: failed to pre-load bridge dylib for ABI check: /nonexistent/libk.so: cannot open shared object file: No "
       "such file or directory\n",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ProcessResult r = run({"--json", kGraph, "--dylib", c.library, "--debug", "--output", "/dev/stdout"});
    EXPECT_EQ(r.exit_status, c.status) << r.err;
    EXPECT_EQ(r.err, c.err);
    if (!c.out_part.empty()) {
      EXPECT_TRUE(contains(r.out, c.out_part)) << r.out;
    }
    if (c.status != 0) {
      EXPECT_FALSE(contains(r.out, "starting graph initialization")) << "the check comes before loading";
    }
  }
  const ProcessResult free_threaded = run({"--json", kGraph, "--dylib", ARVEX_FREE_THREADED_STAMP_LIB});
  EXPECT_EQ(free_threaded.exit_status, 1);
  EXPECT_TRUE(contains(free_threaded.err, "(GIL_DISABLED=1)\n")) << free_threaded.err;
}

TEST(StartupGraph, LoadFailureStopsWithStatus101) {
  TempPath graph("arvex-bad-graph.json");
  graph.write(R"({"nodes": [{"name": "a", "function": "noop"}]})");
  // The strategy is wrong too: loading comes first, so its failure is the one reported.
  const ProcessResult r = run({"--json", graph.str(), "--dylib", "", "--resolution-strategy", "other"});
  EXPECT_EQ(r.exit_status, 101);
  EXPECT_TRUE(contains(r.err, "Failed to parse graph from JSON file")) << r.err;
  EXPECT_TRUE(contains(r.err, "missing field `args` at line 1 column 44")) << r.err;
}

TEST(StartupGraph, UnknownStrategyIsRejectedAfterLoading) {
  const ProcessResult r = run({"--json", kGraph, "--dylib", "", "--debug", "--resolution-strategy", "fastest"});
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "Unknown resolution strategy 'fastest'. Available: multi-slot-batch\n");
  EXPECT_TRUE(contains(r.out, "graph initialized")) << r.out;
  EXPECT_FALSE(contains(r.out, "Strategy:")) << r.out;
}

TEST(StartupGraph, InitsPrintsTheGraphAndItsObjects) {
  const ProcessResult r = run({"--json", kGraph, "--dylib", "", "--inits", "--output", "/dev/stdout"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(contains(r.out,
                       "\nGraph:\n"
                       "  0: \"src\" (4)\n"
                       "  1: \"scale\" (4)\n"
                       "  2: \"sum\" (1)\n"
                       "No post nodes.\n"
                       "Initial Nodes: [0]\n"
                       "Successors: [[1], [2]]\n"
                       "\n"
                       "Initialized Objects:\n"
                       "  0: [Usize(0)]\n"
                       "  1: [Usize(1)]\n"
                       "  2: [F32(0.5)]\n"
                       "\n"))
      << r.out;
}

TEST(StartupOutput, FileGetsUncolouredLinesAndStandardErrorStays) {
  TempPath output("arvex-output.log");
  const ProcessResult to_file = run({"--json", kGraph, "--dylib", "", "--debug", "--output", output.str()});
  EXPECT_EQ(to_file.exit_status, 0) << to_file.err;
  // The file is announced before the redirection; everything after it goes to the file.
  EXPECT_TRUE(to_file.out.ends_with(" DEBUG arvex_core: output file opened\n")) << to_file.out;
  EXPECT_EQ(std::count(to_file.out.begin(), to_file.out.end(), '\n'), 1) << to_file.out;
  const std::string log = output.read();
  EXPECT_TRUE(contains(log, " INFO arvex_core: Strategy: multi-slot-batch (default)")) << log;
  EXPECT_TRUE(contains(log, "DEBUG arvex_core: graph initialized")) << log;
  EXPECT_FALSE(contains(log, "\x1b")) << "no colour codes in a file";

  const ProcessResult to_terminal = run({"--json", kGraph, "--dylib", ""});
  EXPECT_TRUE(contains(to_terminal.out, "\x1b[")) << "colour exactly when the output is \"stdout\"";

  const ProcessResult failing = run({"--json", kGraph, "--dylib", "", "--output", output.str(), "--resolution-strategy", "x"});
  EXPECT_EQ(failing.exit_status, 1);
  EXPECT_EQ(failing.err, "Unknown resolution strategy 'x'. Available: multi-slot-batch\n") << "standard error is not redirected";

  const ProcessResult uncreatable = run({"--json", kGraph, "--dylib", "", "--output", "/nonexistent/dir/out.log"});
  EXPECT_EQ(uncreatable.exit_status, 101);
  EXPECT_TRUE(contains(uncreatable.err, "Failed to create output file: No such file or directory")) << uncreatable.err;
}

struct FilterCase {
  const char* name;
  std::optional<std::string> rust_log;
  bool debug_flag;
  std::vector<std::string> present;
  std::vector<std::string> absent;
  std::string err_part;
};

TEST(StartupLogFilter, Table) {
  const std::string strategy = "INFO arvex_core: Strategy";
  const std::string graph_debug = "DEBUG arvex_core: graph initialized";
  const std::string loader_debug = "DEBUG arvex_core::debug: Initializing object: gain";
  const FilterCase cases[] = {
      {"default info", std::nullopt, false, {strategy}, {graph_debug, loader_debug}, ""},
      {"--debug", std::nullopt, true, {strategy, graph_debug, loader_debug}, {}, ""},
      {"RUST_LOG wins over --debug", "warn", true, {}, {strategy, graph_debug}, ""},
      {"RUST_LOG per target", "info,arvex_core::debug=debug", false, {strategy, loader_debug}, {graph_debug}, ""},
      {"malformed RUST_LOG falls back", "arvex_core=loud", false, {strategy}, {graph_debug},
       "malformed log directive 'arvex_core=loud'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"--json", kGraph, "--dylib", "", "--output", "/dev/stdout"};
    if (c.debug_flag) args.push_back("--debug");
    const ProcessResult r = run(args, {{"RUST_LOG", c.rust_log}});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    for (const auto& line : c.present) EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
    for (const auto& line : c.absent) EXPECT_FALSE(contains(r.out, line)) << line << "\n" << r.out;
    if (c.err_part.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(contains(r.err, c.err_part)) << r.err;
    }
  }
}

}  // namespace
}  // namespace arvex
