#include "values/debug_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

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
