#pragma once
// The command line of arvex-core. `parse_args` turns the argument vector into one `Args`
// record that every later start-up and run step reads its settings from; it runs once, first
// thing in `main`, before anything else of the program has happened.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "arvex/expected.hpp"

namespace arvex {

inline constexpr std::string_view kProgramName = "arvex-core";
inline constexpr std::string_view kProgramVersion = "1.2.0";
inline constexpr std::string_view kProgramAbout =
    "Low-latency streaming task-graph runtime for MIMO consumer-producer pipelines";
inline constexpr int kUsageExitStatus = 2;

// Every setting of one run, filled completely by `parse_args` (defaults included). The field
// order is the order of the options in the help output.
struct Args {
  std::string json;
  std::string dylib;
  std::uint64_t workers{};
  std::uint64_t core_offset{};
  std::uint64_t system_threads{};
  std::uint64_t receiver_threads{};
  std::uint64_t max_runtime{};  // seconds; 0 means no limit
  std::string output;
  bool fifo{};
  bool custom{};
  bool inits{};
  bool debug{};
  std::uint64_t slots{};
  std::uint64_t max_frames{};
  std::optional<std::string> timing;
  std::optional<std::string> dump_state;
  bool record{};
  std::optional<std::uint64_t> record_frame;
  bool use_rdtsc{};
  std::uint64_t batching_size{};
  std::uint64_t batching_limit{};
  bool slot_priority{};
  bool coalesce_barriers{};
  bool inline_continuation{};
  bool no_fanout_bulk{};
  std::uint64_t exclude_frames{};
  std::optional<std::string> report;
  std::uint64_t batch_queue_capacity{};
  std::uint32_t spin_iterations{};
  std::uint64_t sched_flush_threshold{};
  std::uint64_t socket_recv_buf_bytes{};
  std::uint64_t recv_pool_size{};
  std::uint32_t spin_wait_spin_iters{};
  std::uint32_t spin_wait_yield_iters{};
  std::uint64_t spin_wait_park_ns{};
  std::string resolution_strategy;

  friend bool operator==(const Args&, const Args&) = default;
};

// What the process does instead of running when the command line asks for help or the
// version (status 0, text for standard output) or is wrong (usage status, text for standard
// error).
struct ParseExit {
  int exit_status = 0;
  std::string out;
  std::string err;
};

// `argv[0]` is the program name and is skipped. Never prints and never exits.
Expected<Args, ParseExit> parse_args(std::span<const std::string> argv);
Expected<Args, ParseExit> parse_args(int argc, const char* const* argv);

// For `main`: returns the parsed record, or prints the exit texts and ends the process.
Args parse_args_or_exit(int argc, const char* const* argv);

// The text `--help` prints.
std::string help_text();

}  // namespace arvex
