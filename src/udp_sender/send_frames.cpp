#include "udp_sender/send_frames.hpp"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/unique_fd.hpp"
#include "network/packet_format.hpp"
#include "udp_sender/packet_schedule.hpp"

namespace arvex {

namespace {

using Clock = std::chrono::steady_clock;

// Transient refusals (a full device queue) are retried this often, a pause apart: ~5 ms in all.
constexpr int kTransientRetries = 100;
constexpr auto kTransientPause = std::chrono::microseconds(50);

// "[::1]" and "::1" name the same host; getaddrinfo wants it without brackets.
std::string bare_host(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return std::string(host);
}

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const noexcept { ::freeaddrinfo(info); }
};

// The socket of a run and the address of each of its ports.
struct Destination {
  UniqueFd fd;
  std::vector<sockaddr_storage> ports;
  socklen_t address_length = 0;
  bool connected = false;
};

void set_port(sockaddr_storage& address, std::uint16_t port) noexcept {
  if (address.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
  }
}

Expected<Destination, std::string> open_destination(const SendPlan& plan) {
  const std::string host = bare_host(plan.host);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* found = nullptr;
  if (const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); status != 0) {
    return Unexpected(fmt::format("cannot resolve host '{}': {}", plan.host, ::gai_strerror(status)));
  }
  const std::unique_ptr<addrinfo, AddrInfoDeleter> addresses(found);

  std::string last_error = "no address";
  for (const addrinfo* info = addresses.get(); info != nullptr; info = info->ai_next) {
    if (info->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Destination destination;
    destination.fd.reset(::socket(info->ai_family, info->ai_socktype | SOCK_CLOEXEC, info->ai_protocol));
    if (!destination.fd) {
      last_error = std::strerror(errno);
      continue;
    }
    destination.address_length = info->ai_addrlen;
    destination.ports.resize(plan.sockets);
    for (std::uint64_t offset = 0; offset < plan.sockets; ++offset) {
      sockaddr_storage& address = destination.ports[offset];
      std::memcpy(&address, info->ai_addr, info->ai_addrlen);
      set_port(address, static_cast<std::uint16_t>(plan.start_port + offset));
    }
    if (plan.sockets == 1) {
      if (::connect(destination.fd.get(), reinterpret_cast<const sockaddr*>(destination.ports.data()),
                    destination.address_length) != 0) {
        last_error = std::strerror(errno);
        continue;
      }
      destination.connected = true;
    }
    return destination;
  }
  return Unexpected(fmt::format("cannot open a UDP socket to '{}': {}", plan.host, last_error));
}

// Sends one datagram; returns 0 or the errno of the refusal.
int send_datagram(const Destination& destination, std::span<const std::uint8_t> data, std::uint32_t port_offset) {
  for (int attempt = 0;; ++attempt) {
    const ssize_t sent =
        destination.connected
            ? ::send(destination.fd.get(), data.data(), data.size(), 0)
            : ::sendto(destination.fd.get(), data.data(), data.size(), 0,
                       reinterpret_cast<const sockaddr*>(&destination.ports[port_offset]), destination.address_length);
    if (sent >= 0) return 0;
    const int error = errno;
    if (error == EINTR) continue;
    const bool transient = error == ENOBUFS || error == EAGAIN || error == EWOULDBLOCK;
    if (!transient || attempt == kTransientRetries) return error;
    std::this_thread::sleep_for(kTransientPause);
  }
}

// Holds datagram k back until start + k / rate.
class Pacer {
 public:
  Pacer(double rate, Clock::time_point start) noexcept : rate_(rate), start_(start) {}

  void wait_for(std::uint64_t k) const {
    if (rate_ <= 0) return;
    const auto due =
        start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(static_cast<double>(k) / rate_));
    // Sleeps only: a spinning sender would take a core from the receiver and engine it feeds
    // on small machines. A sleep may overshoot by tens of microseconds, which bunches a few
    // datagrams but never drifts, since every due time counts from the start.
    if (Clock::now() < due) std::this_thread::sleep_until(due);
  }

 private:
  double rate_;
  Clock::time_point start_;
};

}  // namespace

Expected<SendReport, std::string> send_frames(const SendPlan& plan) {
  if (auto error = check_plan(plan)) return Unexpected(std::move(*error));
  ARVEX_ASSIGN_OR_RETURN(destination, open_destination(plan));

  SendReport report;
  std::vector<std::uint8_t> buffer(plan.packet_length);
  std::uint64_t k = 0;
  const Clock::time_point start = Clock::now();
  const Pacer pacer(plan.rate, start);
  for_each_scheduled_packet(plan, [&](const ScheduledPacket& packet) {
    const std::span<std::uint8_t> data(buffer.data(), packet.length);
    fill_packet(packet.frame, packet.index, data);
    pacer.wait_for(k++);
    if (const int error = send_datagram(destination, data, packet.port_offset); error != 0) {
      if (report.send_errors++ == 0) report.first_send_error = std::strerror(error);
      return;
    }
    ++report.packets_sent;
    report.bytes_sent += packet.length;
  });
  report.elapsed_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return report;
}

}  // namespace arvex
