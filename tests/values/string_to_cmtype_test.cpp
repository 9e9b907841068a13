// Typed literals: a type name and a value text become a value or an error text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "values/string_to_cmtype.hpp"

namespace arvex {
namespace {

struct LiteralCase {
  std::string type;
  std::string value;
  std::optional<CmTypes> expected;  // nothing when the call must fail
  std::string error;                // expected details when it fails
};

CmTypes vec(std::vector<CmTypes> elements) { return CmTypes::make_vec(std::move(elements)); }

LiteralCase ok(std::string type, std::string value, CmTypes expected) {
  return {std::move(type), std::move(value), std::move(expected), ""};
}
LiteralCase bad(std::string type, std::string value, std::string error) {
  return {std::move(type), std::move(value), std::nullopt, std::move(error)};
}

const std::string k32Format = "invalid Complex32 format. Use: '3.5+2.5i', '3.5,2.5', or '{\"re\":3.5,\"im\":2.5}'";
const std::string k64Format = "invalid Complex64 format. Use: '3.5+2.5i', '3.5,2.5', or '{\"re\":3.5,\"im\":2.5}'";

std::vector<LiteralCase> literal_cases() {
  return {
      // bool
      ok("bool", "true", CmTypes::make_bool(true)),
      ok("bool", "false", CmTypes::make_bool(false)),
      bad("bool", "True", "invalid bool: 'True'"),
      bad("bool", "1", "invalid bool: '1'"),
      // integers: sign rules, ranges, no trimming, decimal only
      ok("u8", "+7", CmTypes::make_u8(7)),
      bad("u8", "-0", "invalid u8: '-0'"),
      ok("u8", "255", CmTypes::make_u8(255)),
      bad("u8", "256", "invalid u8: '256'"),
      ok("i8", "-128", CmTypes::make_i8(-128)),
      bad("i8", "128", "invalid i8: '128'"),
      ok("i8", "+127", CmTypes::make_i8(127)),
      ok("i16", "-32768", CmTypes::make_i16(-32768)),
      bad("i16", "32768", "invalid i16: '32768'"),
      ok("u16", "65535", CmTypes::make_u16(65535)),
      ok("i32", "-0", CmTypes::make_i32(0)),
      ok("i32", "007", CmTypes::make_i32(7)),
      bad("i32", " 5", "invalid i32: ' 5'"),
      bad("i32", "5 ", "invalid i32: '5 '"),
      bad("i32", "", "invalid i32: ''"),
      bad("i32", "-", "invalid i32: '-'"),
      bad("i32", "+", "invalid i32: '+'"),
      bad("i32", "0x10", "invalid i32: '0x10'"),
      bad("i32", "1_000", "invalid i32: '1_000'"),
      bad("i32", "1.0", "invalid i32: '1.0'"),
      bad("i32", "2147483648", "invalid i32: '2147483648'"),
      ok("i32", "-2147483648", CmTypes::make_i32(-2147483648)),
      ok("u32", "4294967295", CmTypes::make_u32(4294967295u)),
      ok("i64", "-9223372036854775808", CmTypes::make_i64(INT64_MIN)),
      bad("i64", "9223372036854775808", "invalid i64: '9223372036854775808'"),
      ok("u64", "18446744073709551615", CmTypes::make_u64(UINT64_MAX)),
      bad("u64", "18446744073709551616", "invalid u64: '18446744073709551616'"),
      ok("i128", "-170141183460469231731687303715884105728", CmTypes::make_i128(static_cast<Int128>(static_cast<UInt128>(1) << 127))),
      bad("i128", "170141183460469231731687303715884105728", "invalid i128: '170141183460469231731687303715884105728'"),
      ok("u128", "340282366920938463463374607431768211455", CmTypes::make_u128(~static_cast<UInt128>(0))),
      bad("u128", "340282366920938463463374607431768211456", "invalid u128: '340282366920938463463374607431768211456'"),
      bad("u128", "-1", "invalid u128: '-1'"),
      ok("usize", "12", CmTypes::make_usize(12)),
      bad("usize", "-1", "invalid usize: '-1'"),
      ok("isize", "-12", CmTypes::make_isize(-12)),
      bad("isize", "x", "invalid isize: 'x'"),
      // floats
      ok("f64", "1.5", CmTypes::make_f64(1.5)),
      ok("f64", "-2", CmTypes::make_f64(-2.0)),
      ok("f64", "+1e3", CmTypes::make_f64(1000.0)),
      ok("f64", "1E-3", CmTypes::make_f64(0.001)),
      ok("f64", ".5", CmTypes::make_f64(0.5)),
      ok("f64", "5.", CmTypes::make_f64(5.0)),
      ok("f64", "Infinity", CmTypes::make_f64(INFINITY)),
      ok("f64", "-inf", CmTypes::make_f64(-INFINITY)),
      ok("f64", "1e400", CmTypes::make_f64(INFINITY)),
      ok("f64", "-1e400", CmTypes::make_f64(-INFINITY)),
      ok("f64", "1e-400", CmTypes::make_f64(0.0)),
      ok("f32", "1e40", CmTypes::make_f32(INFINITY)),
      ok("f32", "0.1", CmTypes::make_f32(0.1f)),
      bad("f64", " 1.5", "invalid f64: ' 1.5'"),
      bad("f64", "1.5.2", "invalid f64: '1.5.2'"),
      bad("f64", ".", "invalid f64: '.'"),
      bad("f64", "e5", "invalid f64: 'e5'"),
      bad("f64", "1e", "invalid f64: '1e'"),
      bad("f64", "0x1p3", "invalid f64: '0x1p3'"),
      bad("f64", "infinit", "invalid f64: 'infinit'"),
      bad("f32", "", "invalid f32: ''"),
      // char
      ok("char", "x", CmTypes::make_char(U'x')),
      ok("char", "\u00e9", CmTypes::make_char(U'\u00e9')),
      ok("char", "\U0001F600", CmTypes::make_char(U'\U0001F600')),
      bad("char", "xy", "invalid char: 'xy'"),
      bad("char", "", "invalid char: ''"),
      // text and markers
      ok("String", " kept as is ", CmTypes::make_string(" kept as is ")),
      ok("String", "", CmTypes::make_string("")),
      ok("$ref", "3", CmTypes::make_ref(3)),
      ok("$res", "4", CmTypes::make_res(4)),
      ok("$dep", "5", CmTypes::make_dep(5)),
      bad("$ref", "x", "invalid ref: 'x'"),
      bad("$res", "-1", "invalid res: '-1'"),
      bad("$dep", "", "invalid dep: ''"),
      ok("$factor", "anything", CmTypes::make_ref(0)),
      ok("$worker", "anything", CmTypes::make_ref(1)),
      ok("$barrier", "x", CmTypes::make_barrier("x")),
      ok("None", "ignored", CmTypes::none()),
      ok("Init", "ignored", CmTypes::init()),
      // complex numbers in their three spellings
      ok("Complex32", "3.5+2.5i", CmTypes::make_complex32({3.5f, 2.5f})),
      ok("Complex32", "3.5,2.5", CmTypes::make_complex32({3.5f, 2.5f})),
      ok("Complex32", "{\"re\":3.5,\"im\":2.5}", CmTypes::make_complex32({3.5f, 2.5f})),
      ok("Complex64", "3.5+2.5i", CmTypes::make_complex64({3.5, 2.5})),
      ok("Complex64", "3.5,2.5", CmTypes::make_complex64({3.5, 2.5})),
      ok("Complex64", " { \"im\": 2.5, \"note\": [1, {\"re\": \"x\"}], \"re\": 3.5 } ", CmTypes::make_complex64({3.5, 2.5})),
      ok("Complex64", "3-2i", CmTypes::make_complex64({3, -2})),
      ok("Complex64", "1e-3+2i", CmTypes::make_complex64({0.001, 2})),
      ok("Complex64", " 3 -2i ", CmTypes::make_complex64({3, -2})),
      bad("Complex64", "3 - 2i", "Complex64 parse error for '3 - 2i': invalid Complex64 imaginary part"),
      ok("Complex64", "{\"re\":1,\"im\":-2}", CmTypes::make_complex64({1, -2})),
      bad("Complex32", "2.5i", "Complex32 parse error for '2.5i': " + k32Format),
      bad("Complex32", "-2.5i", "Complex32 parse error for '-2.5i': " + k32Format),
      bad("Complex64", "3.5", "Complex64 parse error for '3.5': " + k64Format),
      bad("Complex32", "1+2e-3i", "Complex32 parse error for '1+2e-3i': invalid Complex32 real part"),
      bad("Complex32", "3.5, 2.5i", "Complex32 parse error for '3.5, 2.5i': invalid Complex32 imaginary part"),
      bad("Complex64", "x,1", "Complex64 parse error for 'x,1': invalid Complex64 real part"),
      bad("Complex64", "{\"re\":1}", "Complex64 parse error for '{\"re\":1}': invalid Complex64 JSON format"),
      bad("Complex64", "{\"re\":1,\"im\":2,\"re\":3}", "Complex64 parse error for '{\"re\":1,\"im\":2,\"re\":3}': invalid Complex64 JSON format"),
      bad("Complex64", "{\"re\":\"1\",\"im\":2}", "Complex64 parse error for '{\"re\":\"1\",\"im\":2}': invalid Complex64 JSON format"),
      bad("Complex32", "{\"re\":1,\"im\":2} x", "Complex32 parse error for '{\"re\":1,\"im\":2} x': invalid Complex32 JSON format"),
      bad("Complex32", "{\"re\":1,", "Complex32 parse error for '{\"re\":1,': invalid Complex32 JSON format"),
      // sequences
      ok("Vec<i32>", " 1 , 2 ,3 ", vec({CmTypes::make_i32(1), CmTypes::make_i32(2), CmTypes::make_i32(3)})),
      ok("Vec<String>", "", vec({CmTypes::make_string("")})),
      ok("Vec<String>", "a, b", vec({CmTypes::make_string("a"), CmTypes::make_string("b")})),
      ok("Vec<f64>", "1.5\u00a0,\t2", vec({CmTypes::make_f64(1.5), CmTypes::make_f64(2)})),
      bad("Vec<i32>", "", "invalid i32: ''"),
      bad("Vec<i32>", "1,,2", "invalid i32: ''"),
      bad("Vec<u8>", "1,300,x", "invalid u8: '300'"),
      bad("Vec", "1", "Invalid Vec format: Vec"),
      bad("Vec<i32", "1", "Invalid Vec format: Vec<i32"),
      bad("Vector", "1", "Invalid Vec format: Vector"),
      bad("Vec<x>", "1", "Unable to parse type 'x'"),
      bad("Vec<Vec<i32>>", "1", "Unable to parse type 'Vec<i32>'"),
      bad("Vec<>", "1", "Unable to parse type ''"),
      // unknown types
      bad("int", "5", "Unable to parse type 'int' with value '5'"),
      bad("I32", "5", "Unable to parse type 'I32' with value '5'"),
      bad("", "", "Unable to parse type '' with value ''"),
  };
}

TEST(StringToCmtype, Table) {
  for (const LiteralCase& c : literal_cases()) {
    SCOPED_TRACE(c.type + " with '" + c.value + "'");
    const LiteralResult result = string_to_cmtype(c.type, c.value);
    if (c.expected) {
      ASSERT_TRUE(result.has_value()) << result.error().details;
      EXPECT_EQ(result.value(), *c.expected) << result.value().debug_string();
    } else {
      ASSERT_FALSE(result.has_value()) << result.value().debug_string();
      EXPECT_EQ(result.error().details, c.error);
    }
  }
}

TEST(StringToCmtype, NotANumberAndSignsOfZeroAndInfinity) {
  const auto nan = string_to_cmtype("f64", "NaN");
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(nan->get_f64()));
  const auto nan32 = string_to_cmtype("f32", "nan");
  ASSERT_TRUE(nan32);
  EXPECT_TRUE(std::isnan(nan32->get_f32()));
  const auto negative_zero = string_to_cmtype("f64", "-0.0");
  ASSERT_TRUE(negative_zero);
  EXPECT_TRUE(std::signbit(negative_zero->get_f64()));
  const auto big32 = string_to_cmtype("Complex32", "1e40,1");
  ASSERT_TRUE(big32);
  EXPECT_TRUE(std::isinf(big32->get_complex32().re));
}

TEST(StringToCmtype, ParserTableHoldsExactlyTheKnownTypes) {
  const char* names[] = {"bool", "i8", "i16", "i32", "i64", "i128", "u8", "u16", "u32", "u64",
                         "u128", "f32", "f64", "char", "usize", "isize", "String", "Complex32",
                         "Complex64", "$ref", "$res", "$dep", "$factor", "$worker", "$barrier", "None", "Init"};
  for (const char* name : names) EXPECT_NE(PARSERS.find(name), nullptr) << name;
  EXPECT_EQ(PARSERS.size(), std::size(names));
  EXPECT_EQ(PARSERS.find("string"), nullptr);
}

TEST(StringToCmtype, FirstUseFromManyThreadsAtOnce) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 100; ++i) EXPECT_TRUE(string_to_cmtype("u32", std::to_string(i)));
    });
  }
}

}  // namespace
}  // namespace arvex
