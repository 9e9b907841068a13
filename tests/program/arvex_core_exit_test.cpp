// Runs the built arvex-core binary, so that exit statuses and the split between standard
// output and standard error are checked on a real process rather than on returned values.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "support/process_runner.hpp"

namespace {

// Names each generated test after its row.
template <class Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

using arvex::test_support::ProcessResult;

ProcessResult run_arvex_core(const std::vector<std::string>& args) {
  return arvex::test_support::run_process(ARVEX_CORE_PATH, args);
}

struct ProcessCase {
  const char* name;
  std::vector<std::string> args;
  int exit_status;
  std::string out;        // expected standard output, exactly; "*" for anything non-empty
  bool expects_err_text;  // standard error must be non-empty, else empty
};

void PrintTo(const ProcessCase& row, std::ostream* out) {
  *out << row.name;
}

class ArvexCoreProcess : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(ArvexCoreProcess, ExitsWithTheExpectedStatusAndStreams) {
  const ProcessCase& row = GetParam();
  const ProcessResult result = run_arvex_core(row.args);
  EXPECT_EQ(result.exit_status, row.exit_status) << result.err;
  if (row.out == "*") {
    EXPECT_NE(result.out, "");
  } else {
    EXPECT_EQ(result.out, row.out);
  }
  EXPECT_EQ(!result.err.empty(), row.expects_err_text) << result.err;
}

const ProcessCase kRuns[] = {
    {"ValidCommandLine", {"--json", ARVEX_EXAMPLES_DIR "/pipeline.json", "--dylib", "", "--output", "/dev/null"}, 0, "", false},
    {"MissingRequiredOption", {"--json", "g.json"}, 2, "", true},
    {"BadNumber", {"--json", "g.json", "--dylib", "k.so", "--workers", "0x10"}, 2, "", true},
    {"UnknownOption", {"--json", "g.json", "--dylib", "k.so", "--bogus"}, 2, "", true},
    {"Help", {"--help"}, 0, "*", false},
    {"Version", {"-V"}, 0, "arvex-core 1.2.0\n", false},
};

INSTANTIATE_TEST_SUITE_P(ArvexCore, ArvexCoreProcess, ::testing::ValuesIn(kRuns),
                         row_name<ProcessCase>);

}  // namespace
