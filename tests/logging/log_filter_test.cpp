// The filter text decides what a run logs; these cases pin its syntax and matching rules.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "logging/log_filter.hpp"

namespace arvex::log {
namespace {

TEST(LevelNames, ParseInAnyCaseAndRejectOthers) {
  EXPECT_EQ(parse_level("off"), Level::Off);
  EXPECT_EQ(parse_level("ERROR"), Level::Error);
  EXPECT_EQ(parse_level("Warn"), Level::Warn);
  EXPECT_EQ(parse_level("iNfO"), Level::Info);
  EXPECT_EQ(parse_level("debug"), Level::Debug);
  EXPECT_EQ(parse_level("TRACE"), Level::Trace);
  for (const char* bad : {"", "warning", "inf", "3", "loud", "debug "}) {
    EXPECT_EQ(parse_level(bad), std::nullopt) << bad;
  }
}

struct LevelForCase {
  const char* filter;
  const char* target;
  Level expected;
};

void PrintTo(const LevelForCase& c, std::ostream* os) {
  *os << '"' << c.filter << "\" for " << c.target;
}

class ValidFilter : public ::testing::TestWithParam<LevelForCase> {};

TEST_P(ValidFilter, GivesTheTargetItsLevel) {
  const LevelForCase& c = GetParam();
  const ParsedFilter parsed = parse_filter(c.filter);
  EXPECT_TRUE(parsed.malformed.empty()) << parsed.malformed.front().text;
  EXPECT_EQ(parsed.filter.level_for(c.target), c.expected) << c.filter << " / " << c.target;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidFilter,
    ::testing::Values(
        // A bare level applies to every target.
        LevelForCase{"debug", "arvex_core::runtime", Level::Debug},
        LevelForCase{"WARN", "anything", Level::Warn}, LevelForCase{"Trace", "x", Level::Trace},
        LevelForCase{"off", "arvex_core", Level::Off},
        // Only targeted directives: unmatched targets are off.
        LevelForCase{"arvex_core=debug", "arvex_core", Level::Debug},
        LevelForCase{"arvex_core=debug", "arvex_core::runtime", Level::Debug},
        LevelForCase{"arvex_core=debug", "arvex_python_bridge", Level::Off},
        // Prefixes match at a module boundary only.
        LevelForCase{"arvex_core=debug", "arvex_core_extra", Level::Off},
        LevelForCase{"warn,arvex=trace", "arvex_core", Level::Warn},
        LevelForCase{"arvex_core::run=trace", "arvex_core::runtime", Level::Off},
        // The longest matching target wins, whatever the order.
        LevelForCase{"info,arvex_core=warn,arvex_core::runtime=trace", "arvex_core::runtime::slots", Level::Trace},
        LevelForCase{"arvex_core::runtime=trace,arvex_core=warn,info", "arvex_core::runtime::slots", Level::Trace},
        LevelForCase{"info,arvex_core=warn,arvex_core::runtime=trace", "arvex_core::debug", Level::Warn},
        LevelForCase{"info,arvex_core=warn,arvex_core::runtime=trace", "other", Level::Info},
        LevelForCase{"debug,arvex_core::debug=off", "arvex_core::debug", Level::Off},
        // Repeats: the last one wins.
        LevelForCase{"info,debug", "x", Level::Debug},
        LevelForCase{"arvex_core=trace,arvex_core=error", "arvex_core", Level::Error},
        // A bare target enables everything for it.
        LevelForCase{"arvex_core", "arvex_core::runtime", Level::Trace},
        LevelForCase{"arvex_core", "other", Level::Off},
        // Case-insensitive levels, blanks and empty pieces.
        LevelForCase{" ,arvex_core = DeBuG ,, ", "arvex_core", Level::Debug},
        LevelForCase{"error,", "x", Level::Error}));

TEST(FilterMaxLevel, IsTheMostVerboseLevelAnyTargetGets) {
  EXPECT_EQ(parse_filter("info").filter.max_level(), Level::Info);
  EXPECT_EQ(parse_filter("warn,arvex_core::debug=trace,x=error").filter.max_level(), Level::Trace);
  EXPECT_EQ(parse_filter("arvex_core=off").filter.max_level(), Level::Off);
  EXPECT_EQ(LogFilter().max_level(), Level::Off);
}

struct MalformedCase {
  const char* filter;
  std::vector<std::string> rejected;  // the malformed directives, in order
  Level other_target;                 // what the valid directives still give "x"
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << '"' << c.filter << '"'; }

class MalformedFilter : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedFilter, ReportsEachBadDirectiveAndKeepsTheRest) {
  const MalformedCase& c = GetParam();
  const ParsedFilter parsed = parse_filter(c.filter);
  std::vector<std::string> rejected;
  for (const MalformedDirective& m : parsed.malformed) {
    rejected.push_back(m.text);
    EXPECT_FALSE(m.reason.empty()) << m.text;
  }
  EXPECT_EQ(rejected, c.rejected) << c.filter;
  EXPECT_EQ(parsed.filter.level_for("x"), c.other_target) << c.filter;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedFilter,
    ::testing::Values(MalformedCase{"x=loud", {"x=loud"}, Level::Off},
                      MalformedCase{"=info", {"=info"}, Level::Off},
                      MalformedCase{"arvex_core=", {"arvex_core="}, Level::Off},
                      MalformedCase{"a=b=c", {"a=b=c"}, Level::Off},
                      MalformedCase{"arvex[span]=debug", {"arvex[span]=debug"}, Level::Off},
                      MalformedCase{"two words", {"two words"}, Level::Off},
                      MalformedCase{"warn, x=3 ,y=verbose,debug", {"x=3", "y=verbose"}, Level::Debug}));

TEST(MalformedFilter, NamesTheBadLevel) {
  const ParsedFilter parsed = parse_filter("x=loud");
  ASSERT_EQ(parsed.malformed.size(), 1u);
  EXPECT_EQ(parsed.malformed[0].reason, "unknown level 'loud'");
}

struct ChoiceCase {
  std::optional<std::string> environment;
  Level fallback;
  bool from_environment;
  Level level_of_x;
  std::vector<std::string> notes;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
  *os << (c.environment ? '"' + *c.environment + '"' : std::string("unset")) << " else "
      << level_name(c.fallback);
}

class FilterChoiceTable : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(FilterChoiceTable, UsesTheEnvironmentOnlyWhenItIsWhollyValid) {
  const ChoiceCase& c = GetParam();
  const FilterChoice choice = choose_filter(
      c.environment ? std::optional<std::string_view>(*c.environment) : std::nullopt, c.fallback);
  EXPECT_EQ(choice.from_environment, c.from_environment);
  EXPECT_EQ(choice.filter.level_for("x"), c.level_of_x);
  EXPECT_EQ(choice.notes, c.notes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterChoiceTable,
    ::testing::Values(
        ChoiceCase{std::nullopt, Level::Info, false, Level::Info, {}},
        ChoiceCase{std::nullopt, Level::Debug, false, Level::Debug, {}},
        ChoiceCase{"trace", Level::Info, true, Level::Trace, {}},
        ChoiceCase{"y=debug", Level::Info, true, Level::Off, {}},
        ChoiceCase{"off", Level::Debug, true, Level::Off, {}},
        // Set but holding no directive: nothing to use.
        ChoiceCase{"", Level::Info, false, Level::Info, {}},
        ChoiceCase{" , ", Level::Debug, false, Level::Debug, {}},
        // One bad directive discards the whole text, valid ones included.
        ChoiceCase{"trace,x=loud", Level::Info, false, Level::Info,
                   {"warning: ignoring malformed log directive 'x=loud': unknown level 'loud'"}},
        ChoiceCase{"=info,error,a b", Level::Debug, false, Level::Debug,
                   {"warning: ignoring malformed log directive '=info': missing target before '='",
                    "warning: ignoring malformed log directive 'a b': neither a level nor a target"}}));

}  // namespace
}  // namespace arvex::log
