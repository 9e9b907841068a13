// The complex-number literal: '3.5+2.5i', '3.5,2.5' or '{"re":3.5,"im":2.5}'.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "values/literal_syntax.hpp"

namespace arvex::detail {

namespace {

// Reads {"re": number, "im": number} through SAX events so that a repeated member is caught
// (the DOM keeps the last one silently). Other members are skipped whatever they hold.
class ComplexObjectReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::optional<double> re;
  std::optional<double> im;
  bool failed = false;

  bool null() override { return value_event(); }
  bool boolean(bool) override { return value_event(); }
  bool number_integer(number_integer_t v) override { return number(static_cast<double>(v)); }
  bool number_unsigned(number_unsigned_t v) override { return number(static_cast<double>(v)); }
  bool number_float(number_float_t v, const string_t&) override { return number(v); }
  bool string(string_t&) override { return value_event(); }
  bool binary(binary_t&) override { return value_event(); }
  bool start_object(std::size_t) override {
    if (depth_ == 0 && seen_root_) return fail();
    if (depth_ == 1 && pending_ != Member::kOther) return fail();
    seen_root_ = true;
    ++depth_;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return fail();  // the root must be an object
    if (depth_ == 1 && pending_ != Member::kOther) return fail();
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ != 1) return true;
    if (name == "re") {
      if (re) return fail();
      pending_ = Member::kRe;
    } else if (name == "im") {
      if (im) return fail();
      pending_ = Member::kIm;
    } else {
      pending_ = Member::kOther;
    }
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return fail(); }

 private:
  enum class Member { kOther, kRe, kIm };

  bool fail() {
    failed = true;
    return false;
  }
  bool value_event() {
    if (depth_ == 0) return fail();
    return depth_ != 1 || pending_ == Member::kOther || fail();
  }
  bool number(double v) {
    if (depth_ == 0) return fail();
    if (depth_ == 1) {
      if (pending_ == Member::kRe) re = v;
      if (pending_ == Member::kIm) im = v;
    }
    return true;
  }

  int depth_ = 0;
  bool seen_root_ = false;
  Member pending_ = Member::kOther;
};

std::optional<double> parse_part(std::string_view text, ComplexWidth width) {
  if (width == ComplexWidth::k32) {
    const auto v = parse_decimal_f32(text);
    return v ? std::optional<double>(*v) : std::nullopt;
  }
  return parse_decimal_f64(text);
}

std::string_view format_failure(ComplexWidth width) {
  return width == ComplexWidth::k32
             ? "invalid Complex32 format. Use: '3.5+2.5i', '3.5,2.5', or '{\"re\":3.5,\"im\":2.5}'"
             : "invalid Complex64 format. Use: '3.5+2.5i', '3.5,2.5', or '{\"re\":3.5,\"im\":2.5}'";
}

}  // namespace

ComplexParts parse_complex(std::string_view text, ComplexWidth width) {
  const bool narrow = width == ComplexWidth::k32;
  ComplexParts out;
  const std::string_view t = trim_unicode_space(text);

  if (!t.empty() && t.front() == '{') {
    ComplexObjectReader reader;
    const bool ok = nlohmann::json::sax_parse(t, &reader, nlohmann::json::input_format_t::json, true);
    if (!ok || reader.failed || !reader.re || !reader.im) {
      out.failure = narrow ? "invalid Complex32 JSON format" : "invalid Complex64 JSON format";
      return out;
    }
    // A 32-bit part narrows like any other float conversion (too large becomes infinite).
    out.re = narrow ? static_cast<double>(static_cast<float>(*reader.re)) : *reader.re;
    out.im = narrow ? static_cast<double>(static_cast<float>(*reader.im)) : *reader.im;
    return out;
  }

  std::string_view re_text;
  std::string_view im_text;
  if (const auto comma = t.find(','); comma != std::string_view::npos) {
    re_text = trim_unicode_space(t.substr(0, comma));
    im_text = trim_unicode_space(t.substr(comma + 1));
  } else if (!t.empty() && t.back() == 'i') {
    const std::string_view body = t.substr(0, t.size() - 1);
    const auto sign = body.find_last_of("+-");
    if (sign == std::string_view::npos || sign == 0) {
      out.failure = format_failure(width);
      return out;
    }
    re_text = trim_unicode_space(body.substr(0, sign));
    im_text = trim_unicode_space(body.substr(sign));
  } else {
    out.failure = format_failure(width);
    return out;
  }

  const auto re = parse_part(re_text, width);
  if (!re) {
    out.failure = narrow ? "invalid Complex32 real part" : "invalid Complex64 real part";
    return out;
  }
  const auto im = parse_part(im_text, width);
  if (!im) {
    out.failure = narrow ? "invalid Complex32 imaginary part" : "invalid Complex64 imaginary part";
    return out;
  }
  out.re = *re;
  out.im = *im;
  return out;
}

}  // namespace arvex::detail
