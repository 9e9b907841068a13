#pragma once
// The inline form of a result: the fourteen scalar alternatives that fit one 64-bit word are
// kept in a result-map cell as (cell tag, payload) instead of a heap box. The cell tags are the
// result map's own numbering, not the CmTypes tags.

#include <bit>
#include <cstdint>
#include <optional>

#include "arvex/cm_types.hpp"

namespace arvex::detail {

inline constexpr std::uint8_t EMPTY_CELL_TAG = 0;
inline constexpr std::uint8_t BOXED_CELL_TAG = 255;

struct InlineValue {
  std::uint8_t tag;
  std::uint64_t payload;
};

// Stops the program: a cell holds a tag that no writer stores.
[[noreturn, gnu::cold]] void invalid_inline_tag(std::uint8_t tag) noexcept;

// Signed payloads are sign-extended and unsigned ones zero-extended to the full word.
inline std::uint64_t widen_signed(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v); }

// The cell tag and payload of `value`, or nothing when it has to be boxed.
inline std::optional<InlineValue> encode_inline(const CmTypes& value) noexcept {
  switch (value.tag()) {
    case CmTag::F64: return InlineValue{1, std::bit_cast<std::uint64_t>(value.get_f64())};
    case CmTag::F32: return InlineValue{2, std::bit_cast<std::uint32_t>(value.get_f32())};
    case CmTag::I64: return InlineValue{3, widen_signed(value.get_i64())};
    case CmTag::U64: return InlineValue{4, value.get_u64()};
    case CmTag::I32: return InlineValue{5, widen_signed(value.get_i32())};
    case CmTag::U32: return InlineValue{6, value.get_u32()};
    case CmTag::I16: return InlineValue{7, widen_signed(value.get_i16())};
    case CmTag::U16: return InlineValue{8, value.get_u16()};
    case CmTag::I8: return InlineValue{9, widen_signed(value.get_i8())};
    case CmTag::U8: return InlineValue{10, value.get_u8()};
    case CmTag::Bool: return InlineValue{11, value.get_bool() ? 1u : 0u};
    case CmTag::Usize: return InlineValue{12, value.get_usize()};
    case CmTag::Isize: return InlineValue{13, widen_signed(value.get_isize())};
    case CmTag::Char: return InlineValue{14, value.get_char()};
    default: return std::nullopt;
  }
}

// Rebuilds the value of an inline cell (tags 1 to 14). A Char payload that is no Unicode scalar
// value reads as U+0000.
inline CmTypes decode_inline(std::uint8_t tag, std::uint64_t payload) noexcept {
  const auto low32 = static_cast<std::uint32_t>(payload);
  switch (tag) {
    case 1: return CmTypes::make_f64(std::bit_cast<double>(payload));
    case 2: return CmTypes::make_f32(std::bit_cast<float>(low32));
    case 3: return CmTypes::make_i64(static_cast<std::int64_t>(payload));
    case 4: return CmTypes::make_u64(payload);
    case 5: return CmTypes::make_i32(static_cast<std::int32_t>(low32));
    case 6: return CmTypes::make_u32(low32);
    case 7: return CmTypes::make_i16(static_cast<std::int16_t>(payload));
    case 8: return CmTypes::make_u16(static_cast<std::uint16_t>(payload));
    case 9: return CmTypes::make_i8(static_cast<std::int8_t>(payload));
    case 10: return CmTypes::make_u8(static_cast<std::uint8_t>(payload));
    case 11: return CmTypes::make_bool(payload != 0);
    case 12: return CmTypes::make_usize(payload);
    case 13: return CmTypes::make_isize(static_cast<std::int64_t>(payload));
    case 14: {
      const bool scalar = payload <= 0x10FFFF && !(payload >= 0xD800 && payload <= 0xDFFF);
      return CmTypes::make_char(scalar ? static_cast<char32_t>(payload) : U'\0');
    }
    default: invalid_inline_tag(tag);
  }
}

}  // namespace arvex::detail
