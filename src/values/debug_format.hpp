#pragma once
// Debug-text building blocks of values: floats in their shortest round-trip form (1.5, 1.0,
// 1e16, NaN, inf) and 128-bit integers. Text is quoted by support/text_escape.hpp.

#include <cstdint>
#include <string>
#include <string_view>

#include "arvex/cm_types.hpp"

namespace arvex::detail {

void append_float_debug(std::string& out, double value, bool single_precision);
void append_u128(std::string& out, UInt128 value);
void append_i128(std::string& out, Int128 value);

}  // namespace arvex::detail
