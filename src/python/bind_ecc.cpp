// Python class ECC: one equivalence class of circuits.
#include <vector>

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "search/ecc.hpp"

namespace marrowfen::py {
namespace {

Ref ecc_circuits(PyObject* self, const Args&) {
  const std::vector<std::vector<Instr32>> circuits = receiver<ECC>(self)->circuits();
  return py_list(circuits, [](const std::vector<Instr32>& c) { return py_instances(c); });
}

}  // namespace

ClassDef ClassOf<ECC>::def() {
  return {
      .doc = "One equivalence class of circuits.",
      .methods = {method<ecc_circuits>("circuits($self)\n--\n\nReturns all circuits in this class "
                                       "with swap instructions materialized.")},
      .value_slots = SLOT_STR | SLOT_EQ,
  };
}

template PyTypeObject* define_class<ECC>();

}  // namespace marrowfen::py
