#include "support/read_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unique_fd.hpp"

namespace arvex {

Expected<std::string, FileError> read_whole_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return Unexpected{FileError{true, std::strerror(errno)}};
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Unexpected{FileError{false, std::strerror(errno)}};
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace arvex
