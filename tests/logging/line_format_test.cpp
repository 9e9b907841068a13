// Log lines are read by people and by scripts that grep run output; their shape is fixed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "logging/field.hpp"
#include "logging/line_format.hpp"

namespace arvex::log {
namespace {

using namespace std::chrono;

// 2026-12-11T11:07:32.123456Z plus `extra` nanoseconds.
system_clock::time_point sample_time(nanoseconds extra = nanoseconds(0)) {
  return sys_days{year{2026} / December / 11} + hours(11) + minutes(7) + seconds(32) +
         microseconds(123456) + extra;
}

std::string line(Level level, std::string_view target, std::string_view body, bool colour,
                 system_clock::time_point time = sample_time()) {
  fmt::memory_buffer out;
  format_line(fmt::appender(out), time, level, target, body, colour);
  return fmt::to_string(out);
}

std::string timestamp(system_clock::time_point time) {
  fmt::memory_buffer out;
  format_timestamp(fmt::appender(out), time);
  return fmt::to_string(out);
}

TEST(LineFormat, PlainLineHasTimestampLevelTargetAndBody) {
  EXPECT_EQ(line(Level::Info, "arvex_core::runtime", "Strategy: multi-slot-batch (default)", false),
            "2026-12-11T11:07:32.123456Z  INFO arvex_core::runtime: Strategy: multi-slot-batch (default)\n");
  EXPECT_EQ(line(Level::Debug, "arvex_core", "Python bridge ABI verified abi=0x030E0000", false),
            "2026-12-11T11:07:32.123456Z DEBUG arvex_core: Python bridge ABI verified abi=0x030E0000\n");
}

TEST(LineFormat, LevelIsRightAlignedInFiveColumns) {
  struct Case {
    Level level;
    const char* text;
  };
  for (const Case& c : {Case{Level::Error, " ERROR "}, Case{Level::Warn, "  WARN "},
                        Case{Level::Info, "  INFO "}, Case{Level::Debug, " DEBUG "},
                        Case{Level::Trace, " TRACE "}}) {
    const std::string text = line(c.level, "t", "m", false);
    EXPECT_EQ(text.substr(27, 7), c.text) << text;
    EXPECT_EQ(text.substr(34), "t: m\n");
  }
}

TEST(LineFormat, TimestampIsUtcWithSixFractionDigits) {
  struct Case {
    system_clock::time_point time;
    const char* text;
  };
  for (const Case& c : {
           Case{sample_time(nanoseconds(999)), "2026-12-11T11:07:32.123456Z"},  // truncated, not rounded
           Case{system_clock::time_point{}, "1970-01-01T00:00:00.000000Z"},
           Case{system_clock::time_point{} + microseconds(1), "1970-01-01T00:00:00.000001Z"},
           Case{sys_days{year{2024} / February / 29} + hours(23) + minutes(59) + seconds(59) + microseconds(999999),
                "2024-02-29T23:59:59.999999Z"},
           Case{system_clock::time_point{} - microseconds(1), "1969-12-31T23:59:59.999999Z"},
       }) {
    EXPECT_EQ(timestamp(c.time), c.text);
  }
}

TEST(LineFormat, ColourWrapsLevelAndDimsTimestampAndTarget) {
  EXPECT_EQ(line(Level::Info, "arvex_core", "ready", true),
            "\x1b[2m2026-12-11T11:07:32.123456Z\x1b[0m \x1b[32m INFO\x1b[0m \x1b[2marvex_core:\x1b[0m ready\n");
  struct Case {
    Level level;
    const char* coloured;
  };
  for (const Case& c : {Case{Level::Error, "\x1b[31mERROR\x1b[0m"}, Case{Level::Warn, "\x1b[33m WARN\x1b[0m"},
                        Case{Level::Info, "\x1b[32m INFO\x1b[0m"}, Case{Level::Debug, "\x1b[34mDEBUG\x1b[0m"},
                        Case{Level::Trace, "\x1b[35mTRACE\x1b[0m"}}) {
    EXPECT_NE(line(c.level, "t", "m", true).find(c.coloured), std::string::npos) << c.coloured;
    EXPECT_EQ(line(c.level, "t", "m", false).find('\x1b'), std::string::npos);
  }
}

std::string rendered(const auto& f) {
  fmt::memory_buffer out;
  detail::append_field(out, f);
  return fmt::to_string(out);
}

TEST(Fields, DisplayFormWritesTheValueAsIs) {
  const std::string text = "a b\"c";
  EXPECT_EQ(rendered(field("abi", "0x030E0000")), " abi=0x030E0000");
  EXPECT_EQ(rendered(field("text", text)), " text=a b\"c");
  EXPECT_EQ(rendered(field("count", 42)), " count=42");
  EXPECT_EQ(rendered(field("ratio", 1.5)), " ratio=1.5");
  EXPECT_EQ(rendered(field("ok", true)), " ok=true");
  EXPECT_EQ(rendered(field("path", std::filesystem::path("dir/a.json"))), " path=dir/a.json");
}

TEST(Fields, DebugFormQuotesAndEscapesText) {
  struct Case {
    std::string value;
    const char* expected;
  };
  for (const Case& c : {Case{"a.json", " f=\"a.json\""}, Case{"", " f=\"\""},
                        Case{"say \"hi\"", " f=\"say \\\"hi\\\"\""}, Case{"C:\\dir", " f=\"C:\\\\dir\""},
                        Case{"a\nb\tc\rd", " f=\"a\\nb\\tc\\rd\""}, Case{std::string("nul\0x", 5), " f=\"nul\\0x\""},
                        Case{"\x1b[31m\x7f", " f=\"\\u{1b}[31m\\u{7f}\""}, Case{"caf\xc3\xa9", " f=\"caf\xc3\xa9\""}}) {
    EXPECT_EQ(rendered(field_debug("f", c.value)), c.expected);
  }
  EXPECT_EQ(rendered(field_debug("path", std::filesystem::path("a.json"))), " path=\"a.json\"");
  EXPECT_EQ(rendered(field_debug("lit", "x")), " lit=\"x\"");
  // Numbers have no quotes in either form.
  EXPECT_EQ(rendered(field_debug("n", 7u)), " n=7");
}

}  // namespace
}  // namespace arvex::log
