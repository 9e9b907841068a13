#include "support/process_runner.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

extern char** environ;

namespace arvex::test_support {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string read_all(std::FILE* file) {
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

std::vector<std::string> child_environment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!changes.contains(text.substr(0, text.find('=')))) out.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

}  // namespace

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::optional<std::string>>& environment) {
  File out(std::tmpfile(), &std::fclose);
  File err(std::tmpfile(), &std::fclose);
  if (!out || !err) return {};

  std::vector<std::string> argv_storage{program};
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_storage) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage = child_environment(environment);
  std::vector<char*> envp;
  for (std::string& entry : env_storage) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(out.get()), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fileno(err.get()), STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {-1, "", std::string("cannot start: ") + std::strerror(spawned)};

  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return {-1, read_all(out.get()), read_all(err.get())};
  return {WEXITSTATUS(status), read_all(out.get()), read_all(err.get())};
}

}  // namespace arvex::test_support
