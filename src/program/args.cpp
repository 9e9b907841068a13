#include "program/args.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace arvex {

namespace {

// The field an option writes. Its type decides how the value text is read: text as written,
// std::uint64_t as a size or u64, std::uint32_t as a u32, bool as a flag.
using Field =
    std::variant<std::string Args::*, std::optional<std::string> Args::*, std::uint64_t Args::*,
                 std::optional<std::uint64_t> Args::*, std::uint32_t Args::*, bool Args::*>;

struct OptionEntry {
  std::string_view name;        // long name without the dashes
  std::string_view value_name;  // empty for flags
  // Read exactly like a given value. None: required for plain text, absent for optionals.
  std::optional<std::string_view> default_text;
  std::string_view help;
  Field field;
  std::string_view hidden_alias = {};
};

constexpr std::string_view kResolutionThreadsHelp = "Number of threads for resolution operation";

// One entry per field of Args, in field order, which is also the help order.
constexpr OptionEntry kOptions[] = {
    {"json", "FILE", std::nullopt, "", &Args::json},
    {"dylib", "FILE", std::nullopt, "", &Args::dylib},
    {"workers", "CORES", "1", "", &Args::workers},
    {"core-offset", "CORE_OFFSET", "1", "", &Args::core_offset},
    {"system-threads", "SYSTEM_THREADS", "1", kResolutionThreadsHelp, &Args::system_threads},
    {"receiver-threads", "RECEIVER_THREADS", "1", kResolutionThreadsHelp, &Args::receiver_threads},
    {"max-runtime", "MAX_RUNTIME", "0", "", &Args::max_runtime},
    {"output", "FILE", "stdout", "", &Args::output},
    {"fifo", "", std::nullopt, "Enable fifo scheduler", &Args::fifo},
    {"custom", "", std::nullopt, "Enable custom lock-free priority scheduler", &Args::custom},
    {"inits", "", std::nullopt, "Print Initializations to stdout", &Args::inits},
    {"debug", "", std::nullopt, "Enable Debug Printing", &Args::debug},
    {"slots", "SLOTS", "1", "Concurrent in-flight frames", &Args::slots},
    {"max-frames", "MAX_FRAMES", "1", "Total frames to process", &Args::max_frames, "max-streams"},
    {"timing", "FILE", std::nullopt, "Enable timing", &Args::timing},
    {"dump-state", "FILE", std::nullopt,
     "Write a runtime state snapshot (JSON) to FILE at shutdown; on Unix, SIGUSR1 additionally "
     "writes numbered snapshots (FILE.1, FILE.2, ...) while the run is live — useful for "
     "diagnosing wedged runs",
     &Args::dump_state},
    {"record", "", std::nullopt, "Enable scheduler recording", &Args::record},
    {"record-frame", "FRAME_ID", std::nullopt, "Record only a specific frame (memory optimization)",
     &Args::record_frame, "record-stream"},
    {"use-rdtsc", "", std::nullopt, "Use rdtsc for timing", &Args::use_rdtsc},
    {"batching-size", "BATCHING_SIZE", "1", "Number of completed tasks to batch before processing",
     &Args::batching_size},
    {"batching-limit", "BATCHING_LIMIT", "10", "Maximum time to wait for batch in microseconds",
     &Args::batching_limit},
    {"slot-priority", "", std::nullopt,
     "Enable slot-priority processing (process slots sequentially with automatic round-robin "
     "for better cache locality)",
     &Args::slot_priority},
    {"coalesce-barriers", "", std::nullopt,
     "Coalesce barrier fan-outs into bulk tasks (min(N, workers) tasks instead of N). Only "
     "enable for fine-grained workloads where per-task compute << spawn overhead (e.g. "
     "wavefront). Disabled by default to avoid serialising coarse-grained tasks (MIMO, "
     "PageRank).",
     &Args::coalesce_barriers},
    {"inline-continuation", "", std::nullopt,
     "Reserve one ready successor for inline execution on the completing worker thread instead "
     "of spawning via the scheduler. Eliminates scheduler round-trip for chain-dominant graphs "
     "(factor=1 chains). Disabled by default; must NOT enable for coarse-grained workloads "
     "(MIMO) where serialising a successor increases latency.",
     &Args::inline_continuation},
    {"no-fanout-bulk", "", std::nullopt,
     "Disable 1:1 fanout-bulk dispatch (Upgrade 5). Produces bit-identical output to the "
     "per-cell path. Use for correctness verification.",
     &Args::no_fanout_bulk},
    {"exclude-frames", "EXCLUDE_FRAMES", "0",
     "Number of initial frames to exclude from timing statistics (for steady-state "
     "measurement)",
     &Args::exclude_frames, "exclude-streams"},
    {"report", "FILE", std::nullopt, "Write JSON performance report to FILE", &Args::report},
    {"batch-queue-capacity", "N", "65536", "Capacity of the lock-free task-completion ring-buffer",
     &Args::batch_queue_capacity},
    {"spin-iterations", "N", "32", "Spin iterations before blocking recv in resolution threads",
     &Args::spin_iterations},
    {"sched-flush-threshold", "N", "32",
     "Flush accumulated successors to workers every N items during batch processing",
     &Args::sched_flush_threshold},
    {"socket-recv-buf-bytes", "BYTES", "16777216", "UDP socket kernel receive buffer size in bytes",
     &Args::socket_recv_buf_bytes},
    {"recv-pool-size", "N", "1024", "Pre-allocated packet buffer pool size per receiver thread",
     &Args::recv_pool_size},
    {"spin-wait-spin-iters", "N", "64",
     "spin_wait: iterations of spin_loop() before switching to yield_now()",
     &Args::spin_wait_spin_iters},
    {"spin-wait-yield-iters", "N", "256",
     "spin_wait: iterations of yield_now() before switching to park_timeout()",
     &Args::spin_wait_yield_iters},
    {"spin-wait-park-ns", "NS", "100", "spin_wait: park_timeout duration in nanoseconds",
     &Args::spin_wait_park_ns},
    {"resolution-strategy", "STRATEGY", "multi-slot-batch",
     "Resolution strategy to use. Available: multi-slot-batch", &Args::resolution_strategy},
};

static_assert(std::size(kOptions) == 36, "one option per field of Args");

constexpr bool option_names_are_unique() {
  std::array<std::string_view, 2 * std::size(kOptions)> names{};
  std::size_t count = 0;
  for (const OptionEntry& entry : kOptions) {
    names[count++] = entry.name;
    if (!entry.hidden_alias.empty()) names[count++] = entry.hidden_alias;
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = i + 1; j < count; ++j) {
      if (names[i] == names[j]) return false;
    }
  }
  return true;
}
static_assert(option_names_are_unique(), "an option name or alias is used twice");

bool is_flag(const OptionEntry& entry) {
  return std::holds_alternative<bool Args::*>(entry.field);
}

bool is_required(const OptionEntry& entry) {
  return !entry.default_text && std::holds_alternative<std::string Args::*>(entry.field);
}

std::string display_name(const OptionEntry& entry) {
  std::string text = "--" + std::string(entry.name);
  if (!entry.value_name.empty()) text += " <" + std::string(entry.value_name) + ">";
  return text;
}

const OptionEntry* find_option(std::string_view name) {
  for (const OptionEntry& entry : kOptions) {
    if (entry.name == name || (!entry.hidden_alias.empty() && entry.hidden_alias == name)) {
      return &entry;
    }
  }
  return nullptr;
}

// ---- values ----

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Decimal digits after at most one sign: '+' always, '-' only for signed types. Checked by hand
// because std::from_chars rejects '+' and accepts "-1" for a text like "+-1" once '+' is cut.
template <class Int>
std::optional<std::string> read_decimal(std::string_view text, Int& value) {
  std::string_view body = text;  // what from_chars reads
  std::string_view digits = text;
  if (text.starts_with('+')) {
    body.remove_prefix(1);
    digits = body;
  } else if (std::is_signed_v<Int> && text.starts_with('-')) {
    digits.remove_prefix(1);
  }
  constexpr std::string_view kSyntax = std::is_signed_v<Int>
                                           ? "expected a decimal integer"
                                           : "expected decimal digits with an optional leading '+'";
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), is_digit)) {
    return std::string(kSyntax);
  }
  auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (error == std::errc::result_out_of_range) return "number too large to fit in the target type";
  if (error != std::errc{} || end != body.data() + body.size()) return std::string(kSyntax);
  return std::nullopt;
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Writes `text` into the field of `entry`, reading it by the field's type; given values and
// defaults take this same path. Returns the reason when the text does not fit.
std::optional<std::string> assign(Args& args, const OptionEntry& entry, std::string_view text) {
  using Error = std::optional<std::string>;
  return std::visit(
      Overloaded{
          [&](std::string Args::*field) -> Error {
            args.*field = std::string(text);
            return std::nullopt;
          },
          [&](std::optional<std::string> Args::*field) -> Error {
            args.*field = std::string(text);
            return std::nullopt;
          },
          [&](std::uint64_t Args::*field) -> Error { return read_decimal(text, args.*field); },
          [&](std::optional<std::uint64_t> Args::*field) -> Error {
            std::uint64_t value = 0;
            if (Error error = read_decimal(text, value)) return error;
            args.*field = value;
            return std::nullopt;
          },
          // Read wide and signed first so that "-1" is reported as out of range rather than
          // as a syntax error.
          [&](std::uint32_t Args::*field) -> Error {
            std::int64_t value = 0;
            if (Error error = read_decimal(text, value)) return error;
            if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) {
              return std::to_string(value) + " is not in 0..=4294967295";
            }
            args.*field = static_cast<std::uint32_t>(value);
            return std::nullopt;
          },
          [&](bool Args::*field) -> Error {
            args.*field = true;
            return std::nullopt;
          },
      },
      entry.field);
}

// ---- exits ----

constexpr std::string_view kUsageLine = "Usage: arvex-core [OPTIONS] --json <FILE> --dylib <FILE>";

ParseExit usage_error(std::string_view message) {
  std::string err = "error: " + std::string(message) + "\n\n";
  err += kUsageLine;
  err += "\n\nFor more information, try '--help'.\n";
  return ParseExit{kUsageExitStatus, "", std::move(err)};
}

// ---- argument syntax ----

// A following argument that looks like an option is not taken as a value; a value that
// starts with a dash must be attached with '='. "-" alone and negative numbers are values.
bool looks_like_option(std::string_view arg) {
  return arg.size() > 1 && arg.front() == '-' && !is_digit(arg[1]);
}

// Settles what CLI11 reads too loosely before handing the arguments over: it would take the
// argument after an option as its value even when that is another option, read "--opt=" as
// "take the next argument", and accept "--flag=value". On success every value option is
// followed by its value as a separate argument, which CLI11 then takes unconditionally.
Expected<std::vector<std::string>, std::string> normalise(std::span<const std::string> args) {
  std::vector<std::string> out;
  out.reserve(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      // Everything after the marker stays positional; CLI11 rejects it.
      out.insert(out.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
      break;
    }
    if (!arg.starts_with("--")) {
      out.push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string_view name = std::string_view(arg).substr(2, equals - 2);
    const OptionEntry* entry = find_option(name);
    if (entry == nullptr || is_flag(*entry)) {
      const bool own_flag = entry != nullptr || name == "help" || name == "version";
      if (own_flag && equals != std::string::npos) {
        return Unexpected("unexpected value '" + arg.substr(equals + 1) + "' for '--" +
                          std::string(name) + "' found; no more were expected");
      }
      out.push_back(arg);  // unknown names are reported by CLI11
      continue;
    }
    out.push_back("--" + std::string(name));
    if (equals != std::string::npos) {
      out.push_back(arg.substr(equals + 1));
    } else if (i + 1 < args.size() && !looks_like_option(args[i + 1])) {
      out.push_back(args[++i]);
    } else {
      return Unexpected("a value is required for '" + display_name(*entry) +
                        "' but none was supplied");
    }
  }
  return out;
}

}  // namespace

std::string help_text() {
  std::string text;
  text += kProgramAbout;
  text += "\n\n";
  text += kUsageLine;
  text += "\n\nOptions:\n";
  for (const OptionEntry& entry : kOptions) {
    text += "  " + display_name(entry) + "\n";
    std::string description(entry.help);
    if (entry.default_text) {
      if (!description.empty()) description += ' ';
      description += "[default: " + std::string(*entry.default_text) + "]";
    }
    if (!description.empty()) text += "      " + description + "\n";
  }
  text += "  -h, --help\n      Print help\n";
  text += "  -V, --version\n      Print version\n";
  return text;
}

Expected<Args, ParseExit> parse_args(std::span<const std::string> argv) {
  const std::span<const std::string> args = argv.empty() ? argv : argv.subspan(1);
  auto normalised = normalise(args);
  if (!normalised) return Unexpected(usage_error(normalised.error()));

  // CLI11 resolves names (aliases included), rejects unknown options and positionals, and
  // checks the required options. Values stay text here; `assign` reads them afterwards.
  CLI::App app{std::string(kProgramAbout), std::string(kProgramName)};
  app.set_help_flag("-h,--help");
  app.set_version_flag("-V,--version");
  std::vector<CLI::Option*> options;
  options.reserve(std::size(kOptions));
  for (const OptionEntry& entry : kOptions) {
    std::string names = "--" + std::string(entry.name);
    if (!entry.hidden_alias.empty()) names += ",--" + std::string(entry.hidden_alias);
    CLI::Option* option = is_flag(entry) ? app.add_flag(names) : app.add_option(names);
    // Repeats are counted below, so that giving an option and its alias is caught the same way.
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    if (is_required(entry)) option->required();
    options.push_back(option);
  }

  std::vector<std::string> reversed = std::move(normalised).value();
  std::reverse(reversed.begin(), reversed.end());  // CLI11 consumes from the back
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return Unexpected(ParseExit{0, help_text(), ""});
  } catch (const CLI::CallForVersion&) {
    return Unexpected(
        ParseExit{0, std::string(kProgramName) + " " + std::string(kProgramVersion) + "\n", ""});
  } catch (const CLI::ExtrasError& error) {
    // CLI11 lists the leftovers in reverse and counts the "--" marker among them; naming the
    // first real one is clearer.
    std::vector<std::string> extras = app.remaining();
    const auto marker = std::find(extras.begin(), extras.end(), "--");
    if (marker != extras.end()) extras.erase(marker);
    if (extras.empty()) return Unexpected(usage_error(error.what()));
    return Unexpected(usage_error("unexpected argument '" + extras.front() + "' found"));
  } catch (const CLI::ParseError& error) {
    return Unexpected(usage_error(error.what()));
  }

  Args parsed;
  for (std::size_t i = 0; i < std::size(kOptions); ++i) {
    const OptionEntry& entry = kOptions[i];
    const std::vector<std::string>& given = options[i]->results();
    if (given.size() > 1) {
      return Unexpected(
          usage_error("the argument '" + display_name(entry) + "' cannot be used multiple times"));
    }
    std::optional<std::string> error;
    if (!given.empty()) {
      error = assign(parsed, entry, given.front());
    } else if (entry.default_text) {
      error = assign(parsed, entry, *entry.default_text);
    }
    if (error) {
      const std::string_view text = given.empty() ? *entry.default_text : given.front();
      return Unexpected(usage_error("invalid value '" + std::string(text) + "' for '" +
                                    display_name(entry) + "': " + *error));
    }
  }
  return parsed;
}

Expected<Args, ParseExit> parse_args(int argc, const char* const* argv) {
  std::vector<std::string> copy(argv, argv + std::max(argc, 0));
  return parse_args(copy);
}

Args parse_args_or_exit(int argc, const char* const* argv) {
  auto parsed = parse_args(argc, argv);
  if (parsed) return std::move(parsed).value();
  const ParseExit& exit = parsed.error();
  std::fwrite(exit.out.data(), 1, exit.out.size(), stdout);
  std::fwrite(exit.err.data(), 1, exit.err.size(), stderr);
  std::fflush(stdout);
  std::exit(exit.exit_status);
}

}  // namespace arvex
