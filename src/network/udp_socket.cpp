#include "network/udp_socket.hpp"

#include <fmt/format.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "arvex/fatal.hpp"
#include "logging/log.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::network";
constexpr std::size_t kMaxPort = 65535;

std::string system_error(int error) { return std::strerror(error); }

// "[::1]" and "::1" name the same host; getaddrinfo wants it without brackets.
std::string_view bare_host(std::string_view address) noexcept {
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    return address.substr(1, address.size() - 2);
  }
  return address;
}

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const noexcept { ::freeaddrinfo(info); }
};

// Binds one socket to `port` on `address`, or stops the program naming `text`.
NetworkSocket bind_one(std::string_view address, std::size_t port, const std::string& text) {
  // Host and port are resolved separately: "{host}:{port}" cannot be split back apart when the
  // host is an IPv6 literal.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  const std::string host(bare_host(address));
  const std::string service = std::to_string(port);
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    const std::string error = resolved == EAI_SYSTEM ? system_error(errno) : ::gai_strerror(resolved);
    fatal_stop(fmt::format("Failed to bind UDP socket {}: {}", text, error));
  }
  const std::unique_ptr<addrinfo, AddrInfoDeleter> addresses(found);

  int last_error = EADDRNOTAVAIL;
  for (const addrinfo* candidate = addresses.get(); candidate != nullptr; candidate = candidate->ai_next) {
    UniqueFd fd(::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol));
    if (!fd) {
      last_error = errno;
      continue;
    }
    if (::bind(fd.get(), candidate->ai_addr, candidate->ai_addrlen) != 0) {
      last_error = errno;
      continue;
    }
    return NetworkSocket(std::move(fd));
  }
  fatal_stop(fmt::format("Failed to bind UDP socket {}: {}", text, system_error(last_error)));
}

}  // namespace

std::string_view debug_name(SocketType type) noexcept {
  switch (type) {
    case SocketType::Udp: return "Udp";
  }
  return "Udp";
}

std::string socket_address_text(std::string_view address, std::size_t port) {
  const bool ipv6_literal = address.find(':') != std::string_view::npos && address.front() != '[';
  return ipv6_literal ? fmt::format("[{}]:{}", address, port) : fmt::format("{}:{}", address, port);
}

bool set_socket_recv_buffer(const NetworkSocket& socket, std::size_t bytes) {
  const int size = bytes > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
  if (::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) == 0) return true;
  const std::string error = system_error(errno);
  ARVEX_LOG_WARN(kLogTarget, "failed to set SO_RCVBUF", log::field("size", bytes), log::field("error", error));
  return false;
}

std::vector<NetworkSocket> bind_udp_socket_range(std::string_view address, std::size_t start_port, std::size_t count,
                                                 std::size_t recv_buf_bytes) {
  std::vector<NetworkSocket> sockets;
  if (count == 0) return sockets;
  sockets.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    // Checked before adding, so that neither the port nor the sum can wrap around.
    if (start_port > kMaxPort || i > kMaxPort - start_port) {
      fatal_stop(fmt::format("Failed to bind UDP socket {}: port out of range (0 to {})",
                             socket_address_text(address, start_port + i), kMaxPort));
    }
    const std::size_t port = start_port + i;
    const std::string text = socket_address_text(address, port);
    NetworkSocket socket = bind_one(address, port, text);

    int non_blocking = 0;
    if (::ioctl(socket.fd(), FIONBIO, &non_blocking) != 0) {
      fatal_stop("Failed to set blocking mode", system_error(errno));
    }
    set_socket_recv_buffer(socket, recv_buf_bytes);
    sockets.push_back(std::move(socket));
  }
  const std::size_t end_port = start_port + count - 1;
  const std::size_t recv_buf_mb = recv_buf_bytes / (1024 * 1024);
  ARVEX_LOG_INFO(kLogTarget, "bound UDP sockets", log::field("start_port", start_port), log::field("end_port", end_port),
                 log::field("address", address), log::field("recv_buf_mb", recv_buf_mb));
  return sockets;
}

}  // namespace arvex
