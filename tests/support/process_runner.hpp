#pragma once
// Runs a program as a child process with its standard output and error captured, so that tests
// check real exit statuses and streams.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace arvex::test_support {

struct ProcessResult {
  int exit_status = -1;  // -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// `environment` entries replace (value) or remove (nothing) variables of this process's
// environment for the child.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::optional<std::string>>& environment = {});

}  // namespace arvex::test_support
