#pragma once
// SuccessorArena: the successor edges of every node, contiguous per node, so that releasing the
// successors of a completed task walks one small range of compact records. Built by the compiler;
// read by batch resolution and worker-side resolution.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace arvex {

// One (predecessor p, successor s) edge as the release code reads it when an instance idx of p
// completes:
// - the edge applies only when window_start <= idx < window_end, unless window_end is
//   kNoWindowEnd (every instance of p);
// - with group_by != 0 the completion counts for group (idx - window_start) / group_by of s;
// - with has_shift, the completion releases exactly instance (idx - shift) mod succ_factor of s.
struct SuccEdge {
  static constexpr std::uint32_t kNoWindowEnd = std::numeric_limits<std::uint32_t>::max();

  std::uint32_t succ_factor = 0;
  std::uint32_t window_start = 0;
  std::uint32_t window_end = kNoWindowEnd;
  std::uint32_t group_by = 0;  // 0: every instance of p feeds every instance of s
  // The offset reduced modulo succ_factor, so that the release arithmetic stays unsigned.
  std::uint32_t shift = 0;
  std::uint16_t succ = 0;
  std::uint8_t succ_is_condition = 0;
  std::uint8_t succ_one_to_one = 0;
  std::uint8_t has_shift = 0;
};

// Natural alignment rather than a packed attribute: the 32-bit fields stay aligned, and the
// three bytes of tail padding keep two edges within 56 bytes of one cache line.
static_assert(offsetof(SuccEdge, succ_factor) == 0 && offsetof(SuccEdge, window_start) == 4 &&
                  offsetof(SuccEdge, window_end) == 8 && offsetof(SuccEdge, group_by) == 12 &&
                  offsetof(SuccEdge, shift) == 16 && offsetof(SuccEdge, succ) == 20 &&
                  offsetof(SuccEdge, succ_is_condition) == 22 &&
                  offsetof(SuccEdge, succ_one_to_one) == 23 && offsetof(SuccEdge, has_shift) == 24,
              "SuccEdge fields sit in declaration order without holes");
static_assert(sizeof(SuccEdge) == 28 && alignof(SuccEdge) == 4,
              "a successor edge is 28 bytes, aligned to 4");

// The edges of one node: entries [start, end) of SuccessorArena::edges.
struct SuccessorRange {
  std::uint32_t start = 0;
  std::uint32_t end = 0;

  friend bool operator==(const SuccessorRange&, const SuccessorRange&) = default;
};

struct SuccessorArena {
  std::vector<SuccEdge> edges;
  std::vector<SuccessorRange> ranges;  // one per node, index = node id

  // The edges of `node`, in the order of its successor list. `node` must be a node of the graph.
  std::span<const SuccEdge> successors_of(std::uint16_t node) const noexcept {
    const SuccessorRange r = ranges[node];
    return std::span<const SuccEdge>(edges).subspan(r.start, r.end - r.start);
  }
};

}  // namespace arvex
