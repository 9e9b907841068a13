// Runs the built arvex-udp-send: exit statuses, which stream gets what, and the summary line.
#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "loopback_receiver.hpp"
#include "support/process_runner.hpp"
#include "support/row_name.hpp"

namespace arvex {
namespace {

using test_support::ProcessResult;

ProcessResult run_sender(const std::vector<std::string>& args) {
  return test_support::run_process(ARVEX_UDP_SEND_PATH, args);
}

std::vector<std::string> with_required(std::vector<std::string> extra) {
  std::vector<std::string> args{"--port", "9000", "--frames", "2", "--packets", "3", "--length", "20"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

struct ExitCase {
  const char* name;
  std::vector<std::string> args;
  int exit_status;
  std::string out_contains;  // empty: standard output must be empty
  std::string err;           // a part of standard error; empty: it must be empty
};

void PrintTo(const ExitCase& row, std::ostream* out) { *out << row.name; }

const ExitCase kExits[] = {
    {"Help", {"--help"}, 0, "bytes 8..11    packet index within its frame (u32)", ""},
    {"MissingPort", {"--frames", "2", "--packets", "3", "--length", "20"}, 2, "", "error: --port is required"},
    {"NegativeNumber", with_required({"--frames", "-1"}), 2, "", "error: --frames: expected decimal digits: -1"},
    {"Hexadecimal", with_required({"--sockets", "0x10"}), 2, "", "expected decimal digits"},
    {"UnknownOption", with_required({"--bogus"}), 2, "", "--bogus"},
    {"Repeated", with_required({"--port", "9001"}), 2, "", "--port"},
    {"ShortLength", {"--port", "9000", "--frames", "2", "--packets", "3", "--length", "8"}, 2, "",
     "arvex-udp-send: packet length 8 is shorter than the 12-byte header\n"},
    {"SendFirstOutOfRange", with_required({"--send-first", "2"}), 2, "",
     "arvex-udp-send: frame 2 to send first is not among the frames sent (0..1)\n"},
};

class SenderExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(SenderExit, ExitsWithTheExpectedStatusAndStreams) {
  const ExitCase& row = GetParam();
  const ProcessResult result = run_sender(row.args);
  EXPECT_EQ(result.exit_status, row.exit_status) << result.err;
  if (row.out_contains.empty()) {
    EXPECT_EQ(result.out, "");
  } else {
    EXPECT_NE(result.out.find(row.out_contains), std::string::npos) << result.out;
  }
  if (row.err.empty()) {
    EXPECT_EQ(result.err, "");
  } else {
    EXPECT_NE(result.err.find(row.err), std::string::npos) << result.err;
  }
}

INSTANTIATE_TEST_SUITE_P(CommandLines, SenderExit, ::testing::ValuesIn(kExits),
                         test_support::row_name<ExitCase>);

TEST(SenderRun, SendsWhatTheOptionsAskAndSummarises) {
  const test_support::LoopbackReceiver receiver("127.0.0.1", 2);
  ASSERT_TRUE(receiver.valid());
  const ProcessResult result =
      run_sender({"--port", std::to_string(receiver.start_port()), "--sockets", "2", "--frames", "2", "--packets",
                  "3", "--length", "20", "--first-frame", "5", "--duplicates", "1", "--short-packets", "1"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(std::regex_match(result.out,
                               std::regex(R"(sent 8 packets \(159 bytes\) in \d+\.\d{3} s \(\d+ packets/s\)\n)")))
      << result.out;
  EXPECT_EQ(result.err, "");
  // Port +0 gets index 0 and 2 of each frame, the short datagram and the duplicate first.
  std::vector<std::size_t> sizes;
  while (const auto datagram = receiver.receive(0, false)) sizes.push_back(datagram->size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{19, 20, 20, 20, 20, 20}));
}

TEST(SenderRun, ReportsSendErrorsAndStillSucceeds) {
  const ProcessResult result = run_sender(
      {"--port", std::to_string(test_support::closed_loopback_port()), "--frames", "10", "--packets", "2", "--length",
       "12"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_TRUE(std::regex_match(result.out, std::regex(R"(sent \d+ packets .*, [1-9]\d* send errors\n)"))) << result.out;
  EXPECT_NE(result.err.find("first send error: Connection refused"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace arvex
