#include "graph/variables.hpp"

#include <fmt/format.h>

namespace arvex {

std::optional<std::size_t> number_of(const CmTypes& value) noexcept {
  switch (value.tag()) {
    case CmTag::I8: return value.get_i8() >= 0 ? std::optional<std::size_t>(value.get_i8()) : std::nullopt;
    case CmTag::I16: return value.get_i16() >= 0 ? std::optional<std::size_t>(value.get_i16()) : std::nullopt;
    case CmTag::I32: return value.get_i32() >= 0 ? std::optional<std::size_t>(value.get_i32()) : std::nullopt;
    case CmTag::I64: return value.get_i64() >= 0 ? std::optional<std::size_t>(value.get_i64()) : std::nullopt;
    case CmTag::I128:
      return value.get_i128() >= 0 ? std::optional<std::size_t>(static_cast<std::uint64_t>(value.get_i128()))
                                   : std::nullopt;
    case CmTag::U8: return value.get_u8();
    case CmTag::U16: return value.get_u16();
    case CmTag::U32: return value.get_u32();
    case CmTag::U64: return value.get_u64();
    case CmTag::Usize: return value.get_usize();
    case CmTag::U128: return static_cast<std::uint64_t>(value.get_u128());
    default: return std::nullopt;
  }
}

Expected<const CmTypes*, LoadError> first_value_of(std::string_view name, const InitObjects& objects,
                                                   const VariableTable& variables) {
  const auto it = variables.find(name);
  if (it == variables.end()) return static_cast<const CmTypes*>(nullptr);
  const std::vector<CmTypes>& object = objects.at(it->second);
  if (object.empty()) return Unexpected{fmt::format("Variable '{}' holds no values (its factor is 0)", name)};
  return &object.front();
}

Expected<std::size_t, LoadError> resolve(const Factor& factor, const InitObjects& objects,
                                         const VariableTable& variables, std::size_t workers) {
  if (const auto* number = std::get_if<std::uint64_t>(&factor.value)) return static_cast<std::size_t>(*number);
  const std::string& name = std::get<std::string>(factor.value);
  if (name == "$workers") return workers;
  auto first = first_value_of(name, objects, variables);
  if (!first) return Unexpected{std::move(first).error()};
  if (*first == nullptr) return Unexpected{fmt::format("Variable '{}' not found or does not contain a number", name)};
  const auto number = number_of(**first);
  if (!number) return Unexpected{fmt::format("Variable '{}' found but does not contain a valid number", name)};
  return *number;
}

}  // namespace arvex
