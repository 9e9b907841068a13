// Both tables under concurrent use by four threads: every instance is released exactly once per
// generation whatever the interleaving, a completion has exactly one claimant, and readers of the
// result map never see a value torn from its tag or payload. Rounds are fixed in number; the
// threads meet at a barrier between rounds, as slot management separates frames in a slot.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "tables/dependency_counter.hpp"
#include "tables/result_map.hpp"
#include "test_graphs.hpp"

namespace arvex {
namespace {

using test::barrier_edge;
using test::make_graph;
using test::offsets;
using test::res_edge;

constexpr std::size_t THREADS = 4;

// Runs body(thread, round) on THREADS threads for `rounds` rounds; between two rounds every
// thread waits for the others and `between(round)` runs alone.
template <class Body, class Between>
void run_rounds(std::size_t rounds, Body body, Between between) {
  std::size_t finished_round = 0;
  std::barrier sync(static_cast<std::ptrdiff_t>(THREADS), [&]() noexcept { between(finished_round++); });
  std::vector<std::jthread> threads;
  for (std::size_t t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t r = 0; r < rounds; ++r) {
        body(t, r);
        sync.arrive_and_wait();
      }
    });
  }
}

struct ReleaseMode {
  const char* name;
  test::NodeSpec node;  // 12 instances in groups, 16 completions per group

  friend void PrintTo(const ReleaseMode& mode, std::ostream* os) { *os << mode.name; }
};

class ConcurrentRelease : public testing::TestWithParam<ReleaseMode> {};

TEST_P(ConcurrentRelease, EveryInstanceOncePerGenerationWithoutResets) {
  constexpr std::size_t SLOTS = 3;
  constexpr std::size_t ROUNDS = 1000;  // one generation per round, in every slot
  const Graph graph = make_graph({{"src", 48}, GetParam().node});
  MultiThreadedCounter counter(SLOTS, graph.dependency_count_vec(), graph.nodes());
  const DependencyShape& shape = counter.shape(1);
  ASSERT_EQ(shape.factor, 12u);
  ASSERT_EQ(shape.deps_per_group % THREADS, 0u);
  const std::uint32_t share = shape.deps_per_group / static_cast<std::uint32_t>(THREADS);

  // pushes[thread][slot * factor + instance], merged and cleared between rounds.
  std::vector<std::vector<std::size_t>> pushes(THREADS, std::vector<std::size_t>(SLOTS * shape.factor));
  std::size_t wrong = 0;
  std::string first_wrong;
  const auto check_round = [&](std::size_t round) {
    for (std::size_t i = 0; i < SLOTS * shape.factor; ++i) {
      std::size_t total = 0;
      for (auto& per_thread : pushes) total += std::exchange(per_thread[i], 0);
      if (total != 1 && wrong++ == 0) {
        first_wrong = fmt::format("round {}, slot {}, instance {}: pushed {} times", round, i / shape.factor,
                                  i % shape.factor, total);
      }
    }
  };

  run_rounds(
      ROUNDS,
      [&](std::size_t t, std::size_t round) {
        std::vector<std::size_t> out;
        out.reserve(shape.factor);
        const auto generation = static_cast<std::uint32_t>(round);
        // Each thread takes its share of every group, starting from a different slot and group
        // and alternating between single completions and a pair, so the threads collide.
        for (std::size_t k = 0; k < SLOTS * shape.num_groups; ++k) {
          const std::size_t slot = (t + k) % SLOTS;
          const std::size_t group = (t + k / SLOTS) % shape.num_groups;
          for (std::uint32_t done = 0; done < share;) {
            const std::uint32_t by = (t % 2 == 1 && share - done >= 2) ? 2 : 1;
            counter.decrease_and_get_ready_into(slot, 1, generation, group, by, false, 0, out);
            for (const std::size_t instance : out) ++pushes[t][slot * shape.factor + instance];
            done += by;
          }
        }
      },
      check_round);
  EXPECT_EQ(wrong, 0u) << first_wrong;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConcurrentRelease,
    testing::Values(ReleaseMode{"progressive", {"n", 12, {res_edge(0)}, 4}},
                    ReleaseMode{"barrier", {"n", 12, {barrier_edge(0, offsets(48), 16)}}},
                    ReleaseMode{"condition_barrier", {"n", 12, {barrier_edge(0, offsets(48), 16)}, std::nullopt, true}}),
    [](const testing::TestParamInfo<ReleaseMode>& mode) { return std::string(mode.param.name); });

TEST(ConcurrentCompletion, ExactlyOneClaimantPerSlot) {
  constexpr std::size_t SLOTS = 64;
  constexpr std::size_t ROUNDS = 200;
  const Graph graph = make_graph({{"src", 1}});
  MultiThreadedCounter counter(SLOTS, graph.dependency_count_vec(), graph.nodes());
  std::vector<std::vector<std::size_t>> wins(THREADS, std::vector<std::size_t>(SLOTS));
  std::size_t wrong = 0;
  run_rounds(
      ROUNDS,
      [&](std::size_t t, std::size_t) {
        for (std::size_t k = 0; k < SLOTS; ++k) {
          const std::size_t slot = (k + t * 16) % SLOTS;
          if (counter.try_complete_slot(slot)) ++wins[t][slot];
        }
      },
      [&](std::size_t) {
        for (std::size_t slot = 0; slot < SLOTS; ++slot) {
          std::size_t total = 0;
          for (auto& per_thread : wins) total += std::exchange(per_thread[slot], 0);
          if (total != 1) ++wrong;
          counter.unmark_slot_completed(slot);
        }
      });
  EXPECT_EQ(wrong, 0u);
}

// Node "words" has 64 inline cells, node "texts" 16 boxed cells. In every round two writers fill
// the cells of one slot with values of that round while two readers read them; a value read
// must be either absent or exactly the one written in this round.
TEST(ConcurrentResults, ReadersSeeWholeValuesOnly) {
  constexpr std::size_t SLOTS = 2;
  constexpr std::size_t ROUNDS = 300;
  constexpr std::size_t WRITERS = 2;
  const Graph graph = make_graph({{"words", 64}, {"texts", 16}});
  LockFreeResultMap map(graph.nodes(), SLOTS);

  // Inline values whose two 32-bit halves agree, of a type that changes with the round, so a
  // payload paired with the wrong tag or a half-written word cannot pass for the expected value.
  const auto word_value = [](std::size_t round, std::size_t i) {
    const std::uint64_t half = (round << 8) | i;
    const std::uint64_t bits = (half << 32) | half;
    switch (round % 3) {
      case 0: return CmTypes::make_u64(bits);
      case 1: return CmTypes::make_i64(static_cast<std::int64_t>(bits));
      default: return CmTypes::make_usize(bits);
    }
  };
  const auto text_value = [](std::size_t round, std::size_t i) {
    return CmTypes::make_string(fmt::format("round {} text {}", round, i));
  };

  std::atomic<std::size_t> wrong{0};
  std::atomic<std::size_t> seen{0};
  run_rounds(
      ROUNDS,
      [&](std::size_t t, std::size_t round) {
        const std::size_t slot = round % SLOTS;
        if (t < WRITERS) {
          for (std::size_t i = t; i < 64; i += WRITERS) {
            map.set({.slot = slot, .index = i, .node_id = 0}, word_value(round, i));
            if (i < 16) map.set({.slot = slot, .index = i, .node_id = 1}, text_value(round, i));
          }
          return;
        }
        for (int pass = 0; pass < 4; ++pass) {
          for (std::size_t i = 0; i < 64; ++i) {
            if (const auto v = map.get({.slot = slot, .index = i, .node_id = 0})) {
              seen.fetch_add(1, std::memory_order_relaxed);
              if (*v != word_value(round, i)) wrong.fetch_add(1, std::memory_order_relaxed);
            }
            if (i >= 16) continue;
            if (const auto v = map.get({.slot = slot, .index = i, .node_id = 1})) {
              seen.fetch_add(1, std::memory_order_relaxed);
              if (*v != text_value(round, i)) wrong.fetch_add(1, std::memory_order_relaxed);
            }
          }
        }
      },
      [&](std::size_t round) { map.reinit_slot(round % SLOTS); });
  EXPECT_EQ(wrong.load(), 0u) << "of " << seen.load() << " values read";
}

}  // namespace
}  // namespace arvex
