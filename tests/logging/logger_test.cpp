// The installed logger end to end: filtering per statement, lazy arguments, output streams,
// install semantics and concurrent writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/line_format.hpp"
#include "logging/log.hpp"

namespace {

// A message argument that records when it is evaluated and when it is formatted.
struct Probe {
  std::string_view name;
};

std::vector<std::string> EVALUATED;
std::vector<std::string> FORMATTED;

Probe probe(std::string_view name) {
  EVALUATED.emplace_back(name);
  return {name};
}

}  // namespace

template <>
struct fmt::formatter<Probe> : fmt::formatter<std::string_view> {
  auto format(const Probe& p, fmt::format_context& ctx) const {
    FORMATTED.emplace_back(p.name);
    return fmt::formatter<std::string_view>::format(p.name, ctx);
  }
};

namespace arvex::log {
namespace {

const std::regex kLine(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z) (ERROR| WARN| INFO|DEBUG|TRACE) ([^ ]+): (.*))");

struct ParsedLine {
  std::string timestamp, level, target, body;
};

std::optional<ParsedLine> parse_line(const std::string& text) {
  std::smatch m;
  if (!std::regex_match(text, m, kLine)) return std::nullopt;
  return ParsedLine{m[1], m[2], m[3], m[4]};
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Keeps RUST_LOG and NO_COLOR of the developer's shell out of the tests, and never leaves a
// logger installed.
class Logger : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"RUST_LOG", "NO_COLOR"}) {
      if (const char* value = std::getenv(name)) saved_env_[name] = value;
      ::unsetenv(name);
    }
    EVALUATED.clear();
    FORMATTED.clear();
  }

  void TearDown() override {
    uninstall_logger();
    for (const char* name : {"RUST_LOG", "NO_COLOR"}) ::unsetenv(name);
    for (const auto& [name, value] : saved_env_) ::setenv(name.c_str(), value.c_str(), 1);
  }

  static void set_rust_log(const char* value) {
    if (value != nullptr) ::setenv("RUST_LOG", value, 1);
    else ::unsetenv("RUST_LOG");
  }

  void install(Level level = Level::Info, bool colour = false) {
    ASSERT_TRUE(install_logger(LoggerConfig{level, colour, &out_}).has_value());
  }

  std::vector<std::string> lines() const { return split_lines(out_.str()); }

  std::ostringstream out_;

 private:
  std::map<std::string, std::string> saved_env_;
};

std::string now_stamp() {
  fmt::memory_buffer out;
  format_timestamp(fmt::appender(out), std::chrono::system_clock::now());
  return fmt::to_string(out);
}

TEST_F(Logger, WritesOneLinePerEventWithMessageAndFields) {
  install(Level::Debug);
  const std::string before = now_stamp();
  ARVEX_LOG_INFO("arvex_core::runtime", "Strategy: {} (default)", "multi-slot-batch");
  ARVEX_LOG_DEBUG("arvex_core", "Python bridge ABI verified", field("abi", "0x030E0000"));
  const std::string path = "graphs/a b.json";
  ARVEX_LOG_WARN("arvex_core", "cannot open {} after {} tries", "graph", 3, field("code", 2),
                 field_debug("path", path), field("shown", path));
  ARVEX_LOG_ERROR("arvex_core", "braces {{}} are literal");
  const std::string after = now_stamp();

  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 4u) << out_.str();
  const std::vector<ParsedLine> expected = {
      {"", " INFO", "arvex_core::runtime", "Strategy: multi-slot-batch (default)"},
      {"", "DEBUG", "arvex_core", "Python bridge ABI verified abi=0x030E0000"},
      {"", " WARN", "arvex_core", "cannot open graph after 3 tries code=2 path=\"graphs/a b.json\" shown=graphs/a b.json"},
      {"", "ERROR", "arvex_core", "braces {} are literal"},
  };
  for (std::size_t i = 0; i < got.size(); ++i) {
    const auto parsed = parse_line(got[i]);
    ASSERT_TRUE(parsed) << got[i];
    EXPECT_EQ(parsed->level, expected[i].level);
    EXPECT_EQ(parsed->target, expected[i].target);
    EXPECT_EQ(parsed->body, expected[i].body);
    // Fixed-width RFC 3339 stamps order like the instants they name.
    EXPECT_LE(before, parsed->timestamp);
    EXPECT_LE(parsed->timestamp, after);
  }
}

// Every statement here passes a probe, so the table can tell evaluated, formatted and written
// statements apart.
void log_sample_statements() {
  ARVEX_LOG_ERROR("arvex_core::runtime", "{}", probe("error-runtime"));
  ARVEX_LOG_INFO("arvex_core::runtime", "{}", probe("info-runtime"));
  ARVEX_LOG_DEBUG("arvex_core::runtime", "{}", probe("debug-runtime"));
  ARVEX_LOG_TRACE("arvex_core::runtime::slots", "{}", probe("trace-slots"));
  ARVEX_LOG_WARN("arvex_python_bridge", "{}", probe("warn-bridge"));
  ARVEX_LOG_DEBUG("arvex_python_bridge", "x", field("f", probe("debug-bridge")));
  ARVEX_DEBUG_PRINT("{}", probe("debug-print"));
}

struct StatementCase {
  const char* rust_log;  // null: unset
  Level default_level;
  std::vector<std::string> written;  // "target: probe" in statement order
};

void PrintTo(const StatementCase& c, std::ostream* os) {
  *os << (c.rust_log != nullptr ? c.rust_log : "unset") << " else " << level_name(c.default_level);
}

class StatementFilter : public Logger, public ::testing::WithParamInterface<StatementCase> {};

TEST_P(StatementFilter, WritesExactlyTheEnabledStatementsAndTouchesNoOtherArgument) {
  const StatementCase& c = GetParam();
  set_rust_log(c.rust_log);
  install(c.default_level);
  log_sample_statements();

  std::vector<std::string> written;
  std::vector<std::string> names;
  for (const std::string& text : lines()) {
    const auto parsed = parse_line(text);
    ASSERT_TRUE(parsed) << text;
    const std::string body = parsed->body == "x f=debug-bridge" ? "debug-bridge" : parsed->body;
    written.push_back(parsed->target + ": " + body);
    names.push_back(body);
  }
  EXPECT_EQ(written, c.written);
  EXPECT_EQ(EVALUATED, names);
  EXPECT_EQ(FORMATTED, names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StatementFilter,
    ::testing::Values(
        StatementCase{nullptr, Level::Info,
                      {"arvex_core::runtime: error-runtime", "arvex_core::runtime: info-runtime",
                       "arvex_python_bridge: warn-bridge"}},
        StatementCase{nullptr, Level::Debug,
                      {"arvex_core::runtime: error-runtime", "arvex_core::runtime: info-runtime",
                       "arvex_core::runtime: debug-runtime", "arvex_python_bridge: warn-bridge",
                       "arvex_python_bridge: debug-bridge", "arvex_core::debug: debug-print"}},
        StatementCase{"arvex_core=trace", Level::Info,
                      {"arvex_core::runtime: error-runtime", "arvex_core::runtime: info-runtime",
                       "arvex_core::runtime: debug-runtime", "arvex_core::runtime::slots: trace-slots",
                       "arvex_core::debug: debug-print"}},
        StatementCase{"warn,arvex_core::debug=DEBUG", Level::Info,
                      {"arvex_core::runtime: error-runtime", "arvex_python_bridge: warn-bridge",
                       "arvex_core::debug: debug-print"}},
        StatementCase{"arvex_python_bridge=debug,arvex_core::runtime=error", Level::Trace,
                      {"arvex_core::runtime: error-runtime", "arvex_python_bridge: warn-bridge",
                       "arvex_python_bridge: debug-bridge"}},
        StatementCase{"off", Level::Debug, {}},
        // Malformed: the caller's level applies to everything.
        StatementCase{"trace,arvex_core=loud", Level::Info,
                      {"arvex_core::runtime: error-runtime", "arvex_core::runtime: info-runtime",
                       "arvex_python_bridge: warn-bridge"}}));

TEST_F(Logger, NothingIsEvaluatedWithoutALogger) {
  log_sample_statements();
  EXPECT_TRUE(EVALUATED.empty());
  EXPECT_TRUE(FORMATTED.empty());
}

void debug_statement(int n) { ARVEX_LOG_DEBUG("arvex_core::runtime", "call {}", n); }

TEST_F(Logger, CallSitesFollowEveryReinstall) {
  debug_statement(0);
  install(Level::Info);
  debug_statement(1);
  uninstall_logger();
  install(Level::Debug);
  debug_statement(2);
  uninstall_logger();
  debug_statement(3);
  set_rust_log("arvex_python_bridge=trace");
  install(Level::Debug);
  debug_statement(4);
  uninstall_logger();
  set_rust_log("arvex_core::runtime=debug");
  install(Level::Info);
  debug_statement(5);

  std::vector<std::string> bodies;
  for (const std::string& text : lines()) bodies.push_back(parse_line(text).value().body);
  EXPECT_EQ(bodies, (std::vector<std::string>{"call 2", "call 5"}));
}

TEST_F(Logger, SecondInstallFailsAndKeepsTheFirst) {
  install(Level::Info);
  std::ostringstream other;
  const auto second = install_logger(LoggerConfig{Level::Trace, false, &other});
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error(), "a logger is already installed");

  ARVEX_LOG_INFO("arvex_core", "kept");
  ARVEX_LOG_DEBUG("arvex_core", "still filtered at info");
  EXPECT_EQ(lines().size(), 1u);
  EXPECT_TRUE(other.str().empty());

  uninstall_logger();
  EXPECT_TRUE(install_logger(LoggerConfig{Level::Info, false, &other}).has_value());
  uninstall_logger();  // before `other` goes away
}

TEST_F(Logger, InstallReturnsTheFilterInEffect) {
  set_rust_log("arvex_core=trace");
  const auto from_env = install_logger(LoggerConfig{Level::Info, false, &out_});
  ASSERT_TRUE(from_env.has_value());
  EXPECT_EQ(from_env->level_for("arvex_core::debug"), Level::Trace);
  EXPECT_EQ(from_env->level_for("other"), Level::Off);
}

TEST_F(Logger, MalformedRustLogIsNotedOnStandardErrorAndReplacedByTheDefault) {
  set_rust_log("trace,x=loud");
  ::testing::internal::CaptureStderr();
  const auto filter = install_logger(LoggerConfig{Level::Debug, false, &out_});
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(filter.has_value());
  EXPECT_EQ(filter->level_for("anything"), Level::Debug);
  EXPECT_EQ(err, "warning: ignoring malformed log directive 'x=loud': unknown level 'loud'\n");
}

struct ColourCase {
  bool colour;
  const char* no_color;  // NO_COLOR value, or null when unset
  bool escapes;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
  *os << (c.colour ? "colour" : "plain") << (c.no_color != nullptr ? " with NO_COLOR" : "");
}

class Colour : public Logger, public ::testing::WithParamInterface<ColourCase> {};

TEST_P(Colour, FollowsTheInstallSwitchAlone) {
  const ColourCase& c = GetParam();
  if (c.no_color != nullptr) ::setenv("NO_COLOR", c.no_color, 1);
  install(Level::Info, c.colour);
  ARVEX_LOG_WARN("arvex_core", "careful", field("n", 1));
  const std::string text = out_.str();
  EXPECT_EQ(text.find('\x1b') != std::string::npos, c.escapes) << text;
  if (c.escapes) {
    EXPECT_NE(text.find("\x1b[33m WARN\x1b[0m"), std::string::npos) << text;
  }
  EXPECT_NE(text.find("careful n=1\n"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Cases, Colour,
                         ::testing::Values(ColourCase{false, nullptr, false}, ColourCase{false, "1", false},
                                           ColourCase{true, nullptr, true}, ColourCase{true, "1", true}));

TEST_F(Logger, StandardOutputFollowsARedirectionOfDescriptorOne) {
  ASSERT_TRUE(install_logger(LoggerConfig{Level::Info, false, nullptr}).has_value());
  char path[] = "/tmp/arvex_logging_stdout_XXXXXX";
  const int file = ::mkstemp(path);
  ASSERT_GE(file, 0);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(::dup2(file, STDOUT_FILENO), STDOUT_FILENO);
  ARVEX_LOG_INFO("arvex_core", "into the file", field("n", 1));
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(file);

  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  ::unlink(path);
  const std::vector<std::string> got = split_lines(content.str());
  ASSERT_EQ(got.size(), 1u) << content.str();
  const auto parsed = parse_line(got[0]);
  ASSERT_TRUE(parsed) << got[0];
  EXPECT_EQ(parsed->body, "into the file n=1");
}

TEST_F(Logger, ConcurrentWritersNeverInterleaveLines) {
  install(Level::Info);
  constexpr int kThreads = 4;
  constexpr int kLines = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        ARVEX_LOG_INFO("arvex_core::worker", "line {} of thread {}", i, t, field("t", t), field("i", i));
      }
    });
  }
  for (std::thread& th : threads) th.join();

  std::vector<std::vector<int>> seen(kThreads);
  const std::regex body(R"(line (\d+) of thread (\d+) t=(\d+) i=(\d+))");
  for (const std::string& text : lines()) {
    const auto parsed = parse_line(text);
    ASSERT_TRUE(parsed) << text;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(parsed->body, m, body)) << text;
    ASSERT_EQ(m[1], m[4]);
    ASSERT_EQ(m[2], m[3]);
    seen[static_cast<std::size_t>(std::stoi(m[2]))].push_back(std::stoi(m[1]));
  }
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[static_cast<std::size_t>(t)].size(), static_cast<std::size_t>(kLines)) << t;
    // One writer's lines keep their order.
    for (int i = 0; i < kLines; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)], i);
  }
}

TEST_F(Logger, ReinstallingWhileOthersLogKeepsEveryLineWhole) {
  constexpr int kInstalls = 40;
  // One stream per install: a writer may still hold the previous sink while the next one runs.
  std::vector<std::ostringstream> streams(kInstalls);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&stop, t] {
      while (!stop.load(std::memory_order_relaxed)) ARVEX_LOG_INFO("arvex_core::worker", "thread {}", t);
    });
  }
  for (auto& stream : streams) {
    ASSERT_TRUE(install_logger(LoggerConfig{Level::Info, false, &stream}).has_value());
    std::this_thread::yield();
    uninstall_logger();
  }
  stop.store(true, std::memory_order_relaxed);
  for (std::thread& th : writers) th.join();

  for (const auto& stream : streams) {
    for (const std::string& text : split_lines(stream.str())) EXPECT_TRUE(parse_line(text)) << text;
  }
}

}  // namespace
}  // namespace arvex::log
