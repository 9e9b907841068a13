#include "values/literal_syntax.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include "support/utf8.hpp"

namespace arvex::detail {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// Checks the decimal float grammar; on success `scale` is the decimal exponent of the first
// non-zero digit (for telling overflow from underflow) or nothing when every digit is zero.
bool check_float_grammar(std::string_view text, std::optional<long long>& scale) {
  std::size_t i = 0;
  std::size_t digits = 0;
  long long first_nonzero = 0;  // position relative to the decimal point
  long long int_digits = 0;
  bool seen_nonzero = false;
  for (; i < text.size() && is_digit(text[i]); ++i, ++digits, ++int_digits) {
    if (!seen_nonzero && text[i] != '0') {
      seen_nonzero = true;
      first_nonzero = int_digits;
    }
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    for (long long frac = 0; i < text.size() && is_digit(text[i]); ++i, ++digits, ++frac) {
      if (!seen_nonzero && text[i] != '0') {
        seen_nonzero = true;
        first_nonzero = int_digits + frac;
      }
    }
  }
  if (digits == 0) return false;
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t start = i;
    for (; i < text.size() && is_digit(text[i]); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (i == start) return false;
    if (negative) exponent = -exponent;
  }
  if (i != text.size()) return false;
  if (seen_nonzero) scale = int_digits - 1 - first_nonzero + exponent;
  return true;
}

template <class Float>
std::optional<Float> parse_float(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  const Float sign = negative ? Float(-1) : Float(1);
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    return sign * std::numeric_limits<Float>::infinity();
  }
  if (equals_ignoring_case(text, "nan")) return std::copysign(std::numeric_limits<Float>::quiet_NaN(), sign);
  std::optional<long long> scale;
  if (!check_float_grammar(text, scale)) return std::nullopt;
  Float value{};
  // from_chars does not take "5." or ".5" in every library version; give it a canonical form.
  std::string canonical(text);
  if (canonical.front() == '.') canonical.insert(canonical.begin(), '0');
  const auto [ptr, ec] = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
  if (ec == std::errc::result_out_of_range) {
    value = (scale && *scale > 0) ? std::numeric_limits<Float>::infinity() : Float(0);
  } else if (ec != std::errc() || ptr != canonical.data() + canonical.size()) {
    return std::nullopt;
  }
  return sign * value;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

namespace {

// The sign and magnitude of an integer literal, the magnitude at most `limit_positive` or, with
// a minus sign, `limit_negative` (0 forbids the minus sign, as for unsigned types).
struct SignedMagnitude {
  bool negative = false;
  UInt128 magnitude = 0;
};

std::optional<SignedMagnitude> parse_magnitude(std::string_view text, UInt128 limit_positive,
                                               UInt128 limit_negative) {
  SignedMagnitude out;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    out.negative = text[0] == '-';
    if (out.negative && limit_negative == 0) return std::nullopt;  // "-0" is no unsigned number either
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  const UInt128 limit = out.negative ? limit_negative : limit_positive;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    const auto digit = static_cast<unsigned>(c - '0');
    if (limit < digit || out.magnitude > (limit - digit) / 10) return std::nullopt;
    out.magnitude = out.magnitude * 10 + digit;
  }
  return out;
}

}  // namespace

std::optional<Int128> parse_signed_integer(std::string_view text, Int128 min, Int128 max) {
  const auto parsed = parse_magnitude(text, static_cast<UInt128>(max), static_cast<UInt128>(0) - static_cast<UInt128>(min));
  if (!parsed) return std::nullopt;
  return parsed->negative ? static_cast<Int128>(static_cast<UInt128>(0) - parsed->magnitude)
                          : static_cast<Int128>(parsed->magnitude);
}

std::optional<UInt128> parse_unsigned_integer(std::string_view text, UInt128 max) {
  const auto parsed = parse_magnitude(text, max, 0);
  if (!parsed) return std::nullopt;
  return parsed->magnitude;
}

std::optional<double> parse_decimal_f64(std::string_view text) { return parse_float<double>(text); }
std::optional<float> parse_decimal_f32(std::string_view text) { return parse_float<float>(text); }

std::optional<char32_t> parse_single_char(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::size_t length = 0;
  const auto c = decode_utf8_at(text, 0, length);
  if (!c || length != text.size()) return std::nullopt;
  return c;
}

std::string_view trim_unicode_space(std::string_view text) {
  // Leading: decode forward.
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 0;
    const auto c = decode_utf8_at(text, begin, length);
    if (!c || !is_unicode_space(*c)) break;
    begin += length;
  }
  // Trailing: step back over continuation bytes to each character's start.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t length = 0;
    const auto c = decode_utf8_at(text, start, length);
    if (!c || start + length != end || !is_unicode_space(*c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace arvex::detail
