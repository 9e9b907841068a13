// Building the runtime: the configuration checks and their order, the state every slot starts
// in, the adopted thread layout, the unchecked-wrapper and counter log lines, the recorder
// rule, and the network infrastructure with and without a network source.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "instrumentation/time_buffer_manager.hpp"
#include "placement/core_allocation.hpp"
#include "runtime_fixture.hpp"
#include "support/log_capture.hpp"

namespace arvex {
namespace {

using namespace arvex::test;

class RuntimeBuildTest : public test_support::LogCaptureTest {};

TEST_F(RuntimeBuildTest, SlotsAreClampedThenCheckedInOrder) {
  struct Case {
    std::size_t slots;
    std::size_t max_frames;
    std::size_t batch_queue_capacity;
    std::variant<std::size_t, std::string> outcome;  // final slot count, or the error
  };
  const std::string too_many =
      "Αρβέξ supports at most 64 concurrent slots (got 65); this limit is enforced by the u64 completion bitmaps";
  const Case cases[] = {
      {8, 3, 65536, std::size_t{3}},
      {4, 0, 65536, std::string("slots must be >= 1 (got 0)")},
      {1000, 0, 65536, std::string("slots must be >= 1 (got 0)")},
      {65, 65, 65536, too_many},
      {65, 100, 65536, too_many},
      {64, 64, 65536, std::size_t{64}},
      {64, 1000, 65536, std::size_t{64}},
      {0, 5, 0, std::string("slots must be >= 1 (got 0)")},
      {65, 65, 0, too_many},
      {4, 4, 0, std::string("batch_queue_capacity must be > 0 (got 0)")},
      {4, 1, 65536, std::size_t{1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "slots " << c.slots << " max_frames " << c.max_frames << " capacity "
                                    << c.batch_queue_capacity);
    ArvexRtBuilder builder = builder_for(diamond_graph());
    builder.slots = c.slots;
    builder.max_frames = c.max_frames;
    builder.batch_queue_capacity = c.batch_queue_capacity;
    auto built = build(std::move(builder));
    if (const auto* error = std::get_if<std::string>(&c.outcome)) {
      ASSERT_FALSE(built.has_value());
      EXPECT_EQ(built.error(), *error);
      continue;
    }
    ASSERT_TRUE(built.has_value()) << built.error();
    const SharedData& shared = *built->shared();
    const std::size_t slots = std::get<std::size_t>(c.outcome);
    EXPECT_EQ(shared.config.slots, slots);
    EXPECT_EQ(shared.config.single_slot, slots == 1);
    EXPECT_EQ(shared.slots.slot_count(), slots);
    EXPECT_EQ(shared.exec.batch_queue.capacity(), c.batch_queue_capacity);
  }
}

TEST_F(RuntimeBuildTest, EverySlotStartsInactiveWithFullCounts) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  builder.slots = 3;
  builder.max_frames = 10;
  builder.batch_queue_capacity = 100;
  builder.recv_pool_size = 7;
  builder.spin_wait_park_ns = 11;
  builder.batching_limit = 12;
  builder.inline_continuation = true;
  builder.max_runtime = 5;
  const auto epoch = builder.epoch;
  auto built = build(std::move(builder));
  ASSERT_TRUE(built.has_value()) << built.error();
  const SharedData& shared = *built->shared();
  SlotData& slots = built->shared()->slots;

  EXPECT_EQ(shared.cache.total_tasks_per_frame, 6u);
  EXPECT_EQ(shared.cache.total_cond_tasks_per_frame, 2u);
  for (std::size_t s = 0; s < 3; ++s) {
    SCOPED_TRACE(testing::Message() << "slot " << s);
    EXPECT_EQ(slots.generation[s].load(), 0u);
    EXPECT_EQ(slots.pending_tasks[s].load(), 6u) << "a, b and d; c is a condition node";
    EXPECT_EQ(slots.pending_cond_tasks[s].load(), 2u);
    EXPECT_EQ(slots.processing_count[s].load(), 0u);
    EXPECT_FALSE(slots.needs_check[s].load());
    EXPECT_EQ(slots.packet_count[s].load(), 0u);
    EXPECT_FALSE(slots.packet_complete[s].load());
    EXPECT_EQ(slots.frame_id[s].load(), -1);
    for (std::size_t n = 0; n < 4; ++n) {
      const std::uint64_t expected_cond = n == 2 ? 2u : 0u;  // generation 0, count = factor of c
      EXPECT_EQ(slots.cond_spawn(s, n).load(), expected_cond) << "node " << n;
      EXPECT_EQ(slots.bulk_ready(s, n).load(), 0u) << "node " << n;
    }
  }
  EXPECT_EQ(*slots.slot_states.read(), std::vector<SlotState>(3, SlotState::Inactive));
  EXPECT_TRUE(slots.running_frames.read()->empty());
  const auto buffers = slots.slot_buffers.read();
  ASSERT_EQ(buffers->size(), 3u);
  for (const auto& buffered : *buffers) EXPECT_TRUE(buffered.empty());
  EXPECT_EQ(slots.active_bitmap.load(), 0u);
  EXPECT_EQ(slots.last_assigned.load(), 0u);

  EXPECT_FALSE(shared.shutdown.load());
  EXPECT_FALSE(shared.exec.prep_done.load());
  EXPECT_EQ(shared.exec.result_map->num_slots(), 3u + shared.config.system_threads + 1)
      << "frame slots, one per resolution thread, one for post nodes";
  EXPECT_EQ(shared.exec.batch_queue.capacity(), 100u);
  EXPECT_EQ(shared.exec.batch_queue.was_size(), 0u);
  ASSERT_NE(shared.exec.counter, nullptr);
  ASSERT_NE(shared.exec.scheduler, nullptr);

  EXPECT_EQ(shared.telemetry.start, epoch);
  EXPECT_EQ(shared.telemetry.frames_completed.load(), 0u);
  EXPECT_EQ(shared.telemetry.jobs_recorded.load(), 0u);
  EXPECT_EQ(shared.telemetry.time_buffers, nullptr);
  EXPECT_EQ(shared.telemetry.recorder, nullptr);

  EXPECT_EQ(shared.config.max_frames, 10u);
  EXPECT_EQ(shared.config.recv_pool_size, 7u);
  EXPECT_EQ(shared.config.spin_wait_park_ns, 11u);
  EXPECT_EQ(shared.config.batching_limit, 12u);
  EXPECT_TRUE(shared.config.inline_continuation);
  EXPECT_EQ(shared.config.max_runtime, std::optional<std::uint64_t>(5));

  // Without a network source: an unused channel of capacity 1 and nothing per socket; the
  // frame bookkeeping exists all the same.
  const NetworkInfra& net = shared.network;
  EXPECT_EQ(net.packet_channel.capacity(), 1u);
  EXPECT_TRUE(net.sockets.empty());
  EXPECT_TRUE(net.buffer_return_senders.empty());
  EXPECT_TRUE(net.buffer_return_receivers.empty());
  EXPECT_EQ(net.drop_counters.size(), 0u);
  EXPECT_EQ(net.frame_flags.size(), 10u + 3u) << "frame ids 0 .. max_frames + slots - 1";
  EXPECT_FALSE(net.receive_finished.load());
  EXPECT_EQ(net.parked_packets.load(), 0u);
  EXPECT_EQ(shared.config.receiver_threads, 0u);
}

TEST_F(RuntimeBuildTest, ConditionSpawnRowsOfNeighbouringSlotsAreIndependent) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  builder.slots = 2;
  builder.max_frames = 2;
  auto built = build(std::move(builder));
  ASSERT_TRUE(built.has_value());
  SlotData& slots = built->shared()->slots;
  slots.cond_spawn(0, 3).store(99);
  EXPECT_EQ(slots.cond_spawn(1, 3).load(), 0u);
  EXPECT_EQ(slots.cond_spawn(1, 2).load(), 2u);
  EXPECT_EQ(slots.words_per_slot() % (CACHE_LINE / sizeof(std::uint64_t)), 0u)
      << "each slot's row starts on its own cache line";
}

TEST_F(RuntimeBuildTest, AdoptsTheSchedulersThreadLayout) {
  ArvexRtBuilder builder = builder_for(diamond_graph());
  const ThreadLayout layout = builder.scheduler->thread_layout();
  builder.system_threads = 7;
  builder.workers = 9;
  builder.core_offset = 5;
  builder.receiver_core_start = 3;
  auto built = build(std::move(builder));
  ASSERT_TRUE(built.has_value());
  const RunConfig& config = built->shared()->config;
  EXPECT_EQ(config.system_threads, layout.system_threads);
  EXPECT_EQ(config.workers, layout.worker_threads);
  EXPECT_EQ(config.core_offset, layout.system_core_start);
  EXPECT_EQ(config.receiver_threads, layout.receiver_threads);
  EXPECT_EQ(config.receiver_core_start, layout.receiver_core_start);
  EXPECT_EQ(built->shared()->exec.result_map->num_slots(), 1u + layout.system_threads + 1);
}

TEST_F(RuntimeBuildTest, UncheckedWrapperSelectionLogsOneOfTwoLines) {
  struct Case {
    std::optional<std::string> env;
    const char* expected;
    const char* absent;
  };
  const Case cases[] = {
      {std::nullopt, "unchecked wrapper selection complete selected=0 total=4", "unchecked wrappers disabled"},
      {"", "unchecked wrappers disabled via ARVEX_DISABLE_UNCHECKED_WRAPPERS", "selection complete"},
      {"1", "unchecked wrappers disabled via ARVEX_DISABLE_UNCHECKED_WRAPPERS", "selection complete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env ? "ARVEX_DISABLE_UNCHECKED_WRAPPERS=" + *c.env : std::string("variable unset"));
    clear_log();
    const ScopedEnv env(kDisableUncheckedWrappersEnv, c.env);
    ASSERT_TRUE(build(builder_for(diamond_graph())).has_value());
    EXPECT_TRUE(logged(c.expected)) << logged();
    EXPECT_FALSE(logged(c.absent)) << logged();
  }
}

TEST_F(RuntimeBuildTest, DependencyCounterIsDumpedAtDebugLevel) {
  ASSERT_TRUE(build(builder_for(diamond_graph())).has_value());
  EXPECT_TRUE(logged("DependencyCounter initialized:\nMultiThreadedCounter {")) << logged();
}

TEST_F(RuntimeBuildTest, TimeBuffersExistOnlyWithTimingOneSlotPerFrameSlotAndResolutionThread) {
  for (const bool timing : {false, true}) {
    ArvexRtBuilder builder = builder_for(diamond_graph());
    builder.slots = 3;
    builder.max_frames = 10;
    builder.timing_enabled = timing;
    builder.use_rdtsc = true;
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value());
    const auto& buffers = built->shared()->telemetry.time_buffers;
    ASSERT_EQ(buffers != nullptr, timing);
    if (!timing) continue;
    EXPECT_TRUE(buffers->use_rdtsc());
    buffers->with_buffer([](const TimeBuffer& b) {
      EXPECT_EQ(b.num_slots, 3u + 1u);
      EXPECT_EQ(b.system_threads, 1u);
    });
  }
}

TEST_F(RuntimeBuildTest, RecorderIsKeptOnlyWhileRecording) {
  struct Case {
    bool record;
    bool given;
  };
  for (const Case& c : {Case{true, true}, Case{true, false}, Case{false, true}, Case{false, false}}) {
    SCOPED_TRACE(testing::Message() << "record " << c.record << " recorder given " << c.given);
    auto given = c.given ? AsyncRecorder::create(2, 100) : nullptr;
    ArvexRtBuilder builder = builder_for(diamond_graph());
    builder.slots = 2;
    builder.max_frames = 2;
    builder.record = c.record;
    builder.recorder = given;
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value());
    const SharedData& shared = *built->shared();
    const auto& kept = shared.telemetry.recorder;
    if (!c.record) {
      EXPECT_EQ(kept, nullptr);
      if (given) {
        EXPECT_EQ(given.use_count(), 1) << "the handed-over recorder must be released";
      }
    } else if (c.given) {
      EXPECT_EQ(kept, given);
    } else {
      ASSERT_NE(kept, nullptr);
      EXPECT_EQ(kept->producer_count(),
                shared.config.slots + shared.config.system_threads + shared.config.receiver_threads);
    }
  }
}

TEST_F(RuntimeBuildTest, PacketChannelHoldsFourFramesButAtLeast65536Packets) {
  struct Case {
    std::size_t frame_packets;
    std::size_t capacity;
  };
  for (const Case& c : {Case{16385, 65540}, Case{16384, 65536}, Case{8, 65536}}) {
    ArvexRtBuilder builder = builder_for(network_graph(c.frame_packets, free_udp_ports(1), 1));
    auto built = build(std::move(builder));
    ASSERT_TRUE(built.has_value());
    EXPECT_EQ(built->shared()->network.packet_channel.capacity(), c.capacity) << c.frame_packets << " packets a frame";
  }
}

TEST_F(RuntimeBuildTest, ANetworkSourceThatCannotRunIsRefusedBeforeAnythingIsBound) {
  struct Case {
    const char* name;
    void (*spoil)(GraphNetworkConfig&);
    std::string error;
  };
  const Case cases[] = {
      {"extract function not registered",
       [](GraphNetworkConfig& c) {
         c.extract_packet_func.reset();
         c.extract_packet_func_name = "extract_nothing";
       },
       "network function 'extract_nothing' not found in registry"},
      {"ID function not registered",
       [](GraphNetworkConfig& c) {
         c.id_function.reset();
         c.id_function_name = "no_id";
       },
       "network function 'no_id' not found in registry"},
      {"index function named but not registered",
       [](GraphNetworkConfig& c) { c.index_function_name = "index_typo"; },
       "network function 'index_typo' not found in registry"},
      {"no packets in a frame", [](GraphNetworkConfig& c) { c.frame_packets = 0; },
       "network_config frame_packets must be >= 1 (got 0)"},
      {"no sockets", [](GraphNetworkConfig& c) { c.num_sockets = 0; }, "network_config num_sockets must be >= 1 (got 0)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t port = free_udp_ports(1);
    GraphNetworkConfig config = loopback_network(4, port, 1);
    c.spoil(config);
    auto built = build(builder_for(network_graph(std::move(config))));
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error(), c.error);
    // Nothing was bound: the port is still free.
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
  }
  // An empty index function name asks for arrival order.
  const std::size_t port = free_udp_ports(1);
  GraphNetworkConfig config = loopback_network(4, port, 1);
  config.index_function_name.clear();
  EXPECT_TRUE(build(builder_for(network_graph(std::move(config)))).has_value());
}

TEST_F(RuntimeBuildTest, NetworkSourceGetsSocketsChannelsAndAReceiver) {
  const std::size_t start_port = free_udp_ports(2);
  ArvexRtBuilder builder = builder_for(network_graph(8, start_port, 2));
  builder.scheduler = make_scheduler(SchedulerKind::Pool, /*receiver_threads=*/0);
  builder.recv_pool_size = 5;
  builder.receiver_threads = 1;
  builder.socket_recv_buf_bytes = 2 * 1024 * 1024;
  auto built = build(std::move(builder));
  ASSERT_TRUE(built.has_value());
  SharedData& shared = *built->shared();
  NetworkInfra& net = shared.network;

  ASSERT_EQ(net.sockets.size(), 2u);
  EXPECT_TRUE(logged(fmt::format("bound UDP sockets start_port={} end_port={} address=127.0.0.1 recv_buf_mb=2",
                                 start_port, start_port + 1)))
      << logged();
  EXPECT_TRUE(logged("unchecked wrapper selection complete selected=0 total=2")) << "the source node counts";

  ASSERT_EQ(net.buffer_return_senders.size(), 2u);
  ASSERT_EQ(net.buffer_return_receivers.size(), 2u);
  EXPECT_EQ(net.drop_counters.size(), 2u);
  EXPECT_EQ(net.drop_counters[1].load(), 0u);
  EXPECT_EQ(net.frame_flags.size(), 1u + 1u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(testing::Message() << "socket " << i);
    EXPECT_EQ(net.buffer_return_senders[i]->capacity(), 5u);
    auto receiver = net.buffer_return_receivers[i].take();
    ASSERT_TRUE(receiver.has_value());
    EXPECT_FALSE(net.buffer_return_receivers[i].take().has_value()) << "a receiving end is handed out once";
    // The sender and the receiver are the two ends of the same channel.
    ASSERT_TRUE(net.buffer_return_senders[i]->try_push(PacketBuffer(64, 1)));
    PacketBuffer returned;
    ASSERT_TRUE((*receiver)->try_pop(returned));
    EXPECT_EQ(returned.size(), 64u);
  }

  // The scheduler left no receiver core: one receiver thread still serves the sockets, unpinned.
  EXPECT_EQ(shared.config.receiver_threads, 1u);
  EXPECT_GE(shared.config.receiver_core_start, usable_cores().size());
  EXPECT_EQ(shared.config.pinned_receivers, 0u);
  EXPECT_TRUE(logged("receiver threads beyond the allocated cores run unpinned")) << logged();
}

}  // namespace
}  // namespace arvex
