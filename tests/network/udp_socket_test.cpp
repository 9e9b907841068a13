// Binding the UDP socket range on loopback: ports in order, blocking mode, the summary line,
// the receive-buffer warning, and the faults that stop the program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "network/udp_socket.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr std::size_t kMiB = 1024 * 1024;

// A UDP socket on 127.0.0.1 at `port` (0: the kernel picks one), or an invalid one when the
// port is taken.
UniqueFd loopback_socket(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) return UniqueFd();
  return fd;
}

std::uint16_t local_port(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

// The first of `count` consecutive loopback ports that were all free a moment ago: the kernel
// picks the first, the others are probed.
std::uint16_t free_ports(std::size_t count) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const UniqueFd first = loopback_socket(0);
    const std::uint16_t start = local_port(first.get());
    if (start + count - 1 > 65535) continue;
    bool free = true;
    for (std::size_t i = 1; i < count && free; ++i) {
      free = static_cast<bool>(loopback_socket(static_cast<std::uint16_t>(start + i)));
    }
    if (free) return start;
  }
  ADD_FAILURE() << "no run of " << count << " free loopback ports";
  return 0;
}

class UdpSocketTest : public test_support::LogCaptureTest {};

TEST_F(UdpSocketTest, BindsConsecutivePortsInBlockingModeAndReportsTheRange) {
  const std::uint16_t start = free_ports(2);
  const std::vector<NetworkSocket> sockets = bind_udp_socket_range(kLoopback, start, 2, 8 * kMiB);

  ASSERT_EQ(sockets.size(), 2u);
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    EXPECT_EQ(local_port(sockets[i].fd()), start + i) << "socket id " << i << " is start_port + " << i;
    EXPECT_EQ(::fcntl(sockets[i].fd(), F_GETFL) & O_NONBLOCK, 0) << "socket " << i << " must block";
  }
  EXPECT_TRUE(logged(fmt::format("bound UDP sockets start_port={} end_port={} address=127.0.0.1 recv_buf_mb=8",
                                 start, start + 1)))
      << logged();

  // The second socket receives what is sent to start_port + 1.
  const UniqueFd sender = loopback_socket(0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(start + 1));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::array<std::uint8_t, 3> payload{1, 2, 3};
  ASSERT_EQ(::sendto(sender.get(), payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)),
            3);
  pollfd ready{sockets[1].fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 10'000), 1) << "loopback datagram never arrived";
  std::array<std::uint8_t, 8> received{};
  EXPECT_EQ(::recv(sockets[1].fd(), received.data(), received.size(), 0), 3);
  EXPECT_EQ(received[2], 3);
}

TEST_F(UdpSocketTest, ReceiveBufferIsReportedInWholeMebibytes) {
  struct Case {
    std::size_t bytes;
    std::size_t mib;
  };
  for (const Case& c : {Case{8388608, 8}, Case{16777216, 16}, Case{kMiB - 1, 0}, Case{3 * kMiB + 1, 3}}) {
    clear_log();
    const std::uint16_t port = free_ports(1);
    const auto sockets = bind_udp_socket_range(kLoopback, port, 1, c.bytes);
    EXPECT_TRUE(logged(fmt::format("start_port={} end_port={} address=127.0.0.1 recv_buf_mb={}", port, port, c.mib)))
        << c.bytes << " bytes: " << logged();
  }
}

TEST_F(UdpSocketTest, NoSocketsBindsAndLogsNothing) {
  EXPECT_TRUE(bind_udp_socket_range(kLoopback, 5000, 0, kMiB).empty());
  EXPECT_FALSE(logged("bound UDP sockets"));
}

TEST_F(UdpSocketTest, Ipv6LoopbackBindsWithOrWithoutBrackets) {
  UniqueFd probe(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_loopback;
  if (!probe || ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof(any)) != 0) {
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  const std::uint16_t port = local_port(probe.get());
  probe.reset();
  for (const char* address : {"::1", "[::1]"}) {
    const auto sockets = bind_udp_socket_range(address, port, 1, kMiB);
    ASSERT_EQ(sockets.size(), 1u) << address;
    EXPECT_EQ(local_port(sockets[0].fd()), port) << address;
  }
}

TEST(SocketAddressText, Ipv6LiteralsAreBracketed) {
  EXPECT_EQ(socket_address_text("127.0.0.1", 5000), "127.0.0.1:5000");
  EXPECT_EQ(socket_address_text("::1", 5000), "[::1]:5000");
  EXPECT_EQ(socket_address_text("[::1]", 5000), "[::1]:5000");
  EXPECT_EQ(socket_address_text("localhost", 1), "localhost:1");
}

TEST_F(UdpSocketTest, RefusedReceiveBufferWarnsAndKeepsGoing) {
  // Not a socket: setsockopt fails with ENOTSOCK.
  std::array<int, 2> pipe_fds{};
  ASSERT_EQ(::pipe(pipe_fds.data()), 0);
  const NetworkSocket not_a_socket{UniqueFd(pipe_fds[0])};
  const UniqueFd write_end(pipe_fds[1]);

  EXPECT_FALSE(set_socket_recv_buffer(not_a_socket, 4096));
  EXPECT_TRUE(logged("WARN")) << logged();
  EXPECT_TRUE(logged("failed to set SO_RCVBUF size=4096 error=Socket operation on non-socket")) << logged();
}

TEST_F(UdpSocketTest, AcceptedReceiveBufferIsQuiet) {
  const NetworkSocket socket{loopback_socket(0)};
  // Beyond INT_MAX: saturated rather than wrapped to a negative size.
  EXPECT_TRUE(set_socket_recv_buffer(socket, std::size_t{1} << 40));
  EXPECT_FALSE(logged("failed to set SO_RCVBUF")) << logged();
}

TEST(UdpSocketDeathTest, TakenPortStopsTheProgram) {
  const UniqueFd holder = loopback_socket(0);
  const std::uint16_t port = local_port(holder.get());
  EXPECT_EXIT(bind_udp_socket_range(kLoopback, port, 1, kMiB), ::testing::ExitedWithCode(101),
              fmt::format("Failed to bind UDP socket 127.0.0.1:{}: Address already in use", port));
}

TEST(UdpSocketDeathTest, PortsBeyond65535StopTheProgramInsteadOfWrapping) {
  struct Case {
    std::size_t start_port;
    std::size_t count;
    const char* message;
  };
  // 70000 would wrap to 4464 as a 16-bit port.
  for (const Case& c : {Case{65536, 1, "Failed to bind UDP socket 127.0.0.1:65536: port out of range"},
                        Case{70000, 1, "Failed to bind UDP socket 127.0.0.1:70000: port out of range"}}) {
    EXPECT_EXIT(bind_udp_socket_range(kLoopback, c.start_port, c.count, kMiB), ::testing::ExitedWithCode(101),
                c.message);
  }
}

TEST(UdpSocketDeathTest, UnresolvableAddressStopsTheProgram) {
  // The empty name fails in the resolver itself, without asking any name server.
  EXPECT_EXIT(bind_udp_socket_range("", 5000, 1, kMiB), ::testing::ExitedWithCode(101),
              "Failed to bind UDP socket :5000: ");
}

}  // namespace
}  // namespace arvex
