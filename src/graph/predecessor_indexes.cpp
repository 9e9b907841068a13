#include "graph/predecessor_indexes.hpp"

#include <fmt/format.h>

#include <limits>
#include <optional>

#include "values/literal_syntax.hpp"

namespace arvex {

namespace {

// A range expands into one offset each; a text must not be able to exhaust memory.
constexpr Int128 kMaxRangeOffsets = Int128{1} << 24;

std::optional<std::int64_t> parse_offset(std::string_view text) {
  const auto n = detail::parse_signed_integer(text, std::numeric_limits<std::int64_t>::min(),
                                              std::numeric_limits<std::int64_t>::max());
  if (!n) return std::nullopt;
  return static_cast<std::int64_t>(*n);
}

struct VariableLookup {
  bool found = false;
  std::optional<std::size_t> number;  // nothing when the variable holds no number
};

Expected<VariableLookup, LoadError> look_up_number(std::string_view name, const InitObjects& objects,
                                                    const VariableTable& variables) {
  auto first = first_value_of(name, objects, variables);
  if (!first) return Unexpected{std::move(first).error()};
  if (*first == nullptr) return VariableLookup{};
  return VariableLookup{true, number_of(**first)};
}

}  // namespace

Expected<std::vector<std::int64_t>, LoadError> parse_predecessor_indexes(std::string_view text,
                                                                          std::string_view predecessor,
                                                                          const InitObjects& objects,
                                                                          const VariableTable& variables) {
  std::vector<std::int64_t> offsets;

  if (text.find(',') != std::string_view::npos) {
    for (;;) {
      const auto comma = text.find(',');
      const std::string_view piece = detail::trim_unicode_space(text.substr(0, comma));
      const auto offset = parse_offset(piece);
      if (!offset) return Unexpected{fmt::format("Invalid index '{}' in predecessor '{}'", piece, predecessor)};
      offsets.push_back(*offset);
      if (comma == std::string_view::npos) return offsets;
      text.remove_prefix(comma + 1);
    }
  }

  if (const auto hyphen = text.find('-'); hyphen != std::string_view::npos) {
    const std::string_view start_text = text.substr(0, hyphen);
    std::string_view end_text = text.substr(hyphen + 1);
    end_text = end_text.substr(0, end_text.find('-'));  // pieces after the second are ignored

    Int128 start = 0;
    if (const auto n = parse_offset(start_text)) {
      start = *n;
    } else {
      auto variable = look_up_number(start_text, objects, variables);
      if (!variable) return Unexpected{std::move(variable).error()};
      if (!variable->found) return Unexpected{fmt::format("Invalid range start '{}' in predecessor '{}'", start_text, predecessor)};
      if (!variable->number) return Unexpected{fmt::format("Range start '{}' is not a valid non-negative integer", start_text)};
      start = static_cast<Int128>(*variable->number);
    }
    Int128 bound = 0;  // exclusive
    if (const auto n = parse_offset(end_text)) {
      bound = static_cast<Int128>(*n) + 1;
    } else {
      auto variable = look_up_number(end_text, objects, variables);
      if (!variable) return Unexpected{std::move(variable).error()};
      if (!variable->found) return Unexpected{fmt::format("Invalid range end '{}' in predecessor '{}'", end_text, predecessor)};
      if (!variable->number) return Unexpected{fmt::format("Range end '{}' is not a valid non-negative integer", end_text)};
      bound = static_cast<Int128>(*variable->number);
    }
    if (bound - start > kMaxRangeOffsets) {
      return Unexpected{fmt::format("Range '{}' in predecessor '{}' names more than {} offsets", text, predecessor,
                                    static_cast<std::int64_t>(kMaxRangeOffsets))};
    }
    // Offsets are signed 64-bit; a variable's number beyond that cannot be an offset.
    if (bound - 1 > std::numeric_limits<std::int64_t>::max()) {
      return Unexpected{fmt::format("Range end '{}' is not a valid non-negative integer", end_text)};
    }
    for (Int128 offset = start; offset < bound; ++offset) offsets.push_back(static_cast<std::int64_t>(offset));
    return offsets;
  }

  if (const auto n = parse_offset(text)) {
    offsets.push_back(*n);
    return offsets;
  }
  auto variable = look_up_number(text, objects, variables);
  if (!variable) return Unexpected{std::move(variable).error()};
  if (!variable->found) return Unexpected{fmt::format("Invalid index '{}' in predecessor '{}'", text, predecessor)};
  if (!variable->number || *variable->number > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())) {
    return Unexpected{fmt::format("Index ref '{}' is not a valid non-negative integer", text)};
  }
  offsets.push_back(static_cast<std::int64_t>(*variable->number));
  return offsets;
}

}  // namespace arvex
