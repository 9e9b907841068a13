#include "values/string_to_cmtype.hpp"

#include <fmt/format.h>

#include <limits>
#include <map>
#include <vector>

#include "values/literal_syntax.hpp"

namespace arvex {

namespace {

LiteralResult fail(std::string details) { return Unexpected{CustomError{std::move(details)}}; }

template <class T>
LiteralResult signed_parser(std::string_view value, std::string_view name, CmTypes (*make)(T)) {
  const auto n = detail::parse_signed_integer(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  if (!n) return fail(fmt::format("invalid {}: '{}'", name, value));
  return make(static_cast<T>(*n));
}

template <class T>
LiteralResult unsigned_parser(std::string_view value, std::string_view name, CmTypes (*make)(T)) {
  const auto n = detail::parse_unsigned_integer(value, std::numeric_limits<T>::max());
  if (!n) return fail(fmt::format("invalid {}: '{}'", name, value));
  return make(static_cast<T>(*n));
}

LiteralResult parse_bool(std::string_view v) {
  if (v == "true") return CmTypes::make_bool(true);
  if (v == "false") return CmTypes::make_bool(false);
  return fail(fmt::format("invalid bool: '{}'", v));
}

LiteralResult parse_f32(std::string_view v) {
  const auto x = detail::parse_decimal_f32(v);
  if (!x) return fail(fmt::format("invalid f32: '{}'", v));
  return CmTypes::make_f32(*x);
}

LiteralResult parse_f64(std::string_view v) {
  const auto x = detail::parse_decimal_f64(v);
  if (!x) return fail(fmt::format("invalid f64: '{}'", v));
  return CmTypes::make_f64(*x);
}

LiteralResult parse_char(std::string_view v) {
  const auto c = detail::parse_single_char(v);
  if (!c) return fail(fmt::format("invalid char: '{}'", v));
  return CmTypes::make_char(*c);
}

LiteralResult parse_complex32(std::string_view v) {
  const auto parts = detail::parse_complex(v, detail::ComplexWidth::k32);
  if (!parts.failure.empty()) return fail(fmt::format("Complex32 parse error for '{}': {}", v, parts.failure));
  return CmTypes::make_complex32(C32{static_cast<float>(parts.re), static_cast<float>(parts.im)});
}

LiteralResult parse_complex64(std::string_view v) {
  const auto parts = detail::parse_complex(v, detail::ComplexWidth::k64);
  if (!parts.failure.empty()) return fail(fmt::format("Complex64 parse error for '{}': {}", v, parts.failure));
  return CmTypes::make_complex64(C64{parts.re, parts.im});
}

using Table = std::map<std::string, LiteralParser, std::less<>>;

Table build_table() {
  return Table{
      {"bool", parse_bool},
      {"i8", [](std::string_view v) { return signed_parser<std::int8_t>(v, "i8", CmTypes::make_i8); }},
      {"i16", [](std::string_view v) { return signed_parser<std::int16_t>(v, "i16", CmTypes::make_i16); }},
      {"i32", [](std::string_view v) { return signed_parser<std::int32_t>(v, "i32", CmTypes::make_i32); }},
      {"i64", [](std::string_view v) { return signed_parser<std::int64_t>(v, "i64", CmTypes::make_i64); }},
      {"i128", [](std::string_view v) { return signed_parser<Int128>(v, "i128", CmTypes::make_i128); }},
      {"u8", [](std::string_view v) { return unsigned_parser<std::uint8_t>(v, "u8", CmTypes::make_u8); }},
      {"u16", [](std::string_view v) { return unsigned_parser<std::uint16_t>(v, "u16", CmTypes::make_u16); }},
      {"u32", [](std::string_view v) { return unsigned_parser<std::uint32_t>(v, "u32", CmTypes::make_u32); }},
      {"u64", [](std::string_view v) { return unsigned_parser<std::uint64_t>(v, "u64", CmTypes::make_u64); }},
      {"u128", [](std::string_view v) { return unsigned_parser<UInt128>(v, "u128", CmTypes::make_u128); }},
      {"f32", parse_f32},
      {"f64", parse_f64},
      {"char", parse_char},
      {"usize", [](std::string_view v) { return unsigned_parser<std::uint64_t>(v, "usize", CmTypes::make_usize); }},
      {"isize", [](std::string_view v) { return signed_parser<std::int64_t>(v, "isize", CmTypes::make_isize); }},
      {"String", [](std::string_view v) -> LiteralResult { return CmTypes::make_string(v); }},
      {"Complex32", parse_complex32},
      {"Complex64", parse_complex64},
      {"$ref", [](std::string_view v) { return unsigned_parser<std::uint64_t>(v, "ref", CmTypes::make_ref); }},
      {"$res", [](std::string_view v) { return unsigned_parser<std::uint64_t>(v, "res", CmTypes::make_res); }},
      {"$dep", [](std::string_view v) { return unsigned_parser<std::uint64_t>(v, "dep", CmTypes::make_dep); }},
      {"$factor", [](std::string_view) -> LiteralResult { return CmTypes::make_ref(0); }},
      {"$worker", [](std::string_view) -> LiteralResult { return CmTypes::make_ref(1); }},
      {"$barrier", [](std::string_view v) -> LiteralResult { return CmTypes::make_barrier(v); }},
      {"None", [](std::string_view) -> LiteralResult { return CmTypes::none(); }},
      {"Init", [](std::string_view) -> LiteralResult { return CmTypes::init(); }},
  };
}

const Table& table() {
  static const Table kTable = build_table();  // thread-safe once-only initialisation
  return kTable;
}

}  // namespace

LiteralParser LiteralParserTable::find(std::string_view type_name) const {
  const Table& t = table();
  const auto it = t.find(type_name);
  return it == t.end() ? nullptr : it->second;
}

std::size_t LiteralParserTable::size() const { return table().size(); }

LiteralResult string_to_cmtype(std::string type, std::string value) {
  if (const LiteralParser parser = PARSERS.find(type)) return parser(value);
  if (!type.starts_with("Vec")) return fail(fmt::format("Unable to parse type '{}' with value '{}'", type, value));
  if (type.size() < 5 || !type.starts_with("Vec<") || !type.ends_with(">")) {
    return fail(fmt::format("Invalid Vec format: {}", type));
  }
  const std::string_view element_type = std::string_view(type).substr(4, type.size() - 5);
  const LiteralParser element = PARSERS.find(element_type);
  if (element == nullptr) return fail(fmt::format("Unable to parse type '{}'", element_type));

  std::vector<CmTypes> elements;
  std::string_view rest = value;
  for (;;) {
    const auto comma = rest.find(',');
    LiteralResult piece = element(detail::trim_unicode_space(rest.substr(0, comma)));
    if (!piece) return piece;
    elements.push_back(std::move(piece).value());
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return CmTypes::make_vec(std::move(elements));
}

}  // namespace arvex
