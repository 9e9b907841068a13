#pragma once
// The filter that decides which events reach the log, and the parser of its text form (the
// syntax of the RUST_LOG variable). The logger consults it once per call site and install,
// never per event, so it favours clarity over lookup speed.
//
// Text form: comma-separated directives; empty pieces and surrounding blanks are ignored.
//   level          the level of every target no other directive names
//   target=level   the level of `target` and of the modules below it
//   target         shorthand for target=trace
// Levels are off, error, warn, info, debug, trace in any case. A target matches an event
// target equal to it or starting with it followed by "::" ("arvex_core" matches
// "arvex_core::runtime" but not "arvex_core_extra"). The longest matching target wins; for a
// repeated target or bare level the last one wins. When no bare level is given, targets that
// no directive matches are off.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/level.hpp"

namespace arvex::log {

class LogFilter {
 public:
  // Everything off.
  LogFilter() = default;
  // Every target at `level`.
  explicit LogFilter(Level level) : default_level_(level) {}

  // An empty target sets the level of unmatched targets; a repeated target replaces the old one.
  void set(std::string_view target, Level level);

  Level level_for(std::string_view target) const;
  bool enabled(Level level, std::string_view target) const { return passes(level, level_for(target)); }
  // The most verbose level any target can reach; events above it are off everywhere.
  Level max_level() const;

 private:
  struct Directive {
    std::string target;
    Level level;
  };
  Level default_level_ = Level::Off;
  std::vector<Directive> targeted_;
};

struct MalformedDirective {
  std::string text;    // the directive as written, blanks trimmed
  std::string reason;  // why it was rejected
};

struct ParsedFilter {
  LogFilter filter;                         // built from the valid directives only
  std::vector<MalformedDirective> malformed;
  std::size_t directive_count = 0;          // non-empty pieces, valid or not
};

ParsedFilter parse_filter(std::string_view text);

// The filter chosen at install: the environment's filter text when it is set, holds at least
// one directive and all of them are valid; otherwise `fallback` for every target.
struct FilterChoice {
  LogFilter filter;
  bool from_environment = false;
  // One note per malformed directive that made the environment text unusable, for standard
  // error, e.g. "warning: ignoring malformed log directive 'x=loud': unknown level 'loud'".
  std::vector<std::string> notes;
};

FilterChoice choose_filter(std::optional<std::string_view> environment_text, Level fallback);

}  // namespace arvex::log
