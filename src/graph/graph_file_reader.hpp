#pragma once
// Reads the JSON text of a graph file into the plain records of graph_file.hpp. The graph loader
// calls it first and interprets the records afterwards; nothing here resolves names or parses
// literals.

#include <string>
#include <string_view>

#include "arvex/expected.hpp"
#include "graph/graph_file.hpp"

namespace arvex {

// Reads `text` as one JSON object in the GraphFile shape.
//
// Keys are case-sensitive and unknown keys are skipped with their whole value. Absent optional
// keys, and optional keys written as null, take their default (the record's member initializer:
// factor 1, buffer_depth 128, an empty initialization list, otherwise none). Records must be
// JSON objects; the array form of a record is rejected as a type error.
//
// The first fault ends reading and comes back as one message followed by
// " at line L column C". L counts from 1; C is the byte column, within its line, of the last byte
// the reader had taken when it noticed the fault, so a fault met right after a newline is at
// column 0 of the next line, and an empty document faults at line 1 column 0. In practice:
//   - a value of the wrong type or range: the last byte of the value (`{` or `[` for a container);
//   - "duplicate field `k`": the closing quote of the repeated key;
//   - "missing field `k`": the `}` of the object that lacks it;
//   - a syntax fault: the byte where the document stopped making sense (the last byte of the
//     unexpected token, or the last byte of the document when it ends too early).
// A duplicate of an unknown key is not a fault: unknown keys are ignored altogether.
Expected<GraphFile, std::string> read_graph_file(std::string_view text);

}  // namespace arvex
