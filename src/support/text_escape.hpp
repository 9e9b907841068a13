#pragma once
// Quoting text for debug output and log fields: double quotes around, backslash escapes for
// quotes, backslashes and control characters (\n, \t, \r, \0, others as \u{1b}). Bytes that
// are not UTF-8 show as \xNN rather than being lost.

#include <string>
#include <string_view>

namespace arvex::detail {

void append_quoted(std::string& out, std::string_view text);
// `c` in single quotes with the same escapes.
void append_char_quoted(std::string& out, char32_t c);

}  // namespace arvex::detail
