#pragma once
// Typed literals: the graph file writes each constant as a type name and a value text
// ("u32", "64"). string_to_cmtype turns such a pair into a value, or into an error whose
// details say what was wrong. It never stops the program.

#include <cstddef>
#include <string>
#include <string_view>

#include "arvex/cm_types.hpp"
#include "arvex/custom_error.hpp"
#include "arvex/expected.hpp"

namespace arvex {

using LiteralResult = Expected<CmTypes, CustomError>;
using LiteralParser = LiteralResult (*)(std::string_view value);

// The parsers by exact type name. The table is built by the first caller, whichever thread
// that is, and only read afterwards.
class LiteralParserTable {
 public:
  // Null when `type_name` has no parser.
  LiteralParser find(std::string_view type_name) const;
  std::size_t size() const;
};

inline constexpr LiteralParserTable PARSERS{};

// Parses `value` as `type`: a table type, or "Vec<T>" for a comma-separated sequence of a
// table type T (pieces trimmed of white space; sequences do not nest).
LiteralResult string_to_cmtype(std::string type, std::string value);

}  // namespace arvex
