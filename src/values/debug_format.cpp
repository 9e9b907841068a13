#include "values/debug_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "values/utf8.hpp"

namespace arvex::detail {

namespace {

// Shortest round-trip digits and decimal exponent of a finite, non-zero |value|:
// value = 0.d1d2...dn * 10^(exponent + 1), i.e. d1.d2...dn * 10^exponent.
struct Decomposed {
  std::string digits;
  int exponent = 0;
};

Decomposed decompose(double value, bool single_precision) {
  char buf[64];
  auto result = single_precision
                    ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(value), std::chars_format::scientific)
                    : std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(result.ptr - buf));
  const auto e = text.find('e');
  Decomposed d;
  for (char c : text.substr(0, e)) {
    if (c >= '0' && c <= '9') d.digits.push_back(c);
  }
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), d.exponent);
  while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
  return d;
}

void append_hex_escape(std::string& out, std::uint32_t code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", code);
  out += buf;
}

// Escapes shared by text and characters; `quote` is the delimiter that needs a backslash.
void append_escaped(std::string& out, char32_t c, char quote) {
  switch (c) {
    case U'\0': out += "\\0"; return;
    case U'\t': out += "\\t"; return;
    case U'\n': out += "\\n"; return;
    case U'\r': out += "\\r"; return;
    case U'\\': out += "\\\\"; return;
    default: break;
  }
  if (c == static_cast<char32_t>(quote)) {
    out.push_back('\\');
    out.push_back(quote);
  } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
    append_hex_escape(out, static_cast<std::uint32_t>(c));
  } else {
    append_utf8(out, c);
  }
}

}  // namespace

void append_float_debug(std::string& out, double value, bool single_precision) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) {
    out += "inf";
    return;
  }
  if (magnitude == 0.0) {
    out += "0.0";
    return;
  }
  const Decomposed d = decompose(magnitude, single_precision);
  const int n = static_cast<int>(d.digits.size());
  if (magnitude < 1e-4 || magnitude >= 1e16) {
    out.push_back(d.digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(d.digits, 1);
    }
    out.push_back('e');
    out += std::to_string(d.exponent);
    return;
  }
  if (d.exponent >= 0) {
    const int int_digits = d.exponent + 1;
    if (n <= int_digits) {
      out.append(d.digits);
      out.append(static_cast<std::size_t>(int_digits - n), '0');
      out += ".0";
    } else {
      out.append(d.digits, 0, static_cast<std::size_t>(int_digits));
      out.push_back('.');
      out.append(d.digits, static_cast<std::size_t>(int_digits));
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
    out.append(d.digits);
  }
}

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 0;
    const std::optional<char32_t> c = decode_utf8_at(text, i, len);
    if (!c) {  // not UTF-8: show the byte rather than lose it
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += buf;
      ++i;
      continue;
    }
    append_escaped(out, *c, '"');
    i += len;
  }
  out.push_back('"');
}

void append_char_debug(std::string& out, char32_t c) {
  out.push_back('\'');
  append_escaped(out, c, '\'');
  out.push_back('\'');
}

void append_u128(std::string& out, UInt128 value) {
  char buf[40];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  out.append(p, static_cast<std::size_t>(buf + sizeof buf - p));
}

void append_i128(std::string& out, Int128 value) {
  if (value < 0) {
    out.push_back('-');
    append_u128(out, static_cast<UInt128>(0) - static_cast<UInt128>(value));
  } else {
    append_u128(out, static_cast<UInt128>(value));
  }
}

}  // namespace arvex::detail
