#pragma once
// The human-readable timing statistics printed after a run with --timing: frames per slot,
// per-frame latency, and per task how often it ran, on which workers and for how long.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "arvex/expected.hpp"
#include "instrumentation/time_buffer.hpp"

namespace arvex {

// The value in the largest of s, ms, µs, ns in which it is at least 1, with four decimals
// and the unit right after the number: 1.5000ms, 999.0000ns, 0.0000ns.
std::string format_duration(std::chrono::nanoseconds duration);

// The whole printout of `buffer`'s history. The first `exclude_frames` frames of the worker
// slots in slot-major order are warm-up and stay out of the steady-state figures.
std::string format_stats(const TimeBuffer& buffer, std::string_view name, std::size_t exclude_frames);

// Writes format_stats to `path` (created or truncated) or, without a path, to standard output.
// Error: "Unable to write file: <system error>".
Expected<void, std::string> print_stats(const TimeBuffer& buffer, std::string_view name,
                                        const std::optional<std::filesystem::path>& path,
                                        std::size_t exclude_frames);

}  // namespace arvex
