// Cost of the two run-time tables on the engine's hottest path: one dependency-counter update per
// completed predecessor instance, and one result-map set plus the successors' gets per result.
//
// Decrement benchmarks give every benchmark thread its own slot of one shared counter, as
// resolution threads working on different frames do; a thread starts a new generation whenever
// its node has been released completely, so the figures include the releases. The contended
// benchmark has both threads update the same group word.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "graph/graph.hpp"
#include "tables/dependency_counter.hpp"
#include "tables/result_map.hpp"

namespace {

using namespace arvex;

Node make_node(std::uint16_t id, const char* name, std::size_t factor, std::vector<Arg> args = {}) {
  Node node;
  node.id = id;
  node.name = name;
  node.function = "noop";
  node.factor = factor;
  node.args = std::move(args);
  return node;
}

Arg edge(std::uint16_t from, bool barrier) {
  Arg arg;
  arg.pred = PredRef{from, {0}, std::nullopt};
  arg.value = barrier ? CmTypes::make_barrier(std::to_string(from)) : CmTypes::make_res(from);
  return arg;
}

// Node 1: eight instances released one per completion of the source. Node 2: eight instances
// behind a barrier on the source, released together by the eighth completion. Node 3: one
// instance waiting for 2^32 - 1 completions, a word that never reaches zero.
struct CounterFixture {
  static constexpr std::size_t SLOTS = 8;
  static constexpr std::uint16_t PROGRESSIVE = 1;
  static constexpr std::uint16_t BARRIER = 2;
  static constexpr std::uint16_t ENDLESS = 3;

  CounterFixture() : counter(SLOTS, counts(), graph().nodes()) {}

  static const Graph& graph() {
    static const Graph g = [] {
      Graph built;
      built.add_node(make_node(0, "src", 8));
      built.add_node(make_node(1, "progressive", 8, {edge(0, false)}));
      built.add_node(make_node(2, "barrier", 8, {edge(0, true)}));
      built.add_node(make_node(3, "endless", 1, {edge(0, false)}));
      return built;
    }();
    return g;
  }
  static std::vector<std::size_t> counts() {
    std::vector<std::size_t> c = graph().dependency_count_vec();
    c[ENDLESS] = std::numeric_limits<std::uint32_t>::max();
    return c;
  }

  MultiThreadedCounter counter;
  // Next generation per slot; each slot belongs to one benchmark thread at a time.
  std::array<std::uint32_t, SLOTS> next_generation{};
};

CounterFixture& counter_fixture() {
  static CounterFixture fixture;
  return fixture;
}

void run_decrements(benchmark::State& state, std::uint16_t node) {
  CounterFixture& fx = counter_fixture();
  const auto slot = static_cast<std::size_t>(state.thread_index());
  const std::size_t per_generation = fx.counter.shape(node).deps_per_group;
  std::vector<std::size_t> out;
  out.reserve(8);
  std::uint32_t generation = ++fx.next_generation[slot];
  std::size_t calls = 0;
  std::size_t released = 0;
  for (auto _ : state) {
    fx.counter.decrease_and_get_ready_into(slot, node, generation, 0, 1, false, 0, out);
    released += out.size();
    if (++calls == per_generation) {
      calls = 0;
      generation = ++fx.next_generation[slot];
    }
  }
  fx.next_generation[slot] = generation;
  benchmark::DoNotOptimize(released);
  state.SetItemsProcessed(state.iterations());
  state.counters["released_per_call"] = benchmark::Counter(
      static_cast<double>(released) / static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
}

void BM_DecreaseProgressive(benchmark::State& state) { run_decrements(state, CounterFixture::PROGRESSIVE); }
BENCHMARK(BM_DecreaseProgressive)->Threads(1)->Threads(2);

void BM_DecreaseBarrier(benchmark::State& state) { run_decrements(state, CounterFixture::BARRIER); }
BENCHMARK(BM_DecreaseBarrier)->Threads(1)->Threads(2);

// Both threads update one word of slot 0: the cost of a compare-and-swap on a line that moves
// between cores on every call.
void BM_DecreaseContended(benchmark::State& state) {
  CounterFixture& fx = counter_fixture();
  std::vector<std::size_t> out;
  out.reserve(8);
  for (auto _ : state) {
    fx.counter.decrease_and_get_ready_into(0, CounterFixture::ENDLESS, 1, 0, 1, false, 0, out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecreaseContended)->Threads(1)->Threads(2);

struct MapFixture {
  MapFixture() : graph(make_graph()), map(graph.nodes(), 8) {}
  static Graph make_graph() {
    Graph g;
    g.add_node(make_node(0, "results", 64));
    return g;
  }
  Graph graph;
  LockFreeResultMap map;
};

// A set of a result into a cell and one read of it, the cycle of every stored result.
void BM_SetGetInline(benchmark::State& state) {
  MapFixture fx;
  const NodeInfo task{.slot = 3, .index = 5, .node_id = 0};
  std::uint64_t v = 0;
  for (auto _ : state) {
    fx.map.set(task, CmTypes::make_u64(++v));
    std::optional<CmTypes> read = fx.map.get(task);
    benchmark::DoNotOptimize(read);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetGetInline);

// The same with a shared text: a box allocated per set, the previous one freed, and a
// reference-count clone and release per get.
void BM_SetGetBoxed(benchmark::State& state) {
  MapFixture fx;
  const NodeInfo task{.slot = 3, .index = 5, .node_id = 0};
  const CmTypes text = CmTypes::make_string("a result shared by its successors");
  for (auto _ : state) {
    fx.map.set(task, text);
    std::optional<CmTypes> read = fx.map.get(task);
    benchmark::DoNotOptimize(read);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetGetBoxed);

}  // namespace
