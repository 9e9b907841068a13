#pragma once
// Reading a whole file, with the system's error text on failure.

#include <string>

#include "arvex/expected.hpp"

namespace arvex {

struct FileError {
  bool opening = false;  // the file could not be opened, as opposed to read
  std::string message;   // the system's error text
};

Expected<std::string, FileError> read_whole_file(const std::string& path);

}  // namespace arvex
