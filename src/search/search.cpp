// The breadth-first searches over representatives, and the alphabet of generate.
#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "core/panic.hpp"
#include "core/progress.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"
#include "utils/fmt_join.hpp"

namespace marrowfen {

namespace {

constexpr std::uint32_t PROGRESS_EVERY = 400;

// How one candidate circuit is keyed and offered to the map.
enum class Keying { Fingerprint, Naive };

template <Keying K>
SearchResult run_search(const Evaluator& evaluator, std::span<const Instr32> instrs,
                        std::uint32_t max_size) {
  SearchResult r;
  r.map = RawECCs::create(evaluator);
  // The map owns every cell from the moment it is made, so a search that stops part-way frees
  // them too.
  r.map.drop = true;
  RawECCs& map = r.map;
  auto& counters = r.counters;

  const std::uint32_t n = evaluator.nqubits();
  Permut32 identity{};
  if constexpr (K == Keying::Naive) identity = Permut32::identity(static_cast<std::uint8_t>(n > 8 ? 9 : n));

  std::deque<InstrList> queue;
  queue.push_back(InstrList::nil());
  std::vector<Instr32> instr_vec;
  EvalScratch scratch;
  StateVec naive_state;

  while (!queue.empty()) {
    const InstrList circ = queue.front();
    queue.pop_front();

    instr_vec.clear();
    for (const Instr32 in : circ) instr_vec.push_back(in);
    std::reverse(instr_vec.begin(), instr_vec.end());

    if (counters[0] % PROGRESS_EVERY == 0) {
      write_stdout_line(fmt::format("#{} Exploring {} ({} queued, {} ECCs, {} circs, {} circs perm)",
                                    counters[0], fjoin(instr_vec, " "), queue.size(),
                                    map.inner.size(), counters[1], counters[2]));
    }

    for (const Instr32 instr : instrs) {
      instr_vec.push_back(instr);

      if constexpr (K == Keying::Fingerprint) {
        const std::uint64_t key = evaluator.fingerprint(instr_vec, scratch);
        for (const PermPair& pair : scratch.perms) {
          std::optional<InstrList> new_point =
              map.add_entry(key, pair.first, pair.second, circ, instr_vec);
          if (new_point && instr_vec.size() < max_size) queue.push_back(*new_point);
          ++counters[2];
        }
      } else {
        copy_state_into(evaluator.initial_state(), naive_state);
        for (const Instr32 in : instr_vec) naive_state.apply(in);
        naive_state.normalize_arg();
        const std::uint64_t key = naive_state.hash_value();
        std::optional<InstrList> new_point = map.add_entry(key, identity, identity, circ, instr_vec);
        if (new_point && instr_vec.size() < max_size) queue.push_back(*new_point);
        ++counters[2];
      }

      instr_vec.pop_back();
      ++counters[1];
    }
    ++counters[0];
  }
  return r;
}

}  // namespace

SearchResult RawECCs::search(const Evaluator& evaluator, std::span<const Instr32> instrs,
                             std::uint32_t max_size) {
  return run_search<Keying::Fingerprint>(evaluator, instrs, max_size);
}

SearchResult RawECCs::search_naive(const Evaluator& evaluator, std::span<const Instr32> instrs,
                                   std::uint32_t max_size) {
  return run_search<Keying::Naive>(evaluator, instrs, max_size);
}

std::vector<Instr32> RawECCs::generate_alphabet(std::vector<Gate16> gates, std::uint32_t n) {
  std::vector<Gate16> adjoints;
  adjoints.reserve(gates.size());
  for (const Gate16 g : gates) adjoints.push_back(g.adjoint());
  for (const Gate16 a : adjoints)
    if (std::find(gates.begin(), gates.end(), a) == gates.end()) gates.push_back(a);

  std::vector<std::pair<std::uint32_t, Gate16>> keyed;
  keyed.reserve(gates.size());
  for (const Gate16 g : gates) keyed.emplace_back(g.nqargs(), g);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return a.second.raw < b.second.raw;
  });

  std::vector<Instr32> placements;
  for (const auto& [arity, g] : keyed) {
    if (arity == 1) {
      for (std::uint32_t q = 0; q < n; ++q)
        placements.push_back(Instr32::one(g, static_cast<std::uint8_t>(q)));
    } else if (arity == 2) {
      for (std::uint32_t a = 0; a < n; ++a)
        for (std::uint32_t b = 0; b < n; ++b)
          if (b != a)
            placements.push_back(
                Instr32::two(g, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)));
    } else {
      stop("Only 1 and 2 qubit instructions are supported");
    }
  }
  std::stable_sort(placements.begin(), placements.end(), [](Instr32 a, Instr32 b) {
    return a.largest_qubit() < b.largest_qubit();
  });
  return placements;
}

SearchResult RawECCs::generate(const Evaluator& evaluator, std::vector<Gate16> gates,
                               std::uint32_t max_size) {
  const std::vector<Instr32> alphabet = generate_alphabet(std::move(gates), evaluator.nqubits());
  return search(evaluator, alphabet, max_size);
}

SearchResult RawECCs::generate_naive(const Evaluator& evaluator, std::vector<Gate16> gates,
                                     std::uint32_t max_size) {
  const std::vector<Instr32> alphabet = generate_alphabet(std::move(gates), evaluator.nqubits());
  return search_naive(evaluator, alphabet, max_size);
}

}  // namespace marrowfen
