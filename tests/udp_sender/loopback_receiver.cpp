#include "loopback_receiver.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

namespace arvex::test_support {

namespace {

UniqueFd bind_socket(const std::string& address, std::uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (address.find(':') != std::string::npos) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr) != 1) return {};
    length = sizeof(in6);
  } else {
    auto& in4 = reinterpret_cast<sockaddr_in&>(storage);
    in4.sin_family = AF_INET;
    in4.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &in4.sin_addr) != 1) return {};
    length = sizeof(in4);
  }
  UniqueFd fd(::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0) return {};
  const timeval timeout{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  return fd;
}

std::uint16_t bound_port(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(storage).sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in&>(storage).sin_port);
}

}  // namespace

LoopbackReceiver::LoopbackReceiver(const std::string& address, std::size_t count) {
  // The kernel picks the first port; the next ones may be taken, so a few runs are tried.
  for (int attempt = 0; attempt < 50 && sockets_.empty(); ++attempt) {
    std::vector<UniqueFd> sockets;
    sockets.push_back(bind_socket(address, 0));
    if (!sockets.front()) return;
    const std::uint16_t start = bound_port(sockets.front().get());
    if (start == 0 || start + count - 1 > 65535) continue;
    for (std::size_t i = 1; i < count; ++i) {
      UniqueFd next = bind_socket(address, static_cast<std::uint16_t>(start + i));
      if (!next) break;
      sockets.push_back(std::move(next));
    }
    if (sockets.size() != count) continue;
    sockets_ = std::move(sockets);
    start_port_ = start;
  }
}

std::optional<std::vector<std::uint8_t>> LoopbackReceiver::receive(std::size_t offset, bool wait) const {
  std::vector<std::uint8_t> buffer(65536);
  const ssize_t length = ::recv(sockets_.at(offset).get(), buffer.data(), buffer.size(), wait ? 0 : MSG_DONTWAIT);
  if (length < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(length));
  return buffer;
}

std::uint16_t closed_loopback_port() {
  const UniqueFd fd = bind_socket("127.0.0.1", 0);
  return fd ? bound_port(fd.get()) : 0;
}

}  // namespace arvex::test_support
