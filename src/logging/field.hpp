#pragma once
// Named fields of log events. A field refers to its value and renders it only when its event
// is written, so a field of a disabled event costs nothing. Two forms:
//   field("abi", text)        display form, the value as is:          abi=0x030E0000
//   field_debug("path", p)    debug form, text quoted and escaped:    path="a.json"
// Values other than text render the same in both forms, through fmt.
// A field holds a reference: write it inline in the log statement, never keep it.

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <type_traits>

namespace arvex::log {

template <class T>
struct Field {
  std::string_view name;
  const T& value;
  bool debug;
};

template <class T>
Field<T> field(std::string_view name, const T& value) noexcept {
  return {name, value, false};
}

template <class T>
Field<T> field_debug(std::string_view name, const T& value) noexcept {
  return {name, value, true};
}

namespace detail {

template <class T>
struct IsField : std::false_type {};
template <class T>
struct IsField<Field<T>> : std::true_type {};
template <class T>
inline constexpr bool IS_FIELD = IsField<std::remove_cvref_t<T>>::value;

// Appends `text` in double quotes with backslash escapes, as values print text.
void append_quoted(fmt::memory_buffer& out, std::string_view text);

inline void append_text(fmt::memory_buffer& out, std::string_view text, bool debug) {
  if (debug) {
    append_quoted(out, text);
  } else {
    out.append(text);
  }
}

// Appends " name=value".
template <class T>
void append_field(fmt::memory_buffer& out, const Field<T>& f) {
  out.push_back(' ');
  out.append(f.name);
  out.push_back('=');
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    append_text(out, std::string_view(f.value), f.debug);
  } else if constexpr (std::is_convertible_v<const T&, std::string>) {
    // Types that only convert to an owned string, such as filesystem paths.
    append_text(out, std::string(f.value), f.debug);
  } else {
    fmt::format_to(fmt::appender(out), "{}", f.value);
  }
}

}  // namespace detail

}  // namespace arvex::log
