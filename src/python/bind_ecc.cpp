// Python classes ECC (one equivalence class) and ECCs (a collection of classes with their
// qubit count), and RawECCs.simplify(), which makes an ECCs from a raw map.
#include <string>
#include <utility>
#include <vector>

#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"
#include "python/raweccs_methods.hpp"
#include "search/ecc.hpp"
#include "search/raw_eccs.hpp"

namespace marrowfen::py {

ClassInfo& ClassOf<ECC>::info() {
  static ClassInfo ci{"ECC", nullptr, true};
  return ci;
}

ClassInfo& ClassOf<ECCs>::info() {
  static ClassInfo ci{"ECCs", nullptr, true};
  return ci;
}

namespace {

void no_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  bind_fastcall(spec, args, nargs, kwnames, nullptr);
}

std::string filepath_arg(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* a[1];
  bind_fastcall(spec, args, nargs, kwnames, a);
  return arg("filepath", [&] { return raw_str(a[0]); });
}

Ref ecc_list(const std::vector<ECC>& v) {
  return py_list(v, [](const auto& x) { return wrap(x); });
}

// ---- ECC -----------------------------------------------------------------------------------

Ref ecc_circuits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"ECC.circuits()", {}, 0};
  no_args(spec, args, nargs, kwnames);
  Shared<ECC> e = receiver<ECC>(self);
  const std::vector<std::vector<Instr32>> circuits = e->circuits();
  return py_list(circuits, [](const std::vector<Instr32>& c) {
    return py_list(c, [](Instr32 x) { return wrap(x); });
  });
}

Ref ecc_str(PyObject* self) { return py_str(receiver<ECC>(self)->display()); }

Ref ecc_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<ECC>(a, b, op, [](const ECC& x, const ECC& y) { return x == y; });
}

// ---- ECCs ----------------------------------------------------------------------------------

Ref eccs_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.check()", {}, 0};
  no_args(spec, args, nargs, kwnames);
  return ecc_list(receiver<ECCs>(self)->check());
}

Ref eccs_to_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.to_list()", {}, 0};
  no_args(spec, args, nargs, kwnames);
  return ecc_list(receiver<ECCs>(self)->eccs);
}

Ref eccs_filter_single(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.filter_single()", {}, 0};
  no_args(spec, args, nargs, kwnames);
  return wrap(receiver<ECCs>(self)->filter_single());
}

Ref eccs_to_identity_circuits(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.to_identity_circuits()", {}, 0};
  no_args(spec, args, nargs, kwnames);
  std::vector<IdentityWitness> entries = receiver<ECCs>(self)->to_identity_circuits();
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto& [ident, inv, member] = entries[i];
    Ref a = wrap(std::move(ident));
    Ref b = wrap(std::move(inv));
    Ref c = wrap(std::move(member));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    check(PyTuple_Pack(3, a.get(), b.get(), c.get())).release());
  }
  return list;
}

Ref eccs_dump_postcard(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.dump_postcard()", {"filepath"}, 1};
  const std::string path = filepath_arg(spec, args, nargs, kwnames);
  receiver<ECCs>(self)->dump_postcard(path);
  return none();
}

Ref eccs_from_postcard(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.from_postcard()", {"filepath"}, 1};
  const std::string path = filepath_arg(spec, args, nargs, kwnames);
  return wrap(ECCs::from_postcard(path));
}

Ref eccs_dump_quartz(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const ArgSpec spec{"ECCs.dump_quartz()", {"filepath"}, 1};
  const std::string path = filepath_arg(spec, args, nargs, kwnames);
  receiver<ECCs>(self)->dump_quartz(path);
  return none();
}

Ref eccs_get_nqubits(PyObject* self) { return py_uint(receiver<ECCs>(self)->nqubits); }

Py_ssize_t eccs_len(PyObject* self) {
  return static_cast<Py_ssize_t>(receiver<ECCs>(self)->eccs.size());
}

Ref eccs_str(PyObject* self) { return py_str(receiver<ECCs>(self)->display()); }

Ref eccs_richcompare(PyObject* a, PyObject* b, int op) {
  return rich_eq<ECCs>(a, b, op, [](const ECCs& x, const ECCs& y) { return x == y; });
}

}  // namespace

Ref raweccs_simplify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const ArgSpec spec{"RawECCs.simplify()", {}, 0};
  no_args(spec, args, nargs, kwnames);
  return wrap(receiver<RawECCs>(self)->simplify());
}

PyTypeObject* create_ecc_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "ECC";
    s.doc = "One equivalence class of circuits.";
    s.basicsize = sizeof(Cell<ECC>);
    s.dealloc = &cell_dealloc<ECC>;
    PyMethodDef* methods = method_table({
        method<ecc_circuits>("circuits",
                             "circuits($self)\n--\n\nReturns all circuits in this class with swap "
                             "instructions materialized."),
    });
    s.slots = {
        {Py_tp_methods, methods},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<ecc_str>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<ecc_richcompare>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<ECC>::info().type = t;
    return t;
  }();
  return type;
}

PyTypeObject* create_eccs_type() {
  static PyTypeObject* type = [] {
    TypeSpec s;
    s.name = "ECCs";
    s.doc = "Collection of equivalence classes for a fixed number of qubits.";
    s.basicsize = sizeof(Cell<ECCs>);
    s.dealloc = &cell_dealloc<ECCs>;
    PyMethodDef* methods = method_table({
        method<eccs_check>("check",
                           "check($self)\n--\n\nReturns classes that fail randomized equivalence "
                           "checks."),
        method<eccs_to_list>("to_list", "to_list($self)\n--\n\nReturns all classes as a Python list."),
        method<eccs_filter_single>("filter_single",
                                   "filter_single($self)\n--\n\nRemoves classes with only one "
                                   "circuit."),
        method<eccs_to_identity_circuits>(
            "to_identity_circuits",
            "to_identity_circuits($self)\n--\n\nConverts classes into canonical identities plus "
            "witness circuit pairs."),
        method<eccs_dump_postcard>("dump_postcard",
                                   "dump_postcard($self, filepath)\n--\n\nSaves ECCs as postcard."),
        method<eccs_from_postcard>("from_postcard",
                                   "from_postcard(filepath)\n--\n\nLoads ECCs from a postcard "
                                   "file.",
                                   METH_STATIC),
        method<eccs_dump_quartz>("dump_quartz",
                                 "dump_quartz($self, filepath)\n--\n\nExports ECCs to Quartz JSON "
                                 "format."),
    });
    PyGetSetDef* getsets = getset_table({
        getter<eccs_get_nqubits>("nqubits", nullptr),
    });
    s.slots = {
        {Py_tp_methods, methods},
        {Py_tp_getset, getsets},
        {Py_tp_str, reinterpret_cast<void*>(&unary_thunk<eccs_str>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&rich_thunk<eccs_richcompare>)},
        {Py_sq_length, reinterpret_cast<void*>(&len_thunk<eccs_len>)},
        {Py_mp_length, reinterpret_cast<void*>(&len_thunk<eccs_len>)},
    };
    PyTypeObject* t = make_type(std::move(s));
    ClassOf<ECCs>::info().type = t;
    return t;
  }();
  return type;
}

}  // namespace marrowfen::py
