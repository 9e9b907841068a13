#pragma once
// Severity levels of log events and of filter directives. The numeric order is the verbosity
// order: an event at level L passes a filter set to F when L <= F, so Off passes nothing.

#include <cstdint>
#include <optional>
#include <string_view>

namespace arvex::log {

enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// True when an event at `event` passes a filter set to `filter`.
constexpr bool passes(Level event, Level filter) noexcept {
  return event != Level::Off && static_cast<std::uint8_t>(event) <= static_cast<std::uint8_t>(filter);
}

// The upper-case name written in log lines ("ERROR" ... "TRACE"; "OFF" for Off).
constexpr std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Off: return "OFF";
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "OFF";
}

// Parses a level name as written in filters: off, error, warn, info, debug, trace, in any case.
constexpr std::optional<Level> parse_level(std::string_view text) noexcept {
  constexpr Level kAll[] = {Level::Off, Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace};
  for (Level level : kAll) {
    const std::string_view name = level_name(level);
    if (name.size() != text.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = text[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = c == name[i];
    }
    if (same) return level;
  }
  return std::nullopt;
}

}  // namespace arvex::log
