#pragma once
// A value or an error, for the slow paths (parsing, loading, start-up) that report failures
// as values. std::expected arrives with C++23; this is the small subset the project uses.

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace arvex {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
 public:
  static_assert(!std::is_same_v<T, E>, "value and error types must differ");

  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Expected(Unexpected<G> u) : state_(std::in_place_index<1>, E(std::move(u.error))) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> state_;
};

// Success without a value, or an error.
template <class E>
class Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> u) : error_(E(std::move(u.error))) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  E& error() & { return *error_; }
  const E& error() const& { return *error_; }
  E&& error() && { return *std::move(error_); }

 private:
  std::optional<E> error_;
};

}  // namespace arvex

// Declares `var` from the value of an Expected, or returns its error from the calling function.
#define ARVEX_ASSIGN_OR_RETURN(var, expr)                                          \
  auto var##_expected_ = (expr);                                                   \
  if (!var##_expected_) return ::arvex::Unexpected{std::move(var##_expected_).error()}; \
  auto var = std::move(var##_expected_).value()
