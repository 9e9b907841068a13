#pragma once
// The "indexes" text of a predecessor reference: which predecessor instances (as offsets from
// the consumer's own instance index) feed one instance of the consumer.
//   "0,2,5"  a list of signed offsets (items trimmed)
//   "1-3"    offsets 1, 2, 3; "1-n" with a variable n holding 3: offsets 1, 2 (end excluded)
//   "3", "n" a single offset, written as a number or a variable

#include <cstdint>
#include <string_view>
#include <vector>

#include "arvex/expected.hpp"
#include "graph/variables.hpp"

namespace arvex {

Expected<std::vector<std::int64_t>, LoadError> parse_predecessor_indexes(std::string_view text,
                                                                          std::string_view predecessor,
                                                                          const InitObjects& objects,
                                                                          const VariableTable& variables);

}  // namespace arvex
