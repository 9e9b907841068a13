#include "udp_sender/packet_schedule.hpp"

#include <numeric>
#include <utility>

namespace arvex {

namespace {

// SplitMix64: tiny, and the same sequence on every platform and standard library, which the
// std distributions do not promise.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) noexcept : state_(seed) {}

  std::uint64_t next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

// The id of the frame sent at position `m`.
std::uint64_t frame_at(const SendPlan& plan, std::uint64_t m) noexcept {
  if (!plan.send_first) return plan.first_frame + m;
  if (m == 0) return *plan.send_first;
  const std::uint64_t frame = plan.first_frame + (m - 1);
  return frame >= *plan.send_first ? frame + 1 : frame;
}

// Fills `order` with the packet indexes of `frame` in send order.
void frame_order(const SendPlan& plan, std::uint64_t frame, std::vector<std::uint32_t>& order) {
  order.resize(plan.packets_per_frame);
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  if (!plan.shuffle) return;
  SplitMix64 random(plan.seed ^ (frame * 0xD1B54A32D192ED03ull));
  for (std::size_t i = order.size() - 1; i > 0; --i) {
    // The modulo bias is far below anything a test of reordering could notice.
    const std::size_t j = random.next() % (i + 1);
    std::swap(order[i], order[j]);
  }
}

// The send positions floor(j * total / count), j = 0, 1, ..., stepped without the product so
// that it cannot overflow.
class EvenSpacing {
 public:
  EvenSpacing(std::uint64_t total, std::uint64_t count) noexcept
      : count_(count), step_(count == 0 ? 0 : total / count), remainder_(count == 0 ? 0 : total % count) {}

  bool at(std::uint64_t position) const noexcept { return taken_ < count_ && position == next_; }

  void advance() noexcept {
    ++taken_;
    next_ += step_;
    // fraction_ tracks (taken_ * remainder_) mod count_; compared rather than summed so that
    // nothing overflows even near 2^64.
    if (fraction_ >= count_ - remainder_) {
      fraction_ -= count_ - remainder_;
      ++next_;
    } else {
      fraction_ += remainder_;
    }
  }

 private:
  std::uint64_t count_;
  std::uint64_t step_;
  std::uint64_t remainder_;
  std::uint64_t taken_ = 0;
  std::uint64_t next_ = 0;
  std::uint64_t fraction_ = 0;
};

std::uint32_t port_offset(const SendPlan& plan, std::uint32_t index) noexcept {
  return static_cast<std::uint32_t>(index % plan.sockets);
}

}  // namespace

std::string_view debug_name(PacketKind kind) noexcept {
  switch (kind) {
    case PacketKind::Normal:
      return "normal";
    case PacketKind::Duplicate:
      return "duplicate";
    case PacketKind::Late:
      return "late";
    case PacketKind::Short:
      return "short";
  }
  return "unknown";
}

void for_each_scheduled_packet(const SendPlan& plan, const std::function<void(const ScheduledPacket&)>& visit) {
  for (std::uint64_t j = 0; j < plan.short_packets; ++j) {
    const auto index = static_cast<std::uint32_t>(j % plan.packets_per_frame);
    visit({plan.first_frame, index, port_offset(plan, index), plan.packet_length - 1, PacketKind::Short});
  }

  EvenSpacing duplicates(plan.frames * plan.packets_per_frame, plan.duplicates);
  std::uint64_t position = 0;
  std::uint64_t late_sent = 0;
  std::vector<std::uint32_t> order;
  for (std::uint64_t m = 0; m < plan.frames; ++m) {
    const std::uint64_t frame = frame_at(plan, m);
    frame_order(plan, frame, order);
    for (const std::uint32_t index : order) {
      const ScheduledPacket packet{frame, index, port_offset(plan, index), plan.packet_length, PacketKind::Normal};
      visit(packet);
      if (duplicates.at(position)) {
        ScheduledPacket copy = packet;
        copy.kind = PacketKind::Duplicate;
        visit(copy);
        duplicates.advance();
      }
      ++position;
    }
    if (late_sent < plan.late && m >= plan.late_lag) {
      visit({frame_at(plan, m - plan.late_lag), 0, 0, plan.packet_length, PacketKind::Late});
      ++late_sent;
    }
  }
}

std::vector<ScheduledPacket> packet_schedule(const SendPlan& plan) {
  std::vector<ScheduledPacket> schedule;
  for_each_scheduled_packet(plan, [&](const ScheduledPacket& packet) { schedule.push_back(packet); });
  return schedule;
}

}  // namespace arvex
