#pragma once
// UDP sockets bound on consecutive loopback ports, for tests that send real datagrams to
// themselves. Receives time out, so a test that misses a datagram fails instead of hanging.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/unique_fd.hpp"

namespace arvex::test_support {

class LoopbackReceiver {
 public:
  // `count` sockets on consecutive ports of `address` ("127.0.0.1" or "::1"), the first picked
  // by the kernel; valid() is false when no such run of ports could be bound.
  LoopbackReceiver(const std::string& address, std::size_t count);

  bool valid() const noexcept { return !sockets_.empty(); }
  std::uint16_t start_port() const noexcept { return start_port_; }

  // The next datagram on socket `offset`, or nothing after a second without one (at once
  // without `wait`).
  std::optional<std::vector<std::uint8_t>> receive(std::size_t offset, bool wait = true) const;

 private:
  std::vector<UniqueFd> sockets_;
  std::uint16_t start_port_ = 0;
};

// A loopback port that nobody listens on (bound a moment ago, then closed).
std::uint16_t closed_loopback_port();

}  // namespace arvex::test_support
