#include "python/convert.hpp"

#include <fmt/format.h>

namespace marrowfen::py {

Permut32 raw_permutation(PyObject* o) {
  const std::vector<std::uint8_t> values = raw_list(o, [](PyObject* x) { return raw_u8(x); });
  return Permut32::from_iter(values);
}

Ref py_permutation(Permut32 p) {
  Ref t = check(PyTuple_New(p.len()));
  Py_ssize_t i = 0;
  for (std::uint8_t v : p.iter()) PyTuple_SET_ITEM(t.get(), i++, py_uint(v).release());
  return t;
}

Ref instr_to_plain(Instr32 in) {
  Ref gate = py_str(in.gate().display());
  return py_tuple(std::move(gate), py_tuple(py_uint(in.slot(0)), py_uint(in.slot(1))));
}

namespace {

// A sequence of exactly `n` items as new references; `expected` names what was expected.
std::vector<Ref> sequence_items(PyObject* o, Py_ssize_t n, const char* expected) {
  if (!PySequence_Check(o)) raise_downcast(o, "Sequence");
  const Py_ssize_t len = PySequence_Size(o);
  if (len < 0) throw PyErrSet{};
  if (len != n) raise_type_error(fmt::format("invalid length {}, expected {}", len, expected));
  std::vector<Ref> items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(check(PySequence_GetItem(o, i)));
  return items;
}

}  // namespace

Instr32 instr_from_plain(PyObject* o) {
  const std::vector<Ref> parts = sequence_items(o, 2, "tuple struct Instr32 with 2 elements");
  const std::string text = raw_str(parts[0].get());
  const Gate16 gate = Gate16::from_name_or_stop(text);
  const std::vector<Ref> slots = sequence_items(parts[1].get(), 2, "an array of length 2");
  const std::uint8_t a = raw_u8(slots[0].get());
  const std::uint8_t b = raw_u8(slots[1].get());
  return Instr32::two(gate, a, b);
}

Ref perm_to_plain(Permut32 p) {
  Ref d = check(PyDict_New());
  Ref raw = py_uint(p.raw);
  check_status(PyDict_SetItemString(d.get(), "raw", raw.get()));
  return d;
}

bool is_mapping(PyObject* o) {
  if (PyDict_Check(o)) return true;
  static PyObject* mapping_abc = [] {
    Ref abc = check(PyImport_ImportModule("collections.abc"));
    return check(PyObject_GetAttrString(abc.get(), "Mapping")).release();  // kept for good
  }();
  const int r = PyObject_IsInstance(o, mapping_abc);
  if (r < 0) throw PyErrSet{};
  return r == 1;
}

Permut32 perm_from_plain(PyObject* o) {
  if (!is_mapping(o)) raise_downcast(o, "Mapping");
  Ref key = py_str("raw");
  Ref value;
  if (PyDict_Check(o)) {
    value = Ref::borrow(PyDict_GetItemWithError(o, key.get()));
    if (!value && PyErr_Occurred()) throw PyErrSet{};
  } else {
    value = Ref::steal(PyObject_GetItem(o, key.get()));
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrSet{};
      PyErr_Clear();
    }
  }
  if (!value) raise_type_error("missing field `raw`");
  return Permut32::from_raw(raw_u32(value.get()));
}

}  // namespace marrowfen::py
