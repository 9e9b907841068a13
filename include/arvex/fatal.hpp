#pragma once
// The one way the system stops at once on an unrecoverable fault: a diagnostic line on
// standard error, then exit status 101. Buffered standard output is flushed first so that
// work already reported is not lost.

#include <string_view>

namespace arvex {

// Writes "arvex: fatal: <message>" (and ": <error>" when an error text is given) to standard
// error and ends the process with status 101. Safe to call from any thread.
[[noreturn]] void fatal_stop(std::string_view message, std::string_view error = {}) noexcept;

inline constexpr int kFatalExitStatus = 101;

}  // namespace arvex
