#include "placement/worker_range.hpp"

#include <fmt/format.h>

#include <limits>
#include <optional>
#include <vector>

#include "values/literal_syntax.hpp"

namespace arvex {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const auto at = text.find(separator);
    pieces.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    text.remove_prefix(at + 1);
  }
}

std::optional<std::size_t> parse_count(std::string_view text) {
  const auto n = detail::parse_unsigned_integer(text, std::numeric_limits<std::size_t>::max());
  if (!n) return std::nullopt;
  return static_cast<std::size_t>(*n);
}

}  // namespace

Expected<WorkerRange, std::string> WorkerRange::parse(std::string_view text) {
  const auto pieces = split(text, '-');
  if (pieces.size() != 2) return Unexpected{fmt::format("Invalid range format: '{}'. Expected 'start-end'", text)};
  const auto start = parse_count(detail::trim_unicode_space(pieces[0]));
  if (!start) return Unexpected{fmt::format("Invalid start value '{}' in range '{}'", pieces[0], text)};
  const auto end = parse_count(detail::trim_unicode_space(pieces[1]));
  // The inclusive end must leave room for the exclusive bound.
  if (!end || *end == std::numeric_limits<std::size_t>::max()) {
    return Unexpected{fmt::format("Invalid end value '{}' in range '{}'", pieces[1], text)};
  }
  if (*end < *start) return Unexpected{fmt::format("Invalid range '{}': start {} > end {}", text, *start, *end)};
  return WorkerRange{*start, *end + 1};
}

std::string WorkerRange::to_string() const {
  if (empty()) return "[empty]";
  return fmt::format("{}-{}", start, end - 1);
}

std::string WorkerRange::debug_string() const { return fmt::format("WorkerRange {{ start: {}, end: {} }}", start, end); }

Expected<WorkerRangeSpec, std::string> WorkerRangeSpec::parse(std::string_view text) {
  const std::string_view t = detail::trim_unicode_space(text);
  const bool has_hyphen = t.find('-') != std::string_view::npos;
  if (has_hyphen) {
    const auto pieces = split(t, '-');
    if (pieces.size() == 2 && !pieces[0].empty()) {
      auto range = WorkerRange::parse(t);
      if (!range) return Unexpected{std::move(range).error()};
      return WorkerRangeSpec::range(*range);
    }
  }
  if (const auto n = parse_count(t)) {
    if (*n == 0) return Unexpected{std::string("Worker count must be > 0")};
    return WorkerRangeSpec::count(*n);
  }
  if (has_hyphen) {
    auto range = WorkerRange::parse(t);  // reports what is wrong with the range
    if (!range) return Unexpected{std::move(range).error()};
    return WorkerRangeSpec::range(*range);
  }
  return Unexpected{fmt::format("Invalid use_workers format '{}'. Expected count (e.g., '4') or range (e.g., '0-7')", t)};
}

std::string WorkerRangeSpec::to_string() const {
  if (is_count()) return fmt::format("{} workers", worker_count());
  return "workers " + worker_range().to_string();
}

std::string WorkerRangeSpec::debug_string() const {
  if (is_count()) return fmt::format("Count({})", worker_count());
  return "Range(" + worker_range().debug_string() + ")";
}

}  // namespace arvex
