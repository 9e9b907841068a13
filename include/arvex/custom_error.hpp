#pragma once
// CustomError: the error value of the value library (literal parsing, kernels). Its display
// form and description are the details; its debug form is `CustomError { details: "..." }`.

#include <iosfwd>
#include <string>

namespace arvex {

struct CustomError {
  std::string details;

  const std::string& description() const noexcept { return details; }
  const std::string& display() const noexcept { return details; }
  std::string debug_string() const;

  friend bool operator==(const CustomError&, const CustomError&) = default;
};

// Writes the display form.
std::ostream& operator<<(std::ostream& out, const CustomError& error);

}  // namespace arvex
