#include "program/args.hpp"
#include "program/startup.hpp"

#if defined(__SANITIZE_ADDRESS__)
// The embedded interpreter keeps its allocations until the process ends, by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

int main(int argc, char** argv) {
  auto state = arvex::start_up(arvex::parse_args_or_exit(argc, argv));
  if (!state) return state.error();
  // The run set-up, the run and its reports take over from here.
  return 0;
}
