#pragma once
// The UDP side of the network source: the sockets of a run, bound once on a contiguous port
// range while the runtime is built, and the message a receiver thread hands to the resolution
// threads for every accepted datagram. Receivers read the sockets; they never touch frames.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/unique_fd.hpp"

namespace arvex {

// The transport a network configuration names; UDP is the only one.
enum class SocketType : std::uint8_t { Udp };

// "Udp".
std::string_view debug_name(SocketType type) noexcept;

// One bound UDP socket, owning its descriptor (closed on destruction). A socket's position in
// the run's socket vector is its socket id: 0 is the start port.
class NetworkSocket {
 public:
  explicit NetworkSocket(UniqueFd fd) noexcept : fd_(std::move(fd)) {}

  int fd() const noexcept { return fd_.get(); }

 private:
  UniqueFd fd_;
};

// One accepted datagram, moved from a receiver to a resolution thread; the receiver keeps
// nothing of it. The buffer goes back to socket `socket_id`'s pool once it has been admitted.
struct PacketMessage {
  std::vector<std::uint8_t> data;  // exactly packet_length bytes
  std::chrono::steady_clock::time_point received_at;  // taken right after the receive returned
  std::size_t socket_id = 0;
  // Position, in the list of usable cores, of the receiving thread; the worker of the packet's
  // scheduler record.
  std::size_t receiver_core = 0;
};

// Binds `count` UDP sockets to `address` on ports start_port .. start_port + count - 1, in port
// order, each in blocking mode with a kernel receive buffer of `recv_buf_bytes`. `address` is a
// literal (IPv4, IPv6 with or without brackets) or a host name; of its resolved addresses the
// first that binds is used. A port beyond 65535, an address that does not resolve or a port
// that cannot be bound stops the program ("Failed to bind UDP socket <address>:<port>: <error>");
// so does a socket that cannot be put in blocking mode. A rejected receive buffer size is only
// a warning. Logs "bound UDP sockets" once the range is bound; with `count` 0 binds and logs
// nothing.
std::vector<NetworkSocket> bind_udp_socket_range(std::string_view address, std::size_t start_port, std::size_t count,
                                                 std::size_t recv_buf_bytes);

// Sets SO_RCVBUF to `bytes` (saturated at INT_MAX: the option is an int and the kernel caps it
// anyway). A refusal is logged as a warning "failed to set SO_RCVBUF" with the requested size
// and the system error, and reported as false; the socket stays usable either way.
bool set_socket_recv_buffer(const NetworkSocket& socket, std::size_t bytes);

// The text a socket address is reported as: "host:port", with IPv6 literals in brackets.
std::string socket_address_text(std::string_view address, std::size_t port);

}  // namespace arvex
