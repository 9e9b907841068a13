#pragma once
// Variables of a graph file: named initialization objects (and "$index", "$workers") that
// arguments, "indexes", factors and the network address refer to by name.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arvex/cm_types.hpp"
#include "arvex/expected.hpp"
#include "graph/graph_file.hpp"

namespace arvex {

// The values of every initialization object, by object index.
using InitObjects = std::vector<std::vector<CmTypes>>;
// Variable name to object index. A later entry of the same name replaces the earlier one.
using VariableTable = std::map<std::string, std::size_t, std::less<>>;

// Load errors are plain messages; the program prints them.
using LoadError = std::string;

// The number a value stands for: non-negative integers of every width (128-bit ones keep their
// low 64 bits). Nothing for other alternatives, Isize included.
std::optional<std::size_t> number_of(const CmTypes& value) noexcept;

// The first value of variable `name`'s object, or an error when the object holds no value.
// Null (no error) when there is no such variable.
Expected<const CmTypes*, LoadError> first_value_of(std::string_view name, const InitObjects& objects,
                                                   const VariableTable& variables);

// A factor's count: a number as is, "$workers" as `workers`, any other name as its variable's
// number.
Expected<std::size_t, LoadError> resolve(const Factor& factor, const InitObjects& objects,
                                         const VariableTable& variables, std::size_t workers);

}  // namespace arvex
