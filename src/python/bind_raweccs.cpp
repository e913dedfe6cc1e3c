// Python class RawECCs: the raw class map made by the searches, with its queries, its
// simplification and the checked equivalence of two maps.
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen::py {
namespace {

Shared<RawECCs> me(PyObject* self) { return receiver<RawECCs>(self); }

// (map, [circuits expanded, circuits evaluated, insertion attempts])
Ref search_result(SearchResult r) {
  Ref map = wrap(std::move(r.map));
  return py_tuple(std::move(map), py_list(r.counters, py_uint));
}

Ref raweccs_new(const Args& a) {
  return wrap(RawECCs::create(*a.get(0, raw_instance<Evaluator>)));
}

// search, search_naive, generate, generate_naive: (evaluator, alphabet, max_size).
template <class Item, SearchResult (*Run)(const Evaluator&, std::vector<Item>, std::uint32_t)>
Ref run_search(PyObject*, const Args& a) {
  const Shared<Evaluator> ev = a.get(0, raw_instance<Evaluator>);
  std::vector<Item> items = a.get(1, raw_copies<Item>);
  const std::uint32_t max_size = a.get(2, raw_u32);
  return search_result(Run(*ev, std::move(items), max_size));
}

SearchResult search(const Evaluator& ev, std::vector<Instr32> instrs, std::uint32_t m) {
  return RawECCs::search(ev, instrs, m);
}
SearchResult search_naive(const Evaluator& ev, std::vector<Instr32> instrs, std::uint32_t m) {
  return RawECCs::search_naive(ev, instrs, m);
}

Ref raweccs_simplify(PyObject* self, const Args&) { return wrap(me(self)->simplify()); }

// The receiver and ecc1 are borrowed shared for the whole call (they may be the same object);
// the interpreter stays attached while the pool works, and a stop on any worker surfaces here.
Ref raweccs_check_identity_subset(PyObject* self, const Args& a) {
  const Shared<RawECCs> m = me(self);
  const Shared<RawECCs> ecc1 = a.get(0, raw_instance<RawECCs>);
  const Shared<Evaluator> evaluator = a.get(1, raw_instance<Evaluator>);
  m->check_identity_subset(*ecc1, *evaluator);
  return none();
}

Ref raweccs_find_equivalents(PyObject* self, const Args& a) {
  const Shared<RawECCs> m = me(self);
  const Shared<Evaluator> ev = a.get(0, raw_instance<Evaluator>);
  const std::vector<Instr32> instrs = a.get(1, raw_copies<Instr32>);
  std::optional<ECC> r = m->find_equivalents(*ev, instrs);
  return r ? wrap(std::move(*r)) : none();
}

Ref raweccs_compute_next_key(PyObject* self, const Args& a) {
  const Shared<RawECCs> m = me(self);
  const Shared<Evaluator> ev = a.get(0, raw_instance<Evaluator>);
  const std::uint64_t key = a.get(1, raw_u64);
  const Instr32 instr = a.get(2, raw_copy<Instr32>);
  const std::optional<std::uint64_t> r = m->compute_next_key(*ev, key, instr);
  return r ? py_uint(*r) : none();
}

// The new map shares the receiver's list cells (see RawECCs::switch_evaluator).
Ref raweccs_switch_evaluator(PyObject* self, const Args& a) {
  const Shared<RawECCs> m = me(self);
  const Shared<Evaluator> ev = a.get(0, raw_instance<Evaluator>);
  return wrap(m->switch_evaluator(*ev));
}

}  // namespace

ClassDef ClassOf<RawECCs>::def() {
  return {
      .constructor = ctor<raweccs_new>("RawECCs(evaluator)\n--\n\nMutable ECC map keyed by "
                                       "evaluator hash.\n\nThis is the direct output of the "
                                       "search algorithm before final simplification."),
      .methods = {
          method<run_search<Instr32, &search>>(
              "search(evaluator, instrs, max_size)\n--\n\nOptimized search using "
              "permutation-equivalent placements per circuit."),
          method<run_search<Instr32, &search_naive>>(
              "search_naive(evaluator, instrs, max_size)\n--\n\nExhaustive baseline search "
              "without permutation-based multiplicity reduction."),
          method<run_search<Gate16, &RawECCs::generate>>(
              "generate(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate set using "
              "the optimized search.\n\nAdjoint gates are added automatically if missing."),
          method<run_search<Gate16, &RawECCs::generate_naive>>(
              "generate_naive(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate set "
              "using the naive search."),
          method<raweccs_simplify>("simplify($self)\n--\n\nConverts raw buckets into sorted, "
                                   "normalized ECCs."),
          method<raweccs_check_identity_subset>(
              "check_identity_subset($self, ecc1, evaluator)\n--\n\nChecks that every identity "
              "in `self` is representable in `ecc1`."),
          method<raweccs_find_equivalents>(
              "find_equivalents($self, evaluator, instrs)\n--\n\nPython wrapper returning "
              "equivalent circuits for a candidate program."),
          method<raweccs_compute_next_key>(
              "compute_next_key($self, evaluator, current_key, instr)\n--\n\nComputes the next "
              "reachable ECC hash after appending one instruction.\n\nReturns `None` when the "
              "resulting state was not discovered in this map."),
          method<raweccs_switch_evaluator>(
              "switch_evaluator($self, new_evaluator)\n--\n\nRe-evaluates all stored circuits "
              "under a new evaluator.\n\nUseful for cross-checking evaluator-independence of "
              "discovered classes."),
      },
  };
}

template PyTypeObject* define_class<RawECCs>();

}  // namespace marrowfen::py
