// Python class IdentityProver: the rule-based identity prover. It has no constructor; instances
// come from build_from_eccs and from_postcard. add_identity and add_identity_search change
// the receiver and borrow it exclusively; every other method borrows it shared.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "identity/idcircuit.hpp"
#include "prover/proof.hpp"
#include "prover/prover.hpp"
#include "prover/prover_file.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "search/ecc.hpp"

namespace marrowfen::py {
namespace {

Shared<IdentityProver> me(PyObject* self) { return receiver<IdentityProver>(self); }

// A new Python set holding a new IdentityCirc per element.
Ref identity_set_to_py(const IdentitySet& set) {
  Ref out = check(PySet_New(nullptr));
  for (const IdentityCirc& id : set)
    check_status(PySet_Add(out.get(), wrap(IdentityCirc(id)).get()));
  return out;
}

Ref optional_identity_to_py(std::optional<IdentityCirc> id) {
  return id ? wrap(std::move(*id)) : none();
}

// The parameters of the identity searches: (identity, additional_size, count_limit), the
// identity copied.
struct SearchArgs {
  IdentityCirc identity;
  std::uint32_t additional_size;
  std::uint32_t count_limit;

  explicit SearchArgs(const Args& a)
      : identity(a.get(0, raw_copy<IdentityCirc>)),
        additional_size(a.get(1, raw_u32)),
        count_limit(a.get(2, raw_u32)) {}
};

Ref prover_build_from_eccs(PyObject*, const Args& a) {
  return wrap(IdentityProver::build(a.get(0, raw_copy<ECCs>)));
}

Ref prover_par_apply_rules(PyObject* self, const Args& a) {
  const Shared<IdentityProver> prover = me(self);
  const Shared<IdentityCirc> identity = a.get(0, raw_instance<IdentityCirc>);
  const std::uint32_t additional_size = a.get(1, raw_u32);
  return py_instances(prover->par_apply_rules(*identity, additional_size));
}

Ref prover_add_identity(PyObject* self, const Args& a) {
  const Exclusive<IdentityProver> prover(self);
  SearchArgs s(a);
  return py_bool(prover->add_identity(std::move(s.identity), s.additional_size, s.count_limit));
}

Ref prover_add_identity_search(PyObject* self, const Args& a) {
  const Exclusive<IdentityProver> prover(self);
  SearchArgs s(a);
  auto [visited, assumed] =
      prover->add_identity_search(std::move(s.identity), s.additional_size, s.count_limit);
  return py_tuple(identity_set_to_py(visited), py_bool(assumed));
}

Ref prover_prove_identity(PyObject* self, const Args& a) {
  const Shared<IdentityProver> prover = me(self);
  SearchArgs s(a);
  return optional_identity_to_py(
      prover->prove_identity(std::move(s.identity), s.additional_size, s.count_limit));
}

Ref prover_prove_identity_with_visited(PyObject* self, const Args& a) {
  const Shared<IdentityProver> prover = me(self);
  SearchArgs s(a);
  auto [result, visited] = prover->prove_identity_with_visited(
      std::move(s.identity), s.additional_size, s.count_limit);
  return py_tuple(optional_identity_to_py(std::move(result)), identity_set_to_py(visited));
}

Ref prover_export_proof(PyObject* self, const Args& a) {
  const Shared<IdentityProver> prover = me(self);
  SearchArgs s(a);
  std::optional<Proof> proof =
      export_proof(*prover, std::move(s.identity), s.additional_size, s.count_limit);
  return proof ? wrap(std::move(*proof)) : none();
}

Ref prover_get_assumed(PyObject* self, const Args&) {
  return py_instances(me(self)->get_assumed());
}

Ref prover_from_postcard(PyObject*, const Args& a) {
  return wrap(marrowfen::prover_from_postcard(a.get(0, raw_str)));
}

Ref prover_dump_postcard(PyObject* self, const Args& a) {
  const Shared<IdentityProver> prover = me(self);
  dump_postcard(*prover, a.get(0, raw_str));
  return none();
}

}  // namespace

ClassDef ClassOf<IdentityProver>::def() {
  return {
      .doc = "Rule-based prover for circuit identities.\n\nThe prover is built from ECCs, "
             "extracts assumed rules, and can then:\n- check whether a target identity is "
             "derivable,\n- produce visited states for diagnostics,\n- export explicit proof "
             "traces.",
      .methods = {
          method<prover_build_from_eccs>("build_from_eccs(eccs)\n--\n\nPython entrypoint: builds "
                                         "a prover from generated ECCs."),
          method<prover_par_apply_rules>(
              "par_apply_rules($self, identity, additional_size)\n--\n\nApplies one round of "
              "parallel rule rewriting bounded by `additional_size`."),
          method<prover_add_identity>(
              "add_identity($self, identity, additional_size, count_limit)\n--\n\nInserts one "
              "identity into the prover, deriving it when possible.\n\nReturns `true` when this "
              "identity must be kept as an assumption."),
          method<prover_add_identity_search>(
              "add_identity_search($self, identity, additional_size, count_limit)\n--\n\n"
              "Internal bounded search used by [`Self::add_identity`].\n\nReturns `(visited, "
              "assumed)` where `assumed=true` means the identity\ncould not be derived within "
              "`count_limit`."),
          method<prover_prove_identity>(
              "prove_identity($self, identity, additional_size, count_limit)\n--\n\nAttempts to "
              "prove one identity.\n\nReturns `None` if proved, or `Some(identity)` if the "
              "search exceeded limits."),
          method<prover_prove_identity_with_visited>(
              "prove_identity_with_visited($self, identity, additional_size, count_limit)\n--\n\n"
              "Same as [`Self::prove_identity`] but also returns visited identities."),
          method<prover_export_proof>(
              "export_proof($self, identity, additional_size, count_limit)\n--\n\nExports a "
              "proof DAG when `identity` is derivable under the given limits."),
          method<prover_get_assumed>("get_assumed($self)\n--\n\nReturns current assumptions as a "
                                     "cloned list (Python helper)."),
          method<prover_from_postcard>("from_postcard(filepath)\n--\n\nLoads a prover from "
                                       "postcard serialization."),
          method<prover_dump_postcard>("dump_postcard($self, filepath)\n--\n\nStores a prover as "
                                       "postcard serialization."),
      },
  };
}

template PyTypeObject* define_class<IdentityProver>();

}  // namespace marrowfen::py
