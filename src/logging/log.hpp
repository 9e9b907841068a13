#pragma once
// The runtime's levelled structured logger: events with a level, a target (the emitting
// module), a message and named fields, filtered per target and written one whole line each.
//
//   ARVEX_LOG_INFO("arvex_core::runtime", "Strategy: {} (default)", name);
//   ARVEX_LOG_DEBUG("arvex_core", "Python bridge ABI verified", log::field("abi", abi_text));
//   ARVEX_LOG_WARN("arvex_core", "cannot open {}", what, log::field_debug("path", path));
//   ARVEX_DEBUG_PRINT("slot {} reset to generation {}", slot, generation);
//
// The format string is checked at compile time against the message arguments; fields follow
// the message arguments. A disabled statement evaluates none of its arguments: it costs one
// relaxed atomic load and a branch when its level is above every target's level, and one more
// relaxed load of its call site's cached decision otherwise. The target must be a constant.
//
// main installs the logger once with install_logger before anything logs; until then, and
// after uninstall_logger, every statement is disabled.

#include <fmt/format.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arvex/expected.hpp"
#include "logging/field.hpp"
#include "logging/level.hpp"
#include "logging/log_filter.hpp"

namespace arvex::log {

// The target of the engine's debug printer (ARVEX_DEBUG_PRINT).
inline constexpr std::string_view DEBUG_PRINT_TARGET = "arvex_core::debug";

struct LoggerConfig {
  // The level of every target when RUST_LOG is unset, empty or malformed.
  Level default_level = Level::Info;
  // Colour codes on the level, timestamp and target. The caller alone decides: NO_COLOR is not
  // consulted, since start-up ties colour to where standard output goes.
  bool colour = false;
  // Where lines go; null means the C stdout stream (descriptor 1, so a later redirection of
  // descriptor 1 takes the log with it). Tests pass a string stream. Must outlive the logger.
  std::ostream* output = nullptr;
};

// Installs the process-wide logger with the filter from RUST_LOG, or `default_level` when
// RUST_LOG is unset, empty or malformed; in the last case each malformed directive is noted on
// standard error. Returns the filter in effect, or an error when a logger is already installed
// (the installed one is kept). Safe to call while other threads log.
Expected<LogFilter, std::string> install_logger(const LoggerConfig& config);

// Removes the installed logger, if any, and flushes it; statements are disabled afterwards.
// Lines being written by other threads at that moment still complete.
void uninstall_logger();

namespace detail {

// Most verbose level enabled for any target; Off while no logger is installed.
extern std::atomic<std::uint8_t> MAX_LEVEL;
// Bumped by every install and uninstall so that call sites recompute their cached decision.
extern std::atomic<std::uint32_t> GENERATION;

// One log statement's constant level and target, with its filter decision cached for one
// generation. Relaxed loads suffice: the cached word carries its own generation, and a
// statement racing with an install may use either the old or the new decision.
class CallSite {
 public:
  constexpr CallSite(Level level, std::string_view target) noexcept : level_(level), target_(target) {}

  bool enabled() noexcept {
    if (static_cast<std::uint8_t>(level_) > MAX_LEVEL.load(std::memory_order_relaxed)) return false;
    const std::uint32_t cached = cache_.load(std::memory_order_relaxed);
    if ((cached >> 1) == GENERATION.load(std::memory_order_relaxed)) return (cached & 1u) != 0;
    return refresh();
  }

  Level level() const noexcept { return level_; }
  std::string_view target() const noexcept { return target_; }

 private:
  // Consults the installed filter and caches the decision with the current generation.
  bool refresh() noexcept;

  Level level_;
  std::string_view target_;
  // (generation << 1) | enabled. Installs run under generations from 1 on, so a site's first
  // use with a logger installed always refreshes.
  std::atomic<std::uint32_t> cache_{0};
};

// Writes one event with an already rendered body (message and fields) to the installed
// logger, if any. Lines from concurrent callers never interleave.
void write_event(Level level, std::string_view target, std::string_view body) noexcept;

// Splits a statement's arguments into the leading message arguments and the trailing fields.
template <class Done, class... Rest>
struct SplitArgs;
template <class... Message>
struct SplitArgs<std::tuple<Message...>> {
  using Format = fmt::format_string<Message...>;
  static constexpr std::size_t MESSAGE_COUNT = sizeof...(Message);
};
template <class... Message, class T, class... Rest>
struct SplitArgs<std::tuple<Message...>, T, Rest...>
    : std::conditional_t<IS_FIELD<T>, SplitArgs<std::tuple<Message...>>,
                         SplitArgs<std::tuple<Message..., T>, Rest...>> {};

// A format string checked at compile time against the message arguments only.
template <class... Args>
struct MessageFormat {
  using Split = SplitArgs<std::tuple<>, Args...>;
  static_assert(((IS_FIELD<Args> ? 1 : 0) + ... + 0) == sizeof...(Args) - Split::MESSAGE_COUNT,
                "log fields must come after all message arguments");

  template <class S>
    requires std::is_convertible_v<const S&, std::string_view>
  consteval MessageFormat(const S& text) : format(text) {}

  typename Split::Format format;
};

template <class Tuple, std::size_t... I>
void append_message(fmt::memory_buffer& out, fmt::string_view format, [[maybe_unused]] Tuple& args,
                    std::index_sequence<I...>) {
  fmt::vformat_to(fmt::appender(out), format, fmt::make_format_args(std::get<I>(args)...));
}

template <std::size_t Offset, class Tuple, std::size_t... I>
void append_fields(fmt::memory_buffer& out, [[maybe_unused]] Tuple& args, std::index_sequence<I...>) {
  (append_field(out, std::get<Offset + I>(args)), ...);
}

// Renders and writes one enabled event. Logging never fails its caller: an event that cannot
// be rendered (out of memory) is dropped. Kept out of line and cold so that a statement costs
// its callers only the test of enabled().
template <class... Args>
[[gnu::noinline, gnu::cold]] void emit(const CallSite& site, MessageFormat<std::type_identity_t<Args>...> format,
          Args&&... args) noexcept {
  constexpr std::size_t kMessageArgs = MessageFormat<Args...>::Split::MESSAGE_COUNT;
  try {
    fmt::memory_buffer body;
    auto refs = std::forward_as_tuple(args...);
    append_message(body, format.format, refs, std::make_index_sequence<kMessageArgs>{});
    append_fields<kMessageArgs>(body, refs, std::make_index_sequence<sizeof...(Args) - kMessageArgs>{});
    write_event(site.level(), site.target(), std::string_view(body.data(), body.size()));
  } catch (...) {
  }
}

}  // namespace detail

}  // namespace arvex::log

// ARVEX_LOG(level, target, format, message arguments..., fields...)
#define ARVEX_LOG(level, target, ...)                                                      \
  do {                                                                                     \
    static constinit ::arvex::log::detail::CallSite arvex_log_site_{(level), (target)};    \
    if (arvex_log_site_.enabled()) [[unlikely]] ::arvex::log::detail::emit(arvex_log_site_, __VA_ARGS__); \
  } while (false)

#define ARVEX_LOG_ERROR(target, ...) ARVEX_LOG(::arvex::log::Level::Error, target, __VA_ARGS__)
#define ARVEX_LOG_WARN(target, ...) ARVEX_LOG(::arvex::log::Level::Warn, target, __VA_ARGS__)
#define ARVEX_LOG_INFO(target, ...) ARVEX_LOG(::arvex::log::Level::Info, target, __VA_ARGS__)
#define ARVEX_LOG_DEBUG(target, ...) ARVEX_LOG(::arvex::log::Level::Debug, target, __VA_ARGS__)
#define ARVEX_LOG_TRACE(target, ...) ARVEX_LOG(::arvex::log::Level::Trace, target, __VA_ARGS__)

// The engine's debug printer: a DEBUG event with target "arvex_core::debug" whose message is
// formatted only when that event is enabled.
#define ARVEX_DEBUG_PRINT(...) ARVEX_LOG_DEBUG(::arvex::log::DEBUG_PRINT_TARGET, __VA_ARGS__)
