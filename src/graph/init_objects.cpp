#include "graph/init_objects.hpp"

#include <fmt/format.h>

#include "graph/function_registry.hpp"
#include "logging/log.hpp"
#include "values/string_to_cmtype.hpp"

namespace arvex {

namespace {

// A factor read from the file must not be able to exhaust memory before anything runs.
constexpr std::size_t kMaxInitValues = std::size_t{1} << 24;

Expected<CmTypes, LoadError> parse_init_literal(const ArgInit& arg) {
  LiteralResult parsed = string_to_cmtype(arg.type, arg.value);
  if (!parsed) {
    return Unexpected{fmt::format("No init function for type '{}' with value '{}': {}. Create an init function to handle this type.",
                                  arg.type, arg.value, parsed.error().details)};
  }
  return std::move(parsed).value();
}

// One instance's argument: "$index" and "$workers" first, then variables, then literals.
Expected<CmTypes, LoadError> evaluate_init_arg(const ArgInit& arg, std::size_t instance, std::size_t workers,
                                               const InitObjects& objects, const VariableTable& variables) {
  if (arg.value == "$index") return CmTypes::make_usize(instance);
  if (arg.value == "$workers") return CmTypes::make_usize(workers);
  auto first = first_value_of(arg.value, objects, variables);
  if (!first) return Unexpected{std::move(first).error()};
  if (*first != nullptr) return **first;
  return parse_init_literal(arg);
}

}  // namespace

Expected<void, LoadError> build_init_objects(const std::vector<InitJson>& initializations, VariableTable& variables,
                                             InitObjects& objects, std::size_t workers) {
  for (const InitJson& init : initializations) {
    ARVEX_DEBUG_PRINT("Initializing object: {}", init.name);
    auto count = resolve(init.factor, objects, variables, workers);
    if (!count) return Unexpected{std::move(count).error()};
    if (*count > kMaxInitValues) {
      return Unexpected{fmt::format("Initialization '{}' asks for {} values; at most {} are supported", init.name,
                                    *count, kMaxInitValues)};
    }

    std::vector<CmTypes> object;
    if (init.function) {
      const auto kernel = function_registry::lookup(*init.function);
      if (!kernel) return Unexpected{fmt::format("Function '{}' not found in registry", *init.function)};
      object.reserve(*count);
      std::vector<CmTypes> call_args;
      for (std::size_t i = 0; i < *count; ++i) {
        call_args.clear();
        for (const ArgInit& arg : init.args) {
          auto value = evaluate_init_arg(arg, i, workers, objects, variables);
          if (!value) return Unexpected{std::move(value).error()};
          call_args.push_back(std::move(value).value());
        }
        CmTypes result;
        (*kernel)(call_args.data(), call_args.size(), &result);
        object.push_back(std::move(result));
      }
    } else {
      if (init.args.empty()) {
        return Unexpected{fmt::format("Initialization '{}' has neither a function nor an argument to take its value from",
                                      init.name)};
      }
      auto value = parse_init_literal(init.args.front());
      if (!value) return Unexpected{std::move(value).error()};
      object.assign(*count, *value);
    }
    variables.insert_or_assign(init.name, objects.size());
    objects.push_back(std::move(object));
  }
  return {};
}

}  // namespace arvex
