#pragma once
// Type-erased objects held in value cells (CustomType, AnyHeld, VecAny, SlicedType).
//
// A held object is a (data pointer, type-descriptor pointer) pair. The descriptor destroys the
// object and tells its run-time identity. Values cross between separately built binaries (the
// program, the Python bridge, kernel libraries), each with its own copy of a descriptor, so the
// identity is a hash of a stable type name, never a descriptor or function address.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace arvex {

struct HeldType {
  void (*destroy)(void* object) noexcept;
  std::uint64_t id;  // FNV-1a hash of `name`
  const char* name;  // stable, NUL-terminated
};

struct HeldObject {
  void* data;
  const HeldType* type;
};
static_assert(sizeof(HeldObject) == 16, "a held object is two pointers");

namespace detail {

constexpr std::uint64_t fnv1a_64(std::string_view text) noexcept {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The compiler's spelling of T, cut out of the function signature. It is the same in every
// binary built by the same compiler; kernel libraries built by other compilers specialise
// HeldTypeName instead.
template <class T>
constexpr std::string_view compiler_type_name() noexcept {
  std::string_view pretty = __PRETTY_FUNCTION__;
  constexpr std::string_view key = "T = ";
  const auto start = pretty.find(key) + key.size();
  const auto end = pretty.find_first_of(";]", start);
  return pretty.substr(start, end - start);
}

template <std::size_t N>
struct FixedName {
  char text[N + 1]{};
};

template <class T>
inline constexpr auto compiler_type_name_storage = [] {
  constexpr std::string_view name = compiler_type_name<T>();
  FixedName<name.size()> fixed;
  for (std::size_t i = 0; i < name.size(); ++i) fixed.text[i] = name[i];
  return fixed;
}();

}  // namespace detail

// The stable name that identifies T across binaries. Specialise it to give a type a name that
// does not depend on the compiler:
//   template <> struct arvex::HeldTypeName<MyState> { static constexpr const char* value = "my_lib::MyState"; };
template <class T>
struct HeldTypeName {
  static constexpr const char* value = detail::compiler_type_name_storage<T>.text;
};

template <class T>
inline constexpr HeldType held_type_of = {
    [](void* object) noexcept { delete static_cast<T*>(object); },
    detail::fnv1a_64(HeldTypeName<T>::value),
    HeldTypeName<T>::value,
};

// True when the descriptor describes T, whichever binary made it.
template <class T>
bool holds_type(const HeldType* type) noexcept {
  const HeldType& mine = held_type_of<T>;
  return type != nullptr && type->id == mine.id && std::strcmp(type->name, mine.name) == 0;
}

}  // namespace arvex
