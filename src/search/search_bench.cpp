// The fingerprint of one circuit (the search's inner step) and whole searches.
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "circ/gate.hpp"
#include "core/rng.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen {
namespace {

Evaluator bench_evaluator(std::uint32_t n) {
  ChaCha12::Seed seed{};
  seed[0] = 42;
  ChaCha12 rng = ChaCha12::from_seed(seed);
  return Evaluator::from_random(rng, n);
}

// A circuit of `len` instructions over h, t, cx touching every qubit (no ties in the forward
// state, so one order is tried, as for most circuits of a search).
std::vector<Instr32> bench_circuit(std::uint32_t n, std::size_t len) {
  std::vector<Instr32> c;
  for (std::size_t i = 0; c.size() < len; ++i) {
    const auto q = static_cast<std::uint8_t>(i % n);
    const auto r = static_cast<std::uint8_t>((i + 1) % n);
    switch (i % 3) {
      case 0: c.push_back(Instr32::one(gates::H, q)); break;
      case 1: c.push_back(Instr32::one(gates::T, q)); break;
      default: c.push_back(n > 1 ? Instr32::two(gates::CX, q, r) : Instr32::one(gates::H, q));
    }
  }
  return c;
}

// Hot path: scratch reused.
void BM_Fingerprint(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  const Evaluator ev = bench_evaluator(n);
  const std::vector<Instr32> c = bench_circuit(n, static_cast<std::size_t>(st.range(1)));
  EvalScratch s;
  std::size_t pairs = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(ev.fingerprint(c, s));
    pairs += s.perms.size();
  }
  st.counters["pairs"] = benchmark::Counter(static_cast<double>(pairs), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Fingerprint)->Args({3, 4})->Args({5, 4})->Args({5, 8});

// The value form (copies its two result states out).
void BM_EvaluateMultiple(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  const Evaluator ev = bench_evaluator(n);
  const std::vector<Instr32> c = bench_circuit(n, static_cast<std::size_t>(st.range(1)));
  for (auto _ : st) benchmark::DoNotOptimize(ev.evaluate_multiple(c));
}
BENCHMARK(BM_EvaluateMultiple)->Args({3, 4})->Args({5, 4})->Args({5, 8});

// The empty circuit: every qubit ties, n! orders.
void BM_FingerprintAllTied(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  const Evaluator ev = bench_evaluator(n);
  EvalScratch s;
  for (auto _ : st) benchmark::DoNotOptimize(ev.fingerprint({}, s));
}
BENCHMARK(BM_FingerprintAllTied)->Arg(3)->Arg(5);

// Progress lines go to file descriptor 1; keep them out of the report.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(1)) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

// The classes of {h, t, cx} up to max_size instructions, progress lines silenced.
SearchResult quiet_search(const Evaluator& ev, std::uint32_t max_size) {
  QuietStdout quiet;
  return RawECCs::generate(ev, {gates::H, gates::T, gates::CX}, max_size);
}

void BM_Generate(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  const auto max_size = static_cast<std::uint32_t>(st.range(1));
  const Evaluator ev = bench_evaluator(n);
  QuietStdout quiet;
  std::uint32_t evaluated = 0;
  std::size_t classes = 0;
  for (auto _ : st) {
    SearchResult r = RawECCs::generate(ev, {gates::H, gates::T, gates::CX}, max_size);
    evaluated = r.counters[1];
    classes = r.map.size();
    benchmark::DoNotOptimize(r);
  }
  st.counters["evaluated"] = evaluated;
  st.counters["classes"] = static_cast<double>(classes);
  st.counters["evals/s"] =
      benchmark::Counter(static_cast<double>(evaluated), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Generate)->Args({3, 3})->Args({3, 4})->Args({3, 5})->Unit(benchmark::kMillisecond);

// The simplification of a whole map (classes simplified and sorted on the pool).
void BM_Simplify(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  const auto max_size = static_cast<std::uint32_t>(st.range(1));
  const Evaluator ev = bench_evaluator(n);
  const SearchResult r = quiet_search(ev, max_size);
  for (auto _ : st) benchmark::DoNotOptimize(r.map.simplify());
  st.counters["classes"] = static_cast<double>(r.map.size());
}
BENCHMARK(BM_Simplify)->Args({3, 5})->Args({3, 6})->Unit(benchmark::kMillisecond)->UseRealTime();

// The class check of a map against itself on the pool (every member walked prefix by prefix).
void BM_CheckIdentitySubset(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  const auto max_size = static_cast<std::uint32_t>(st.range(1));
  const Evaluator ev = bench_evaluator(n);
  const SearchResult r = quiet_search(ev, max_size);
  for (auto _ : st) r.map.check_identity_subset(r.map, ev);
  st.counters["classes"] = static_cast<double>(r.map.size());
}
BENCHMARK(BM_CheckIdentitySubset)->Args({3, 4})->Args({3, 5})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace marrowfen
