#pragma once
// The text of one log line:
//   2026-12-11T11:07:32.123456Z  INFO arvex_core::runtime: message field=value
// an RFC 3339 UTC timestamp with microseconds, the level right-aligned in five columns, the
// target and a colon, then the body (the message followed by its fields). With colour the
// level is coloured and the timestamp and target are dimmed; without, no escape byte at all.

#include <fmt/format.h>

#include <chrono>
#include <string_view>

#include "logging/level.hpp"

namespace arvex::log {

// Appends the line for one event, ended by a line feed.
void format_line(fmt::appender out, std::chrono::system_clock::time_point time, Level level,
                 std::string_view target, std::string_view body, bool colour);

// Appends `time` as 2026-12-11T11:07:32.123456Z (UTC; fractions below a microsecond dropped).
void format_timestamp(fmt::appender out, std::chrono::system_clock::time_point time);

}  // namespace arvex::log
