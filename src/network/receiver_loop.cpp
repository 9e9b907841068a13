#include "network/receiver_loop.hpp"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "logging/log.hpp"
#include "placement/core_allocation.hpp"
#include "placement/cpu_pinning.hpp"

namespace arvex {

namespace {

constexpr std::string_view kLogTarget = "arvex_core::network";
// Empty passes over the sockets before the thread waits for one to become readable, and the
// longest such wait (shutdown is noticed within it).
constexpr std::size_t kSpinPassesBeforeWait = 16;
constexpr int kIdleWaitMs = 1;

// A pinned thread is the fast path; a position past the usable cores (more receivers than
// cores) runs unpinned, silently.
void pin_to_position(std::size_t position) {
  std::vector<std::size_t> cores;
  try {
    cores = usable_cores();
  } catch (...) {
    return;
  }
  if (position < cores.size()) (void)pin_current_thread(cores[position]);
}

// Kept short in case a receive ever blocks; the loop itself receives without waiting.
void set_short_receive_timeout(const NetworkSocket& socket) {
  timeval timeout{};
  timeout.tv_usec = 1;
  (void)::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
}

std::string duration_text(std::chrono::steady_clock::duration duration) {
  return fmt::format("{:.6f}s", std::chrono::duration<double>(duration).count());
}

// One socket's buffers: a stack, so the most recently returned (cache-warm) buffer goes first.
class BufferPool {
 public:
  BufferPool(std::size_t packet_length, std::size_t size, std::shared_ptr<BufferReturnChannel> returns)
      : packet_length_(packet_length), returns_(std::move(returns)) {
    buffers_.reserve(size);
    for (std::size_t i = 0; i < size; ++i) buffers_.emplace_back(packet_length_, 0);
  }

  // Brings back what the resolution threads returned, without waiting.
  void collect_returns() {
    if (!returns_) return;
    PacketBuffer buffer;
    while (returns_->try_pop(buffer)) buffers_.push_back(std::move(buffer));
  }

  // A buffer that received nothing usable goes straight back; freeing it would cost an
  // allocation on every empty poll.
  void put_back(PacketBuffer buffer) { buffers_.push_back(std::move(buffer)); }

  // An empty pool is bridged by a fresh buffer.
  PacketBuffer take() {
    if (buffers_.empty()) return PacketBuffer(packet_length_, 0);
    PacketBuffer buffer = std::move(buffers_.back());
    buffers_.pop_back();
    // A returned buffer has its full length; resize only guards against a foreign one.
    buffer.resize(packet_length_);
    return buffer;
  }

 private:
  std::size_t packet_length_;
  std::shared_ptr<BufferReturnChannel> returns_;
  std::vector<PacketBuffer> buffers_;
};

}  // namespace

void multi_socket_receiver_loop(ReceiverLoopArgs args) {
  pin_to_position(args.core_position);
  const std::size_t first = args.first_socket;
  const std::size_t end = std::max(args.end_socket, first);
  std::vector<BufferPool> pools;
  pools.reserve(end - first);
  std::vector<pollfd> readable;
  for (std::size_t s = first; s < end; ++s) {
    set_short_receive_timeout(args.sockets[s]);
    readable.push_back(pollfd{args.sockets[s].fd(), POLLIN, 0});
    const std::size_t k = s - first;
    pools.emplace_back(args.packet_length, args.pool_size,
                       k < args.return_receivers.size() ? args.return_receivers[k] : nullptr);
  }
  ARVEX_LOG_INFO(kLogTarget, "multi-socket receiver thread started", log::field("thread_id", args.thread_id),
                 log::field("socket_range", fmt::format("{}..{}", args.first_socket, args.end_socket)),
                 log::field("core_id", args.core_position));

  using Clock = std::chrono::steady_clock;
  Clock::time_point first_packet = Clock::now();
  Clock::time_point last_packet = first_packet;
  bool accepted_any = false;

  // Sockets are read without waiting, so an empty socket never holds up its neighbours (a
  // receive timeout is rounded up to a scheduler tick). After a run of empty passes the thread
  // sleeps until a socket is readable: a busy core stays busy, an idle one is given back.
  std::size_t empty_passes = 0;
  while (!args.shutdown->load(std::memory_order_acquire)) {
    if (++empty_passes > kSpinPassesBeforeWait) {
      (void)::poll(readable.data(), readable.size(), kIdleWaitMs);
      empty_passes = 0;
    }
    for (std::size_t s = first; s < end; ++s) {
      BufferPool& pool = pools[s - first];
      pool.collect_returns();
      PacketBuffer buffer = pool.take();
      const ssize_t received = ::recv(args.sockets[s].fd(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (received < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT || error == EINTR) {
          pool.put_back(std::move(buffer));
          continue;
        }
        ARVEX_LOG_ERROR(kLogTarget, "recv error, exiting", log::field("thread_id", args.thread_id),
                        log::field("socket_id", s), log::field("error", std::string(std::strerror(error))));
        return;
      }
      const auto size = static_cast<std::size_t>(received);
      if (size != args.packet_length) {
        ARVEX_LOG_WARN(kLogTarget, "unexpected packet size", log::field("thread_id", args.thread_id),
                       log::field("socket_id", s), log::field("size", size),
                       log::field("packet_length", args.packet_length));
        pool.put_back(std::move(buffer));
        continue;
      }
      empty_passes = 0;
      const Clock::time_point received_at = Clock::now();
      if (accepted_any) {
        last_packet = received_at;
      } else {
        first_packet = received_at;
        accepted_any = true;
      }
      PacketMessage message{std::move(buffer), received_at, s, args.core_position};
      if (!args.packets->try_push(std::move(message))) {
        pool.put_back(std::move(message.data));  // a failed push leaves the message untouched
        (*args.drop_counters)[s].fetch_add(1, std::memory_order_relaxed);
        ARVEX_LOG_WARN(kLogTarget, "channel full, packet dropped", log::field("thread_id", args.thread_id),
                       log::field("socket_id", s));
      }
    }
  }
  // Fewer than two accepted packets leave both instants equal: a duration of zero.
  const auto duration = last_packet > first_packet ? last_packet - first_packet : Clock::duration::zero();
  ARVEX_LOG_INFO(kLogTarget, "multi-socket receiver shutting down", log::field("thread_id", args.thread_id),
                 log::field("duration", duration_text(duration)));
}

}  // namespace arvex
