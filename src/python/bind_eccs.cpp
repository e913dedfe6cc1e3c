// Python class ECCs: a collection of equivalence classes with their qubit count, and its files.
#include <string>
#include <utility>
#include <vector>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "search/ecc.hpp"

namespace marrowfen::py {
namespace {

Shared<ECCs> me(PyObject* self) { return receiver<ECCs>(self); }

Ref eccs_check(PyObject* self, const Args&) { return py_instances(me(self)->check()); }
Ref eccs_to_list(PyObject* self, const Args&) { return py_instances(me(self)->eccs); }
Ref eccs_filter_single(PyObject* self, const Args&) { return wrap(me(self)->filter_single()); }

Ref eccs_to_identity_circuits(PyObject* self, const Args&) {
  return py_list(me(self)->to_identity_circuits(), [](IdentityWitness& w) {
    auto& [ident, inv, member] = w;
    return py_tuple(wrap(std::move(ident)), wrap(std::move(inv)), wrap(std::move(member)));
  });
}

Ref eccs_dump_postcard(PyObject* self, const Args& a) {
  const std::string path = a.get(0, raw_str);
  me(self)->dump_postcard(path);
  return none();
}

Ref eccs_from_postcard(PyObject*, const Args& a) {
  return wrap(ECCs::from_postcard(a.get(0, raw_str)));
}

Ref eccs_dump_quartz(PyObject* self, const Args& a) {
  const std::string path = a.get(0, raw_str);
  me(self)->dump_quartz(path);
  return none();
}

Ref eccs_get_nqubits(PyObject* self) { return py_uint(me(self)->nqubits); }
Py_ssize_t eccs_len(PyObject* self) { return static_cast<Py_ssize_t>(me(self)->eccs.size()); }

}  // namespace

ClassDef ClassOf<ECCs>::def() {
  return {
      .doc = "Collection of equivalence classes for a fixed number of qubits.",
      .methods = {
          method<eccs_check>("check($self)\n--\n\nReturns classes that fail randomized "
                             "equivalence checks."),
          method<eccs_to_list>("to_list($self)\n--\n\nReturns all classes as a Python list."),
          method<eccs_filter_single>("filter_single($self)\n--\n\nRemoves classes with only one "
                                     "circuit."),
          method<eccs_to_identity_circuits>(
              "to_identity_circuits($self)\n--\n\nConverts classes into canonical identities "
              "plus witness circuit pairs."),
          method<eccs_dump_postcard>("dump_postcard($self, filepath)\n--\n\nSaves ECCs as "
                                     "postcard."),
          method<eccs_from_postcard>("from_postcard(filepath)\n--\n\nLoads ECCs from a postcard "
                                     "file."),
          method<eccs_dump_quartz>("dump_quartz($self, filepath)\n--\n\nExports ECCs to Quartz "
                                   "JSON format."),
      },
      .getsets = {getter<eccs_get_nqubits>("nqubits", nullptr)},
      .value_slots = SLOT_STR | SLOT_EQ,
      .slots = {
          slot(Py_sq_length, &len_thunk<eccs_len>),
          slot(Py_mp_length, &len_thunk<eccs_len>),
      },
  };
}

template PyTypeObject* define_class<ECCs>();

}  // namespace marrowfen::py
