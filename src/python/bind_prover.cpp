// Python class IdentityProver: the rule-based identity prover. It has no constructor; instances
// come from build_from_eccs and from_postcard. add_identity and add_identity_search change
// the receiver and borrow it exclusively; every other method borrows it shared.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "identity/idcircuit.hpp"
#include "prover/prover.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/prover_methods.hpp"
#include "search/ecc.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<IdentityProver>::info() {
  static ClassInfo ci{"IdentityProver", nullptr, true};
  return ci;
}

IdentityCirc prover_identity_arg(PyObject* o) {
  return arg("identity", [&] { return IdentityCirc(*raw_instance<IdentityCirc>(o)); });
}

Ref identity_set_to_py(const IdentitySet& set) {
  Ref out = check(PySet_New(nullptr));
  for (const IdentityCirc& id : set) {
    Ref item = wrap(IdentityCirc(id));
    check_status(PySet_Add(out.get(), item.get()));
  }
  return out;
}

namespace {

Ref identity_list_to_py(std::vector<IdentityCirc> ids) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i)  // moved, not copied, into the new objects
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wrap(std::move(ids[i])).release());
  return list;
}

Ref optional_identity_to_py(std::optional<IdentityCirc> id) {
  return id ? wrap(std::move(*id)) : none();
}

// The three parameters shared by the searches.
struct SearchArgs {
  IdentityCirc identity;
  std::uint32_t additional_size;
  std::uint32_t count_limit;
};

SearchArgs search_args(PyObject* const* a) {
  IdentityCirc identity = prover_identity_arg(a[0]);
  const std::uint32_t additional_size = arg("additional_size", [&] { return raw_u32(a[1]); });
  const std::uint32_t count_limit = arg("count_limit", [&] { return raw_u32(a[2]); });
  return {std::move(identity), additional_size, count_limit};
}

Ref prover_build_from_eccs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.build_from_eccs()", {"eccs"}, 1};
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  ECCs eccs = arg("eccs", [&] { return ECCs(*raw_instance<ECCs>(a[0])); });
  return wrap(IdentityProver::build(std::move(eccs)));
}

Ref prover_par_apply_rules(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.par_apply_rules()", {"identity", "additional_size"},
                            2};
  PyObject* a[2];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<IdentityProver> prover = receiver<IdentityProver>(self);
  Shared<IdentityCirc> identity = arg("identity", [&] { return raw_instance<IdentityCirc>(a[0]); });
  const std::uint32_t additional_size = arg("additional_size", [&] { return raw_u32(a[1]); });
  return identity_list_to_py(prover->par_apply_rules(*identity, additional_size));
}

Ref prover_add_identity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.add_identity()",
                            {"identity", "additional_size", "count_limit"}, 3};
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Exclusive<IdentityProver> prover(self);
  SearchArgs s = search_args(a);
  return py_bool(prover->add_identity(std::move(s.identity), s.additional_size, s.count_limit));
}

Ref prover_add_identity_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.add_identity_search()",
                            {"identity", "additional_size", "count_limit"}, 3};
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Exclusive<IdentityProver> prover(self);
  SearchArgs s = search_args(a);
  auto [visited, assumed] =
      prover->add_identity_search(std::move(s.identity), s.additional_size, s.count_limit);
  return py_tuple(identity_set_to_py(visited), py_bool(assumed));
}

Ref prover_prove_identity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.prove_identity()",
                            {"identity", "additional_size", "count_limit"}, 3};
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<IdentityProver> prover = receiver<IdentityProver>(self);
  SearchArgs s = search_args(a);
  return optional_identity_to_py(
      prover->prove_identity(std::move(s.identity), s.additional_size, s.count_limit));
}

Ref prover_prove_identity_with_visited(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.prove_identity_with_visited()",
                            {"identity", "additional_size", "count_limit"}, 3};
  PyObject* a[3];
  bind_fastcall(spec, args, nargs, kwnames, a);
  Shared<IdentityProver> prover = receiver<IdentityProver>(self);
  SearchArgs s = search_args(a);
  auto [result, visited] = prover->prove_identity_with_visited(
      std::move(s.identity), s.additional_size, s.count_limit);
  return py_tuple(optional_identity_to_py(std::move(result)), identity_set_to_py(visited));
}

Ref prover_get_assumed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const ArgSpec spec{"IdentityProver.get_assumed()", {}, 0};
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
  Shared<IdentityProver> prover = receiver<IdentityProver>(self);
  return identity_list_to_py(prover->get_assumed());
}

}  // namespace

PyTypeObject* create_identityprover_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "IdentityProver";
    s.doc =
        "Rule-based prover for circuit identities.\n\nThe prover is built from ECCs, extracts "
        "assumed rules, and can then:\n- check whether a target identity is derivable,\n- "
        "produce visited states for diagnostics,\n- export explicit proof traces.";
    s.basicsize = sizeof(Cell<IdentityProver>);
    s.dealloc = &cell_dealloc<IdentityProver>;

    std::vector<PyMethodDef> defs{
        method<prover_build_from_eccs>(
            "build_from_eccs",
            "build_from_eccs(eccs)\n--\n\nPython entrypoint: builds a prover from generated "
            "ECCs.",
            METH_STATIC),
        method<prover_par_apply_rules>(
            "par_apply_rules",
            "par_apply_rules($self, identity, additional_size)\n--\n\nApplies one round of "
            "parallel rule rewriting bounded by `additional_size`."),
        method<prover_add_identity>(
            "add_identity",
            "add_identity($self, identity, additional_size, count_limit)\n--\n\nInserts one "
            "identity into the prover, deriving it when possible.\n\nReturns `true` when this "
            "identity must be kept as an assumption."),
        method<prover_add_identity_search>(
            "add_identity_search",
            "add_identity_search($self, identity, additional_size, count_limit)\n--\n\n"
            "Internal bounded search used by [`Self::add_identity`].\n\nReturns `(visited, "
            "assumed)` where `assumed=true` means the identity\ncould not be derived within "
            "`count_limit`."),
        method<prover_prove_identity>(
            "prove_identity",
            "prove_identity($self, identity, additional_size, count_limit)\n--\n\nAttempts to "
            "prove one identity.\n\nReturns `None` if proved, or `Some(identity)` if the "
            "search exceeded limits."),
        method<prover_prove_identity_with_visited>(
            "prove_identity_with_visited",
            "prove_identity_with_visited($self, identity, additional_size, count_limit)\n--\n\n"
            "Same as [`Self::prove_identity`] but also returns visited identities."),
    };
    defs.push_back(method<prover_export_proof>(
        "export_proof",
        "export_proof($self, identity, additional_size, count_limit)\n--\n\nExports a proof "
        "DAG when `identity` is derivable under the given limits."));
    defs.push_back(method<prover_get_assumed>(
        "get_assumed",
        "get_assumed($self)\n--\n\nReturns current assumptions as a cloned list (Python "
        "helper)."));
    defs.push_back(method<prover_from_postcard>(
        "from_postcard", "from_postcard(filepath)\n--\n\nLoads a prover from postcard "
        "serialization.", METH_STATIC));
    defs.push_back(method<prover_dump_postcard>(
        "dump_postcard",
        "dump_postcard($self, filepath)\n--\n\nStores a prover as postcard serialization."));

    s.slots = {
        {Py_tp_methods, method_table(std::move(defs))},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<IdentityProver>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
