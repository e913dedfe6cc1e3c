// Cutting identities of 10 to 19 instructions into all their connected convex blocks:
// par_subcircuit_splits, which grows only connected selections, against the whole table entry
// tried selection by selection on the pool (1 and 8 threads) and the plain sequential loop of
// the IdentitySubcircuit methods over the same entry.
#include <map>
#include <random>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include "identity/cutting.hpp"
#include "identity/test_identities.hpp"

namespace marrowfen {
namespace {

// One canonical identity on three qubits for each length, the same in every run.
const IdentityCirc& sample(unsigned len) {
  static std::map<unsigned, IdentityCirc> cache;
  auto it = cache.find(len);
  if (it == cache.end()) {
    std::mt19937 rng(1000 + len);
    it = cache.emplace(len, testing::random_identity(rng, len, 3).rotate_representative()).first;
  }
  return it->second;
}

void BM_par_subcircuit_splits(benchmark::State& state) {
  const auto len = static_cast<unsigned>(state.range(0));
  const IdentityCirc& id = sample(len);
  std::size_t pairs = 0;
  for (auto _ : state) {
    auto out = IdentitySubcircuit::par_subcircuit_splits(id);
    pairs = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["pairs"] = static_cast<double>(pairs);
}
BENCHMARK(BM_par_subcircuit_splits)
    ->ArgName("len")
    ->DenseRange(10, 19, 1)
    ->Unit(benchmark::kMicrosecond);

void BM_table_subcircuit_splits(benchmark::State& state) {
  const auto len = static_cast<unsigned>(state.range(0));
  const auto threads = static_cast<std::size_t>(state.range(1));
  const IdentityCirc& id = sample(len);
  (void)COMBINATIONS[len];  // the table is built once, outside the timing
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
  for (auto _ : state) {
    auto out = IdentitySubcircuit::table_subcircuit_splits(id);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["selections"] = static_cast<double>(COMBINATIONS[len].size());
}
BENCHMARK(BM_table_subcircuit_splits)
    ->ArgNames({"len", "threads"})
    ->ArgsProduct({{10, 13, 16, 19}, {1, 8}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The baseline: the same selections through the IdentitySubcircuit methods, one at a time.
void BM_sequential_subcircuit_splits(benchmark::State& state) {
  const auto len = static_cast<unsigned>(state.range(0));
  const IdentityCirc& id = sample(len);
  const CombinationEntry entry = COMBINATIONS[len];
  for (auto _ : state) {
    std::vector<std::pair<Circ, Circ>> out;
    for (std::size_t i = 0; i < entry.size(); ++i) {
      IdentitySubcircuit sub{id, std::vector<bool>(len, false)};
      for (std::uint8_t j : entry[i]) sub.gates[j] = true;
      if (sub.is_connected() && sub.is_convex()) {
        if (auto p = sub.split()) out.push_back(std::move(*p));
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_sequential_subcircuit_splits)
    ->ArgName("len")
    ->DenseRange(10, 19, 3)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace marrowfen
