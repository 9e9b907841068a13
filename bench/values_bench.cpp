// Cost of copying and releasing values: every argument a kernel reads and every result it
// stores goes through a clone and a release.
#include <benchmark/benchmark.h>

#include <thread>

#include "arvex/cm_types.hpp"

namespace {

using arvex::CmTypes;

void BM_CloneReleaseScalar(benchmark::State& state) {
  const CmTypes source = CmTypes::make_i64(42);
  for (auto _ : state) {
    CmTypes copy = source;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CloneReleaseScalar);

void BM_CloneReleaseString(benchmark::State& state) {
  static const CmTypes source = CmTypes::make_string("a shared text payload");
  for (auto _ : state) {
    CmTypes copy = source;
    benchmark::DoNotOptimize(copy);
  }
}
// One thread: an uncontended counter. Two threads: both cores hammer the same count word.
BENCHMARK(BM_CloneReleaseString)->Threads(1)->Threads(2);

void BM_MakeString(benchmark::State& state) {
  for (auto _ : state) {
    CmTypes value = CmTypes::make_string("a shared text payload");
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_MakeString);

}  // namespace
