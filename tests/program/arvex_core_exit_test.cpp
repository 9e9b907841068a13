// Runs the built arvex-core binary, so that exit statuses and the split between standard
// output and standard error are checked on a real process rather than on returned values.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Names each generated test after its row.
template <class Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

struct ProcessResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string read_all(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

ProcessResult run_arvex_core(const std::vector<std::string>& args) {
  File out(std::tmpfile(), &std::fclose);
  File err(std::tmpfile(), &std::fclose);
  if (!out || !err) {
    ADD_FAILURE() << "cannot create capture files";
    return {};
  }

  std::vector<std::string> storage{ARVEX_CORE_PATH};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(out.get()), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(err.get()), STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return {};
  }

  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
    ADD_FAILURE() << "arvex-core did not exit normally";
    return {};
  }
  return {WEXITSTATUS(status), read_all(out.get()), read_all(err.get())};
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
    {"ValidCommandLine", {"--json", "g.json", "--dylib", "k.so"}, 0, "", false},
    {"MissingRequiredOption", {"--json", "g.json"}, 2, "", true},
    {"BadNumber", {"--json", "g.json", "--dylib", "k.so", "--workers", "0x10"}, 2, "", true},
    {"UnknownOption", {"--json", "g.json", "--dylib", "k.so", "--bogus"}, 2, "", true},
    {"Help", {"--help"}, 0, "*", false},
    {"Version", {"-V"}, 0, "arvex-core 1.2.0\n", false},
};

INSTANTIATE_TEST_SUITE_P(ArvexCore, ArvexCoreProcess, ::testing::ValuesIn(kRuns),
                         row_name<ProcessCase>);

}  // namespace
