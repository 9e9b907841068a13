#pragma once
// The number and text syntaxes of typed literals in graph files: decimal integers with an
// optional sign, decimal floats (plus inf / infinity / nan), complex numbers in three
// spellings, and trimming of Unicode white space.

#include <cstdint>
#include <optional>
#include <string_view>

#include "arvex/cm_types.hpp"

namespace arvex::detail {

// Optional sign then one or more ASCII digits, nothing else; unsigned numbers accept only "+".
// Nothing when the text does not match or the number is out of range.
std::optional<Int128> parse_signed_integer(std::string_view text, Int128 min, Int128 max);
std::optional<UInt128> parse_unsigned_integer(std::string_view text, UInt128 max);

// Optional sign, then digits with an optional fraction and exponent, or inf / infinity / nan in
// any letter case. Values too large for the type become infinite.
std::optional<double> parse_decimal_f64(std::string_view text);
std::optional<float> parse_decimal_f32(std::string_view text);

// Exactly one Unicode scalar value, UTF-8 encoded.
std::optional<char32_t> parse_single_char(std::string_view text);

// `text` without leading and trailing Unicode white space.
std::string_view trim_unicode_space(std::string_view text);

enum class ComplexWidth { k32, k64 };

// The complex syntax: '3.5+2.5i', '3.5,2.5' or '{"re":3.5,"im":2.5}'. On failure returns the
// reason text ("invalid Complex32 real part", ...).
struct ComplexParts {
  double re = 0;
  double im = 0;
  std::string_view failure;  // empty on success
};
ComplexParts parse_complex(std::string_view text, ComplexWidth width);

}  // namespace arvex::detail
