// arvex-udp-send: numbered UDP test frames for a graph's network source, on loopback or a LAN.

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "udp_sender/send_frames.hpp"
#include "udp_sender/send_plan.hpp"

namespace {

constexpr int kUsageExitStatus = 2;
constexpr int kPlanExitStatus = 2;
constexpr int kSendExitStatus = 1;

constexpr const char* kUsageLine =
    "Usage: arvex-udp-send [OPTIONS] --port <PORT> --frames <N> --packets <N> --length <BYTES>";

constexpr const char* kAbout = R"(Sends numbered UDP test frames to a range of ports.

A frame is --packets datagrams of exactly --length bytes; packet i of a frame goes to port
--port + (i mod --sockets). Every datagram is laid out as (little-endian):
  bytes 0..7     frame id (u64)
  bytes 8..11    packet index within its frame (u32)
  bytes 12..L-1  payload: byte k counted from byte 12 = (frame * 31 + index * 7 + k) mod 256
The run prints one summary line; send errors (e.g. nobody listening) are counted, not fatal.
)";

// CLI11 reads integers with strtoull in base 0: "-1" wraps round, "010" is octal and values
// past 2^64 saturate. Only plain decimal gets through, with leading zeros dropped.
std::string check_decimal(std::string& text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error == std::errc::result_out_of_range) return "number too large for 64 bits: " + text;
  if (text.empty() || error != std::errc{} || stop != end) return "expected decimal digits: " + text;
  text = std::to_string(value);
  return {};
}

int usage_error(const std::string& message) {
  fmt::print(stderr, "error: {}\n\n{}\n\nFor more information, try '--help'.\n", message, kUsageLine);
  return kUsageExitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  arvex::SendPlan plan;
  std::uint64_t send_first = 0;
  std::uint64_t delay_ms = 0;
  const CLI::Validator decimal(check_decimal, "");

  CLI::App app{kAbout, "arvex-udp-send"};
  app.add_option("--host", plan.host, "Destination: IPv4 or IPv6 literal, or a host name")->capture_default_str();
  app.add_option("--port", plan.start_port, "First destination port")->required()->check(decimal);
  app.add_option("--sockets", plan.sockets, "Number of consecutive destination ports")
      ->capture_default_str()
      ->check(decimal);
  app.add_option("--frames", plan.frames, "Number of frames to send")->required()->check(decimal);
  app.add_option("--packets", plan.packets_per_frame, "Packets per frame")->required()->check(decimal);
  app.add_option("--length", plan.packet_length, "Bytes per packet, header included (>= 12)")
      ->required()
      ->check(decimal);
  app.add_option("--first-frame", plan.first_frame, "Id of the first frame")->capture_default_str()->check(decimal);
  app.add_option("--rate", plan.rate, "Datagrams per second, all kinds counted; 0 = as fast as possible")
      ->capture_default_str();
  app.add_flag("--shuffle", plan.shuffle, "Send each frame's packets in a seeded random order");
  app.add_option("--seed", plan.seed, "Seed of the shuffle")->capture_default_str()->check(decimal);
  app.add_option("--duplicates", plan.duplicates,
                 "Frame packets each sent twice in a row, at evenly spaced positions of the run from the first "
                 "packet on")
      ->capture_default_str()
      ->check(decimal);
  app.add_option("--late", plan.late,
                 "Late packets: after each of the first N frames that have one, packet 0 of the frame sent "
                 "--late-lag frames earlier is sent again")
      ->capture_default_str()
      ->check(decimal);
  app.add_option("--late-lag", plan.late_lag, "Frames between a frame and its late packet")
      ->capture_default_str()
      ->check(decimal);
  app.add_option("--short-packets", plan.short_packets,
                 "Datagrams of --length - 1 bytes with headers of the first frame, sent before it")
      ->capture_default_str()
      ->check(decimal);
  CLI::Option* send_first_option =
      app.add_option("--send-first", send_first, "Frame id sent before all others, which keep their order")
          ->check(decimal);
  app.add_option("--delay-ms", delay_ms, "Wait before the first packet, e.g. for the receiver to start")
      ->capture_default_str()
      ->check(decimal);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    fmt::print("{}", app.help());
    return 0;
  } catch (const CLI::ParseError& error) {
    return usage_error(error.what());
  }
  if (send_first_option->count() > 0) plan.send_first = send_first;

  if (const auto error = arvex::check_plan(plan)) {
    fmt::print(stderr, "arvex-udp-send: {}\n", *error);
    return kPlanExitStatus;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  const auto report = arvex::send_frames(plan);
  if (!report) {
    fmt::print(stderr, "arvex-udp-send: {}\n", report.error());
    return kSendExitStatus;
  }

  const double seconds = report->elapsed_seconds;
  const double rate = seconds > 0 ? static_cast<double>(report->packets_sent) / seconds : 0.0;
  std::string line = fmt::format("sent {} packets ({} bytes) in {:.3f} s ({:.0f} packets/s)", report->packets_sent,
                                 report->bytes_sent, seconds, rate);
  if (report->send_errors > 0) {
    line += fmt::format(", {} send errors", report->send_errors);
    fmt::print(stderr, "arvex-udp-send: first send error: {}\n", report->first_send_error);
  }
  fmt::print("{}\n", line);
  return 0;
}
