#pragma once
// Sends standard output to a file for the life of the object: descriptor 1 is pointed at the
// file and the original is kept in a close-on-exec duplicate, put back on destruction. Only
// one redirection may be active at a time.

#include <string>

#include "arvex/expected.hpp"
#include "support/unique_fd.hpp"

namespace arvex {

class StdoutRedirect {
 public:
  // Creates or truncates `path` for writing (mode 0666 before the umask). The error is the
  // system's text.
  static Expected<UniqueFd, std::string> create_file(const std::string& path);
  // Points descriptor 1 at `file`.
  static Expected<StdoutRedirect, std::string> redirect_to(UniqueFd file);

  StdoutRedirect(StdoutRedirect&& other) noexcept = default;
  StdoutRedirect& operator=(StdoutRedirect&&) = delete;
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;
  ~StdoutRedirect();

 private:
  explicit StdoutRedirect(UniqueFd saved) noexcept : saved_(std::move(saved)) {}

  UniqueFd saved_;  // descriptor 1 as it was; empty once moved from
};

}  // namespace arvex
