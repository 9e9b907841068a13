#include <ostream>

#include "arvex/cm_types.hpp"
#include "support/text_escape.hpp"
#include "values/debug_format.hpp"

namespace arvex {

namespace {

void append_debug(std::string& out, const CmTypes& v);

void append_sequence(std::string& out, std::span<const CmTypes> values) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    append_debug(out, values[i]);
  }
  out.push_back(']');
}

void append_complex(std::string& out, std::string_view wrapper, double re, double im, bool single) {
  out.append(wrapper).append("(Complex { re: ");
  detail::append_float_debug(out, re, single);
  out += ", im: ";
  detail::append_float_debug(out, im, single);
  out += " })";
}

void append_debug(std::string& out, const CmTypes& v) {
  const CmTag tag = v.tag();
  switch (tag) {
    case CmTag::None:
    case CmTag::Init:
    case CmTag::CustomType:
    case CmTag::SlicedType:
    case CmTag::AnyHeld:
      out.append(tag_name(tag));
      return;
    case CmTag::VecAny:
      out += "VecAny[" + std::to_string(v.vec_any_len()) + "]";
      return;
    case CmTag::Bytes:
      out += "Bytes(len=" + std::to_string(v.bytes().size()) + ")";
      return;
    default:
      break;
  }
  out.append(tag_name(tag));
  out.push_back('(');
  switch (tag) {
    case CmTag::Bool: out += v.get_bool() ? "true" : "false"; break;
    case CmTag::I8: out += std::to_string(v.get_i8()); break;
    case CmTag::I16: out += std::to_string(v.get_i16()); break;
    case CmTag::I32: out += std::to_string(v.get_i32()); break;
    case CmTag::I64: out += std::to_string(v.get_i64()); break;
    case CmTag::U8: out += std::to_string(v.get_u8()); break;
    case CmTag::U16: out += std::to_string(v.get_u16()); break;
    case CmTag::U32: out += std::to_string(v.get_u32()); break;
    case CmTag::U64: out += std::to_string(v.get_u64()); break;
    case CmTag::Usize: out += std::to_string(v.get_usize()); break;
    case CmTag::Isize: out += std::to_string(v.get_isize()); break;
    case CmTag::Ref: out += std::to_string(v.get_ref()); break;
    case CmTag::Res: out += std::to_string(v.get_res()); break;
    case CmTag::Dep: out += std::to_string(v.get_dep()); break;
    case CmTag::F32: detail::append_float_debug(out, v.get_f32(), true); break;
    case CmTag::F64: detail::append_float_debug(out, v.get_f64(), false); break;
    case CmTag::Char: detail::append_char_quoted(out, v.get_char()); break;
    case CmTag::I128: detail::append_i128(out, v.get_i128()); break;
    case CmTag::U128: detail::append_u128(out, v.get_u128()); break;
    case CmTag::String:
    case CmTag::Barrier: detail::append_quoted(out, v.text()); break;
    case CmTag::Complex32: {
      const C32 c = v.get_complex32();
      append_complex(out, "C32", c.re, c.im, true);
      break;
    }
    case CmTag::Complex64: {
      const C64 c = v.get_complex64();
      append_complex(out, "C64", c.re, c.im, false);
      break;
    }
    case CmTag::VecCmt: append_sequence(out, v.elements()); break;
    default: break;
  }
  out.push_back(')');
}

}  // namespace

std::string CmTypes::debug_string() const {
  std::string out;
  append_debug(out, *this);
  return out;
}

std::string debug_string(std::span<const CmTypes> values) {
  std::string out;
  append_sequence(out, values);
  return out;
}

std::ostream& operator<<(std::ostream& out, const CmTypes& value) { return out << value.debug_string(); }

}  // namespace arvex
