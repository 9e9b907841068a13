// Receiver threads on real loopback sockets: the socket split between threads, what a receiver
// queues, what it discards or drops, and the report at shutdown. No resolution thread runs; the
// test reads the packet channel itself.

#include "runtime/receiver_threads.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "network/packet_format.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"
#include "support/unique_fd.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

TEST(ReceiverSocketRanges, SplitsSocketsOnePerThreadOrInConsecutiveChunks) {
  struct Case {
    std::size_t threads;
    std::size_t sockets;
    std::vector<SocketRange> expected;
  };
  const Case cases[] = {
      {4, 4, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},
      {8, 4, {{0, 1}, {1, 2}, {2, 3}, {3, 4}}},  // only as many threads as sockets
      {1, 3, {{0, 3}}},
      {2, 5, {{0, 3}, {3, 5}}},
      {4, 5, {{0, 2}, {2, 4}, {4, 5}, {6, 5}}},  // the last thread polls nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.sockets) + " sockets");
    EXPECT_EQ(receiver_socket_ranges(c.threads, c.sockets), c.expected);
  }
}

// Sends datagrams to 127.0.0.1:port.
class Sender {
 public:
  Sender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  void send(std::size_t port, std::size_t length, std::uint64_t frame = 0, std::uint32_t index = 0) {
    std::vector<std::uint8_t> bytes(length);
    fill_packet(frame, index, bytes);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
              static_cast<ssize_t>(length));
  }

 private:
  UniqueFd fd_;
};

class ReceiverThreadsTest : public test_support::LogCaptureTest {
 protected:
  // A runtime on `sockets` loopback ports with `receivers` receiver threads requested and,
  // optionally, a packet channel of `channel` entries; its receivers are started.
  void start(std::size_t sockets, std::size_t receivers, std::optional<std::size_t> channel = std::nullopt) {
    port_ = free_udp_ports(sockets);
    ASSERT_NE(port_, 0U);
    ArvexRtBuilder builder = builder_for(network_graph(2, port_, sockets));
    builder.receiver_threads = receivers;
    builder.max_frames = 4;
    builder.packet_channel_capacity = channel;
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value()) << built.error();
    rt_ = std::make_unique<ArvexRt>(std::move(built).value());
    auto threads = spawn_receiver_threads(rt_->shared());
    ASSERT_TRUE(threads.has_value()) << threads.error();
    threads_ = std::move(*threads);
    ASSERT_TRUE(eventually([&] { return logged_count("multi-socket receiver thread started") == threads_.size(); }));
  }
  void TearDown() override {
    if (rt_) shutdown_receiver_threads(*rt_->shared(), threads_);
  }
  std::size_t logged_count(const std::string& text) const {
    const std::string log = logged();
    std::size_t count = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }
  NetworkInfra& net() { return rt_->shared()->network; }

  std::size_t port_ = 0;
  std::unique_ptr<ArvexRt> rt_;
  std::vector<std::thread> threads_;
  Sender sender_;
};

TEST_F(ReceiverThreadsTest, QueuesIntactPacketsWithTheirSocketAndDiscardsOthers) {
  start(2, 1);
  EXPECT_EQ(threads_.size(), 1U);
  EXPECT_TRUE(logged("receiver_threads < num_sockets, using round-robin polling")) << logged();
  sender_.send(port_ + 1, 64, 5, 1);
  sender_.send(port_, 63);  // one byte short
  sender_.send(port_, 64, 5, 0);

  std::vector<PacketMessage> queued;
  ASSERT_TRUE(eventually([&] {
    PacketMessage m;
    while (net().packet_channel.try_pop(m)) queued.push_back(std::move(m));
    return queued.size() == 2;
  }));
  for (const PacketMessage& m : queued) {
    ASSERT_EQ(m.data.size(), 64U);
    EXPECT_EQ(m.socket_id, read_packet_header(m.data)->index == 1 ? 1U : 0U) << "socket id is the port's position";
  }
  ASSERT_TRUE(eventually([&] { return logged("unexpected packet size"); }));
  EXPECT_TRUE(logged("size=63 packet_length=64")) << logged();

  shutdown_receiver_threads(*rt_->shared(), threads_);
  EXPECT_TRUE(logged("no packets dropped")) << "a wrong size is not a drop";
  EXPECT_FALSE(logged("packets dropped socket_id"));
}

TEST_F(ReceiverThreadsTest, EverySocketGetsAThreadWhenThereAreEnough) {
  start(2, 3);
  EXPECT_EQ(threads_.size(), 2U) << "only as many threads as sockets";
  EXPECT_TRUE(logged("socket_range=0..1")) << logged();
  EXPECT_TRUE(logged("socket_range=1..2")) << logged();
  sender_.send(port_, 64);
  sender_.send(port_ + 1, 64);
  std::size_t queued = 0;
  ASSERT_TRUE(eventually([&] {
    PacketMessage m;
    while (net().packet_channel.try_pop(m)) ++queued;
    return queued == 2;
  }));
}

TEST_F(ReceiverThreadsTest, AFullChannelDropsAndCountsEveryFurtherPacket) {
  start(1, 1, /*channel=*/2);
  for (int i = 0; i < 5; ++i) sender_.send(port_, 64);
  ASSERT_TRUE(eventually([&] { return net().drop_counters[0].load() == 3; })) << net().drop_counters[0].load();
  EXPECT_TRUE(logged("channel full, packet dropped")) << logged();

  shutdown_receiver_threads(*rt_->shared(), threads_);
  EXPECT_TRUE(logged("packets dropped socket_id=0 drops=3")) << logged();
  EXPECT_TRUE(logged("total packets dropped across all sockets total_drops=3")) << logged();
  EXPECT_FALSE(logged("no packets dropped"));
}

TEST_F(ReceiverThreadsTest, ReturnedBuffersGoBackToTheirSocketsPool) {
  start(1, 1);
  sender_.send(port_, 64);
  PacketMessage m;
  ASSERT_TRUE(eventually([&] { return net().packet_channel.try_pop(m); }));
  const std::uint8_t* buffer = m.data.data();
  // As a resolution thread does once the packet is admitted.
  ASSERT_TRUE(net().buffer_return_senders[0]->try_push(std::move(m.data)));
  ASSERT_TRUE(eventually([&] { return net().buffer_return_senders[0]->was_empty(); }));
  sender_.send(port_, 64);
  PacketMessage next;
  ASSERT_TRUE(eventually([&] { return net().packet_channel.try_pop(next); }));
  EXPECT_EQ(next.data.data(), buffer) << "the most recently returned buffer is used first";
}

TEST_F(ReceiverThreadsTest, AThreadThatAcceptedOnePacketReportsNoDuration) {
  start(1, 1);
  sender_.send(port_, 64);
  PacketMessage m;
  ASSERT_TRUE(eventually([&] { return net().packet_channel.try_pop(m); }));
  shutdown_receiver_threads(*rt_->shared(), threads_);
  EXPECT_TRUE(logged("multi-socket receiver shutting down thread_id=0 duration=0.000000s")) << logged();
  EXPECT_TRUE(logged("receiver thread shut down idx=0")) << logged();
}

}  // namespace
}  // namespace arvex
