// Value equality, as_string, debug text of values and errors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "arvex/cm_types.hpp"
#include "arvex/custom_error.hpp"

namespace arvex {
namespace {

struct EqualityCase {
  const char* name;
  CmTypes a;
  CmTypes b;
  bool equal;
};

TEST(ValueEquality, Table) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  const std::uint8_t abd[] = {'a', 'b', 'd'};
  const CmTypes custom = CmTypes::make_custom<int>(1);
  const CmTypes any_held = CmTypes::make_any_held<int>(1);
  const CmTypes vec_any = CmTypes::make_vec_any({});
  const CmTypes shared_bytes = CmTypes::make_bytes(abc);
  const EqualityCase cases[] = {
      {"same scalar", CmTypes::make_i32(1), CmTypes::make_i32(1), true},
      {"different payload", CmTypes::make_i32(1), CmTypes::make_i32(2), false},
      {"different tag, same bits", CmTypes::make_i32(1), CmTypes::make_u32(1), false},
      {"Usize vs Ref", CmTypes::make_usize(1), CmTypes::make_ref(1), false},
      {"NaN is unequal to itself", CmTypes::make_f64(nan), CmTypes::make_f64(nan), false},
      {"zero equals negative zero", CmTypes::make_f32(0.0f), CmTypes::make_f32(-0.0f), true},
      {"bools", CmTypes::make_bool(true), CmTypes::make_bool(true), true},
      {"i128", CmTypes::make_i128(-5), CmTypes::make_i128(-5), true},
      {"u128 differ", CmTypes::make_u128(5), CmTypes::make_u128(6), false},
      {"complex equal", CmTypes::make_complex64({1, 2}), CmTypes::make_complex64({1, 2}), true},
      {"complex -0 im", CmTypes::make_complex32({1, 0.0f}), CmTypes::make_complex32({1, -0.0f}), true},
      {"complex differ", CmTypes::make_complex32({1, 2}), CmTypes::make_complex32({1, 3}), false},
      {"strings equal", CmTypes::make_string("ab"), CmTypes::make_string("ab"), true},
      {"string prefix", CmTypes::make_string("ab"), CmTypes::make_string("abc"), false},
      {"string vs barrier", CmTypes::make_string("x"), CmTypes::make_barrier("x"), false},
      {"barriers", CmTypes::make_barrier("x"), CmTypes::make_barrier("x"), true},
      {"vec element tags differ", CmTypes::make_vec({CmTypes::make_i32(1)}), CmTypes::make_vec({CmTypes::make_i64(1)}), false},
      {"vec lengths differ", CmTypes::make_vec({CmTypes::make_i32(1)}), CmTypes::make_vec({}), false},
      {"nested vecs", CmTypes::make_vec({CmTypes::make_vec({CmTypes::make_string("a")})}),
       CmTypes::make_vec({CmTypes::make_vec({CmTypes::make_string("a")})}), true},
      {"distinct bytes blocks, same bytes", CmTypes::make_bytes(abc), CmTypes::make_bytes(abc), true},
      {"bytes differ", CmTypes::make_bytes(abc), CmTypes::make_bytes(abd), false},
      {"bytes share a block", shared_bytes, shared_bytes, true},
      {"None", CmTypes::none(), CmTypes::none(), true},
      {"Init", CmTypes::init(), CmTypes::init(), true},
      {"None vs Init", CmTypes::none(), CmTypes::init(), false},
      {"CustomType vs its copy", custom, custom, false},
      {"AnyHeld vs its copy", any_held, any_held, false},
      {"VecAny vs its copy", vec_any, vec_any, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
    EXPECT_EQ(c.b == c.a, c.equal) << c.name << " (swapped)";
  }
}

TEST(ValueAsString, OnlyStringsYieldText) {
  EXPECT_EQ(CmTypes::make_string("hi").as_string(), std::optional<std::string>("hi"));
  EXPECT_EQ(CmTypes::make_barrier("x").as_string(), std::nullopt);
  EXPECT_EQ(CmTypes::make_i32(1).as_string(), std::nullopt);
  EXPECT_EQ(CmTypes::none().as_string(), std::nullopt);
}

struct DebugCase {
  CmTypes value;
  const char* text;
};

TEST(ValueDebugText, Table) {
  const std::uint8_t three[] = {1, 2, 3};
  const DebugCase cases[] = {
      {CmTypes::make_bool(false), "Bool(false)"},
      {CmTypes::make_i8(-128), "I8(-128)"},
      {CmTypes::make_i16(300), "I16(300)"},
      {CmTypes::make_i32(5), "I32(5)"},
      {CmTypes::make_i64(-9), "I64(-9)"},
      {CmTypes::make_u8(255), "U8(255)"},
      {CmTypes::make_u16(65535), "U16(65535)"},
      {CmTypes::make_u32(7), "U32(7)"},
      {CmTypes::make_u64(18446744073709551615ull), "U64(18446744073709551615)"},
      {CmTypes::make_usize(3), "Usize(3)"},
      {CmTypes::make_isize(-3), "Isize(-3)"},
      {CmTypes::make_f64(1.5), "F64(1.5)"},
      {CmTypes::make_f64(1.0), "F64(1.0)"},
      {CmTypes::make_f64(-0.0), "F64(-0.0)"},
      {CmTypes::make_f64(0.1), "F64(0.1)"},
      {CmTypes::make_f64(100.0), "F64(100.0)"},
      {CmTypes::make_f64(0.0001), "F64(0.0001)"},
      {CmTypes::make_f64(0.00001), "F64(1e-5)"},
      {CmTypes::make_f64(1e16), "F64(1e16)"},
      {CmTypes::make_f64(1.5e300), "F64(1.5e300)"},
      {CmTypes::make_f64(123456789.25), "F64(123456789.25)"},
      {CmTypes::make_f64(std::numeric_limits<double>::quiet_NaN()), "F64(NaN)"},
      {CmTypes::make_f64(std::numeric_limits<double>::infinity()), "F64(inf)"},
      {CmTypes::make_f64(-std::numeric_limits<double>::infinity()), "F64(-inf)"},
      {CmTypes::make_f32(0.1f), "F32(0.1)"},
      {CmTypes::make_f32(16777216.0f), "F32(16777216.0)"},
      {CmTypes::make_char(U'x'), "Char('x')"},
      {CmTypes::make_char(U'\''), "Char('\\'')"},
      {CmTypes::make_char(U'"'), "Char('\"')"},
      {CmTypes::make_char(U'\n'), "Char('\\n')"},
      {CmTypes::make_char(U'\u00e9'), "Char('\u00e9')"},
      {CmTypes::make_i128(-(static_cast<Int128>(1) << 100)), "I128(-1267650600228229401496703205376)"},
      {CmTypes::make_u128(~static_cast<UInt128>(0)), "U128(340282366920938463463374607431768211455)"},
      {CmTypes::make_string("a\"b\\c\nd\te'"), "String(\"a\\\"b\\\\c\\nd\\te'\")"},
      {CmTypes::make_string("\x01"), "String(\"\\u{1}\")"},
      {CmTypes::make_string(""), "String(\"\")"},
      {CmTypes::make_barrier("sync"), "Barrier(\"sync\")"},
      {CmTypes::make_complex32({1.0f, 2.0f}), "Complex32(C32(Complex { re: 1.0, im: 2.0 }))"},
      {CmTypes::make_complex64({3.5, -2.0}), "Complex64(C64(Complex { re: 3.5, im: -2.0 }))"},
      {CmTypes::make_vec({}), "VecCmt([])"},
      {CmTypes::make_vec({CmTypes::make_i32(1), CmTypes::make_string("x")}), "VecCmt([I32(1), String(\"x\")])"},
      {CmTypes::make_ref(1), "Ref(1)"},
      {CmTypes::make_res(2), "Res(2)"},
      {CmTypes::make_dep(3), "Dep(3)"},
      {CmTypes::none(), "None"},
      {CmTypes::init(), "Init"},
      {CmTypes::make_custom<int>(1), "CustomType"},
      {CmTypes::make_any_held<int>(1), "AnyHeld"},
      {CmTypes::make_vec_any({CmTypes::make_held<int>(1), CmTypes::make_held<int>(2)}), "VecAny[2]"},
      {CmTypes::make_bytes(three), "Bytes(len=3)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.debug_string(), c.text);
}

TEST(ValueDebugText, SequencesAndStreams) {
  EXPECT_EQ(debug_string(std::span<const CmTypes>{}), "[]");
  const CmTypes values[] = {CmTypes::none(), CmTypes::make_u8(1)};
  EXPECT_EQ(debug_string(values), "[None, U8(1)]");
  std::ostringstream out;
  out << CmTypes::make_i32(-1);
  EXPECT_EQ(out.str(), "I32(-1)");
}

TEST(CustomErrorText, DisplayDebugAndDescription) {
  const CustomError error{"invalid \"x\""};
  EXPECT_EQ(error.display(), "invalid \"x\"");
  EXPECT_EQ(error.description(), "invalid \"x\"");
  EXPECT_EQ(error.debug_string(), "CustomError { details: \"invalid \\\"x\\\"\" }");
  std::ostringstream out;
  out << error;
  EXPECT_EQ(out.str(), "invalid \"x\"");
}

TEST(ValueReadersDeathTest, WrongAlternativeStopsTheProgram) {
  const CmTypes text = CmTypes::make_string("x");
  EXPECT_EXIT((void)text.get_i32(), testing::ExitedWithCode(101), "expected I32, found String");
  EXPECT_EXIT((void)CmTypes::make_char(0xD800), testing::ExitedWithCode(101), "not a Unicode scalar value");
}

}  // namespace
}  // namespace arvex
