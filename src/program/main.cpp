#include <cstdio>
#include <string>

#include "program/args.hpp"
#include "program/run_graph.hpp"
#include "program/startup.hpp"
#include "scheduling/scheduler.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The embedded interpreter keeps its allocations until the process ends, by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

int main(int argc, char** argv) {
  arvex::Args args = arvex::parse_args_or_exit(argc, argv);
  // Before anything is created: no logger, interpreter or thread for a run that cannot start.
  if (const auto error = arvex::check_worker_count(args.workers)) {
    const std::string line = *error + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return 1;
  }
  auto state = arvex::start_up(std::move(args));
  if (!state) return state.error();
  return arvex::run_graph(*state);
}
