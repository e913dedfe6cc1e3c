// Canonical forms on the identities that the prover rewrites: 3 and 5 qubits, 6 to 12
// instructions. rotate_representative runs twice per rule in every rewrite round.
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "circ/gate.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"

namespace marrowfen {
namespace {

Circ random_circ(std::mt19937& rng, unsigned len, std::uint8_t nq) {
  static const Gate16 singles[] = {gates::H, gates::X, gates::T, gates::TDG, gates::S};
  std::vector<Instr32> v;
  for (unsigned i = 0; i < len; ++i) {
    if (rng() % 3 == 0) {
      const auto a = static_cast<std::uint8_t>(rng() % nq);
      auto b = static_cast<std::uint8_t>(rng() % (nq - 1));
      if (b >= a) ++b;
      v.push_back(Instr32::two(gates::CX, a, b));
    } else {
      v.push_back(Instr32::one(singles[rng() % 5], static_cast<std::uint8_t>(rng() % nq)));
    }
  }
  return Circ::create(std::move(v), Permut32::identity(nq));
}

// Identities of exactly `len` instructions that use all `nq` qubits, rotated at random: A then
// A⁻¹ for even lengths, with a SWAP of three CX undone by the trailing permutation for odd ones.
std::vector<Circ> identities(std::uint8_t nq, unsigned len, unsigned count) {
  std::mt19937 rng(1000 * nq + len);
  std::vector<Circ> out;
  while (out.size() < count) {
    const Circ a = random_circ(rng, len / 2 - (len % 2 ? 1 : 0), nq);
    Circ c = a + a.inverse();
    if (len % 2) {
      std::vector<std::uint8_t> w{1, 0};
      for (std::uint8_t q = 2; q < nq; ++q) w.push_back(q);
      c = a + Circ::create({Instr32::two(gates::CX, 0, 1), Instr32::two(gates::CX, 1, 0),
                            Instr32::two(gates::CX, 0, 1)},
                           Permut32::from_iter(w)) +
          a.inverse();
    }
    if (c.len() != len || c.affected_qubits() != nq - 1) continue;
    out.push_back(c.rotate(static_cast<std::int32_t>(rng() % len)));
  }
  return out;
}

void BM_RotateRepresentative(benchmark::State& state) {
  const auto circs = identities(static_cast<std::uint8_t>(state.range(0)),
                                static_cast<unsigned>(state.range(1)), 64);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(circs[i++ % circs.size()].rotate_representative());
  }
}

// Baseline: the same minimum built the plain way, one new circuit per relabelling and per
// candidate (relabel, rotate, reorder, compact as whole values), without the closing check.
void BM_RotateReferencePath(benchmark::State& state) {
  const auto circs = identities(static_cast<std::uint8_t>(state.range(0)),
                                static_cast<unsigned>(state.range(1)), 64);
  std::size_t i = 0;
  for (auto _ : state) {
    const Circ c = circs[i++ % circs.size()].compact_qubits().remove_swaps();
    std::optional<Circ> best;
    for (Permut32 p : Permut32::all(c.nqubits())) {
      const Circ d = c.permut(p);
      for (std::size_t k = 0; k < d.len(); ++k) {
        if (!d.instrs[k].qargs().contains(0)) continue;
        Circ cand = d.rotate(static_cast<std::int32_t>(k)).reorder_instrs().compact_qubits();
        if (!best || cand < *best) best = std::move(cand);
      }
    }
    benchmark::DoNotOptimize(best);
  }
}

void BM_Check(benchmark::State& state) {
  const auto circs = identities(static_cast<std::uint8_t>(state.range(0)),
                                static_cast<unsigned>(state.range(1)), 64);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(IdentityCirc::from_circ(circs[i++ % circs.size()]).check());
  }
}

void BM_Representative(benchmark::State& state) {
  const auto circs = identities(static_cast<std::uint8_t>(state.range(0)),
                                static_cast<unsigned>(state.range(1)), 64);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(circs[i++ % circs.size()].representative_with_perm());
  }
}

void shapes(benchmark::internal::Benchmark* b) {
  for (int nq : {3, 5})
    for (int len : {6, 9, 12}) b->Args({nq, len});
}

BENCHMARK(BM_RotateRepresentative)->Apply(shapes);
BENCHMARK(BM_RotateReferencePath)->Apply(shapes);
BENCHMARK(BM_Check)->Apply(shapes);
BENCHMARK(BM_Representative)->Apply(shapes);

}  // namespace
}  // namespace marrowfen
