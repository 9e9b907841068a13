// Whole runs fed over loopback by the test sender: the receivers, the network step and the
// engine together, through ArvexRt::run(). Each run is bounded; a hang fails the test.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <future>
#include <memory>
#include <string>
#include <utility>

#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"
#include "udp_sender/send_frames.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

class NetworkRunTest : public test_support::LogCaptureTest {
 protected:
  struct Options {
    std::size_t slots = 2;
    std::size_t max_frames = 20;
    std::size_t frame_packets = 4;
    std::optional<std::size_t> channel = std::nullopt;
  };

  void start(const Options& options) {
    port_ = free_udp_ports(1);
    ASSERT_NE(port_, 0U);
    ArvexRtBuilder builder = builder_for(network_graph(options.frame_packets, port_, 1));
    builder.slots = options.slots;
    builder.max_frames = options.max_frames;
    builder.packet_channel_capacity = options.channel;
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value()) << built.error();
    rt_ = std::make_unique<ArvexRt>(std::move(built).value());
    run_ = std::async(std::launch::async, [rt = rt_.get()] { return rt->run(); });
    ASSERT_TRUE(eventually([&] { return logged("multi-socket receiver thread started"); }));
  }

  void send(std::uint64_t first_frame, std::uint64_t frames, double rate, std::size_t frame_packets = 4) {
    SendPlan plan;
    plan.start_port = port_;
    plan.first_frame = first_frame;
    plan.frames = frames;
    plan.packets_per_frame = frame_packets;
    plan.packet_length = 64;
    plan.rate = rate;
    const auto sent = send_frames(plan);
    ASSERT_TRUE(sent.has_value()) << sent.error();
  }

  // Waits for the run to end on its own; on a hang, stops it so that the test can fail.
  void expect_run_ends() {
    if (run_.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      rt_->shared()->shutdown.store(true);
      ADD_FAILURE() << "the run did not end\n" << logged();
    }
    const auto result = run_.get();
    EXPECT_TRUE(result.has_value()) << result.error();
  }

  void TearDown() override {
    if (run_.valid()) {
      rt_->shared()->shutdown.store(true);
      run_.wait();
    }
  }

  std::size_t port_ = 0;
  std::unique_ptr<ArvexRt> rt_;
  std::future<Expected<void, std::string>> run_;
};

TEST_F(NetworkRunTest, PacedFramesAllCompleteWithoutDrops) {
  // Paced well below what the slowest (sanitized) build sustains on two shared cores.
  start({.slots = 3, .max_frames = 20});
  send(0, 20, 1000);
  expect_run_ends();
  const NetworkInfra& net = rt_->shared()->network;
  EXPECT_EQ(rt_->shared()->telemetry.frames_completed.load(), 20U);
  EXPECT_EQ(net.frames_received.load(), 20U);
  EXPECT_EQ(net.dropped_frames.load(), 0U) << logged();
  EXPECT_TRUE(logged("no packets dropped")) << logged();
}

TEST_F(NetworkRunTest, ABurstIntoATinyChannelIsDroppedAndTheRunStillEnds) {
  start({.slots = 2, .max_frames = 20, .channel = 2});
  // As fast as possible into two channel entries: packets are lost, frames stay incomplete.
  send(0, 20, 0);
  // The stream goes on past the budget, as a radio's would.
  send(20, 10, 2000);
  expect_run_ends();
  const NetworkInfra& net = rt_->shared()->network;
  std::size_t drops = 0;
  for (std::size_t s = 0; s < net.drop_counters.size(); ++s) drops += net.drop_counters[s].load();
  EXPECT_GT(drops, 0U) << "the burst should have overflowed the channel";
  EXPECT_GT(net.dropped_frames.load(), 0U);
  EXPECT_GE(rt_->shared()->telemetry.frames_completed.load(), 20U);
  EXPECT_TRUE(logged("total packets dropped across all sockets")) << logged();
  EXPECT_TRUE(logged("frames dropped (no available slots)")) << logged();
}

}  // namespace
}  // namespace arvex
