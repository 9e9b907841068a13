#include "logging/line_format.hpp"

namespace arvex::log {

namespace {

constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

constexpr std::string_view level_colour(Level level) {
  switch (level) {
    case Level::Error: return "\x1b[31m";  // red
    case Level::Warn: return "\x1b[33m";   // yellow
    case Level::Info: return "\x1b[32m";   // green
    case Level::Debug: return "\x1b[34m";  // blue
    case Level::Trace: return "\x1b[35m";  // magenta
    case Level::Off: break;
  }
  return {};
}

void append(fmt::appender& out, std::string_view text) {
  for (char c : text) *out++ = c;
}

}  // namespace

void format_timestamp(fmt::appender out, std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  // floor, not a cast, so that instants before 1970 still land on the right second.
  const auto micros = floor<microseconds>(time);
  const auto day = floor<days>(micros);
  const year_month_day date{day};
  const hh_mm_ss clock{micros - day};
  fmt::format_to(out, "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", static_cast<int>(date.year()),
                 static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                 clock.hours().count(), clock.minutes().count(), clock.seconds().count(),
                 clock.subseconds().count());
}

void format_line(fmt::appender out, std::chrono::system_clock::time_point time, Level level,
                 std::string_view target, std::string_view body, bool colour) {
  if (colour) append(out, kDim);
  format_timestamp(out, time);
  if (colour) append(out, kReset);
  *out++ = ' ';
  if (colour) append(out, level_colour(level));
  fmt::format_to(out, "{:>5}", level_name(level));
  if (colour) append(out, kReset);
  *out++ = ' ';
  if (colour) append(out, kDim);
  append(out, target);
  *out++ = ':';
  if (colour) append(out, kReset);
  *out++ = ' ';
  append(out, body);
  *out++ = '\n';
}

}  // namespace arvex::log
