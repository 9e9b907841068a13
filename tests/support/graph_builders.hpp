#pragma once
// Graph pieces assembled by hand the way the loader produces them: predecessor edges, literal
// and marker arguments, and nodes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph/node.hpp"

namespace arvex::test_support {

// An argument of kind `kind` (Res, Dep or Barrier) reading `offsets` of node `from`.
inline Arg edge(CmTypes kind, std::uint16_t from, std::vector<std::int64_t> offsets = {0},
                std::optional<std::size_t> group_by = std::nullopt) {
  Arg arg;
  arg.pred = PredRef{from, std::move(offsets), group_by};
  arg.value = std::move(kind);
  return arg;
}
inline Arg res(std::uint16_t from, std::vector<std::int64_t> offsets = {0},
               std::optional<std::size_t> group_by = std::nullopt) {
  return edge(CmTypes::make_res(from), from, std::move(offsets), group_by);
}
inline Arg dep(std::uint16_t from) { return edge(CmTypes::make_dep(from), from); }
inline Arg barrier(std::uint16_t from, std::vector<std::int64_t> offsets = {0},
                   std::optional<std::size_t> group_by = std::nullopt) {
  return edge(CmTypes::make_barrier(std::to_string(from)), from, std::move(offsets), group_by);
}
inline Arg literal(CmTypes value) {
  Arg arg;
  arg.value = std::move(value);
  return arg;
}
inline Arg ref(std::uint64_t object) { return literal(CmTypes::make_ref(object)); }
// An argument that only gates the node: it never reaches the kernel.
inline Arg conditional(Arg arg) {
  arg.condition = ArgCondition{CondOp::Gt, CmTypes::make_i32(0)};
  return arg;
}

// Offsets 0, 1, ..., count - 1.
inline std::vector<std::int64_t> offsets(std::size_t count) {
  std::vector<std::int64_t> out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int64_t>(i);
  return out;
}

inline Node node(std::uint16_t id, std::string name, std::size_t factor = 1, std::vector<Arg> args = {}) {
  Node n;
  n.id = id;
  n.name = std::move(name);
  n.function = "noop";
  n.factor = factor;
  n.args = std::move(args);
  return n;
}

// A node-level condition calling "noop" on `args`.
inline NodeCondition gate(std::vector<Arg> args = {}) {
  return NodeCondition{CondOp::Eq, CmTypes::none(), "noop", std::move(args)};
}

}  // namespace arvex::test_support
