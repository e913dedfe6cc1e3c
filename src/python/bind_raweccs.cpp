// Python class RawECCs: the raw class map made by the searches, with its queries.
#include <array>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "circ/gate.hpp"
#include "circ/instr.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/raweccs_methods.hpp"
#include "search/ecc.hpp"
#include "search/evaluator.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<RawECCs>::info() {
  static ClassInfo ci{"RawECCs", nullptr, true};
  return ci;
}

namespace {

std::vector<Instr32> instr_list_arg(const char* name, PyObject* o) {
  return arg(name, [&] {
    return raw_list(o, [](PyObject* x) { return *raw_instance<Instr32>(x); });
  });
}

std::vector<Gate16> gate_list_arg(const char* name, PyObject* o) {
  return arg(name, [&] {
    return raw_list(o, [](PyObject* x) { return *raw_instance<Gate16>(x); });
  });
}

Ref search_result(SearchResult r) {
  Ref map = wrap(std::move(r.map));
  Ref counters = check(PyList_New(3));
  for (Py_ssize_t i = 0; i < 3; ++i)
    PyList_SET_ITEM(counters.get(), i, py_uint(r.counters[static_cast<std::size_t>(i)]).release());
  return check(PyTuple_Pack(2, map.get(), counters.get()));
}

Ref raweccs_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"RawECCs.__new__()", {"evaluator"}, 1};
  PyObject* a[1];
  bind_tuple(spec, args, kwargs, a);
  Shared<Evaluator> ev = evaluator_arg("evaluator", a[0]);
  return wrap(RawECCs::create(*ev));
}

// search / search_naive / generate / generate_naive share one shape.
template <class Item, SearchResult (*Run)(const Evaluator&, std::vector<Item>, std::uint32_t)>
Ref run_static(const ArgSpec& spec, const char* list_name, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<Evaluator> ev = evaluator_arg("evaluator", a[0]);
  std::vector<Item> items;
  if constexpr (std::is_same_v<Item, Instr32>)
    items = instr_list_arg(list_name, a[1]);
  else
    items = gate_list_arg(list_name, a[1]);
  const std::uint32_t max_size = arg("max_size", [&] { return raw_u32(a[2]); });
  return search_result(Run(*ev, std::move(items), max_size));
}

SearchResult do_search(const Evaluator& ev, std::vector<Instr32> instrs, std::uint32_t m) {
  return RawECCs::search(ev, instrs, m);
}
SearchResult do_search_naive(const Evaluator& ev, std::vector<Instr32> instrs, std::uint32_t m) {
  return RawECCs::search_naive(ev, instrs, m);
}
SearchResult do_generate(const Evaluator& ev, std::vector<Gate16> gates, std::uint32_t m) {
  return RawECCs::generate(ev, std::move(gates), m);
}
SearchResult do_generate_naive(const Evaluator& ev, std::vector<Gate16> gates, std::uint32_t m) {
  return RawECCs::generate_naive(ev, std::move(gates), m);
}

Ref raweccs_search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.search()", {"evaluator", "instrs", "max_size"}, 3};
  return run_static<Instr32, &do_search>(spec, "instrs", args, nargs, kwnames);
}
Ref raweccs_search_naive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.search_naive()", {"evaluator", "instrs", "max_size"}, 3};
  return run_static<Instr32, &do_search_naive>(spec, "instrs", args, nargs, kwnames);
}
Ref raweccs_generate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.generate()", {"evaluator", "gates", "max_size"}, 3};
  return run_static<Gate16, &do_generate>(spec, "gates", args, nargs, kwnames);
}
Ref raweccs_generate_naive(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.generate_naive()", {"evaluator", "gates", "max_size"}, 3};
  return run_static<Gate16, &do_generate_naive>(spec, "gates", args, nargs, kwnames);
}

Ref raweccs_find_equivalents(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.find_equivalents()", {"evaluator", "instrs"}, 2};
  PyObject* a[2];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<RawECCs> me = receiver<RawECCs>(self);
  Shared<Evaluator> ev = evaluator_arg("evaluator", a[0]);
  const std::vector<Instr32> instrs = instr_list_arg("instrs", a[1]);
  std::optional<ECC> r = me->find_equivalents(*ev, instrs);
  if (!r) return none();
  return wrap(std::move(*r));
}

Ref raweccs_compute_next_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const ArgSpec spec{
      "RawECCs.compute_next_key()", {"evaluator", "current_key", "instr"}, 3};
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<RawECCs> me = receiver<RawECCs>(self);
  Shared<Evaluator> ev = evaluator_arg("evaluator", a[0]);
  const std::uint64_t key = arg("current_key", [&] { return raw_u64(a[1]); });
  const Instr32 instr = arg("instr", [&] { return *raw_instance<Instr32>(a[2]); });
  const std::optional<std::uint64_t> r = me->compute_next_key(*ev, key, instr);
  if (!r) return none();
  return py_uint(*r);
}

Ref raweccs_switch_evaluator(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.switch_evaluator()", {"new_evaluator"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<RawECCs> me = receiver<RawECCs>(self);
  Shared<Evaluator> ev = evaluator_arg("new_evaluator", a[0]);
  // The new map shares the receiver's cells: it holds a reference to the receiver object,
  // released (under the interpreter lock, where every map is destroyed) with the map.
  Py_INCREF(self);
  std::shared_ptr<const void> owner(static_cast<const void*>(self), [](const void* o) {
    Py_DECREF(static_cast<PyObject*>(const_cast<void*>(o)));
  });
  std::shared_ptr<const RawECCs> source(std::move(owner), &*me);
  return wrap(RawECCs::switch_evaluator(std::move(source), *ev));
}

}  // namespace

PyTypeObject* create_raweccs_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "RawECCs";
    s.doc =
        "RawECCs(evaluator)\n--\n\nMutable ECC map keyed by evaluator hash.\n\nThis is the "
        "direct output of the search algorithm before final simplification.";
    s.basicsize = sizeof(Cell<RawECCs>);
    s.dealloc = &cell_dealloc<RawECCs>;
    s.has_constructor = true;
    std::vector<PyMethodDef> defs = {
        method<raweccs_search>("search",
                               "search(evaluator, instrs, max_size)\n--\n\nOptimized search "
                               "using permutation-equivalent placements per circuit.",
                               METH_STATIC),
        method<raweccs_search_naive>(
            "search_naive",
            "search_naive(evaluator, instrs, max_size)\n--\n\nExhaustive baseline search "
            "without permutation-based multiplicity reduction.",
            METH_STATIC),
        method<raweccs_generate>(
            "generate",
            "generate(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate set using "
            "the optimized search.\n\nAdjoint gates are added automatically if missing.",
            METH_STATIC),
        method<raweccs_generate_naive>(
            "generate_naive",
            "generate_naive(evaluator, gates, max_size)\n--\n\nGenerates ECCs from a gate set "
            "using the naive search.",
            METH_STATIC),
    };
    defs.push_back(method<raweccs_simplify>(
        "simplify", "simplify($self)\n--\n\nConverts raw buckets into sorted, normalized ECCs."));
    defs.push_back(method<raweccs_check_identity_subset>(
        "check_identity_subset",
        "check_identity_subset($self, ecc1, evaluator)\n--\n\nChecks that every identity in "
        "`self` is representable in `ecc1`."));
    defs.push_back(method<raweccs_find_equivalents>(
        "find_equivalents",
        "find_equivalents($self, evaluator, instrs)\n--\n\nPython wrapper returning equivalent "
        "circuits for a candidate program."));
    defs.push_back(method<raweccs_compute_next_key>(
        "compute_next_key",
        "compute_next_key($self, evaluator, current_key, instr)\n--\n\nComputes the next "
        "reachable ECC hash after appending one instruction.\n\nReturns `None` when the "
        "resulting state was not discovered in this map."));
    defs.push_back(method<raweccs_switch_evaluator>(
        "switch_evaluator",
        "switch_evaluator($self, new_evaluator)\n--\n\nRe-evaluates all stored circuits under a "
        "new evaluator.\n\nUseful for cross-checking evaluator-independence of discovered "
        "classes."));
    s.slots = {
        {Py_tp_new, reinterpret_cast<void*>(&new_thunk<raweccs_new>)},
        {Py_tp_methods, method_table(std::move(defs))},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<RawECCs>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
