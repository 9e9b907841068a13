#include "program/args.hpp"

int main(int argc, char** argv) {
  const arvex::Args args = arvex::parse_args_or_exit(argc, argv);
  static_cast<void>(args);  // start-up and the run take over from here
  return 0;
}
