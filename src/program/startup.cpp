#include "program/startup.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>

#include "arvex/fatal.hpp"
#include "instrumentation/monotonic_epoch.hpp"
#include "logging/log.hpp"
#include "program/bridge_abi_check.hpp"
#include "program/embedded_python.hpp"
#include "program/receiver_threads.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core";
constexpr std::string_view kResolutionStrategy = "multi-slot-batch";
constexpr int kConfigurationErrorStatus = 1;

void write_stderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void print_inits(const GraphSpec& graph_spec) {
  std::string text(1, '\n');
  text += graph_spec.graph.graph_text();
  text += "\nInitialized Objects:\n";
  for (std::size_t i = 0; i < graph_spec.init_objects.size(); ++i) {
    text += fmt::format("  {}: {}\n", i, debug_string(graph_spec.init_objects[i]));
  }
  text += "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

Expected<StartupState, int> start_up(Args args) {
  StartupState state;

  auto logger = log::install_logger({args.debug ? log::Level::Debug : log::Level::Info, args.output == "stdout"});
  if (!logger) fatal_stop("Unable to install global subscriber", logger.error());

  if (args.output != "stdout") {
    auto file = StdoutRedirect::create_file(args.output);
    if (!file) fatal_stop("Failed to create output file", file.error());
    ARVEX_LOG_DEBUG(kLogTarget, "output file opened");
    auto redirect = StdoutRedirect::redirect_to(std::move(file).value());
    if (!redirect) fatal_stop("Failed to redirect stdout", redirect.error());
    state.redirect.emplace(std::move(redirect).value());
  }

  const PythonVersion python = start_embedded_python();

  auto abi = check_python_bridge_abi(args.dylib, python);
  if (!abi) {
    write_stderr(abi.error());
    return Unexpected{kConfigurationErrorStatus};
  }
  if (*abi) ARVEX_LOG_DEBUG(kLogTarget, "Python bridge ABI verified", log::field("abi", fmt::format("0x{:08X}", **abi)));

  // Kernels and Python code started later find the kernel library through it.
  ::setenv("PLUGIN_LIB", args.dylib.c_str(), 1);

  ARVEX_LOG_DEBUG(kLogTarget, "starting graph initialization");
  auto graph_spec = from_json(args.json, args.workers);
  if (!graph_spec) fatal_stop("Failed to parse graph from JSON file", graph_spec.error());
  state.graph = std::move(graph_spec).value();
  ARVEX_LOG_DEBUG(kLogTarget, "graph initialized");

  if (args.inits) print_inits(state.graph);
  ARVEX_LOG_DEBUG(kLogTarget, "objects initialized");

  if (args.use_rdtsc) (void)monotonic_epoch();  // fixed now, before any thread starts

  if (args.resolution_strategy != kResolutionStrategy) {
    write_stderr(fmt::format("Unknown resolution strategy '{}'. Available: {}\n", args.resolution_strategy,
                             kResolutionStrategy));
    return Unexpected{kConfigurationErrorStatus};
  }
  ARVEX_LOG_INFO(kLogTarget, "Strategy: multi-slot-batch (default)");

  state.receiver_threads = effective_receiver_threads(args.receiver_threads, state.graph.graph.network_config() != nullptr);
  state.args = std::move(args);
  return state;
}

}  // namespace arvex
