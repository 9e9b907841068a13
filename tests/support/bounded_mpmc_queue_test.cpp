// The bounded queue holds exactly its capacity (not the power of two behind it), moves
// non-trivial elements through intact across ticket wrap-around, and under concurrent
// producers and consumers delivers every element exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/bounded_mpmc_queue.hpp"
#include "network/udp_socket.hpp"
#include "tables/node_info.hpp"

namespace arvex {
namespace {

NodeInfo task(std::size_t index) {
  NodeInfo t;
  t.slot = 3;
  t.index = index;
  t.generation = 7;
  t.node_id = 2;
  return t;
}

TEST(BoundedMpmcQueue, HoldsExactlyItsCapacity) {
  struct Case {
    std::size_t capacity;
    std::size_t cells;
  };
  for (const Case& c : {Case{1, 4096}, Case{100, 4096}, Case{4096, 4096}, Case{65536, 65536}, Case{65540, 131072}}) {
    BoundedMpmcQueue<NodeInfo> queue(c.capacity);
    EXPECT_EQ(queue.capacity(), c.capacity);
    EXPECT_EQ(queue.allocated_cells(), c.cells) << c.capacity;
    for (std::size_t i = 0; i < c.capacity; ++i) ASSERT_TRUE(queue.try_push(task(i))) << c.capacity << " at " << i;
    EXPECT_FALSE(queue.try_push(task(c.capacity))) << "capacity " << c.capacity << " must be a hard bound";
    EXPECT_EQ(queue.was_size(), c.capacity);
    EXPECT_TRUE(queue.was_full());

    NodeInfo out;
    for (std::size_t i = 0; i < c.capacity; ++i) {
      ASSERT_TRUE(queue.try_pop(out));
      ASSERT_EQ(out, task(i)) << "one thread pops in push order";
    }
    EXPECT_FALSE(queue.try_pop(out));
    EXPECT_TRUE(queue.was_empty());
    EXPECT_TRUE(queue.try_push(task(0))) << "room again after draining";
  }
}

TEST(BoundedMpmcQueue, ZeroCapacityRefusesEveryPush) {
  BoundedMpmcQueue<NodeInfo> queue(0);
  EXPECT_FALSE(queue.try_push(task(0)));
  NodeInfo out;
  EXPECT_FALSE(queue.try_pop(out));
}

TEST(BoundedMpmcQueue, MovesOwningElementsThroughManyLaps) {
  // Three laps of a 4096-cell ring, two elements in flight: tickets wrap over every cell.
  BoundedMpmcQueue<PacketMessage> queue(2);
  PacketMessage out;
  for (std::size_t i = 0; i < 3 * queue.allocated_cells(); ++i) {
    PacketMessage message;
    message.data.assign(64, static_cast<std::uint8_t>(i));
    message.socket_id = i;
    ASSERT_TRUE(queue.try_push(std::move(message)));
    if (i == 0) continue;
    ASSERT_TRUE(queue.try_pop(out));
    ASSERT_EQ(out.socket_id, i - 1);
    ASSERT_EQ(out.data, std::vector<std::uint8_t>(64, static_cast<std::uint8_t>(i - 1)));
  }
  ASSERT_TRUE(queue.try_pop(out));
  EXPECT_FALSE(queue.try_pop(out));
}

TEST(BoundedMpmcQueue, MovesTheBufferRatherThanCopyingIt) {
  BoundedMpmcQueue<std::vector<std::uint8_t>> queue(4);
  std::vector<std::uint8_t> buffer(1500, 9);
  const std::uint8_t* storage = buffer.data();
  ASSERT_TRUE(queue.try_push(std::move(buffer)));
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(queue.try_pop(out));
  EXPECT_EQ(out.data(), storage) << "a pooled packet buffer must come back as the same allocation";
}

TEST(BoundedMpmcQueue, ConcurrentProducersAndConsumersDeliverEachElementOnce) {
  constexpr std::size_t kProducers = 2;
  constexpr std::size_t kConsumers = 2;
  constexpr std::size_t kPerProducer = 20000;
  constexpr std::size_t kCapacity = 64;  // small, so that pushers often find the queue full
  BoundedMpmcQueue<NodeInfo> queue(kCapacity);
  std::vector<std::atomic<std::uint32_t>> seen(kProducers * kPerProducer);
  std::atomic<std::size_t> popped{0};

  std::vector<std::thread> threads;
  for (std::size_t p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (std::size_t i = 0; i < kPerProducer; ++i) {
        while (!queue.try_push(task(p * kPerProducer + i))) std::this_thread::yield();
      }
    });
  }
  for (std::size_t c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&] {
      NodeInfo out;
      while (popped.load() < kProducers * kPerProducer) {
        if (!queue.try_pop(out)) {
          std::this_thread::yield();
          continue;
        }
        seen[out.index].fetch_add(1);
        popped.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();

  for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i].load(), 1u) << "element " << i;
  NodeInfo out;
  EXPECT_FALSE(queue.try_pop(out));
}

TEST(BoundedMpmcQueueDeathTest, CapacityBeyondTheTicketRangeStopsTheProgram) {
  EXPECT_EXIT(BoundedMpmcQueue<NodeInfo>((std::size_t{1} << 30) + 1), ::testing::ExitedWithCode(101),
              "bounded queue capacity exceeds 2\\^30 elements");
}

}  // namespace
}  // namespace arvex
