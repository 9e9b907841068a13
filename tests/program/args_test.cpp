#include "program/args.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace arvex {
namespace {

// Names each generated test after its row.
template <class Row>
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

using Argv = std::vector<std::string>;

Expected<Args, ParseExit> parse(Argv args) {
  args.insert(args.begin(), "arvex-core");
  return parse_args(args);
}

// The two required options, then `extra`.
Argv with_required(const Argv& extra) {
  Argv args{"--json", "g.json", "--dylib", "k.so"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// What a command line of only --json g.json --dylib k.so must yield.
Args default_args() {
  return Args{
      .json = "g.json",
      .dylib = "k.so",
      .workers = 1,
      .core_offset = 1,
      .system_threads = 1,
      .receiver_threads = 1,
      .max_runtime = 0,
      .output = "stdout",
      .fifo = false,
      .custom = false,
      .inits = false,
      .debug = false,
      .slots = 1,
      .max_frames = 1,
      .timing = std::nullopt,
      .dump_state = std::nullopt,
      .record = false,
      .record_frame = std::nullopt,
      .use_rdtsc = false,
      .batching_size = 1,
      .batching_limit = 10,
      .slot_priority = false,
      .coalesce_barriers = false,
      .inline_continuation = false,
      .no_fanout_bulk = false,
      .exclude_frames = 0,
      .report = std::nullopt,
      .batch_queue_capacity = 65536,
      .spin_iterations = 32,
      .sched_flush_threshold = 32,
      .socket_recv_buf_bytes = 16777216,
      .recv_pool_size = 1024,
      .spin_wait_spin_iters = 64,
      .spin_wait_yield_iters = 256,
      .spin_wait_park_ns = 100,
      .resolution_strategy = "multi-slot-batch",
  };
}

TEST(ParseArgs, OnlyTheRequiredOptionsYieldEveryDefault) {
  auto parsed = parse(with_required({}));
  ASSERT_TRUE(parsed.has_value()) << parsed.error().err;
  EXPECT_TRUE(*parsed == default_args());
}

// ---- accepted command lines: each row changes the default record in a known way ----

struct Accepted {
  const char* name;
  Argv args;  // after the required options
  std::function<void(Args&)> change;
};

void PrintTo(const Accepted& row, std::ostream* out) {
  *out << row.name;
}

class AcceptedCommandLine : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedCommandLine, SetsExactlyTheGivenFields) {
  auto parsed = parse(with_required(GetParam().args));
  ASSERT_TRUE(parsed.has_value()) << parsed.error().err;
  Args expected = default_args();
  GetParam().change(expected);
  EXPECT_TRUE(*parsed == expected);
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

const Accepted kAccepted[] = {
    // Distinct values everywhere, so an option wired to a neighbour's field shows up.
    {"EveryValuedOptionReachesItsOwnField",
     {"--workers",
      "2",
      "--core-offset",
      "3",
      "--system-threads",
      "4",
      "--receiver-threads",
      "5",
      "--max-runtime",
      "6",
      "--output",
      "out.log",
      "--slots",
      "7",
      "--max-frames",
      "8",
      "--timing",
      "t.txt",
      "--dump-state",
      "s.json",
      "--record-frame",
      "9",
      "--batching-size",
      "10",
      "--batching-limit",
      "11",
      "--exclude-frames",
      "12",
      "--report",
      "r.json",
      "--batch-queue-capacity",
      "13",
      "--spin-iterations",
      "14",
      "--sched-flush-threshold",
      "15",
      "--socket-recv-buf-bytes",
      "16",
      "--recv-pool-size",
      "17",
      "--spin-wait-spin-iters",
      "18",
      "--spin-wait-yield-iters",
      "19",
      "--spin-wait-park-ns",
      "20",
      "--resolution-strategy",
      "other"},
     [](Args& a) {
       a.workers = 2;
       a.core_offset = 3;
       a.system_threads = 4;
       a.receiver_threads = 5;
       a.max_runtime = 6;
       a.output = "out.log";
       a.slots = 7;
       a.max_frames = 8;
       a.timing = "t.txt";
       a.dump_state = "s.json";
       a.record_frame = 9;
       a.batching_size = 10;
       a.batching_limit = 11;
       a.exclude_frames = 12;
       a.report = "r.json";
       a.batch_queue_capacity = 13;
       a.spin_iterations = 14;
       a.sched_flush_threshold = 15;
       a.socket_recv_buf_bytes = 16;
       a.recv_pool_size = 17;
       a.spin_wait_spin_iters = 18;
       a.spin_wait_yield_iters = 19;
       a.spin_wait_park_ns = 20;
       a.resolution_strategy = "other";
     }},
    {"Fifo", {"--fifo"}, [](Args& a) { a.fifo = true; }},
    {"Custom", {"--custom"}, [](Args& a) { a.custom = true; }},
    {"FifoAndCustomTogether",
     {"--fifo", "--custom"},
     [](Args& a) {
       a.fifo = true;
       a.custom = true;
     }},
    {"Inits", {"--inits"}, [](Args& a) { a.inits = true; }},
    {"Debug", {"--debug"}, [](Args& a) { a.debug = true; }},
    {"Record", {"--record"}, [](Args& a) { a.record = true; }},
    {"UseRdtsc", {"--use-rdtsc"}, [](Args& a) { a.use_rdtsc = true; }},
    {"SlotPriority", {"--slot-priority"}, [](Args& a) { a.slot_priority = true; }},
    {"CoalesceBarriers", {"--coalesce-barriers"}, [](Args& a) { a.coalesce_barriers = true; }},
    {"InlineContinuation",
     {"--inline-continuation"},
     [](Args& a) { a.inline_continuation = true; }},
    {"NoFanoutBulk", {"--no-fanout-bulk"}, [](Args& a) { a.no_fanout_bulk = true; }},
    {"AliasMaxStreams", {"--max-streams", "8"}, [](Args& a) { a.max_frames = 8; }},
    {"AliasRecordStream", {"--record-stream=3"}, [](Args& a) { a.record_frame = 3; }},
    {"AliasExcludeStreams", {"--exclude-streams", "2"}, [](Args& a) { a.exclude_frames = 2; }},
    {"SizeWithPlusSign", {"--workers", "+7"}, [](Args& a) { a.workers = 7; }},
    {"LeadingZeroIsDecimalNotOctal", {"--core-offset", "010"}, [](Args& a) { a.core_offset = 10; }},
    {"SizeAtItsMaximum",
     {"--socket-recv-buf-bytes", "18446744073709551615"},
     [](Args& a) { a.socket_recv_buf_bytes = kU64Max; }},
    {"U32AtItsMaximum",
     {"--spin-iterations", "4294967295"},
     [](Args& a) { a.spin_iterations = 4294967295U; }},
    {"U32Zero", {"--spin-wait-yield-iters=0"}, [](Args& a) { a.spin_wait_yield_iters = 0; }},
    {"U32WithPlusSign",
     {"--spin-wait-spin-iters", "+9"},
     [](Args& a) { a.spin_wait_spin_iters = 9; }},
    {"U32MinusZero", {"--spin-wait-spin-iters=-0"}, [](Args& a) { a.spin_wait_spin_iters = 0; }},
    {"SlotsZeroIsLeftToTheRuntime", {"--slots", "0"}, [](Args& a) { a.slots = 0; }},
    {"AnyStrategyTextParses",
     {"--resolution-strategy", "no-such-strategy"},
     [](Args& a) { a.resolution_strategy = "no-such-strategy"; }},
    {"EqualsForm",
     {"--max-runtime=30", "--output=run.log"},
     [](Args& a) {
       a.max_runtime = 30;
       a.output = "run.log";
     }},
    {"EmptyTextAfterEquals", {"--output="}, [](Args& a) { a.output = ""; }},
    {"EqualsInsideTheValue", {"--timing=a=b"}, [](Args& a) { a.timing = "a=b"; }},
    {"DashValueAttachedWithEquals", {"--output=-x"}, [](Args& a) { a.output = "-x"; }},
    {"DoubleDashAttachedIsAValue", {"--output=--"}, [](Args& a) { a.output = "--"; }},
    {"LoneDashIsAValue", {"--output", "-"}, [](Args& a) { a.output = "-"; }},
    {"BracketsAndCommasStayOneValue", {"--report", "[a,b]"}, [](Args& a) { a.report = "[a,b]"; }},
    {"TextWithBlanks",
     {"--dump-state", " my state.json "},
     [](Args& a) { a.dump_state = " my state.json "; }},
    {"DoubleDashAtTheEnd", {"--slots", "2", "--"}, [](Args& a) { a.slots = 2; }},
};

INSTANTIATE_TEST_SUITE_P(ParseArgs, AcceptedCommandLine, ::testing::ValuesIn(kAccepted),
                         row_name<Accepted>);

// ---- usage errors: status 2, nothing on stdout, the reason and a hint on stderr ----

struct Rejected {
  const char* name;
  Argv args;           // the whole command line after the program name
  std::string reason;  // must appear in the message, naming what was wrong
};

void PrintTo(const Rejected& row, std::ostream* out) {
  *out << row.name;
}

class RejectedCommandLine : public ::testing::TestWithParam<Rejected> {};

TEST_P(RejectedCommandLine, IsAUsageError) {
  auto parsed = parse(GetParam().args);
  ASSERT_FALSE(parsed.has_value());
  const ParseExit& exit = parsed.error();
  EXPECT_EQ(exit.exit_status, 2);
  EXPECT_EQ(exit.out, "");
  EXPECT_NE(exit.err.find(GetParam().reason), std::string::npos) << exit.err;
  EXPECT_NE(exit.err.find("For more information, try '--help'."), std::string::npos) << exit.err;
}

const Rejected kRejected[] = {
    {"NoOptionsAtAll", {}, "--json"},
    {"MissingDylib", {"--json", "g.json"}, "--dylib"},
    {"MissingJson", {"--dylib", "k.so"}, "--json"},
    {"U32AboveRange", with_required({"--spin-iterations", "4294967296"}), "4294967296"},
    {"U32Negative", with_required({"--spin-iterations=-1"}), "-1"},
    {"U32NegativeAsNextArgument", with_required({"--spin-iterations", "-1"}), "-1"},
    {"U32BeyondSigned64", with_required({"--spin-wait-yield-iters", "9223372036854775808"}),
     "9223372036854775808"},
    {"U32TwoSigns", with_required({"--spin-iterations", "+-1"}), "+-1"},
    {"SizeHex", with_required({"--workers", "0x10"}), "0x10"},
    {"SizeBinary", with_required({"--workers", "0b11"}), "0b11"},
    {"SizeExponent", with_required({"--slots", "1e3"}), "1e3"},
    {"SizeFraction", with_required({"--slots", "1.0"}), "1.0"},
    {"SizeLeadingBlank", with_required({"--workers", " 7"}), "--workers"},
    {"SizeTrailingBlank", with_required({"--workers", "7 "}), "--workers"},
    {"SizeNegative", with_required({"--workers=-1"}), "-1"},
    {"SizeEmpty", with_required({"--workers", ""}), "--workers"},
    {"SizeEmptyAfterEquals", with_required({"--workers="}), "--workers"},
    {"SizeSignOnly", with_required({"--workers", "+"}), "--workers"},
    {"SizeTwoPlusSigns", with_required({"--workers", "++1"}), "++1"},
    {"SizeAboveU64", with_required({"--max-frames", "18446744073709551616"}),
     "18446744073709551616"},
    {"U64Word", with_required({"--max-runtime", "ten"}), "ten"},
    {"OptionalSizeWord", with_required({"--record-frame", "x"}), "x"},
    {"RepeatedOption", with_required({"--workers", "2", "--workers", "3"}), "--workers"},
    {"RepeatedRequiredOption", with_required({"--json", "h.json"}), "--json"},
    {"RepeatedFlag", with_required({"--fifo", "--fifo"}), "--fifo"},
    {"RepeatedOptionalText", with_required({"--timing=a", "--timing", "b"}), "--timing"},
    {"OptionAndItsAlias", with_required({"--max-frames", "2", "--max-streams", "3"}),
     "--max-frames"},
    {"UnknownOption", with_required({"--bogus"}), "--bogus"},
    {"UnknownOptionWithValue", with_required({"--bogus=1"}), "--bogus"},
    {"UnknownShortOption", with_required({"-x"}), "-x"},
    {"SingleDashLongName", with_required({"-fifo"}), "-fifo"},
    {"TripleDash", with_required({"---fifo"}), "---fifo"},
    {"NamesAreCaseSensitive", with_required({"--Fifo"}), "--Fifo"},
    {"UnderscoreIsNotADash", with_required({"--max_frames", "2"}), "--max_frames"},
    {"Positional", with_required({"extra"}), "extra"},
    {"LoneDashPositional", with_required({"-"}), "-"},
    {"PositionalAfterDoubleDash", with_required({"--", "extra"}), "extra"},
    {"OptionAfterDoubleDashIsPositional", with_required({"--", "--fifo"}), "--fifo"},
    {"FlagWithNumber", with_required({"--fifo=1"}), "--fifo"},
    {"FlagWithTrue", with_required({"--record=true"}), "--record"},
    {"FlagWithEmptyValue", with_required({"--debug="}), "--debug"},
    {"ValueMissingAtTheEnd", with_required({"--timing"}), "--timing"},
    {"ValueMissingBeforeAnotherOption", with_required({"--timing", "--fifo"}), "--timing"},
    {"ValueMissingBeforeDoubleDash", with_required({"--output", "--"}), "--output"},
    {"DashValueMustBeAttached", with_required({"--report", "-r"}), "--report"},
    {"RequiredValueMissing", {"--dylib", "k.so", "--json"}, "--json"},
};

INSTANTIATE_TEST_SUITE_P(ParseArgs, RejectedCommandLine, ::testing::ValuesIn(kRejected),
                         row_name<Rejected>);

// ---- help and version ----

struct HelpEntry {
  std::string option;  // as listed: name and value name
  std::string help;
  std::string default_value;  // empty: no default shown
};

const HelpEntry kHelpEntries[] = {
    {"--json <FILE>", "", ""},
    {"--dylib <FILE>", "", ""},
    {"--workers <CORES>", "", "1"},
    {"--core-offset <CORE_OFFSET>", "", "1"},
    {"--system-threads <SYSTEM_THREADS>", "Number of threads for resolution operation", "1"},
    {"--receiver-threads <RECEIVER_THREADS>", "Number of threads for resolution operation", "1"},
    {"--max-runtime <MAX_RUNTIME>", "", "0"},
    {"--output <FILE>", "", "stdout"},
    {"--fifo", "Enable fifo scheduler", ""},
    {"--custom", "Enable custom lock-free priority scheduler", ""},
    {"--inits", "Print Initializations to stdout", ""},
    {"--debug", "Enable Debug Printing", ""},
    {"--slots <SLOTS>", "Concurrent in-flight frames", "1"},
    {"--max-frames <MAX_FRAMES>", "Total frames to process", "1"},
    {"--timing <FILE>", "Enable timing", ""},
    {"--dump-state <FILE>",
     "Write a runtime state snapshot (JSON) to FILE at shutdown; on Unix, SIGUSR1 additionally "
     "writes numbered snapshots (FILE.1, FILE.2, ...) while the run is live — useful for "
     "diagnosing wedged runs",
     ""},
    {"--record", "Enable scheduler recording", ""},
    {"--record-frame <FRAME_ID>", "Record only a specific frame (memory optimization)", ""},
    {"--use-rdtsc", "Use rdtsc for timing", ""},
    {"--batching-size <BATCHING_SIZE>", "Number of completed tasks to batch before processing",
     "1"},
    {"--batching-limit <BATCHING_LIMIT>", "Maximum time to wait for batch in microseconds", "10"},
    {"--slot-priority",
     "Enable slot-priority processing (process slots sequentially with automatic round-robin for "
     "better cache locality)",
     ""},
    {"--coalesce-barriers",
     "Coalesce barrier fan-outs into bulk tasks (min(N, workers) tasks instead of N). Only enable "
     "for fine-grained workloads where per-task compute << spawn overhead (e.g. wavefront). "
     "Disabled by default to avoid serialising coarse-grained tasks (MIMO, PageRank).",
     ""},
    {"--inline-continuation",
     "Reserve one ready successor for inline execution on the completing worker thread instead of "
     "spawning via the scheduler. Eliminates scheduler round-trip for chain-dominant graphs "
     "(factor=1 chains). Disabled by default; must NOT enable for coarse-grained workloads (MIMO) "
     "where serialising a successor increases latency.",
     ""},
    {"--no-fanout-bulk",
     "Disable 1:1 fanout-bulk dispatch (Upgrade 5). Produces bit-identical output to the "
     "per-cell path. Use for correctness verification.",
     ""},
    {"--exclude-frames <EXCLUDE_FRAMES>",
     "Number of initial frames to exclude from timing statistics (for steady-state measurement)",
     "0"},
    {"--report <FILE>", "Write JSON performance report to FILE", ""},
    {"--batch-queue-capacity <N>", "Capacity of the lock-free task-completion ring-buffer",
     "65536"},
    {"--spin-iterations <N>", "Spin iterations before blocking recv in resolution threads", "32"},
    {"--sched-flush-threshold <N>",
     "Flush accumulated successors to workers every N items during batch processing", "32"},
    {"--socket-recv-buf-bytes <BYTES>", "UDP socket kernel receive buffer size in bytes",
     "16777216"},
    {"--recv-pool-size <N>", "Pre-allocated packet buffer pool size per receiver thread", "1024"},
    {"--spin-wait-spin-iters <N>",
     "spin_wait: iterations of spin_loop() before switching to yield_now()", "64"},
    {"--spin-wait-yield-iters <N>",
     "spin_wait: iterations of yield_now() before switching to park_timeout()", "256"},
    {"--spin-wait-park-ns <NS>", "spin_wait: park_timeout duration in nanoseconds", "100"},
    {"--resolution-strategy <STRATEGY>", "Resolution strategy to use. Available: multi-slot-batch",
     "multi-slot-batch"},
};

class HelpFlag : public ::testing::TestWithParam<Argv> {};

TEST_P(HelpFlag, PrintsHelpOnStdoutAndExitsZero) {
  auto parsed = parse(GetParam());
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().exit_status, 0);
  EXPECT_EQ(parsed.error().err, "");
  EXPECT_EQ(parsed.error().out, help_text());
}

// Help needs no required option, and wins when given along with them.
INSTANTIATE_TEST_SUITE_P(ParseArgs, HelpFlag,
                         ::testing::Values(Argv{"-h"}, Argv{"--help"}, with_required({"--help"})));

TEST(HelpText, StartsWithTheAboutTextAndAUsageLineWithTheRequiredOptions) {
  const std::string help = help_text();
  EXPECT_TRUE(help.starts_with(
      "Low-latency streaming task-graph runtime for MIMO consumer-producer pipelines\n"))
      << help;
  const auto usage = help.find("\nUsage: arvex-core");
  ASSERT_NE(usage, std::string::npos) << help;
  const std::string usage_line = help.substr(usage + 1, help.find('\n', usage + 1) - usage - 1);
  EXPECT_NE(usage_line.find("--json <FILE> --dylib <FILE>"), std::string::npos) << usage_line;
}

std::vector<std::string> trimmed_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(' ');
    lines.push_back(first == std::string::npos ? "" : line.substr(first));
  }
  return lines;
}

// Each option's entry runs from the line naming it alone to the next such line; it holds the
// help text verbatim and shows a default exactly when the option has one.
TEST(HelpText, ListsEveryOptionInOrderWithValueNameHelpAndDefault) {
  const std::vector<std::string> lines = trimmed_lines(help_text());
  std::vector<std::size_t> starts;
  for (const HelpEntry& entry : kHelpEntries) {
    const auto at = std::find(lines.begin(), lines.end(), entry.option);
    ASSERT_NE(at, lines.end()) << entry.option << " has no line of its own";
    starts.push_back(static_cast<std::size_t>(at - lines.begin()));
    if (starts.size() > 1) {
      ASSERT_GT(starts.back(), starts[starts.size() - 2]) << entry.option << " is out of order";
    }
  }
  starts.push_back(lines.size());
  for (std::size_t i = 0; i < std::size(kHelpEntries); ++i) {
    const HelpEntry& entry = kHelpEntries[i];
    std::string section;
    for (std::size_t line = starts[i] + 1; line < starts[i + 1]; ++line) {
      if (lines[line].starts_with('-')) break;  // -h / -V after the last option
      section += lines[line] + "\n";
    }
    if (!entry.help.empty()) {
      EXPECT_NE(section.find(entry.help), std::string::npos) << entry.option << ": " << section;
    }
    if (entry.default_value.empty()) {
      EXPECT_EQ(section.find("[default"), std::string::npos) << entry.option << ": " << section;
    } else {
      EXPECT_NE(section.find("[default: " + entry.default_value + "]"), std::string::npos)
          << entry.option << ": " << section;
    }
  }
}

TEST(HelpText, HidesTheAliases) {
  const std::string help = help_text();
  for (const char* alias : {"max-streams", "record-stream", "exclude-streams"}) {
    EXPECT_EQ(help.find(alias), std::string::npos) << alias;
  }
}

class VersionFlag : public ::testing::TestWithParam<Argv> {};

TEST_P(VersionFlag, PrintsNameAndVersionOnStdoutAndExitsZero) {
  auto parsed = parse(GetParam());
  ASSERT_FALSE(parsed.has_value());
  EXPECT_EQ(parsed.error().exit_status, 0);
  EXPECT_EQ(parsed.error().err, "");
  EXPECT_EQ(parsed.error().out, "arvex-core 1.2.0\n");
}

INSTANTIATE_TEST_SUITE_P(ParseArgs, VersionFlag,
                         ::testing::Values(Argv{"-V"}, Argv{"--version"},
                                           with_required({"--version"})));

}  // namespace
}  // namespace arvex
