// The installed logger: its filter and its spdlog sink, which serialises whole lines (a mutex
// per sink) and, for standard output, writes through the C stdout stream and flushes each line.
#include <spdlog/details/log_msg.h>
#include <spdlog/formatter.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "logging/line_format.hpp"
#include "logging/log.hpp"

namespace arvex::log {

namespace detail {

constinit std::atomic<std::uint8_t> MAX_LEVEL{0};
constinit std::atomic<std::uint32_t> GENERATION{0};

}  // namespace detail

namespace {

struct InstalledLogger {
  LogFilter filter;
  std::shared_ptr<spdlog::sinks::sink> sink;
};

// Guards INSTALLED and the changes of GENERATION and MAX_LEVEL that go with it, so a call
// site's refresh sees a filter and a generation that belong together.
constinit std::mutex STATE_MUTEX;
// Writers copy the pointer under the mutex and write outside it, so an uninstall never waits
// for a line and never frees a sink in use.
constinit std::shared_ptr<const InstalledLogger> INSTALLED;

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::Error: return spdlog::level::err;
    case Level::Warn: return spdlog::level::warn;
    case Level::Info: return spdlog::level::info;
    case Level::Debug: return spdlog::level::debug;
    case Level::Trace: return spdlog::level::trace;
    case Level::Off: break;
  }
  return spdlog::level::off;
}

Level from_spdlog(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::critical:
    case spdlog::level::err: return Level::Error;
    case spdlog::level::warn: return Level::Warn;
    case spdlog::level::info: return Level::Info;
    case spdlog::level::debug: return Level::Debug;
    case spdlog::level::trace: return Level::Trace;
    default: break;
  }
  return Level::Off;
}

// Renders spdlog messages in our line format; the target travels as the logger name and the
// rendered message and fields as the payload.
class LineFormatter final : public spdlog::formatter {
 public:
  explicit LineFormatter(bool colour) : colour_(colour) {}

  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    format_line(fmt::appender(dest), msg.time, from_spdlog(msg.level),
                std::string_view(msg.logger_name.data(), msg.logger_name.size()),
                std::string_view(msg.payload.data(), msg.payload.size()), colour_);
  }

  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<LineFormatter>(colour_);
  }

 private:
  bool colour_;
};

std::shared_ptr<spdlog::sinks::sink> make_sink(const LoggerConfig& config) {
  std::shared_ptr<spdlog::sinks::sink> sink;
  if (config.output != nullptr) {
    sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(*config.output, /*force_flush=*/true);
  } else {
    sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
  }
  sink->set_formatter(std::make_unique<LineFormatter>(config.colour));
  sink->set_level(spdlog::level::trace);
  return sink;
}

// Called with STATE_MUTEX held.
void publish(std::shared_ptr<const InstalledLogger> logger) {
  const Level max = logger ? logger->filter.max_level() : Level::Off;
  INSTALLED = std::move(logger);
  detail::GENERATION.fetch_add(1, std::memory_order_relaxed);
  detail::MAX_LEVEL.store(static_cast<std::uint8_t>(max), std::memory_order_relaxed);
}

}  // namespace

Expected<LogFilter, std::string> install_logger(const LoggerConfig& config) {
  std::lock_guard lock(STATE_MUTEX);
  if (INSTALLED) return Unexpected{std::string("a logger is already installed")};

  const char* env = std::getenv("RUST_LOG");
  FilterChoice choice = choose_filter(env != nullptr ? std::optional<std::string_view>(env) : std::nullopt,
                                      config.default_level);
  for (const std::string& note : choice.notes) std::fprintf(stderr, "%s\n", note.c_str());

  auto logger = std::make_shared<InstalledLogger>(InstalledLogger{choice.filter, make_sink(config)});
  publish(std::move(logger));
  return std::move(choice.filter);
}

void uninstall_logger() {
  std::shared_ptr<const InstalledLogger> old;
  {
    std::lock_guard lock(STATE_MUTEX);
    old = INSTALLED;
    publish(nullptr);
  }
  if (old) old->sink->flush();
}

namespace detail {

bool CallSite::refresh() noexcept {
  std::lock_guard lock(STATE_MUTEX);
  const std::uint32_t generation = GENERATION.load(std::memory_order_relaxed);
  const bool on = INSTALLED && INSTALLED->filter.enabled(level_, target_);
  cache_.store((generation << 1) | (on ? 1u : 0u), std::memory_order_relaxed);
  return on;
}

void write_event(Level level, std::string_view target, std::string_view body) noexcept {
  const auto now = std::chrono::system_clock::now();
  std::shared_ptr<const InstalledLogger> logger;
  {
    std::lock_guard lock(STATE_MUTEX);
    logger = INSTALLED;
  }
  if (!logger) return;
  try {
    const spdlog::details::log_msg msg(now, spdlog::source_loc{}, spdlog::string_view_t(target.data(), target.size()),
                                       to_spdlog(level), spdlog::string_view_t(body.data(), body.size()));
    logger->sink->log(msg);
  } catch (...) {
    // A line that cannot be written is lost; logging never fails the caller.
  }
}

}  // namespace detail

}  // namespace arvex::log
