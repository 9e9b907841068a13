// Runs the built arvex-core on a network graph fed by arvex-udp-send over loopback UDP and checks
// what its log reports: completed frames, drops, and the packets it refuses (short, duplicate,
// late) or parks. Every process is bounded by `timeout`, and each test binds its own free ports.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/process_runner.hpp"
#include "support/text_files.hpp"
#include "support/row_name.hpp"

namespace {

namespace fs = std::filesystem;
using arvex::test_support::ProcessResult;

constexpr const char* kCoreLimitSeconds = "30";
constexpr const char* kSenderLimitSeconds = "20";
constexpr auto kWaitLimit = std::chrono::seconds(20);

const char* const kCompletedNew = "slot completed frame, starting new";
const char* const kCompletedLast = "slot completed, max frames reached";
const char* const kReceiverStarted = "multi-socket receiver thread started";
const char* const kRoundRobin = "receiver_threads < num_sockets, using round-robin polling";

using arvex::test_support::occurrences;
using arvex::test_support::read_text;

bool contains(const std::string& text, const std::string& needle) {
  return text.find(needle) != std::string::npos;
}

std::size_t completed_frames(const std::string& log) {
  return occurrences(log, kCompletedNew) + occurrences(log, kCompletedLast);
}

// The value of `field=N` on the first line holding `message`; 0 when there is no such line.
std::size_t counter_field(const std::string& log, const std::string& message,
                          const std::string& field) {
  const std::size_t line = log.find(message);
  if (line == std::string::npos) return 0;
  const std::string rest = log.substr(line, log.find('\n', line) - line);
  std::smatch match;
  if (!std::regex_search(rest, match, std::regex(field + "=([0-9]+)"))) {
    ADD_FAILURE() << "no " << field << " on: " << rest;
    return 0;
  }
  return std::stoul(match[1].str());
}

class UdpSocket {
 public:
  UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~UdpSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// The first of `count` consecutive loopback UDP ports that were free a moment ago.
std::uint16_t free_udp_ports(std::size_t count) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    UdpSocket first;
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof(addr);
    if (::bind(first.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(first.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      continue;
    }
    const std::size_t start = ntohs(addr.sin_port);
    if (start + count - 1 > 65535) continue;
    std::vector<std::unique_ptr<UdpSocket>> held;
    bool free = true;
    for (std::size_t i = 1; i < count && free; ++i) {
      held.push_back(std::make_unique<UdpSocket>());
      const sockaddr_in next = loopback(static_cast<std::uint16_t>(start + i));
      free =
          ::bind(held.back()->get(), reinterpret_cast<const sockaddr*>(&next), sizeof(next)) == 0;
    }
    if (free) return static_cast<std::uint16_t>(start);
  }
  ADD_FAILURE() << "no run of " << count << " free loopback UDP ports";
  return 0;
}

struct NetworkGraph {
  std::size_t sockets = 1;
  std::size_t packets = 8;
  std::size_t length = 128;
  std::string extract = "packet_payload";
  std::string id = "frame_id_u64le";
  std::string index = "packet_index_u32le";  // empty: packets take their arrival order
};

// One `demod` instance per packet of the frame, all joined by `combine`.
std::string graph_json(const NetworkGraph& g, std::uint16_t port) {
  std::ostringstream json;
  json << R"({"network_config": {"socket_type": "udp", "num_sockets": )" << g.sockets
       << R"(, "packet_length": )" << g.length << R"(, "frame_packets": )" << g.packets
       << R"(, "address": "127.0.0.1", "start_port": )" << port << R"(, "extract_packet_func": ")"
       << g.extract << R"(", "id_function": ")" << g.id << R"(", "index_function": {"function": ")"
       << g.index << R"(", "args": []}},
  "nodes": [
    {"name": "demod", "function": "noop", "factor": )"
       << g.packets
       << R"(, "args": [{"type": "$res", "predecessor": {"name": "$network", "indexes": "0"}}]},
    {"name": "combine", "function": "noop", "args": [{"type": "$res", "predecessor": {"name": "demod", "indexes": "0-)"
       << g.packets - 1 << R"("}}]}
  ]
})";
  return json.str();
}

struct RunOutcome {
  ProcessResult core;
  std::string log;
};

// A temporary directory with the graph and the log of one run, and the helpers that start
// arvex-core in the background and feed it.
class ArvexCoreNetworkTest : public ::testing::Test {
 protected:
  ArvexCoreNetworkTest()
      : dir_(fs::temp_directory_path() /
             ("arvex_net_" + std::to_string(::getpid()) + "_" + std::to_string(next_++))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~ArvexCoreNetworkTest() override {
    // A run still going would write into the removed directory; `timeout` ends it anyway.
    if (core_.valid()) core_.wait();
    fs::remove_all(dir_);
  }

  fs::path log_path() const { return dir_ / "run.log"; }
  const fs::path& dir_path() const { return dir_; }
  std::string log() const { return read_text(log_path()); }

  // Writes the graph on fresh ports and starts arvex-core on it.
  void start(const NetworkGraph& graph, std::vector<std::string> options) {
    graph_ = graph;
    port_ = free_udp_ports(graph.sockets);
    const fs::path json = dir_ / "graph.json";
    std::ofstream(json) << graph_json(graph, port_);
    std::vector<std::string> args = {kCoreLimitSeconds,  ARVEX_CORE_PATH,
                                     "--json",           json.string(),
                                     "--dylib",          "",
                                     "--workers",        "1",
                                     "--system-threads", "1",
                                     "--core-offset",    "0",
                                     "--output",         log_path().string()};
    args.insert(args.end(), options.begin(), options.end());
    core_ = std::async(std::launch::async, [args] {
      return arvex::test_support::run_process("/usr/bin/timeout", args,
                                              {{"RUST_LOG", std::nullopt}});
    });
  }

  // Polls the log until `done` holds; false when the run ends first or the wait runs out.
  bool wait_for_log(const std::function<bool(const std::string&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done(log())) return true;
      if (core_.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready)
        return done(log());
    }
    return false;
  }

  // Packets sent before every receiver polls would be refused by the kernel.
  bool wait_for_receivers(std::size_t threads) {
    return wait_for_log([threads](const std::string& text) {
      return occurrences(text, kReceiverStarted) >= threads;
    });
  }

  bool wait_for_completed(std::size_t frames) {
    return wait_for_log(
        [frames](const std::string& text) { return completed_frames(text) >= frames; });
  }

  // Runs arvex-udp-send against the graph's ports with the graph's frame shape.
  void send(std::vector<std::string> options) {
    std::vector<std::string> args = {kSenderLimitSeconds,
                                     ARVEX_UDP_SEND_PATH,
                                     "--port",
                                     std::to_string(port_),
                                     "--sockets",
                                     std::to_string(graph_.sockets),
                                     "--packets",
                                     std::to_string(graph_.packets),
                                     "--length",
                                     std::to_string(graph_.length)};
    args.insert(args.end(), options.begin(), options.end());
    const ProcessResult sender = arvex::test_support::run_process("/usr/bin/timeout", args);
    EXPECT_EQ(sender.exit_status, 0) << sender.out << sender.err;
    EXPECT_FALSE(contains(sender.out + sender.err, "send error")) << sender.out << sender.err;
  }

  RunOutcome finish() {
    RunOutcome outcome{core_.get(), ""};
    outcome.log = log();
    return outcome;
  }

  // The common case: start, wait for the receivers, send one stream, wait for the end.
  RunOutcome run(const NetworkGraph& graph, std::vector<std::string> options,
                 std::vector<std::string> sender, std::size_t receiver_threads = 1) {
    start(graph, std::move(options));
    if (!wait_for_receivers(receiver_threads)) {
      ADD_FAILURE() << "receivers never started:\n" << log();
      return finish();
    }
    send(std::move(sender));
    return finish();
  }

  NetworkGraph graph_;
  std::uint16_t port_ = 0;

 private:
  static inline int next_ = 0;
  fs::path dir_;
  std::future<ProcessResult> core_;
};

// Every frame went through: nothing dropped at the sockets or for want of a slot.
void expect_clean_run(const RunOutcome& run, std::size_t frames) {
  ASSERT_EQ(run.core.exit_status, 0) << run.core.err << run.log;
  EXPECT_EQ(completed_frames(run.log), frames) << run.log;
  EXPECT_TRUE(contains(run.log, "all frames received, receivers will shut down")) << run.log;
  EXPECT_TRUE(contains(run.log, "no packets dropped")) << run.log;
  EXPECT_FALSE(contains(run.log, "total packets dropped across all sockets")) << run.log;
  EXPECT_FALSE(contains(run.log, "frame dropped")) << run.log;
  EXPECT_FALSE(contains(run.log, "frames dropped (no available slots)")) << run.log;
}

// With one slot only one further frame can wait, so those runs are paced slower to stay
// drop-free on two busy cores.
struct CleanRun {
  const char* name;
  std::size_t slots;
  std::size_t sockets;
  std::size_t receiver_threads;
  bool index_function;
  bool shuffle;
  const char* rate;
  bool debug = false;
};

void PrintTo(const CleanRun& row, std::ostream* out) {
  *out << row.name;
}

class ArvexCoreNetworkCleanRun : public ArvexCoreNetworkTest,
                                 public ::testing::WithParamInterface<CleanRun> {};

TEST_P(ArvexCoreNetworkCleanRun, CompletesEveryFrameWithoutDrops) {
  const CleanRun& row = GetParam();
  constexpr std::size_t kFrames = 20;
  NetworkGraph graph;
  graph.sockets = row.sockets;
  if (!row.index_function) graph.index = "";
  std::vector<std::string> options = {"--slots",
                                      std::to_string(row.slots),
                                      "--max-frames",
                                      std::to_string(kFrames),
                                      "--receiver-threads",
                                      std::to_string(row.receiver_threads)};
  if (row.debug) options.push_back("--debug");
  std::vector<std::string> sender = {"--frames", std::to_string(kFrames), "--rate", row.rate};
  if (row.shuffle) sender.push_back("--shuffle");

  const RunOutcome run = this->run(graph, options, sender, row.receiver_threads);
  expect_clean_run(run, kFrames);
  EXPECT_EQ(contains(run.log, kRoundRobin), row.receiver_threads < row.sockets) << run.log;
  if (row.debug) {
    EXPECT_TRUE(contains(run.log, "using 1:1 thread-to-socket mapping")) << run.log;
  }
}

const CleanRun kCleanRuns[] = {
    {"OneSlotOneSocket", 1, 1, 1, true, false, "250"},
    {"ThreeSlotsOneSocket", 3, 1, 1, true, false, "500"},
    {"ThreeSocketsRoundRobin", 3, 3, 1, true, false, "500"},
    {"ThreeSocketsOneThreadEach", 3, 3, 3, true, false, "500", true},
    {"ArrivalOrderWithoutIndexFunction", 1, 1, 1, false, false, "250"},
    {"ShuffledOverThreeSockets", 1, 3, 1, true, true, "250"},
};

INSTANTIATE_TEST_SUITE_P(ArvexCore, ArvexCoreNetworkCleanRun, ::testing::ValuesIn(kCleanRuns),
                         arvex::test_support::row_name<CleanRun>);

TEST_F(ArvexCoreNetworkTest, ShortDatagramIsRejectedAndTheFrameStillCompletes) {
  const RunOutcome run = this->run({}, {"--slots", "3", "--max-frames", "20"},
                                   {"--frames", "20", "--rate", "500", "--short-packets", "1"});
  expect_clean_run(run, 20);
  EXPECT_EQ(occurrences(run.log, "unexpected packet size"), 1u) << run.log;
  EXPECT_TRUE(contains(run.log, "size=127 packet_length=128")) << run.log;
}

TEST_F(ArvexCoreNetworkTest, DuplicatePacketsAreDiscardedAndCounted) {
  const RunOutcome run = this->run({}, {"--slots", "3", "--max-frames", "20"},
                                   {"--frames", "20", "--rate", "500", "--duplicates", "3"});
  expect_clean_run(run, 20);
  // A copy that lands after its frame completed counts as late instead of excess.
  EXPECT_EQ(counter_field(run.log, "excess packets discarded", "excess_packets") +
                counter_field(run.log, "late packets discarded", "late_packets"),
            3u)
      << run.log;
}

TEST_F(ArvexCoreNetworkTest, PacketsOfCompletedFramesAreDiscardedAsLate) {
  // Two slots and a lag of four frames: frame 0 is long done when its late copy comes.
  const RunOutcome run =
      this->run({}, {"--slots", "2", "--max-frames", "20"},
                {"--frames", "20", "--rate", "250", "--late", "2", "--late-lag", "4"});
  expect_clean_run(run, 20);
  EXPECT_EQ(counter_field(run.log, "late packets discarded", "late_packets"), 2u) << run.log;
  EXPECT_FALSE(contains(run.log, "excess packet discarded")) << run.log;
}

TEST_F(ArvexCoreNetworkTest, EarlyFrameIsParkedUntilItsTurnThenReinjected) {
  // Frame 3 comes first and must wait in the park while frames 0-2 take the only slot. Each
  // earlier frame is sent once the previous one completed: a second frame arriving while the
  // park is full would drop frame 3, which is not what this test is about.
  start({}, {"--slots", "1", "--max-frames", "5", "--debug"});
  ASSERT_TRUE(wait_for_receivers(1)) << log();
  send({"--first-frame", "3", "--frames", "1"});
  for (std::size_t frame = 0; frame < 3; ++frame) {
    send({"--first-frame", std::to_string(frame), "--frames", "1"});
    ASSERT_TRUE(wait_for_completed(frame + 1)) << log();
  }
  ASSERT_TRUE(wait_for_completed(4)) << "frame 3 never left the park:\n" << log();
  send({"--first-frame", "4", "--frames", "1"});
  const RunOutcome run = finish();

  expect_clean_run(run, 5);
  EXPECT_TRUE(contains(run.log, "Re-injecting 8 parked packets for frame 3")) << run.log;
  EXPECT_FALSE(contains(run.log, "late packet discarded")) << run.log;
}

struct MissingFunction {
  const char* name;
  std::string NetworkGraph::*field;
};

void PrintTo(const MissingFunction& row, std::ostream* out) {
  *out << row.name;
}

class ArvexCoreNetworkMissingFunction : public ArvexCoreNetworkTest,
                                        public ::testing::WithParamInterface<MissingFunction> {};

TEST_P(ArvexCoreNetworkMissingFunction, IsAConfigErrorBeforeAnyReceiverStarts) {
  NetworkGraph graph;
  graph.*GetParam().field = "no_such_function";
  start(graph, {"--slots", "1", "--max-frames", "1"});
  const RunOutcome run = finish();
  EXPECT_EQ(run.core.exit_status, 1) << run.log;
  EXPECT_EQ(run.core.err,
            "Config error: network function 'no_such_function' not found in registry\n");
  EXPECT_EQ(run.core.out, "");
  EXPECT_FALSE(contains(run.log, kReceiverStarted)) << run.log;
}

const MissingFunction kMissingFunctions[] = {
    {"ExtractFunction", &NetworkGraph::extract},
    {"IdFunction", &NetworkGraph::id},
    {"IndexFunction", &NetworkGraph::index},
};

INSTANTIATE_TEST_SUITE_P(ArvexCore, ArvexCoreNetworkMissingFunction,
                         ::testing::ValuesIn(kMissingFunctions),
                         arvex::test_support::row_name<MissingFunction>);

// A frame id or an index must be a non-negative integer; a function that returns anything else
// is a broken graph, which stops the program with the fatal status.
struct WrongNumber {
  const char* name;
  std::string NetworkGraph::*field;
  const char* message;
};

void PrintTo(const WrongNumber& row, std::ostream* out) {
  *out << row.name;
}

class ArvexCoreNetworkWrongNumber : public ArvexCoreNetworkTest,
                                    public ::testing::WithParamInterface<WrongNumber> {};

TEST_P(ArvexCoreNetworkWrongNumber, StopsTheProgram) {
  NetworkGraph graph;
  graph.*GetParam().field = "packet_payload";  // returns the packet's Bytes
  start(graph, {"--slots", "1", "--max-frames", "1"});
  ASSERT_TRUE(wait_for_receivers(1)) << log();
  send({"--frames", "1"});
  const RunOutcome run = finish();
  EXPECT_EQ(run.core.exit_status, 101) << run.core.err << run.log;
  EXPECT_TRUE(contains(run.core.err, GetParam().message)) << run.core.err;
}

const WrongNumber kWrongNumbers[] = {
    {"IdFunction", &NetworkGraph::id, "ID function did not return a valid number for frame"},
    {"IndexFunction", &NetworkGraph::index, "index_function must return usize"},
};

INSTANTIATE_TEST_SUITE_P(ArvexCore, ArvexCoreNetworkWrongNumber, ::testing::ValuesIn(kWrongNumbers),
                         arvex::test_support::row_name<WrongNumber>);

TEST_F(ArvexCoreNetworkTest, RecordedRunsListEveryPacketOnTheNetworkLane) {
  constexpr std::size_t kFrames = 3;
  NetworkGraph graph;
  const fs::path timing = dir_path() / "stats.txt";
  const RunOutcome outcome = run(graph, {"--slots", "1", "--max-frames", std::to_string(kFrames), "--record",
                                         "--timing", timing.string()},
                                 {"--frames", std::to_string(kFrames), "--rate", "250"});
  expect_clean_run(outcome, kFrames);
  // Slots 0 (frames) and 1 (the resolution thread) come before the network lane, 2; a packet's
  // record names node 0 and its instance.
  std::istringstream csv(read_text(dir_path() / "stats_sched.csv"));
  std::size_t packets = 0;
  std::vector<std::size_t> per_instance(graph.packets);
  for (std::string line; std::getline(csv, line);) {
    if (line.rfind("2,", 0) != 0) continue;
    std::vector<std::string> cells;
    std::stringstream row(line);
    for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 7u) << line;
    EXPECT_EQ(std::stoull(cells[3]) - std::stoull(cells[2]), 10000u) << "a packet spans 10 us: " << line;
    EXPECT_EQ(cells[5], "0") << line;
    ++per_instance.at(std::stoul(cells[6]));
    ++packets;
  }
  EXPECT_EQ(packets, kFrames * graph.packets);
  EXPECT_EQ(per_instance, std::vector<std::size_t>(graph.packets, kFrames));
}

TEST_F(ArvexCoreNetworkTest, IndexKernelFailureOnTooShortPacketsEndsTheRun) {
  // The sender cannot make packets shorter than its header, so the test writes them: a frame id
  // and two bytes where the index function wants four.
  NetworkGraph graph;
  graph.length = 10;
  start(graph, {"--slots", "1", "--max-frames", "1"});
  ASSERT_TRUE(wait_for_receivers(1)) << log();
  UdpSocket socket;
  const sockaddr_in to = loopback(port_);
  for (std::uint16_t index = 0; index < graph.packets; ++index) {
    unsigned char packet[10] = {};  // frame 0
    packet[8] = static_cast<unsigned char>(index);
    ASSERT_EQ(::sendto(socket.get(), packet, sizeof(packet), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
              10);
  }
  const RunOutcome run = finish();
  EXPECT_EQ(run.core.exit_status, 1) << run.core.err << run.log;
  EXPECT_TRUE(contains(run.core.err, "Runtime error: kernel 'packet_index_u32le' failed"))
      << run.core.err;
  EXPECT_TRUE(contains(run.core.err, "packet of 10 bytes is shorter than the 12 bytes it needs"))
      << run.core.err;
  EXPECT_EQ(completed_frames(run.log), 0u) << run.log;
}

// ---------------------------------------------------------------------------------------------
// State snapshots on SIGUSR1. A network run waits for its packets, so it stays alive, without
// timing assumptions, until the test sends the frame that ends it.

// The pid of the running arvex-core whose command line names `graph` (not its `timeout`).
pid_t core_pid(const fs::path& graph) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_text(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.rfind(ARVEX_CORE_PATH, 0) == 0 && contains(cmdline, graph.string())) return std::stoi(name);
  }
  return -1;
}

class ArvexCoreStateDumpTest : public ArvexCoreNetworkTest {
 protected:
  // Starts a one-frame network run with --dump-state `base` and waits until it polls.
  pid_t start_waiting_run(const fs::path& base) {
    start(NetworkGraph{}, {"--slots", "1", "--max-frames", "1", "--dump-state", base.string()});
    if (!wait_for_receivers(1)) return -1;
    return core_pid(dir_path() / "graph.json");
  }
  // Sends the one frame that ends the run.
  RunOutcome end_run() {
    send({"--frames", "1"});
    return finish();
  }
  // Waits until `path` exists (the watcher polls every 200 ms).
  static bool appears(const fs::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!fs::exists(path)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
};

TEST_F(ArvexCoreStateDumpTest, SignalsWithinOnePollMergeIntoOneSnapshot) {
  const fs::path base = dir_path() / "state.json";
  const pid_t pid = start_waiting_run(base);
  ASSERT_GT(pid, 0) << log();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(::kill(pid, SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(appears(fs::path(base.string() + ".1")));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const RunOutcome run = end_run();
  EXPECT_EQ(run.core.exit_status, 0) << run.core.err << run.log;
  EXPECT_FALSE(fs::exists(base.string() + ".2")) << run.core.err;
  EXPECT_EQ(run.core.err, "[arvex] state snapshot written to " + base.string() + ".1\n");
  // The snapshot shows the run waiting for its frame; the final one shows it ended.
  const nlohmann::json during = nlohmann::json::parse(read_text(base.string() + ".1"));
  EXPECT_EQ(during["progress"]["frames_completed"], 0);
  EXPECT_EQ(during["progress"]["shutdown"], false);
  const nlohmann::json final_state = nlohmann::json::parse(read_text(base));
  EXPECT_EQ(final_state["progress"]["frames_completed"], 1);
  EXPECT_EQ(final_state["progress"]["shutdown"], true);
  EXPECT_TRUE(contains(run.log, "runtime state dumped")) << run.log;
}

TEST_F(ArvexCoreStateDumpTest, SignalsAPollApartGiveNumberedSnapshots) {
  const fs::path base = dir_path() / "state.json";
  const pid_t pid = start_waiting_run(base);
  ASSERT_GT(pid, 0) << log();
  ASSERT_EQ(::kill(pid, SIGUSR1), 0);
  ASSERT_TRUE(appears(fs::path(base.string() + ".1")));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(::kill(pid, SIGUSR1), 0);
  ASSERT_TRUE(appears(fs::path(base.string() + ".2")));
  const RunOutcome run = end_run();
  EXPECT_EQ(run.core.exit_status, 0) << run.core.err << run.log;
  EXPECT_TRUE(fs::exists(base));
}

TEST_F(ArvexCoreStateDumpTest, AnUnwritableDirectoryIsReportedAndTheRunStillSucceeds) {
  const fs::path base = dir_path() / "missing" / "state.json";
  const pid_t pid = start_waiting_run(base);
  ASSERT_GT(pid, 0) << log();
  ASSERT_EQ(::kill(pid, SIGUSR1), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const RunOutcome run = end_run();
  EXPECT_EQ(run.core.exit_status, 0) << run.core.err << run.log;
  EXPECT_TRUE(contains(run.core.err, "[arvex] state snapshot failed: No such file or directory\n")) << run.core.err;
  EXPECT_TRUE(contains(run.core.err, "state dump to " + base.string() + " failed: No such file or directory\n"))
      << run.core.err;
}

TEST_F(ArvexCoreStateDumpTest, WithoutDumpStateTheSignalEndsTheProgram) {
  start(NetworkGraph{}, {"--slots", "1", "--max-frames", "1"});
  ASSERT_TRUE(wait_for_receivers(1)) << log();
  const pid_t pid = core_pid(dir_path() / "graph.json");
  ASSERT_GT(pid, 0);
  ASSERT_EQ(::kill(pid, SIGUSR1), 0);
  const RunOutcome run = finish();
  // The program dies of the signal, and `timeout` re-raises it on itself: no normal exit.
  EXPECT_EQ(run.core.exit_status, -1) << run.core.err << run.log;
  EXPECT_FALSE(contains(run.core.err, "[arvex]")) << run.core.err;
}

}  // namespace
