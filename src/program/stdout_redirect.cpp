#include "program/stdout_redirect.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace arvex {

namespace {

std::atomic<bool> ACTIVE{false};

}  // namespace

Expected<UniqueFd, std::string> StdoutRedirect::create_file(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file) return Unexpected{std::string(std::strerror(errno))};
  return file;
}

Expected<StdoutRedirect, std::string> StdoutRedirect::redirect_to(UniqueFd file) {
  if (ACTIVE.exchange(true)) return Unexpected{std::string("standard output is already redirected")};
  std::fflush(stdout);  // what was written before belongs to the old destination
  UniqueFd saved(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
  // dup2 leaves the new descriptor 1 without close-on-exec, so child processes inherit it.
  if (!saved || ::dup2(file.get(), STDOUT_FILENO) < 0) {
    const int error = errno;
    ACTIVE.store(false);
    return Unexpected{std::string(std::strerror(error))};
  }
  return StdoutRedirect(std::move(saved));
}

StdoutRedirect::~StdoutRedirect() {
  if (!saved_) return;
  std::fflush(stdout);
  ::dup2(saved_.get(), STDOUT_FILENO);
  saved_.reset();
  ACTIVE.store(false);
}

}  // namespace arvex
