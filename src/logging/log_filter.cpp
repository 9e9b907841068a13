#include "logging/log_filter.hpp"

#include <algorithm>

namespace arvex::log {

namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// Targets are module paths: letters, digits, '_', '-' and the "::" separators.
bool valid_target(std::string_view target) {
  if (target.empty()) return false;
  return std::all_of(target.begin(), target.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == ':';
  });
}

bool matches(std::string_view directive_target, std::string_view event_target) {
  if (!event_target.starts_with(directive_target)) return false;
  const std::string_view rest = event_target.substr(directive_target.size());
  return rest.empty() || rest.starts_with("::");
}

// Applies one trimmed, non-empty directive, or returns why it is malformed.
std::optional<std::string> apply_directive(std::string_view piece, LogFilter& filter) {
  const auto eq = piece.find('=');
  if (eq == std::string_view::npos) {
    if (const auto level = parse_level(piece)) {
      filter.set({}, *level);
    } else if (valid_target(piece)) {
      filter.set(piece, Level::Trace);
    } else {
      return "neither a level nor a target";
    }
    return std::nullopt;
  }
  const std::string_view target = trim(piece.substr(0, eq));
  const std::string_view level_text = trim(piece.substr(eq + 1));
  if (target.empty()) return std::string("missing target before '='");
  if (!valid_target(target)) return "invalid target '" + std::string(target) + "'";
  if (level_text.empty()) return std::string("missing level after '='");
  const auto level = parse_level(level_text);
  if (!level) return "unknown level '" + std::string(level_text) + "'";
  filter.set(target, *level);
  return std::nullopt;
}

}  // namespace

void LogFilter::set(std::string_view target, Level level) {
  if (target.empty()) {
    default_level_ = level;
    return;
  }
  for (Directive& d : targeted_) {
    if (d.target == target) {
      d.level = level;
      return;
    }
  }
  targeted_.push_back({std::string(target), level});
}

Level LogFilter::level_for(std::string_view target) const {
  const Directive* best = nullptr;
  for (const Directive& d : targeted_) {
    if (matches(d.target, target) && (best == nullptr || d.target.size() > best->target.size())) best = &d;
  }
  return best != nullptr ? best->level : default_level_;
}

Level LogFilter::max_level() const {
  Level most = default_level_;
  for (const Directive& d : targeted_) most = std::max(most, d.level);
  return most;
}

ParsedFilter parse_filter(std::string_view text) {
  ParsedFilter parsed;
  while (true) {
    const auto comma = text.find(',');
    const std::string_view piece = trim(text.substr(0, comma));
    if (!piece.empty()) {
      ++parsed.directive_count;
      if (auto reason = apply_directive(piece, parsed.filter)) {
        parsed.malformed.push_back({std::string(piece), std::move(*reason)});
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return parsed;
}

FilterChoice choose_filter(std::optional<std::string_view> environment_text, Level fallback) {
  FilterChoice choice{LogFilter(fallback), false, {}};
  if (!environment_text) return choice;
  ParsedFilter parsed = parse_filter(*environment_text);
  // A set but empty variable says nothing; treating it as "everything off" would silence a run
  // by accident.
  if (parsed.directive_count == 0) return choice;
  if (parsed.malformed.empty()) {
    choice.filter = std::move(parsed.filter);
    choice.from_environment = true;
    return choice;
  }
  for (const MalformedDirective& m : parsed.malformed) {
    choice.notes.push_back("warning: ignoring malformed log directive '" + m.text + "': " + m.reason);
  }
  return choice;
}

}  // namespace arvex::log
