// The byte layout of values and shared blocks, read from real values: this is what separately
// built binaries rely on when they exchange values.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "arvex/cm_types.hpp"

namespace arvex {
namespace {

using Bytes24 = std::array<std::uint8_t, 24>;

Bytes24 bytes_of(const CmTypes& v) {
  Bytes24 out;
  std::memcpy(out.data(), &v, sizeof out);
  return out;
}

template <class T>
T read_at(const void* base, std::size_t offset) {
  T out;
  std::memcpy(&out, static_cast<const std::uint8_t*>(base) + offset, sizeof out);
  return out;
}

const std::uint8_t* block_of(const CmTypes& v) {
  return reinterpret_cast<const std::uint8_t*>(read_at<std::uintptr_t>(&v, 8));
}

struct ScalarCase {
  const char* name;
  CmTypes value;
  CmTag tag;
  std::size_t offset;
  std::size_t width;
  std::uint64_t payload;  // little-endian bits expected at offset
};

TEST(ValueLayout, ScalarPayloadsSitAtTheirOffsets) {
  const ScalarCase cases[] = {
      {"Bool", CmTypes::make_bool(true), CmTag::Bool, 1, 1, 1},
      {"I8", CmTypes::make_i8(-2), CmTag::I8, 1, 1, 0xFE},
      {"U8", CmTypes::make_u8(200), CmTag::U8, 1, 1, 200},
      {"I16", CmTypes::make_i16(-2), CmTag::I16, 2, 2, 0xFFFE},
      {"U16", CmTypes::make_u16(0xBEEF), CmTag::U16, 2, 2, 0xBEEF},
      {"I32", CmTypes::make_i32(5), CmTag::I32, 4, 4, 5},
      {"U32", CmTypes::make_u32(0xDEADBEEF), CmTag::U32, 4, 4, 0xDEADBEEF},
      {"F32", CmTypes::make_f32(1.5f), CmTag::F32, 4, 4, 0x3FC00000},
      {"Char", CmTypes::make_char(U'x'), CmTag::Char, 4, 4, 'x'},
      {"I64", CmTypes::make_i64(-1), CmTag::I64, 8, 8, ~0ull},
      {"U64", CmTypes::make_u64(1ull << 40), CmTag::U64, 8, 8, 1ull << 40},
      {"F64", CmTypes::make_f64(1.5), CmTag::F64, 8, 8, 0x3FF8000000000000ull},
      {"Usize", CmTypes::make_usize(7), CmTag::Usize, 8, 8, 7},
      {"Isize", CmTypes::make_isize(-7), CmTag::Isize, 8, 8, static_cast<std::uint64_t>(-7)},
      {"Ref", CmTypes::make_ref(3), CmTag::Ref, 8, 8, 3},
      {"Res", CmTypes::make_res(4), CmTag::Res, 8, 8, 4},
      {"Dep", CmTypes::make_dep(5), CmTag::Dep, 8, 8, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes24 b = bytes_of(c.value);
    EXPECT_EQ(b[0], static_cast<std::uint8_t>(c.tag));
    std::uint64_t payload = 0;
    std::memcpy(&payload, b.data() + c.offset, c.width);
    EXPECT_EQ(payload, c.payload);
  }
}

TEST(ValueLayout, TagNumbersFollowTheAlternativeOrder) {
  EXPECT_EQ(bytes_of(CmTypes::none())[0], 24);
  EXPECT_EQ(bytes_of(CmTypes::init())[0], 25);
  EXPECT_EQ(bytes_of(CmTypes::make_string("a"))[0], 16);
  EXPECT_EQ(bytes_of(CmTypes::make_barrier("a"))[0], 23);
  EXPECT_EQ(bytes_of(CmTypes::make_vec({}))[0], 19);
  EXPECT_EQ(bytes_of(CmTypes::make_bytes({}))[0], 29);
  EXPECT_EQ(bytes_of(CmTypes::make_custom<int>(1))[0], 26);
  EXPECT_EQ(bytes_of(CmTypes::make_any_held<int>(1))[0], 30);
  EXPECT_EQ(bytes_of(CmTypes::make_vec_any({}))[0], 28);
}

TEST(ValueLayout, TextBlockHoldsCountsThenBytesAndTheValueHoldsTheLength) {
  for (const CmTypes& v : {CmTypes::make_string("hello"), CmTypes::make_barrier("hello")}) {
    SCOPED_TRACE(tag_name(v.tag()));
    EXPECT_EQ(read_at<std::uint64_t>(&v, 16), 5u);
    const std::uint8_t* block = block_of(v);
    EXPECT_EQ(read_at<std::uint64_t>(block, 0), 1u);  // strong
    EXPECT_EQ(read_at<std::uint64_t>(block, 8), 1u);  // weak
    EXPECT_EQ(std::memcmp(block + 16, "hello", 5), 0);
  }
}

TEST(ValueLayout, NumberBlocksHoldTheirPayloadFromByte16) {
  const CmTypes c32 = CmTypes::make_complex32({1.0f, 2.0f});
  EXPECT_EQ(read_at<float>(block_of(c32), 16), 1.0f);
  EXPECT_EQ(read_at<float>(block_of(c32), 20), 2.0f);

  const CmTypes c64 = CmTypes::make_complex64({3.0, 4.0});
  EXPECT_EQ(read_at<double>(block_of(c64), 16), 3.0);
  EXPECT_EQ(read_at<double>(block_of(c64), 24), 4.0);

  const Int128 big = (static_cast<Int128>(1) << 100) + 7;
  const CmTypes i128 = CmTypes::make_i128(big);
  EXPECT_EQ(read_at<std::uint64_t>(block_of(i128), 16), 7u);                 // low word first
  EXPECT_EQ(read_at<std::uint64_t>(block_of(i128), 24), 1ull << (100 - 64));  // then high word
}

TEST(ValueLayout, SequenceBlocksHoldCapacityDataPointerAndLength) {
  const CmTypes vec = CmTypes::make_vec({CmTypes::make_i32(1), CmTypes::make_i32(2)});
  const std::uint8_t* block = block_of(vec);
  EXPECT_GE(read_at<std::uint64_t>(block, 16), 2u);
  EXPECT_EQ(read_at<std::uint64_t>(block, 32), 2u);
  const auto* elements = reinterpret_cast<const CmTypes*>(read_at<std::uintptr_t>(block, 24));
  EXPECT_EQ(elements[1], CmTypes::make_i32(2));

  const std::uint8_t raw[] = {9, 8, 7};
  const CmTypes bytes = CmTypes::make_bytes(raw);
  const std::uint8_t* bblock = block_of(bytes);
  EXPECT_EQ(read_at<std::uint64_t>(bblock, 32), 3u);
  EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(read_at<std::uintptr_t>(bblock, 24))[2], 7);
}

TEST(ValueLayout, CellsHoldLockWordThenHeldObject) {
  const CmTypes custom = CmTypes::make_custom<double>(2.5);
  const std::uint8_t* cell = block_of(custom);
  EXPECT_EQ(read_at<std::uint64_t>(cell, 16), 0u);  // unlocked
  const auto* data = reinterpret_cast<const double*>(read_at<std::uintptr_t>(cell, 24));
  EXPECT_EQ(*data, 2.5);
  const auto* type = reinterpret_cast<const HeldType*>(read_at<std::uintptr_t>(cell, 32));
  EXPECT_TRUE(holds_type<double>(type));

  const CmTypes held = CmTypes::make_any_held<double>(4.0);
  EXPECT_EQ(read_at<std::uintptr_t>(&held, 16), reinterpret_cast<std::uintptr_t>(block_of(held) + 24))
      << "AnyHeld's second word points at the held-object slot of its own cell";

  const CmTypes vec_any = CmTypes::make_vec_any({CmTypes::make_held<int>(1), CmTypes::make_held<int>(2)});
  EXPECT_EQ(read_at<std::uint64_t>(block_of(vec_any), 40), 2u);  // length of the sequence at 24
}

}  // namespace
}  // namespace arvex
