#include "arvex/fatal.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace arvex {

void fatal_stop(std::string_view message, std::string_view error) noexcept {
  std::string line = "arvex: fatal: ";
  line.append(message);
  if (!error.empty()) {
    line.append(": ");
    line.append(error);
  }
  line.push_back('\n');
  std::fflush(nullptr);
  // Unbuffered write(2), so the line is not held back in a stdio buffer by a stopping process.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  // Other threads may still be running: skip static destructors they could be using.
  std::_Exit(kFatalExitStatus);
}

}  // namespace arvex
