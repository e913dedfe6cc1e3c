// The rewrite round on provers built from small generated class sets: par_apply_rules and
// par_transition_pairs over a fixed sample of accepted identities, on 1 and on 8 threads, and
// the whole prover build beside them. Each prover is built once and reused, so the rounds
// measure the steady state of a search: from the first iteration on at the latest, the rule
// identities come from the rule lists' cache.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include "circ/gate.hpp"
#include "identity/cutting.hpp"
#include "prover/prover.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {
namespace {

struct Setup {
  const char* name;
  std::uint32_t nqubits;
  std::vector<Gate16> gates;
};

const Setup SETUPS[] = {
    {"h,cx/2q", 2, {gates::H, gates::CX}},
    {"h,cx/3q", 3, {gates::H, gates::CX}},
    {"t,h,cx/2q", 2, {gates::T, gates::H, gates::CX}},
    {"t,h,cx/3q", 3, {gates::T, gates::H, gates::CX}},
};

ECCs make_eccs(const Setup& s) {
  const Evaluator ev = Evaluator::random_py(s.nqubits);
  return RawECCs::generate(ev, s.gates, 3).map.simplify();
}

// The prover of each set up, built once per process (the build writes its two lines).
const IdentityProver& prover(std::size_t i) {
  static std::map<std::size_t, std::unique_ptr<IdentityProver>> cache;
  auto& p = cache[i];
  if (!p) p = std::make_unique<IdentityProver>(IdentityProver::build(make_eccs(SETUPS[i])));
  return *p;
}

// The 32 longest accepted identities (ties by the identity order), the same within a run.
const std::vector<IdentityCirc>& sample(std::size_t i) {
  static std::map<std::size_t, std::vector<IdentityCirc>> cache;
  auto it = cache.find(i);
  if (it == cache.end()) {
    std::vector<IdentityCirc> ids(prover(i).proved.begin(), prover(i).proved.end());
    std::sort(ids.begin(), ids.end(), [](const IdentityCirc& a, const IdentityCirc& b) {
      return a.len() != b.len() ? a.len() > b.len() : a < b;
    });
    if (ids.size() > 32) ids.resize(32);
    it = cache.emplace(i, std::move(ids)).first;
  }
  return it->second;
}

// Longer identities over the same vocabulary: consecutive sample identities one after the other
// (an identity followed by an identity is one), 14 to 18 instructions.
const std::vector<IdentityCirc>& long_sample(std::size_t i) {
  static std::map<std::size_t, std::vector<IdentityCirc>> cache;
  auto it = cache.find(i);
  if (it == cache.end()) {
    const std::vector<IdentityCirc>& ids = sample(i);
    std::vector<IdentityCirc> out;
    for (std::size_t k = 0; k + 1 < ids.size() && out.size() < 8; k += 2)
      if (ids[k].len() + ids[k + 1].len() < COMBINATIONS_LEN)
        out.push_back(IdentityCirc::from_circ(ids[k].circ + ids[k + 1].circ));
    it = cache.emplace(i, std::move(out)).first;
  }
  return it->second;
}

template <bool Pairs, bool Long = false>
void BM_round(benchmark::State& state) {
  const auto setup = static_cast<std::size_t>(state.range(0));
  const auto threads = static_cast<std::size_t>(state.range(1));
  const IdentityProver& p = prover(setup);
  const std::vector<IdentityCirc>& ids = Long ? long_sample(setup) : sample(setup);
  (void)COMBINATIONS[0];  // the cut table is built outside the timing
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
  std::size_t results = 0;
  for (auto _ : state) {
    results = 0;
    for (const IdentityCirc& id : ids) {
      if constexpr (Pairs)
        results += p.par_transition_pairs(id, 3).size();
      else
        results += p.par_apply_rules(id, 3).size();
    }
    benchmark::DoNotOptimize(results);
  }
  state.SetLabel(SETUPS[setup].name);
  state.counters["identities"] = static_cast<double>(ids.size());
  std::uint32_t max_len = 0;
  for (const IdentityCirc& id : ids) max_len = std::max(max_len, id.len());
  state.counters["max_len"] = static_cast<double>(max_len);
  state.counters["results"] = static_cast<double>(results);
  state.counters["keys"] = static_cast<double>(p.circ_map.size());
}

void BM_par_apply_rules(benchmark::State& state) { BM_round<false>(state); }
void BM_par_transition_pairs(benchmark::State& state) { BM_round<true>(state); }
void BM_par_apply_rules_long(benchmark::State& state) { BM_round<false, true>(state); }

BENCHMARK(BM_par_apply_rules)
    ->ArgNames({"setup", "threads"})
    ->ArgsProduct({{0, 1, 2, 3}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_par_transition_pairs)
    ->ArgNames({"setup", "threads"})
    ->ArgsProduct({{0, 1, 2, 3}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK(BM_par_apply_rules_long)
    ->ArgNames({"setup", "threads"})
    ->ArgsProduct({{1, 3}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The whole build (classes generated once, outside the timing).
void BM_build(benchmark::State& state) {
  const auto setup = static_cast<std::size_t>(state.range(0));
  const auto threads = static_cast<std::size_t>(state.range(1));
  static std::map<std::size_t, ECCs> eccs;
  if (!eccs.contains(setup)) eccs.emplace(setup, make_eccs(SETUPS[setup]));
  tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads);
  std::size_t assumed = 0;
  for (auto _ : state) {
    const IdentityProver p = IdentityProver::build(eccs.at(setup));
    assumed = p.assume.size();
  }
  state.SetLabel(SETUPS[setup].name);
  state.counters["classes"] = static_cast<double>(eccs.at(setup).eccs.size());
  state.counters["assumed"] = static_cast<double>(assumed);
}
BENCHMARK(BM_build)
    ->ArgNames({"setup", "threads"})
    ->ArgsProduct({{0, 1, 2, 3}, {1, 8}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
}  // namespace marrowfen
