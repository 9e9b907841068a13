#pragma once
// Program start-up, on the main thread alone: the logger, the output redirection, the embedded
// interpreter, the bridge ABI check, the graph, and the checks of the run's configuration.

#include <cstddef>
#include <optional>

#include "arvex/expected.hpp"
#include "graph/graph_loader.hpp"
#include "program/args.hpp"
#include "program/stdout_redirect.hpp"

namespace arvex {

// What main holds from start-up to the end of the run. Destroying it puts standard output back.
struct StartupState {
  Args args;
  std::optional<StdoutRedirect> redirect;
  GraphSpec graph;
  // --receiver-threads, or 0 when the graph has no network source.
  std::size_t receiver_threads = 0;
};

// Runs start-up. Failure is the exit status, after its message went to standard error; faults
// that stop the program at once do so inside (status 101).
Expected<StartupState, int> start_up(Args args);

}  // namespace arvex
