#include <benchmark/benchmark.h>

#include "groups/permutation.hpp"

namespace marrowfen {
namespace {

// Composition and inversion over every permutation of 5 entries (the fingerprint's width).
void BM_ProductWithInverse5(benchmark::State& state) {
  const auto perms = Permut32::all(5);
  for (auto _ : state) {
    for (Permut32 p : perms) benchmark::DoNotOptimize(p * p.inv());
  }
  state.SetItemsProcessed(state.iterations() * perms.size());
}
BENCHMARK(BM_ProductWithInverse5);

// Relabelling every 5-qubit basis index by every permutation of 5 entries.
void BM_PermutBv5(benchmark::State& state) {
  const auto perms = Permut32::all(5);
  for (auto _ : state) {
    for (Permut32 p : perms) {
      for (unsigned bv = 0; bv < 32; ++bv) benchmark::DoNotOptimize(p.permut_bv(bv));
    }
  }
  state.SetItemsProcessed(state.iterations() * perms.size() * 32);
}
BENCHMARK(BM_PermutBv5);

// Walking the swaps of every permutation of 7 entries.
void BM_GenerateSwaps7(benchmark::State& state) {
  const auto perms = Permut32::all(7);
  for (auto _ : state) {
    unsigned n = 0;
    for (Permut32 p : perms) {
      for (QubitPair s : p.generate_swaps()) n += s.first ^ s.second;
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * perms.size());
}
BENCHMARK(BM_GenerateSwaps7);

}  // namespace
}  // namespace marrowfen
