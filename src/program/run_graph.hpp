#pragma once
// The run set-up after start-up: the scheduler recorder, worker placement, the scheduler, the
// main thread's core, graph compilation, the runtime, the run itself and the reports that the
// options ask for.

#include "program/startup.hpp"

namespace arvex {

// Performs the one run of the program; returns its exit status (1 for configuration and run
// errors, after their message on standard error).
int run_graph(StartupState& state);

}  // namespace arvex
