#include "arvex/custom_error.hpp"

#include <ostream>

#include "support/text_escape.hpp"

namespace arvex {

std::string CustomError::debug_string() const {
  std::string out = "CustomError { details: ";
  detail::append_quoted(out, details);
  out += " }";
  return out;
}

std::ostream& operator<<(std::ostream& out, const CustomError& error) { return out << error.details; }

}  // namespace arvex
