#pragma once
// Shared blocks behind the non-scalar values. Every block starts with a strong and a weak
// count (both 1 when made) and has its payload at byte 16. These layouts are part of the value
// contract between separately built binaries; the static_asserts pin them down.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "arvex/detail/cell_lock.hpp"
#include "arvex/held_type.hpp"

namespace arvex {

struct C32 {
  float re;
  float im;
};

struct C64 {
  double re;
  double im;
};

class SlicedAccess;

namespace detail {

struct BlockHeader {
  std::atomic<std::uint64_t> strong;
  std::atomic<std::uint64_t> weak;
};

// A growable array as three words: capacity, data pointer, length.
struct SequenceWords {
  std::uint64_t capacity;
  void* data;
  std::uint64_t length;
};

struct SequenceBlock {
  BlockHeader header;
  SequenceWords sequence;
};

struct C32Block {
  BlockHeader header;
  C32 value;
};

struct C64Block {
  BlockHeader header;
  C64 value;
};

struct CellBlock {
  BlockHeader header;
  CellLock lock;
  HeldObject held;
};

struct VecAnyBlock {
  BlockHeader header;
  CellLock lock;
  SequenceWords objects;  // of HeldObject
};

// The interface table of a SlicedType value: how to destroy the object in the block and how to
// reach it as a SlicedAccess.
struct SlicedTable {
  void (*destroy)(void* object) noexcept;
  SlicedAccess* (*access)(void* object) noexcept;
};

inline constexpr std::size_t kBlockPayloadOffset = 16;

static_assert(sizeof(std::atomic<std::uint64_t>) == 8 && std::atomic<std::uint64_t>::is_always_lock_free,
              "block counters must be plain lock-free 64-bit words");
static_assert(offsetof(BlockHeader, strong) == 0 && offsetof(BlockHeader, weak) == 8,
              "strong count at byte 0, weak count at byte 8");
static_assert(offsetof(SequenceBlock, sequence) == 16 && offsetof(SequenceWords, capacity) == 0 &&
                  offsetof(SequenceWords, data) == 8 && offsetof(SequenceWords, length) == 16,
              "a sequence block holds capacity, data pointer and length from byte 16");
static_assert(offsetof(C32Block, value) == 16 && offsetof(C32, im) == 4, "C32: re at 16, im at 20");
static_assert(offsetof(C64Block, value) == 16 && offsetof(C64, im) == 8, "C64: re at 16, im at 24");
static_assert(offsetof(CellBlock, lock) == 16 && offsetof(CellBlock, held) == 24,
              "a cell holds its lock word at 16 and the held object at 24");
static_assert(offsetof(VecAnyBlock, lock) == 16 && offsetof(VecAnyBlock, objects) == 24,
              "a VecAny cell holds its lock word at 16 and its sequence at 24");

inline BlockHeader* header_of(void* block) noexcept { return static_cast<BlockHeader*>(block); }

inline std::byte* payload_of(void* block) noexcept {
  return static_cast<std::byte*>(block) + kBlockPayloadOffset;
}

}  // namespace detail
}  // namespace arvex
