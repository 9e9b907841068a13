#include "logging/field.hpp"

#include "support/text_escape.hpp"

namespace arvex::log::detail {

void append_quoted(fmt::memory_buffer& out, std::string_view text) {
  std::string quoted;
  arvex::detail::append_quoted(quoted, text);
  out.append(quoted);
}

}  // namespace arvex::log::detail
