// The simulation's inner loops on 3 and 5 qubits: gate application (kernel and dense, one and
// two qubits; dense also on 8 threads at once), phase canonicalisation, hashing, relabelling
// and qubit-order information.
#include <benchmark/benchmark.h>

#include "state/kernels.hpp"
#include "state/state_cache.hpp"
#include "state/state_vec.hpp"

namespace marrowfen {
namespace {

StateVec bench_state(std::uint32_t n) {
  ChaCha12 rng = ChaCha12::from_os();
  return StateVec::from_random(rng, n);
}

void apply_gate(benchmark::State& st, Gate16 gate, std::vector<std::uint8_t> qubits) {
  StateVec s = bench_state(static_cast<std::uint32_t>(st.range(0)));
  for (auto _ : st) {
    s.apply(qubits, gate);
    benchmark::DoNotOptimize(s.re_data());
    benchmark::ClobberMemory();
  }
}

void BM_ApplyKernel1(benchmark::State& st) { apply_gate(st, gates::H, {1}); }
void BM_ApplyKernel2(benchmark::State& st) { apply_gate(st, gates::CX, {2, 0}); }
void BM_ApplyDense1(benchmark::State& st) { apply_gate(st, *Gate16::from_name("y"), {1}); }
void BM_ApplyDense2(benchmark::State& st) { apply_gate(st, *Gate16::from_name("cy"), {2, 0}); }

// Every thread applies dense gates to its own 3-qubit state, as the pool workers of the class
// check and the prover do: what the threads share is only the gate's matrix.
void BM_ApplyDenseParallel(benchmark::State& st) {
  StateVec s = bench_state(3);
  const Gate16 y = *Gate16::from_name("y");
  const Gate16 cy = *Gate16::from_name("cy");
  const std::uint8_t q1[] = {1}, q2[] = {2, 0};
  for (auto _ : st) {
    s.apply(q1, y);
    s.apply(q2, cy);
    benchmark::DoNotOptimize(s.re_data());
    benchmark::ClobberMemory();
  }
  st.SetItemsProcessed(2 * st.iterations());
}

void BM_NormalizeArg(benchmark::State& st) {
  StateVec s = bench_state(static_cast<std::uint32_t>(st.range(0)));
  for (auto _ : st) {
    s.normalize_arg();
    benchmark::ClobberMemory();
  }
}

void BM_HashValue(benchmark::State& st) {
  const StateVec s = bench_state(static_cast<std::uint32_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(s.hash_value());
}

void BM_ApplyPermutation(benchmark::State& st) {
  const auto n = static_cast<std::uint32_t>(st.range(0));
  StateVec s = bench_state(n);
  // A cycle of every qubit: 1 2 ... n-1 0.
  std::vector<std::uint8_t> entries(n);
  for (std::uint32_t i = 0; i < n; ++i) entries[i] = static_cast<std::uint8_t>((i + 1) % n);
  const Permut32 p = Permut32::from_iter(entries);
  for (auto _ : st) {
    s.apply_permutation(p);
    benchmark::ClobberMemory();
  }
}

void BM_GetOrderInfo(benchmark::State& st) {
  const StateVec s = bench_state(static_cast<std::uint32_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(s.get_orderinfo());
}

void BM_GetOrderInfoSymmetric(benchmark::State& st) {
  ChaCha12 rng = ChaCha12::from_os();
  const StateVec s = StateVec::from_random_symmetric(rng, static_cast<std::uint32_t>(st.range(0)));
  for (auto _ : st) {
    const OrderInfo info = s.get_orderinfo();
    for (Permut32 p : info.as_perms()) benchmark::DoNotOptimize(p);
  }
}

BENCHMARK(BM_ApplyKernel1)->Arg(3)->Arg(5);
BENCHMARK(BM_ApplyKernel2)->Arg(3)->Arg(5);
BENCHMARK(BM_ApplyDense1)->Arg(3)->Arg(5);
BENCHMARK(BM_ApplyDense2)->Arg(3)->Arg(5);
BENCHMARK(BM_ApplyDenseParallel)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_NormalizeArg)->Arg(3)->Arg(5);
BENCHMARK(BM_HashValue)->Arg(3)->Arg(5);
BENCHMARK(BM_ApplyPermutation)->Arg(3)->Arg(5);
BENCHMARK(BM_GetOrderInfo)->Arg(3)->Arg(5);
BENCHMARK(BM_GetOrderInfoSymmetric)->Arg(3)->Arg(5);

}  // namespace
}  // namespace marrowfen
