#pragma once
// Initialization objects: the named values of a graph file's "initializations", computed once
// at load time, in file order.

#include <cstddef>
#include <vector>

#include "arvex/expected.hpp"
#include "graph/graph_file.hpp"
#include "graph/variables.hpp"

namespace arvex {

// Appends one object per initialization and enters each under its name once it is built, so
// that later initializations can refer to earlier ones. Stops at the first error.
Expected<void, LoadError> build_init_objects(const std::vector<InitJson>& initializations, VariableTable& variables,
                                             InitObjects& objects, std::size_t workers);

}  // namespace arvex
