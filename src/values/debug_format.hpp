#pragma once
// Debug-text building blocks shared by values and errors: floats in their shortest round-trip
// form (1.5, 1.0, 1e16, NaN, inf), quoted and escaped text and characters, 128-bit integers.

#include <cstdint>
#include <string>
#include <string_view>

#include "arvex/cm_types.hpp"

namespace arvex::detail {

void append_float_debug(std::string& out, double value, bool single_precision);
// Appends `text` in double quotes, escaping quotes, backslashes and control characters.
void append_quoted(std::string& out, std::string_view text);
// Appends `c` in single quotes with the same escapes.
void append_char_debug(std::string& out, char32_t c);
void append_u128(std::string& out, UInt128 value);
void append_i128(std::string& out, Int128 value);

}  // namespace arvex::detail
