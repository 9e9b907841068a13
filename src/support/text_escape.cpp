#include "support/text_escape.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "support/utf8.hpp"

namespace arvex::detail {

namespace {

void append_hex_escape(std::string& out, std::uint32_t code) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", code);
  out += buf;
}

// `quote` is the delimiter that needs a backslash; the other quote character does not.
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

void append_quoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 0;
    const std::optional<char32_t> c = decode_utf8_at(text, i, len);
    if (!c) {
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

void append_char_quoted(std::string& out, char32_t c) {
  out.push_back('\'');
  append_escaped(out, c, '\'');
  out.push_back('\'');
}

}  // namespace arvex::detail
