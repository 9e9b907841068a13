#pragma once
// Reading what a child process left behind: whole files, and counts of a text in them.

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace arvex::test_support {

// The file's contents; empty when it cannot be read.
inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Non-overlapping occurrences of `needle` in `text`.
inline std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

}  // namespace arvex::test_support
